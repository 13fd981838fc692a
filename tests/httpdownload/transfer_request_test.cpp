// Requests through the public functions against loopback servers: what the server receives,
// every outcome rule of a run, and delivery to the reporter (thread, re-entrance, release,
// detach).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "httpdownload/httppool.h"
#include "httpdownload/httppublic.h"
#include "platform/codepage.h"
#include "platform/msgwindow.h"
#include "platform/sync.h"
#include "platform/trace.h"
#include "support/http_server.h"
#include "support/raw_server.h"

namespace {

using kttest::CHttpServer;
using kttest::CRawServer;
using kttest::HTTP_REPLY;
using kttest::RAW_ACTION;

struct EVENT {
    char chKind;  // F finished, E failed, M message, S status, P progress
    long nId;
    double dValue;
    std::thread::id thread;
};

class CReporter : public IHttpReporter {
public:
    int32_t OnRequestFinished(long nId) override { return Add('F', nId, 0); }
    int32_t OnRequestFailed(long nId, int32_t nResult) override { return Add('E', nId, nResult); }
    int32_t OnRequestMessage(long nId, int32_t nValue) override { return Add('M', nId, nValue); }
    int32_t OnRequestStatus(long nId, int32_t nValue) override { return Add('S', nId, nValue); }
    int32_t OnRequestProgress(long nId, double dValue) override { return Add('P', nId, dValue); }

    size_t Terminals() const {
        return static_cast<size_t>(
            std::count_if(m_vecEvents.begin(), m_vecEvents.end(),
                          [](const EVENT& e) { return e.chKind == 'F' || e.chKind == 'E'; }));
    }
    const EVENT* LastTerminal() const {
        for (auto it = m_vecEvents.rbegin(); it != m_vecEvents.rend(); ++it) {
            if (it->chKind == 'F' || it->chKind == 'E') return &*it;
        }
        return nullptr;
    }
    // What the last terminal call said: 0 for finished, else the code; 1 when none came.
    int32_t Outcome() const {
        const EVENT* pEvent = LastTerminal();
        return pEvent == nullptr ? 1 : static_cast<int32_t>(pEvent->dValue);
    }

    std::vector<EVENT> m_vecEvents;
    std::function<void(const EVENT&)> m_fnOnEvent;

private:
    int32_t Add(char chKind, long nId, double dValue) {
        m_vecEvents.push_back({chKind, nId, dValue, std::this_thread::get_id()});
        if (m_fnOnEvent) m_fnOnEvent(m_vecEvents.back());
        return 0;
    }
};

bool PumpUntil(const std::function<bool()>& fnDone, uint32_t dwTimeoutMs = 15000) {
    const uint64_t nEnd = kt::GetTickCount64() + dwTimeoutMs;
    while (!fnDone()) {
        if (kt::GetTickCount64() >= nEnd) return false;
        kt::PumpMessagesFor(5);
    }
    return true;
}

std::string TakeBody(long nId) {
    long nLength = -1;
    char* pData = HttpPool_GetData(nId, &nLength);
    std::string strBody = pData != nullptr ? std::string(pData, static_cast<size_t>(nLength)) : "";
    std::free(pData);
    return strBody;
}

std::u16string Wide(const std::string& str) {
    return kt::FromUtf8(str);
}

class TransferRequest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(HttpPool_Initialize(nullptr), 1);
        ASSERT_TRUE(m_server.IsRunning());
    }
    void TearDown() override {
        HttpPool_Uninitialize();
        kt::PumpMessages();
    }

    // Starts a GET or POST on the id variable and pumps until the reporter hears its end.
    int32_t Fetch(long& nId, const std::string& strUrl, const std::string& strBody = "",
                  uint32_t dwTimeout = 10000) {
        const size_t nBefore = m_reporter.Terminals();
        const int nStarted = HttpPool_RequestData(&nId, Wide(strUrl).c_str(), strBody.data(),
                                                  static_cast<uint32_t>(strBody.size()),
                                                  &m_reporter, dwTimeout, 0, 0);
        if (nStarted != 0) return nStarted;
        EXPECT_TRUE(PumpUntil([&] { return m_reporter.Terminals() > nBefore; }));
        return m_reporter.Outcome();
    }

    CHttpServer m_server;
    CReporter m_reporter;
};

