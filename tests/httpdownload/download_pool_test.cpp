// Downloads through the engine's public functions: notifications on the pool's thread, cancel,
// release and shut-down while parts run, dropped connections, and the size request.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "httpdownload/httpdownload.h"
#include "httpdownload/httppublic.h"
#include "platform/msgwindow.h"
#include "support/http_server.h"
#include "support/raw_server.h"
#include "transfer_support.h"

namespace {

using ttest::CALL;
using ttest::CRecorder;
using ttest::kRfcExampleDate;
using ttest::kRfcExampleTime;
using ttest::PumpFor;
using ttest::PumpUntil;

class DownloadPoolTest : public ttest::CPoolTest {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_server.IsRunning());
        ttest::CPoolTest::SetUp();
    }

    std::u16string Url(const std::string& strPath) const {
        return ttest::Wide(m_server.Url(strPath));
    }
    // Starts an asynchronous download; the test fails unless it started.
    long Start(const std::string& strName, IHttpReporter* pReporter,
               const std::string& strPath = "/file.bin") {
        long nId = -1;
        EXPECT_EQ(0, HttpPool_DownloadFile(&nId, Url(strPath).c_str(),
                                           m_dir.FamilyPath(strName).c_str(), pReporter, 60000, 0));
        return nId;
    }
    // A 3,000,000-byte file (three parts) served slowly enough to be caught while it runs.
    void ServeSlowFile(size_t nBytesPerSecond = 64 * 1024) {
        m_server.SetResource("/file.bin", {ttest::MakeData(3000000), true, ""});
        m_server.SetThrottle(nBytesPerSecond);
    }
    // Stops every server thread and checks that the download left none of its own behind.
    void ExpectNoThreadsLeft() {
        m_server.Stop();
        EXPECT_TRUE(PumpUntil([&] { return ttest::ThreadCount() == m_nThreadsBefore; }, 2000))
            << ttest::ThreadCount() << " threads, " << m_nThreadsBefore << " before";
    }

    ttest::CTimeZone m_zone{"UTC"};
    const int m_nThreadsBefore = ttest::ThreadCount();
    kttest::CHttpServer m_server;
    ttest::CScratchDir m_dir;
};

TEST_F(DownloadPoolTest, StatusReachesReporterOnPoolThreadGrowingToFileSizeThenFinished) {
    const std::string strData = ttest::MakeData(3000000);
    m_server.SetResource("/file.bin", {strData, true, kRfcExampleDate});
    CRecorder reporter;
    // A request id given to the download function is not a download: a new id is drawn.
    const long nRequest = HttpPool_NewRequest();
    long nId = nRequest;
    ASSERT_EQ(0, HttpPool_DownloadFile(&nId, Url("/file.bin").c_str(),
                                       m_dir.FamilyPath("out.bin").c_str(), &reporter, 60000, 0));
    EXPECT_EQ(nRequest + 1, nId);
    ASSERT_TRUE(PumpUntil([&] { return reporter.Terminals() > 0; }));

    EXPECT_EQ('F', reporter.m_vecCalls.back().chKind);
    double dPrevious = 0;
    for (const CALL& call : reporter.m_vecCalls) {
        EXPECT_EQ(std::this_thread::get_id(), call.thread);
        EXPECT_EQ(nId, call.nId);
        if (call.chKind != 'S') continue;
        EXPECT_GT(call.dValue, dPrevious);
        dPrevious = call.dValue;
    }
    EXPECT_GE(reporter.Count('S'), 3u);
    EXPECT_EQ(3000000, dPrevious);
    EXPECT_TRUE(ttest::ReadFile(m_dir.File("out.bin")) == strData) << "file differs";
    EXPECT_EQ(kRfcExampleTime, ttest::FileMTime(m_dir.File("out.bin")));
    // Nor is a download id a request.
    EXPECT_EQ(HTTP_NO_INDEX, HttpPool_GetResult(nId));
    EXPECT_EQ(0, HttpPool_GetResult(nRequest));
}

TEST_F(DownloadPoolTest, CancelAndAReporterDeathStopEveryPart) {
    ServeSlowFile();
    CRecorder reporter;
    const long nId = Start("out.bin", &reporter);
    {
        CRecorder dying;
        Start("other.bin", &dying);
        ASSERT_TRUE(m_server.WaitForRequests(8));  // two size requests and three parts each
    }
    // The cancelled download reports failed with 0; nothing may reach the destroyed reporter
    // (ASan would see it).
    EXPECT_EQ(1, HttpPool_Cancel(nId));
    ASSERT_TRUE(PumpUntil([&] { return reporter.Terminals() > 0; }));
    PumpFor(100);
    EXPECT_EQ(1u, reporter.Count('E'));
    EXPECT_EQ(0, reporter.Outcome());
    EXPECT_EQ(0u, reporter.Count('F'));
    ExpectNoThreadsLeft();
}

