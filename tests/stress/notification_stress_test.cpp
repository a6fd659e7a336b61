// The simulated engine's delivering thread floods notifications of all three kinds, drained by two
// client threads per queue, while four clients query report hierarchies. Each PLD count marks the
// ancestor cache stale, and each record carries the PLD count at which it was fetched: a query
// that starts after a delivery must get its point's chain fetched at that count or later.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <list>
#include <numeric>
#include <thread>
#include <vector>

#include "StressCount.h"
#include "ZvPldProxy.h"
#include "sim/SimEngine.h"

namespace {

const std::uint32_t kPerKind = StressPerKind();
constexpr std::uint16_t kUnits = 8;
constexpr unsigned kMaxAncestors = 3, kKeys = 200;

// A point's report is device << 16 | GddId, with report % 4 ancestors: level k has GddId
// report + (k << 24) and the module k above the point's, every level the current PLD count.
class ChainEngine : public zvsim::SimEngine {
  public:
    ChainEngine() : SimEngine(zvsim::Catalogue{}) {}  // no points: its ticks change nothing
    std::uint32_t GetMaxNmbrAncstrs(unsigned short) override { return kMaxAncestors; }
    std::uint32_t GetPointsRprt(unsigned short device, unsigned long gddId) override {
        return static_cast<std::uint32_t>(device << 16 | gddId);
    }
    Y4_Status GetRprtAncstr(ZvVelRprtDfn* rprt) override {
        const auto depth = static_cast<std::uint16_t>(rprt->gddId % (kMaxAncestors + 1));
        auto* header = static_cast<ZvPldEngAncestors*>(rprt->buf);
        auto* entries = reinterpret_cast<ZvPldEngAncestorEntry*>(header + 1);
        *header = {rprt->gddId, rprt->mmIdx, PldCount(), depth, entries};
        for (unsigned k = 1; k <= depth; ++k) {
            entries[k - 1] = {rprt->gddId + (k << 24), static_cast<std::uint16_t>(rprt->mmIdx + k),
                              header->auxValue};
        }
        return zvsim::kOk;
    }
};

// What one drainer took (sequence numbers; for PLD counts the counts), in the order taken.
struct Drained {
    std::vector<std::uint32_t> taken;
    int wrong = 0;  // out of order, or not as the engine sent it
    void take(std::uint32_t n, bool intact = true) {
        wrong += !intact || (!taken.empty() && n <= taken.back());
        taken.push_back(n);
    }
};
thread_local Drained* t_drained = nullptr;

// Counts handed over at once on the delivering thread: each one more than the last (from 1).
std::atomic<unsigned long> g_lastCount{1};
std::atomic<int> g_countsOutOfTurn{0};
void onPldCount(void*, unsigned long count) {
    g_countsOutOfTurn += count != g_lastCount.exchange(count) + 1;
}
// Round r of the flood is event r in state r and value change r with units r + k.
void onEvent(void*, const ZvVEventInfo* e) {
    t_drained->take(e->sequence, e->eventState == static_cast<std::uint16_t>(e->sequence));
}
void onValueChange(void*, const ZvValChgInfo* v) {
    std::uint16_t sent[kUnits];
    std::iota(sent, sent + kUnits, static_cast<std::uint16_t>(v->sequence));
    t_drained->take(v->sequence, v->valueId == v->sequence && v->length == kUnits &&
                                     std::equal(sent, sent + kUnits, v->pData));
}

// One pass over every key; counts the queries that failed or got a wrong or stale chain.
unsigned QueryEveryKey(ZvPldProxy& proxy, const ChainEngine& engine, unsigned first) {
    unsigned bad = 0;
    for (unsigned n = 0; n < kKeys; ++n) {
        const unsigned key = (first + n) % kKeys, device = 1 + key % 2, gddId = 100 + key,
                       mmIdx = 1 + key % 3, report = device << 16 | gddId;
        const unsigned long since = g_lastCount.load();
        std::list<unsigned long> aux, gdd;
        std::list<unsigned short> mm;
        bool ok = proxy.GetHierarchyLists(aux, gdd, mm, device, gddId, mmIdx) == 0 &&
                  aux.size() == report % (kMaxAncestors + 1) + 1;
        const unsigned long now = engine.PldCount();
        auto a = aux.begin();
        auto g = gdd.begin();
        auto m = mm.begin();
        for (unsigned level = 0; ok && a != aux.end(); ++level, ++a, ++g, ++m) {
            ok = *g == report + (level << 24) && *m == mmIdx + level && *a >= since && *a <= now;
        }
        bad += !ok;
    }
    return bad;
}

TEST(Stress, FloodedNotificationsArriveOnceInOrderWhileHierarchyQueriesGetFreshChains) {
    const auto engine = std::make_shared<ChainEngine>();
    ZvPldSetEngineFactory([engine](const char*, const char*, const char*) { return engine; });
    ZvPldProxy proxy("sim", "stress-test");
    ZvPldSetEngineFactory(nullptr);
    proxy.RegisterForPldCountChange(onPldCount, nullptr, 0);
    proxy.RegisterForEventChange(onEvent, nullptr, 0);
    proxy.RegisterForValueChange(onValueChange, nullptr, 0);

    std::atomic<bool> delivered{false};
    std::vector<std::thread> threads;
    Drained drained[3][2];  // PLD counts, events, value changes
    for (int kind = 0; kind < 3; ++kind) {
        for (Drained& d : drained[kind]) {
            threads.emplace_back([&d, &proxy, &delivered, kind] {
                t_drained = &d;
                for (;;) {
                    const bool last = delivered.load();  // before the drain: nothing comes after
                    const std::size_t before = d.taken.size();
                    if (unsigned long n = 0; kind == 0 && proxy.CheckPldCount(&n)) d.take(n);
                    if (kind == 1) proxy.CheckEvent();
                    if (kind == 2) proxy.CheckValueChange();
                    if (d.taken.size() != before) continue;
                    if (last) return;
                    std::this_thread::yield();
                }
            });
        }
    }
    unsigned bad[4] = {};
    for (unsigned t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (bool last = false; !last;) {  // until a whole pass after the flood
                last = delivered.load();
                bad[t] += QueryEveryKey(proxy, *engine, t * kKeys / 4);
            }
        });
    }
    engine->Flood(kPerKind, kUnits);
    engine->Flush();
    delivered = true;
    for (std::thread& t : threads) t.join();
    proxy.stop_y4IpcToClientProc();
    EXPECT_EQ(g_lastCount.load(), 1 + kPerKind);
    EXPECT_EQ(g_countsOutOfTurn.load(), 0);
    for (int kind = 0; kind < 3; ++kind) {
        EXPECT_EQ(drained[kind][0].wrong + drained[kind][1].wrong, 0) << "kind " << kind;
        std::vector<std::uint32_t> all(drained[kind][0].taken), sent(kPerKind);
        all.insert(all.end(), drained[kind][1].taken.begin(), drained[kind][1].taken.end());
        std::sort(all.begin(), all.end());
        std::iota(sent.begin(), sent.end(), kind ? 1 : 2);
        EXPECT_TRUE(all == sent) << "kind " << kind << ": " << all.size() << " of " << kPerKind;
    }
    for (const unsigned b : bad) EXPECT_EQ(b, 0u);
}

}  // namespace
