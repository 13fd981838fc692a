// File downloads against the loopback servers: what the information request learns from a reply,
// the ranges the parts ask for and the file they produce, the failures that must end a download
// instead of leaving a wrong file behind, and the public functions (notifications on the pool's
// thread, cancel, release and shut-down while parts run, dropped connections).
#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/resource.h>
#endif

#include <algorithm>
#include <csignal>
#include <fstream>
#include <string>
#include <vector>

#include "httpdownload/httpdownload.h"
#include "httpdownload/httppublic.h"
#include "support/http_server.h"
#include "support/raw_server.h"
#include "transfer_support.h"

namespace {

using kttest::HTTP_REPLY;
using kttest::RAW_ACTION;
using ttest::CALL;
using ttest::CRecorder;
using ttest::kRfcExampleDate;
using ttest::kRfcExampleTime;
using ttest::PumpUntil;

TEST(DownloadPartCount, OnePartBelowOneMebibyteThenOnePerStartedMebibyteUpToTen) {
    const int32_t aCases[][3] = {
        // range support, size, parts
        {1, 1, 1},         {1, 1048575, 1},    {1, 1048576, 2},  {1, 2097151, 2},
        {1, 3000000, 3},   {1, 9437183, 9},    {1, 9437184, 10}, {1, 10000001, 10},
        {1, 52428800, 10}, {1, INT32_MAX, 10}, {0, 52428800, 1}, {0, 3000000, 1},
    };
    for (const auto& c : aCases)
        EXPECT_EQ(c[2], CMTRDownload::PartCountFor(static_cast<uint32_t>(c[0]), c[1])) << c[1];
}

#ifndef _WIN32
// A disk that fills up at nBytes for this process, for the scope: writes past that offset fail
// with EFBIG (the signal that would otherwise end the process is ignored meanwhile), and one that
// crosses it comes up short.
class CFileSizeLimit {
public:
    explicit CFileSizeLimit(rlim_t nBytes) : m_pfnSaved(std::signal(SIGXFSZ, SIG_IGN)) {
        ::getrlimit(RLIMIT_FSIZE, &m_saved);
        rlimit limit = m_saved;
        limit.rlim_cur = nBytes;
        m_bSet = ::setrlimit(RLIMIT_FSIZE, &limit) == 0;
    }
    ~CFileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &m_saved);
        std::signal(SIGXFSZ, m_pfnSaved);
    }
    bool IsSet() const { return m_bSet; }

private:
    void (*m_pfnSaved)(int);
    rlimit m_saved{};
    bool m_bSet = false;
};
#endif

class DownloadTest : public ttest::CPoolTest {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_server.IsRunning());
        ttest::CPoolTest::SetUp();
    }
    std::u16string Url(const std::string& strPath) const {
        return ttest::Wide(m_server.Url(strPath));
    }
    bool Sync(const std::string& strPath, const std::string& strName) {
        CMTRDownload download;
        return download.DownloadSync(Url(strPath), m_dir.FamilyPath(strName), nullptr);
    }
    // Starts an asynchronous download; the test fails unless it started.
    long Start(const std::string& strName, IHttpReporter* pReporter,
               const std::string& strPath = "/file.bin") {
        long nId = -1;
        EXPECT_EQ(0, HttpPool_DownloadFile(&nId, Url(strPath).c_str(),
                                           m_dir.FamilyPath(strName).c_str(), pReporter, 60000, 0));
        return nId;
    }
    // A 3,000,000-byte file whose parts are never answered (until the server stops).
    void ServeHeldParts() {
        m_server.SetHandler([](const kttest::RECORDED_REQUEST& req) {
            if (req.Header("Range") == "bytes=0-0")
                return HTTP_REPLY{206, {{"Content-Range", "bytes 0-0/3000000"}}, "x"};
            return HTTP_REPLY{206, {}, "", false, 3600 * 1000};
        });
    }
    // The Range values the server saw from request nFrom on, sorted: the parts start one after
    // the other but their requests may arrive in any order.
    std::vector<std::string> SortedRanges(size_t nFrom) const {
        std::vector<std::string> vec;
        for (size_t i = nFrom; i < m_server.RequestCount(); ++i) {
            const kttest::RECORDED_REQUEST req = m_server.Request(i);
            vec.push_back(req.HeaderCount("Range") ? req.Header("Range") : "<none>");
        }
        std::sort(vec.begin(), vec.end());
        return vec;
    }
    // Stops every server thread and checks that the download left none of its own behind.
    void ExpectNoThreadsLeft() {
        m_server.Stop();
        EXPECT_TRUE(PumpUntil([&] { return ttest::ThreadCount() == m_nThreadsBefore; }))
            << ttest::ThreadCount() << " threads, " << m_nThreadsBefore << " before";
    }

    ttest::CTimeZone m_zone{"UTC"};
    // Taken before the server starts its threads; compared once it has joined them again.
    const int m_nThreadsBefore = ttest::ThreadCount();
    kttest::CHttpServer m_server;
    ttest::CScratchDir m_dir;
};

