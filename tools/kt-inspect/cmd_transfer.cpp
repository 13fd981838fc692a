// kt-inspect fetch: one request through the transfer engine's public functions, exactly as a
// dialog would make it, with what its reporter was told.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "httpdownload/httppublic.h"
#include "inspect.h"
#include "platform/codepage.h"
#include "platform/msgwindow.h"
#include "platform/sync.h"

namespace ktinspect {
namespace {

class CFetchReporter : public IHttpReporter {
public:
    int32_t OnRequestFinished(long /*nId*/) override {
        m_strNotification = "finished";
        m_nResult = 0;
        return 0;
    }
    int32_t OnRequestFailed(long /*nId*/, int32_t nResult) override {
        m_strNotification = "failed";
        m_nResult = nResult;
        return 0;
    }
    int32_t OnRequestProgress(long /*nId*/, double /*dProgress*/) override {
        ++m_nProgressCalls;
        return 0;
    }

    std::string m_strNotification;
    int32_t m_nResult = 0;
    long m_nProgressCalls = 0;
};

constexpr long long kDefaultTimeoutMs = 30000;
// Beyond the request's own time-out the engine always reports; this only guards a wedged loop.
constexpr uint32_t kGraceMs = 10000;

int RunFetch(const Args& vecArgs) {
    const ParsedArgs args =
        ParseArgs(vecArgs, {"data", "form", "header", "timeout", "cancel-after"}, {}, 1, 1);
    if (args.Has("data") && args.Has("form")) UsageError("fetch takes --data or --form, not both");
    const long long nTimeout = args.GetNumber("timeout", kDefaultTimeoutMs);
    if (nTimeout < 0 || nTimeout > UINT32_MAX) UsageError("--timeout is out of range");
    const long long nCancelAfter = args.GetNumber("cancel-after", -1);
    if (args.Has("cancel-after") && (nCancelAfter < 0 || nCancelAfter > UINT32_MAX)) {
        UsageError("--cancel-after is out of range");
    }

    std::vector<char> vecData;
    if (args.Has("data")) {
        std::ifstream file(args.Get("data"), std::ios::binary);
        if (!file) UsageError("cannot read " + args.Get("data"));
        vecData.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    }
    const std::u16string strUrl = kt::FromUtf8(args.positional[0]);

    nlohmann::json out;
    {
        CFetchReporter reporter;
        if (HttpPool_Initialize(nullptr) != 1) {
            std::fprintf(stderr, "kt-inspect: the transfer engine did not initialise\n");
            HttpPool_Uninitialize();
            return 1;
        }
        long nId = HttpPool_NewRequest();
        for (const std::string& strLine : args.GetAll("header")) {
            HttpPool_AddHeader(nId, kt::FromUtf8(strLine).c_str());
        }
        const auto dwTimeout = static_cast<uint32_t>(nTimeout);
        int nStarted = 0;
        if (args.Has("form")) {
            const std::u16string strForm = kt::FromUtf8(args.Get("form"));
            nStarted = HttpPool_RequestForm(&nId, strUrl.c_str(), strForm.c_str(), &reporter,
                                            dwTimeout, 0, 0);
        } else {
            nStarted = HttpPool_RequestData(&nId, strUrl.c_str(), vecData.data(),
                                            static_cast<uint32_t>(vecData.size()), &reporter,
                                            dwTimeout, 0, 0);
        }
        if (nStarted == HTTP_OK) {
            const uint64_t nBegin = kt::GetTickCount64();
            const uint64_t nGiveUp = nBegin + static_cast<uint64_t>(nTimeout) + kGraceMs;
            bool bCancelled = false;
            while (reporter.m_strNotification.empty() && kt::GetTickCount64() < nGiveUp) {
                if (nCancelAfter >= 0 && !bCancelled &&
                    kt::GetTickCount64() >= nBegin + static_cast<uint64_t>(nCancelAfter)) {
                    HttpPool_Cancel(nId);
                    bCancelled = true;
                }
                kt::PumpMessagesFor(10);
            }
        }
        long nLength = 0;
        std::unique_ptr<char, decltype(&std::free)> pBody(HttpPool_GetData(nId, &nLength),
                                                          &std::free);
        const int32_t nResult =
            reporter.m_strNotification.empty() ? HttpPool_GetResult(nId) : reporter.m_nResult;
        out["id"] = nId;
        out["started"] = nStarted;
        out["notification"] = reporter.m_strNotification.empty()
                                  ? nlohmann::json(nullptr)
                                  : nlohmann::json(reporter.m_strNotification);
        out["result"] = nResult;
        out["errorText"] = kt::ToUtf8(HttpPool_GetErrorText(nResult));
        out["progressCalls"] = reporter.m_nProgressCalls;
        out["bodyLength"] = nLength;
        out["bodyBase64"] = Base64(pBody.get(), static_cast<size_t>(nLength));
        HttpPool_Uninitialize();
    }
    PrintJson(out);
    return 0;
}

const Registrar s_registrar(
    "fetch",
    "fetch URL [--data FILE | --form TEXT] [--header LINE]... [--timeout MS] [--cancel-after MS]",
    &RunFetch);

}  // namespace
}  // namespace ktinspect
