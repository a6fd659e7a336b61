// A client process for the end-to-end tests: one ZvPldProxy on the engine text of its argument,
// registered for value changes, answering each line on stdin with one line (device 1, module 1):
//   set G V            ->  "set G V: RC"
//   get G              ->  "get G: RC VALUE"
//   change             ->  "change G V", the next value change, or "change none"
//   load P T OPS TOTAL ->  T threads, thread t writing 1..OPS to point 1 + P * T + t and reading
//                          each back, while TOTAL changes are drained: "load: R of 2*T*OPS
//                          replies right, C of TOTAL changes, gaps G"
// It prints "ready" once registered.
#include <chrono>
#include <cstdint>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ZvPldProxy.h"
#include "ZvPldTypes.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Change {
    std::uint32_t sequence, gddId;
    std::int32_t value;
};
std::vector<Change> g_changes;  // filled by CheckValueChange on the draining thread

void onValueChange(void*, const ZvValChgInfo* info) {
    const std::uint32_t raw =
        info->length == 2 ? (std::uint32_t{info->pData[0]} << 16) | info->pData[1] : 0xFFFFFFFF;
    g_changes.push_back({info->sequence, info->valueId, static_cast<std::int32_t>(raw)});
}

// Until `count` changes are kept, or none came for 5 s.
void drain(ZvPldProxy& proxy, std::size_t count) {
    for (auto last = Clock::now(); g_changes.size() < count;) {
        const std::size_t before = g_changes.size();
        proxy.CheckValueChange();
        if (g_changes.size() != before) {
            last = Clock::now();
        } else if (Clock::now() - last > std::chrono::seconds(5)) {
            return;
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
}

std::string load(ZvPldProxy& proxy, int proc, int threads, int ops, std::size_t total) {
    std::vector<int> right(threads, 0);
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&proxy, &right, proc, threads, ops, t] {
            const auto gddId = static_cast<unsigned short>(1 + proc * threads + t);
            for (int v = 1; v <= ops; ++v) {
                right[t] += proxy.SetValueSInt32(v, 1, gddId, 1, 0, 0, 0, 0) == 0;
                int read = -1;
                right[t] += proxy.GetValueSInt32(&read, 1, gddId, 1, 0, 0, 0) == 0 && read == v;
            }
        });
    }
    drain(proxy, total);
    int replies = 0;
    for (int t = 0; t < threads; ++t) {
        workers[t].join();
        replies += right[t];
    }
    // A gap: a sequence number skipped, or a point's values out of the order written.
    std::map<std::uint32_t, std::int32_t> lastValue;
    int gaps = 0;
    for (std::size_t i = 0; i < g_changes.size(); ++i) {
        const Change& c = g_changes[i];
        gaps += (i > 0 && c.sequence != g_changes[i - 1].sequence + 1) ||
                c.value != lastValue[c.gddId] + 1;
        lastValue[c.gddId] = c.value;
    }
    std::ostringstream line;
    line << "load: " << replies << " of " << 2 * threads * ops << " replies right, "
         << g_changes.size() << " of " << total << " changes, gaps " << gaps;
    return line.str();
}

}  // namespace

int main(int, char** argv) {
    ZvPldProxy proxy(argv[1], "e2e_client");
    proxy.RegisterForValueChange(onValueChange, nullptr, 0);
    std::cout << "ready" << std::endl;
    for (std::string text; std::getline(std::cin, text);) {
        std::istringstream in(text);
        std::string command;
        unsigned short gddId = 0;
        int value = 0, threads = 0, ops = 0;
        std::size_t total = 0;
        in >> command >> gddId;
        g_changes.clear();
        if (command == "set") {
            in >> value;
            std::cout << text << ": " << proxy.SetValueSInt32(value, 1, gddId, 1, 0, 0, 0, 0);
        } else if (command == "get") {
            const int rc = proxy.GetValueSInt32(&value, 1, gddId, 1, 0, 0, 0);
            std::cout << text << ": " << rc << " " << value;
        } else if (command == "change") {
            drain(proxy, 1);
            std::cout << "change ";
            if (g_changes.empty()) std::cout << "none";
            for (const Change& c : g_changes) std::cout << c.gddId << " " << c.value;
        } else if (command == "load") {
            in >> threads >> ops >> total;
            std::cout << load(proxy, gddId, threads, ops, total);
        }
        std::cout << std::endl;
    }
}