TEST_F(DownloadTest, DownloadsSplitIntoTheirRangesAndReproduceTheFile) {
    // Three equal parts; ten parts, part 0 one byte longer; one byte below 1 MiB: a single part; a
    // server without ranges: one part that asks for no range and takes the whole reply.
    const std::tuple<size_t, bool, int> aCases[] = {
        {3000000, true, 3}, {10000001, true, 10}, {1048575, true, 1}, {2500000, false, 1}};
    for (const auto& [nSize, bRanges, nParts] : aCases) {
        SCOPED_TRACE(nSize);
        const std::string strData = ttest::MakeData(nSize);
        const size_t nFrom = m_server.RequestCount();
        m_server.SetResource("/file.bin", {strData, bRanges, kRfcExampleDate});
        CMTRDownload download;
        ASSERT_TRUE(
            download.DownloadSync(Url("/file.bin"), m_dir.FamilyPath("d/out.bin"), nullptr));
        EXPECT_EQ(nParts, download.GetPartCount());
        EXPECT_EQ(bRanges ? 1u : 0u, download.GetRangeSupport());
        EXPECT_EQ("bytes=0-0", m_server.Request(nFrom).Header("Range"));
        // The information request's one byte, then the parts, part 0 taking the remainder.
        std::vector<std::string> vecExpected{"bytes=0-0", bRanges ? "" : "<none>"};
        for (size_t i = 0, nStart = 0, nLength; bRanges && i < static_cast<size_t>(nParts); ++i) {
            nLength = nSize / nParts + (i == 0 ? nSize % nParts : 0);
            vecExpected.push_back("bytes=" + std::to_string(nStart) + "-" +
                                  std::to_string(nStart + nLength - 1));
            nStart += nLength;
        }
        vecExpected.erase(std::remove(vecExpected.begin(), vecExpected.end(), ""),
                          vecExpected.end());
        std::sort(vecExpected.begin(), vecExpected.end());
        EXPECT_TRUE(nSize != 3000000 || vecExpected.back() == "bytes=2000000-2999999");
        EXPECT_EQ(vecExpected, SortedRanges(nFrom));
        EXPECT_TRUE(ttest::ReadFile(m_dir.File("d/out.bin")) == strData) << "file differs";
        EXPECT_EQ(kRfcExampleTime, ttest::FileMTime(m_dir.File("d/out.bin")));
        // A finished download goes back to its defaults.
        EXPECT_EQ(kDownloadPartTimeout, download.GetPartTimeout());
        EXPECT_EQ(0, download.GetFileSize() + download.GetDownloaded());
    }
}

