// A client process of the load test: e2e_client ENGINE P T OPS TOTAL. One ZvPldProxy on ENGINE,
// registered for value changes, prints "ready"; once its stdin ends, T threads, thread t
// writing 1..OPS to point 1 + P * T + t of device 1 and reading each back, while TOTAL changes
// are drained. It prints "load: R of 2*T*OPS replies right, C of TOTAL changes, gaps G".
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <map>
#include <thread>
#include <vector>

#include "ZvPldProxy.h"
#include "ZvPldTypes.h"

namespace {

// Filled by CheckValueChange on the main thread.
std::size_t g_changes = 0;
int g_gaps = 0;
std::uint32_t g_lastSequence = 0;
std::map<std::uint32_t, std::int32_t> g_lastValue;  // by GddId

void onValueChange(void*, const ZvValChgInfo* info) {
    const std::uint32_t raw =
        info->length == 2 ? (std::uint32_t{info->pData[0]} << 16) | info->pData[1] : 0xFFFFFFFF;
    const auto value = static_cast<std::int32_t>(raw);
    // A gap: a sequence number skipped, or a point's values out of the order written.
    g_gaps += (g_changes++ > 0 && info->sequence != g_lastSequence + 1) ||
              value != g_lastValue[info->valueId] + 1;
    g_lastSequence = info->sequence;
    g_lastValue[info->valueId] = value;
}

}  // namespace

int main(int, char** argv) {
    const int proc = std::atoi(argv[2]), threads = std::atoi(argv[3]), ops = std::atoi(argv[4]);
    const std::size_t total = std::strtoul(argv[5], nullptr, 10);
    ZvPldProxy proxy(argv[1], "e2e_client");
    proxy.RegisterForValueChange(onValueChange, nullptr, 0);
    std::cout << "ready" << std::endl;
    std::cin.get();  // until its input ends

    std::atomic<int> replies{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&proxy, &replies, proc, threads, ops, t] {
            const auto gddId = static_cast<unsigned short>(1 + proc * threads + t);
            for (int v = 1; v <= ops; ++v) {
                replies += proxy.SetValueSInt32(v, 1, gddId, 1, 0, 0, 0, 0) == 0;
                int read = -1;
                replies += proxy.GetValueSInt32(&read, 1, gddId, 1, 0, 0, 0) == 0 && read == v;
            }
        });
    }
    // Until every change came, or none for about 5 s.
    for (int idle = 0; g_changes < total && idle < 2500; ++idle) {
        const std::size_t before = g_changes;
        proxy.CheckValueChange();
        if (g_changes != before) idle = 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    for (std::thread& w : workers) w.join();
    std::cout << "load: " << replies << " of " << 2 * threads * ops << " replies right, "
              << g_changes << " of " << total << " changes, gaps " << g_gaps << std::endl;
}
