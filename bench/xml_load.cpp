// CXmlDocument::LoadFile in a new process (read, code-page conversion and parse, the code page
// being UTF-8), beside pugixml's load_file of the same file, for 10 and 100 MB of small elements
// and of long text. Each load runs in a process of its own, started from this program, so the
// memory is fresh as it is for a program that reads its configuration at start; the child times
// the load alone and reports its peak resident memory (the whole process, from getrusage).
// After the run: the speed ratio to pugixml and the peak memory per byte of input, from medians
// of five repetitions.
#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <pugixml.hpp>
#include <string>

#include "platform/codepage.h"
#include "platform/paths.h"
#include "xml/xmldocument.h"
#include "xml_corpus.h"
#include "xml_medians.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

const int kSizesMb[] = {10, 100};

const fs::path& CorpusDir() {
    static const fs::path s_dir = [] {
        fs::path dir = fs::temp_directory_path() / ("kt-xml-load-" + std::to_string(::getpid()));
        fs::create_directories(dir);
        return dir;
    }();
    return s_dir;
}

struct CorpusFile {
    std::string strPath;
    size_t nBytes = 0;
};

const CorpusFile& Corpus(int nMb, ktbench::XmlKind kind) {
    static CorpusFile s_files[2][2];
    CorpusFile& f = s_files[nMb == 100 ? 1 : 0][static_cast<int>(kind)];
    if (f.nBytes == 0) {
        f.strPath = (CorpusDir() / (std::string(ktbench::XmlKindLabel(kind)) + "_" +
                                    std::to_string(nMb) + "mb.xml"))
                        .string();
        f.nBytes = ktbench::WriteXmlCorpus(f.strPath, kind, static_cast<size_t>(nMb) * 1000000);
    }
    return f;
}

// ---- the child: one load, then "<load ns> <peak KiB> <ok>" on stdout ----

int RunChild(const char* pszWho, const char* pszPath) {
    const auto t0 = std::chrono::steady_clock::now();
    bool bOk = false;
    pugi::xml_document pugiDoc;
    kt::CXmlDocument ktDoc;
    if (std::strcmp(pszWho, "kt") == 0) {
        bOk = ktDoc.LoadFile(kt::FromFsPath(pszPath));
    } else {
        bOk = static_cast<bool>(pugiDoc.load_file(pszPath));
    }
    const auto t1 = std::chrono::steady_clock::now();
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("%lld %ld %d\n",
                static_cast<long long>(
                    std::chrono::duration_cast<std::chrono::nanoseconds>(t1 - t0).count()),
                usage.ru_maxrss, bOk ? 1 : 0);
    std::fflush(stdout);
    return 0;
}

// ---- the parent ----

struct ChildResult {
    double dSeconds = 0;
    double dPeakBytes = 0;
    bool bOk = false;
};

ChildResult RunLoad(const char* pszWho, const std::string& strPath) {
    ChildResult result;
    int fds[2];
    if (pipe(fds) != 0) return result;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    std::string strSelf = fs::read_symlink("/proc/self/exe").string();
    char szChild[] = "--child";
    std::string strWho = pszWho;
    std::string strFile = strPath;
    char* argv[] = {strSelf.data(), szChild, strWho.data(), strFile.data(), nullptr};
    pid_t pid = -1;
    const int nSpawn = posix_spawn(&pid, strSelf.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    std::string strOut;
    char buf[256];
    for (ssize_t n; (n = read(fds[0], buf, sizeof(buf))) > 0;) strOut.append(buf, n);
    close(fds[0]);
    if (nSpawn != 0) return result;
    int nStatus = 0;
    waitpid(pid, &nStatus, 0);
    long long nNs = 0;
    long nPeakKib = 0;
    int nOk = 0;
    if (std::sscanf(strOut.c_str(), "%lld %ld %d", &nNs, &nPeakKib, &nOk) == 3) {
        result.dSeconds = static_cast<double>(nNs) / 1e9;
        result.dPeakBytes = static_cast<double>(nPeakKib) * 1024.0;
        result.bOk = nOk == 1 && WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0;
    }
    return result;
}

void Load(benchmark::State& state, const char* pszWho) {
    const int nMb = static_cast<int>(state.range(0));
    const auto kind = static_cast<ktbench::XmlKind>(state.range(1));
    const CorpusFile& f = Corpus(nMb, kind);
    double dPeak = 0;
    for (auto _ : state) {
        const ChildResult r = RunLoad(pszWho, f.strPath);
        if (!r.bOk) {
            state.SkipWithError("the load failed");
            break;
        }
        state.SetIterationTime(r.dSeconds);
        dPeak = std::max(dPeak, r.dPeakBytes);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * f.nBytes));
    state.counters["peak_B_per_B"] = dPeak / static_cast<double>(f.nBytes);
    state.SetLabel(ktbench::XmlKindLabel(kind));
}

void BM_LoadFileKt(benchmark::State& state) {
    Load(state, "kt");
}
void BM_LoadFilePugixml(benchmark::State& state) {
    Load(state, "pugixml");
}

void Arguments(benchmark::internal::Benchmark* b) {
    for (const int nMb : kSizesMb) {
        for (int nKind = 0; nKind < 2; ++nKind) b->Args({nMb, nKind});
    }
    b->UseManualTime()
        ->Iterations(2)
        ->Repetitions(ktbench::kRepetitions)
        ->Unit(benchmark::kMillisecond);
}
BENCHMARK(BM_LoadFileKt)->Apply(Arguments);
BENCHMARK(BM_LoadFilePugixml)->Apply(Arguments);

void PrintRatios(const ktbench::CMedianReporter& reporter) {
    for (const int nMb : kSizesMb) {
        for (int nKind = 0; nKind < 2; ++nKind) {
            const std::string strArgs = "/" + std::to_string(nMb) + "/" + std::to_string(nKind);
            const double dOurs = reporter.Real("BM_LoadFileKt" + strArgs);
            const double dPugi = reporter.Real("BM_LoadFilePugixml" + strArgs);
            if (dOurs <= 0 || dPugi <= 0) continue;
            const bool bSmall = nKind == 0;
            std::printf(
                "LoadFile %3d MB %-15s %.1f ms vs pugixml load_file %.1f ms: %.2fx%s; peak "
                "%.2f bytes a byte (goal <= %s), pugixml %.2f\n",
                nMb, ktbench::XmlKindLabel(static_cast<ktbench::XmlKind>(nKind)), dOurs, dPugi,
                dPugi / dOurs, (nMb == 10 && bSmall) ? " (goal >= 0.7)" : "",
                reporter.Counter("BM_LoadFileKt" + strArgs, "peak_B_per_B"), bSmall ? "3" : "2.5",
                reporter.Counter("BM_LoadFilePugixml" + strArgs, "peak_B_per_B"));
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "--child") == 0) return RunChild(argv[2], argv[3]);
    setenv("KTREPORTER_CODEPAGE", "UTF-8", 1);
    ktbench::InitializeInterleaved(&argc, argv);
    ktbench::CMedianReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    PrintRatios(reporter);
    benchmark::Shutdown();
    std::error_code ec;
    fs::remove_all(CorpusDir(), ec);
    return 0;
}
