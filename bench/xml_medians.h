// The XML benchmarks' ratios come from medians: each benchmark runs several repetitions (at
// least five), the repetitions of the programs compared are interleaved at random so that a busy
// stretch of the machine does not fall on one of them alone, and the median of the repetitions,
// in real and in CPU time, is kept by name for the printout after the table.
#pragma once

#include <benchmark/benchmark.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace ktbench {

constexpr int kRepetitions = 5;

class CMedianReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& vecRuns) override {
        ConsoleReporter::ReportRuns(vecRuns);
        for (const Run& run : vecRuns) {
            if (run.run_type != Run::RT_Aggregate || run.aggregate_name != "median") continue;
            // Found by function and arguments ("BM_X/1") and by the function alone.
            std::string strName = run.run_name.function_name;
            if (!run.run_name.args.empty()) strName += "/" + run.run_name.args;
            m_mapReal[strName] = run.GetAdjustedRealTime();
            m_mapCpu[strName] = run.GetAdjustedCPUTime();
            m_mapReal.emplace(run.run_name.function_name, run.GetAdjustedRealTime());
            m_mapCpu.emplace(run.run_name.function_name, run.GetAdjustedCPUTime());
            for (const auto& [strCounter, counter] : run.counters)
                m_mapCounters[strName + ":" + strCounter] = counter.value;
        }
    }
    // Median real (wall-clock) and CPU time per iteration, in the benchmark's unit; 0 when the
    // benchmark did not run.
    double Real(const std::string& strName) const { return Find(m_mapReal, strName); }
    double Cpu(const std::string& strName) const { return Find(m_mapCpu, strName); }
    // Median of a counter ("BM_X/1", "peak_B_per_B").
    double Counter(const std::string& strName, const std::string& strCounter) const {
        return Find(m_mapCounters, strName + ":" + strCounter);
    }

private:
    static double Find(const std::map<std::string, double>& map, const std::string& strName) {
        const auto it = map.find(strName);
        return it == map.end() ? 0.0 : it->second;
    }
    std::map<std::string, double> m_mapReal;
    std::map<std::string, double> m_mapCpu;
    std::map<std::string, double> m_mapCounters;
};

// Google Benchmark's start-up, with the repetitions interleaved unless the command line says
// otherwise.
inline void InitializeInterleaved(int* pArgc, char** argv) {
    static std::vector<char*> s_vecArgs;
    s_vecArgs.assign(argv, argv + *pArgc);
    bool bGiven = false;
    for (int i = 1; i < *pArgc; ++i)
        bGiven = bGiven || std::strstr(argv[i], "random_interleaving") != nullptr;
    static char szInterleave[] = "--benchmark_enable_random_interleaving=true";
    if (!bGiven) s_vecArgs.insert(s_vecArgs.begin() + 1, szInterleave);
    int nArgc = static_cast<int>(s_vecArgs.size());
    s_vecArgs.push_back(nullptr);
    benchmark::Initialize(&nArgc, s_vecArgs.data());
    *pArgc = nArgc;
}

}  // namespace ktbench
