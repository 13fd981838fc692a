// The inet layer against loopback servers: the Internet functions on their own (handle tree,
// notifications from the library's thread, pending sends and reads, URL splitting, connected
// state), CAsyncHttp above them (outcomes by step, the receive buffer, cancels) and the WinInet
// pool above that (the request on the wire, owners on the window's thread, time-outs and deletes,
// a shut-down in the middle of many transfers); one table runs the same server behaviours through
// CAsyncHttp and the pool.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <functional>
#include <map>
#include <mutex>
#include <random>
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
#include "inet/asynchttp.h"
#include "inet/inetpool.h"
#include "platform/codepage.h"
#include "platform/inet/wininet.h"
#include "platform/sync.h"
#include "support/http_server.h"
#include "support/net_util.h"
#include "support/raw_server.h"
#include "support/reporter_recorder.h"
#include "support/scoped.h"

using namespace kt;

namespace {

using kttest::CRecorder;

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

// CAsyncHttp's reporter: progress as it came, and the counts of the ends.
struct CAsyncRecorder : IAsyncReporter {
    std::mutex mutex;
    std::vector<std::pair<long, long>> vecProgress;
    std::atomic<int> nFinished{0};
    std::atomic<int> nCancelled{0};

    void ReportStatus(long, long) override {}
    void ReportProgress(long, long nStage, long nValue) override {
        std::lock_guard<std::mutex> lock(mutex);
        vecProgress.emplace_back(nStage, nValue);
    }
    void ReportCancelled(long) override { ++nCancelled; }
    void ReportFinished(long) override { ++nFinished; }
    std::vector<std::pair<long, long>> Progress() {
        std::lock_guard<std::mutex> lock(mutex);
        return vecProgress;
    }
};

std::mutex g_mutexProgress;
std::vector<std::pair<long, std::thread::id>> g_vecProgress;  // stage, thread
void OnProgress(long, long nStage, long) {
    std::lock_guard<std::mutex> lock(g_mutexProgress);
    g_vecProgress.emplace_back(nStage, std::this_thread::get_id());
}

// The reply copy as text ("<none>" without one); the copy is freed.
std::string Reply(long nId) {
    long nLength = 0;
    char* p = GetReply(nId, &nLength);
    const std::string str = p ? std::string(p, nLength) : "<none>";
    std::free(p);
    return str;
}

bool PumpUntil(const CRecorder& owner, size_t nTerminals) {
    return kttest::PumpUntil([&] { return owner.m_vecCalls.size() >= nTerminals; });
}

// A pool for the pool's tests, an internet handle (opened on demand) for the Internet functions'
// tests and a CAsyncHttp of its own for the tests of that layer; whatever any of them opened is
// released by the end.
class Inet : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(InitPool(nullptr)); }
    void TearDown() override {
        if (m_hInternet != nullptr) InternetCloseHandle(m_hInternet);
        m_http.Close();
        UninitPool();
        EXPECT_EQ(InternetOpenHandleCount(), 0u);
        EXPECT_FALSE(InternetWorkerRunning());
    }
    void OpenInternet() {
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

    uint32_t Transfer(int nKind, const std::string& strUrl, const std::string& strBody = "") {
        return m_http.OpenRequest(nKind, kt::FromUtf8(strUrl),
                                  strBody.empty() ? nullptr : strBody.data(),
                                  static_cast<int>(strBody.size()));
    }
    // Creates, sets and starts a GET of strUrl for the owner; returns the id.
    long Get(CRecorder& owner, const std::string& strUrl, int nTimeoutMs = 0) {
        const long nId = CreateRequest(&owner, nullptr, &OnProgress);
        SetRequestTimeout(nId, nTimeoutMs);
        EXPECT_EQ(SetRequestUrl(nId, kt::FromUtf8(strUrl).c_str()), kInetOk);
        EXPECT_EQ(StartRequest(nId, kAsyncKindGet), kInetOk);
        return nId;
    }

    HINTERNET m_hInternet = nullptr;
    CONTEXT_LOG m_log;
    CAsyncRecorder m_rec;
    CAsyncHttp m_http{1, &m_rec};
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

TEST_F(Inet, OpenRunsTheWorkerOnlyWhileAnInternetHandleIsOpen) {
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

TEST_F(Inet, CallbackIsPerHandleAndConnectReportsFromTheLibrarysThread) {
    EXPECT_EQ(InternetSetStatusCallback(reinterpret_cast<HINTERNET>(0x1234), &Callback),
              INTERNET_INVALID_STATUS_CALLBACK);
    EXPECT_EQ(GetLastInetError(), ERROR_INVALID_HANDLE);
    OpenInternet();
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

TEST_F(Inet, OpenRequestAndSendAsTheServerReceivesThem) {
    OpenInternet();
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

TEST_F(Inet, CloseClosesChildrenFirstAndNothingIsReportedAfterwards) {
    OpenInternet();
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
TEST_F(Inet, CurlRefusalsFailTheSendAndSendNothing) {
    kttest::CHttpServer server;
    // A POST and a GET that keeps a body (between them every option the layer sets), each under an
    // internet handle closed afterwards: the errors their sends completed with, and how many
    // requests reached the server.
    const auto runBoth = [&] {
        const size_t nBefore = server.RequestCount();
        std::vector<size_t> vecRun;
        for (const char16_t* pszVerb : {u"POST", u"GET"}) {
            OpenInternet();
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

// One table of server behaviours through both layers: CAsyncHttp's status for each step's
// failure (before the send, not even the first progress stage), an unknown kind (flagged and sent
// as a GET that keeps its body) and POSTs with a body past a NUL byte and with none; the pool's
// owner hears the same status (finished for 0; the pool refuses other kinds). What the Internet
// functions report for a refused connection and a dropped one is in their own tests above.
TEST_F(Inet, OutcomesByStepThroughCAsyncHttpAndThePool) {
    kttest::CHttpServer server;
    kttest::CRawServer raw;
    raw.SetDefaultAction(kttest::RAW_ACTION::CloseAfterRequest());
    const std::string strBody("x=1\0z", 5);
    const std::string strRefused = "http://127.0.0.1:" + std::to_string(kttest::net::ClosedPort());
    const std::tuple<int, std::string, std::string, uint32_t> rows[] = {
        {kAsyncKindGet, "http:///x", "", kAsyncUrlFailed},  // the splitting rules: InetParseUrl
        {kAsyncKindGet, strRefused + "/x", "", kAsyncConnectFailed},
        {kAsyncKindGet, raw.Url("/closed"), "", kAsyncStopped},  // through the exit event
        {5, server.Url("/k"), strBody, kAsyncBadKind},
        {kAsyncKindPost, server.Url("/post"), strBody, 0},
        {kAsyncKindPost, server.Url("/empty"), "", 0}};
    CRecorder owner;
    for (const auto& [nKind, strUrl, strSent, dwStatus] : rows) {
        SCOPED_TRACE(strUrl);
        EXPECT_EQ(Transfer(nKind, strUrl, strSent), dwStatus);
        if (nKind != kAsyncKindGet && nKind != kAsyncKindPost) continue;
        const long nId = CreateRequest(&owner, nullptr, nullptr);
        SetRequest(nId, kt::FromUtf8(strUrl).c_str(), strSent.data(), int(strSent.size()));
        ASSERT_EQ(StartRequest(nId, nKind), kInetOk);
        ASSERT_TRUE(PumpUntil(owner, owner.m_vecCalls.size() + 1));
        EXPECT_EQ(owner.Outcome(), static_cast<int32_t>(dwStatus));
    }
    EXPECT_FALSE(m_http.IsRunning());
    EXPECT_EQ(m_rec.nFinished.load(), 6);
    const auto progress = m_rec.Progress();
    EXPECT_EQ(std::count(progress.begin(), progress.end(), std::make_pair(0L, -1L)), 3);
    std::vector<std::string> vecReceived;
    for (const kttest::RECORDED_REQUEST& req : server.Requests())
        vecReceived.push_back(req.strMethod + " " + req.Header("Content-Length") + " " +
                              req.strBody);
    EXPECT_EQ(vecReceived, (std::vector<std::string>{"GET 5 " + strBody, "POST 5 " + strBody,
                                                     "POST 5 " + strBody, "POST 0 ", "POST 0 "}));
}

TEST_F(Inet, LargeReplyProgressBufferGrowthTakeDataAndTraceLines) {
    kttest::CHttpServer server;
    std::string strBody(10000, '\0');
    for (size_t i = 0; i < strBody.size(); ++i) strBody[i] = static_cast<char>(i * 7 + i / 251);
    server.SetReply(200, strBody);
    server.SetThrottle(20000);  // some reads wait, and complete with their bytes in the block
    EXPECT_EQ(Transfer(kAsyncKindGet, server.Url("/big")), 0u);

    const auto progress = m_rec.Progress();
    ASSERT_GE(progress.size(), 5u);  // at least 3 blocks of at most 4096 bytes
    EXPECT_EQ(progress.front(), std::make_pair(0L, -1L));
    EXPECT_EQ(progress.back(), std::make_pair(3L, 0L));
    // Totals grow by at most one read block each, end at the reply size, and the capacity follows
    // the doubling rule applied to exactly these totals.
    long nPrevious = 0;
    int nCapacity = kAsyncInitialBuffer;
    for (size_t i = 1; i + 1 < progress.size(); ++i) {
        EXPECT_EQ(progress[i].first, 2);
        EXPECT_GT(progress[i].second, nPrevious);
        EXPECT_LE(progress[i].second - nPrevious, kAsyncReadBlock);
        const int nTotal = static_cast<int>(progress[i].second);
        if (nTotal > nCapacity) nCapacity = ((nCapacity + nTotal) / 4096 * 4096) * 2;
        nPrevious = progress[i].second;
    }
    EXPECT_EQ(nPrevious, 10000);
    EXPECT_EQ(m_http.GetCapacity(), nCapacity);

    // Taking the bytes moves the buffer past them; taking nothing gives the buffer up.
    int nLength = 0;
    const char* p = m_http.TakeData(&nLength, true);
    ASSERT_EQ(nLength, 10000);
    EXPECT_EQ(std::string(p, nLength), strBody);
    EXPECT_EQ(m_http.GetCapacity(), nCapacity - 10000);
    const char* pAfter = m_http.GetData(&nLength);
    EXPECT_EQ(nLength, 0);
    EXPECT_EQ(pAfter, p + 10000);
    EXPECT_EQ(m_http.TakeData(&nLength, true), pAfter);
    EXPECT_EQ(m_http.GetData(&nLength), nullptr);

    // The next transfer starts with a buffer again; its trace lines, each once and in this order,
    // but the caller's last two lines (in their order) may come among the main thread's last
    // ones; Close's line last.
    server.SetReply(200, "0123456789");
    m_http.Close();  // the first transfer's main thread has ended before the trace starts
    kttest::CTraceLog trace;
    m_http.SetReporter(&m_rec);
    EXPECT_EQ(Transfer(kAsyncKindGet, server.Url("/")), 0u);
    EXPECT_EQ(m_http.CopyData(), "0123456789");
    m_http.Close();
    char szReporter[64];
    std::snprintf(szReporter, sizeof(szReporter), "Set Async http reporter to %p\n",
                  static_cast<void*>(&m_rec));
    const std::vector<std::string> vecExpected = {szReporter,
                                                  "Enter OpenRequest()\n",
                                                  "Enter AsyncMainThread()\n",
                                                  "Enter WaitExitEvent()\n",
                                                  "Exit WaitExitEvent()\n",
                                                  "Exit AsyncMainThread()\n",
                                                  "Exit  CAsyncHttp::AsyncMainThread()\n",
                                                  "WaitForSingleObject(m_hMainThread, INFINITE);\n",
                                                  "Exit CAsyncHttp::OpenRequest()\n"};
    std::vector<std::string> vecLines = trace.Lines();
    EXPECT_EQ(vecLines.back().rfind("-------m_hMainThread = ", 0), 0u);
    vecLines.pop_back();
    std::stable_partition(vecLines.begin(), vecLines.end(), [&](const std::string& strLine) {
        return strLine != vecExpected[7] && strLine != vecExpected[8];
    });
    EXPECT_EQ(vecLines, vecExpected);
}

TEST_F(Inet, CancelDuringATransferAndOpenRequestWhileRunning) {
    kttest::CRawServer raw;
    m_http.Cancel();  // idle: nothing happens
    EXPECT_EQ(m_rec.nCancelled.load(), 0);
    EXPECT_EQ(m_http.GetStatus(), 0u);
    // (A cancel announced before the start is OwnersMayReenterAndEarlyCancelsHold's.)
    std::thread caller([&] { Transfer(kAsyncKindGet, raw.Url("/stall")); });
    ASSERT_TRUE(raw.WaitForRequests(1));
    ASSERT_TRUE(m_http.IsRunning());
    // A second transfer while one runs is refused at once with status 3.
    EXPECT_EQ(Transfer(kAsyncKindGet, raw.Url("/second")) & kAsyncBusy, kAsyncBusy);
    EXPECT_EQ(raw.RequestCount(), 1u);
    EXPECT_EQ(m_rec.nFinished.load(), 0);

    m_http.Cancel();
    caller.join();
    // (Its status and end reach the pool's owner: DeleteCancelAndTimeOutOfRunningRequests.)
    EXPECT_EQ(m_rec.nCancelled.load(), 1);
    EXPECT_TRUE(kttest::PumpUntil([&] { return !m_http.IsRunning(); }));
}

TEST(AsyncHttpEscape, EscapesPercentControlsAndHighBytes) {
    const std::tuple<const char*, std::u16string, std::u16string> cases[] = {
        {"GBK", u"", u""},
        {"GBK", std::u16string(u"\x01\x1f\x7f\t", 4), u"%01%1F\x7f%09"},
        {"UTF-8", u"é", u"%C3%A9"}};
    for (const auto& [pszCodePage, strIn, strOut] : cases) {
        ASSERT_TRUE(kt::SetAnsiCodePage(pszCodePage));
        EXPECT_EQ(CAsyncHttp::EscapeObject(strIn), strOut) << kt::ToUtf8(strOut);
    }
    kt::SetAnsiCodePage("");
}

TEST(InetPoolDown, EveryFunctionAnswersWithoutAPoolAndIdsCountFromOne) {
    UninitPool();
    CRecorder owner;
    CancelRequest(1);
    DeleteRequest(1);
    SetRequestTimeout(1, 10);
    PostRequestMessage(1, 5);
    long nLength = 99;
    kt::CDataTable* pTable = nullptr;
    CAsyncHttpHandle handle;
    const long long nBad = kInetBadArgument;
    EXPECT_EQ(
        (std::vector<long long>{
            CreateRequest(&owner, nullptr, nullptr), SetRequest(1, u"http://h/", "x", 1),
            SetRequestText(1, u"http://h/", u"x"), SetRequestUrl(1, u"http://h/"),
            SetRequestHeaders(1, u"A: b\r\n"), StartRequest(1, 0), GetReplyTable(1, pTable),
            handle.ProbeConnection(), handle.GetId(), IsRequestRunning(1), IsRequestSucceeded(1),
            GetRequestStatus(1), GetReply(1, &nLength) != nullptr, nLength}),
        (std::vector<long long>{-1, nBad, nBad, nBad, nBad, nBad, nBad, nBad, 0, 0, 0, 0, 0, 0}));

    // Nothing was counted meanwhile; a deleted id is not reused; a restart counts from 1 again.
    ASSERT_TRUE(InitPool(nullptr));
    EXPECT_EQ(CreateRequest(nullptr, nullptr, nullptr), 1);
    EXPECT_EQ(CreateRequest(nullptr, nullptr, nullptr), 2);
    DeleteRequest(1);
    EXPECT_EQ(CreateRequest(nullptr, nullptr, nullptr), 3);
    ASSERT_TRUE(InitPool(nullptr));
    EXPECT_EQ((std::vector<long>{CreateRequest(nullptr, nullptr, nullptr), StartRequest(77, 0),
                                 SetRequestUrl(77, u"http://h/"), StartRequest(-3, 0),
                                 SetRequest(1, nullptr, nullptr, 0), SetRequestUrl(1, u""),
                                 GetReplyTable(1, pTable), pTable != nullptr}),
              (std::vector<long>{1, kInetNoRequest, kInetNoRequest, kInetBadArgument,
                                 kInetBadArgument, kInetBadArgument, kInetNoReply, 0}));
    UninitPool();
    EXPECT_EQ(CreateRequest(nullptr, nullptr, nullptr), -1);
}

// A GET given a body and extra headers, and a POST of text, as the server receives them; both
// outcomes reach the owner on this thread, which deletes the POST from inside its notification.
TEST_F(Inet, GetAndPostOnTheWireAndTheirOutcomesOnTheWindowThread) {
    kttest::CHttpServer server;
    std::string strBody(10000, 'r');
    strBody[0] = '\0';
    server.SetReply(200, strBody);
    g_vecProgress.clear();
    CRecorder owner;
    const long nGet = CreateRequest(&owner, nullptr, &OnProgress);
    const long nPost = CreateRequest(&owner, nullptr, nullptr);
    owner.m_fnHook = [nPost](const kttest::CALL& call) {
        if (call.nId == nPost) DeleteRequest(nPost);
    };
    // Non-ASCII goes out as the escaped bytes of its ANSI form, in the object and in a text body.
    ASSERT_TRUE(kt::SetAnsiCodePage("GBK"));
    ASSERT_EQ(SetRequest(nGet, kt::FromUtf8(server.Url("/p/a%20b c/中?x=1")).c_str(), "b", 1),
              kInetOk);
    ASSERT_EQ(SetRequestHeaders(nGet, u"X-Extra: 1\r\nX-Two: 2\r\n"), kInetOk);
    ASSERT_EQ(SetRequestText(nPost, kt::FromUtf8(server.Url("/post")).c_str(), u"a=中&b=2"),
              kInetOk);
    ASSERT_EQ(StartRequest(nGet, kAsyncKindGet), kInetOk);
    ASSERT_EQ(StartRequest(nPost, kAsyncKindPost), kInetOk);
    ASSERT_TRUE(PumpUntil(owner, 2));
    kt::SetAnsiCodePage("");

    std::map<long, std::pair<char, uint32_t>> outcomes;
    for (const kttest::CALL& call : owner.m_vecCalls) {
        EXPECT_EQ(call.thread, std::this_thread::get_id());
        outcomes[call.nId] = {call.chKind, static_cast<uint32_t>(call.dValue)};
    }
    EXPECT_EQ(outcomes,
              (std::map<long, std::pair<char, uint32_t>>{{nGet, {'F', 0}}, {nPost, {'F', 0}}}));
    EXPECT_TRUE(IsRequestSucceeded(nGet));
    EXPECT_EQ(Reply(nGet), strBody);
    EXPECT_EQ(StartRequest(nPost, 0), kInetNoRequest);

    ASSERT_EQ(server.RequestCount(), 2u);
    const size_t nPostIndex = server.Request(0).strMethod == "POST" ? 0 : 1;
    const kttest::RECORDED_REQUEST get = server.Request(1 - nPostIndex);
    // As EscapeObject made it ("%20" escaped once more, the GBK bytes of the CJK character
    // escaped), the blank it left escaped by the Internet functions; no body.
    EXPECT_EQ(get.strMethod + " " + get.strTarget + " " + get.strVersion + get.strBody,
              "GET /p/a%2520b%20c/%D6%D0?x=1 HTTP/1.1");
    EXPECT_EQ(get.Header("User-Agent"), "ASYNCHTTP");
    // The fixed lines, then the extra ones; nothing else of the kind (libcurl would add Accept
    // and Expect by itself).
    std::vector<std::string> vecLines;
    for (const std::string& strLine : get.vecHeaderLines)
        for (const char* pszPrefix : {"Content-Type", "Priority", "X-", "Accept:", "Expect"})
            if (strLine.rfind(pszPrefix, 0) == 0) vecLines.push_back(strLine);
    EXPECT_EQ(vecLines, (std::vector<std::string>{"Content-Type: application/x-www-form-urlencoded",
                                                  "Priority: low", "X-Extra: 1", "X-Two: 2"}));
    const kttest::RECORDED_REQUEST post = server.Request(nPostIndex);
    EXPECT_EQ(post.strTarget + " " + post.strBody + " " + post.Header("Content-Length"),
              "/post a=\xD6\xD0&b=2 8");
    {
        // The progress callback ran on the request's threads, from stage 0 to stage 3.
        std::lock_guard<std::mutex> lock(g_mutexProgress);
        ASSERT_GE(g_vecProgress.size(), 2u);
        EXPECT_EQ(g_vecProgress.front().first * 10 + g_vecProgress.back().first, 3);
        for (const auto& [nStage, idThread] : g_vecProgress)
            EXPECT_NE(idThread, std::this_thread::get_id());
    }

    // Messages go to the owner through the window; one for an id that is gone is dropped.
    PostRequestMessage(nGet, 42);
    PostRequestMessage(nPost, 43);
    ASSERT_TRUE(kttest::PumpUntilMarker());
    ASSERT_EQ(owner.m_vecCalls.size(), 3u);
    EXPECT_EQ(owner.m_vecCalls[2].chKind, 'M');
    EXPECT_EQ(owner.m_vecCalls[2].dValue, 42);
}

// An owner may start its request again or delete it from inside a notification while sixteen
// other requests run; a cancel after the start but before the transfer began holds.
TEST_F(Inet, OwnersMayReenterAndEarlyCancelsHold) {
    kttest::CHttpServer server;
    server.SetReply(200, "r");
    server.SetReply("/other", kttest::HTTP_REPLY{200, {}, "o", false, 100});
    CRecorder others;
    for (int i = 0; i < 16; ++i) Get(others, server.Url("/other"));
    CRecorder owner;
    owner.m_fnHook = [&owner](const kttest::CALL& call) {
        if (owner.m_vecCalls.size() < 3)
            EXPECT_EQ(StartRequest(call.nId, kAsyncKindGet), kInetOk);
        else
            DeleteRequest(call.nId);
    };
    const long nId = Get(owner, server.Url("/self"));
    ASSERT_TRUE(kttest::PumpUntil(
        [&] { return owner.m_vecCalls.size() >= 3 && others.m_vecCalls.size() >= 16; }));
    EXPECT_EQ(owner.Count('F') + others.Count('F'), 19u);
    EXPECT_EQ(StartRequest(nId, kAsyncKindGet), kInetNoRequest);

    // The request's thread waits, on its way into the transfer, until this thread has cancelled.
    kttest::CRawServer raw;
    CRecorder early;
    const long nEarly = CreateRequest(&early, nullptr, nullptr);
    ASSERT_EQ(SetRequestUrl(nEarly, kt::FromUtf8(raw.Url("/never")).c_str()), kInetOk);
    kt::CEvent evtEntered;
    kt::CEvent evtCancelled;
    {
        kttest::CScopedTraceSink sink([&](std::string_view strLine) {
            if (strLine != "Enter OpenRequest()\n") return;
            evtEntered.Set();
            evtCancelled.Wait();
        });
        ASSERT_EQ(StartRequest(nEarly, kAsyncKindGet), kInetOk);
        EXPECT_TRUE(evtEntered.Wait(kttest::kGuardMs));
        CancelRequest(nEarly);
        evtCancelled.Set();
        ASSERT_TRUE(PumpUntil(early, 1));
    }
    EXPECT_EQ(early.Outcome(), static_cast<int32_t>(kAsyncStopped));
    EXPECT_EQ(raw.ConnectionCount(), 0u);
}

// Against a server that never answers: a delete stops its request, which says nothing more; a
// cancel fails the request; a time-out alone finishes it (its main thread sees the closed handle
// and ends by itself, once), and the record starts again.
TEST_F(Inet, DeleteCancelAndTimeOutOfRunningRequests) {
    kttest::CTraceLog trace;
    kttest::CRawServer raw;
    CRecorder owner;
    const long nDeleted = Get(owner, raw.Url("/a"));
    const long nCancelled = Get(owner, raw.Url("/b"));
    const long nTimed = Get(owner, raw.Url("/c"), 300);
    ASSERT_TRUE(raw.WaitForRequests(3));
    EXPECT_TRUE(IsRequestRunning(nDeleted));
    DeleteRequest(nDeleted);
    EXPECT_EQ(SetRequestUrl(nDeleted, u"http://h/"), kInetNoRequest);
    CancelRequest(nCancelled);
    ASSERT_TRUE(PumpUntil(owner, 2));
    ASSERT_TRUE(kttest::PumpUntilMarker());
    ASSERT_EQ(owner.m_vecCalls.size(), 2u);  // nothing for the deleted one
    for (const kttest::CALL& call : owner.m_vecCalls) {
        EXPECT_EQ(call.chKind, call.nId == nCancelled ? 'E' : 'F');
        EXPECT_EQ(call.dValue, call.nId == nCancelled ? kAsyncStopped : 0u);
    }
    EXPECT_FALSE(IsRequestSucceeded(nCancelled));

    ASSERT_TRUE(kttest::PumpUntil([&] { return !IsRequestRunning(nTimed); }));
    kttest::CHttpServer server;
    server.SetReply(200, "later");
    ASSERT_EQ(SetRequestUrl(nTimed, kt::FromUtf8(server.Url("/")).c_str()), kInetOk);
    SetRequestTimeout(nTimed, 0);  // the reply, however long it takes
    ASSERT_EQ(StartRequest(nTimed, 0), kInetOk);
    ASSERT_TRUE(PumpUntil(owner, 3));
    EXPECT_EQ(owner.m_vecCalls[2].chKind, 'F');
    EXPECT_EQ(Reply(nTimed), "later");
    EXPECT_EQ(trace.Count("Handle be closed.\n"), 1u);
}

TEST_F(Inet, HandleProbesTheConfiguredAddressAndDeletesOnDestruction) {
    kttest::CHttpServer server;
    SetProbeUrl(kt::FromUtf8(server.Url("/images/img/index/logo_16682.gif")));
    {
        CAsyncHttpHandle handle;
        EXPECT_EQ(handle.ProbeConnection(), kInetOk);
        EXPECT_EQ(handle.GetId(), 1);
        ASSERT_TRUE(server.WaitForRequests(1));
        EXPECT_EQ(server.Request(0).strTarget, "/images/img/index/logo_16682.gif");
        ASSERT_TRUE(kttest::PumpUntil([&] { return !handle.IsRequestRunning(); }));
        EXPECT_EQ(handle.ProbeConnection(), kInetOk);  // same id again
        EXPECT_EQ(handle.GetId(), 1);
        ASSERT_TRUE(server.WaitForRequests(2));
    }
    EXPECT_EQ(SetRequestUrl(1, u"http://h/"), kInetNoRequest);
    SetProbeUrl(u"");
    // An empty value counts as none.
    for (const char* pszValue : {"http://127.0.0.1:1/probe", ""}) {
#ifdef _WIN32
        _putenv_s("KTREPORTER_PROBE_URL", pszValue);
#else
        setenv("KTREPORTER_PROBE_URL", pszValue, 1);
#endif
        EXPECT_EQ(GetProbeUrl() == u"http://127.0.0.1:1/probe", *pszValue != '\0');
    }
    EXPECT_NE(GetProbeUrl().find(u"/images/img/index/logo_16682.gif"), std::u16string::npos);
}

// Many transfers with random delays, cancels and deletes, then a shut-down in the middle of it all.
TEST_F(Inet, StressShutDownDuringManyTransfers) {
    kttest::CHttpServer server;
    server.SetHandler([](const kttest::RECORDED_REQUEST& req) {
        std::minstd_rand rng(static_cast<unsigned>(std::hash<std::string>()(req.strTarget)));
        return kttest::HTTP_REPLY{
            200, {}, std::string(rng() % 20000, 'z'), false, static_cast<int>(rng() % 400)};
    });
    CRecorder owner;
    std::minstd_rand rng(777);
    std::vector<long> vecIds;
    for (int i = 0; i < 32; ++i) {
        const long nId = CreateRequest(&owner, nullptr, &OnProgress);
        SetRequestTimeout(nId, (rng() % 3) == 0 ? 200 : 0);
        SetRequest(nId, kt::FromUtf8(server.Url("/r" + std::to_string(i))).c_str(), "b=1", 3);
        ASSERT_EQ(StartRequest(nId, static_cast<int>(rng() % 2)), kInetOk);
        vecIds.push_back(nId);
    }
    std::thread other([&] {
        std::minstd_rand rngOther(99);
        for (int i = 0; i < 16; ++i) {
            const long nId = vecIds[rngOther() % vecIds.size()];
            rngOther() % 2 ? CancelRequest(nId) : DeleteRequest(nId);
        }
    });
    ASSERT_TRUE(kttest::PumpUntil([&] { return !owner.m_vecCalls.empty(); }));
    other.join();
    for (int i = 0; i < 4; ++i) Get(owner, server.Url("/late"));  // certain to be under way
    UninitPool();
    EXPECT_EQ(kt::InternetOpenHandleCount(), 0u);
    EXPECT_FALSE(kt::InternetWorkerRunning());
    EXPECT_EQ(CreateRequest(&owner, nullptr, nullptr), -1);
    // Nothing reaches the owner once the pool is gone, and every call came on this thread.
    const size_t nCalls = owner.m_vecCalls.size();
    ASSERT_TRUE(kttest::PumpUntilMarker());
    EXPECT_EQ(owner.m_vecCalls.size(), nCalls);
    for (const kttest::CALL& call : owner.m_vecCalls)
        EXPECT_EQ(call.thread, std::this_thread::get_id());
    ASSERT_TRUE(InitPool(nullptr));  // for TearDown
}

}  // namespace
