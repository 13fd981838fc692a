// Requests through the public functions against loopback servers: what the server receives, every
// outcome rule of a run, each libcurl call failing in turn, and delivery to the reporter (thread,
// re-entrance, release, detach, blocking, stale notifications, the stop hand-over, shut-down).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "httpdownload/httpclasses.h"
#include "httpdownload/httpdownload.h"
#include "httpdownload/httppool.h"
#include "httpdownload/httppublic.h"
#include "libcurl/curlholders.h"
#include "platform/codepage.h"
#include "platform/sync.h"
#include "support/http_server.h"
#include "support/raw_server.h"
#include "transfer_support.h"

namespace {

using kttest::HTTP_REPLY;
using kttest::RAW_ACTION;
using ttest::CALL;
using ttest::CRecorder;
using ttest::PumpUntil;
using ttest::TakeBody;
using ttest::Wide;

// Lines of a trace log that start with strPrefix.
size_t CountPrefixed(const kttest::CTraceLog& trace, const std::string& strPrefix) {
    const std::vector<std::string> vec = trace.Lines();
    return static_cast<size_t>(std::count_if(
        vec.begin(), vec.end(), [&](const std::string& s) { return s.rfind(strPrefix, 0) == 0; }));
}

// Waits, without pumping, until the worker of nId has ended.
bool WaitWorkerEnd(long nId) {
    return PumpUntil([&] { return HttpPool_IsRunning(nId) == 0; }, kttest::kGuardMs,
                     [] { std::this_thread::yield(); });
}

class TransferRequest : public ttest::CPoolTest {
protected:
    void SetUp() override {
        ttest::CPoolTest::SetUp();
        ASSERT_TRUE(m_server.IsRunning());
        ASSERT_TRUE(m_raw.IsRunning());
    }
    int Start(long& nId, const std::string& strUrl, const std::string& strBody = "",
              uint32_t dwTimeout = 10000, CRecorder* pReporter = nullptr) {
        return HttpPool_RequestData(&nId, Wide(strUrl).c_str(), strBody.data(),
                                    static_cast<uint32_t>(strBody.size()),
                                    pReporter ? pReporter : &m_reporter, dwTimeout, 0, 0);
    }
    // Pumps until the reporter hears the end of the request started after nBefore terminal calls.
    int32_t Finish(size_t nBefore) {
        EXPECT_TRUE(PumpUntil([&] { return m_reporter.Terminals() > nBefore; }));
        return m_reporter.Outcome();
    }
    int32_t Fetch(long& nId, const std::string& strUrl, const std::string& strBody = "",
                  uint32_t dwTimeout = 10000) {
        const size_t nBefore = m_reporter.Terminals();
        const int nStarted = Start(nId, strUrl, strBody, dwTimeout);
        return nStarted != 0 ? nStarted : Finish(nBefore);
    }

