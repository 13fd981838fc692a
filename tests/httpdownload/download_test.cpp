// File downloads against the loopback server: what the information request learns from a reply,
// the ranges the parts ask for and the file they produce through each entry point, the failures
// that must end a download instead of leaving a wrong file behind; and cancel, release, detach,
// reporter death and shut-down while requests and parts run.
#include <gtest/gtest.h>
#include <sys/stat.h>
#ifdef _WIN32
#include <windows.h>
// after windows.h
#include <tlhelp32.h>
#else
#include <sys/resource.h>
#endif

#include <algorithm>
#include <csignal>
#include <random>
#include <thread>
#include <tuple>

#include "httpdownload/httpdownload.h"
#include "platform/codepage.h"
#include "platform/paths.h"
#include "support/http_server.h"
#include "support/reporter_recorder.h"
#include "support/transfer_fixture.h"

namespace {

using namespace kttest;

// "Sun, 06 Nov 1994 08:49:37 GMT" as seconds since 1970.
constexpr long long kRfcExampleTime = 784111777;
constexpr const char* kRfcExampleDate = "Sun, 06 Nov 1994 08:49:37 GMT";

long long FileMTime(const std::filesystem::path& path) {
#ifdef _WIN32
    struct _stat64 st {};
    return ::_wstat64(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_mtime) : -1;
#else
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_mtime) : -1;
#endif
}

// Threads of the process. The first call starts and joins one thread, so that runtime helpers born
// with a process's first thread (ThreadSanitizer's background thread) are already in the baseline.
int ThreadCount() {
    static const bool s_bWarm = (std::thread([] {}).join(), true);
    (void)s_bWarm;
#ifdef _WIN32
    const HANDLE hSnap = ::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    int nCount = 0;
    for (BOOL b = ::Thread32First(hSnap, &entry); b; b = ::Thread32Next(hSnap, &entry))
        nCount += entry.th32OwnerProcessID == ::GetCurrentProcessId();
    ::CloseHandle(hSnap);
    return nCount;
#else
    const std::filesystem::directory_iterator it("/proc/self/task");
    return static_cast<int>(std::distance(begin(it), end(it)));
#endif
}

// Sets TZ (the GMT rule of the information request depends on the local zone) until the next Set.
void SetZone(const char* pszZone) {
#ifdef _WIN32
    ::_putenv_s("TZ", pszZone);  // the C runtime's own form: "CST-8" is eight hours east
    ::_tzset();
#else
    ::setenv("TZ", pszZone, 1);
    ::tzset();
#endif
}

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

class DownloadTest : public CPoolTest {
protected:
    void SetUp() override {
        SetZone("UTC");
        ASSERT_TRUE(m_server.IsRunning());
        ASSERT_TRUE(std::filesystem::create_directory(m_dir));
        CPoolTest::SetUp();
    }
    void TearDown() override {
        CPoolTest::TearDown();
        std::filesystem::remove_all(m_dir);
    }
    std::u16string Url(const std::string& strPath) const {
        return kt::FromUtf8(m_server.Url(strPath));
    }
    std::filesystem::path File(const std::string& strName) const { return m_dir / strName; }
    // The engine's (family) form of a path in the scratch directory.
    std::u16string Path(const std::string& strName) const {
        return kt::FromFsPath(File(strName).string());
    }
    bool Sync(const std::string& strPath, const std::string& strName) {
        return HttpPool_DownloadFileSync(Url(strPath).c_str(), Path(strName).c_str(), nullptr,
                                         60000) == 1;
    }
    // Starts an asynchronous download; the test fails unless it started.
    long Start(const std::string& strName, IHttpReporter* pReporter,
               const std::string& strPath = "/file.bin") {
        long nId = -1;
        EXPECT_EQ(0, HttpPool_DownloadFile(&nId, Url(strPath).c_str(), Path(strName).c_str(),
                                           pReporter, 60000, 0));
        return nId;
    }
    // Starts a GET that waits as long as the server does; nId -1: on a new id.
    long Request(const std::string& strPath, IHttpReporter* pReporter, long nId = -1) {
        EXPECT_EQ(0, HttpPool_RequestData(&nId, Url(strPath).c_str(), "", 0, pReporter, 0x7FFFFFFF,
                                          0, 0));
        return nId;
    }
    // The Range values the server saw from request nFrom on, sorted: the parts start one after
    // the other but their requests may arrive in any order.
    std::vector<std::string> SortedRanges(size_t nFrom) const {
        std::vector<std::string> vec;
        for (size_t i = nFrom; i < m_server.RequestCount(); ++i) {
            const RECORDED_REQUEST req = m_server.Request(i);
            vec.push_back(req.HeaderCount("Range") ? req.Header("Range") : "<none>");
        }
        std::sort(vec.begin(), vec.end());
        return vec;
    }
    // Stops every server thread and checks that the transfers left none of their own behind.
    void ExpectNoThreadsLeft() {
        m_server.Stop();
        EXPECT_TRUE(PumpUntil([&] { return ThreadCount() == m_nThreadsBefore; }))
            << ThreadCount() << " threads, " << m_nThreadsBefore << " before";
    }

