// Requests through the public functions against loopback servers: what the server receives,
// every outcome rule of a run, and delivery to the reporter (thread, re-entrance, release,
// detach, blocking, stale notifications, the stop hand-over, shut-down), a cancel before the run
// and an option libcurl refuses.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "httpdownload/httpclasses.h"
#include "httpdownload/httppool.h"
#include "httpdownload/httppublic.h"
#include "libcurl/curlholders.h"
#include "platform/codepage.h"
#include "platform/msgwindow.h"
#include "platform/sync.h"
#include "platform/trace.h"
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
    // Starts a GET or POST on the id variable and pumps until the reporter hears its end.
    int32_t Fetch(long& nId, const std::string& strUrl, const std::string& strBody = "",
                  uint32_t dwTimeout = 10000) {
        const size_t nBefore = m_reporter.Terminals();
        const int nStarted = Start(nId, strUrl, strBody, dwTimeout);
        return nStarted != 0 ? nStarted : Finish(nBefore);
    }
    int32_t FetchForm(long& nId, const std::string& strUrl, const char16_t* pszForm) {
        const size_t nBefore = m_reporter.Terminals();
        const int nStarted =
            HttpPool_RequestForm(&nId, Wide(strUrl).c_str(), pszForm, &m_reporter, 10000, 0, 0);
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
    m_server.SetReply(200, "ok");
    ASSERT_EQ(Fetch(nId, m_server.Url("/post?q=1"), strBody), 0);
    ASSERT_EQ(m_server.RequestCount(), 1u);
    const kttest::RECORDED_REQUEST req = m_server.Request(0);
    EXPECT_EQ(req.strMethod, "POST");
    EXPECT_EQ(req.strTarget, "/post?q=1");
    EXPECT_EQ(req.Header("User-Agent"), "ASYNCHTTP");
    EXPECT_EQ(req.Header("Accept-Encoding"), "gzip,deflate");
    EXPECT_EQ(req.HeaderCount("Expect"), 0u);
    EXPECT_EQ(req.strBody, strBody);
    EXPECT_EQ(req.Header("Content-Length"), "14");
    // Default lines first, in their order, then the added ones in theirs.
    std::vector<std::string> vecOurs;
    for (const std::string& strLine : req.vecHeaderLines) {
        for (const char* pszName : {"Priority:", "Content-Type:", "X-First:"}) {
            if (strLine.rfind(pszName, 0) == 0) vecOurs.push_back(strLine);
        }
    }
    EXPECT_EQ(vecOurs, (std::vector<std::string>{"Priority: low",
                                                 "Content-Type: application/x-www-form-urlencoded",
                                                 "X-First: 1", strMultipart}));
    EXPECT_EQ(TakeBody(nId), "ok");

    // A form goes out URL-encoded in the ANSI code page; added lines stay for the next request.
    ASSERT_TRUE(kt::SetAnsiCodePage("GBK"));
    EXPECT_EQ(FetchForm(nId, m_server.Url("/form"), u"a=1&b=x y%\t中"), 0);
    kt::SetAnsiCodePage("");
    EXPECT_EQ(m_server.Request(1).strMethod, "POST");
    EXPECT_EQ(m_server.Request(1).strBody, "a=1&b=x y%25%09%D6%D0");
    EXPECT_EQ(m_server.Request(1).Header("Content-Type"), "application/x-www-form-urlencoded");
    EXPECT_EQ(m_server.Request(1).Header("X-First"), "1");

    // An empty form is a GET. A line added while it runs joins the next run instead of stopping
    // or changing this one (it used to stop it).
    m_server.SetReply("/slow", HTTP_REPLY{200, {}, "slow", false, 300});
    const size_t nBefore = m_reporter.Terminals();
    ASSERT_EQ(HttpPool_RequestForm(&nId, Wide(m_server.Url("/slow")).c_str(), u"", &m_reporter,
                                   5000, 0, 0),
              0);
    ASSERT_TRUE(m_server.WaitForRequests(3));
    EXPECT_EQ(HttpPool_AddHeader(nId, u"X-Late: yes"), 0);
    EXPECT_EQ(Finish(nBefore), 0);
    EXPECT_EQ(TakeBody(nId), "slow");
    EXPECT_EQ(m_server.Request(2).strMethod, "GET");
    EXPECT_EQ(m_server.Request(2).strBody, "");
    EXPECT_EQ(m_server.Request(2).HeaderCount("X-Late"), 0u);
    ASSERT_EQ(Fetch(nId, m_server.Url("/next")), 0);
    EXPECT_EQ(m_server.Request(3).Header("X-Late"), "yes");

    // Added lines go with the release.
    HttpPool_Release(nId);
    ASSERT_EQ(Fetch(nId, m_server.Url("/fresh")), 0);
    EXPECT_EQ(m_server.Request(4).HeaderCount("X-First"), 0u);
    EXPECT_EQ(m_server.Request(4).HeaderCount("X-Late"), 0u);
    EXPECT_EQ(m_server.Request(4).Header("Priority"), "low");
    EXPECT_EQ(m_server.Request(4).Header("User-Agent"), "ASYNCHTTP");
    EXPECT_EQ(nId, 1);
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
    };
    const CASE aCases[] = {
        {"/ok", {200, {}, "hello"}, 0, "hello"},
        {"/missing", {404, {}, "not here"}, HTTP_ERR_REPLY, "not here"},
        {"/gateway", {504, {}, ""}, HTTP_ERR_TIMEOUT, ""},
        {"/broken", {500, {}, ""}, HTTP_ERR_REPLY, ""},
        {"/moved", {302, {{"Location", "/ok"}}, ""}, 0, "hello"},
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
        EXPECT_EQ(Fetch(nId, m_server.Url(c.pszPath)), c.nResult);
        EXPECT_EQ(HttpPool_GetResult(nId), c.nResult);
        EXPECT_EQ(HttpPool().IsFinished(nId), c.nResult == 0 ? 1 : 0);
        EXPECT_EQ(TakeBody(nId), c.strBody);
        EXPECT_EQ(HttpPool_GetRequestUrl(nId), Wide(m_server.Url(c.pszPath)));
        // A redirect is followed to its target.
        EXPECT_EQ(m_server.Request(m_server.RequestCount() - 1).strPath,
                  c.reply.nStatus == 302 ? "/ok" : c.pszPath);
    }
    // A GET's upload count never moves from 0: nothing to report.
    EXPECT_EQ(m_reporter.Count('P'), 0u);
    EXPECT_EQ(nId, 1);
}

