// The parse of a 1,000-event active-events answer, delivered as one piece, against one plain pass
// over the same text that only counts its separators. The client's deleting of the records is
// left out of the timing: it is the client's work, not the parse's.
#include <benchmark/benchmark.h>

#include <list>
#include <string>

#include "Comparison.h"
#include "ZvPldProxy.h"

namespace {

using zvbench::Compare;

constexpr unsigned kGroups = 10;
constexpr unsigned kPerGroup = 100;
constexpr long kEvents = kGroups * kPerGroup;

// Ten groups of a hundred events each, with the engine's kind of numbers.
const std::string& Answer() {
    static const std::string text = [] {
        std::string t;
        for (unsigned g = 0; g < kGroups; ++g) {
            t += "(1," + std::to_string(3000 + g) + ":";
            for (unsigned i = 0; i < kPerGroup; ++i) {
                if (i > 0) t += '|';
                t += std::to_string(40000 + g * kPerGroup + i) + "," + std::to_string(i % 4);
            }
            t += ')';
        }
        return t;
    }();
    return text;
}

__attribute__((noipa)) long CountSeparators(const char* text, std::size_t size) {
    long count = 0;
    for (std::size_t i = 0; i < size; ++i) {
        switch (text[i]) {
            case '(':
            case ')':
            case ':':
            case '|':
            case ',':
                ++count;
                break;
            default:
                break;
        }
    }
    return count;
}

void ActiveEventsByHand(benchmark::State& state) {
    const std::string& text = Answer();
    for (auto _ : state) benchmark::DoNotOptimize(CountSeparators(text.data(), text.size()));
    state.SetItemsProcessed(state.iterations() * kEvents);
}
ZVPLD_BENCHMARK(ActiveEventsByHand);

long g_delivered = 0;
void onEvents(std::list<ZvPldProxy::ActiveEvent*>* events) {
    g_delivered += static_cast<long>(events->size());
}

void ActiveEventsProxy(benchmark::State& state) {
    ZvPldProxy proxy("bench", "bench");
    std::list<ZvPldProxy::ActiveEvent*> events;
    if (proxy.GetActiveEvents(&events, onEvents, 0) != 0) state.SkipWithError("request failed");
    // One piece with room to spare: the first piece is the last.
    std::string text = Answer();
    ZvCallbackInfo cbi{};
    cbi.pUserData = &events;
    cbi.procOutBufSize = static_cast<std::uint32_t>(text.size() + 1);
    cbi.procOutLen = static_cast<std::uint32_t>(text.size());
    cbi.pProcOutBuf = &text[0];
    g_delivered = 0;
    for (auto _ : state) {
        ZvPldProxy::ProcessActiveEventsCB(&cbi);
        state.PauseTiming();
        for (ZvPldProxy::ActiveEvent* e : events) delete e;
        events.clear();
        state.ResumeTiming();
    }
    if (g_delivered != state.iterations() * kEvents) state.SkipWithError("not delivered");
    state.SetItemsProcessed(state.iterations() * kEvents);
    state.counters["events"] = kEvents;
}
ZVPLD_BENCHMARK(ActiveEventsProxy);

[[maybe_unused]] const bool activeEvents =
    Compare("ActiveEventsParse", "ActiveEventsProxy", "ActiveEventsByHand", 0);

}  // namespace
