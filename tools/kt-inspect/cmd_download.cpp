// kt-inspect download / remote-size: the transfer engine's file download and its size request,
// run the way a client of the engine runs them, with what the reporter heard.
#include <sys/stat.h>

#include <cstdint>
#include <string>

#include "httpdownload/httpdownload.h"
#include "httpdownload/httppublic.h"
#include "inspect.h"
#include "platform/codepage.h"
#include "platform/msgwindow.h"
#include "platform/paths.h"

namespace ktinspect {
namespace {

constexpr long long kRemoteSizeTimeoutMs = 30000;
// How long one pump waits for a message before it looks at the state again.
constexpr uint32_t kPumpSliceMs = 100;

class CDownloadReporter : public IHttpReporter {
public:
    int32_t OnRequestFinished(long) override {
        m_strNotification = "finished";
        return 0;
    }
    int32_t OnRequestFailed(long, int32_t nResult) override {
        m_strNotification = "failed";
        m_nFailedCode = nResult;
        return 0;
    }
    int32_t OnRequestStatus(long, int32_t nValue) override {
        ++m_nStatusCalls;
        m_nLastStatus = nValue;
        return 0;
    }

    std::string m_strNotification;
    int32_t m_nFailedCode = 0;
    long long m_nStatusCalls = 0;
    int32_t m_nLastStatus = 0;
};

uint32_t TimeoutArg(const ParsedArgs& args, long long nFallback) {
    const long long nTimeout = args.GetNumber("timeout", nFallback);
    if (nTimeout < 0 || nTimeout > UINT32_MAX) UsageError("--timeout is out of range");
    return static_cast<uint32_t>(nTimeout);
}

int RunDownload(const Args& vecArgs) {
    const ParsedArgs args = ParseArgs(vecArgs, {"timeout"}, {"async"}, 2, 2);
    const uint32_t dwTimeout = TimeoutArg(args, kDownloadPartTimeout);
    const std::u16string strUrl = kt::FromUtf8(args.positional[0]);
    // The engine works on the family's path form; it maps it back at the file system.
    const std::u16string strPath = kt::FromFsPath(args.positional[1]);
    const bool bAsync = args.Flag("async");

    nlohmann::json out;
    CDownloadReporter reporter;
    if (HttpPool_Initialize(nullptr) == 0) {
        std::fprintf(stderr, "kt-inspect: the transfer engine did not start\n");
        return 1;
    }
    if (!bAsync) {
        out["result"] =
            HttpPool_DownloadFileSync(strUrl.c_str(), strPath.c_str(), &reporter, dwTimeout);
        kt::PumpMessages();
        out["notification"] = nullptr;
    } else {
        long nId = -1;
        const int nStarted =
            HttpPool_DownloadFile(&nId, strUrl.c_str(), strPath.c_str(), &reporter, dwTimeout, 0);
        out["result"] = nStarted;
        out["id"] = nId;
        if (nStarted == 0) {
            while (reporter.m_strNotification.empty()) kt::PumpMessagesFor(kPumpSliceMs);
        }
        if (reporter.m_strNotification.empty()) {
            out["notification"] = nullptr;
        } else {
            out["notification"] = reporter.m_strNotification;
        }
        out["failedCode"] = reporter.m_nFailedCode;
    }
    HttpPool_DetachReporter(&reporter);
    HttpPool_Uninitialize();

    struct stat st {};
    const bool bExists = ::stat(args.positional[1].c_str(), &st) == 0;
    out["size"] = bExists ? static_cast<long long>(st.st_size) : 0LL;
    out["mtime"] = bExists ? static_cast<long long>(st.st_mtime) : 0LL;
    out["statusCalls"] = reporter.m_nStatusCalls;
    out["lastStatus"] = reporter.m_nLastStatus;
    PrintJson(out);
    return 0;
}

int RunRemoteSize(const Args& vecArgs) {
    const ParsedArgs args = ParseArgs(vecArgs, {"timeout"}, {}, 1, 1);
    const uint32_t dwTimeout = TimeoutArg(args, kRemoteSizeTimeoutMs);
    const std::u16string strUrl = kt::FromUtf8(args.positional[0]);
    if (HttpPool_Initialize(nullptr) == 0) {
        std::fprintf(stderr, "kt-inspect: the transfer engine did not start\n");
        return 1;
    }
    long nSize = 0;
    const int nResult = HttpPool_GetRemoteFileSize(strUrl.c_str(), &nSize, dwTimeout);
    HttpPool_Uninitialize();
    PrintJson({{"result", nResult}, {"size", nSize}});
    return 0;
}

const Registrar s_download("download", "download URL PATH [--timeout MS] [--async]", &RunDownload);
const Registrar s_remoteSize("remote-size", "remote-size URL [--timeout MS]", &RunRemoteSize);

}  // namespace
}  // namespace ktinspect