    // Taken before the server starts its threads; compared once it has joined them again.
    const int m_nThreadsBefore = ThreadCount();
    CHttpServer m_server;
    const std::filesystem::path m_dir = std::filesystem::temp_directory_path() /
                                        ("kt-transfer-" + std::to_string(std::random_device()()) +
                                         "-" + std::to_string(std::random_device()()));
};

TEST_F(DownloadTest, DownloadsSplitIntoTheirRangesAndReproduceTheFileThroughEachEntryPoint) {
    // Three equal parts, asynchronously; ten parts, part 0 one byte longer, with the wait flag;
    // one byte below 1 MiB: a single part, through the synchronous function; a server without
    // ranges: one part that asks for no range and takes the whole reply; an empty file, which
    // must truncate the longer one that is there. Every row into one path, in new directories.
    enum { kAsync, kWait, kSync };
    const std::tuple<size_t, bool, int, int> aCases[] = {{3000000, true, 3, kAsync},
                                                         {10000001, true, 10, kWait},
                                                         {1048575, true, 1, kSync},
                                                         {2500000, false, 1, kAsync},
                                                         {0, false, 1, kSync}};
    for (const auto& [nSize, bRanges, nParts, eHow] : aCases) {
        SCOPED_TRACE(nSize);
        const std::string strData = MakeData(nSize);
        const size_t nFrom = m_server.RequestCount();
        m_server.SetResource("/file.bin", {strData, bRanges, kRfcExampleDate});
        CRecorder reporter;
        // A request id given to the download function is not a download: a new id is drawn.
        const long nRequest = HttpPool_NewRequest();
        long nId = nRequest;
        if (eHow == kSync) {
            ASSERT_TRUE(Sync("/file.bin", "d/e/out.bin"));
        } else {
            ASSERT_EQ(0, HttpPool_DownloadFile(
                             &nId, Url("/file.bin").c_str(), Path("d/e/out.bin").c_str(),
                             eHow == kAsync ? &reporter : nullptr, 60000, eHow == kWait));
            EXPECT_EQ(nRequest + 1, nId);
        }
        if (eHow == kAsync) {
            // Counts on the pool's thread, each larger, up to the size; then finished.
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
            EXPECT_EQ(static_cast<double>(nSize), dPrevious);
        }
        // The information request's one byte, then the parts, part 0 taking the remainder.
        std::vector<std::string> vecExpected{"bytes=0-0"};
        if (!bRanges) vecExpected.push_back("<none>");
        for (size_t i = 0, nStart = 0, nLength; bRanges && i < static_cast<size_t>(nParts); ++i) {
            nLength = nSize / nParts + (i == 0 ? nSize % nParts : 0);
            vecExpected.push_back("bytes=" + std::to_string(nStart) + "-" +
                                  std::to_string(nStart + nLength - 1));
            nStart += nLength;
        }
        std::sort(vecExpected.begin(), vecExpected.end());
        EXPECT_TRUE(nSize != 3000000 || vecExpected.back() == "bytes=2000000-2999999");
        EXPECT_EQ(vecExpected, SortedRanges(nFrom));
        EXPECT_TRUE(ReadFile(File("d/e/out.bin")) == strData) << "file differs";
        EXPECT_EQ(kRfcExampleTime, FileMTime(File("d/e/out.bin")));
    }
}