TEST_F(DownloadTest, InformationRequestReadsStatusSizeAndRangeSupport) {
    struct CASE {
        const char* pszPath;
        HTTP_REPLY reply;
        int32_t nCode;
        uint32_t nRange;
        int32_t nSize;
    };
    const CASE aCases[] = {
        {"/r206", {206, {{"Content-Range", "bytes 0-0/12345"}}, "x"}, 0, 1, 12345},
        {"/r200", {200, {}, std::string(512, 'a')}, 0, 0, 512},
        // A range reply whose total is unknown: the size stays 0.
        {"/star", {206, {{"Content-Range", "bytes 0-0/*"}}, "x"}, 0, 1, 0},
        // A value without "/" is read whole.
        {"/bare", {206, {{"Content-Range", "777"}}, "x"}, 0, 1, 777},
        {"/missing", {404, {}, "not here"}, HTTP_NO_INDEX, 0, 0},
        {"/broken", {500, {}, "oops"}, HTTP_ERR_REPLY, 0, 0},
        {"/busy", {504, {}, ""}, HTTP_ERR_TIMEOUT, 0, 0},
        // Beyond what this engine's 32-bit sizes can hold: refused, not wrapped.
        {"/huge", {206, {{"Content-Range", "bytes 0-0/4294967296"}}, "x"}, HTTP_NO_INDEX, 1, 0},
        // Nor can a size be negative.
        {"/neg", {206, {{"Content-Range", "-5"}}, "x"}, HTTP_NO_INDEX, 1, 0},
        {"/negtotal", {206, {{"Content-Range", "bytes 0-0/-12345"}}, "x"}, HTTP_NO_INDEX, 1, 0},
    };
    for (const CASE& c : aCases) {
        SCOPED_TRACE(c.pszPath);
        m_server.SetReply(c.pszPath, c.reply);
        const size_t nFrom = m_server.RequestCount();
        CHttp_DownloadFile part;
        part.SetTimeout(10000);
        EXPECT_EQ(c.nCode, CMTRDownload::GetReomteSiteInfo(&part, Url(c.pszPath)));
        EXPECT_EQ(c.nRange, part.GetRangeSupport());
        EXPECT_EQ(c.nSize, part.GetRemoteSize());
        // The public size request asks the same and answers 1 with the size, or 0 and 0.
        long nSize = -7;
        EXPECT_EQ(c.nCode == 0, HttpPool_GetRemoteFileSize(Url(c.pszPath).c_str(), &nSize, 10000));
        EXPECT_EQ(c.nCode == 0 ? c.nSize : 0, nSize);
        EXPECT_EQ((std::vector<std::string>(2, "bytes=0-0")), SortedRanges(nFrom));
    }
    CHttp_DownloadFile part;
    EXPECT_EQ(HTTP_ERR_PARAM, CMTRDownload::GetReomteSiteInfo(&part, u""));
    EXPECT_EQ(HTTP_ERR_PARAM, CMTRDownload::GetReomteSiteInfo(nullptr, Url("/r206")));
}

TEST_F(DownloadTest, LastModifiedFollowsTheGmtShiftRule) {
    const std::tuple<const char*, const char*, long long> aCases[] = {
        {"UTC", kRfcExampleDate, kRfcExampleTime},
        // Eight hours east of Greenwich: a GMT date is read back as local time.
        {"CST-8", kRfcExampleDate, kRfcExampleTime - 8 * 3600},
        // Without "gmt" anywhere in the headers the parsed instant is kept as it is.
        {"CST-8", "Sun, 06 Nov 1994 10:49:37 +0200", kRfcExampleTime},
        {"UTC", "soon", 0},
    };
    for (const auto& [pszZone, pszLastModified, nExpected] : aCases) {
        SCOPED_TRACE(pszLastModified);
        const ttest::CTimeZone zone(pszZone);
        m_server.SetReply(
            "/lm",
            {206, {{"Content-Range", "bytes 0-0/10"}, {"Last-Modified", pszLastModified}}, "x"});
        CHttp_DownloadFile part;
        ASSERT_EQ(0, CMTRDownload::GetReomteSiteInfo(&part, Url("/lm")));
        EXPECT_EQ(nExpected, part.GetLastModified());
    }
}

TEST_F(DownloadTest, PreparationFailuresRunNoPartReportNothingAndKeepTheLocalFile) {
    std::ofstream(m_dir.File("keep.bin"), std::ios::binary) << "precious";
    m_server.SetReply("/missing", {404, {}, "no"});
    m_server.SetReply("/star", {206, {{"Content-Range", "bytes 0-0/*"}}, "x"});
    // Redirects the transfer library refuses to follow: nothing of a file arrived.
    m_server.SetReply("/tofile", {302, {{"Location", "file:///etc/hostname"}}, ""});
    m_server.SetReply("/toftp", {301, {{"Location", "ftp://127.0.0.1:1/f.bin"}}, ""});
    // A local file that cannot be created (its directory is a file).
    m_server.SetResource("/f", {ttest::MakeData(4000), true, ""});
    const std::pair<const char*, const char*> aCases[] = {{"/missing", "keep.bin"},
                                                          {"/star", "keep.bin"},
                                                          {"/tofile", "keep.bin"},
                                                          {"/toftp", "keep.bin"},
                                                          {"/f", "keep.bin/inside.bin"}};
    for (const auto& [pszPath, pszName] : aCases) {
        SCOPED_TRACE(pszPath);
        const size_t nFrom = m_server.RequestCount();
        CMTRDownload download;
        EXPECT_FALSE(download.DownloadSync(Url(pszPath), m_dir.FamilyPath(pszName), nullptr));
        EXPECT_EQ(kDownloadPartTimeout, download.GetPartTimeout());
        EXPECT_EQ(0, HttpPool_DownloadFileSync(Url(pszPath).c_str(),
                                               m_dir.FamilyPath(pszName).c_str(), nullptr, 60000));
        // A failed start, and nothing reported.
        CRecorder reporter;
        long nId = -1;
        EXPECT_EQ(HTTP_ERR_THREAD,
                  HttpPool_DownloadFile(&nId, Url(pszPath).c_str(),
                                        m_dir.FamilyPath(pszName).c_str(), &reporter, 60000, 0));
        EXPECT_TRUE(kttest::PumpUntilMarker());
        EXPECT_TRUE(reporter.m_vecCalls.empty());
        EXPECT_EQ(3u, m_server.RequestCount() - nFrom);
        EXPECT_EQ("precious", ttest::ReadFile(m_dir.File("keep.bin")));
    }
}