TEST_F(TransferRequest, ServerReceivesTheDefaultLinesThenTheAddedOnesAndTheBodyAsSent) {
    long nId = HttpPool_NewRequest();
    ASSERT_EQ(HttpPool_AddHeader(nId, u"X-First: 1"), 0);
    ASSERT_EQ(HttpPool_AddHeader(nId,
                                 u"Content-Type: multipart/form-data; "
                                 u"boundary=---------------------------7d92de3351722"),
              0);
    std::string strBody("a\0b\r\n--\xff\x80 end", 14);
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
    EXPECT_EQ(vecOurs,
              (std::vector<std::string>{
                  "Priority: low", "Content-Type: application/x-www-form-urlencoded", "X-First: 1",
                  "Content-Type: multipart/form-data; "
                  "boundary=---------------------------7d92de3351722"}));
    EXPECT_EQ(TakeBody(nId), "ok");

    // Added lines stay for the next request on the id, and go with its release.
    ASSERT_EQ(Fetch(nId, m_server.Url("/again")), 0);
    EXPECT_EQ(m_server.Request(1).strMethod, "GET");
    EXPECT_EQ(m_server.Request(1).Header("X-First"), "1");
    EXPECT_EQ(m_server.Request(1).strBody, "");
    HttpPool_Release(nId);
    ASSERT_EQ(Fetch(nId, m_server.Url("/fresh")), 0);
    EXPECT_EQ(m_server.Request(2).HeaderCount("X-First"), 0u);
    EXPECT_EQ(m_server.Request(2).Header("Priority"), "low");
    EXPECT_EQ(m_server.Request(2).Header("User-Agent"), "ASYNCHTTP");
}

TEST_F(TransferRequest, AHeaderAddedWhileRunningJoinsTheNextRun) {
    m_server.SetReply("/slow", HTTP_REPLY{200, {}, "slow", false, 300});
    long nId = -1;
    const size_t nBefore = m_reporter.Terminals();
    ASSERT_EQ(HttpPool_RequestData(&nId, Wide(m_server.Url("/slow")).c_str(), nullptr, 0,
                                   &m_reporter, 5000, 0, 0),
              0);
    ASSERT_TRUE(m_server.WaitForRequests(1));
    EXPECT_EQ(HttpPool_AddHeader(nId, u"X-Late: yes"), 0);
    // The running request is neither stopped nor changed.
    ASSERT_TRUE(PumpUntil([&] { return m_reporter.Terminals() > nBefore; }));
    EXPECT_EQ(m_reporter.Outcome(), 0);
    EXPECT_EQ(m_server.Request(0).HeaderCount("X-Late"), 0u);
    EXPECT_EQ(Fetch(nId, m_server.Url("/next")), 0);
    EXPECT_EQ(m_server.Request(1).Header("X-Late"), "yes");
}

TEST_F(TransferRequest, FormIsUrlEncodedInTheAnsiCodePageAndAnEmptyFormIsAGet) {
    ASSERT_TRUE(kt::SetAnsiCodePage("GBK"));
    long nId = -1;
    const size_t nBefore = m_reporter.Terminals();
    ASSERT_EQ(HttpPool_RequestForm(&nId, Wide(m_server.Url("/form")).c_str(), u"a=1&b=x y%\t中",
                                   &m_reporter, 5000, 0, 0),
              0);
    EXPECT_TRUE(PumpUntil([&] { return m_reporter.Terminals() > nBefore; }));
    ASSERT_EQ(HttpPool_RequestForm(&nId, Wide(m_server.Url("/empty")).c_str(), u"", &m_reporter,
                                   5000, 0, 0),
              0);
    EXPECT_TRUE(PumpUntil([&] { return m_reporter.Terminals() > nBefore + 1; }));
    kt::SetAnsiCodePage("");
    ASSERT_EQ(m_server.RequestCount(), 2u);
    EXPECT_EQ(m_server.Request(0).strMethod, "POST");
    EXPECT_EQ(m_server.Request(0).strBody, "a=1&b=x y%25%09%D6%D0");
    EXPECT_EQ(m_server.Request(0).Header("Content-Type"), "application/x-www-form-urlencoded");
    EXPECT_EQ(m_server.Request(1).strMethod, "GET");
    EXPECT_EQ(m_server.Request(1).strBody, "");
    EXPECT_EQ(nId, 1);
}