TEST_F(TransferRequest, RawRepliesMapToResults) {
    const std::string strCut =
        "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n" + std::string(40, 'x');
    const std::string strPort = std::to_string(m_raw.Port());
    const std::string strHalf = ttest::MakeData(100000);
    const std::string strHalfHead = "HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n";
    // Bodies that decode to far more than deflate gives for the bytes on the wire: a stack of
    // encodings libcurl undoes itself, and a gzip body beneath the transfer's gzip.
    std::string strPeriodic;
    const std::string strPeriod = ttest::MakeData(1000);
    while (strPeriodic.size() < (16u << 20)) strPeriodic += strPeriod;
    const std::string strStacked = kttest::GzipBytes(kttest::GzipBytes(std::string(64u << 20, 0)));
    const std::string strDouble = kttest::GzipBytes(kttest::GzipBytes(strPeriodic));
    // Half-compressible: the layer libcurl undoes stays under 1 MiB, the one beneath does not.
    std::string strText = ttest::MakeData(1536u << 10);
    for (char& ch : strText) ch = static_cast<char>('a' + (ch & 15));
    const std::string strLarge = kttest::GzipBytes(kttest::GzipBytes(strText));
    auto gzipReply = [](const std::string& strCoding, const std::string& strBody) {
        return "HTTP/1.1 200 OK\r\nContent-Encoding: " + strCoding +
               "\r\nContent-Length: " + std::to_string(strBody.size()) + "\r\n\r\n" + strBody;
    };
    std::string strEndless = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
    while (strEndless.size() < (3u << 20))
        strEndless += "10000\r\n" + std::string(0x10000, 'e') + "\r\n";
    const std::string strAny = "<not compared>";
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
        {"cut 200", RAW_ACTION::Reply(strCut), m_raw.Url("/cut"), 0, std::string(40, 'x'), 1, 0},
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
        {"ftp:// asked for", RAW_ACTION::Stall(), "ftp://127.0.0.1:" + strPort + "/x",
         HTTP_ERR_CURL_CALL, "", 0, 0},
        // Found out by the run, reported like any failure.
        {"empty URL", RAW_ACTION::Stall(), "", HTTP_ERR_PARAM, "", 0, 0},
        // The bounds on a reply held in memory: its size, and what it decodes to.
        {"past the size bound", RAW_ACTION::Reply(strHalfHead + strHalf), m_raw.Url("/big"),
         HTTP_ERR_CURL_CALL, strAny, 1, 0, 50000},
        {"endless chunked", RAW_ACTION::Reply(strEndless), m_raw.Url("/endless"),
         HTTP_ERR_CURL_CALL, strAny, 1, 0, 1 << 20},
        {"stacked encodings past the ratio", RAW_ACTION::Reply(gzipReply("gzip, gzip", strStacked)),
         m_raw.Url("/stacked"), HTTP_ERR_UNZIP, strAny, 1, 0},
        {"doubly gzipped past the ratio", RAW_ACTION::Reply(gzipReply("gzip", strDouble)),
         m_raw.Url("/double"), HTTP_ERR_UNZIP, strAny, 1, 0},
        {"doubly gzipped past the size bound", RAW_ACTION::Reply(gzipReply("gzip", strLarge)),
         m_raw.Url("/large"), HTTP_ERR_CURL_CALL, strAny, 1, 0, 1 << 20},
    };
    std::mutex mutex;
    size_t nRefused = 0;
    const kt::TraceSink oldSink = kt::SetTraceSink([&](std::string_view strLine) {
        std::lock_guard<std::mutex> lock(mutex);
        nRefused += strLine.rfind("curl HttpRequest Reply Refused: httpIndex(1), bound(", 0) == 0;
    });
    long nId = -1;
    for (const CASE& c : aCases) {
        SCOPED_TRACE(c.pszWhat);
        HttpPool_SetMaxReplySize(c.nMaxReply);
        m_raw.SetDefaultAction(c.action);
        const size_t nBefore = m_raw.RequestCount();
        const size_t nRefusedBefore = nRefused;
        EXPECT_EQ(Fetch(nId, c.strUrl), c.nResult);
        EXPECT_EQ(HttpPool_GetResult(nId), c.nResult);
        EXPECT_EQ(HttpPool_IsReplyComplete(nId), c.nComplete);
        if (c.strBody != strAny) {
            EXPECT_EQ(TakeBody(nId), c.strBody);
        }
        EXPECT_EQ(m_raw.RequestCount() - nBefore, c.nRequests);
        std::lock_guard<std::mutex> lock(mutex);
        EXPECT_EQ(nRefused - nRefusedBefore, c.strBody == strAny ? 1u : 0u);
    }
    kt::SetTraceSink(oldSink);
    HttpPool_SetMaxReplySize(0);
    EXPECT_EQ(HttpPool_IsReplyComplete(nId + 1), HTTP_NO_INDEX);
}

