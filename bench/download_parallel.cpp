// The ranged download against the curl command line, in the same run and against the same
// loopback server:
//  - throttled: every connection limited to 2 MiB/s, a 50 MB file fetched by the engine in ten
//    parts versus ten parallel `curl -r a-b -o part` processes, one per range (the engine should
//    reach at least 0.9x their throughput, about ten times one connection);
//  - unthrottled: a 500 MB file, the engine versus one `curl -o file` (goal: at least 0.8x).
// Prints the throughput ratios (engine / peer) at the end.
#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "httpdownload/httpdownload.h"
#include "httpdownload/httppublic.h"
#include "platform/codepage.h"
#include "platform/paths.h"
#include "support/http_server.h"

extern char** environ;

namespace {

constexpr size_t kThrottledSize = 50000000;
constexpr size_t kRate = 2u << 20;
constexpr size_t kBigSize = 500000000;
constexpr int kParts = 10;

// Every repetition's rate by name; the ratios are taken between medians.
std::map<std::string, std::vector<double>>& Throughputs() {
    static std::map<std::string, std::vector<double>> s_map;
    return s_map;
}

double Median(std::vector<double> vec) {
    std::sort(vec.begin(), vec.end());
    const size_t n = vec.size();
    return n % 2 == 1 ? vec[n / 2] : (vec[n / 2 - 1] + vec[n / 2]) / 2;
}

std::filesystem::path ScratchDir() {
    static const std::filesystem::path s_dir = [] {
        char szTemplate[] = "/tmp/kt-download-bench-XXXXXX";
        const char* psz = ::mkdtemp(szTemplate);
        return std::filesystem::path(psz != nullptr ? psz : "/tmp");
    }();
    return s_dir;
}

// A file served with byte ranges and Last-Modified, every connection limited to nBytesPerSecond
// (0: unlimited) as nginx's limit_rate does, so that the engine and the curl processes it is
// compared with meet the same server.
class CRangeServer {
public:
    CRangeServer(size_t nSize, size_t nBytesPerSecond) : m_nSize(nSize) {
        kttest::HTTP_RESOURCE file;
        file.strData.resize(nSize);
        uint32_t nState = 7;
        for (char& ch : file.strData)
            ch = static_cast<char>((nState = nState * 1103515245u + 12345u) >> 23);
        file.strLastModified = "Sun, 06 Nov 1994 08:49:37 GMT";
        m_server.SetRecording(false);
        m_server.SetThrottle(nBytesPerSecond);
        m_server.SetResource("/file", std::move(file));
    }
    std::string Url() const { return m_server.Url("/file"); }
    size_t Size() const { return m_nSize; }

private:
    kttest::CHttpServer m_server;
    size_t m_nSize;
};

CRangeServer& ThrottledServer() {
    static CRangeServer s_server(kThrottledSize, kRate);
    return s_server;
}

CRangeServer& BigServer() {
    static CRangeServer s_server(kBigSize, 0);
    return s_server;
}

pid_t Spawn(const std::vector<std::string>& vecArgs) {
    std::vector<char*> vecArgv;
    for (const std::string& str : vecArgs) vecArgv.push_back(const_cast<char*>(str.c_str()));
    vecArgv.push_back(nullptr);
    pid_t nPid = -1;
    if (::posix_spawnp(&nPid, vecArgv[0], nullptr, nullptr, vecArgv.data(), environ) != 0) {
        return -1;
    }
    return nPid;
}

bool WaitAll(const std::vector<pid_t>& vecPids) {
    bool bOk = true;
    for (pid_t nPid : vecPids) {
        int nStatus = 0;
        if (nPid < 0 || ::waitpid(nPid, &nStatus, 0) != nPid || !WIFEXITED(nStatus) ||
            WEXITSTATUS(nStatus) != 0) {
            bOk = false;
        }
    }
    return bOk;
}

void Record(benchmark::State& state, const std::string& strName, size_t nBytes, double dSeconds,
            int nRuns) {
    const double dRate = static_cast<double>(nBytes) * nRuns / dSeconds;
    state.counters["MB/s"] = dRate / 1e6;
    Throughputs()[strName].push_back(dRate);
}

// The engine's download on the calling thread, as a client calls it.
void RunEngine(benchmark::State& state, CRangeServer& server, const std::string& strName) {
    const std::u16string strUrl = kt::FromUtf8(server.Url());
    const std::filesystem::path path = ScratchDir() / "engine.bin";
    const std::u16string strPath = kt::FromFsPath(path.string());
    double dSeconds = 0;
    int nRuns = 0;
    for (auto _ : state) {
        const auto tStart = std::chrono::steady_clock::now();
        const int nOk = HttpPool_DownloadFileSync(strUrl.c_str(), strPath.c_str(), nullptr, 600000);
        const auto tEnd = std::chrono::steady_clock::now();
        if (nOk != 1 || std::filesystem::file_size(path) != server.Size()) {
            state.SkipWithError("engine download failed");
            break;
        }
        dSeconds += std::chrono::duration<double>(tEnd - tStart).count();
        state.SetIterationTime(std::chrono::duration<double>(tEnd - tStart).count());
        ++nRuns;
        std::filesystem::remove(path);
    }
    if (nRuns > 0) Record(state, strName, server.Size(), dSeconds, nRuns);
}

// Ten curl processes, each writing its own range of the engine's split to its own file.
void RunCurlRanges(benchmark::State& state, CRangeServer& server, const std::string& strName) {
    const long long nSize = static_cast<long long>(server.Size());
    const long long nQuot = nSize / kParts;
    double dSeconds = 0;
    int nRuns = 0;
    for (auto _ : state) {
        std::vector<std::vector<std::string>> vecCommands;
        long long nStart = 0;
        for (int i = 0; i < kParts; ++i) {
            const long long nLength = i == 0 ? nQuot + nSize % kParts : nQuot;
            vecCommands.push_back(
                {"curl", "-s", "-f", "-r",
                 std::to_string(nStart) + "-" + std::to_string(nStart + nLength - 1), "-o",
                 (ScratchDir() / ("part" + std::to_string(i))).string(), server.Url()});
            nStart += nLength;
        }
        const auto tStart = std::chrono::steady_clock::now();
        std::vector<pid_t> vecPids;
        for (const auto& vecArgs : vecCommands) vecPids.push_back(Spawn(vecArgs));
        const bool bOk = WaitAll(vecPids);
        const auto tEnd = std::chrono::steady_clock::now();
        if (!bOk) {
            state.SkipWithError("curl failed");
            break;
        }
        dSeconds += std::chrono::duration<double>(tEnd - tStart).count();
        state.SetIterationTime(std::chrono::duration<double>(tEnd - tStart).count());
        ++nRuns;
        for (int i = 0; i < kParts; ++i) {
            std::filesystem::remove(ScratchDir() / ("part" + std::to_string(i)));
        }
    }
    if (nRuns > 0) Record(state, strName, server.Size(), dSeconds, nRuns);
}

// One curl process writing the whole file.
void RunCurlWhole(benchmark::State& state, CRangeServer& server, const std::string& strName) {
    const std::filesystem::path path = ScratchDir() / "curl.bin";
    double dSeconds = 0;
    int nRuns = 0;
    for (auto _ : state) {
        const auto tStart = std::chrono::steady_clock::now();
        const bool bOk = WaitAll({Spawn({"curl", "-s", "-f", "-o", path.string(), server.Url()})});
        const auto tEnd = std::chrono::steady_clock::now();
        if (!bOk || std::filesystem::file_size(path) != server.Size()) {
            state.SkipWithError("curl failed");
            break;
        }
        dSeconds += std::chrono::duration<double>(tEnd - tStart).count();
        state.SetIterationTime(std::chrono::duration<double>(tEnd - tStart).count());
        ++nRuns;
        std::filesystem::remove(path);
    }
    if (nRuns > 0) Record(state, strName, server.Size(), dSeconds, nRuns);
}

void BM_Throttled50MB_Engine10Parts(benchmark::State& state) {
    RunEngine(state, ThrottledServer(), "throttled/engine");
}
void BM_Throttled50MB_Curl10Processes(benchmark::State& state) {
    RunCurlRanges(state, ThrottledServer(), "throttled/curl");
}
void BM_Unthrottled500MB_Engine(benchmark::State& state) {
    RunEngine(state, BigServer(), "unthrottled/engine");
}
void BM_Unthrottled500MB_Curl(benchmark::State& state) {
    RunCurlWhole(state, BigServer(), "unthrottled/curl");
}

// Each run is one iteration; five repetitions give the medians the ratios are taken from.
constexpr int kRepetitions = 5;
BENCHMARK(BM_Throttled50MB_Curl10Processes)
    ->Iterations(1)
    ->Repetitions(kRepetitions)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Throttled50MB_Engine10Parts)
    ->Iterations(1)
    ->Repetitions(kRepetitions)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Unthrottled500MB_Curl)
    ->Iterations(1)
    ->Repetitions(kRepetitions)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Unthrottled500MB_Engine)
    ->Iterations(1)
    ->Repetitions(kRepetitions)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