TEST_F(TransferRequest, StatusCodesMapToResults) {
    long nId = -1;
    m_server.SetReply("/ok", HTTP_REPLY{200, {}, "hello", false, 0});
    m_server.SetReply("/missing", HTTP_REPLY{404, {}, "not here", false, 0});
    m_server.SetReply("/gateway", HTTP_REPLY{504, {}, "", false, 0});
    m_server.SetReply("/broken", HTTP_REPLY{500, {}, "", false, 0});
    m_server.SetReply("/moved", HTTP_REPLY{302, {{"Location", "/ok"}}, "", false, 0});

    EXPECT_EQ(Fetch(nId, m_server.Url("/ok")), 0);
    EXPECT_EQ(TakeBody(nId), "hello");
    EXPECT_EQ(HttpPool_GetResult(nId), 0);
    EXPECT_EQ(HttpPool_GetRequestUrl(nId), Wide(m_server.Url("/ok")));

    EXPECT_EQ(Fetch(nId, m_server.Url("/missing")), HTTP_ERR_REPLY);
    EXPECT_EQ(TakeBody(nId), "not here");
    EXPECT_EQ(HttpPool_GetResult(nId), HTTP_ERR_REPLY);
    EXPECT_EQ(HttpPool().IsFinished(nId), 0);

    EXPECT_EQ(Fetch(nId, m_server.Url("/gateway")), HTTP_ERR_TIMEOUT);
    EXPECT_EQ(Fetch(nId, m_server.Url("/broken")), HTTP_ERR_REPLY);

    EXPECT_EQ(Fetch(nId, m_server.Url("/moved")), 0);
    EXPECT_EQ(TakeBody(nId), "hello");
    EXPECT_EQ(m_server.Request(m_server.RequestCount() - 1).strPath, "/ok");
    EXPECT_EQ(HttpPool().IsFinished(nId), 1);
    EXPECT_EQ(nId, 1);
}

TEST_F(TransferRequest, TimeOutAndCancel) {
    long nId = -1;
    m_server.SetReply("/slow", HTTP_REPLY{200, {}, "late", false, 3000});
    const uint64_t nStart = kt::GetTickCount64();
    EXPECT_EQ(Fetch(nId, m_server.Url("/slow"), "", 300), HTTP_ERR_TIMEOUT);
    EXPECT_LT(kt::GetTickCount64() - nStart, 2500u);

    const size_t nBefore = m_reporter.Terminals();
    ASSERT_EQ(HttpPool_RequestData(&nId, Wide(m_server.Url("/slow")).c_str(), nullptr, 0,
                                   &m_reporter, 10000, 0, 0),
              0);
    ASSERT_TRUE(m_server.WaitForRequests(2));
    EXPECT_EQ(HttpPool_IsRunning(nId), 1);
    EXPECT_EQ(HttpPool_AreAllRunning(), 1);
    EXPECT_EQ(HttpPool_Cancel(nId), 1);
    EXPECT_EQ(HttpPool_IsRunning(nId), 0);
    EXPECT_EQ(HttpPool_AreAllRunning(), 0);
    ASSERT_TRUE(PumpUntil([&] { return m_reporter.Terminals() > nBefore; }));
    EXPECT_EQ(m_reporter.Outcome(), HTTP_ERR_USER_ABORT);
    EXPECT_EQ(m_reporter.Terminals(), nBefore + 1);
}

