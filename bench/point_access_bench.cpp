// Point reads through the proxy against the work that any read must do: fill the record from the
// arguments, lock, make the engine call, unlock, and hand the answer over (for a text: clear the
// reply buffer first, then find its end and check it is 7-bit ASCII in one pass).
#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include "Comparison.h"
#include "ZvPldProxy.h"

namespace {

using zvbench::Compare;

using zvbench::ValueSInt32ByHand;
using zvbench::ValueStringByHand;

// The message client and lock of the baseline live on the heap, as the proxy's do.
struct ByHand {
    std::unique_ptr<ZvPldMsgClient> client = std::make_unique<ZvPldMsgClient>("bench", "bench", "");
    std::unique_ptr<ZvLinuxMutex> lock = std::make_unique<ZvLinuxMutex>();
};

void GetValueStringByHand(benchmark::State& state) {
    ByHand h;
    std::string text;
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            ValueStringByHand(*h.client, *h.lock, text, 1, 100, 1, 0, 0, 0, nullptr));
        benchmark::DoNotOptimize(text.data());
    }
}
ZVPLD_BENCHMARK(GetValueStringByHand);

void GetValueStringProxy(benchmark::State& state) {
    ZvPldProxy proxy("bench", "bench");
    std::string text;
    for (auto _ : state) {
        benchmark::DoNotOptimize(proxy.GetValueString(text, 1, 100, 1, 0, 0, 0, nullptr));
        benchmark::DoNotOptimize(text.data());
    }
    if (text != "21.5") state.SkipWithError("wrong answer");
}
ZVPLD_BENCHMARK(GetValueStringProxy);

[[maybe_unused]] const bool valueString =
    Compare("GetValueString", "GetValueStringProxy", "GetValueStringByHand", 1.10);

void GetValueSInt32ByHand(benchmark::State& state) {
    ByHand h;
    for (auto _ : state) {
        int v = 0;
        benchmark::DoNotOptimize(ValueSInt32ByHand(*h.client, *h.lock, &v, 1, 100, 1, 0, 0, 0));
        benchmark::DoNotOptimize(v);
    }
}
ZVPLD_BENCHMARK(GetValueSInt32ByHand);

void GetValueSInt32Proxy(benchmark::State& state) {
    ZvPldProxy proxy("bench", "bench");
    int v = 0;
    for (auto _ : state) {
        v = 0;
        benchmark::DoNotOptimize(proxy.GetValueSInt32(&v, 1, 100, 1, 0, 0, 0));
        benchmark::DoNotOptimize(v);
    }
    if (v != 215) state.SkipWithError("wrong answer");
}
ZVPLD_BENCHMARK(GetValueSInt32Proxy);

[[maybe_unused]] const bool valueSInt32 =
    Compare("GetValueSInt32", "GetValueSInt32Proxy", "GetValueSInt32ByHand", 1.10);

}  // namespace
