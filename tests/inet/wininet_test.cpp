// The Internet functions on their own: handle tree, notifications from the library's thread,
// pending sends and reads, URL splitting, connected state.
#include "platform/inet/wininet.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#ifndef _WIN32
#include <curl/curl.h>

#include "libcurl/curlholders.h"
#endif
#include "platform/codepage.h"
#include "platform/sync.h"
#include "support/http_server.h"
#include "support/net_util.h"
#include "support/raw_server.h"
#include "support/scoped.h"

using namespace kt;

namespace {

struct NOTIFICATION {
    HINTERNET hHandle;
    uint32_t dwStatus;
    DWORD_PTR dwResult;  // the handle for 60 and 70, TRUE/FALSE for 100
    uint32_t dwError;
    bool bOtherThread;  // came on another thread than the test's
    bool operator==(const NOTIFICATION&) const = default;
};

// The context every test handle carries: a record of what arrived, and an event per completion.
struct CONTEXT_LOG {
    std::mutex mutex;
    std::vector<NOTIFICATION> vecNotes;
    CEvent evtComplete{false, false};
    const std::thread::id idTest = std::this_thread::get_id();

    std::vector<NOTIFICATION> Notes() {
        std::lock_guard<std::mutex> lock(mutex);
        return vecNotes;
    }
};

void Callback(HINTERNET h, DWORD_PTR dwContext, uint32_t dwStatus, void* pInfo, uint32_t dwLen) {
    const bool bClosing = dwStatus == INTERNET_STATUS_HANDLE_CLOSING;
    EXPECT_EQ(dwLen, bClosing ? sizeof(HINTERNET) : sizeof(INTERNET_ASYNC_RESULT));
    const INTERNET_ASYNC_RESULT result =
        bClosing
            ? INTERNET_ASYNC_RESULT{reinterpret_cast<DWORD_PTR>(*static_cast<HINTERNET*>(pInfo)), 0}
            : *static_cast<INTERNET_ASYNC_RESULT*>(pInfo);
    auto* pLog = reinterpret_cast<CONTEXT_LOG*>(dwContext);
    {
        std::lock_guard<std::mutex> lock(pLog->mutex);
        pLog->vecNotes.push_back({h, dwStatus, result.dwResult, result.dwError,
                                  std::this_thread::get_id() != pLog->idTest});
    }
    if (dwStatus == INTERNET_STATUS_REQUEST_COMPLETE) pLog->evtComplete.Set();
}

// The call failed, leaving the expected error for the calling thread.
::testing::AssertionResult Failed(bool bSucceeded, uint32_t dwExpected) {
    const uint32_t dwError = GetLastInetError();
    if (!bSucceeded && dwError == dwExpected) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "succeeded " << bSucceeded << ", error " << dwError;
}

class InetFunctions : public ::testing::Test {
protected:
    void TearDown() override {
        if (m_hInternet != nullptr) InternetCloseHandle(m_hInternet);
        EXPECT_EQ(InternetOpenHandleCount(), 0u);
        EXPECT_FALSE(InternetWorkerRunning());
    }
    void Open() {
        m_hInternet = InternetOpen(u"UnitAgent", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr,
                                   INTERNET_FLAG_ASYNC);
        ASSERT_NE(m_hInternet, nullptr);
        EXPECT_EQ(InternetSetStatusCallback(m_hInternet, &Callback), nullptr);
    }
    DWORD_PTR Context() { return reinterpret_cast<DWORD_PTR>(&m_log); }
    HINTERNET Connect(int nPort, DWORD_PTR dwContext) {
        return InternetConnect(m_hInternet, u"127.0.0.1", static_cast<INTERNET_PORT>(nPort),
                               nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, dwContext);
    }

