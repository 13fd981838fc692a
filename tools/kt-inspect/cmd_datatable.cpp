// kt-inspect table / reply: what a table file or a server's table reply holds, read exactly as
// the client reads it.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "datatable/datatable.h"
#include "datatable/replyreader.h"
#include "inspect.h"
#include "platform/codepage.h"
#include "platform/msgbox.h"
#include "platform/paths.h"
#include "table_json.h"

namespace ktinspect {
namespace {

int RunTable(const Args& vecArgs) {
    const ParsedArgs args = ParseArgs(vecArgs, {}, {}, 1, 1);
    kt::CDataTable table;
    const int nResult = table.LoadFromFile(kt::FromFsPath(args.positional[0]));
    PrintJson({{"result", nResult}, {"table", TableToJson(table)}});
    return 0;
}

int RunReply(const Args& vecArgs) {
    const ParsedArgs args = ParseArgs(vecArgs, {}, {}, 1, 1);
    std::vector<char> vecBytes;
    std::string strFileError;
    if (FILE* pFile = std::fopen(args.positional[0].c_str(), "rb")) {
        char buf[65536];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof(buf), pFile)) > 0)
            vecBytes.insert(vecBytes.end(), buf, buf + n);
        if (std::ferror(pFile)) strFileError = "read error";
        std::fclose(pFile);
    } else {
        strFileError = "cannot open";
    }

    // The reader's message boxes are collected instead of shown.
    nlohmann::json messages = nlohmann::json::array();
    const kt::MessageBoxHandler previous = kt::SetMessageBoxHandler(
        [&messages](std::u16string_view strText, std::u16string_view, unsigned) {
            messages.push_back(kt::ToUtf8(strText));
            return kt::kIdOk;
        });
    std::unique_ptr<kt::CDataTable> pTable;
    const int nResult = kt::ReadReplyTable(vecBytes.data(), vecBytes.size(), pTable);
    kt::SetMessageBoxHandler(previous);

    nlohmann::json json{
        {"result", nResult}, {"messages", messages}, {"table", TableToJson(pTable.get())}};
    if (!strFileError.empty()) json["fileError"] = strFileError;
    PrintJson(json);
    return 0;
}

const Registrar s_table("table", "table FILE", &RunTable);
const Registrar s_reply("reply", "reply FILE", &RunReply);

}  // namespace
}  // namespace ktinspect
