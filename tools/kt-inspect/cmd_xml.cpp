// kt-inspect xml: does this file parse, and what index does the document keep of it - every
// element record as the parser left it, with its name and path.
#include <iostream>
#include <string>
#include <vector>

#include "inspect.h"
#include "platform/codepage.h"
#include "platform/paths.h"
#include "xml/xmldocument.h"

namespace ktinspect {
namespace {

int RunXml(const Args& vecArgs) {
    const ParsedArgs args = ParseArgs(vecArgs, {}, {"ignore-case"}, 1, 1);
    kt::CXmlDocument doc;
    if (args.Flag("ignore-case")) doc.SetDocFlags(kt::CXmlDocument::IgnoreNameCase);
    const bool bLoaded = doc.LoadFile(kt::FromFsPath(args.positional[0]));

    nlohmann::ordered_json json = nlohmann::ordered_json::object();
    json["loaded"] = bLoaded;
    json["wellFormed"] = doc.IsWellFormed();
    json["error"] = kt::ToUtf8(doc.GetError());
    json["documentLength"] = doc.GetRecord(0).nLength;
    json["rootIndex"] = doc.GetRecord(0).nFirstChild;
    json["records"] = nlohmann::ordered_json::array();
    // The records are written one at a time behind the head (a large document has millions), and
    // the siblings are numbered once for all of them.
    std::string strHead = json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    strHead.resize(strHead.size() - 2);  // the "]}" of the empty record list
    std::cout << strHead;
    const std::vector<int32_t> vecOrdinals = doc.GetSiblingOrdinals();
    for (int32_t i = 1; i < doc.GetRecordCount(); ++i) {
        const kt::ElementRecord& rec = doc.GetRecord(i);
        nlohmann::ordered_json item = nlohmann::ordered_json::object();
        item["index"] = i;
        item["start"] = rec.nStart;
        item["length"] = rec.nLength;
        item["startTagLength"] = rec.StartTagLength();
        item["endTagLength"] = rec.EndTagLength();
        item["level"] = rec.Level();
        item["flags"] = rec.Flags();
        item["parent"] = rec.nParent;
        item["firstChild"] = rec.nFirstChild;
        item["next"] = rec.nNext;
        item["previous"] = rec.nPrev;
        item["name"] = kt::ToUtf8(doc.GetTagName(i));
        item["path"] = kt::ToUtf8(doc.GetElementPath(i, vecOrdinals));
        if (i > 1) std::cout << ',';
        std::cout << item.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    }
    std::cout << "]}\n";
    std::cout.flush();
    return 0;
}

const Registrar r("xml", "xml FILE [--ignore-case]", &RunXml);

}  // namespace
}  // namespace ktinspect