TEST_F(TransferRequest, TimeOutAndCancel) {
    long nId = -1;
    m_server.SetReply("/slow", HTTP_REPLY{200, {}, "late", false, 3000});
    const auto tStart = std::chrono::steady_clock::now();
    EXPECT_EQ(Fetch(nId, m_server.Url("/slow"), "", 300), HTTP_ERR_TIMEOUT);
    EXPECT_LT(std::chrono::steady_clock::now() - tStart, std::chrono::milliseconds(2500));

    ASSERT_EQ(Start(nId, m_server.Url("/slow")), 0);
    ASSERT_TRUE(m_server.WaitForRequests(2));
    EXPECT_EQ(HttpPool_IsRunning(nId), 1);
    EXPECT_EQ(HttpPool_AreAllRunning(), 1);
    EXPECT_EQ(HttpPool_Cancel(nId), 1);
    EXPECT_EQ(HttpPool_IsRunning(nId), 0);
    EXPECT_EQ(HttpPool_AreAllRunning(), 0);
    ASSERT_TRUE(PumpUntil([&] { return m_reporter.Terminals() == 2; }));
    EXPECT_EQ(m_reporter.Outcome(), HTTP_ERR_USER_ABORT);
    ttest::PumpFor(50);
    EXPECT_EQ(m_reporter.Terminals(), 2u);
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
    m_raw.SetDefaultAction(RAW_ACTION::Reply("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"));
    CAsyncOwner owner;
    CHttp_Async request(77, &owner);
    request.SetDataRequest(Wide(m_raw.Url("/never")), nullptr, 0, 0);
    // The worker announces its run before it begins: that is when the cancel arrives.
    const kt::TraceSink oldSink = kt::SetTraceSink([&](std::string_view strLine) {
        if (strLine.rfind("curl HttpRequest Request begin: httpIndex(77)", 0) == 0)
            request.Cancel();
    });
    ASSERT_TRUE(request.Start());
    EXPECT_TRUE(owner.evtDone.Wait(60000));
    request.Stop();
    kt::SetTraceSink(oldSink);
    EXPECT_EQ(owner.nResult.load(), HTTP_ERR_USER_ABORT);
    EXPECT_EQ(m_raw.ConnectionCount(), 0u);
}

