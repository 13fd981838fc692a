// The Internet functions on their own: handle tree, notifications from the library's thread,
// pending sends and reads, URL splitting, connected state.
#include "platform/inet/wininet.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "inet/inet_test_util.h"
#include "platform/codepage.h"
#include "platform/sync.h"
#include "support/http_server.h"
#include "support/raw_server.h"
#include "support/scoped.h"

using namespace kt;

namespace {

struct NOTIFICATION {
    HINTERNET hHandle;
    uint32_t dwStatus;
    DWORD_PTR dwResult;  // the handle for 60 and 70, TRUE/FALSE for 100
    uint32_t dwError;
    std::thread::id idThread;
};

// The context every test handle carries: a record of what arrived, and an event per completion.
struct CONTEXT_LOG {
    std::mutex mutex;
    std::vector<NOTIFICATION> vecNotes;
    CEvent evtComplete{false, false};

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
        pLog->vecNotes.push_back(
            {h, dwStatus, result.dwResult, result.dwError, std::this_thread::get_id()});
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
    HINTERNET Send(int nPort, const char16_t* pszVerb, const char16_t* pszObject,
                   const char16_t* pszHeaders = u"", const std::string& strBody = "") {
        HINTERNET hRequest = HttpOpenRequest(Connect(nPort, Context()), pszVerb, pszObject,
                                             u"HTTP/1.1", nullptr, nullptr, 0, Context());
        EXPECT_NE(hRequest, nullptr);
        const void* pBody = strBody.empty() ? nullptr : strBody.data();
        EXPECT_TRUE(Failed(HttpSendRequest(hRequest, pszHeaders, static_cast<uint32_t>(-1), pBody,
                                           static_cast<uint32_t>(strBody.size())),
                           ERROR_IO_PENDING));
        EXPECT_TRUE(m_log.evtComplete.Wait(5000));
        EXPECT_EQ(m_log.Notes().back().dwStatus, INTERNET_STATUS_REQUEST_COMPLETE);
        return hRequest;
    }

    // Reads to the end, waiting on pending reads; counts the pending ones (-1 after a failure).
    std::string ReadAll(HINTERNET hRequest, int& nPending) {
        std::string strOut;
        char buf[1000];
        uint32_t dwRead = 0;
        for (nPending = 0;; strOut.append(buf, dwRead)) {
            if (!InternetReadFile(hRequest, buf, sizeof(buf), &dwRead)) {
                if (GetLastInetError() != ERROR_IO_PENDING || !m_log.evtComplete.Wait(10000) ||
                    m_log.Notes().back().dwError != 0) {
                    nPending = -1;
                    return strOut;
                }
                ++nPending;
            }
            if (dwRead == 0) return strOut;
        }
    }

