// kt-inspect inet / inet-table: one request through the WinInet pool's functions, with what its
// owner was told and the progress it reported; inet-table then reads the reply as a table reply.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "datatable/datatable.h"
#include "inet/inetpool.h"
#include "inspect.h"
#include "platform/codepage.h"
#include "platform/msgbox.h"
#include "platform/msgwindow.h"
#include "platform/sync.h"
#include "table_json.h"

namespace ktinspect {
namespace {

class CInetOwner : public IHttpReporter {
public:
    int32_t OnRequestFinished(long /*nId*/) override {
        m_strNotification = "finished";
        return 0;
    }
    int32_t OnRequestFailed(long /*nId*/, int32_t /*nResult*/) override {
        m_strNotification = "failed";
        return 0;
    }
    std::string m_strNotification;
};

// Progress comes on the request's threads.
std::mutex g_mutexProgress;
std::vector<std::pair<long, long>> g_vecProgress;

void OnProgress(long /*nId*/, long nStage, long nValue) {
    std::lock_guard<std::mutex> lock(g_mutexProgress);
    g_vecProgress.emplace_back(nStage, nValue);
}

// Without a time-out of its own a request could wait for a silent server for a long time; the
// loop gives up after this much and reports no notification.
constexpr uint64_t kNoTimeoutGuardMs = 120000;
constexpr uint64_t kGraceMs = 5000;

struct INET_RUN {
    long nId = -1;
    std::string strNotification;
    uint32_t dwStatus = 0;
};

std::u16string HeaderText(const std::vector<std::string>& vecValues) {
    // Each value may hold several lines; every line goes out ended by CRLF.
    std::string strOut;
    for (const std::string& strValue : vecValues) {
        size_t nPos = 0;
        while (nPos <= strValue.size()) {
            size_t nEnd = strValue.find('\n', nPos);
            if (nEnd == std::string::npos) nEnd = strValue.size();
            std::string strLine = strValue.substr(nPos, nEnd - nPos);
            if (!strLine.empty() && strLine.back() == '\r') strLine.pop_back();
            if (!strLine.empty()) strOut += strLine + "\r\n";
            nPos = nEnd + 1;
        }
    }
    return kt::FromUtf8(strOut);
}

// InitPool .. pump until the owner is told; the pool stays up for the caller's reads.
bool RunRequest(const ParsedArgs& args, bool bWithTimeout, INET_RUN& run) {
    std::string strBody;
    if (args.Has("post")) {
        std::ifstream file(args.Get("post"), std::ios::binary);
        if (!file) UsageError("cannot read " + args.Get("post"));
        strBody.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    }
    long long nTimeout = 0;
    if (bWithTimeout) {
        nTimeout = args.GetNumber("timeout", 0);
        if (nTimeout < 0 || nTimeout > 0x7FFFFFFF) UsageError("--timeout is out of range");
    }
    if (!InitPool(nullptr)) {
        std::fprintf(stderr, "kt-inspect: the WinInet pool did not initialise\n");
        UninitPool();
        return false;
    }
    static CInetOwner s_owner;
    s_owner.m_strNotification.clear();
    run.nId = CreateRequest(&s_owner, nullptr, &OnProgress);
    const std::u16string strUrl = kt::FromUtf8(args.positional[0]);
    SetRequest(run.nId, strUrl.c_str(), strBody.data(), static_cast<int>(strBody.size()));
    if (bWithTimeout && args.Has("header"))
        SetRequestHeaders(run.nId, HeaderText(args.GetAll("header")).c_str());
    if (nTimeout > 0) SetRequestTimeout(run.nId, static_cast<int>(nTimeout));
    if (StartRequest(run.nId, args.Has("post") ? kAsyncKindPost : kAsyncKindGet) == kInetOk) {
        const uint64_t qwGiveUp =
            kt::GetTickCount64() +
            (nTimeout > 0 ? static_cast<uint64_t>(nTimeout) + kGraceMs : kNoTimeoutGuardMs);
        while (s_owner.m_strNotification.empty() && kt::GetTickCount64() < qwGiveUp)
            kt::PumpMessagesFor(10);
    }
    run.strNotification = s_owner.m_strNotification;
    run.dwStatus = GetRequestStatus(run.nId);
    return true;
}

int RunInet(const Args& vecArgs) {
    const ParsedArgs args = ParseArgs(vecArgs, {"post", "timeout", "header"}, {}, 1, 1);
    INET_RUN run;
    if (!RunRequest(args, true, run)) return 1;
    long nLength = 0;
    std::unique_ptr<char, decltype(&std::free)> pReply(GetReply(run.nId, &nLength), &std::free);
    nlohmann::json progress = nlohmann::json::array();
    {
        std::lock_guard<std::mutex> lock(g_mutexProgress);
        for (const auto& [nStage, nValue] : g_vecProgress) progress.push_back({nStage, nValue});
    }
    nlohmann::json out;
    out["id"] = run.nId;
    out["notification"] =
        run.strNotification.empty() ? nlohmann::json(nullptr) : nlohmann::json(run.strNotification);
    out["status"] = run.dwStatus;
    out["progress"] = progress;
    out["bodyLength"] = nLength;
    out["bodyBase64"] = Base64(pReply.get(), static_cast<size_t>(nLength));
    UninitPool();
    PrintJson(out);
    return 0;
}

int RunInetTable(const Args& vecArgs) {
    const ParsedArgs args = ParseArgs(vecArgs, {"post"}, {}, 1, 1);
    INET_RUN run;
    if (!RunRequest(args, false, run)) return 1;
    nlohmann::json messages = nlohmann::json::array();
    const kt::MessageBoxHandler previous = kt::SetMessageBoxHandler(
        [&messages](std::u16string_view strText, std::u16string_view, unsigned) {
            messages.push_back(kt::ToUtf8(strText));
            return kt::kIdOk;
        });
    kt::CDataTable* pTable = nullptr;
    const int nResult = GetReplyTable(run.nId, pTable);
    kt::SetMessageBoxHandler(previous);
    std::unique_ptr<kt::CDataTable> pOwned(pTable);
    nlohmann::json out;
    out["result"] = nResult;
    out["messages"] = messages;
    out["table"] = TableToJson(pOwned.get());
    UninitPool();
    PrintJson(out);
    return 0;
}

const Registrar s_inet("inet", "inet URL [--post FILE] [--timeout MS] [--header LINES]", &RunInet);
const Registrar s_inetTable("inet-table", "inet-table URL [--post FILE]", &RunInetTable);

}  // namespace
}  // namespace ktinspect