// What the information request reads from each reply; a download after it fails in its
// preparation, runs no part, reports nothing and keeps the local file when the information is
// refused or the local file cannot be made (its directory is a file).
TEST_F(DownloadTest, InformationRequestReadsStatusSizeRangeSupportAndTimeOrFailsTheDownload) {
    struct CASE {
        const char* pszPath;
        HTTP_REPLY reply;
        int32_t nCode;
        uint32_t nRange;
        int32_t nSize;
        long long nTime = 0;
        const char* pszZone = "UTC";
    };
    const auto Modified = [](const char* pszDate) {
        return HTTP_REPLY{
            206, {{"Content-Range", "bytes 0-0/10"}, {"Last-Modified", pszDate}}, "x"};
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
        // A redirect the transfer library refuses to follow: nothing of a file arrived.
        {"/tofile", {302, {{"Location", "file:///etc/hostname"}}, ""}, HTTP_ERR_OPERATION, 0, 0},
        {"/busy", {504, {}, ""}, HTTP_ERR_TIMEOUT, 0, 0},
        // Beyond what this engine's 32-bit sizes can hold: refused, not wrapped; nor can a size
        // be negative.
        {"/huge", {206, {{"Content-Range", "bytes 0-0/4294967296"}}, "x"}, HTTP_NO_INDEX, 1, 0},
        {"/negative", {206, {{"Content-Range", "bytes 0-0/-12345"}}, "x"}, HTTP_NO_INDEX, 1, 0},
        // Eight hours east of Greenwich a GMT date is read back as local time; without "gmt"
        // anywhere in the headers the parsed instant is kept as it is; an unreadable one is 0.
        {"/gmt", Modified(kRfcExampleDate), 0, 1, 10, kRfcExampleTime - 8 * 3600, "CST-8"},
        {"/offset", Modified("Sun, 06 Nov 1994 10:49:37 +0200"), 0, 1, 10, kRfcExampleTime,
         "CST-8"},
        {"/soon", Modified("soon"), 0, 1, 10},
    };
    for (const CASE& c : aCases) {
        SCOPED_TRACE(c.pszPath);
        SetZone(c.pszZone);
        m_server.SetReply(c.pszPath, c.reply);
        const size_t nFrom = m_server.RequestCount();
        CHttp_DownloadFile part;
        part.SetTimeout(10000);
        EXPECT_EQ(c.nCode, CMTRDownload::GetReomteSiteInfo(&part, Url(c.pszPath)));
        EXPECT_EQ(c.nRange, part.GetRangeSupport());
        EXPECT_EQ(c.nSize, part.GetRemoteSize());
        EXPECT_EQ(c.nTime, part.GetLastModified());
        // The public size request asks the same and answers 1 with the size, or 0 and 0.
        long nSize = -7;
        EXPECT_EQ(c.nCode == 0, HttpPool_GetRemoteFileSize(Url(c.pszPath).c_str(), &nSize, 10000));
        EXPECT_EQ(c.nCode == 0 ? c.nSize : 0, nSize);
        std::ofstream(File("keep.bin"), std::ios::binary) << "precious";
        const std::string strName =
            c.nCode == 0 && c.nSize > 0 ? "keep.bin/inside.bin" : "keep.bin";
        EXPECT_FALSE(Sync(c.pszPath, strName));
        CRecorder reporter;
        long nId = -1;
        EXPECT_EQ(HTTP_ERR_THREAD,
                  HttpPool_DownloadFile(&nId, Url(c.pszPath).c_str(), Path(strName).c_str(),
                                        &reporter, 60000, 0));
        EXPECT_TRUE(PumpUntilMarker());
        EXPECT_TRUE(reporter.m_vecCalls.empty());
        EXPECT_EQ("precious", ReadFile(File("keep.bin")));
        // Four information requests and no part.
        EXPECT_EQ((std::vector<std::string>(4, "bytes=0-0")), SortedRanges(nFrom));
    }
    SetZone("UTC");
    CHttp_DownloadFile part;
    EXPECT_EQ(HTTP_ERR_PARAM, CMTRDownload::GetReomteSiteInfo(&part, u""));
    EXPECT_EQ(HTTP_ERR_PARAM, CMTRDownload::GetReomteSiteInfo(nullptr, Url("/r206")));
}

