// Hierarchy queries from client threads while the engine's thread delivers PLD-count changes. Each
// record carries the PLD count at which it was written: a query that starts after a delivery must
// get its point's chain, written at that count or later (the delivery marked the cache stale).
#include <gtest/gtest.h>

#include <atomic>
#include <list>
#include <memory>
#include <thread>
#include <vector>

#include "ZvPldEngine.h"
#include "ZvPldProxy.h"
#include "sim/SimEngine.h"

namespace {

constexpr unsigned kMaxAncestors = 3, kKeys = 200, kClients = 4;
constexpr unsigned kChanges = ZVPLD_STRESS_PER_KIND / 400;  // 1,000 on the host, fewer under qemu

zvsim::Catalogue NoTicks() {
    zvsim::Catalogue none;
    none.tickMs = 0;
    return none;
}

// A point's report is device << 16 | GddId, with report % 4 ancestors: level k has GddId
// report + (k << 24) and the module k above the point's, every level the current PLD count.
class ChainEngine : public zvsim::SimEngine {
  public:
    ChainEngine() : SimEngine(NoTicks()) {}
    std::atomic<unsigned> fetches{0};
    std::uint32_t GetMaxNmbrAncstrs(unsigned short) override { return kMaxAncestors; }
    std::uint32_t GetPointsRprt(unsigned short device, unsigned long gddId) override {
        return static_cast<std::uint32_t>(device << 16 | gddId);
    }
    Y4_Status GetRprtAncstr(ZvVelRprtDfn* rprt) override {
        ++fetches;
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

std::atomic<unsigned long> g_delivered{0};
void OnPldCount(void*, unsigned long count) {
    g_delivered = count;
}

// Passes over every key until one pass after `finished`; counts the queries that failed or got
// a wrong or stale chain.
void RunClient(ZvPldProxy& proxy, const ChainEngine& engine, unsigned first, unsigned& bad,
               const std::atomic<bool>& finished, std::atomic<unsigned>& queries) {
    for (unsigned i = first;;) {
        const bool last = finished.load();
        for (unsigned n = 0; n < kKeys; ++n, ++i) {
            const unsigned key = i % kKeys, device = 1 + key % 2, gddId = 100 + key,
                           mmIdx = 1 + key % 3, report = device << 16 | gddId;
            const unsigned long since = g_delivered.load();
            std::list<unsigned long> aux, gdd;
            std::list<unsigned short> mm;
            bool ok = proxy.GetHierarchyLists(aux, gdd, mm, device, gddId, mmIdx) == 0 &&
                      aux.size() == report % (kMaxAncestors + 1) + 1;
            const unsigned long now = engine.PldCount();
            auto a = aux.begin();
            auto g = gdd.begin();
            auto m = mm.begin();
            for (unsigned level = 0; ok && a != aux.end(); ++level, ++a, ++g, ++m) {
                ok =
                    *g == report + (level << 24) && *m == mmIdx + level && *a >= since && *a <= now;
            }
            bad += !ok;
            ++queries;
        }
        if (last) return;
    }
}

TEST(HierarchyStress, QueriesGetTheirPointsChainFetchedSinceTheLastDeliveredPldCount) {
    const auto engine = std::make_shared<ChainEngine>();
    ZvPldSetEngineFactory([engine](const char*, const char*, const char*) { return engine; });
    ZvPldProxy proxy("sim", "stress-test");
    ZvPldSetEngineFactory(nullptr);
    g_delivered = engine->PldCount();
    proxy.RegisterForPldCountChange(OnPldCount, nullptr, 0);

    std::atomic<bool> finished{false};
    std::atomic<unsigned> queries{0};
    unsigned bad[kClients] = {};
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < kClients; ++t) {
        threads.emplace_back(
            [&, t] { RunClient(proxy, *engine, t * kKeys / kClients, bad[t], finished, queries); });
    }
    // Each change is delivered, and queried past (mostly from the cache), before the next.
    for (unsigned n = 0; n < kChanges; ++n) {
        engine->AnnouncePldCount();
        while (g_delivered.load() != engine->PldCount()) std::this_thread::yield();
        const unsigned until = queries.load() + 3 * kKeys;
        while (queries.load() < until) std::this_thread::yield();
    }
    finished = true;
    for (std::thread& t : threads) t.join();
    proxy.stop_y4IpcToClientProc();

    for (const unsigned b : bad) EXPECT_EQ(b, 0u);
    // At most one fetch per key between two changes.
    EXPECT_LE(engine->fetches.load(), (kChanges + 1) * kKeys) << queries.load() << " queries";
}

}  // namespace