TEST_F(DownloadTest, AFullDiskOrAShortWriteFailsTheDownloadAndLeavesTheFileUnstamped) {
#ifdef _WIN32
    GTEST_SKIP() << "a full disk is simulated with RLIMIT_FSIZE, which Windows does not have";
#else
    // Three ranged parts of 1,000,000 bytes: no byte fits; the middle part's write comes up short;
    // only the very last byte does not fit. One part without ranges: cut off in the middle.
    const std::pair<bool, rlim_t> aCases[] = {
        {true, 0}, {true, 1500000}, {true, 2999999}, {false, 1000000}};
    const std::string strData = ttest::MakeData(3000000);
    for (const auto& [bRanges, nLimit] : aCases) {
        SCOPED_TRACE(nLimit);
        m_server.SetResource("/f.bin", {strData, bRanges, kRfcExampleDate});
        std::filesystem::remove(m_dir.File("f.bin"));
        {
            const CFileSizeLimit limit(nLimit);
            ASSERT_TRUE(limit.IsSet());
            EXPECT_FALSE(Sync("/f.bin", "f.bin"));
        }
        EXPECT_NE(kRfcExampleTime, ttest::FileMTime(m_dir.File("f.bin")));
        EXPECT_LE(std::filesystem::file_size(m_dir.File("f.bin")), nLimit);
    }
    // The same download with room enough completes.
    EXPECT_TRUE(Sync("/f.bin", "f.bin"));
    EXPECT_TRUE(ttest::ReadFile(m_dir.File("f.bin")) == strData) << "file differs";
#endif
}

TEST_F(DownloadTest, PartsAnsweredWithAnotherRangeOrShortFailTheDownload) {
    const std::string strData = ttest::MakeData(3000000);
    // How the server answers the part that asks for 1000000-1999999 (the others get their range):
    // the whole file; one byte short but well-formed; the right length from another place, with
    // its Content-Range saying so; the right length from the start without a Content-Range.
    enum class EMiddle { kWhole, kShort, kOtherRange, kFromStart };
    for (const EMiddle eMiddle :
         {EMiddle::kWhole, EMiddle::kShort, EMiddle::kOtherRange, EMiddle::kFromStart}) {
        SCOPED_TRACE(static_cast<int>(eMiddle));
        m_server.SetHandler([strData, eMiddle](const kttest::RECORDED_REQUEST& req) {
            const std::string strRange = req.Header("Range");
            if (strRange == "bytes=0-0")
                return HTTP_REPLY{206, {{"Content-Range", "bytes 0-0/3000000"}}, "x"};
            const size_t nDash = strRange.find('-');
            size_t nFirst = std::stoul(strRange.substr(6, nDash - 6));
            size_t nLast = std::stoul(strRange.substr(nDash + 1));
            const bool bMiddle = nFirst == 1000000;
            if (bMiddle && eMiddle == EMiddle::kWhole) return HTTP_REPLY{200, {}, strData};
            if (bMiddle && eMiddle == EMiddle::kFromStart)
                return HTTP_REPLY{200, {}, strData.substr(0, 1000000)};
            if (bMiddle && eMiddle == EMiddle::kOtherRange) nFirst += 1000000, nLast += 1000000;
            std::string strBody = strData.substr(nFirst, nLast - nFirst + 1);
            if (bMiddle && eMiddle == EMiddle::kShort) strBody.pop_back();
            return HTTP_REPLY{206,
                              {{"Content-Range", "bytes " + std::to_string(nFirst) + "-" +
                                                     std::to_string(nLast) + "/3000000"}},
                              strBody};
        });
        EXPECT_FALSE(Sync("/f", "f.bin"));
    }
    ExpectNoThreadsLeft();
}

