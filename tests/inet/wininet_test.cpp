// The Internet functions on their own: handle tree, notifications from the library's thread,
// pending sends and reads, URL splitting, connected state.
#include "platform/inet/wininet.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "inet/inet_test_util.h"
#include "platform/sync.h"
#include "support/http_server.h"
#include "support/net_util.h"
#include "support/raw_server.h"

using namespace kt;

namespace inettest {
int ClosedPort() {
    int nPort = 0;
    const int nFd = kttest::net::ListenLoopback(nPort);
    if (nFd >= 0) close(nFd);
    return nPort;
}
}  // namespace inettest

namespace {

struct NOTIFICATION {
    HINTERNET hHandle;
    uint32_t dwStatus;
    DWORD_PTR dwResult;
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
    size_t Count(uint32_t dwStatus) {
        size_t n = 0;
        for (const NOTIFICATION& note : Notes()) n += note.dwStatus == dwStatus;
        return n;
    }
};

void Callback(HINTERNET h, DWORD_PTR dwContext, uint32_t dwStatus, void* pInfo, uint32_t dwLen) {
    auto* pLog = reinterpret_cast<CONTEXT_LOG*>(dwContext);
    NOTIFICATION note{h, dwStatus, 0, 0, std::this_thread::get_id()};
    if (dwStatus == INTERNET_STATUS_HANDLE_CLOSING) {
        EXPECT_EQ(dwLen, sizeof(HINTERNET));
        note.dwResult = reinterpret_cast<DWORD_PTR>(*static_cast<HINTERNET*>(pInfo));
    } else {
        EXPECT_EQ(dwLen, sizeof(INTERNET_ASYNC_RESULT));
        const auto* pResult = static_cast<INTERNET_ASYNC_RESULT*>(pInfo);
        note.dwResult = pResult->dwResult;
        note.dwError = pResult->dwError;
    }
    {
        std::lock_guard<std::mutex> lock(pLog->mutex);
        pLog->vecNotes.push_back(note);
    }
    if (dwStatus == INTERNET_STATUS_REQUEST_COMPLETE) pLog->evtComplete.Set();
}

class InetFunctions : public ::testing::Test {
protected:
    void TearDown() override {
        if (m_hInternet != nullptr) InternetCloseHandle(m_hInternet);
        EXPECT_EQ(InternetOpenHandleCount(), 0u);
        EXPECT_FALSE(InternetWorkerRunning());
    }

    HINTERNET Open() {
        m_hInternet = InternetOpen(u"UnitAgent", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr,
                                   INTERNET_FLAG_ASYNC);
        EXPECT_NE(m_hInternet, nullptr);
        EXPECT_EQ(InternetSetStatusCallback(m_hInternet, &Callback), nullptr);
        return m_hInternet;
    }

    // Connect, open and send; returns the request handle once the send has completed.
    HINTERNET Send(int nPort, const char16_t* pszVerb, const char16_t* pszObject,
                   const std::u16string& strHeaders, const std::string& strBody,
                   uint32_t* pdwCompleteError = nullptr) {
        HINTERNET hConnect =
            InternetConnect(m_hInternet, u"127.0.0.1", nPort, nullptr, nullptr,
                            INTERNET_SERVICE_HTTP, 0, reinterpret_cast<DWORD_PTR>(&m_log));
        EXPECT_NE(hConnect, nullptr);
        HINTERNET hRequest =
            HttpOpenRequest(hConnect, pszVerb, pszObject, u"HTTP/1.1", nullptr, nullptr,
                            INTERNET_FLAG_RELOAD, reinterpret_cast<DWORD_PTR>(&m_log));
        EXPECT_NE(hRequest, nullptr);
        EXPECT_FALSE(HttpSendRequest(
            hRequest, strHeaders.c_str(), static_cast<uint32_t>(strHeaders.size()),
            strBody.empty() ? nullptr : strBody.data(), static_cast<uint32_t>(strBody.size())));
        EXPECT_EQ(GetLastInetError(), ERROR_IO_PENDING);
        EXPECT_TRUE(m_log.evtComplete.Wait(5000));
        const NOTIFICATION last = m_log.Notes().back();
        EXPECT_EQ(last.dwStatus, INTERNET_STATUS_REQUEST_COMPLETE);
        if (pdwCompleteError != nullptr) *pdwCompleteError = last.dwError;
        return hRequest;
    }

