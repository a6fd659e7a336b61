// Runs the benchmarks, prints Google Benchmark's table, then one line per comparison,
// "RATIO <name> <proxy time / baseline time>" followed by its goal, "RATE <name> <events per
// second>" for a proxy benchmark that counts its "events" per iteration and for each watched
// rate, and, given --size_of=FILE (the stripped target library), "SIZE libZvPldProxy <bytes of
// FILE>". Given --client_reads=ENGINE alone, it is instead one client process of the benchmark
// of reads from several processes.
// Exits 1 if a comparison did not run or missed its goal.
#include <benchmark/benchmark.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "Comparison.h"

namespace {

// The console table, and each benchmark's time per iteration: that of its fastest or its median
// repetition, or of the one run. CPU time, but wall-clock time for a benchmark that asks for it
// (threads that share a lock).
class CollectingReporter : public benchmark::ConsoleReporter {
  public:
    // Colours only on a terminal, so that the lines after the table are plain when piped.
    CollectingReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_Defaults : OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (auto e = run.counters.find("events"); e != run.counters.end()) {
                m_events[run.run_name.str()] =
                    e->second.value * benchmark::GetTimeUnitMultiplier(run.time_unit);
            }
            if (run.error_occurred) {
                m_failed.push_back(run.run_name.str());
            } else if (run.run_type == Run::RT_Aggregate) {
                m_aggregates[{run.run_name.str(), run.aggregate_name}] = TimeOf(run);
            } else if (run.run_type == Run::RT_Iteration) {
                m_times[run.run_name.str()].push_back(TimeOf(run));
            }
        }
    }

    // Negative when the benchmark did not run or failed.
    double Time(const std::string& name, zvbench::Take take = zvbench::Take::Fastest) const {
        if (std::find(m_failed.begin(), m_failed.end(), name) != m_failed.end()) return -1;
        const char* aggregate = take == zvbench::Take::Median ? "median" : "min";
        if (auto a = m_aggregates.find({name, aggregate}); a != m_aggregates.end())
            return a->second;
        auto t = m_times.find(name);
        if (t == m_times.end() || t->second.empty()) return -1;
        return zvbench::Fastest(t->second);
    }

    // Events per second at the fastest time; negative when the benchmark counts none.
    double Rate(const std::string& name) const {
        auto e = m_events.find(name);
        const double time = Time(name);
        return e == m_events.end() || time <= 0 ? -1 : e->second / time;
    }

  private:
    static double TimeOf(const Run& run) {
        return run.run_name.time_type == "real_time" ? run.GetAdjustedRealTime()
                                                     : run.GetAdjustedCPUTime();
    }

    std::map<std::string, double> m_events;  // per iteration, times the time unit's per second
    std::map<std::pair<std::string, std::string>, double> m_aggregates;  // by name and aggregate
    std::map<std::string, std::vector<double>> m_times;
    std::vector<std::string> m_failed;
};

}  // namespace

int main(int argc, char** argv) {
    static constexpr char kClientReads[] = "--client_reads=";
    if (argc == 2 && std::strncmp(argv[1], kClientReads, sizeof kClientReads - 1) == 0) {
        return zvbench::ClientReads(argv[1] + sizeof kClientReads - 1);
    }

    const char* sizeOf = nullptr;
    static constexpr char kSizeOf[] = "--size_of=";
    std::vector<char*> given;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], kSizeOf, sizeof kSizeOf - 1) == 0) {
            sizeOf = argv[i] + sizeof kSizeOf - 1;
        } else {
            given.push_back(argv[i]);
        }
    }

    // A process that has never started a thread takes the C and C++ libraries' single-thread
    // shortcuts (reference counts and allocations without atomics); the first two-thread
    // benchmark would end them part-way through the randomly ordered runs. A client of the proxy
    // has threads, so every benchmark runs in a process that has had one.
    std::thread([] {}).join();

    zvbench::UseEngine<zvbench::FixedEngine>();

    // Repetitions in random order spread any drift of the machine over all benchmarks alike;
    // flags given on the command line come later and win.
    static char repetitions[] = "--benchmark_repetitions=9";
    static char minTime[] = "--benchmark_min_time=0.1";
    static char interleave[] = "--benchmark_enable_random_interleaving=true";
    static char aggregates[] = "--benchmark_display_aggregates_only=true";
    std::vector<char*> args{argv[0], repetitions, minTime, interleave, aggregates};
    args.insert(args.end(), given.begin(), given.end());
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;

    CollectingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    int status = 0;
    for (const zvbench::Comparison& c : zvbench::Comparisons()) {
        const double proxy = reporter.Time(c.proxy, c.take);
        const double baseline = reporter.Time(c.baseline, c.take);
        if (proxy < 0 && baseline < 0) continue;  // filtered out
        if (proxy <= 0 || baseline <= 0) {
            std::fprintf(stderr, "RATIO %s: %s or %s did not run\n", c.name.c_str(),
                         c.proxy.c_str(), c.baseline.c_str());
            status = 1;
            continue;
        }
        const double ratio = proxy / baseline;
        if (c.goal <= 0) {
            std::printf("RATIO %s %.3f (watched, no goal)\n", c.name.c_str(), ratio);
        } else if (ratio <= c.goal) {
            std::printf("RATIO %s %.3f (goal <= %.2f)\n", c.name.c_str(), ratio, c.goal);
        } else {
            std::printf("RATIO %s %.3f (goal <= %.2f: MISSED)\n", c.name.c_str(), ratio, c.goal);
            status = 1;
        }
        if (const double rate = reporter.Rate(c.proxy); rate > 0) {
            std::printf("RATE %s %.0f\n", c.name.c_str(), rate);
        }
    }

    for (const zvbench::Rate& r : zvbench::Rates()) {
        if (const double rate = reporter.Rate(r.benchmark); rate > 0) {
            std::printf("RATE %s %.0f\n", r.name.c_str(), rate);
        }
    }

    if (sizeOf != nullptr) {
        struct stat st {};
        if (stat(sizeOf, &st) != 0) {
            std::perror(sizeOf);
            return 1;
        }
        std::printf("SIZE libZvPldProxy %lld\n", static_cast<long long>(st.st_size));
    }
    return status;
}
