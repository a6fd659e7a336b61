// A client process for the end-to-end tests: one ZvPldProxy on the engine text of its first
// argument, registered for value changes, doing what each line on stdin says and answering with
// one line on stdout (device 1, module 1 throughout):
//   set G V            ->  "set G V: RC"
//   get G              ->  "get G: RC VALUE"
//   changes N          ->  "change G V" for each of the next N value changes, or "changes: none
//                          after K" when no more arrive within a few seconds
//   load P T OPS TOTAL ->  T threads, thread t writing 1..OPS to point 1 + P * T + t and reading
//                          each back, while TOTAL value changes are drained: "load: R of 2*T*OPS
//                          replies right, C of TOTAL changes, gaps G"
// It prints "ready" once registered.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ZvPldProxy.h"
#include "ZvPldTypes.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kQuiet = std::chrono::seconds(5);  // no change for this long: none is coming

struct Change {
    std::uint32_t sequence;
    std::uint32_t gddId;
    std::int32_t value;
};

// Filled on the thread that drains, within CheckValueChange.
std::vector<Change> g_changes;

void onValueChange(void*, const ZvValChgInfo* info) {
    const std::uint32_t raw =
        info->length == 2 ? (std::uint32_t{info->pData[0]} << 16) | info->pData[1] : 0xFFFFFFFF;
    g_changes.push_back({info->sequence, info->valueId, static_cast<std::int32_t>(raw)});
}

// Drains until `count` changes are kept, or none came for kQuiet; true if all came.
bool drain(ZvPldProxy& proxy, std::size_t count) {
    auto last = Clock::now();
    while (g_changes.size() < count && Clock::now() - last < kQuiet) {
        const std::size_t before = g_changes.size();
        proxy.CheckValueChange();
        if (g_changes.size() != before) {
            last = Clock::now();
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
    return g_changes.size() >= count;
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
    for (std::thread& w : workers) w.join();
    int replies = 0;
    for (int r : right) replies += r;
    // Every point's values arrive in the order written, and the sequence has no gap.
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

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: e2e_client ENGINE\n");
        return 2;
    }
    ZvPldProxy proxy(argv[1], "e2e_client");
    proxy.RegisterForValueChange(onValueChange, nullptr, 0);
    std::cout << "ready" << std::endl;
    for (std::string text; std::getline(std::cin, text);) {
        std::istringstream in(text);
        std::string command;
        in >> command;
        unsigned short gddId = 0;
        if (command == "set") {
            int value = 0;
            in >> gddId >> value;
            std::cout << text << ": " << proxy.SetValueSInt32(value, 1, gddId, 1, 0, 0, 0, 0);
        } else if (command == "get") {
            in >> gddId;
            int value = 0;
            const int rc = proxy.GetValueSInt32(&value, 1, gddId, 1, 0, 0, 0);
            std::cout << text << ": " << rc << " " << value;
        } else if (command == "changes") {
            std::size_t n = 0;
            in >> n;
            g_changes.clear();
            const bool all = drain(proxy, n);
            for (std::size_t i = 0; i < g_changes.size(); ++i) {
                std::cout << (i > 0 ? "\n" : "") << "change " << g_changes[i].gddId << " "
                          << g_changes[i].value;
            }
            if (!all)
                std::cout << (g_changes.empty() ? "" : "\n") << "changes: none after "
                          << g_changes.size();
        } else if (command == "load") {
            int proc = 0, threads = 0, ops = 0;
            std::size_t total = 0;
            in >> proc >> threads >> ops >> total;
            g_changes.clear();
            std::cout << load(proxy, proc, threads, ops, total);
        } else {
            std::cout << "unknown: " << text;
        }
        std::cout << std::endl;
    }
    return 0;
}