TEST_F(TransferRequest, GzipBodiesAreUndoneOnceMoreOnlyWhenTheyStillLookLikeGzip) {
    long nId = -1;
    const std::string strPlain = "the inner text, compressed twice on the way";
    // libcurl takes off the transfer's gzip; the body beneath is gzip again.
    m_server.SetReply("/double", HTTP_REPLY{200, {}, kttest::GzipBytes(strPlain), true, 0});
    EXPECT_EQ(Fetch(nId, m_server.Url("/double")), 0);
    EXPECT_EQ(TakeBody(nId), strPlain);

    // Declared gzip, but what remains is plain: left as it is.
    m_server.SetReply("/plain", HTTP_REPLY{200, {}, strPlain, true, 0});
    EXPECT_EQ(Fetch(nId, m_server.Url("/plain")), 0);
    EXPECT_EQ(TakeBody(nId), strPlain);

    // The magic without a member behind it: -15, the bytes stay.
    const std::string strFake = std::string("\x1f\x8b\x08\x00", 4) + std::string(20, 'z');
    m_server.SetReply("/fake", HTTP_REPLY{200, {}, strFake, true, 0});
    EXPECT_EQ(Fetch(nId, m_server.Url("/fake")), HTTP_ERR_UNZIP);
    EXPECT_EQ(TakeBody(nId), strFake);

    // Without the Content-Encoding line a gzip body is just bytes.
    const std::string strMember = kttest::GzipBytes(strPlain);
    m_server.SetReply("/raw", HTTP_REPLY{200, {}, strMember, false, 0});
    EXPECT_EQ(Fetch(nId, m_server.Url("/raw")), 0);
    EXPECT_EQ(TakeBody(nId), strMember);
}

TEST_F(TransferRequest, TraceLinesOfARun) {
    std::vector<std::string> vecLines;
    std::mutex mutex;
    kt::TraceSink oldSink = kt::SetTraceSink([&](std::string_view strLine) {
        std::lock_guard<std::mutex> lock(mutex);
        vecLines.emplace_back(strLine);
    });
    long nId = -1;
    m_server.SetReply("/double", HTTP_REPLY{200, {}, kttest::GzipBytes("abcdef"), true, 0});
    EXPECT_EQ(Fetch(nId, m_server.Url("/double")), 0);
    kt::SetTraceSink(oldSink);
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<std::string> vecOurs;
    for (const std::string& strLine : vecLines) {
        if (strLine.find("curl HttpRequest") != std::string::npos ||
            strLine.find("NotifyAsyncReporter") != std::string::npos) {
            vecOurs.push_back(strLine);
        }
    }
    ASSERT_EQ(vecOurs.size(), 4u);
    EXPECT_EQ(vecOurs[0].rfind("curl HttpRequest Request begin: httpIndex(1), Tickount(", 0), 0u);
    EXPECT_EQ(vecOurs[1].rfind("curl HttpRequest Request End: httpIndex(1), Tickount(", 0), 0u);
    EXPECT_EQ(vecOurs[2].rfind("curl HttpRequest Data Has been Compressed: HttpIndex(1), "
                               "realLenght(6), TickCount(",
                               0),
              0u);
    EXPECT_EQ(vecOurs[3], "CHttp_Async::NotifyAsyncReporter result = 0, httpIndex = 1\n");
}

class TransferRawRequest : public TransferRequest {
protected:
    CRawServer m_raw;
};

// The raw server keeps the request's bytes as they came off the socket.
TEST_F(TransferRawRequest, TwentyMegabyteBodyArrivesByteForByte) {
    std::string strBody(20u << 20, '\0');
    uint32_t nSeed = 7;
    for (char& ch : strBody) {
        nSeed = nSeed * 1664525u + 1013904223u;
        ch = static_cast<char>(nSeed >> 24);
    }
    m_raw.QueueAction(RAW_ACTION::Reply("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"));
    long nId = -1;
    ASSERT_EQ(Fetch(nId, m_raw.Url("/big"), strBody, 60000), 0);
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
    // Upload progress: integral byte counts, never falling, reaching the whole body.
    double dLast = -1;
    for (const EVENT& e : m_reporter.m_vecEvents) {
        if (e.chKind != 'P') continue;
        EXPECT_EQ(e.dValue, static_cast<double>(static_cast<int64_t>(e.dValue)));
        EXPECT_GE(e.dValue, dLast);
        dLast = e.dValue;
    }
    EXPECT_EQ(dLast, static_cast<double>(strBody.size()));
}