    // Reads to the end, waiting on pending reads; counts the pending ones.
    std::string ReadAll(HINTERNET hRequest, int* pnPending = nullptr, bool* pbFailed = nullptr) {
        std::string strOut;
        char buf[1000];
        int nPending = 0;
        for (;;) {
            uint32_t dwRead = 0;
            if (!InternetReadFile(hRequest, buf, sizeof(buf), &dwRead)) {
                if (GetLastInetError() != ERROR_IO_PENDING) {
                    if (pbFailed) *pbFailed = true;
                    break;
                }
                ++nPending;
                EXPECT_TRUE(m_log.evtComplete.Wait(10000));
                if (m_log.Notes().back().dwError != 0) {
                    if (pbFailed) *pbFailed = true;
                    break;
                }
            }
            if (dwRead == 0) break;
            strOut.append(buf, dwRead);
        }
        if (pnPending) *pnPending = nPending;
        return strOut;
    }

    HINTERNET m_hInternet = nullptr;
    CONTEXT_LOG m_log;
};

TEST(InetConnectedState, ProxyFlagFollowsTheEnvironment) {
    const char* pszSaved = std::getenv("http_proxy");
    const std::string strSaved = pszSaved ? pszSaved : "";
    for (const char* pszName :
         {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"})
        unsetenv(pszName);
    uint32_t dwFlags = 0xFFFF;
    const bool bConnected = InternetGetConnectedState(&dwFlags, 0);
    EXPECT_EQ(dwFlags & INTERNET_CONNECTION_PROXY, 0u);
    EXPECT_EQ(bConnected, (dwFlags & INTERNET_CONNECTION_LAN) != 0);
    if (!bConnected) {
        EXPECT_EQ(dwFlags, INTERNET_CONNECTION_OFFLINE);
    }

    setenv("http_proxy", "http://127.0.0.1:3128", 1);
    EXPECT_TRUE(InternetGetConnectedState(&dwFlags, 0));
    EXPECT_NE(dwFlags & INTERNET_CONNECTION_PROXY, 0u);
    EXPECT_NE(dwFlags & INTERNET_CONNECTION_CONFIGURED, 0u);
    if (pszSaved)
        setenv("http_proxy", strSaved.c_str(), 1);
    else
        unsetenv("http_proxy");
}

TEST(InetParseUrl, SplitsServicesServersObjectsAndPorts) {
    struct CASE {
        const char16_t* pszUrl;
        uint32_t dwService;
        const char16_t* pszServer;
        const char16_t* pszObject;
        INTERNET_PORT nPort;
    };
    const CASE cases[] = {
        {u"http://example.com", AFX_INET_SERVICE_HTTP, u"example.com", u"/", 80},
        {u"HTTP://Example.com:8080/a/b?x=1&y=%20", AFX_INET_SERVICE_HTTP, u"Example.com",
         u"/a/b?x=1&y=%20", 8080},
        {u"https://h/p", AFX_INET_SERVICE_HTTPS, u"h", u"/p", 443},
        {u"http://user:pw@h:81/p#frag", AFX_INET_SERVICE_HTTP, u"h", u"/p", 81},
        {u"http://h?q=1", AFX_INET_SERVICE_HTTP, u"h", u"/?q=1", 80},
        {u"http://[::1]:9/x y", AFX_INET_SERVICE_HTTP, u"::1", u"/x y", 9},
        {u"  http://h/中 ", AFX_INET_SERVICE_HTTP, u"h", u"/中", 80},
        {u"ftp://f/", AFX_INET_SERVICE_FTP, u"f", u"/", 21},
    };
    for (const CASE& c : cases) {
        uint32_t dwService = 0;
        std::u16string strServer, strObject;
        INTERNET_PORT nPort = 0;
        ASSERT_TRUE(AfxParseURL(c.pszUrl, dwService, strServer, strObject, nPort));
        EXPECT_EQ(dwService, c.dwService);
        EXPECT_EQ(strServer, c.pszServer);
        EXPECT_EQ(strObject, c.pszObject);
        EXPECT_EQ(nPort, c.nPort);
    }
    for (const char16_t* pszBad :
         {u"", u"   ", u"example.com/a", u"://h/", u"gopherx://h/", u"http://", u"http:///p",
          u"http://h:/p", u"http://h:0/", u"http://h:65536/", u"http://h:12a/", u"http://[::1/",
          u"http://a b/"}) {
        uint32_t dwService = 0;
        std::u16string strServer, strObject;
        INTERNET_PORT nPort = 0;
        EXPECT_FALSE(AfxParseURL(pszBad, dwService, strServer, strObject, nPort))
            << std::string(pszBad, pszBad + std::char_traits<char16_t>::length(pszBad));
    }
    uint32_t dwService = 0;
    std::u16string strServer, strObject;
    INTERNET_PORT nPort = 0;
    EXPECT_FALSE(AfxParseURL(nullptr, dwService, strServer, strObject, nPort));
}

TEST_F(InetFunctions, OpenRunsTheWorkerOnlyWhileAnInternetHandleIsOpen) {
    EXPECT_EQ(InternetOpen(u"a", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0), nullptr);
    EXPECT_EQ(GetLastInetError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(InternetOpen(u"a", 7, nullptr, nullptr, INTERNET_FLAG_ASYNC), nullptr);
    EXPECT_EQ(InternetOpen(u"a", INTERNET_OPEN_TYPE_PROXY, nullptr, nullptr, INTERNET_FLAG_ASYNC),
              nullptr);
    EXPECT_FALSE(InternetWorkerRunning());

    HINTERNET h1 =
        InternetOpen(u"a", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, INTERNET_FLAG_ASYNC);
    HINTERNET h2 = InternetOpen(u"b", INTERNET_OPEN_TYPE_PRECONFIG_WITH_NO_AUTOPROXY, nullptr,
                                nullptr, INTERNET_FLAG_ASYNC);
    ASSERT_NE(h1, nullptr);
    ASSERT_NE(h2, nullptr);
    EXPECT_NE(h1, h2);
    EXPECT_TRUE(InternetWorkerRunning());
    EXPECT_EQ(InternetOpenHandleCount(), 2u);
    EXPECT_TRUE(InternetCloseHandle(h1));
    EXPECT_TRUE(InternetWorkerRunning());
    EXPECT_FALSE(InternetCloseHandle(h1));
    EXPECT_EQ(GetLastInetError(), ERROR_INVALID_HANDLE);
    EXPECT_TRUE(InternetCloseHandle(h2));
    EXPECT_FALSE(InternetWorkerRunning());
}

TEST_F(InetFunctions, StatusCallbackIsPerHandleAndAnswersThePreviousOne) {
    EXPECT_EQ(InternetSetStatusCallback(reinterpret_cast<HINTERNET>(0x1234), &Callback),
              INTERNET_INVALID_STATUS_CALLBACK);
    EXPECT_EQ(GetLastInetError(), ERROR_INVALID_HANDLE);
    Open();
    EXPECT_EQ(InternetSetStatusCallback(m_hInternet, nullptr), &Callback);
    EXPECT_EQ(InternetSetStatusCallback(m_hInternet, &Callback), nullptr);

    // A connection made while no callback is installed tells nobody, even with a context.
    kttest::CHttpServer server;
    ASSERT_TRUE(server.IsRunning());
    InternetSetStatusCallback(m_hInternet, nullptr);
    HINTERNET hQuiet =
        InternetConnect(m_hInternet, u"127.0.0.1", server.Port(), nullptr, nullptr,
                        INTERNET_SERVICE_HTTP, 0, reinterpret_cast<DWORD_PTR>(&m_log));
    ASSERT_NE(hQuiet, nullptr);
    InternetSetStatusCallback(m_hInternet, &Callback);
    // Installed afterwards on the parent, it does not reach the existing child.
    EXPECT_TRUE(InternetCloseHandle(hQuiet));
    EXPECT_TRUE(m_log.Notes().empty());
}

TEST_F(InetFunctions, ConnectMakesTheConnectionAndReportsTheHandleFromAnotherThread) {
    Open();
    kttest::CHttpServer server;
    ASSERT_TRUE(server.IsRunning());

    HINTERNET hConnect =
        InternetConnect(m_hInternet, u"127.0.0.1", server.Port(), nullptr, nullptr,
                        INTERNET_SERVICE_HTTP, 0, reinterpret_cast<DWORD_PTR>(&m_log));
    ASSERT_NE(hConnect, nullptr);
    // The notification came before the call returned, on the library's thread.
    std::vector<NOTIFICATION> notes = m_log.Notes();
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_EQ(notes[0].dwStatus, INTERNET_STATUS_HANDLE_CREATED);
    EXPECT_EQ(notes[0].hHandle, hConnect);
    EXPECT_EQ(notes[0].dwResult, reinterpret_cast<DWORD_PTR>(hConnect));
    EXPECT_NE(notes[0].idThread, std::this_thread::get_id());
    EXPECT_TRUE(inettest::WaitFor([&] { return server.ConnectionCount() == 1; }));

    // Nothing listening: the connection step fails at once.
    const int nClosed = inettest::ClosedPort();
    EXPECT_EQ(InternetConnect(m_hInternet, u"127.0.0.1", nClosed, nullptr, nullptr,
                              INTERNET_SERVICE_HTTP, 0, reinterpret_cast<DWORD_PTR>(&m_log)),
              nullptr);
    EXPECT_EQ(GetLastInetError(), ERROR_INTERNET_CANNOT_CONNECT);
    EXPECT_EQ(InternetConnect(m_hInternet, u"host.invalid", 80, nullptr, nullptr,
                              INTERNET_SERVICE_HTTP, 0, 0),
              nullptr);
    EXPECT_EQ(GetLastInetError(), ERROR_INTERNET_NAME_NOT_RESOLVED);
    EXPECT_EQ(InternetConnect(hConnect, u"127.0.0.1", server.Port(), nullptr, nullptr,
                              INTERNET_SERVICE_HTTP, 0, 0),
              nullptr);
    EXPECT_EQ(GetLastInetError(), ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
    EXPECT_EQ(InternetConnect(m_hInternet, u"", 80, nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0),
              nullptr);
    EXPECT_EQ(GetLastInetError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(m_log.Notes().size(), 1u);
}

TEST_F(InetFunctions, OpenRequestNeedsAConnectionHandle) {
    Open();
    kttest::CHttpServer server;
    EXPECT_EQ(HttpOpenRequest(m_hInternet, u"GET", u"/", nullptr, nullptr, nullptr, 0, 0), nullptr);
    EXPECT_EQ(GetLastInetError(), ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
    HINTERNET hConnect = InternetConnect(m_hInternet, u"127.0.0.1", server.Port(), nullptr, nullptr,
                                         INTERNET_SERVICE_HTTP, 0, 0);
    ASSERT_NE(hConnect, nullptr);
    HINTERNET hRequest = HttpOpenRequest(hConnect, u"GET", u"/", nullptr, nullptr, nullptr, 0,
                                         reinterpret_cast<DWORD_PTR>(&m_log));
    ASSERT_NE(hRequest, nullptr);
    ASSERT_EQ(m_log.Count(INTERNET_STATUS_HANDLE_CREATED), 1u);
    EXPECT_EQ(m_log.Notes()[0].dwResult, reinterpret_cast<DWORD_PTR>(hRequest));
    // A read before the send is in the wrong state.
    char buf[8];
    uint32_t dwRead = 0;
    EXPECT_FALSE(InternetReadFile(hRequest, buf, sizeof(buf), &dwRead));
    EXPECT_EQ(GetLastInetError(), ERROR_INTERNET_INCORRECT_HANDLE_STATE);
}

TEST_F(InetFunctions, SendIsPendingAndTheServerGetsTheRequestAsGiven) {
    Open();
    kttest::CHttpServer server;
    server.SetReply(200, "reply-bytes");
    HINTERNET hRequest =
        Send(server.Port(), u"POST", u"/p a/%41?q=1",
             u"Content-Type: application/x-www-form-urlencoded\r\nPriority: low\r\nX-One: 1\r\n",
             std::string("a=1&b=\0x", 8));
    ASSERT_TRUE(server.WaitForRequests(1));
    const kttest::RECORDED_REQUEST req = server.Request(0);
    EXPECT_EQ(req.strMethod, "POST");
    EXPECT_EQ(req.strTarget, "/p%20a/%41?q=1");
    EXPECT_EQ(req.strVersion, "HTTP/1.1");
    EXPECT_EQ(req.strBody, std::string("a=1&b=\0x", 8));
    EXPECT_EQ(req.Header("User-Agent"), "UnitAgent");
    EXPECT_EQ(req.Header("Content-Length"), "8");
    EXPECT_EQ(req.HeaderCount("Accept"), 0u);
    EXPECT_EQ(req.HeaderCount("Expect"), 0u);
    std::vector<std::string> vecNames = req.HeaderNames();
    std::vector<std::string> vecOurs;
    for (const std::string& strName : vecNames) {
        if (strName == "Content-Type" || strName == "Priority" || strName == "X-One")
            vecOurs.push_back(strName);
    }
    EXPECT_EQ(vecOurs, (std::vector<std::string>{"Content-Type", "Priority", "X-One"}));
    EXPECT_EQ(req.Header("Content-Type"), "application/x-www-form-urlencoded");
    // The completion came from the library's thread with success.
    std::vector<NOTIFICATION> notes = m_log.Notes();
    EXPECT_EQ(notes.back().dwResult, 1u);
    EXPECT_EQ(notes.back().dwError, 0u);
    EXPECT_NE(notes.back().idThread, std::this_thread::get_id());
    EXPECT_EQ(ReadAll(hRequest), "reply-bytes");

    // A second send on the same request is refused.
    EXPECT_FALSE(HttpSendRequest(hRequest, nullptr, 0, nullptr, 0));
    EXPECT_EQ(GetLastInetError(), ERROR_INTERNET_INCORRECT_HANDLE_STATE);
    EXPECT_FALSE(HttpSendRequest(m_hInternet, nullptr, 0, nullptr, 0));
    EXPECT_EQ(GetLastInetError(), ERROR_INTERNET_INCORRECT_HANDLE_TYPE);

    // GET with headers to their terminator, no body.
    HINTERNET hGet = Send(server.Port(), nullptr, u"/g", u"A: b\r\n", "");
    (void)hGet;
    ASSERT_TRUE(server.WaitForRequests(2));
    EXPECT_EQ(server.Request(1).strMethod, "GET");
    EXPECT_EQ(server.Request(1).strTarget, "/g");
    EXPECT_EQ(server.Request(1).Header("A"), "b");
    EXPECT_TRUE(server.Request(1).strBody.empty());
}

TEST_F(InetFunctions, SendCompletesWithAnErrorWhenTheServerDropsTheConnection) {
    Open();
    kttest::CRawServer raw;
    raw.SetDefaultAction(kttest::RAW_ACTION::CloseAfterRequest());
    uint32_t dwError = 0;
    HINTERNET hRequest = Send(raw.Port(), u"GET", u"/", u"", "", &dwError);
    EXPECT_NE(dwError, 0u);
    EXPECT_EQ(m_log.Notes().back().dwResult, 0u);
    char buf[8];
    uint32_t dwRead = 0;
    EXPECT_FALSE(InternetReadFile(hRequest, buf, sizeof(buf), &dwRead));
    EXPECT_EQ(GetLastInetError(), dwError);
}

TEST_F(InetFunctions, ReadCompletesAtOnceWithDataAndIsPendingWithout) {
    Open();
    kttest::CHttpServer server;
    std::string strBody(6000, '\0');
    for (size_t i = 0; i < strBody.size(); ++i) strBody[i] = static_cast<char>('a' + i % 26);
    server.SetReply(200, strBody);

    // Whole reply at once: after the send completes, reads answer at once until the end.
    HINTERNET hFast = Send(server.Port(), u"GET", u"/fast", u"", "");
    ASSERT_TRUE(inettest::WaitFor([&] {
        // The reply is tiny; once it is all in, a read never goes pending.
        return server.RequestCount() == 1;
    }));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    int nPending = -1;
    EXPECT_EQ(ReadAll(hFast, &nPending), strBody);
    EXPECT_EQ(nPending, 0);

    // A trickling reply: some reads must wait, and each completes with bytes in the buffer.
    server.SetThrottle(20000);
    HINTERNET hSlow = Send(server.Port(), u"GET", u"/slow", u"", "");
    bool bFailed = false;
    EXPECT_EQ(ReadAll(hSlow, &nPending, &bFailed), strBody);
    EXPECT_FALSE(bFailed);
    EXPECT_GT(nPending, 0);

    uint32_t dwRead = 0;
    EXPECT_FALSE(InternetReadFile(hSlow, nullptr, 10, &dwRead));
    EXPECT_EQ(GetLastInetError(), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(InternetReadFile(m_hInternet, &dwRead, 1, &dwRead));
    EXPECT_EQ(GetLastInetError(), ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
}

TEST_F(InetFunctions, ReadFailsWhenTheReplyIsCutShort) {
    Open();
    kttest::CRawServer raw;
    const std::string strReply =
        "HTTP/1.1 200 OK\r\nContent-Length: 5000\r\n\r\n" + std::string(1000, 'x');
    raw.SetDefaultAction(kttest::RAW_ACTION::Reply(strReply));
    HINTERNET hRequest = Send(raw.Port(), u"GET", u"/", u"", "");
    bool bFailed = false;
    const std::string strGot = ReadAll(hRequest, nullptr, &bFailed);
    EXPECT_TRUE(bFailed);
    EXPECT_LE(strGot.size(), 1000u);
}

TEST_F(InetFunctions, CloseClosesChildrenFirstAndNothingIsReportedAfterwards) {
    Open();
    kttest::CRawServer raw;  // never answers: the send stays pending
    HINTERNET hConnect =
        InternetConnect(m_hInternet, u"127.0.0.1", raw.Port(), nullptr, nullptr,
                        INTERNET_SERVICE_HTTP, 0, reinterpret_cast<DWORD_PTR>(&m_log));
    ASSERT_NE(hConnect, nullptr);
    HINTERNET hRequest = HttpOpenRequest(hConnect, u"GET", u"/", nullptr, nullptr, nullptr, 0,
                                         reinterpret_cast<DWORD_PTR>(&m_log));
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
    EXPECT_FALSE(InternetCloseHandle(hRequest));
    EXPECT_EQ(GetLastInetError(), ERROR_INVALID_HANDLE);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(m_log.Notes().size(), 4u);
}

}  // namespace
