// Posting a 50 MB attachment the way the dialog does (form body built around the file, one
// HttpPool_RequestData, notification pumped), against the curl command line posting the same body
// to the same receiver (ktfeedback-server on loopback). Each post runs in a process of its own so
// that its peak memory (VmHWM) is its own. Goals: peak below 2.5x the attachment plus 60 MB,
// throughput at least 0.8x curl's.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "bench_times.h"
#include "httpdownload/httppublic.h"
#include "ktreporter/formbody.h"
#include "platform/codepage.h"
#include "platform/msgwindow.h"
#include "platform/paths.h"
#include "reporter_bench_util.h"

namespace {

namespace fs = std::filesystem;
using ktbench::Clock;

constexpr size_t kAttachment = 50u << 20;
constexpr const char* kContentType =
    "Content-Type: multipart/form-data; boundary=---------------------------7d92de3351722";

struct CONTEXT {
    fs::path dir;
    std::string strUrl;
    std::string strSelf;
    long nPeakKb = 0;
};
CONTEXT g_ctx;

long PeakKb() {
    std::ifstream in("/proc/self/status");
    std::string strLine;
    while (std::getline(in, strLine)) {
        if (strLine.rfind("VmHWM:", 0) == 0) return std::stol(strLine.substr(6));
    }
    return 0;
}

class CWaiter : public IHttpReporter {
public:
    int32_t OnRequestFinished(long) override {
        m_bDone = true;
        return 0;
    }
    int32_t OnRequestFailed(long, int32_t nResult) override {
        m_bDone = true;
        m_nResult = nResult;
        return 0;
    }
    bool m_bDone = false;
    int32_t m_nResult = 0;
};

// The child: what the dialog does on submit, then its peak memory on stdout.
int PostChild(const std::string& strUrl, const std::string& strAttach) {
    if (HttpPool_Initialize(nullptr) != 1) return 1;
    long nId = HttpPool_NewRequest();
    HttpPool_AddHeader(nId, kt::kFormContentTypeHeader.data());
    CWaiter waiter;
    {
        const std::u16string strPath = kt::FromFsPath(strAttach);
        const kt::FEEDBACK_FORM form = kt::MakeFeedbackForm(1, u"bench", u"name", u"a@b.cn", u"",
                                                            u"title", u"description", strPath);
        std::vector<char> vecBody;
        if (kt::BuildFeedbackBody(form, strPath, vecBody) != 0) return 1;
        const std::u16string strWideUrl = kt::FromUtf8(strUrl);
        if (HttpPool_RequestData(&nId, strWideUrl.c_str(), vecBody.data(),
                                 static_cast<uint32_t>(vecBody.size()), &waiter, 120000, 0,
                                 0) != 0) {
            return 1;
        }
    }
    while (!waiter.m_bDone) kt::PumpMessagesFor(100);
    long nLength = 0;
    std::free(HttpPool_GetData(nId, &nLength));
    HttpPool_Uninitialize();
    std::printf("%ld %d\n", PeakKb(), waiter.m_nResult);
    return waiter.m_nResult == 0 ? 0 : 1;
}

void ClearStore() {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(g_ctx.dir / "store", ec)) {
        if (entry.path().filename() != ".incoming") fs::remove_all(entry.path(), ec);
    }
}

void BM_CurlCommandLine(benchmark::State& state) {
    const std::string strBody = (g_ctx.dir / "body.bin").string();
    for (auto _ : state) {
        const auto t0 = Clock::now();
        const pid_t pid =
            kttest::StartChild({KT_CURL_EXE, "-s", "-o", "/dev/null", "--noproxy", "*", "-H",
                                kContentType, "--data-binary", "@" + strBody, g_ctx.strUrl},
                               {});
        const int nExit = ktbench::WaitExit(pid);
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - t0).count());
        if (nExit != 0) state.SkipWithError("curl failed");
        state.PauseTiming();
        ClearStore();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kAttachment));
}

