// Notifications of all three kinds under load from the simulated engine's delivering thread,
// drained by two client threads per queue while other client threads read and write points.
// Each notification must come out exactly once, intact, and in capture order: two drainers of
// one queue each see their share in increasing order, and together they see every one.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "ZvPldEngine.h"
#include "ZvPldProxy.h"
#include "ZvPldTypes.h"
#include "sim/SimEngine.h"

namespace {

constexpr std::uint32_t kPerKind = ZVPLD_STRESS_PER_KIND;
constexpr std::uint16_t kUnits = 8;
constexpr std::uint16_t kFloodDevice = 0xFFFF;  // a flood's notifications name no device

// A value change that a client's write caused: device, GddId, module (from 0) and raw value.
using Write = std::tuple<std::uint16_t, std::uint32_t, std::uint32_t, std::uint32_t>;

// What one draining thread took, in the order in which it took it.
struct Drained {
    std::vector<std::uint32_t> order;  // sequence numbers; PLD counts for that queue
    std::vector<std::pair<std::uint32_t, Write>> writes;  // by sequence number
    std::uint32_t damaged = 0;  // records or data not as the engine sent them
};
thread_local Drained* t_drained = nullptr;

// The PLD counts that reached the client's callback directly, on the delivering thread.
struct Direct {
    std::mutex mutex;
    std::vector<unsigned long> counts;
};

void onPldCount(void* context, unsigned long count) {
    auto* direct = static_cast<Direct*>(context);
    std::lock_guard<std::mutex> lock(direct->mutex);
    direct->counts.push_back(count);
}

// A flood's event carries its round as the id and, in 16 bits, as the state.
void onEvent(void* context, const ZvVEventInfo* info) {
    Drained& d = *t_drained;
    d.order.push_back(info->sequence);
    if (context != nullptr || info->deviceIdx != kFloodDevice || info->groupId != 0 ||
        info->eventState != static_cast<std::uint16_t>(info->eventId)) {
        ++d.damaged;
    }
}

// A flood's value change carries units sequence + k; a write's, the raw value, high half first.
void onValueChange(void* context, const ZvValChgInfo* info) {
    Drained& d = *t_drained;
    d.order.push_back(info->sequence);
    bool intact = context == nullptr;
    if (info->deviceIdx == kFloodDevice) {
        intact = intact && info->length == kUnits && info->mmIdx == 0 && info->dataType == 0;
        for (std::uint16_t k = 0; intact && k < info->length; ++k) {
            intact = info->pData[k] == static_cast<std::uint16_t>(info->sequence + k);
        }
    } else if (intact && info->length == 2) {
        const std::uint32_t raw = std::uint32_t{info->pData[0]} << 16 | info->pData[1];
        d.writes.push_back({info->sequence, {info->deviceIdx, info->valueId, info->mmIdx, raw}});
    } else {
        intact = false;
    }
    if (!intact) ++d.damaged;
}

// Drains one queue until the engine has delivered everything and the queue is found empty.
std::thread Drainer(Drained& d, const std::atomic<bool>& delivered, std::function<void()> drain) {
    d.order.reserve(kPerKind + kPerKind / 8);
    return std::thread([&d, &delivered, drain] {
        t_drained = &d;
        for (;;) {
            const bool last = delivered.load();  // before the drain: nothing comes after it
            const std::size_t before = d.order.size();
            drain();
            if (d.order.size() != before) continue;
            if (last) return;
            std::this_thread::yield();
        }
    });
}

// Two drainers took items 1..count (from `first` on): each in increasing order, together each
// exactly once.
void ExpectOnceEachInOrder(const char* kind, const Drained (&drainers)[2], std::uint32_t first,
                           std::uint32_t count) {
    std::vector<std::uint8_t> taken(count);
    for (const Drained& d : drainers) {
        const auto wrong =
            std::adjacent_find(d.order.begin(), d.order.end(), std::greater_equal<std::uint32_t>());
        EXPECT_TRUE(wrong == d.order.end()) << kind << ": " << *wrong << " before " << wrong[1];
        for (const std::uint32_t n : d.order) {
            if (n < first || n - first >= count) {
                ADD_FAILURE() << kind << ": " << n << " was never sent";
                return;
            }
            ++taken[n - first];
        }
    }
    const auto twice = std::count_if(taken.begin(), taken.end(), [](auto t) { return t > 1; });
    const auto never = std::count(taken.begin(), taken.end(), 0);
    EXPECT_EQ(twice, 0) << kind << ": taken twice";
    EXPECT_EQ(never, 0) << kind << ": never taken";
}

// A client thread's round of point operations; a failure names the operation and what it got.
struct Client {
    std::function<std::string(ZvPldProxy&, std::uint32_t round)> step;
    std::vector<Write> writes;  // in the order written
    std::uint32_t rounds = 0;
    std::string failure;
};

TEST(NotificationStress, EveryNotificationArrivesOnceInCaptureOrderWhileClientsUseThePoints) {
    // No engine ticks: every notification is the flood's or a client's write, so the totals
    // are known.
    zvsim::Catalogue catalogue = zvsim::Catalogue::BuiltIn();
    catalogue.tickMs = 0;
    const auto engine = std::make_shared<zvsim::SimEngine>(catalogue);
    ZvPldSetEngineFactory([engine](const char*, const char*, const char*) { return engine; });
    ZvPldProxy proxy("sim", "stress-test");
    ZvPldSetEngineFactory(nullptr);  // the message client holds the engine from here on

    Direct direct;
    proxy.RegisterForPldCountChange(onPldCount, &direct, 0);
    proxy.RegisterForEventChange(onEvent, &direct, 0);
    proxy.RegisterForValueChange(onValueChange, &direct, 0);

    // Each client writes points of its own, so a read gives back what it wrote last.
    Client clients[2];
    clients[0].step = [&w = clients[0].writes](ZvPldProxy& p, std::uint32_t round) {
        const int value = 200 + static_cast<int>(round % 651);  // the setpoint's range
        int back = 0;
        std::string text;
        if (p.SetValueSInt32(value, 1, 101, 1, 0, 0, 0, 0) != 0) return std::string("set 101");
        w.emplace_back(1, 101, 0, value);
        if (p.GetValueSInt32(&back, 1, 101, 1, 0, 0, 0) != 0 || back != value) {
            return "101 read back " + std::to_string(back) + " for " + std::to_string(value);
        }
        const std::string shown = std::to_string(value / 10) + "." + std::to_string(value % 10);
        if (p.GetValueString(text, 1, 101, 1, 0, 0, 0, nullptr) != 0 || text != shown) {
            return "101 shown as " + text + " for " + shown;
        }
        return std::string();
    };
    clients[1].step = [&w = clients[1].writes](ZvPldProxy& p, std::uint32_t round) {
        const unsigned short module = 1 + round % 3;
        const unsigned int value = round % 101;  // the pump speed's range
        unsigned int back = 0;
        std::string text;
        if (p.SetValueUInt32(value, 2, 200, module, 0, 0, 0, 0) != 0) return std::string("set 200");
        w.emplace_back(2, 200, module - 1, value);
        if (p.GetValueUInt32(&back, 2, 200, module, 0, 0, 0) != 0 || back != value) {
            return "200 read back " + std::to_string(back) + " for " + std::to_string(value);
        }
        if (p.GetLabelString(text, 1, 103, 1, 0, nullptr) != 0 || text != "Burner starts") {
            return "103 labelled " + text;
        }
        return std::string();
    };

    std::atomic<bool> flooded{false};
    std::atomic<bool> delivered{false};
    std::vector<std::thread> threads;
    for (Client& c : clients) {
        threads.emplace_back([&c, &proxy, &flooded] {
            while (!flooded.load() && c.failure.empty()) c.failure = c.step(proxy, ++c.rounds);
        });
    }
    Drained counts[2], events[2], values[2];
    for (int i = 0; i < 2; ++i) {
        threads.push_back(Drainer(counts[i], delivered, [&proxy] {
            unsigned long count = 0;
            if (proxy.CheckPldCount(&count)) {
                t_drained->order.push_back(static_cast<std::uint32_t>(count));
            }
        }));
        threads.push_back(Drainer(events[i], delivered, [&proxy] { proxy.CheckEvent(); }));
        threads.push_back(Drainer(values[i], delivered, [&proxy] { proxy.CheckValueChange(); }));
    }

    const std::uint32_t countBefore = engine->PldCount();
    engine->Flood(kPerKind, kUnits);
    engine->Flush();
    flooded.store(true);
    threads[0].join();
    threads[1].join();
    engine->Flush();  // the clients' last writes
    delivered.store(true);
    for (std::size_t i = 2; i < threads.size(); ++i) threads[i].join();
    proxy.stop_y4IpcToClientProc();

    std::vector<Write> written;
    for (const Client& c : clients) {
        EXPECT_EQ(c.failure, "") << "in round " << c.rounds;
        EXPECT_GT(c.rounds, 1u);
        written.insert(written.end(), c.writes.begin(), c.writes.end());
    }

    ASSERT_EQ(engine->PldCount() - countBefore, kPerKind);
    ExpectOnceEachInOrder("PLD count", counts, countBefore + 1, kPerKind);
    ExpectOnceEachInOrder("event", events, 1, kPerKind);
    ExpectOnceEachInOrder("value change", values, 1,
                          kPerKind + static_cast<std::uint32_t>(written.size()));
    EXPECT_EQ(events[0].damaged + events[1].damaged, 0u) << "events not as sent";
    EXPECT_EQ(values[0].damaged + values[1].damaged, 0u) << "value changes not as sent";

    // The PLD-count callback saw every count as it was captured.
    std::vector<unsigned long> expected(kPerKind);
    for (std::uint32_t i = 0; i < kPerKind; ++i) expected[i] = countBefore + 1 + i;
    std::lock_guard<std::mutex> lock(direct.mutex);
    EXPECT_TRUE(direct.counts == expected) << direct.counts.size() << " counts";

    // The clients' writes came out as written, per point and module.
    std::map<std::uint32_t, Write> bySequence;
    for (const Drained& d : values) bySequence.insert(d.writes.begin(), d.writes.end());
    std::map<std::tuple<std::uint16_t, std::uint32_t, std::uint32_t>, std::vector<std::uint32_t>>
        sent, received;
    for (const auto& [dev, gddId, mm, raw] : written) sent[{dev, gddId, mm}].push_back(raw);
    for (const auto& [seq, w] : bySequence) {
        const auto& [dev, gddId, mm, raw] = w;
        received[{dev, gddId, mm}].push_back(raw);
    }
    EXPECT_TRUE(received == sent) << bySequence.size() << " of " << written.size() << " writes";
}

}  // namespace