TEST_F(TransferRawRequest, AServerThatSaysNothingIsTriedTwelveTimes) {
    m_raw.SetDefaultAction(RAW_ACTION::CloseAfterRequest());
    long nId = -1;
    EXPECT_EQ(Fetch(nId, m_raw.Url("/silent")), HTTP_ERR_CURL_CALL);
    EXPECT_EQ(m_raw.RequestCount(), 12u);
}

TEST_F(TransferRawRequest, ACutReplyCountsWhenEveryDeliveredByteWasKept) {
    const std::string strHead = "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n";
    m_raw.QueueAction(RAW_ACTION::Reply(strHead + std::string(40, 'x')));
    long nId = -1;
    EXPECT_EQ(Fetch(nId, m_raw.Url("/cut")), 0);
    EXPECT_EQ(TakeBody(nId), std::string(40, 'x'));

    // The same cut behind a 4xx status stays an error.
    m_raw.QueueAction(RAW_ACTION::Reply("HTTP/1.1 403 No\r\nContent-Length: 9\r\n\r\nabc"));
    EXPECT_EQ(Fetch(nId, m_raw.Url("/cut403")), HTTP_ERR_REPLY);
}

TEST_F(TransferRawRequest, OnlyHttpAndHttpsAreFollowed) {
    long nId = -1;
    m_raw.QueueAction(RAW_ACTION::Reply(
        "HTTP/1.1 302 Found\r\nLocation: file:///etc/passwd\r\nContent-Length: 0\r\n\r\n"));
    // libcurl refuses the hop; with a 3xx status and nothing lost the run still counts as done
    // (the cut-reply rule), but not one byte of the file was read.
    EXPECT_EQ(Fetch(nId, m_raw.Url("/to-file")), 0);
    EXPECT_EQ(TakeBody(nId), "");
    EXPECT_EQ(m_raw.RequestCount(), 1u);
    EXPECT_EQ(Fetch(nId, "file:///etc/hostname"), HTTP_ERR_CURL_CALL);
    EXPECT_EQ(TakeBody(nId), "");
    EXPECT_EQ(Fetch(nId, "ftp://127.0.0.1:" + std::to_string(m_raw.Port()) + "/x"),
              HTTP_ERR_CURL_CALL);
}

TEST_F(TransferRawRequest, UninitializeDoesNotWaitForStalledRequests) {
    m_raw.SetDefaultAction(RAW_ACTION::Stall());
    std::vector<long> vecIds(32, -1);
    for (long& nId : vecIds) {
        ASSERT_EQ(HttpPool_RequestData(&nId, Wide(m_raw.Url("/stall")).c_str(), nullptr, 0,
                                       &m_reporter, 120000, 0, 0),
                  0);
    }
    ASSERT_TRUE(m_raw.WaitForRequests(32, 10000));
    EXPECT_EQ(HttpPool_AreAllRunning(), 1);
    const auto tStart = std::chrono::steady_clock::now();
    HttpPool_Uninitialize();
    const auto tSpent = std::chrono::steady_clock::now() - tStart;
    EXPECT_LT(tSpent, std::chrono::seconds(2));
    kt::PumpMessages();
    EXPECT_EQ(m_reporter.Terminals(), 0u);
}

