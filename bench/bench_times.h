// Google Benchmark's console table, plus each run's time and counters kept by name, so that a
// benchmark can print its ratios to the peers it ran beside once the table is out. A benchmark
// run with repetitions is kept as its median (give it ->Repetitions(5) or more).
#pragma once

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

namespace ktbench {

class CTimesReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& vecRuns) override {
        ConsoleReporter::ReportRuns(vecRuns);
        // With repetitions the median aggregate comes after the repetitions it sums up and
        // overwrites what the last of them left: ratios are taken between medians.
        for (const Run& run : vecRuns) {
            const bool bMedian =
                run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if (!bMedian && (run.run_type != Run::RT_Iteration || run.iterations == 0)) continue;
            if (run.error_occurred) continue;
            // Found by the full name ("BM_X/64/real_time"), by function and arguments ("BM_X/64")
            // and by the function alone ("BM_X", the last run of that function).
            const double dTime = run.GetAdjustedRealTime();
            m_mapTimes[run.run_name.str()] = dTime;
            m_mapTimes[run.run_name.function_name] = dTime;
            if (!run.run_name.args.empty())
                m_mapTimes[run.run_name.function_name + "/" + run.run_name.args] = dTime;
            for (const auto& [strName, counter] : run.counters)
                m_mapCounters[strName] = counter.value;
        }
    }
    // Adjusted real time per iteration, in the benchmark's unit; 0 when it did not run.
    double Time(const std::string& strName) const {
        const auto it = m_mapTimes.find(strName);
        return it == m_mapTimes.end() ? 0.0 : it->second;
    }
    // The last value reported for a counter; 0 when none was.
    double Counter(const std::string& strName) const {
        const auto it = m_mapCounters.find(strName);
        return it == m_mapCounters.end() ? 0.0 : it->second;
    }

private:
    std::map<std::string, double> m_mapTimes;
    std::map<std::string, double> m_mapCounters;
};

}  // namespace ktbench