TEST_F(TransferRequest, AnOptionLibcurlRefusesFailsTheRequestAndIsNamed) {
    struct CASE {
        CURLoption eOption;
        const char* pszTrace;
        int32_t nResult;
    };
    const CASE aCases[] = {
        {CURLOPT_FOLLOWLOCATION,
         "CHttp_Base::Run() curl option CURLOPT_FOLLOWLOCATION refused: 48\n", HTTP_ERR_CURL_CALL},
        // A new handle whose write callback did not take is not used at all.
        {CURLOPT_WRITEFUNCTION,
         "CHttp_Base::InitCurl() curl option CURLOPT_WRITEFUNCTION refused: 48\n",
         HTTP_ERR_CURL_INIT},
    };
    for (const CASE& c : aCases) {
        std::vector<std::string> vecLines;
        std::mutex mutex;
        const kt::TraceSink oldSink = kt::SetTraceSink([&](std::string_view strLine) {
            std::lock_guard<std::mutex> lock(mutex);
            vecLines.emplace_back(strLine);
        });
        kt::CCurlOptions::RefuseForTest(c.eOption);
        long nId = -1;  // a new request object, so a new handle
        EXPECT_EQ(Fetch(nId, m_server.Url("/refused")), c.nResult) << c.pszTrace;
        kt::CCurlOptions::RefuseForTest(CURLOPT_LASTENTRY);
        kt::SetTraceSink(oldSink);
        std::lock_guard<std::mutex> lock(mutex);
        EXPECT_EQ(std::count(vecLines.begin(), vecLines.end(), c.pszTrace), 1) << c.pszTrace;
    }
    EXPECT_EQ(m_server.RequestCount(), 0u);
}

TEST_F(TransferRequest, TraceLinesOfARun) {
    std::vector<std::string> vecOurs;
    std::mutex mutex;
    const kt::TraceSink oldSink = kt::SetTraceSink([&](std::string_view strLine) {
        std::lock_guard<std::mutex> lock(mutex);
        if (strLine.find("curl HttpRequest") != std::string::npos ||
            strLine.find("NotifyAsyncReporter") != std::string::npos) {
            vecOurs.emplace_back(strLine);
        }
    });
    long nId = -1;
    m_server.SetReply("/double", HTTP_REPLY{200, {}, kttest::GzipBytes("abcdef"), true, 0});
    EXPECT_EQ(Fetch(nId, m_server.Url("/double")), 0);
    kt::SetTraceSink(oldSink);
    std::lock_guard<std::mutex> lock(mutex);
    ASSERT_EQ(vecOurs.size(), 4u);
    EXPECT_EQ(vecOurs[0].rfind("curl HttpRequest Request begin: httpIndex(1), Tickount(", 0), 0u);
    EXPECT_EQ(vecOurs[1].rfind("curl HttpRequest Request End: httpIndex(1), Tickount(", 0), 0u);
    EXPECT_EQ(
        vecOurs[2].rfind(
            "curl HttpRequest Data Has been Compressed: HttpIndex(1), realLenght(6), TickCount(",
            0),
        0u);
    EXPECT_EQ(vecOurs[3], "CHttp_Async::NotifyAsyncReporter result = 0, httpIndex = 1\n");
}

