// Downloads through the engine's public functions: notifications on the pool's thread, cancel,
// release and shut-down while parts run, dropped connections, and the size request.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "download_support.h"
#include "httpdownload/httpdownload.h"
#include "httpdownload/httppublic.h"
#include "platform/msgwindow.h"
#include "support/http_server.h"
#include "support/raw_server.h"

namespace {

using dltest::kRfcExampleDate;
using dltest::kRfcExampleTime;
using dltest::Wide;

struct CALL {
    char chKind;  // F finished, E failed, S status
    long nId;
    long long nValue;
    std::thread::id thread;
};

class CRecorder : public IHttpReporter {
public:
    int32_t OnRequestFinished(long nId) override { return Add('F', nId, 0); }
    int32_t OnRequestFailed(long nId, int32_t nResult) override { return Add('E', nId, nResult); }
    int32_t OnRequestStatus(long nId, int32_t nValue) override { return Add('S', nId, nValue); }

    bool Ended() const {
        for (const CALL& call : m_vecCalls) {
            if (call.chKind == 'F' || call.chKind == 'E') return true;
        }
        return false;
    }
    size_t Count(char chKind) const {
        size_t n = 0;
        for (const CALL& call : m_vecCalls) n += call.chKind == chKind;
        return n;
    }

    std::vector<CALL> m_vecCalls;

private:
    int32_t Add(char chKind, long nId, long long nValue) {
        m_vecCalls.push_back({chKind, nId, nValue, std::this_thread::get_id()});
        return 0;
    }
};

// Pumps the pool's messages until the condition holds; the limit only keeps a broken build from
// hanging the suite.
bool PumpUntil(const std::function<bool()>& fnDone, int nLimitMs = 60000) {
    const auto tEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(nLimitMs);
    while (!fnDone()) {
        if (std::chrono::steady_clock::now() > tEnd) return false;
        kt::PumpMessagesFor(20);
    }
    return true;
}

void PumpFor(int nMs) {
    const auto tEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(nMs);
    while (std::chrono::steady_clock::now() < tEnd) kt::PumpMessagesFor(10);
}

class DownloadPoolTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_server.IsRunning());
        ASSERT_EQ(1, HttpPool_Initialize(nullptr));
    }
    void TearDown() override { HttpPool_Uninitialize(); }

    std::u16string Url(const std::string& strPath) const { return Wide(m_server.Url(strPath)); }
    // Starts an asynchronous download of /file.bin; the test fails unless it started.
    long Start(const std::string& strName, IHttpReporter* pReporter) {
        long nId = -1;
        EXPECT_EQ(0, HttpPool_DownloadFile(&nId, Url("/file.bin").c_str(),
                                           m_dir.FamilyPath(strName).c_str(), pReporter, 60000, 0));
        return nId;
    }
    // Stops every server thread and checks that the download left none of its own behind.
    void ExpectNoThreadsLeft() {
        m_server.Stop();
        EXPECT_TRUE(PumpUntil([&] { return dltest::ThreadCount() == m_nThreadsBefore; }, 2000))
            << dltest::ThreadCount() << " threads, " << m_nThreadsBefore << " before";
    }

    dltest::CTimeZone m_zone{"UTC"};
    const int m_nThreadsBefore = dltest::ThreadCount();
    kttest::CHttpServer m_server;
    dltest::CScratchDir m_dir;
};

TEST_F(DownloadPoolTest, StatusReachesReporterOnPoolThreadGrowingToFileSizeThenFinished) {
    const std::string strData = dltest::MakeData(3000000);
    m_server.SetResource("/file.bin", {strData, true, kRfcExampleDate});
    CRecorder reporter;
    const long nId = Start("out.bin", &reporter);
    ASSERT_GE(nId, 1);
    ASSERT_TRUE(PumpUntil([&] { return reporter.Ended(); }));

    ASSERT_FALSE(reporter.m_vecCalls.empty());
    const CALL& last = reporter.m_vecCalls.back();
    EXPECT_EQ('F', last.chKind);
    EXPECT_EQ(nId, last.nId);
    long long nPrevious = 0;
    for (const CALL& call : reporter.m_vecCalls) {
        EXPECT_EQ(std::this_thread::get_id(), call.thread);
        EXPECT_EQ(nId, call.nId);
        if (call.chKind != 'S') continue;
        EXPECT_GT(call.nValue, nPrevious);
        nPrevious = call.nValue;
    }
    EXPECT_GE(reporter.Count('S'), 3u);
    EXPECT_EQ(3000000, nPrevious);
    EXPECT_TRUE(dltest::ReadFile(m_dir.File("out.bin")) == strData) << "file differs";
    EXPECT_EQ(kRfcExampleTime, dltest::FileMTime(m_dir.File("out.bin")));
}