TEST_F(DownloadTest, AFullDiskOrAShortWriteFailsTheDownloadAndLeavesTheFileUnstamped) {
#ifdef _WIN32
    GTEST_SKIP() << "a full disk is simulated with RLIMIT_FSIZE, which Windows does not have";
#else
    // Three ranged parts of 1,000,000 bytes: no byte fits; the middle part's write comes up short;
    // only the very last byte does not fit. One part without ranges: cut off in the middle.
    // Writes past the limit fail with EFBIG (the signal that would end the process is ignored
    // meanwhile), and one that crosses it comes up short.
    const std::pair<bool, rlim_t> aCases[] = {
        {true, 0}, {true, 1500000}, {true, 2999999}, {false, 1000000}};
    const std::string strData = MakeData(3000000);
    rlimit saved{};
    ASSERT_EQ(0, ::getrlimit(RLIMIT_FSIZE, &saved));
    const auto pfnSaved = std::signal(SIGXFSZ, SIG_IGN);
    for (const auto& [bRanges, nLimit] : aCases) {
        SCOPED_TRACE(nLimit);
        m_server.SetResource("/f.bin", {strData, bRanges, kRfcExampleDate});
        std::filesystem::remove(File("f.bin"));
        rlimit limit = saved;
        limit.rlim_cur = nLimit;
        ASSERT_EQ(0, ::setrlimit(RLIMIT_FSIZE, &limit));
        EXPECT_FALSE(Sync("/f.bin", "f.bin"));
        ASSERT_EQ(0, ::setrlimit(RLIMIT_FSIZE, &saved));
        EXPECT_NE(kRfcExampleTime, FileMTime(File("f.bin")));
        EXPECT_LE(std::filesystem::file_size(File("f.bin")), nLimit);
    }
    std::signal(SIGXFSZ, pfnSaved);
    // The same download with room enough completes.
    EXPECT_TRUE(Sync("/f.bin", "f.bin"));
    EXPECT_TRUE(ReadFile(File("f.bin")) == strData) << "file differs";
#endif
}

