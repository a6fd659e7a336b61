// Notifications of all three kinds flooded from the simulated engine's delivering thread, drained
// by two client threads per queue: each comes out once and intact, each drainer's share in order.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <numeric>
#include <thread>
#include <vector>

#include "ZvPldEngine.h"
#include "ZvPldProxy.h"
#include "sim/SimEngine.h"

namespace {

constexpr std::uint32_t kPerKind = ZVPLD_STRESS_PER_KIND;
constexpr std::uint16_t kUnits = 8;

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

void ExpectOnceEachInOrder(int kind, const Drained (&d)[2], std::uint32_t first) {
    EXPECT_EQ(d[0].wrong + d[1].wrong, 0) << "kind " << kind << ": out of order or damaged";
    std::vector<std::uint32_t> all(d[0].taken), sent(kPerKind);
    all.insert(all.end(), d[1].taken.begin(), d[1].taken.end());
    std::sort(all.begin(), all.end());
    std::iota(sent.begin(), sent.end(), first);
    EXPECT_TRUE(all == sent) << "kind " << kind << ": " << all.size() << " taken of " << kPerKind;
}

TEST(NotificationStress, EveryNotificationArrivesOnceInCaptureOrderToTwoDrainersPerQueue) {
    zvsim::Catalogue catalogue = zvsim::Catalogue::BuiltIn();
    catalogue.tickMs = 0;  // every notification is the flood's
    const auto engine = std::make_shared<zvsim::SimEngine>(catalogue);
    ZvPldSetEngineFactory([engine](const char*, const char*, const char*) { return engine; });
    ZvPldProxy proxy("sim", "stress-test");
    ZvPldSetEngineFactory(nullptr);
    proxy.RegisterForPldCountChange(onPldCount, nullptr, 0);
    proxy.RegisterForEventChange(onEvent, nullptr, 0);
    proxy.RegisterForValueChange(onValueChange, nullptr, 0);

    std::atomic<bool> delivered{false};
    std::vector<std::thread> drainers;
    Drained drained[3][2];  // PLD counts, events, value changes
    for (int kind = 0; kind < 3; ++kind) {
        for (Drained& d : drained[kind]) {
            drainers.emplace_back([&d, &proxy, &delivered, kind] {
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
    engine->Flood(kPerKind, kUnits);
    engine->Flush();
    delivered = true;
    for (std::thread& t : drainers) t.join();
    proxy.stop_y4IpcToClientProc();
    EXPECT_EQ(g_lastCount.load(), 1 + kPerKind);
    EXPECT_EQ(g_countsOutOfTurn.load(), 0);
    for (int kind = 0; kind < 3; ++kind) ExpectOnceEachInOrder(kind, drained[kind], kind ? 1 : 2);
}

}  // namespace
