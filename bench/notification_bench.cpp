// A value change captured and drained through the proxy against the work that any copy into a
// locked queue must do: allocate and copy the record and its data, append under the queue's
// mutex, take it out under the mutex again, and free both blocks.
#include <benchmark/benchmark.h>
#include <pthread.h>

#include <cstdlib>
#include <cstring>
#include <deque>

#include "Comparison.h"
#include "ZvPldProxy.h"

namespace {

using zvbench::CaptureByHand;
using zvbench::Compare;
using zvbench::DrainByHand;
using zvbench::kInfo;

long g_delivered = 0;
void onValueChange(void*, const ZvValChgInfo* info) {
    benchmark::DoNotOptimize(info);
    ++g_delivered;
}

void ValueChangeByHand(benchmark::State& state) {
    for (auto _ : state) {
        CaptureByHand(&kInfo);
        DrainByHand();
    }
}
ZVPLD_BENCHMARK(ValueChangeByHand);

void ValueChangeProxy(benchmark::State& state) {
    ZvPldProxy proxy("bench", "bench");
    proxy.RegisterForValueChange(onValueChange, nullptr, 0);
    g_delivered = 0;
    for (auto _ : state) {
        ZvPldProxy::CallbackValueChange(nullptr, &kInfo);
        proxy.CheckValueChange();
    }
    if (g_delivered != static_cast<long>(state.iterations())) state.SkipWithError("not delivered");
}
ZVPLD_BENCHMARK(ValueChangeProxy);

[[maybe_unused]] const bool valueChange =
    Compare("CaptureAndDrainValueChange", "ValueChangeProxy", "ValueChangeByHand", 1.15);

}  // namespace