TEST_F(DownloadPoolTest, CancelStopsEveryPartAndReportsFailedWithZero) {
    m_server.SetResource("/file.bin", {dltest::MakeData(3000000), true, ""});
    m_server.SetThrottle(64 * 1024);
    CRecorder reporter;
    const long nId = Start("out.bin", &reporter);
    ASSERT_TRUE(m_server.WaitForRequests(4));  // the size request and three parts

    EXPECT_EQ(1, HttpPool_Cancel(nId));
    ASSERT_TRUE(PumpUntil([&] { return reporter.Ended(); }));
    const CALL& last = reporter.m_vecCalls.back();
    EXPECT_EQ('E', last.chKind);
    EXPECT_EQ(0, last.nValue);
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
    strPart += dltest::MakeData(1000000);
    raw.QueueAction(kttest::RAW_ACTION::Drop(strPart, nHead + 500000));
    raw.SetDefaultAction(kttest::RAW_ACTION::Stall());

    CRecorder reporter;
    long nId = -1;
    ASSERT_EQ(0, HttpPool_DownloadFile(&nId, Wide(raw.Url("/f")).c_str(),
                                       m_dir.FamilyPath("out.bin").c_str(), &reporter, 60000, 0));
    ASSERT_TRUE(PumpUntil([&] { return reporter.Ended(); }));
    const CALL& last = reporter.m_vecCalls.back();
    EXPECT_EQ('E', last.chKind);
    EXPECT_EQ(nId, last.nId);
    EXPECT_EQ(0, last.nValue);
    EXPECT_EQ(4u, raw.RequestCount());
    raw.Stop();
    ExpectNoThreadsLeft();
}

TEST_F(DownloadPoolTest, ReleasedDownloadIsSilencedParkedAndReused) {
    const std::string strData = dltest::MakeData(3000000);
    m_server.SetResource("/file.bin", {strData, true, ""});
    m_server.SetThrottle(64 * 1024);
    CRecorder reporter;
    const long nId = Start("out.bin", &reporter);
    ASSERT_TRUE(m_server.WaitForRequests(4));

    EXPECT_EQ(1, HttpPool_Release(nId));
    const size_t nCallsAtRelease = reporter.m_vecCalls.size();
    PumpFor(300);
    EXPECT_EQ(nCallsAtRelease, reporter.m_vecCalls.size()) << "a released download reported";

    // The parked id comes back for the next download, which runs normally on it.
    m_server.SetThrottle(0);
    CRecorder second;
    EXPECT_EQ(nId, Start("again.bin", &second));
    ASSERT_TRUE(PumpUntil([&] { return second.Ended(); }));
    EXPECT_EQ('F', second.m_vecCalls.back().chKind);
    EXPECT_EQ(nCallsAtRelease, reporter.m_vecCalls.size());
    EXPECT_TRUE(dltest::ReadFile(m_dir.File("again.bin")) == strData) << "file differs";
}

TEST_F(DownloadPoolTest, NotificationsQueuedBeforeAReleaseNeverReachTheIdsNextUser) {
    m_server.SetResource("/file.bin", {dltest::MakeData(3000000), true, ""});
    m_server.SetResource("/small.bin", {dltest::MakeData(1000), true, ""});
    m_server.SetThrottle(64 * 1024);
    CRecorder first;
    const long nId = Start("out.bin", &first);
    ASSERT_TRUE(m_server.WaitForRequests(4));
    // Nothing is pumped: the first run's counts wait in the queue while the id changes hands.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(1, HttpPool_Release(nId));
    EXPECT_TRUE(kt::HasPendingMessages());

    CRecorder second;
    long nSecond = nId;
    ASSERT_EQ(0, HttpPool_DownloadFile(&nSecond, Url("/small.bin").c_str(),
                                       m_dir.FamilyPath("small.bin").c_str(), &second, 60000, 0));
    ASSERT_EQ(nId, nSecond);
    ASSERT_TRUE(PumpUntil([&] { return second.Ended(); }));
    EXPECT_TRUE(first.m_vecCalls.empty());
    EXPECT_EQ('F', second.m_vecCalls.back().chKind);
    for (const CALL& call : second.m_vecCalls) {
        if (call.chKind == 'S') {
            EXPECT_LE(call.nValue, 1000) << "a count of the released run";
        }
    }
}