    // Connect, open and send (headers to their terminator); returns the request handle once the
    // send has completed.
    HINTERNET Send(int nPort, const char16_t* pszVerb, const char16_t* pszHeaders = u"",
                   std::string_view strBody = {}) {
        HINTERNET hRequest = HttpOpenRequest(Connect(nPort, Context()), pszVerb, u"/", u"HTTP/1.1",
                                             nullptr, nullptr, 0, Context());
        EXPECT_TRUE(Failed(HttpSendRequest(hRequest, pszHeaders, static_cast<uint32_t>(-1),
                                           strBody.data(), static_cast<uint32_t>(strBody.size())),
                           ERROR_IO_PENDING));
        EXPECT_TRUE(m_log.evtComplete.Wait(kttest::kGuardMs));
        return hRequest;
    }

    // Reads to the end, waiting on pending reads; "<failed>" is appended after a failed one.
    std::string ReadAll(HINTERNET hRequest) {
        std::string strOut;
        char buf[1000];
        for (uint32_t dwRead = 1; dwRead > 0; strOut.append(buf, dwRead)) {
            if (!InternetReadFile(hRequest, buf, sizeof(buf), &dwRead) &&
                (GetLastInetError() != ERROR_IO_PENDING ||
                 !m_log.evtComplete.Wait(kttest::kGuardMs) || m_log.Notes().back().dwError != 0))
                return strOut + "<failed>";
        }
        return strOut;
    }

