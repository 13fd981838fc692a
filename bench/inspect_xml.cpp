// kt-inspect xml over documents of small elements (the most records a byte) of 10 and 100 MB:
// the whole run of the tool, its JSON output thrown away. The goal is 100 MB in under 10 s, and
// a time that grows linearly with the size (the 100 MB run about ten times the 10 MB one).
// Times are medians of five repetitions.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

#include "xml_corpus.h"
#include "xml_medians.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

const fs::path& CorpusDir() {
    static const fs::path s_dir = [] {
        fs::path dir = fs::temp_directory_path() / ("kt-inspect-xml-" + std::to_string(::getpid()));
        fs::create_directories(dir);
        return dir;
    }();
    return s_dir;
}

const std::string& Corpus(int nMb) {
    static std::string s_paths[2];
    std::string& strPath = s_paths[nMb == 100 ? 1 : 0];
    if (strPath.empty()) {
        strPath = (CorpusDir() / ("small_elements_" + std::to_string(nMb) + "mb.xml")).string();
        ktbench::WriteXmlCorpus(strPath, ktbench::XmlKind::SmallElements,
                                static_cast<size_t>(nMb) * 1000000);
    }
    return strPath;
}

// Runs kt-inspect xml FILE with its output to /dev/null; the wall time, or -1 when it failed.
double RunInspect(const std::string& strPath) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    std::string strTool = KT_INSPECT_PATH;
    std::string strCommand = "xml";
    std::string strFile = strPath;
    char* argv[] = {strTool.data(), strCommand.data(), strFile.data(), nullptr};
    const auto t0 = std::chrono::steady_clock::now();
    pid_t pid = -1;
    const int nSpawn = posix_spawn(&pid, strTool.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (nSpawn != 0) return -1;
    int nStatus = 0;
    waitpid(pid, &nStatus, 0);
    const auto t1 = std::chrono::steady_clock::now();
    if (!WIFEXITED(nStatus) || WEXITSTATUS(nStatus) != 0) return -1;
    return std::chrono::duration<double>(t1 - t0).count();
}

void BM_InspectXml(benchmark::State& state) {
    const std::string& strPath = Corpus(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        const double dSeconds = RunInspect(strPath);
        if (dSeconds < 0) {
            state.SkipWithError("kt-inspect failed");
            break;
        }
        state.SetIterationTime(dSeconds);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * fs::file_size(strPath)));
}
BENCHMARK(BM_InspectXml)
    ->Arg(10)
    ->Arg(100)
    ->UseManualTime()
    ->Iterations(1)
    ->Repetitions(ktbench::kRepetitions)
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    ktbench::InitializeInterleaved(&argc, argv);
    ktbench::CMedianReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const double d10 = reporter.Real("BM_InspectXml/10");
    const double d100 = reporter.Real("BM_InspectXml/100");
    if (d10 > 0 && d100 > 0) {
        std::printf(
            "kt-inspect xml 100 MB of small elements: %.2f s (goal < 10 s); 10 MB: %.2f s; "
            "100 MB / 10 MB: %.1fx (linear: 10x)\n",
            d100 / 1000.0, d10 / 1000.0, d100 / d10);
    }
    benchmark::Shutdown();
    std::error_code ec;
    fs::remove_all(CorpusDir(), ec);
    return 0;
}
