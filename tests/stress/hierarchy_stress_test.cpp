// Hierarchy queries from several client threads while the engine's delivering thread hands over
// PLD-count changes. Every ancestor record carries the PLD count at which the engine wrote it:
// a query that starts after a count was delivered must get a record written at that count or
// later (the delivery marked the cache stale), and the chain of the point it asked for.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <thread>
#include <vector>

#include "ZvPldEngine.h"
#include "ZvPldProxy.h"
#include "sim/SimEngine.h"

namespace {

constexpr std::uint32_t kMaxAncestors = 3;
constexpr unsigned kKeys = 200;
constexpr unsigned kClients = 4;
// Each PLD-count change is followed by this many queries before the next, so that the cache
// serves most of them.
constexpr unsigned kQueriesPerChange = 3 * kKeys;
// 1,000 changes on the host, fewer under qemu.
constexpr unsigned kChanges = ZVPLD_STRESS_PER_KIND / 400;

struct Key {
    std::uint16_t device, gddId, mmIdx;
};
Key KeyOf(unsigned i) {
    return {static_cast<std::uint16_t>(1 + i % 2), static_cast<std::uint16_t>(100 + i),
            static_cast<std::uint16_t>(1 + i % 3)};
}

// What level `level` of the key's chain is: report GddId and its module as the client numbers
// it. The point's report is 0 levels up; the depth of the chain is the key's too.
std::uint32_t ReportOf(std::uint16_t device, std::uint32_t gddId) {
    return static_cast<std::uint32_t>(device) << 16 | gddId;
}
std::uint32_t LevelGddId(std::uint32_t report, unsigned level) {
    return report + (level << 24);
}
unsigned Depth(std::uint32_t report) {
    return report % (kMaxAncestors + 1);
}

// Answers the report calls with the key's chain, every level stamped with the current PLD count.
class ChainEngine : public zvsim::SimEngine {
  public:
    ChainEngine() : SimEngine(NoTicks()) {}
    std::atomic<unsigned> fetches{0};

    std::uint32_t GetMaxNmbrAncstrs(unsigned short) override { return kMaxAncestors; }
    std::uint32_t GetPointsRprt(unsigned short deviceIdx, unsigned long gddId) override {
        return ReportOf(deviceIdx, static_cast<std::uint32_t>(gddId));
    }
    Y4_Status GetRprtAncstr(ZvVelRprtDfn* rprt) override {
        ++fetches;
        const std::uint32_t count = PldCount();
        const unsigned depth = Depth(rprt->gddId);
        if (rprt->bufSize < sizeof(ZvPldEngAncestors) + depth * sizeof(ZvPldEngAncestorEntry)) {
            return zvsim::kBufferTooSmall;
        }
        auto* header = static_cast<ZvPldEngAncestors*>(rprt->buf);
        auto* entries = reinterpret_cast<ZvPldEngAncestorEntry*>(header + 1);
        *header = {rprt->gddId, rprt->mmIdx, count, static_cast<std::uint16_t>(depth), entries};
        for (unsigned k = 1; k <= depth; ++k) {
            entries[k - 1] = {LevelGddId(rprt->gddId, k),
                              static_cast<std::uint16_t>(rprt->mmIdx + k), count};
        }
        return zvsim::kOk;
    }

  private:
    static zvsim::Catalogue NoTicks() {
        zvsim::Catalogue none;
        none.tickMs = 0;
        return none;
    }
};

std::atomic<unsigned long> g_delivered{0};
void onPldCount(void*, unsigned long count) {
    g_delivered = count;
}

// What one client thread saw.
struct Client {
    unsigned queries = 0, failed = 0, stale = 0, wrong = 0;
};

// One level of a query's answer; `level` 0 is the point's own report.
struct Level {
    unsigned level;
    unsigned long gddId, mmIdx, auxValue;
};

// The levels a query got, checked against the key's chain: each written at a PLD count of at
// least `atLeast` and at most the engine's count now.
void Check(Client& c, const ChainEngine& engine, const Key& key, unsigned long atLeast,
           const std::vector<Level>& levels) {
    const std::uint32_t report = ReportOf(key.device, key.gddId);
    const unsigned long now = engine.PldCount();
    for (const Level& l : levels) {
        c.wrong += l.gddId != LevelGddId(report, l.level) || l.mmIdx != key.mmIdx + l.level;
        c.stale += l.auxValue < atLeast || l.auxValue > now;
    }
}

// Passes over every key, single levels and whole lists in turn, until one pass after `finished`.
void RunClient(Client& c, ZvPldProxy& proxy, const ChainEngine& engine, unsigned first,
               const std::atomic<bool>& finished, std::atomic<unsigned>& queries) {
    for (unsigned i = first;;) {
        const bool last = finished.load();
        for (unsigned n = 0; n < kKeys; ++n, ++i) {
            const Key key = KeyOf(i % kKeys);
            const unsigned depth = Depth(ReportOf(key.device, key.gddId));
            const unsigned long delivered = g_delivered.load();
            std::vector<Level> got;
            if (i % 2 == 0) {
                const unsigned level = i / 2 % (depth + 1);
                unsigned short aux = 0, mm = 0;
                unsigned long gdd = 0;
                const int rc = proxy.GetHierarchyInfo(&aux, &mm, &gdd, level, key.device, key.gddId,
                                                      key.mmIdx);
                c.failed += rc != 0;
                if (rc == 0) got.push_back({level, gdd, mm, aux});
            } else {
                std::list<unsigned long> aux, gdd;
                std::list<unsigned short> mm;
                const int rc =
                    proxy.GetHierarchyLists(aux, gdd, mm, key.device, key.gddId, key.mmIdx);
                c.failed += rc != 0 || aux.size() != depth + 1;
                auto g = gdd.begin();
                auto m = mm.begin();
                for (const unsigned long a : aux) {
                    got.push_back({static_cast<unsigned>(got.size()), *g++, *m++, a});
                }
            }
            Check(c, engine, key, delivered, got);
            ++c.queries;
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
    proxy.RegisterForPldCountChange(onPldCount, nullptr, 0);

    std::atomic<bool> finished{false};
    std::atomic<unsigned> queries{0};
    Client clients[kClients];
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < kClients; ++t) {
        threads.emplace_back([&, t] {
            RunClient(clients[t], proxy, *engine, t * kKeys / kClients, finished, queries);
        });
    }
    // Each change is delivered, and queried past, before the next.
    for (unsigned n = 0; n < kChanges; ++n) {
        engine->AnnouncePldCount();
        while (g_delivered.load() != engine->PldCount()) std::this_thread::yield();
        const unsigned until = queries.load() + kQueriesPerChange;
        while (queries.load() < until) std::this_thread::yield();
    }
    finished = true;
    for (std::thread& t : threads) t.join();
    proxy.stop_y4IpcToClientProc();

    unsigned total = 0;
    for (const Client& c : clients) {
        EXPECT_EQ(c.failed, 0u);
        EXPECT_EQ(c.stale, 0u);
        EXPECT_EQ(c.wrong, 0u);
        total += c.queries;
    }
    // At most one fetch per key between two changes.
    EXPECT_LE(engine->fetches.load(), (kChanges + 1) * kKeys) << total << " queries";
}

}  // namespace
