// kt-inspect paths / urls: the directory layout a client root gives, and the URL table an
// installation's etc directory gives, exactly as the client resolves them.
#include <iostream>
#include <string>
#include <vector>

#include "inspect.h"
#include "platform/codepage.h"
#include "platform/paths.h"
#include "platform/trace.h"
#include "serverpath/clientpathmanager.h"
#include "serverpath/serverpathmanager.h"

namespace ktinspect {
namespace {

// Kinds are printed in numeric order ("2" before "10"), which a sorted JSON object would not keep.
void PrintOrdered(const nlohmann::ordered_json& json) {
    std::cout << json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << '\n';
    std::cout.flush();
}

int RunPaths(const Args& vecArgs) {
    const ParsedArgs args = ParseArgs(vecArgs, {"user"}, {}, 1, 1);
    kt::CClientPathManager paths;
    paths.SetRootPath(kt::FromFsPath(args.positional[0]));
    if (args.Has("user")) paths.SetUserName(kt::FromUtf8(args.Get("user")));

    nlohmann::ordered_json json = nlohmann::ordered_json::object();
    std::vector<int> vecKinds;
    for (int n = 0; n < kt::kClientPathTypeCount; ++n) vecKinds.push_back(n);
    vecKinds.push_back(40);  // outside the table: the root itself
    for (int n : vecKinds) {
        json[std::to_string(n)] = kt::ToUtf8(paths.GetPath(static_cast<kt::ClientPathType>(n)));
    }
    PrintOrdered(json);
    return 0;
}

int RunUrls(const Args& vecArgs) {
    const ParsedArgs args = ParseArgs(vecArgs, {}, {}, 1, 1);
    // The trace line of a failed load is the only account the table gives of it; keep it.
    std::vector<std::string> vecTrace;
    const kt::TraceSink previous =
        kt::SetTraceSink([&vecTrace](std::string_view strLine) { vecTrace.emplace_back(strLine); });
    kt::CServerPathManager urls;
    const int32_t nResult = urls.Load(kt::FromFsPath(args.positional[0]));
    kt::SetTraceSink(previous);

    nlohmann::ordered_json jsonUrls = nlohmann::ordered_json::object();
    for (const auto& [nType, info] : urls.GetEntries()) {
        jsonUrls[std::to_string(static_cast<int32_t>(nType))] = kt::ToUtf8(info.strURL);
    }
    nlohmann::ordered_json json{{"result", nResult}, {"urls", jsonUrls}};
    json["codePage"] = kt::AnsiCodePageName();
    json["trace"] = vecTrace;
    PrintOrdered(json);
    return 0;
}

const Registrar s_paths("paths", "paths ROOT [--user NAME]   (ROOT ends in a separator)",
                        &RunPaths);
const Registrar s_urls("urls", "urls DIR   (DIR ends in a separator)", &RunUrls);

}  // namespace
}  // namespace ktinspect