void BM_ReporterPost(benchmark::State& state) {
    long nPeak = 0;
    for (auto _ : state) {
        int fds[2];
        if (::pipe(fds) != 0) state.SkipWithError("pipe");
        const auto t0 = Clock::now();
        const pid_t pid = kttest::StartChild(
            {g_ctx.strSelf, "--post-child", g_ctx.strUrl, (g_ctx.dir / "attachment.rar").string()},
            {"NO_PROXY=127.0.0.1", "no_proxy=127.0.0.1"}, fds[1]);
        ::close(fds[1]);
        std::string strOut;
        char buf[128];
        for (ssize_t n; (n = ::read(fds[0], buf, sizeof(buf))) > 0;) strOut.append(buf, n);
        ::close(fds[0]);
        const int nExit = ktbench::WaitExit(pid);
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - t0).count());
        if (nExit != 0) state.SkipWithError("the post failed");
        nPeak = std::max(nPeak, strOut.empty() ? 0L : std::stol(strOut));
        state.PauseTiming();
        ClearStore();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kAttachment));
    state.counters["peak_MB"] = static_cast<double>(nPeak) / 1024.0;
    g_ctx.nPeakKb = nPeak;
}

BENCHMARK(BM_CurlCommandLine)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_ReporterPost)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::string(argv[1]) == "--post-child") return PostChild(argv[2], argv[3]);
    benchmark::Initialize(&argc, argv);
    g_ctx.strSelf = fs::canonical("/proc/self/exe").string();
    g_ctx.dir = fs::temp_directory_path() / ("ktbench-post-" + std::to_string(::getpid()));
    fs::create_directories(g_ctx.dir / "store");

    // An archive of incompressible bytes, and the very body the dialog builds around it for curl.
    {
        std::mt19937_64 rng(42);
        std::string strData(kAttachment, '\0');
        for (size_t i = 0; i + 8 <= strData.size(); i += 8) {
            const uint64_t n = rng();
            std::memcpy(&strData[i], &n, 8);
        }
        std::ofstream(g_ctx.dir / "attachment.rar", std::ios::binary) << strData;
        const std::u16string strPath = kt::FromFsPath((g_ctx.dir / "attachment.rar").string());
        const kt::FEEDBACK_FORM form = kt::MakeFeedbackForm(1, u"bench", u"name", u"a@b.cn", u"",
                                                            u"title", u"description", strPath);
        std::vector<char> vecBody;
        kt::BuildFeedbackBody(form, strPath, vecBody);
        std::ofstream(g_ctx.dir / "body.bin", std::ios::binary)
            .write(vecBody.data(), static_cast<std::streamsize>(vecBody.size()));
    }

    int fds[2];
    if (::pipe(fds) != 0) return 1;
    const pid_t server = kttest::StartChild(
        {KT_FEEDBACK_SERVER_EXE, "--listen", "127.0.0.1:0", "--dir", (g_ctx.dir / "store").string(),
         "--max-body", std::to_string(256u << 20)},
        {}, fds[1]);
    ::close(fds[1]);
    std::string strLine;
    char c;
    while (::read(fds[0], &c, 1) == 1 && c != '\n') strLine += c;
    const std::string strPrefix = "listening on http://127.0.0.1:";
    if (strLine.rfind(strPrefix, 0) != 0) {
        std::fprintf(stderr, "reporter_post: the receiver did not start\n");
        return 1;
    }
    g_ctx.strUrl =
        "http://127.0.0.1:" + std::to_string(std::stoi(strLine.substr(strPrefix.size()))) +
        "/feedback";

    ktbench::CTimesReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const double dCurl = reporter.Time("BM_CurlCommandLine");
    const double dReporter = reporter.Time("BM_ReporterPost");
    if (dCurl > 0 && dReporter > 0) {
        const double dLimitMb = 2.5 * 50 + 60;
        std::printf(
            "\n50 MB post: reporter %.0f ms, curl %.0f ms, throughput ratio %.2f (goal >= "
            "0.80); reporter peak %.1f MB (goal < %.0f MB)\n",
            dReporter, dCurl, dCurl / dReporter, g_ctx.nPeakKb / 1024.0, dLimitMb);
    }
    ::kill(server, SIGTERM);
    ktbench::WaitExit(server);
    ::close(fds[0]);
    std::error_code ec;
    fs::remove_all(g_ctx.dir, ec);
    benchmark::Shutdown();
    return 0;
}