TEST_F(DownloadPoolTest, DroppedConnectionFailsTheDownloadAndStopsTheOtherParts) {
    kttest::CRawServer raw;
    ASSERT_TRUE(raw.IsRunning());
    raw.QueueAction(kttest::RAW_ACTION::Reply(
        "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 0-0/3000000\r\n"
        "Content-Length: 1\r\nConnection: close\r\n\r\nx"));
    // Whichever part connects first is cut off halfway; the other two get no answer at all and
    // must be stopped by the download.
    std::string strPart =
        "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 0-999999/3000000\r\n"
        "Content-Length: 1000000\r\nConnection: close\r\n\r\n";
    const size_t nHead = strPart.size();
    strPart += ttest::MakeData(1000000);
    kttest::RAW_ACTION drop = kttest::RAW_ACTION::Drop(strPart, nHead + 500000);
    drop.nDelayMs = 300;  // so that every part has asked before one fails
    raw.QueueAction(drop);
    raw.SetDefaultAction(kttest::RAW_ACTION::Stall());

    CRecorder reporter;
    long nId = -1;
    ASSERT_EQ(0, HttpPool_DownloadFile(&nId, ttest::Wide(raw.Url("/f")).c_str(),
                                       m_dir.FamilyPath("out.bin").c_str(), &reporter, 60000, 0));
    ASSERT_TRUE(PumpUntil([&] { return reporter.Terminals() > 0; }));
    const CALL& last = reporter.m_vecCalls.back();
    EXPECT_EQ('E', last.chKind);
    EXPECT_EQ(nId, last.nId);
    EXPECT_EQ(0, last.dValue);
    EXPECT_EQ(4u, raw.RequestCount());
    raw.Stop();
    ExpectNoThreadsLeft();
}

// Regression: a released download's counts, still queued, used to reach the id's next user.
TEST_F(DownloadPoolTest, NotificationsQueuedBeforeAReleaseNeverReachTheIdsNextUser) {
    ServeSlowFile();
    const std::string strSmall = ttest::MakeData(1000);
    m_server.SetResource("/small.bin", {strSmall, true, ""});
    CRecorder first;
    const long nId = Start("out.bin", &first);
    ASSERT_TRUE(m_server.WaitForRequests(4));
    // Nothing is pumped: the first run's counts wait in the queue while the id changes hands.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(1, HttpPool_Release(nId));
    EXPECT_TRUE(kt::HasPendingMessages());

    // The released download is parked: the next one gets its id back.
    CRecorder second;
    ASSERT_EQ(nId, Start("small.bin", &second, "/small.bin"));
    ASSERT_TRUE(PumpUntil([&] { return second.Terminals() > 0; }));
    PumpFor(300);
    EXPECT_TRUE(first.m_vecCalls.empty());
    EXPECT_EQ(1u, second.Terminals());
    EXPECT_EQ('F', second.m_vecCalls.back().chKind);
    for (const CALL& call : second.m_vecCalls) {
        if (call.chKind == 'S') {
            EXPECT_LE(call.dValue, 1000) << "a count of the released run";
        }
    }
    EXPECT_TRUE(ttest::ReadFile(m_dir.File("small.bin")) == strSmall) << "file differs";
}

TEST_F(DownloadPoolTest, UninitializeDuringDownloadReturnsWithinTwoSeconds) {
    ServeSlowFile(16 * 1024);
    CRecorder reporter;
    Start("out.bin", &reporter);
    ASSERT_TRUE(m_server.WaitForRequests(4));
    PumpFor(100);

    const auto tStart = std::chrono::steady_clock::now();
    HttpPool_Uninitialize();
    EXPECT_LT(std::chrono::steady_clock::now() - tStart, std::chrono::seconds(2));
    const size_t nCalls = reporter.m_vecCalls.size();
    PumpFor(100);
    EXPECT_EQ(nCalls, reporter.m_vecCalls.size());
    ExpectNoThreadsLeft();
}

TEST_F(DownloadPoolTest, WaitFlagSyncDownloadAndFailedPreparation) {
    const std::string strData = ttest::MakeData(2000000);
    m_server.SetResource("/file.bin", {strData, true, kRfcExampleDate});
    m_server.SetReply("/missing", {404, {}, "no"});

    long nId = -1;
    EXPECT_EQ(0, HttpPool_DownloadFile(&nId, Url("/file.bin").c_str(),
                                       m_dir.FamilyPath("wait.bin").c_str(), nullptr, 60000, 1));
    EXPECT_TRUE(ttest::ReadFile(m_dir.File("wait.bin")) == strData) << "file differs";

    EXPECT_EQ(1, HttpPool_DownloadFileSync(Url("/file.bin").c_str(),
                                           m_dir.FamilyPath("sync.bin").c_str(), nullptr, 60000));
    EXPECT_TRUE(ttest::ReadFile(m_dir.File("sync.bin")) == strData) << "file differs";
    EXPECT_EQ(kRfcExampleTime, ttest::FileMTime(m_dir.File("sync.bin")));

    // The size request fails with 404: no file, a failed start, nothing reported.
    CRecorder reporter;
    long nMissing = -1;
    EXPECT_EQ(HTTP_ERR_THREAD,
              HttpPool_DownloadFile(&nMissing, Url("/missing").c_str(),
                                    m_dir.FamilyPath("missing.bin").c_str(), &reporter, 60000, 0));
    EXPECT_EQ(0,
              HttpPool_DownloadFileSync(Url("/missing").c_str(),
                                        m_dir.FamilyPath("missing.bin").c_str(), nullptr, 60000));
    PumpFor(50);
    EXPECT_TRUE(reporter.m_vecCalls.empty());
    EXPECT_FALSE(std::filesystem::exists(m_dir.File("missing.bin")));
}

TEST_F(DownloadPoolTest, RemoteFileSize) {
    m_server.SetReply("/r206", {206, {{"Content-Range", "bytes 0-0/12345"}}, "x"});
    m_server.SetReply("/r200", {200, {}, std::string(512, 'a')});
    m_server.SetReply("/missing", {404, {}, "no"});
    const std::tuple<const char*, int, long> aCases[] = {
        {"/r206", 1, 12345}, {"/r200", 1, 512}, {"/missing", 0, 0}};
    for (const auto& [pszPath, nResult, nExpected] : aCases) {
        long nSize = -7;
        EXPECT_EQ(nResult, HttpPool_GetRemoteFileSize(Url(pszPath).c_str(), &nSize, 10000));
        EXPECT_EQ(nExpected, nSize) << pszPath;
    }
}

}  // namespace