TEST_F(TransferRequest, ReporterCallsArriveOnThePoolThreadAndMayReenter) {
    m_server.SetReply(200, "reply body");
    long nId = -1;
    std::vector<std::string> vecSeen;
    int nRestarts = 0;
    m_reporter.m_fnOnEvent = [&](const EVENT& e) {
        if (e.chKind != 'F') return;
        vecSeen.push_back(TakeBody(e.nId));
        EXPECT_EQ(HttpPool_GetResult(e.nId), 0);
        EXPECT_EQ(HttpPool_GetErrorText(HttpPool_GetResult(e.nId)), u"HTTP请求未知错误!");
        if (++nRestarts < 5) {
            long nSame = e.nId;
            EXPECT_EQ(HttpPool_RequestData(&nSame, Wide(m_server.Url("/next")).c_str(), "x", 1,
                                           &m_reporter, 5000, 0, 0),
                      0);
            EXPECT_EQ(nSame, e.nId);
        } else {
            HttpPool_Release(e.nId);
        }
    };
    ASSERT_EQ(HttpPool_RequestData(&nId, Wide(m_server.Url("/first")).c_str(), nullptr, 0,
                                   &m_reporter, 5000, 0, 0),
              0);
    ASSERT_TRUE(PumpUntil([&] { return nRestarts == 5; }));
    // Nothing more arrives for the released id.
    kt::PumpMessagesFor(100);
    kt::PumpMessages();
    EXPECT_EQ(vecSeen, std::vector<std::string>(5, "reply body"));
    EXPECT_EQ(m_reporter.Terminals(), 5u);
    for (const EVENT& e : m_reporter.m_vecEvents) {
        EXPECT_EQ(e.thread, std::this_thread::get_id());
        EXPECT_EQ(e.nId, nId);
    }
    EXPECT_EQ(m_server.RequestCount(), 5u);
    EXPECT_EQ(HttpPool_NewRequest(), nId);  // parked by the reporter, taken back now
}

TEST_F(TransferRequest, ReleasedIdsAndDetachedReportersHearNothing) {
    m_server.SetReply("/slow", HTTP_REPLY{200, {}, "late", false, 300});
    long nReleased = -1;
    long nDetached = -1;
    CReporter other;
    ASSERT_EQ(HttpPool_RequestData(&nReleased, Wide(m_server.Url("/slow")).c_str(), nullptr, 0,
                                   &m_reporter, 5000, 0, 0),
              0);
    ASSERT_EQ(HttpPool_RequestData(&nDetached, Wide(m_server.Url("/slow")).c_str(), nullptr, 0,
                                   &other, 5000, 0, 0),
              0);
    HttpPool_PostMessage(nReleased, 1);
    HttpPool_Release(nReleased);
    HttpPool_DetachReporter(&other);
    EXPECT_EQ(HttpPool_IsRunning(nDetached), 0);
    kt::PumpMessagesFor(500);
    kt::PumpMessages();
    EXPECT_TRUE(m_reporter.m_vecEvents.empty());
    EXPECT_TRUE(other.m_vecEvents.empty());

    // A parked id given to a request function runs again and reports again.
    long nAgain = nReleased;
    m_server.SetReply(200, "back");
    EXPECT_EQ(Fetch(nAgain, m_server.Url("/back")), 0);
    EXPECT_EQ(nAgain, nReleased);
    EXPECT_EQ(TakeBody(nAgain), "back");
}

TEST_F(TransferRequest, WorkerEndingWhileStopWaitsIsJoinedOnce) {
    m_server.SetReply(200, "quick");
    long nId = -1;
    for (int i = 0; i < 150; ++i) {
        const size_t nBefore = m_reporter.Terminals();
        ASSERT_EQ(HttpPool_RequestData(&nId, Wide(m_server.Url("/q")).c_str(), nullptr, 0,
                                       &m_reporter, 5000, 0, 0),
                  0);
        // Cancel lands anywhere from before the transfer to after the worker's end.
        std::this_thread::sleep_for(std::chrono::microseconds((i * 37) % 3000));
        HttpPool_Cancel(nId);
        EXPECT_EQ(HttpPool_IsRunning(nId), 0);
        ASSERT_TRUE(PumpUntil([&] { return m_reporter.Terminals() > nBefore; }));
        const int32_t nOutcome = m_reporter.Outcome();
        EXPECT_TRUE(nOutcome == 0 || nOutcome == HTTP_ERR_USER_ABORT) << nOutcome;
    }
    kt::PumpMessagesFor(50);
    kt::PumpMessages();
    EXPECT_EQ(m_reporter.Terminals(), 150u);

    // Left alone, a worker that ended is no longer running, without anyone stopping it.
    EXPECT_EQ(Fetch(nId, m_server.Url("/q")), 0);
    EXPECT_TRUE(PumpUntil([&] { return HttpPool_IsRunning(nId) == 0; }, 2000));
}

}  // namespace
