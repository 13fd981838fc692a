// The libcurl version of the Internet functions when libcurl fails it: every option libcurl knows
// is refused in turn (so whatever option the layer sets is refused once, without a list of them
// here), then the transfer itself. The send completes with ERROR_INTERNET_INTERNAL_ERROR and
// nothing goes out, CAsyncHttp above it ends stopped, and nothing stays open (LeakSanitizer
// checks the memory).
#include <curl/curl.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "inet/asynchttp.h"
#include "libcurl/curlholders.h"
#include "platform/codepage.h"
#include "platform/inet/wininet.h"
#include "platform/sync.h"
#include "support/http_server.h"
#include "support/scoped.h"

namespace {

// Completions of the requests below, one at a time.
kt::CEvent g_evtComplete{false, false};
uint32_t g_dwError = 0;
void OnStatus(kt::HINTERNET, kt::DWORD_PTR, uint32_t dwStatus, void* pInfo, uint32_t) {
    if (dwStatus != kt::INTERNET_STATUS_REQUEST_COMPLETE) return;
    g_dwError = static_cast<kt::INTERNET_ASYNC_RESULT*>(pInfo)->dwError;
    g_evtComplete.Set();
}

// Sends a request with a body under the internet handle; the error its send completed with.
uint32_t Send(kt::HINTERNET hInternet, int nPort, const char16_t* pszVerb) {
    using namespace kt;
    HINTERNET hConnect = InternetConnect(hInternet, u"127.0.0.1", static_cast<INTERNET_PORT>(nPort),
                                         nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 1);
    HINTERNET hRequest = HttpOpenRequest(hConnect, pszVerb, u"/f", nullptr, nullptr, nullptr, 0, 1);
    HttpSendRequest(hRequest, u"X: 1\r\n", static_cast<uint32_t>(-1), "a=1", 3);
    const uint32_t dwError = g_evtComplete.Wait(kttest::kGuardMs) ? g_dwError : 1;
    InternetCloseHandle(hConnect);
    return dwError;
}

// A POST and a GET that keeps a body (between them every option the layer sets): the errors
// their sends completed with, and how many requests reached the server.
std::vector<size_t> RunBoth(kt::HINTERNET hInternet, kttest::CHttpServer& server) {
    const size_t nBefore = server.RequestCount();
    const uint32_t dwPost = Send(hInternet, server.Port(), u"POST");
    const uint32_t dwGet = Send(hInternet, server.Port(), u"GET");
    return {dwPost, dwGet, server.RequestCount() - nBefore};
}

TEST(InetCurlFaults, EveryRefusedOptionAndARefusedTransferSendNothing) {
    using namespace kt;
    kttest::CHttpServer server;
    server.SetReply(200, "ok");
    HINTERNET hInternet =
        InternetOpen(u"A", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, INTERNET_FLAG_ASYNC);
    ASSERT_NE(hInternet, nullptr);
    InternetSetStatusCallback(hInternet, &OnStatus);
    size_t nRefusedRows = 0;
    for (const curl_easyoption* pOpt = curl_easy_option_next(nullptr); pOpt != nullptr;
         pOpt = curl_easy_option_next(pOpt)) {
        if (pOpt->flags & CURLOT_FLAG_ALIAS) continue;
        kttest::CTraceLog trace;
        CCurlOptions::RefuseForTest(pOpt->id);
        const std::vector<size_t> run = RunBoth(hInternet, server);
        CCurlOptions::RefuseForTest(CURLOPT_LASTENTRY);
        char szName[64];
        const std::string strLine = std::string("HttpSendRequest() curl option ") +
                                    CurlOptionName(pOpt->id, szName) + " refused: 48\n";
        SCOPED_TRACE(szName);
        // A send that set the option failed there, named once, and sent nothing; the other went
        // through; nothing stays open.
        const size_t nFailed = (run[0] != 0) + (run[1] != 0);
        EXPECT_EQ(trace.Count(strLine), nFailed);
        for (size_t dwError : {run[0], run[1]})
            EXPECT_TRUE(dwError == 0 || dwError == ERROR_INTERNET_INTERNAL_ERROR) << dwError;
        EXPECT_EQ(run[2], 2 - nFailed);
        EXPECT_EQ(InternetOpenHandleCount(), 1u);
        nRefusedRows += nFailed > 0;
    }
    // The layer sets some twenty options; a seam that refused nothing would pass every row above.
    EXPECT_GE(nRefusedRows, 20u);

    InternetRefuseTransfersForTest(true);
    EXPECT_EQ(RunBoth(hInternet, server), (std::vector<size_t>{ERROR_INTERNET_INTERNAL_ERROR,
                                                               ERROR_INTERNET_INTERNAL_ERROR, 0}));
    EXPECT_TRUE(InternetCloseHandle(hInternet));
    // The request above them ends stopped.
    CAsyncHttp http(1, nullptr);
    EXPECT_EQ(http.OpenRequest(kAsyncKindGet, FromUtf8(server.Url("/")), nullptr, 0),
              kAsyncStopped);
    InternetRefuseTransfersForTest(false);
    EXPECT_EQ(http.OpenRequest(kAsyncKindGet, FromUtf8(server.Url("/")), nullptr, 0), 0u);
    EXPECT_EQ(http.CopyData(), "ok");
    http.Close();
    EXPECT_EQ(InternetOpenHandleCount(), 0u);
}

}  // namespace