TEST_F(DownloadTest, StatusReachesReporterOnPoolThreadGrowingToFileSizeThenFinished) {
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
    EXPECT_EQ(HTTP_NO_INDEX, HttpPool_GetResult(nId));  // nor is a download id a request
    // With the wait flag, and through the synchronous function: the same file.
    EXPECT_EQ(0, HttpPool_DownloadFile(&nId, Url("/file.bin").c_str(),
                                       m_dir.FamilyPath("wait.bin").c_str(), nullptr, 60000, 1));
    EXPECT_TRUE(ttest::ReadFile(m_dir.File("wait.bin")) == strData) << "file differs";
    EXPECT_EQ(1, HttpPool_DownloadFileSync(Url("/file.bin").c_str(),
                                           m_dir.FamilyPath("sync.bin").c_str(), nullptr, 60000));
    EXPECT_TRUE(ttest::ReadFile(m_dir.File("sync.bin")) == strData) << "file differs";
}

TEST_F(DownloadTest, CancelAReporterDeathAndTheShutDownStopEveryPart) {
    ServeHeldParts();
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
    EXPECT_TRUE(kttest::PumpUntilMarker());
    EXPECT_EQ(1u, reporter.Count('E'));
    EXPECT_EQ(0, reporter.Outcome());
    EXPECT_EQ(0u, reporter.Count('F'));
    // The parts never end by themselves: a shut-down that waited for them would hang.
    CRecorder last;
    Start("last.bin", &last);
    ASSERT_TRUE(m_server.WaitForRequests(12));
    HttpPool_Uninitialize();
    EXPECT_TRUE(kttest::PumpUntilMarker());
    EXPECT_TRUE(last.m_vecCalls.empty());
    ExpectNoThreadsLeft();
}

TEST_F(DownloadTest, DroppedConnectionFailsTheDownloadAndStopsTheOtherParts) {
    kttest::CRawServer raw;
    ASSERT_TRUE(raw.IsRunning());
    raw.QueueAction(
        RAW_ACTION::Reply("HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 0-0/3000000\r\n"
                          "Content-Length: 1\r\nConnection: close\r\n\r\nx"));
    // Whichever part connects first is cut off halfway once all three have asked; the other two
    // get no answer at all and must be stopped by the download.
    const std::string strHead =
        "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 0-999999/3000000\r\n"
        "Content-Length: 1000000\r\nConnection: close\r\n\r\n";
    RAW_ACTION drop = RAW_ACTION::Drop(strHead + ttest::MakeData(1000000), strHead.size() + 500000);
    drop.nAfterRequests = 4;
    raw.QueueAction(drop);
    raw.SetDefaultAction(RAW_ACTION::Stall());
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
TEST_F(DownloadTest, NotificationsQueuedBeforeAReleaseNeverReachTheIdsNextUser) {
    m_server.SetResource("/file.bin", {ttest::MakeData(3000000), true, ""});
    m_server.SetThrottle(64 * 1024);
    const std::string strSmall = ttest::MakeData(1000);
    m_server.SetResource("/small.bin", {strSmall, true, ""});
    CRecorder first;
    const long nId = Start("out.bin", &first);
    // Nothing is pumped: the first run's counts wait in the queue while the id changes hands.
    ASSERT_TRUE(PumpUntil([] { return kt::HasPendingMessages(); }, kttest::kGuardMs,
                          [] { std::this_thread::yield(); }));
    EXPECT_EQ(1, HttpPool_Release(nId));
    // The released download is parked: the next one gets its id back.
    CRecorder second;
    ASSERT_EQ(nId, Start("small.bin", &second, "/small.bin"));
    ASSERT_TRUE(PumpUntil([&] { return second.Terminals() > 0; }));
    EXPECT_TRUE(kttest::PumpUntilMarker());
    EXPECT_TRUE(first.m_vecCalls.empty());
    EXPECT_EQ(1u, second.Terminals());
    EXPECT_EQ('F', second.m_vecCalls.back().chKind);
    for (const CALL& call : second.m_vecCalls)
        EXPECT_TRUE(call.chKind != 'S' || call.dValue <= 1000) << "a count of the released run";
    EXPECT_TRUE(ttest::ReadFile(m_dir.File("small.bin")) == strSmall) << "file differs";
}

}  // namespace
