// A hot path of the proxy set against the work it cannot avoid, done by hand: both are benchmarks
// of the same run, and the main prints their ratio.
#ifndef ZVPLD_BENCH_COMPARISON_H
#define ZVPLD_BENCH_COMPARISON_H

#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "ZvLinuxMutex.h"
#include "ZvPldEngine.h"
#include "ZvPldMsgClient.h"
#include "ZvPldTypes.h"
#include "sim/SimEngine.h"

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

inline double Fastest(const std::vector<double>& times) {
    double fastest = times.empty() ? 0 : times.front();
    for (const double t : times) fastest = t < fastest ? t : fastest;
    return fastest;
}
#define ZVPLD_BENCHMARK(fn) BENCHMARK(fn)->ComputeStatistics("min", zvbench::Fastest)

// Answers at once and starts no thread, so that what is measured is the proxy, not the engine.
class FixedEngine : public zvsim::SimEngine {
  public:
    FixedEngine() : SimEngine(zvsim::Catalogue{}) {}
    Y4_Status GetVelPntStr(const ZvVelPntDfn*, unsigned int size, char* buf) override {
        std::strncpy(buf, "21.5", size);
        return 0;
    }
    Y4_Status GetVelPntInt32(const ZvVelPntDfn*, std::int32_t* value) override {
        *value = 215;
        return 0;
    }
    // Accepted but never delivered: the benchmark calls the capture function itself.
    Y4_Status RegValueChange(ZvValueChangeFn, void*, std::uint16_t) override { return 0; }
    // Likewise a pass-through request: the benchmark delivers the answer's pieces itself.
    Y4_Status Process(ZvPldEngInfo*) override { return 0; }

    // Every point has a report, its GddId plus 1000, with kAncestors ancestors: the report's
    // GddId plus 1 to kAncestors, in its module; auxValue is the GddId doubled.
    static constexpr std::uint16_t kAncestors = 2;
    std::uint32_t GetMaxNmbrAncstrs(unsigned short) override { return kAncestors; }
    std::uint32_t GetPointsRprt(unsigned short, unsigned long gddId) override {
        return static_cast<std::uint32_t>(gddId + 1000);
    }
    Y4_Status GetRprtAncstr(ZvVelRprtDfn* rprt) override {
        if (rprt->bufSize <
            sizeof(ZvPldEngAncestors) + kAncestors * sizeof(ZvPldEngAncestorEntry)) {
            return 11;
        }
        auto* header = static_cast<ZvPldEngAncestors*>(rprt->buf);
        auto* entries = reinterpret_cast<ZvPldEngAncestorEntry*>(header + 1);
        *header = {rprt->gddId, rprt->mmIdx, 2 * rprt->gddId, kAncestors, entries};
        for (std::uint32_t k = 1; k <= kAncestors; ++k) {
            entries[k - 1] = {rprt->gddId + k, rprt->mmIdx, 2 * (rprt->gddId + k)};
        }
        return 0;
    }
};

// A text read by hand: fill the record, clear the reply, lock, the engine call, unlock, find the
// end of the reply and check it is 7-bit ASCII in one pass, assign it. Kept out of line and its
// arguments opaque, as a call into the proxy's library is.
template <class Mutex>
__attribute__((noipa)) int ValueStringByHand(ZvPldMsgClient& client, Mutex& lock, std::string& text,
                                             unsigned short deviceIdx, unsigned short gddId,
                                             unsigned short mmIdx, unsigned short auxIdx,
                                             unsigned long uofm, short auxParam,
                                             const char* auxText) {
    const ZvVelPntDfn rec{deviceIdx, gddId,   static_cast<std::uint16_t>(mmIdx - 1), auxIdx,
                          auxParam,  auxText, static_cast<std::uint32_t>(uofm)};
    char reply[257] = {};
    lock.Lock();
    const Y4_Status status = client.GetVelPntStr(&rec, 256, reply);
    lock.Unlock();
    if (status != 0) return 2;
    std::size_t length = 0;
    for (; length < 256 && reply[length] != '\0'; ++length) {
        if (static_cast<unsigned char>(reply[length]) >= 0x80) return 2;
    }
    text.assign(reply, length);
    return 0;
}

// Every message client made from now on gets a new Engine.
template <class Engine>
void UseEngine() {
    ZvPldSetEngineFactory(
        [](const char*, const char*, const char*) -> std::shared_ptr<ZvPldEngine> {
            return std::make_shared<Engine>();
        });
}

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