void PrintRatio(const char* pszWhat, const std::string& strEngine, const std::string& strPeer,
                double dGoal) {
    const auto& map = Throughputs();
    if (map.count(strEngine) == 0 || map.count(strPeer) == 0) return;
    const double dEngine = Median(map.at(strEngine));
    const double dPeer = Median(map.at(strPeer));
    const double dRatio = dEngine / dPeer;
    std::printf("%-44s %6.1f MB/s vs %6.1f MB/s  ratio %.2f of medians of %zu (goal >= %.1f)%s\n",
                pszWhat, dEngine / 1e6, dPeer / 1e6, dRatio, map.at(strEngine).size(), dGoal,
                dRatio >= dGoal ? "" : "  BELOW GOAL");
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (HttpPool_Initialize(nullptr) != 1) return 1;
    benchmark::RunSpecifiedBenchmarks();
    HttpPool_Uninitialize();
    std::printf("\nthroughput, engine / peer:\n");
    PrintRatio("throttled 2 MiB/s, 50 MB, 10 parts / 10 curl", "throttled/engine", "throttled/curl",
               0.9);
    PrintRatio("unthrottled 500 MB, engine / curl -o", "unthrottled/engine", "unthrottled/curl",
               0.8);
    std::error_code ec;
    std::filesystem::remove_all(ScratchDir(), ec);
    benchmark::Shutdown();
    return 0;
}