TEST_F(DownloadTest, APartAnsweredWithAnotherRangeOrShortFailsTheDownloadAndStopsTheOthers) {
    const std::string strData = MakeData(3000000);
    // How the server answers the part that asks for 1000000-1999999: the whole file; one byte
    // short but well-formed; the right length from another place, with its Content-Range saying
    // so; the right length from the start without a Content-Range. In the first two the other
    // parts are never answered, and the failure must stop them; in the others they get their
    // range.
    enum class EMiddle { kWhole, kShort, kOtherRange, kFromStart };
    for (const EMiddle eMiddle :
         {EMiddle::kWhole, EMiddle::kShort, EMiddle::kOtherRange, EMiddle::kFromStart}) {
        SCOPED_TRACE(static_cast<int>(eMiddle));
        m_server.SetHandler([strData, eMiddle](const RECORDED_REQUEST& req) {
            const std::string strRange = req.Header("Range");
            if (strRange == "bytes=0-0")
                return HTTP_REPLY{206, {{"Content-Range", "bytes 0-0/3000000"}}, "x"};
            const size_t nDash = strRange.find('-');
            size_t nFirst = std::stoul(strRange.substr(6, nDash - 6));
            size_t nLast = std::stoul(strRange.substr(nDash + 1));
            const bool bMiddle = nFirst == 1000000;
            if (!bMiddle && eMiddle <= EMiddle::kShort)
                return HTTP_REPLY{206, {}, "", false, 3600 * 1000};
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
        CRecorder reporter;
        const long nId = Start("f.bin", &reporter, "/f");
        ASSERT_TRUE(PumpUntil([&] { return reporter.Terminals() > 0; }));
        EXPECT_EQ('E', reporter.m_vecCalls.back().chKind);
        EXPECT_EQ(nId, reporter.m_vecCalls.back().nId);
        EXPECT_EQ(0, reporter.Outcome());
    }
    ExpectNoThreadsLeft();
}

// A cancelled request fails with -12, a cancelled download with 0, each once; a reporter that dies
// hears nothing. The shut-down does not wait for requests and parts that never end by themselves
// (it would hang), and none of them is heard of afterwards.
TEST_F(DownloadTest, CancelAReporterDeathAndTheShutDownStopEveryRequestAndPart) {
    // Every request is held, but a download's information request.
    m_server.SetHandler([](const RECORDED_REQUEST& req) {
        if (req.Header("Range") == "bytes=0-0")
            return HTTP_REPLY{206, {{"Content-Range", "bytes 0-0/3000000"}}, "x"};
        return HTTP_REPLY{206, {}, "", false, 3600 * 1000};
    });
    CRecorder reporter;
    const long nRequest = Request("/held", &reporter);
    const long nDownload = Start("out.bin", &reporter);
    {
        CRecorder dying;
        Start("other.bin", &dying);
        ASSERT_TRUE(m_server.WaitForRequests(9));  // a size request and three parts each
    }
    EXPECT_EQ(HttpPool_IsRunning(nRequest) + HttpPool_AreAllRunning(), 2);
    EXPECT_EQ(HttpPool_Cancel(nRequest) + HttpPool_Cancel(nDownload), 2);
    EXPECT_EQ(HttpPool_IsRunning(nRequest) + HttpPool_AreAllRunning(), 0);
    EXPECT_TRUE(PumpUntilMarker());  // the stopped workers' calls are queued by now
    std::vector<std::tuple<char, long, double>> vecHeard;
    for (const CALL& call : reporter.m_vecCalls)
        vecHeard.emplace_back(call.chKind, call.nId, call.dValue);
    EXPECT_EQ(vecHeard, (std::vector<std::tuple<char, long, double>>{
                            {'E', nRequest, HTTP_ERR_USER_ABORT}, {'E', nDownload, 0}}));
    std::vector<long> vecIds(32, -1);
    vecIds[0] = nRequest;  // every request in the table runs
    for (long& nStalled : vecIds) nStalled = Request("/stall", &reporter, nStalled);
    CRecorder last;
    Start("last.bin", &last);
    ASSERT_TRUE(m_server.WaitForRequests(9 + 32 + 4));
    EXPECT_EQ(HttpPool_AreAllRunning(), 1);
    HttpPool_Uninitialize();
    EXPECT_TRUE(PumpUntilMarker());
    EXPECT_EQ(reporter.m_vecCalls.size(), 2u);
    EXPECT_TRUE(last.m_vecCalls.empty());
    ExpectNoThreadsLeft();
}

// Regression: notifications of a run still queued when its id was released (a request's end, a
// download's counts) used to reach the id's next user. A detached reporter's running request is
// stopped, and what its stop queued reaches nobody either.
TEST_F(DownloadTest, NotificationsQueuedBeforeAReleaseOrADetachReachNobody) {
    m_server.SetResource("/file.bin", {MakeData(3000000), true, ""});
    m_server.SetThrottle(64 * 1024);
    const std::string strSmall = MakeData(1000);
    m_server.SetResource("/small.bin", {strSmall, true, ""});
    m_server.SetReply("/slow", HTTP_REPLY{200, {}, "late", false, 3600 * 1000});
    for (const bool bDownload : {false, true}) {
        SCOPED_TRACE(bDownload ? "download" : "request");
        CRecorder first, other, next;
        const long nDetached = Request("/slow", &other);
        const long nId = bDownload ? Start("out.bin", &first) : Request("/small.bin", &first);
        // Nothing is pumped: the run's notifications wait in the queue while the id changes hands.
        ASSERT_TRUE(PumpUntil([] { return kt::HasPendingMessages(); }, kGuardMs,
                              [] { std::this_thread::yield(); }));
        ASSERT_TRUE(WaitWorkerEnd(nId));  // a request's worker ends by itself
        EXPECT_EQ(1, HttpPool_Release(nId));
        HttpPool_DetachReporter(&other);
        EXPECT_EQ(HttpPool_IsRunning(nDetached), 0);
        // The released id is parked: the next one of its kind gets it back.
        ASSERT_EQ(nId, bDownload ? Start("small.bin", &next, "/small.bin")
                                 : Request("/small.bin", &next));
        ASSERT_TRUE(PumpUntil([&] { return next.Terminals() > 0; }));
        EXPECT_TRUE(PumpUntilMarker());
        EXPECT_TRUE(first.m_vecCalls.empty());
        EXPECT_TRUE(other.m_vecCalls.empty());
        EXPECT_EQ(1u, next.Terminals());
        EXPECT_EQ('F', next.m_vecCalls.back().chKind);
        for (const CALL& call : next.m_vecCalls)
            EXPECT_TRUE(call.chKind != 'S' || call.dValue <= 1000) << "a count of the released run";
        EXPECT_TRUE((bDownload ? ReadFile(File("small.bin")) : TakeBody(nId)) == strSmall);
    }
}

}  // namespace