    kttest::CHttpServer m_server;
    kttest::CRawServer m_raw;  // keeps each request's bytes as they came off the socket
    CRecorder m_reporter;
};

TEST_F(TransferRequest, ServerReceivesTheDefaultLinesThenTheAddedOnesAndTheBodyAsSent) {
    long nId = HttpPool_NewRequest();
    const std::string strMultipart =
        "Content-Type: multipart/form-data; boundary=---------------------------7d92de3351722";
    ASSERT_EQ(HttpPool_AddHeader(nId, u"X-First: 1"), 0);
    ASSERT_EQ(HttpPool_AddHeader(nId, Wide(strMultipart).c_str()), 0);
    const std::string strBody("a\0b\r\n--\xff\x80 end", 14);
    EXPECT_EQ(Fetch(nId, m_server.Url("/post?q=1"), strBody), 0);
    // A form goes out URL-encoded in the ANSI code page; added lines stay for the next request.
    ASSERT_TRUE(kt::SetAnsiCodePage("GBK"));
    size_t nBefore = m_reporter.Terminals();
    EXPECT_EQ(HttpPool_RequestForm(&nId, Wide(m_server.Url("/form")).c_str(), u"a=1&b=x y%\t中",
                                   &m_reporter, 10000, 0, 0),
              0);
    EXPECT_EQ(Finish(nBefore), 0);
    kt::SetAnsiCodePage("");
    // An empty form is a GET. A line added while it runs joins the next run instead of stopping
    // or changing this one (it used to stop it).
    m_server.HoldReplies(true);
    nBefore = m_reporter.Terminals();
    EXPECT_EQ(HttpPool_RequestForm(&nId, Wide(m_server.Url("/held")).c_str(), u"", &m_reporter,
                                   10000, 0, 0),
              0);
    ASSERT_TRUE(m_server.WaitForRequests(3));
    EXPECT_EQ(HttpPool_AddHeader(nId, u"X-Late: yes"), 0);
    m_server.HoldReplies(false);
    EXPECT_EQ(Finish(nBefore), 0);
    EXPECT_EQ(Fetch(nId, m_server.Url("/next")), 0);
    HttpPool_Release(nId);  // added lines go with the release
    EXPECT_EQ(Fetch(nId, m_server.Url("/fresh")), 0);
    EXPECT_EQ(nId, 1);

    const std::vector<std::string> vecDefaults = {
        "User-Agent: ASYNCHTTP", "Accept-Encoding: gzip,deflate", "Priority: low",
        "Content-Type: application/x-www-form-urlencoded"};
    const auto Lines = [&](const char* pszFirst, std::vector<std::string> vecAdded,
                           const std::string& strSent) {
        std::vector<std::string> vec{pszFirst};
        vec.insert(vec.end(), vecDefaults.begin(), vecDefaults.end());
        vec.insert(vec.end(), vecAdded.begin(), vecAdded.end());
        vec.push_back(strSent);
        return vec;
    };
    const std::vector<std::vector<std::string>> vecExpected = {
        Lines("POST /post?q=1", {"X-First: 1", strMultipart}, strBody),
        Lines("POST /form", {"X-First: 1", strMultipart}, "a=1&b=x y%25%09%D6%D0"),
        Lines("GET /held", {"X-First: 1", strMultipart}, ""),
        Lines("GET /next", {"X-First: 1", strMultipart, "X-Late: yes"}, ""),
        Lines("GET /fresh", {}, ""),
    };
    ASSERT_EQ(m_server.RequestCount(), vecExpected.size());
    for (size_t i = 0; i < vecExpected.size(); ++i) {
        // Request line, the lines the engine sets (no Expect among them), the body.
        const kttest::RECORDED_REQUEST req = m_server.Request(i);
        std::vector<std::string> vecSent{req.strMethod + " " + req.strTarget};
        for (const std::string& strLine : req.vecHeaderLines) {
            for (const char* pszName :
                 {"User-Agent:", "Accept-Encoding:", "Priority:", "Content-Type:", "X-", "Expect:"})
                if (strLine.rfind(pszName, 0) == 0) vecSent.push_back(strLine);
        }
        vecSent.push_back(req.strBody);
        EXPECT_EQ(vecSent, vecExpected[i]) << "request " << i;
    }
}

TEST_F(TransferRequest, RepliesMapToResultsAndBodies) {
    const std::string strPlain = "the inner text, compressed twice on the way";
    const std::string strMember = kttest::GzipBytes(strPlain);
    const std::string strFake = std::string("\x1f\x8b\x08\x00", 4) + std::string(20, 'z');
    struct CASE {
        const char* pszPath;
        HTTP_REPLY reply;
        int32_t nResult;
        std::string strBody;
        uint32_t dwTimeout = 10000;
    };
    const CASE aCases[] = {
        {"/ok", {200, {}, "hello"}, 0, "hello"},
        {"/missing", {404, {}, "not here"}, HTTP_ERR_REPLY, "not here"},
        {"/gateway", {504, {}, ""}, HTTP_ERR_TIMEOUT, ""},
        {"/broken", {500, {}, ""}, HTTP_ERR_REPLY, ""},
        {"/moved", {302, {{"Location", "/ok"}}, ""}, 0, "hello"},
        // Answered only when the server stops: the request's own time-out ends it.
        {"/late", {200, {}, "late", false, 3600 * 1000}, HTTP_ERR_TIMEOUT, "", 300},
        // libcurl takes off the transfer's gzip; the body beneath is gzip again.
        {"/double", {200, {}, strMember, true}, 0, strPlain},
        // Declared gzip, but what remains is plain: left as it is.
        {"/plain", {200, {}, strPlain, true}, 0, strPlain},
        // The magic without a member behind it: -15, the bytes stay.
        {"/fake", {200, {}, strFake, true}, HTTP_ERR_UNZIP, strFake},
        // Without the Content-Encoding line a gzip body is just bytes.
        {"/raw", {200, {}, strMember, false}, 0, strMember},
    };
    for (const CASE& c : aCases) m_server.SetReply(c.pszPath, c.reply);
    long nId = -1;
    for (const CASE& c : aCases) {
        SCOPED_TRACE(c.pszPath);
        EXPECT_EQ(Fetch(nId, m_server.Url(c.pszPath), "", c.dwTimeout), c.nResult);
        EXPECT_EQ(HttpPool_GetResult(nId), c.nResult);
        EXPECT_EQ(HttpPool().IsFinished(nId), c.nResult == 0 ? 1 : 0);
        EXPECT_EQ(TakeBody(nId), c.strBody);
        EXPECT_EQ(HttpPool_GetRequestUrl(nId), Wide(m_server.Url(c.pszPath)));
        // A redirect is followed to its target.
        EXPECT_EQ(m_server.Request(m_server.RequestCount() - 1).strPath,
                  c.reply.nStatus == 302 ? "/ok" : c.pszPath);
    }
    EXPECT_EQ(m_reporter.Count('P'), 0u);  // a GET's upload count never moves from 0
    EXPECT_EQ(nId, 1);
}

TEST_F(TransferRequest, RawRepliesMapToResults) {
    const std::string strHalf = ttest::MakeData(100000);
    const std::string strHalfHead = "HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n";
    // Bodies that decode to far more than deflate gives for the bytes on the wire: a stack of
    // encodings libcurl undoes itself, and a gzip body beneath the transfer's gzip.
    std::string strPeriodic;
    const std::string strPeriod = ttest::MakeData(1000);
    while (strPeriodic.size() < (16u << 20)) strPeriodic += strPeriod;
    // Half-compressible: the layer libcurl undoes stays under 1 MiB, the one beneath does not.
    std::string strText = ttest::MakeData(1536u << 10);
    for (char& ch : strText) ch = static_cast<char>('a' + (ch & 15));
    const auto Gzip2 = [](const std::string& s) { return kttest::GzipBytes(kttest::GzipBytes(s)); };
    const auto Encoded = [](const std::string& strCoding, const std::string& strBody) {
        return RAW_ACTION::Reply("HTTP/1.1 200 OK\r\nContent-Encoding: " + strCoding +
                                 "\r\nContent-Length: " + std::to_string(strBody.size()) +
                                 "\r\n\r\n" + strBody);
    };
    std::string strEndless = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
    while (strEndless.size() < (3u << 20))
        strEndless += "10000\r\n" + std::string(0x10000, 'e') + "\r\n";
    const std::string strAny = "<refused by a bound>";
    struct CASE {
        const char* pszWhat;
        RAW_ACTION action;
        std::string strUrl;
        int32_t nResult;
        std::string strBody;
        size_t nRequests;
        int32_t nComplete;        // HttpPool_IsReplyComplete afterwards
        long long nMaxReply = 0;  // 0: the default bound
    };
    const CASE aCases[] = {
        {"closed without answer, tried 12 times", RAW_ACTION::CloseAfterRequest(),
         m_raw.Url("/silent"), HTTP_ERR_CURL_CALL, "", 12, 0},
        // Cut, but every byte delivered was kept: received, yet not whole.
        {"cut 200",
         RAW_ACTION::Reply("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n" + strAny.substr(0, 9)),
         m_raw.Url("/cut"), 0, strAny.substr(0, 9), 1, 0},
        {"cut at 50,000 of 100,000",
         RAW_ACTION::Drop(strHalfHead + strHalf, strHalfHead.size() + 50000), m_raw.Url("/half"), 0,
         strHalf.substr(0, 50000), 1, 0},
        {"ended by closing", RAW_ACTION::Reply("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\nhello"),
         m_raw.Url("/close"), 0, "hello", 1, 0},
        {"whole by its length", RAW_ACTION::Reply(strHalfHead + strHalf), m_raw.Url("/whole"), 0,
         strHalf, 1, 1},
        {"whole by its chunked end",
         RAW_ACTION::Reply("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                           "5\r\nhello\r\n0\r\n\r\n"),
         m_raw.Url("/chunked"), 0, "hello", 1, 1},
        {"cut 403", RAW_ACTION::Reply("HTTP/1.1 403 No\r\nContent-Length: 9\r\n\r\nabc"),
         m_raw.Url("/cut403"), HTTP_ERR_REPLY, "abc", 1, 0},
        // libcurl refuses the hop; a 3xx status with nothing lost still counts as done, but not
        // one byte of the file was read.
        {"redirect to file://",
         RAW_ACTION::Reply(
             "HTTP/1.1 302 Found\r\nLocation: file:///etc/passwd\r\nContent-Length: 0\r\n\r\n"),
         m_raw.Url("/to-file"), 0, "", 1, 0},
        {"file:// asked for", RAW_ACTION::Stall(), "file:///etc/hostname", HTTP_ERR_CURL_CALL, "",
         0, 0},
        {"ftp:// asked for", RAW_ACTION::Stall(), "ftp://127.0.0.1:" + std::to_string(m_raw.Port()),
         HTTP_ERR_CURL_CALL, "", 0, 0},
        // Found out by the run, reported like any failure.
        {"empty URL", RAW_ACTION::Stall(), "", HTTP_ERR_PARAM, "", 0, 0},
        // The bounds on a reply held in memory: its size, and what it decodes to.
        {"past the size bound", RAW_ACTION::Reply(strHalfHead + strHalf), m_raw.Url("/big"),
         HTTP_ERR_CURL_CALL, strAny, 1, 0, 50000},
        {"endless chunked", RAW_ACTION::Reply(strEndless), m_raw.Url("/endless"),
         HTTP_ERR_CURL_CALL, strAny, 1, 0, 1 << 20},
        {"stacked encodings past the ratio",
         Encoded("gzip, gzip", Gzip2(std::string(64u << 20, 0))), m_raw.Url("/stacked"),
         HTTP_ERR_UNZIP, strAny, 1, 0},
        {"doubly gzipped past the ratio", Encoded("gzip", Gzip2(strPeriodic)), m_raw.Url("/double"),
         HTTP_ERR_UNZIP, strAny, 1, 0},
        {"doubly gzipped past the size bound", Encoded("gzip", Gzip2(strText)), m_raw.Url("/large"),
         HTTP_ERR_CURL_CALL, strAny, 1, 0, 1 << 20},
    };
    const kttest::CTraceLog trace;
    const std::string strRefused = "curl HttpRequest Reply Refused: httpIndex(1), bound(";
    long nId = -1;
    for (const CASE& c : aCases) {
        SCOPED_TRACE(c.pszWhat);
        HttpPool_SetMaxReplySize(c.nMaxReply);
        m_raw.SetDefaultAction(c.action);
        const size_t nBefore = m_raw.RequestCount();
        const size_t nRefusedBefore = CountPrefixed(trace, strRefused);
        EXPECT_EQ(Fetch(nId, c.strUrl), c.nResult);
        EXPECT_EQ(HttpPool_GetResult(nId), c.nResult);
        EXPECT_EQ(HttpPool_IsReplyComplete(nId), c.nComplete);
        EXPECT_TRUE(c.strBody == strAny || TakeBody(nId) == c.strBody);
        EXPECT_EQ(m_raw.RequestCount() - nBefore, c.nRequests);
        EXPECT_EQ(CountPrefixed(trace, strRefused) - nRefusedBefore, c.strBody == strAny ? 1u : 0u);
    }
    HttpPool_SetMaxReplySize(0);
    EXPECT_EQ(HttpPool_IsReplyComplete(nId + 1), HTTP_NO_INDEX);
}

// An owner of a bare request object that hears its one notification.
struct CAsyncOwner : IAsyReporter {
    kt::CEvent evtDone{true, false};
    std::atomic<int32_t> nResult{1};
    int32_t OnAsyncFinished(long) override { return Done(0); }
    int32_t OnAsyncFailed(long, int32_t n) override { return Done(n); }
    int32_t OnAsyncStatus(long, int32_t) override { return 0; }
    int32_t OnAsyncProgress(long, double) override { return 0; }
    int32_t Done(int32_t n) {
        nResult = n;
        evtDone.Set();
        return 0;
    }
};

TEST_F(TransferRequest, CancelAfterTheStartButBeforeTheRunHolds) {
    CAsyncOwner owner;
    CHttp_Async request(77, &owner);
    request.SetDataRequest(Wide(m_raw.Url("/never")), nullptr, 0, 0);
    {
        // The worker announces its run before it begins: that is when the cancel arrives.
        const kttest::CScopedTraceSink sink([&](std::string_view strLine) {
            if (strLine.rfind("curl HttpRequest Request begin: httpIndex(77)", 0) == 0)
                request.Cancel();
        });
        ASSERT_TRUE(request.Start());
        EXPECT_TRUE(owner.evtDone.Wait(kttest::kGuardMs));
        request.Stop();
    }
    EXPECT_EQ(owner.nResult.load(), HTTP_ERR_USER_ABORT);
    // Connections are accepted in order: once a marker request made now is answered, one the run
    // made (and closed at once) has been counted too.
    m_raw.SetDefaultAction(RAW_ACTION::Reply("HTTP/1.1 204 No Content\r\n\r\n"));
    EXPECT_NE(kttest::net::Exchange(m_raw.Port(), "GET /marker HTTP/1.1\r\n\r\n"), "");
    EXPECT_EQ(m_raw.ConnectionCount(), 1u);
}

// Every option the engine sets, refused in turn by the seam in the libcurl holders, and the
// perform failing for real: the documented code, one trace line naming the option, nothing sent
// (LeakSanitizer checks that the handle and lists of each failed run are freed).
TEST_F(TransferRequest, EachLibcurlCallFailingInTurnGivesItsCode) {
    struct CASE {
        CURLoption eOption;  // CURLOPT_LASTENTRY: none refused
        const char* pszContext;
        int32_t nResult;
        std::string strUrl;  // "": the server's
    };
    // Refused while the handle is made: -10, and the handle is not kept; refused for the run: -11,
    // and the request does not go out. Every run but the GET's is a compressed POST, the run that
    // sets the most options.
    std::vector<CASE> vecCases;
    for (const CURLoption e :
         {CURLOPT_USERAGENT, CURLOPT_ACCEPT_ENCODING, CURLOPT_NOPROGRESS, CURLOPT_XFERINFOFUNCTION,
          CURLOPT_XFERINFODATA, CURLOPT_HEADERFUNCTION, CURLOPT_HEADERDATA, CURLOPT_WRITEFUNCTION,
          CURLOPT_WRITEDATA, CURLOPT_CONNECTTIMEOUT_MS, CURLOPT_PROTOCOLS_STR,
          CURLOPT_REDIR_PROTOCOLS_STR, CURLOPT_NOSIGNAL})
        vecCases.push_back({e, "CHttp_Base::InitCurl", HTTP_ERR_CURL_INIT, ""});
    for (const CURLoption e :
         {CURLOPT_URL, CURLOPT_HTTPGET, CURLOPT_POST, CURLOPT_POSTFIELDS, CURLOPT_POSTFIELDSIZE,
          CURLOPT_COOKIE, CURLOPT_TIMEOUT_MS, CURLOPT_HTTPHEADER, CURLOPT_FOLLOWLOCATION})
        vecCases.push_back({e, "CHttp_Base::Run", HTTP_ERR_CURL_CALL, ""});
    // The perform itself, failing for real: a refused connection (a server's port, closed again),
    // a URL libcurl cannot read; and nothing failing, for contrast (the one request the server
    // sees).
    const std::string strClosed = [] { return kttest::CRawServer().Url("/"); }();
    vecCases.push_back({CURLOPT_LASTENTRY, nullptr, HTTP_ERR_CURL_CALL, strClosed});
    vecCases.push_back({CURLOPT_LASTENTRY, nullptr, HTTP_ERR_CURL_CALL, "http://[127.0.0.1/"});
    vecCases.push_back({CURLOPT_LASTENTRY, nullptr, 0, ""});
    long nIndex = 100;
    for (const CASE& c : vecCases) {
        char szName[64];
        const std::string strLine =
            c.pszContext == nullptr ? ""
                                    : std::string(c.pszContext) + "() curl option " +
                                          kt::CurlOptionName(c.eOption, szName) + " refused: 48\n";
        SCOPED_TRACE(strLine);
        CAsyncOwner owner;
        CHttp_Async request(++nIndex, &owner);  // a new object, so a new handle
        const bool bPost = c.eOption != CURLOPT_HTTPGET;
        request.SetDataRequest(Wide(c.strUrl.empty() ? m_server.Url("/seam") : c.strUrl), "body",
                               bPost ? 4 : 0, bPost);
        const kttest::CTraceLog trace;
        kt::CCurlOptions::RefuseForTest(c.eOption);
        ASSERT_TRUE(request.Start());
        EXPECT_TRUE(owner.evtDone.Wait(kttest::kGuardMs));
        request.Stop();
        kt::CCurlOptions::RefuseForTest(CURLOPT_LASTENTRY);
        EXPECT_EQ(owner.nResult.load(), c.nResult);
        EXPECT_EQ(trace.Count(strLine), c.pszContext ? 1u : 0u);
    }
    // The same for the download's information request, which fails the download before it touches
    // the local file.
    const kttest::CTraceLog trace;
    kt::CCurlOptions::RefuseForTest(CURLOPT_RANGE);
    CHttp_DownloadFile part;
    EXPECT_EQ(CMTRDownload::GetReomteSiteInfo(&part, Wide(m_server.Url("/seam"))),
              HTTP_ERR_CURL_CALL);
    kt::CCurlOptions::RefuseForTest(CURLOPT_LASTENTRY);
    EXPECT_EQ(
        trace.Count("CMTRDownload::GetReomteSiteInfo() curl option CURLOPT_RANGE refused: 48\n"),
        1u);
    EXPECT_EQ(m_server.RequestCount(), 1u);
}

TEST_F(TransferRequest, TraceLinesOfARun) {
    const kttest::CTraceLog trace;
    long nId = -1;
    m_server.SetReply("/double", HTTP_REPLY{200, {}, kttest::GzipBytes("abcdef"), true});
    EXPECT_EQ(Fetch(nId, m_server.Url("/double")), 0);
    const char* apszPrefixes[] = {
        "curl HttpRequest Request begin: httpIndex(1), Tickount(",
        "curl HttpRequest Request End: httpIndex(1), Tickount(",
        "curl HttpRequest Data Has been Compressed: HttpIndex(1), realLenght(6), TickCount(",
        "CHttp_Async::NotifyAsyncReporter result = 0, httpIndex = 1\n"};
    std::vector<std::string> vecOurs;
    for (const std::string& strLine : trace.Lines()) {
        for (const char* pszPrefix : apszPrefixes)
            if (strLine.rfind(pszPrefix, 0) == 0) vecOurs.push_back(pszPrefix);
    }
    EXPECT_EQ(vecOurs, std::vector<std::string>(std::begin(apszPrefixes), std::end(apszPrefixes)));
}

TEST_F(TransferRequest, TwentyMegabyteBodyArrivesByteForByte) {
    const std::string strBody = ttest::MakeData(20u << 20);
    m_raw.SetDefaultAction(RAW_ACTION::Reply("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"));
    long nId = -1;
    // Nothing is pumped until the worker has ended: however many progress values it had, one
    // message waits for them, and it carries the newest.
    ASSERT_EQ(Start(nId, m_raw.Url("/big"), strBody, 60000), 0);
    ASSERT_TRUE(WaitWorkerEnd(nId));
    EXPECT_EQ(Finish(0), 0);
    ASSERT_EQ(m_reporter.Count('P'), 1u);
    EXPECT_EQ(m_reporter.m_vecCalls[0].dValue, static_cast<double>(strBody.size()));
    EXPECT_EQ(TakeBody(nId), "ok");
    const std::string strRequest = m_raw.Request(0);
    const size_t nHeadEnd = strRequest.find("\r\n\r\n");
    const std::string strHead = strRequest.substr(0, nHeadEnd + 2);
    EXPECT_EQ(strHead.rfind("POST /big HTTP/1.1\r\n", 0), 0u);
    EXPECT_NE(strHead.find("\r\nContent-Length: 20971520\r\n"), std::string::npos);
    EXPECT_EQ(strHead.find("Expect"), std::string::npos);
    EXPECT_TRUE(strRequest.substr(nHeadEnd + 4) == strBody);
    // Pumped as it goes: integral byte counts, each one new, reaching the whole body.
    m_reporter.m_vecCalls.clear();
    ASSERT_EQ(Fetch(nId, m_raw.Url("/big"), strBody, 60000), 0);
    double dLast = -1;
    for (const CALL& call : m_reporter.m_vecCalls) {
        if (call.chKind != 'P') continue;
        EXPECT_EQ(call.dValue, static_cast<double>(static_cast<int64_t>(call.dValue)));
        EXPECT_GT(call.dValue, dLast);
        dLast = call.dValue;
    }
    EXPECT_EQ(dLast, static_cast<double>(strBody.size()));
}

// Requests that would never end by themselves: a shut-down that waited for them would hang.
TEST_F(TransferRequest, UninitializeDoesNotWaitForStalledRequests) {
    m_raw.SetDefaultAction(RAW_ACTION::Stall());
    std::vector<long> vecIds(32, -1);
    for (long& nId : vecIds) ASSERT_EQ(Start(nId, m_raw.Url("/stall"), "", 0x7FFFFFFF), 0);
    ASSERT_TRUE(m_raw.WaitForRequests(32, kttest::kGuardMs));
    EXPECT_EQ(HttpPool_AreAllRunning(), 1);
    HttpPool_Uninitialize();
    EXPECT_TRUE(kttest::PumpUntilMarker());
    EXPECT_EQ(m_reporter.Terminals(), 0u);
}

TEST_F(TransferRequest, ReporterCallsArriveOnThePoolThreadAndMayReenterOrBlock) {
    m_server.SetReply(200, "reply body");
    // Sixteen other requests run meanwhile, answered while the reporter is busy.
    CRecorder others;
    std::vector<long> vecOthers(16, -1);
    for (long& nOther : vecOthers)
        ASSERT_EQ(Start(nOther, m_server.Url("/other"), "", 10000, &others), 0);
    long nId = -1;
    std::vector<std::string> vecSeen;
    m_reporter.m_fnHook = [&](const CALL& call) {
        if (call.chKind != 'F') return;
        vecSeen.push_back(TakeBody(call.nId));
        EXPECT_EQ(HttpPool_GetResult(call.nId), 0);
        // The pool's thread is held up here until every other worker has ended.
        for (size_t i = 0; vecSeen.size() == 2 && i < vecOthers.size(); ++i)
            EXPECT_TRUE(WaitWorkerEnd(vecOthers[i]));
        // Detached from inside its own call, then attached again by the next request.
        if (vecSeen.size() == 3) HttpPool_DetachReporter(&m_reporter);
        if (vecSeen.size() < 5) {
            long nSame = call.nId;
            EXPECT_EQ(Start(nSame, m_server.Url("/next"), "x"), 0);
            EXPECT_EQ(nSame, call.nId);
        } else {
            HttpPool_Release(call.nId);
        }
    };
    ASSERT_EQ(Start(nId, m_server.Url("/first")), 0);
    ASSERT_TRUE(PumpUntil([&] { return vecSeen.size() == 5 && others.Terminals() == 16; }));
    for (const long nOther : vecOthers) EXPECT_EQ(HttpPool_GetResult(nOther), 0);
    EXPECT_TRUE(kttest::PumpUntilMarker());  // nothing more arrives for the released id
    EXPECT_EQ(vecSeen, std::vector<std::string>(5, "reply body"));
    EXPECT_EQ(m_reporter.Terminals(), 5u);
    for (const CALL& call : m_reporter.m_vecCalls) {
        EXPECT_EQ(call.thread, std::this_thread::get_id());
        EXPECT_EQ(call.nId, nId);
    }
    EXPECT_EQ(m_server.RequestCount(), 21u);
    EXPECT_EQ(HttpPool_NewRequest(), nId);  // parked by the reporter, taken back now
}

TEST_F(TransferRequest, ReleasedIdsAndDetachedReportersHearNothingNotEvenFromTheQueue) {
    m_server.SetReply("/quick", HTTP_REPLY{200, {}, "first"});
    m_server.SetReply("/back", HTTP_REPLY{200, {}, "back"});
    m_server.SetReply("/slow", HTTP_REPLY{200, {}, "late", false, 3600 * 1000});
    long nReleased = -1;
    long nDetached = -1;
    CRecorder other;
    ASSERT_EQ(Start(nReleased, m_server.Url("/quick")), 0);
    ASSERT_EQ(Start(nDetached, m_server.Url("/slow"), "", 0x7FFFFFFF, &other), 0);
    // Nothing is pumped: the finished run's notifications wait in the queue while the id changes
    // hands.
    ASSERT_TRUE(WaitWorkerEnd(nReleased));
    EXPECT_TRUE(kt::HasPendingMessages());
    HttpPool_Release(nReleased);
    HttpPool_DetachReporter(&other);  // stops its request
    EXPECT_EQ(HttpPool_IsRunning(nDetached), 0);
    CRecorder next;
    long nAgain = -1;
    ASSERT_EQ(Start(nAgain, m_server.Url("/back"), "", 5000, &next), 0);
    EXPECT_EQ(nAgain, nReleased);  // the parked id, at once
    ASSERT_TRUE(PumpUntil([&] { return next.Terminals() > 0; }));
    EXPECT_TRUE(kttest::PumpUntilMarker());
    EXPECT_TRUE(m_reporter.m_vecCalls.empty());
    EXPECT_TRUE(other.m_vecCalls.empty());
    EXPECT_EQ(next.Terminals(), 1u);
    EXPECT_EQ(next.Outcome(), 0);
    EXPECT_EQ(TakeBody(nAgain), "back");
}

TEST_F(TransferRequest, CancelStopsTheRunAndAWorkerEndingWhileStopWaitsIsJoinedOnce) {
    long nId = -1;
    m_server.HoldReplies(true);
    ASSERT_EQ(Start(nId, m_server.Url("/held")), 0);
    ASSERT_TRUE(m_server.WaitForRequests(1));
    EXPECT_EQ(HttpPool_IsRunning(nId) + HttpPool_AreAllRunning(), 2);
    EXPECT_EQ(HttpPool_Cancel(nId), 1);
    EXPECT_EQ(HttpPool_IsRunning(nId) + HttpPool_AreAllRunning(), 0);
    EXPECT_TRUE(kttest::PumpUntilMarker());  // the joined worker's one call is queued by now
    EXPECT_EQ(m_reporter.Terminals(), 1u);
    EXPECT_EQ(m_reporter.Outcome(), HTTP_ERR_USER_ABORT);
    m_server.HoldReplies(false);

    m_server.SetReply(200, "quick");
    for (int i = 1; i <= 150; ++i) {
        ASSERT_EQ(Start(nId, m_server.Url("/q"), "", 5000), 0);
        // Cancel lands anywhere from before the transfer to after the worker's end.
        for (int nSpin = (i * 37) % 3000; nSpin > 0; --nSpin) std::this_thread::yield();
        HttpPool_Cancel(nId);
        EXPECT_EQ(HttpPool_IsRunning(nId), 0);
        EXPECT_TRUE(kttest::PumpUntilMarker());
        ASSERT_EQ(m_reporter.Terminals(), static_cast<size_t>(i) + 1);
        const int32_t nOutcome = m_reporter.Outcome();
        EXPECT_TRUE(nOutcome == 0 || nOutcome == HTTP_ERR_USER_ABORT) << nOutcome;
    }
    // Left alone, a worker that ended is no longer running, without anyone stopping it.
    EXPECT_EQ(Fetch(nId, m_server.Url("/q")), 0);
    EXPECT_TRUE(WaitWorkerEnd(nId));
}

}  // namespace
