// Notifications of all three kinds flooded from the simulated engine's delivering thread, drained
// by two client threads per queue. Each must come out exactly once, intact and in capture order:
// each drainer sees its share in increasing order, and together they see every one.
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

// What one draining thread took, in the order in which it took it.
struct Drained {
    std::vector<std::uint32_t> taken;  // sequence numbers; for PLD counts the counts
    int wrong = 0;                     // taken out of order, or not as the engine sent it
    void take(std::uint32_t n, bool intact = true) {
        wrong += !intact || (!taken.empty() && n <= taken.back());
        taken.push_back(n);
    }
};
thread_local Drained* t_drained = nullptr;

// The PLD counts handed over directly, on the delivering thread: each one more than the last.
struct Direct {
    std::atomic<unsigned long> last{0};
    std::atomic<int> outOfTurn{0};
};
void onPldCount(void* context, unsigned long count) {
    auto& direct = *static_cast<Direct*>(context);
    direct.outOfTurn += count != direct.last.exchange(count) + 1;
}

// A flood's event carries its round as the id and, in 16 bits, as the state; its value change
// carries units sequence + k.
void onEvent(void* context, const ZvVEventInfo* info) {
    t_drained->take(info->sequence,
                    context == nullptr && info->deviceIdx == 0xFFFF && info->groupId == 0 &&
                        info->eventState == static_cast<std::uint16_t>(info->eventId));
}
void onValueChange(void* context, const ZvValChgInfo* info) {
    bool intact = context == nullptr && info->length == kUnits && info->deviceIdx == 0xFFFF &&
                  info->mmIdx == 0 && info->dataType == 0;
    for (std::uint16_t k = 0; intact && k < info->length; ++k) {
        intact = info->pData[k] == static_cast<std::uint16_t>(info->sequence + k);
    }
    t_drained->take(info->sequence, intact);
}

// Both drainers of a queue took their items in order and intact, and together items first to
// first + kPerKind - 1 exactly once.
void ExpectOnceEachInOrder(const char* kind, const Drained (&d)[2], std::uint32_t first) {
    EXPECT_EQ(d[0].wrong + d[1].wrong, 0) << kind << ": out of order or damaged";
    std::vector<std::uint32_t> all(d[0].taken), sent(kPerKind);
    all.insert(all.end(), d[1].taken.begin(), d[1].taken.end());
    std::sort(all.begin(), all.end());
    std::iota(sent.begin(), sent.end(), first);
    EXPECT_TRUE(all == sent) << kind << ": " << all.size() << " taken of " << kPerKind;
}

TEST(NotificationStress, EveryNotificationArrivesOnceInCaptureOrderToTwoDrainersPerQueue) {
    // No engine ticks: every notification is the flood's.
    zvsim::Catalogue catalogue = zvsim::Catalogue::BuiltIn();
    catalogue.tickMs = 0;
    const auto engine = std::make_shared<zvsim::SimEngine>(catalogue);
    ZvPldSetEngineFactory([engine](const char*, const char*, const char*) { return engine; });
    ZvPldProxy proxy("sim", "stress-test");
    ZvPldSetEngineFactory(nullptr);

    Direct direct;
    const std::uint32_t countBefore = engine->PldCount();
    direct.last = countBefore;
    proxy.RegisterForPldCountChange(onPldCount, &direct, 0);
    proxy.RegisterForEventChange(onEvent, &direct, 0);
    proxy.RegisterForValueChange(onValueChange, &direct, 0);

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
                    unsigned long count = 0;
                    if (kind == 0 && proxy.CheckPldCount(&count)) {
                        d.take(static_cast<std::uint32_t>(count));
                    }
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

    EXPECT_EQ(direct.last.load(), countBefore + kPerKind);
    EXPECT_EQ(direct.outOfTurn.load(), 0);
    ExpectOnceEachInOrder("PLD count", drained[0], countBefore + 1);
    ExpectOnceEachInOrder("event", drained[1], 1);
    ExpectOnceEachInOrder("value change", drained[2], 1);
}

}  // namespace