    HINTERNET m_hInternet = nullptr;
    CONTEXT_LOG m_log;
};

TEST(InetConnectedState, ProxyFlagFollowsTheEnvironment) {
#ifdef _WIN32
    GTEST_SKIP() << "Windows takes its proxy from its own settings, not from the environment";
#else
    for (const char* pszName :
         {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"})
        unsetenv(pszName);
    uint32_t dwFlags = 0xFFFF;
    const bool bConnected = InternetGetConnectedState(&dwFlags, 0);
    EXPECT_EQ(dwFlags, bConnected ? INTERNET_CONNECTION_LAN : INTERNET_CONNECTION_OFFLINE);
    setenv("http_proxy", "http://127.0.0.1:3128", 1);
    EXPECT_TRUE(InternetGetConnectedState(&dwFlags, 0));
    EXPECT_EQ(dwFlags & 0x44u, INTERNET_CONNECTION_PROXY | INTERNET_CONNECTION_CONFIGURED);
    unsetenv("http_proxy");  // the other tests talk to their servers directly
#endif
}

TEST(InetParseUrl, SplitsServicesServersObjectsAndPorts) {
    // Service (3 HTTP, 4104 HTTPS, 1 FTP), server, object and port; "-" for what cannot be split.
    const auto split = [](const char16_t* pszUrl) {
        uint32_t dwService = 0;
        std::u16string strServer, strObject;
        INTERNET_PORT nPort = 0;
        if (!AfxParseURL(pszUrl, dwService, strServer, strObject, nPort)) return std::string("-");
        return std::to_string(dwService) + " " + ToUtf8(strServer) + " " + ToUtf8(strObject) + " " +
               std::to_string(nPort);
    };
    const std::pair<const char16_t*, const char*> cases[] = {
        {u"http://example.com", "3 example.com / 80"},
        {u"HTTP://Example.com:8080/a/b?x=1&y=%20", "3 Example.com /a/b?x=1&y=%20 8080"},
        {u"https://h/p", "4104 h /p 443"},
        {u"http://user:pw@h:81/p#frag", "3 h /p 81"},
        {u"http://h?q=1", "3 h /?q=1 80"},
        {u"http://[::1]:9/x y", "3 ::1 /x y 9"},
        {u"  http://h/中 ", "3 h /中 80"},
        {u"ftp://f/", "1 f / 21"}};
    for (const auto& [pszUrl, pszExpected] : cases) EXPECT_EQ(split(pszUrl), pszExpected);
    for (const char16_t* pszUrl :
         {u"", u"   ", u"example.com/a", u"://h/", u"gopherx://h/", u"http://", u"http:///p",
          u"http://h:/p", u"http://h:0/", u"http://h:65536/", u"http://h:12a/", u"http://[::1/",
          u"http://a b/"})
        EXPECT_EQ(split(pszUrl), "-") << ToUtf8(pszUrl);
    EXPECT_EQ(split(nullptr), "-");
}

TEST_F(InetFunctions, OpenRunsTheWorkerOnlyWhileAnInternetHandleIsOpen) {
    // Synchronous use, an unknown access type and a proxy without a name are refused.
    for (const auto& [dwAccess, dwFlags] : {std::pair{INTERNET_OPEN_TYPE_DIRECT, 0u},
                                            {7u, INTERNET_FLAG_ASYNC},
                                            {INTERNET_OPEN_TYPE_PROXY, INTERNET_FLAG_ASYNC}})
        EXPECT_TRUE(Failed(InternetOpen(u"a", dwAccess, nullptr, nullptr, dwFlags),
                           ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(InternetWorkerRunning());

    HINTERNET h1 =
        InternetOpen(u"a", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, INTERNET_FLAG_ASYNC);
    HINTERNET h2 = InternetOpen(u"b", INTERNET_OPEN_TYPE_PRECONFIG_WITH_NO_AUTOPROXY, nullptr,
                                nullptr, INTERNET_FLAG_ASYNC);
    ASSERT_TRUE(h1 != nullptr && h2 != nullptr && h1 != h2);
    EXPECT_TRUE(InternetWorkerRunning());
    EXPECT_EQ(InternetOpenHandleCount(), 2u);
    EXPECT_TRUE(InternetCloseHandle(h1));
    EXPECT_TRUE(InternetWorkerRunning());
    EXPECT_TRUE(Failed(InternetCloseHandle(h1), ERROR_INVALID_HANDLE));
    EXPECT_TRUE(InternetCloseHandle(h2));
    EXPECT_FALSE(InternetWorkerRunning());
}

TEST_F(InetFunctions, CallbackIsPerHandleAndConnectReportsFromTheLibrarysThread) {
    EXPECT_EQ(InternetSetStatusCallback(reinterpret_cast<HINTERNET>(0x1234), &Callback),
              INTERNET_INVALID_STATUS_CALLBACK);
    EXPECT_EQ(GetLastInetError(), ERROR_INVALID_HANDLE);
    Open();
    kttest::CHttpServer server;

    // Made while no callback is installed, a connection tells nobody even with a context, and a
    // callback installed afterwards on the parent does not reach it.
    EXPECT_EQ(InternetSetStatusCallback(m_hInternet, nullptr), &Callback);
    HINTERNET hQuiet = Connect(server.Port(), Context());
    ASSERT_NE(hQuiet, nullptr);
    EXPECT_EQ(InternetSetStatusCallback(m_hInternet, &Callback), nullptr);
    EXPECT_TRUE(InternetCloseHandle(hQuiet));
    EXPECT_TRUE(m_log.Notes().empty());

    // The creation is reported before the call returns, on the library's thread.
    HINTERNET hConnect = Connect(server.Port(), Context());
    const auto dwConnect = reinterpret_cast<DWORD_PTR>(hConnect);
    EXPECT_EQ(m_log.Notes(), (std::vector<NOTIFICATION>{
                                 {hConnect, INTERNET_STATUS_HANDLE_CREATED, dwConnect, 0, true}}));
    EXPECT_TRUE(kttest::PumpUntil([&] { return server.ConnectionCount() == 2; }));

    // Failures at the connection step; "a..b" is refused by the resolver without a query.
    const std::tuple<HINTERNET, const char16_t*, int, uint32_t> bad[] = {
        {m_hInternet, u"127.0.0.1", kttest::net::ClosedPort(), ERROR_INTERNET_CANNOT_CONNECT},
        {m_hInternet, u"a..b", server.Port(), ERROR_INTERNET_NAME_NOT_RESOLVED},
        {hConnect, u"127.0.0.1", server.Port(), ERROR_INTERNET_INCORRECT_HANDLE_TYPE},
        {m_hInternet, u"", server.Port(), ERROR_INVALID_PARAMETER}};
    for (const auto& [hParent, pszServer, nPort, dwError] : bad)
        EXPECT_TRUE(Failed(InternetConnect(hParent, pszServer, static_cast<INTERNET_PORT>(nPort),
                                           nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, Context()),
                           dwError))
            << dwError;
    EXPECT_EQ(m_log.Notes().size(), 1u);
}

TEST_F(InetFunctions, OpenRequestAndSendAsTheServerReceivesThem) {
    Open();
    kttest::CHttpServer server;
    server.SetReply(200, "reply-bytes");
    EXPECT_TRUE(Failed(HttpOpenRequest(m_hInternet, u"GET", u"/", nullptr, nullptr, nullptr, 0, 0),
                       ERROR_INTERNET_INCORRECT_HANDLE_TYPE));
    HINTERNET hOpened = HttpOpenRequest(Connect(server.Port(), 0), u"GET", u"/", nullptr, nullptr,
                                        nullptr, 0, Context());
    const auto dwOpened = reinterpret_cast<DWORD_PTR>(hOpened);
    EXPECT_EQ(
        m_log.Notes(),
        (std::vector<NOTIFICATION>{{hOpened, INTERNET_STATUS_HANDLE_CREATED, dwOpened, 0, true}}));
    // A read before the send is in the wrong state.
    char buf[8];
    uint32_t dwRead = 0;
    EXPECT_TRUE(Failed(InternetReadFile(hOpened, buf, sizeof(buf), &dwRead),
                       ERROR_INTERNET_INCORRECT_HANDLE_STATE));

    // The completion comes from the library's thread with success (the wire image is checked
    // through CAsyncHttp, with the fixed headers).
    HINTERNET hRequest = Send(server.Port(), nullptr, u"A: b\r\n");
    EXPECT_EQ(m_log.Notes().back(),
              (NOTIFICATION{hRequest, INTERNET_STATUS_REQUEST_COMPLETE, 1, 0, true}));
    EXPECT_EQ(ReadAll(hRequest), "reply-bytes");
    EXPECT_TRUE(Failed(InternetReadFile(hRequest, nullptr, 10, &dwRead), ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(Failed(InternetReadFile(m_hInternet, &dwRead, 1, &dwRead),
                       ERROR_INTERNET_INCORRECT_HANDLE_TYPE));
    ASSERT_TRUE(server.WaitForRequests(1));
    // No verb means GET.
    EXPECT_EQ(server.Request(0).strMethod + " " + server.Request(0).Header("A"), "GET b");
    // A second send on the same request, or a send on another kind of handle, is refused.
    EXPECT_TRUE(Failed(HttpSendRequest(hRequest, nullptr, 0, nullptr, 0),
                       ERROR_INTERNET_INCORRECT_HANDLE_STATE));
    EXPECT_TRUE(Failed(HttpSendRequest(m_hInternet, nullptr, 0, nullptr, 0),
                       ERROR_INTERNET_INCORRECT_HANDLE_TYPE));

    // A dropped connection fails the send, and a read then fails with its error; a reply cut short
    // fails the read.
    kttest::CRawServer raw;
    raw.QueueAction(kttest::RAW_ACTION::CloseAfterRequest());
    raw.QueueAction(kttest::RAW_ACTION::Reply("HTTP/1.1 200 OK\r\nContent-Length: 5000\r\n\r\n" +
                                              std::string(1000, 'x')));
    hRequest = Send(raw.Port(), u"GET");
    const NOTIFICATION last = m_log.Notes().back();
    EXPECT_EQ(last.dwStatus * 10 + last.dwResult, INTERNET_STATUS_REQUEST_COMPLETE * 10u);
    EXPECT_NE(last.dwError, 0u);
    EXPECT_TRUE(Failed(InternetReadFile(hRequest, buf, sizeof(buf), &dwRead), last.dwError));
    const std::string strCut = ReadAll(Send(raw.Port(), u"GET"));
    EXPECT_EQ(strCut.substr(strCut.size() - 8), "<failed>");
    EXPECT_LE(strCut.size(), 1008u);
}

TEST_F(InetFunctions, CloseClosesChildrenFirstAndNothingIsReportedAfterwards) {
    Open();
    kttest::CRawServer raw;  // never answers: the send stays pending
    HINTERNET hConnect = Connect(raw.Port(), Context());
    HINTERNET hRequest =
        HttpOpenRequest(hConnect, u"GET", u"/", nullptr, nullptr, nullptr, 0, Context());
    ASSERT_NE(hRequest, nullptr);
    EXPECT_FALSE(HttpSendRequest(hRequest, nullptr, 0, nullptr, 0));
    ASSERT_TRUE(raw.WaitForRequests(1));

    EXPECT_TRUE(InternetCloseHandle(m_hInternet));
    m_hInternet = nullptr;
    const std::vector<NOTIFICATION> notes = m_log.Notes();
    ASSERT_EQ(notes.size(), 4u);
    const auto dwRequest = reinterpret_cast<DWORD_PTR>(hRequest);
    const auto dwConnect = reinterpret_cast<DWORD_PTR>(hConnect);
    EXPECT_EQ(std::vector<NOTIFICATION>(notes.begin() + 2, notes.end()),
              (std::vector<NOTIFICATION>{
                  {hRequest, INTERNET_STATUS_HANDLE_CLOSING, dwRequest, 0, notes[2].bOtherThread},
                  {hConnect, INTERNET_STATUS_HANDLE_CLOSING, dwConnect, 0, true}}));
    EXPECT_TRUE(Failed(InternetCloseHandle(hRequest), ERROR_INVALID_HANDLE));
}

#ifndef _WIN32
// The libcurl version when libcurl fails it: every option libcurl knows is refused in turn (so
// whatever option the layer sets is refused once, without a list of them here), then the transfer
// itself. The send completes with ERROR_INTERNET_INTERNAL_ERROR and nothing goes out, nothing stays
// open (LeakSanitizer checks the memory).
TEST_F(InetFunctions, CurlRefusalsFailTheSendAndSendNothing) {
    kttest::CHttpServer server;
    // A POST and a GET that keeps a body (between them every option the layer sets), each under an
    // internet handle closed afterwards: the errors their sends completed with, and how many
    // requests reached the server.
    const auto runBoth = [&] {
        const size_t nBefore = server.RequestCount();
        std::vector<size_t> vecRun;
        for (const char16_t* pszVerb : {u"POST", u"GET"}) {
            Open();
            Send(server.Port(), pszVerb, u"X: 1\r\n", "a=1");
            vecRun.push_back(m_log.Notes().back().dwError);
            EXPECT_TRUE(InternetCloseHandle(m_hInternet));
            m_hInternet = nullptr;
            EXPECT_EQ(InternetOpenHandleCount(), 0u);
        }
        vecRun.push_back(server.RequestCount() - nBefore);
        return vecRun;
    };
    size_t nRefusedRows = 0;
    for (const curl_easyoption* pOpt = curl_easy_option_next(nullptr); pOpt != nullptr;
         pOpt = curl_easy_option_next(pOpt)) {
        if (pOpt->flags & CURLOT_FLAG_ALIAS) continue;
        kttest::CTraceLog trace;
        CCurlOptions::RefuseForTest(pOpt->id);
        const std::vector<size_t> run = runBoth();
        CCurlOptions::RefuseForTest(CURLOPT_LASTENTRY);
        char szName[64];
        const std::string strLine = std::string("HttpSendRequest() curl option ") +
                                    CurlOptionName(pOpt->id, szName) + " refused: 48\n";
        SCOPED_TRACE(szName);
        // A send that set the option failed there, named once, and sent nothing; the other went
        // through.
        const size_t nFailed = (run[0] != 0) + (run[1] != 0);
        EXPECT_EQ(trace.Count(strLine), nFailed);
        for (size_t dwError : {run[0], run[1]})
            EXPECT_TRUE(dwError == 0 || dwError == ERROR_INTERNET_INTERNAL_ERROR) << dwError;
        EXPECT_EQ(run[2], 2 - nFailed);
        nRefusedRows += nFailed > 0;
    }
    // The layer sets some twenty options; a seam that refused nothing would pass every row above.
    EXPECT_GE(nRefusedRows, 20u);

    InternetRefuseTransfersForTest(true);
    EXPECT_EQ(runBoth(), (std::vector<size_t>{ERROR_INTERNET_INTERNAL_ERROR,
                                              ERROR_INTERNET_INTERNAL_ERROR, 0}));
    InternetRefuseTransfersForTest(false);
}
#endif

}  // namespace