TEST_F(TransferRequest, TwentyMegabyteBodyArrivesByteForByte) {
    const std::string strBody = ttest::MakeData(20u << 20);
    m_raw.SetDefaultAction(RAW_ACTION::Reply("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"));
    long nId = -1;
    // Nothing is pumped until the worker has ended: however many progress values it had, one
    // message waits for them, and it carries the newest.
    ASSERT_EQ(Start(nId, m_raw.Url("/big"), strBody, 60000), 0);
    for (int i = 0; i < 12000 && HttpPool_IsRunning(nId); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_EQ(HttpPool_IsRunning(nId), 0);
    EXPECT_EQ(Finish(0), 0);
    ASSERT_EQ(m_reporter.Count('P'), 1u);
    EXPECT_EQ(m_reporter.m_vecCalls[0].dValue, static_cast<double>(strBody.size()));
    EXPECT_EQ(TakeBody(nId), "ok");
    ASSERT_EQ(m_raw.RequestCount(), 1u);
    const std::string strRequest = m_raw.Request(0);
    const size_t nHeadEnd = strRequest.find("\r\n\r\n");
    ASSERT_NE(nHeadEnd, std::string::npos);
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

TEST_F(TransferRequest, UninitializeDoesNotWaitForStalledRequests) {
    m_raw.SetDefaultAction(RAW_ACTION::Stall());
    std::vector<long> vecIds(32, -1);
    for (long& nId : vecIds) ASSERT_EQ(Start(nId, m_raw.Url("/stall"), "", 120000), 0);
    ASSERT_TRUE(m_raw.WaitForRequests(32, 10000));
    EXPECT_EQ(HttpPool_AreAllRunning(), 1);
    const auto tStart = std::chrono::steady_clock::now();
    HttpPool_Uninitialize();
    EXPECT_LT(std::chrono::steady_clock::now() - tStart, std::chrono::seconds(2));
    kt::PumpMessages();
    EXPECT_EQ(m_reporter.Terminals(), 0u);
}

TEST_F(TransferRequest, ReporterCallsArriveOnThePoolThreadAndMayReenterOrBlock) {
    m_server.SetReply(200, "reply body");
    // Sixteen other requests run meanwhile, answered while the reporter is busy.
    m_server.SetReply("/other", HTTP_REPLY{200, {}, "other", false, 100});
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
        // The pool's thread is held up here while the workers go on.
        if (vecSeen.size() == 2) std::this_thread::sleep_for(std::chrono::milliseconds(200));
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
    // Nothing more arrives for the released id.
    ttest::PumpFor(100);
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
    m_server.SetReply("/quick", HTTP_REPLY{200, {}, "first", false, 0});
    m_server.SetReply("/slow", HTTP_REPLY{200, {}, "late", false, 300});
    m_server.SetReply("/back", HTTP_REPLY{200, {}, "back", false, 0});
    long nReleased = -1;
    long nDetached = -1;
    CRecorder other;
    ASSERT_EQ(Start(nReleased, m_server.Url("/quick")), 0);
    ASSERT_EQ(Start(nDetached, m_server.Url("/slow"), "", 5000, &other), 0);
    // Nothing is pumped: the finished run's notifications wait in the queue while the id changes
    // hands.
    for (int i = 0; i < 1000 && HttpPool_IsRunning(nReleased); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_EQ(HttpPool_IsRunning(nReleased), 0);
    EXPECT_TRUE(kt::HasPendingMessages());
    HttpPool_Release(nReleased);
    HttpPool_DetachReporter(&other);
    EXPECT_EQ(HttpPool_IsRunning(nDetached), 0);

    CRecorder next;
    long nAgain = -1;
    ASSERT_EQ(Start(nAgain, m_server.Url("/back"), "", 5000, &next), 0);
    EXPECT_EQ(nAgain, nReleased);  // the parked id, at once
    ASSERT_TRUE(PumpUntil([&] { return next.Terminals() > 0; }));
    ttest::PumpFor(400);
    EXPECT_TRUE(m_reporter.m_vecCalls.empty());
    EXPECT_TRUE(other.m_vecCalls.empty());
    EXPECT_EQ(next.Terminals(), 1u);
    EXPECT_EQ(next.Outcome(), 0);
    EXPECT_EQ(TakeBody(nAgain), "back");
}

TEST_F(TransferRequest, WorkerEndingWhileStopWaitsIsJoinedOnce) {
    m_server.SetReply(200, "quick");
    long nId = -1;
    for (int i = 0; i < 150; ++i) {
        const size_t nBefore = m_reporter.Terminals();
        ASSERT_EQ(Start(nId, m_server.Url("/q"), "", 5000), 0);
        // Cancel lands anywhere from before the transfer to after the worker's end.
        std::this_thread::sleep_for(std::chrono::microseconds((i * 37) % 3000));
        HttpPool_Cancel(nId);
        EXPECT_EQ(HttpPool_IsRunning(nId), 0);
        ASSERT_TRUE(PumpUntil([&] { return m_reporter.Terminals() > nBefore; }));
        const int32_t nOutcome = m_reporter.Outcome();
        EXPECT_TRUE(nOutcome == 0 || nOutcome == HTTP_ERR_USER_ABORT) << nOutcome;
    }
    ttest::PumpFor(50);
    EXPECT_EQ(m_reporter.Terminals(), 150u);

    // Left alone, a worker that ended is no longer running, without anyone stopping it.
    EXPECT_EQ(Fetch(nId, m_server.Url("/q")), 0);
    EXPECT_TRUE(PumpUntil([&] { return HttpPool_IsRunning(nId) == 0; }, 2000));
}

}  // namespace
