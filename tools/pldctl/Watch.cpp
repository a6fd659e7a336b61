// `pldctl watch`: the engine's notifications as they arrive, timed from the start, until a time
// or a signal; then what was counted.
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "Commands.h"
#include "Notifications.h"
#include "Output.h"

namespace pldctl {
namespace {

// What is counted and when it started.
struct Counts {
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    std::atomic<unsigned long> values{0}, events{0}, counts{0};
    std::atomic<unsigned long> direct{0};  // PLD counts handed straight to the callback
};
// Static: the PLD-count callback's context must outlive the registration, which ends only when
// the proxy stops.
Counts g_watchState;
Counts* g_watch = nullptr;

// Set by SIGINT and SIGTERM; nothing else happens in the handler.
std::atomic<bool> g_interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler stores a lock-free flag");

extern "C" void onSignal(int) {
    g_interrupted.store(true);
}

void printAt(const char* kind, unsigned long seq, const std::string& text) {
    const double t =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - g_watch->start).count();
    char head[48];
    if (seq != 0) {
        std::snprintf(head, sizeof head, "%8.3fs  %-6s #%-5lu ", t, kind, seq);
    } else {
        std::snprintf(head, sizeof head, "%8.3fs  %-6s        ", t, kind);
    }
    PrintLine(head + text);
}

void watchedValue(void*, const ZvValChgInfo* info) {
    ++g_watch->values;
    printAt("value", info->sequence, ValueChangeLine(*info));
}

void watchedEvent(void*, const ZvVEventInfo* info) {
    ++g_watch->events;
    printAt("event", info->sequence, EventLine(*info));
}

// On the engine's thread, as the count arrives; CheckPldCount hands it over once more.
void pldCountArrived(void* context, unsigned long) {
    ++static_cast<Counts*>(context)->direct;
}

}  // namespace

void Watch(ZvPldProxy& proxy, const std::vector<std::string>& kinds, double seconds) {
    auto wants = [&kinds](const char* kind) {
        for (const std::string& k : kinds) {
            if (k == kind) return true;
        }
        return false;
    };
    Counts& w = g_watchState;
    w.start = std::chrono::steady_clock::now();
    g_watch = &w;
    OnStopSignals(onSignal);

    const bool counts = wants("count"), events = wants("event"), values = wants("value");
    if (counts) proxy.RegisterForPldCountChange(pldCountArrived, &w, 0);
    if (events) proxy.RegisterForEventChange(watchedEvent, nullptr, 0);
    if (values) proxy.RegisterForValueChange(watchedValue, nullptr, 0);
    char start[64] = "Watching until interrupted (Ctrl-C)";
    if (seconds > 0)
        std::snprintf(start, sizeof start, "Watching for %g s (Ctrl-C stops)", seconds);
    PrintLine(start);

    // The client's own thread drains the queues: every PLD count, then one event and one value
    // change a turn; it rests a little when nothing came.
    std::atomic<bool> done{false};
    std::thread drainer([&] {
        while (!done.load()) {
            const unsigned long before = w.values + w.events;
            bool any = false;
            unsigned long count = 0;
            while (counts && proxy.CheckPldCount(&count)) {
                any = true;
                ++w.counts;
                printAt("count", 0, "PLD count " + std::to_string(count));
            }
            if (events) proxy.CheckEvent();
            if (values) proxy.CheckValueChange();
            if (!any && w.values + w.events == before) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        }
    });
    const auto end = w.start + std::chrono::duration<double>(seconds);
    while (!g_interrupted.load() && (seconds <= 0 || std::chrono::steady_clock::now() < end)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    done.store(true);
    drainer.join();
    PrintLine(std::string(g_interrupted.load() ? "Interrupted" : "Done") + ": value changes " +
              std::to_string(w.values.load()) + ", events " + std::to_string(w.events.load()) +
              ", PLD counts " + std::to_string(w.counts.load()) + " (" +
              std::to_string(w.direct.load()) +
              " of them also straight to the PLD-count callback)");
}

}  // namespace pldctl
