// A hot path of the proxy set against the work it cannot avoid, done by hand: both are benchmarks
// of the same run, and the main prints their ratio.
#ifndef ZVPLD_BENCH_COMPARISON_H
#define ZVPLD_BENCH_COMPARISON_H

#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include "ByHand.h"

namespace zvbench {

// Which repetition's time stands for a benchmark: the fastest, since other load on the machine
// only ever adds time; but the median for threads that contend for a lock, whose spread is the
// hand-over's own, so that their fastest repetition is merely the luckiest.
enum class Take { Fastest, Median };

struct Comparison {
    std::string name;      // printed as "RATIO <name> <proxy time / baseline time>"
    std::string proxy;     // benchmark names
    std::string baseline;  // the same work by hand
    double goal;           // the largest ratio allowed; 0 for a figure only watched
    Take take;
};

inline std::vector<Comparison>& Comparisons() {
    static std::vector<Comparison> all;
    return all;
}

// For namespace-scope initialisers next to the two benchmarks.
inline bool Compare(const char* name, const char* proxy, const char* baseline, double goal,
                    Take take = Take::Fastest) {
    Comparisons().push_back({name, proxy, baseline, goal, take});
    return true;
}

// A benchmark that counts its "events" per iteration, printed as "RATE <name> <events per second>"
// at its fastest repetition.
struct Rate {
    std::string name;
    std::string benchmark;
};

inline std::vector<Rate>& Rates() {
    static std::vector<Rate> all;
    return all;
}

inline bool Watch(const char* name, const char* benchmark) {
    Rates().push_back({name, benchmark});
    return true;
}

// The client process of the benchmark of reads from several processes, run by this program
// given --client_reads=ENGINE: its exit status.
int ClientReads(const char* engine);

inline double Fastest(const std::vector<double>& times) {
    double fastest = times.empty() ? 0 : times.front();
    for (const double t : times) fastest = t < fastest ? t : fastest;
    return fastest;
}
#define ZVPLD_BENCHMARK(fn) BENCHMARK(fn)->ComputeStatistics("min", zvbench::Fastest)

// Message clients made while it lives get a new Engine; those made after, a FixedEngine again.
template <class Engine>
struct EngineWhileAlive {
    EngineWhileAlive() { UseEngine<Engine>(); }
    ~EngineWhileAlive() { UseEngine<FixedEngine>(); }
    EngineWhileAlive(const EngineWhileAlive&) = delete;
    EngineWhileAlive& operator=(const EngineWhileAlive&) = delete;
};

}  // namespace zvbench

#endif