    HINTERNET m_hInternet = nullptr;
    CONTEXT_LOG m_log;
};

TEST(InetConnectedState, ProxyFlagFollowsTheEnvironment) {
#ifdef _WIN32
    GTEST_SKIP() << "Windows takes its proxy from its own settings, not from the environment";
#endif
    for (const char* pszName :
         {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"})
        inettest::SetEnv(pszName, nullptr);
    uint32_t dwFlags = 0xFFFF;
    const bool bConnected = InternetGetConnectedState(&dwFlags, 0);
    EXPECT_EQ(dwFlags, bConnected ? INTERNET_CONNECTION_LAN : INTERNET_CONNECTION_OFFLINE);
    inettest::SetEnv("http_proxy", "http://127.0.0.1:3128");
    EXPECT_TRUE(InternetGetConnectedState(&dwFlags, 0));
    EXPECT_EQ(dwFlags & 0x44u, INTERNET_CONNECTION_PROXY | INTERNET_CONNECTION_CONFIGURED);
    inettest::SetEnv("http_proxy", nullptr);  // the other tests talk to their servers directly
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
    EXPECT_TRUE(Failed(InternetOpen(u"a", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0),
                       ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(Failed(InternetOpen(u"a", 7, nullptr, nullptr, INTERNET_FLAG_ASYNC),
                       ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(
        Failed(InternetOpen(u"a", INTERNET_OPEN_TYPE_PROXY, nullptr, nullptr, INTERNET_FLAG_ASYNC),
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
    ASSERT_NE(hConnect, nullptr);
    ASSERT_EQ(m_log.Notes().size(), 1u);
    const NOTIFICATION note = m_log.Notes()[0];
    EXPECT_EQ(note.dwStatus, INTERNET_STATUS_HANDLE_CREATED);
    EXPECT_EQ(note.hHandle, hConnect);
    EXPECT_EQ(note.dwResult, reinterpret_cast<DWORD_PTR>(hConnect));
    EXPECT_NE(note.idThread, std::this_thread::get_id());
    EXPECT_TRUE(kttest::PumpUntil([&] { return server.ConnectionCount() == 2; }));

    // Failures at the connection step; "a..b" is refused by the resolver without a query.
    EXPECT_TRUE(Failed(Connect(inettest::ClosedPort(), Context()), ERROR_INTERNET_CANNOT_CONNECT));
    const std::pair<HINTERNET, const char16_t*> bad[] = {
        {m_hInternet, u"a..b"}, {hConnect, u"127.0.0.1"}, {m_hInternet, u""}};
    const uint32_t dwErrors[] = {ERROR_INTERNET_NAME_NOT_RESOLVED,
                                 ERROR_INTERNET_INCORRECT_HANDLE_TYPE, ERROR_INVALID_PARAMETER};
    for (size_t i = 0; i < std::size(bad); ++i) {
        EXPECT_TRUE(Failed(InternetConnect(bad[i].first, bad[i].second, server.Port(), nullptr,
                                           nullptr, INTERNET_SERVICE_HTTP, 0, Context()),
                           dwErrors[i]))
            << "case " << i;
    }
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
    ASSERT_NE(hOpened, nullptr);
    ASSERT_EQ(m_log.Notes().size(), 1u);
    EXPECT_EQ(m_log.Notes()[0].dwStatus, INTERNET_STATUS_HANDLE_CREATED);
    EXPECT_EQ(m_log.Notes()[0].dwResult, reinterpret_cast<DWORD_PTR>(hOpened));
    // A read before the send is in the wrong state.
    char buf[8];
    uint32_t dwRead = 0;
    EXPECT_TRUE(Failed(InternetReadFile(hOpened, buf, sizeof(buf), &dwRead),
                       ERROR_INTERNET_INCORRECT_HANDLE_STATE));

    // The completion comes from the library's thread with success (the wire image is checked
    // through CAsyncHttp, with the fixed headers).
    HINTERNET hRequest = Send(server.Port(), nullptr, u"/g", u"A: b\r\n");
    const NOTIFICATION last = m_log.Notes().back();
    EXPECT_EQ(last.dwResult, 1u);
    EXPECT_EQ(last.dwError, 0u);
    EXPECT_NE(last.idThread, std::this_thread::get_id());
    int nPending = 0;
    EXPECT_EQ(ReadAll(hRequest, nPending), "reply-bytes");
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
}

TEST_F(InetFunctions, DroppedConnectionFailsTheSendAndACutReplyFailsTheRead) {
    Open();
    kttest::CRawServer raw;
    raw.QueueAction(kttest::RAW_ACTION::CloseAfterRequest());
    raw.QueueAction(kttest::RAW_ACTION::Reply("HTTP/1.1 200 OK\r\nContent-Length: 5000\r\n\r\n" +
                                              std::string(1000, 'x')));
    HINTERNET hRequest = Send(raw.Port(), u"GET", u"/");
    const NOTIFICATION last = m_log.Notes().back();
    EXPECT_EQ(last.dwResult, 0u);
    EXPECT_NE(last.dwError, 0u);
    char buf[8];
    uint32_t dwRead = 0;
    EXPECT_TRUE(Failed(InternetReadFile(hRequest, buf, sizeof(buf), &dwRead), last.dwError));

    int nPending = 0;
    EXPECT_LE(ReadAll(Send(raw.Port(), u"GET", u"/"), nPending).size(), 1000u);
    EXPECT_EQ(nPending, -1);
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
    EXPECT_EQ(notes[2].dwStatus, INTERNET_STATUS_HANDLE_CLOSING);
    EXPECT_EQ(notes[2].hHandle, hRequest);
    EXPECT_EQ(notes[3].dwStatus, INTERNET_STATUS_HANDLE_CLOSING);
    EXPECT_EQ(notes[3].hHandle, hConnect);
    EXPECT_NE(notes[3].idThread, std::this_thread::get_id());
    EXPECT_TRUE(Failed(InternetCloseHandle(hRequest), ERROR_INVALID_HANDLE));
}

}  // namespace
