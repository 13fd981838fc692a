// Requests and file downloads through the public functions against loopback servers: what the
// server receives, every outcome rule of a request, each libcurl call failing in turn; what a
// download's information request learns, the ranges its parts ask for and the file they produce
// through each entry point, the failures that must end a download instead of leaving a wrong file
// behind; cancel, release, detach, reporter death and shut-down while requests and parts run, and
// delivery to the reporter under load (thread, re-entrance, release, detach, blocking, at random).
#include <gtest/gtest.h>
#ifdef _WIN32
#include <windows.h>
// after windows.h
#include <tlhelp32.h>
#else
#include <sys/resource.h>
#endif

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <csignal>
#include <map>
#include <random>
#include <thread>
#include <tuple>
#include <vector>

#include "httpdownload/httpclasses.h"
#include "httpdownload/httpdownload.h"
#include "httpdownload/httppool.h"
#include "libcurl/curlholders.h"
#include "platform/codepage.h"
#include "platform/paths.h"
#include "platform/sync.h"
#include "support/http_server.h"
#include "support/raw_server.h"
#include "support/reporter_recorder.h"
#include "transfer_fixture.h"

namespace {

using namespace kttest;

// Lines of a trace log that start with strPrefix.
size_t CountPrefixed(const CTraceLog& trace, const std::string& strPrefix) {
    const std::vector<std::string> vec = trace.Lines();
    return static_cast<size_t>(std::count_if(
        vec.begin(), vec.end(), [&](const std::string& s) { return s.rfind(strPrefix, 0) == 0; }));
}

// A reply with its status line and header lines, framed by its length.
RAW_ACTION Framed(const std::string& strStatus, const std::string& strBody,
                  const std::string& strHeaders = "") {
    return RAW_ACTION::Reply("HTTP/1.1 " + strStatus + "\r\n" + strHeaders + "Content-Length: " +
                             std::to_string(strBody.size()) + "\r\n\r\n" + strBody);
}

// The bytes of wire/strName, the server's port in place of each "PORT" in a Host line.
std::string Expected(const std::string& strName, int nPort) {
    std::string str = ReadFile(KT_TRANSFER_DATA "/wire/" + strName);
    for (size_t n = 0; (n = str.find("127.0.0.1:PORT", n)) != std::string::npos;)
        str.replace(n + 10, 4, std::to_string(nPort));
    return str;
}

// "Sun, 06 Nov 1994 08:49:37 GMT" as seconds since 1970.
constexpr long long kRfcExampleTime = 784111777;
constexpr const char* kRfcExampleDate = "Sun, 06 Nov 1994 08:49:37 GMT";

long long FileMTime(const std::filesystem::path& path) {
    std::error_code error;
    const auto tWrite =
        std::chrono::file_clock::to_sys(std::filesystem::last_write_time(path, error));
    return error ? -1 : std::chrono::floor<std::chrono::seconds>(tWrite).time_since_epoch().count();
}

// Threads of the process. The first call starts and joins one thread and opens a trace scope, so
// that helpers born on first use are already in the baseline: ThreadSanitizer's background thread,
// and on Windows GoogleTest's watcher of the thread that first touches its per-thread state.
int ThreadCount() {
    static const bool s_bWarm = [] {
        std::thread([] {}).join();
        SCOPED_TRACE("threads counted");
        return true;
    }();
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

// One pool per test, both loopback servers and a scratch directory for downloads.
class TransferRequest : public CPoolTest {
protected:
    void SetUp() override {
        SetZone("UTC");
        ASSERT_TRUE(m_server.IsRunning());
        ASSERT_TRUE(m_raw.IsRunning());
        ASSERT_TRUE(std::filesystem::create_directory(m_dir));
        CPoolTest::SetUp();
    }
    void TearDown() override {
        CPoolTest::TearDown();
        std::filesystem::remove_all(m_dir);
    }
    int Start(long& nId, const std::string& strUrl, const std::string& strBody = "",
              uint32_t dwTimeout = 10000, CRecorder* pReporter = nullptr) {
        return HttpPool_RequestData(&nId, kt::FromUtf8(strUrl).c_str(), strBody.data(),
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
    // Starts a GET on the scripted server that waits as long as the server does; nId -1: on a new
    // id.
    long Request(const std::string& strPath, IHttpReporter* pReporter, long nId = -1) {
        EXPECT_EQ(0, HttpPool_RequestData(&nId, Url(strPath).c_str(), "", 0, pReporter, 0x7FFFFFFF,
                                          0, 0));
        return nId;
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
    long Download(const std::string& strName, IHttpReporter* pReporter,
                  const std::string& strPath = "/file.bin") {
        long nId = -1;
        EXPECT_EQ(0, HttpPool_DownloadFile(&nId, Url(strPath).c_str(), Path(strName).c_str(),
                                           pReporter, 60000, 0));
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
        m_raw.Stop();
        EXPECT_TRUE(PumpUntil([&] { return ThreadCount() == m_nThreadsBefore; }))
            << ThreadCount() << " threads, " << m_nThreadsBefore << " before";
    }

    // Taken before the servers start their threads; compared once they have joined them again.
    const int m_nThreadsBefore = ThreadCount();
    CHttpServer m_server;
    CRawServer m_raw;  // keeps each request's bytes as they came off the socket
    CRecorder m_reporter;
    const std::filesystem::path m_dir = std::filesystem::temp_directory_path() /
                                        ("kt-transfer-" + std::to_string(std::random_device()()) +
                                         "-" + std::to_string(std::random_device()()));
};

using DownloadTest = TransferRequest;

// The requests as the server received them are wire/requests.http: the engine's default lines,
// then the added ones (no Expect), the body as sent; a form in the ANSI code page with control
// bytes, '%' and high bytes encoded (in upper-case hex) and nothing else; an empty form as a GET.
TEST_F(TransferRequest, ServerReceivesTheDefaultLinesThenTheAddedOnesAndTheBodyAsSent) {
    const CTraceLog trace;
    // A gzip member beneath the transfer's gzip: each run decodes it itself, and traces that.
    m_server.SetDefaultReply(HTTP_REPLY{200, {}, GzipBytes("abcdef"), true});
    long nId = HttpPool_NewRequest();
    ASSERT_EQ(HttpPool_AddHeader(nId, u"X-First: 1"), 0);
    ASSERT_EQ(HttpPool_AddHeader(nId,
                                 u"Content-Type: multipart/form-data; "
                                 u"boundary=---------------------------7d92de3351722"),
              0);
    EXPECT_EQ(Fetch(nId, m_server.Url("/post?q=1"), std::string("a\0b\r\n--\xff\x80 end", 14)), 0);
    // Added lines stay for the next request.
    ASSERT_TRUE(kt::SetAnsiCodePage("GBK"));
    size_t nBefore = m_reporter.Terminals();
    EXPECT_EQ(HttpPool_RequestForm(&nId, Url("/form").c_str(), u"a=1&b=x y%\t\n\x7f+/?中",
                                   &m_reporter, 10000, 0, 0),
              0);
    EXPECT_EQ(Finish(nBefore), 0);
    kt::SetAnsiCodePage("");
    // A line added while a request runs joins the next run instead of stopping or changing this
    // one (it used to stop it).
    m_server.HoldReplies(true);
    nBefore = m_reporter.Terminals();
    EXPECT_EQ(HttpPool_RequestForm(&nId, Url("/held").c_str(), u"", &m_reporter, 10000, 0, 0), 0);
    ASSERT_TRUE(m_server.WaitForRequests(3));
    EXPECT_EQ(HttpPool_AddHeader(nId, u"X-Late: yes"), 0);
    m_server.HoldReplies(false);
    EXPECT_EQ(Finish(nBefore), 0);
    EXPECT_EQ(Fetch(nId, m_server.Url("/next")), 0);
    HttpPool_Release(nId);  // added lines go with the release
    EXPECT_EQ(Fetch(nId, m_server.Url("/fresh")), 0);
    EXPECT_EQ(nId, 1);
    std::string strSent;  // the bytes as they came
    for (size_t i = 0; i < m_server.RequestCount(); ++i)
        strSent += m_server.CLoopbackServer::Request(i);
    EXPECT_EQ(strSent, Expected("requests.http", m_server.Port()));
    // Every run traces its start, its end, its own decompression and its notification, in order.
    const std::vector<std::string> vecPrefixes = {
        "curl HttpRequest Request begin: httpIndex(1), Tickount(",
        "curl HttpRequest Request End: httpIndex(1), Tickount(",
        "curl HttpRequest Data Has been Compressed: HttpIndex(1), realLenght(6), TickCount(",
        "CHttp_Async::NotifyAsyncReporter result = 0, httpIndex = 1\n"};
    std::vector<std::string> vecOurs, vecExpected;
    for (const std::string& strLine : trace.Lines()) {
        for (const std::string& strPrefix : vecPrefixes)
            if (strLine.rfind(strPrefix, 0) == 0) vecOurs.push_back(strPrefix);
    }
    for (int i = 0; i < 5; ++i)
        vecExpected.insert(vecExpected.end(), vecPrefixes.begin(), vecPrefixes.end());
    EXPECT_EQ(vecOurs, vecExpected);
}

TEST_F(TransferRequest, RepliesMapToResultsBodiesAndCompleteness) {
    const std::string strPlain = "the inner text, compressed twice on the way";
    const std::string strMember = GzipBytes(strPlain);
    // The magic and a trailer that claims 2 GiB, no member between.
    const std::string strFake =
        std::string("\x1f\x8b\x08\x00", 4) + std::string(18, 'z') + "\xff\x7f";
    const std::string strGzip = "Content-Encoding: gzip\r\n";
    const std::string strHalf = MakeData(100000);
    const std::string strHalfHead = "HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n";
    // Bodies that decode to far more than deflate gives for the bytes on the wire: a stack of
    // encodings libcurl undoes itself, and a gzip body beneath the transfer's gzip.
    std::string strPeriodic;
    const std::string strPeriod = MakeData(1000);
    while (strPeriodic.size() < (16u << 20)) strPeriodic += strPeriod;
    // Half-compressible: the layer libcurl undoes stays under 1 MiB, the one beneath does not.
    std::string strText = MakeData(1536u << 10);
    for (char& ch : strText) ch = static_cast<char>('a' + (ch & 15));
    const auto Gzip2 = [](const std::string& s) { return GzipBytes(GzipBytes(s)); };
    std::string strEndless = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
    while (strEndless.size() < (3u << 20))
        strEndless += "10000\r\n" + std::string(0x10000, 'e') + "\r\n";
    const std::string strAny = "<refused by a bound>";
    const std::string strUrl = m_raw.Url("/r");
    m_server.SetReply("/ok", HTTP_REPLY{200, {}, "hello"});
    const std::string strToOk = "Location: " + m_server.Url("/ok") + "\r\n";
    struct CASE {
        const char* pszWhat;
        RAW_ACTION action;
        int32_t nResult;
        std::string strBody;      // strAny: refused by a bound, the bytes not looked at
        size_t nRequests;         // that reached the raw server
        int32_t nComplete;        // HttpPool_IsReplyComplete afterwards
        long long nMaxReply = 0;  // 0: the default bound
        uint32_t dwTimeout = 10000;
        std::string strUrl = "/r";  // a path of the raw server, or the whole URL
    };
    const CASE aCases[] = {
        {"200", Framed("200 OK", "hello"), 0, "hello", 1, 1},
        {"404 keeps its body", Framed("404 Not Found", "not here"), HTTP_ERR_REPLY, "not here", 1,
         0},
        {"302 followed", Framed("302 Found", "", strToOk), 0, "hello", 1, 1},
        {"no answer: the own time-out", RAW_ACTION::Stall(), HTTP_ERR_TIMEOUT, "", 1, 0, 0, 300},
        // libcurl takes off the transfer's gzip; the body beneath is gzip again.
        {"gzip beneath gzip", Framed("200 OK", GzipBytes(strMember), strGzip), 0, strPlain, 1, 1},
        {"declared gzip, plain beneath", Framed("200 OK", strMember, strGzip), 0, strPlain, 1, 1},
        {"the magic without a member: refused, the bytes stay",
         Framed("200 OK", GzipBytes(strFake), strGzip), HTTP_ERR_UNZIP, strFake, 1, 0},
        {"gzip without Content-Encoding: bytes", Framed("200 OK", strMember), 0, strMember, 1, 1},
        {"closed without answer, tried 12 times", RAW_ACTION::CloseAfterRequest(),
         HTTP_ERR_CURL_CALL, "", 12, 0},
        // Cut, but every byte delivered was kept: received, yet not whole.
        {"cut at 50,000 of 100,000",
         RAW_ACTION::Drop(strHalfHead + strHalf, strHalfHead.size() + 50000), 0,
         strHalf.substr(0, 50000), 1, 0},
        {"ended by closing", RAW_ACTION::Reply("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\nhello"),
         0, "hello", 1, 0},
        {"whole by its length", Framed("200 OK", strHalf), 0, strHalf, 1, 1},
        {"whole by its chunked end",
         RAW_ACTION::Reply("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                           "5\r\nhello\r\n0\r\n\r\n"),
         0, "hello", 1, 1},
        {"cut 403", RAW_ACTION::Reply("HTTP/1.1 403 No\r\nContent-Length: 9\r\n\r\nabc"),
         HTTP_ERR_REPLY, "abc", 1, 0},
        // libcurl refuses the hop; a 3xx status with nothing lost still counts as done, but not
        // one byte of the file was read.
        {"redirect to file://", Framed("302 Found", "", "Location: file:///etc/passwd\r\n"), 0, "",
         1, 0},
        {"file:// asked for", RAW_ACTION::Stall(), HTTP_ERR_CURL_CALL, "", 0, 0, 0, 10000,
         "file:///etc/hostname"},
        {"ftp:// asked for", RAW_ACTION::Stall(), HTTP_ERR_CURL_CALL, "", 0, 0, 0, 10000,
         "ftp:" + strUrl.substr(5)},
        // Found out by the run, reported like any failure.
        {"empty URL", RAW_ACTION::Stall(), HTTP_ERR_PARAM, "", 0, 0, 0, 10000, ""},
        // The bounds on a reply held in memory: its size, and what it decodes to.
        {"past the size bound", Framed("200 OK", strHalf), HTTP_ERR_CURL_CALL, strAny, 1, 0, 50000},
        {"endless chunked", RAW_ACTION::Reply(strEndless), HTTP_ERR_CURL_CALL, strAny, 1, 0,
         1 << 20},
        {"stacked encodings past the ratio",
         Framed("200 OK", Gzip2(std::string(64u << 20, 0)), "Content-Encoding: gzip, gzip\r\n"),
         HTTP_ERR_UNZIP, strAny, 1, 0},
        {"doubly gzipped past the ratio", Framed("200 OK", Gzip2(strPeriodic), strGzip),
         HTTP_ERR_UNZIP, strAny, 1, 0},
        {"doubly gzipped past the size bound", Framed("200 OK", Gzip2(strText), strGzip),
         HTTP_ERR_CURL_CALL, strAny, 1, 0, 1 << 20},
    };
    const CTraceLog trace;
    const std::string strRefused = "curl HttpRequest Reply Refused: httpIndex(1), bound(";
    long nId = -1;
    for (const CASE& c : aCases) {
        SCOPED_TRACE(c.pszWhat);
        HttpPool_SetMaxReplySize(c.nMaxReply);
        m_raw.SetDefaultAction(c.action);
        const std::string strFull = c.strUrl.rfind('/', 0) == 0 ? m_raw.Url(c.strUrl) : c.strUrl;
        const size_t nBefore = m_raw.RequestCount();
        const size_t nRefusedBefore = CountPrefixed(trace, strRefused);
        EXPECT_EQ(Fetch(nId, strFull, "", c.dwTimeout), c.nResult);
        EXPECT_EQ(HttpPool_GetResult(nId), c.nResult);
        EXPECT_EQ(HttpPool_IsReplyComplete(nId), c.nComplete);
        EXPECT_TRUE(c.strBody == strAny || TakeBody(nId) == c.strBody);
        EXPECT_EQ(HttpPool_GetRequestUrl(nId), kt::FromUtf8(strFull));
        EXPECT_EQ(m_raw.RequestCount() - nBefore, c.nRequests);
        EXPECT_EQ(CountPrefixed(trace, strRefused) - nRefusedBefore,
                  c.strBody == strAny || c.nResult == HTTP_ERR_UNZIP ? 1u : 0u);
    }
    HttpPool_SetMaxReplySize(0);
    EXPECT_EQ(m_reporter.Count('P'), 0u);  // a GET's upload count never moves from 0
    EXPECT_EQ(nId, 1);
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

// Every option the engine sets, refused in turn by the seam in the libcurl holders: the documented
// code, one trace line naming the option, nothing sent (LeakSanitizer checks that the handle and
// lists of each failed run are freed). A cancel that comes after the start but before the run
// holds too.
TEST_F(TransferRequest, EachLibcurlCallFailingInTurnOrAnEarlyCancelStopsTheRun) {
    struct CASE {
        CURLoption eOption;  // CURLOPT_LASTENTRY: none refused
        const char* pszContext;
        int32_t nResult;  // HTTP_ERR_USER_ABORT: cancelled when the worker announces its run
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
        vecCases.push_back({e, "CHttp_Base::InitCurl", HTTP_ERR_CURL_INIT});
    for (const CURLoption e :
         {CURLOPT_URL, CURLOPT_HTTPGET, CURLOPT_POST, CURLOPT_POSTFIELDS, CURLOPT_POSTFIELDSIZE,
          CURLOPT_COOKIE, CURLOPT_TIMEOUT_MS, CURLOPT_HTTPHEADER, CURLOPT_FOLLOWLOCATION})
        vecCases.push_back({e, "CHttp_Base::Run", HTTP_ERR_CURL_CALL});
    vecCases.push_back({CURLOPT_LASTENTRY, nullptr, HTTP_ERR_USER_ABORT});
    // Nothing failing, for contrast (the one request the server sees).
    vecCases.push_back({CURLOPT_LASTENTRY, nullptr, 0});
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
        request.SetDataRequest(Url("/seam"), "body", bPost ? 4 : 0, bPost);
        const std::string strBegin =
            "curl HttpRequest Request begin: httpIndex(" + std::to_string(nIndex) + ")";
        std::atomic<size_t> nLines{0};
        {
            const CScopedTraceSink sink([&](std::string_view strTraced) {
                nLines += strTraced == strLine;
                if (c.nResult == HTTP_ERR_USER_ABORT && strTraced.rfind(strBegin, 0) == 0)
                    request.Cancel();
            });
            kt::CCurlOptions::RefuseForTest(c.eOption);
            ASSERT_TRUE(request.Start());
            EXPECT_TRUE(owner.evtDone.Wait(kGuardMs));
            request.Stop();
            kt::CCurlOptions::RefuseForTest(CURLOPT_LASTENTRY);
        }
        EXPECT_EQ(owner.nResult.load(), c.nResult);
        EXPECT_EQ(nLines.load(), c.pszContext ? 1u : 0u);
    }
    // The same for the download's information request, which fails the download before it touches
    // the local file.
    const CTraceLog trace;
    kt::CCurlOptions::RefuseForTest(CURLOPT_RANGE);
    CHttp_DownloadFile part;
    EXPECT_EQ(CMTRDownload::GetReomteSiteInfo(&part, Url("/seam")), HTTP_ERR_CURL_CALL);
    kt::CCurlOptions::RefuseForTest(CURLOPT_LASTENTRY);
    EXPECT_EQ(
        trace.Count("CMTRDownload::GetReomteSiteInfo() curl option CURLOPT_RANGE refused: 48\n"),
        1u);
    // Connections are accepted in order: once a marker request made now is answered, any
    // connection a run made (and closed at once) has been counted too.
    EXPECT_NE(net::Exchange(m_server.Port(), "GET /marker HTTP/1.1\r\n\r\n"), "");
    EXPECT_EQ(m_server.ConnectionCount(), 2u);
    EXPECT_EQ(m_server.RequestCount(), 2u);
}

TEST_F(TransferRequest, TwentyMegabyteBodyArrivesByteForByte) {
    const std::string strBody = MakeData(20u << 20);
    m_server.SetReply(200, "ok");
    long nId = -1;
    // Nothing is pumped until the worker has ended: however many progress values it had, one
    // message waits for them, and it carries the newest.
    ASSERT_EQ(Start(nId, m_server.Url("/big"), strBody, 60000), 0);
    ASSERT_TRUE(WaitWorkerEnd(nId));
    EXPECT_EQ(Finish(0), 0);
    ASSERT_EQ(m_reporter.Count('P'), 1u);
    EXPECT_EQ(m_reporter.m_vecCalls[0].dValue, static_cast<double>(strBody.size()));
    EXPECT_EQ(TakeBody(nId), "ok");
    // Its head is wire/post-20mib.http (no Expect).
    const std::string strSent = m_server.CLoopbackServer::Request(0);
    EXPECT_TRUE(strSent == Expected("post-20mib.http", m_server.Port()) + strBody)
        << strSent.substr(0, 400);
    // Pumped as it goes: integral byte counts, each one new, reaching the whole body.
    m_reporter.m_vecCalls.clear();
    ASSERT_EQ(Fetch(nId, m_server.Url("/big"), strBody, 60000), 0);
    double dLast = -1;
    for (const CALL& call : m_reporter.m_vecCalls) {
        if (call.chKind != 'P') continue;
        EXPECT_EQ(call.dValue, static_cast<double>(static_cast<int64_t>(call.dValue)));
        EXPECT_GT(call.dValue, dLast);
        dLast = call.dValue;
    }
    EXPECT_EQ(dLast, static_cast<double>(strBody.size()));
}

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
    // How the server answers the part that asks for 1000000-1999999. Where the other parts are
    // never answered, the failure must stop them; else they get their range.
    struct CASE {
        int nStatus;
        size_t nFrom, nLength;  // of the file
        const char* pszRange;   // Content-Range, if any
        bool bHoldOthers;
    };
    const CASE aCases[] = {
        {200, 0, 3000000, nullptr, true},                                 // the whole file
        {206, 1000000, 999999, "bytes 1000000-1999999/3000000", true},    // one byte short
        {206, 2000000, 1000000, "bytes 2000000-2999999/3000000", false},  // another place
        {200, 0, 1000000, nullptr, false},  // the right length from the start
    };
    for (const CASE& c : aCases) {
        SCOPED_TRACE(testing::Message()
                     << c.nStatus << " with bytes " << c.nFrom << "+" << c.nLength);
        m_server.SetHandler([strData, c](const RECORDED_REQUEST& req) {
            const std::string strRange = req.Header("Range").substr(6);  // after "bytes="
            if (strRange == "0-0")
                return HTTP_REPLY{206, {{"Content-Range", "bytes 0-0/3000000"}}, "x"};
            const size_t nFirst = std::stoul(strRange);
            if (nFirst != 1000000 && c.bHoldOthers)
                return HTTP_REPLY{206, {}, "", false, 3600 * 1000};
            if (nFirst != 1000000)
                return HTTP_REPLY{206,
                                  {{"Content-Range", "bytes " + strRange + "/3000000"}},
                                  strData.substr(nFirst, 1000000)};
            HTTP_REPLY reply{c.nStatus, {}, strData.substr(c.nFrom, c.nLength)};
            if (c.pszRange != nullptr) reply.vecHeaders = {{"Content-Range", c.pszRange}};
            return reply;
        });
        CRecorder reporter;
        const long nId = Download("f.bin", &reporter, "/f");
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
    const long nDownload = Download("out.bin", &reporter);
    {
        CRecorder dying;
        Download("other.bin", &dying);
        ASSERT_TRUE(m_server.WaitForRequests(9));  // a size request and three parts each
    }
    EXPECT_EQ(HttpPool_IsRunning(nRequest) + HttpPool_AreAllRunning(), 2);
    EXPECT_EQ(HttpPool_Cancel(nRequest) + HttpPool_Cancel(nDownload), 2);
    EXPECT_EQ(HttpPool_IsRunning(nRequest) + HttpPool_AreAllRunning(), 0);
    EXPECT_TRUE(PumpUntilMarker());  // the stopped workers' calls are queued by now
    EXPECT_EQ(reporter.Heard(),
              (CRecorder::HEARD{{'E', nRequest, HTTP_ERR_USER_ABORT}, {'E', nDownload, 0}}));
    std::vector<long> vecIds(32, -1);
    vecIds[0] = nRequest;  // every request in the table runs
    for (long& nStalled : vecIds) nStalled = Request("/stall", &reporter, nStalled);
    CRecorder last;
    Download("last.bin", &last);
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
        const long nId = bDownload ? Download("out.bin", &first) : Request("/small.bin", &first);
        // Nothing is pumped: the run's notifications wait in the queue while the id changes hands.
        ASSERT_TRUE(WaitUnpumped([] { return kt::HasPendingMessages(); }));
        ASSERT_TRUE(WaitWorkerEnd(nId));  // a request's worker ends by itself
        EXPECT_EQ(1, HttpPool_Release(nId));
        HttpPool_DetachReporter(&other);
        EXPECT_EQ(HttpPool_IsRunning(nDetached), 0);
        // The released id is parked: the next one of its kind gets it back.
        ASSERT_EQ(nId, bDownload ? Download("small.bin", &next, "/small.bin")
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

// Many requests on a few dozen ids with cancels, releases, restarts, detaches and reporter deaths
// thrown in at random, from the pool's thread and from inside reporter calls, and the pool's thread
// held inside a call once: every request that was neither released nor detached hears exactly one
// terminal call, on the pool's thread, with its own result and reply, and nothing else hears
// anything.
TEST_F(TransferRequest, UnderLoadEveryLiveRequestIsAnsweredExactlyOnce) {
    m_server.SetHandler([](const RECORDED_REQUEST& req) {  // each request's body comes back
        thread_local std::mt19937 rng(std::hash<std::thread::id>()(std::this_thread::get_id()));
        return HTTP_REPLY{200, {}, req.strBody, false, static_cast<int>(rng() % 6)};
    });
    constexpr int kRequests = 2000;
    constexpr size_t kIds = 64;
    const std::u16string strUrl = Url("/stress");
    const std::thread::id idTest = std::this_thread::get_id();
    std::mt19937 rng(20261205);
    std::array<std::unique_ptr<CRecorder>, 4> apReporters;
    std::vector<long> vecIds;  // ids in use, not released
    struct RUN {
        size_t nReporter;
        std::string strBody;  // the run's own, so that a call of another run is found out
        bool bCancelled = false;
    };
    std::map<long, RUN> mapPending;  // the run each id waits for
    int nStarted = 0, nTerminals = 0, nUnanswered = 0;
    const auto Start = [&](long nId) {  // -1: a new or parked id
        if (nStarted == kRequests) return;
        const long nGiven = nId;
        const size_t nReporter = rng() % apReporters.size();
        const std::string strBody = "run " + std::to_string(nStarted);
        ASSERT_EQ(HttpPool_RequestData(&nId, strUrl.c_str(), strBody.data(),
                                       static_cast<uint32_t>(strBody.size()),
                                       apReporters[nReporter].get(), 10000, 0, 0),
                  0);
        ASSERT_GT(nId, 0);
        ASSERT_LE(nId, static_cast<long>(kIds + kHttpMaxParked));  // reused, not piled up
        if (nGiven == -1) vecIds.push_back(nId);
        ASSERT_TRUE(nGiven == -1 || nId == nGiven);
        mapPending[nId] = {nReporter, strBody};
        ++nStarted;
    };
    const auto Release = [&](long nId) {
        HttpPool_Release(nId);
        nUnanswered += static_cast<int>(mapPending.erase(nId));
        vecIds.erase(std::find(vecIds.begin(), vecIds.end(), nId));
    };
    // A detached reporter's pending requests are stopped at once and never heard of again.
    const auto Forget = [&](size_t nReporter) {
        for (auto it = mapPending.begin(); it != mapPending.end();) {
            const bool bGone = it->second.nReporter == nReporter;
            EXPECT_TRUE(!bGone || HttpPool_IsRunning(it->first) == 0);
            nUnanswered += bGone;
            it = bGone ? mapPending.erase(it) : std::next(it);
        }
    };
    const auto NewReporter = [&](size_t nReporter) {
        apReporters[nReporter] = std::make_unique<CRecorder>();  // the old one dies
        Forget(nReporter);
        apReporters[nReporter]->m_fnHook = [&, nReporter](const CALL& call) {
            EXPECT_EQ(call.thread, idTest);
            const auto it = mapPending.find(call.nId);
            ASSERT_TRUE(it != mapPending.end() && it->second.nReporter == nReporter) << call.nId;
            if (call.chKind != 'F' && call.chKind != 'E') return;
            // -12 only for a run that was cancelled; a finished one holds its own reply.
            EXPECT_TRUE(call.dValue == 0 ||
                        (call.dValue == HTTP_ERR_USER_ABORT && it->second.bCancelled))
                << call.dValue;
            EXPECT_TRUE(call.dValue != 0 || TakeBody(call.nId) == it->second.strBody);
            mapPending.erase(it);
            // A cancel that came after a successful perform is heard as -12 while the run's
            // stored result stays 0.
            const int32_t nStored = HttpPool_GetResult(call.nId);
            EXPECT_TRUE(nStored == call.dValue ||
                        (call.dValue == HTTP_ERR_USER_ABORT && nStored == 0))
                << nStored << " " << call.dValue;
            // Once, the pool's thread is held inside a call until every other pending run has
            // ended; their calls queue up meanwhile.
            for (const auto& [nOther, run] : mapPending)
                EXPECT_TRUE(nTerminals > 0 || WaitWorkerEnd(nOther));
            ++nTerminals;
            const unsigned nDice = rng() % 16;
            if (nDice < 2) Release(call.nId);
            if (nDice == 2 || nDice == 3) Start(call.nId);  // the same id, from inside its call
            if (nDice == 4) {
                // Detached from inside its own call; its next request attaches it again.
                HttpPool_DetachReporter(apReporters[nReporter].get());
                Forget(nReporter);
            }
        };
    };
    for (size_t i = 0; i < apReporters.size(); ++i) NewReporter(i);
    // Idle ids start again, and new ones up to the number, before anything queued is dispatched.
    const auto Fill = [&] {
        for (const long nIdle : std::vector<long>(vecIds))
            if (mapPending.count(nIdle) == 0) Start(nIdle);
        while (vecIds.size() < kIds && nStarted < kRequests) Start(-1);
    };
    const auto Step = [&] {
        Fill();
        const unsigned nDice = rng() % 100;
        const long nId = vecIds.empty() ? -1 : vecIds[rng() % vecIds.size()];
        if (nDice < 10 && nId > 0) {
            HttpPool_Cancel(nId);  // joined at once; still answered, with -12 or 0
            EXPECT_EQ(HttpPool_IsRunning(nId), 0);
            if (mapPending.count(nId) != 0) mapPending[nId].bCancelled = true;
        } else if (nDice < 14 && nId > 0) {
            // Released and asked again at once: the new request gets the parked id back while
            // the old run's notification may still be queued.
            Release(nId);
            Start(-1);
        } else if (nDice < 15) {
            NewReporter(rng() % apReporters.size());
        }
        Fill();
        kt::PumpMessagesFor(1);
    };
    EXPECT_TRUE(
        PumpUntil([&] { return nStarted == kRequests && mapPending.empty(); }, 2 * kGuardMs, Step));
    // Anything still queued must not reach anyone (the hook fails the test if it does).
    EXPECT_TRUE(PumpUntilMarker());
    EXPECT_EQ(nStarted, kRequests);
    EXPECT_EQ(nTerminals + nUnanswered, kRequests);
    EXPECT_GT(nTerminals, kRequests / 2);
}

}  // namespace