TEST_F(DownloadPoolTest, UninitializeDuringDownloadReturnsWithinTwoSeconds) {
    m_server.SetResource("/file.bin", {dltest::MakeData(3000000), true, ""});
    m_server.SetThrottle(16 * 1024);
    CRecorder reporter;
    Start("out.bin", &reporter);
    ASSERT_TRUE(m_server.WaitForRequests(4));
    PumpFor(100);

    const auto tStart = std::chrono::steady_clock::now();
    HttpPool_Uninitialize();
    const auto nMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                         std::chrono::steady_clock::now() - tStart)
                         .count();
    EXPECT_LT(nMs, 2000);
    const size_t nCalls = reporter.m_vecCalls.size();
    PumpFor(100);
    EXPECT_EQ(nCalls, reporter.m_vecCalls.size());
    ExpectNoThreadsLeft();
}

TEST_F(DownloadPoolTest, DestroyedReporterStopsItsDownloadAndHearsNothing) {
    m_server.SetResource("/file.bin", {dltest::MakeData(3000000), true, ""});
    m_server.SetThrottle(64 * 1024);
    {
        CRecorder reporter;
        Start("out.bin", &reporter);
        ASSERT_TRUE(m_server.WaitForRequests(4));
    }
    // Nothing may reach the destroyed reporter (ASan would see it), and nothing runs any more.
    PumpFor(200);
    ExpectNoThreadsLeft();
}

TEST_F(DownloadPoolTest, WaitFlagSyncDownloadAndFailedPreparation) {
    const std::string strData = dltest::MakeData(2000000);
    m_server.SetResource("/file.bin", {strData, true, kRfcExampleDate});
    m_server.SetReply("/missing", {404, {}, "no"});

    long nId = -1;
    EXPECT_EQ(0, HttpPool_DownloadFile(&nId, Url("/file.bin").c_str(),
                                       m_dir.FamilyPath("wait.bin").c_str(), nullptr, 60000, 1));
    EXPECT_TRUE(dltest::ReadFile(m_dir.File("wait.bin")) == strData) << "file differs";

    EXPECT_EQ(1, HttpPool_DownloadFileSync(Url("/file.bin").c_str(),
                                           m_dir.FamilyPath("sync.bin").c_str(), nullptr, 60000));
    EXPECT_TRUE(dltest::ReadFile(m_dir.File("sync.bin")) == strData) << "file differs";
    EXPECT_EQ(kRfcExampleTime, dltest::FileMTime(m_dir.File("sync.bin")));

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
}

TEST_F(DownloadPoolTest, DownloadIdsAndRequestIdsNeverMix) {
    m_server.SetResource("/file.bin", {dltest::MakeData(1000), true, ""});
    const long nRequest = HttpPool_NewRequest();
    ASSERT_GE(nRequest, 1);
    long nId = nRequest;
    CRecorder reporter;
    ASSERT_EQ(0, HttpPool_DownloadFile(&nId, Url("/file.bin").c_str(),
                                       m_dir.FamilyPath("a.bin").c_str(), &reporter, 60000, 0));
    EXPECT_NE(nRequest, nId);
    ASSERT_TRUE(PumpUntil([&] { return reporter.Ended(); }));
    EXPECT_EQ('F', reporter.m_vecCalls.back().chKind);
    EXPECT_EQ(HTTP_NO_INDEX, HttpPool_GetResult(nId));
}

TEST_F(DownloadPoolTest, RemoteFileSize) {
    m_server.SetReply("/r206", {206, {{"Content-Range", "bytes 0-0/12345"}}, "x"});
    m_server.SetReply("/r200", {200, {}, std::string(512, 'a')});
    m_server.SetReply("/missing", {404, {}, "no"});
    long nSize = -7;
    EXPECT_EQ(1, HttpPool_GetRemoteFileSize(Url("/r206").c_str(), &nSize, 10000));
    EXPECT_EQ(12345, nSize);
    EXPECT_EQ(1, HttpPool_GetRemoteFileSize(Url("/r200").c_str(), &nSize, 10000));
    EXPECT_EQ(512, nSize);
    EXPECT_EQ(0, HttpPool_GetRemoteFileSize(Url("/missing").c_str(), &nSize, 10000));
    EXPECT_EQ(0, nSize);
}

}  // namespace
