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

using zvbench::Compare;

std::uint16_t g_data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
const ZvValChgInfo kInfo{1, 100, 0, 1, 8, 2, g_data};

long g_delivered = 0;
void onValueChange(void*, const ZvValChgInfo* info) {
    benchmark::DoNotOptimize(info);
    ++g_delivered;
}

pthread_mutex_t g_mutex = PTHREAD_MUTEX_INITIALIZER;
std::deque<ZvValChgInfo*> g_queue;

__attribute__((noipa)) void CaptureByHand(const ZvValChgInfo* info) {
    auto* copy = static_cast<ZvValChgInfo*>(std::malloc(sizeof(ZvValChgInfo)));
    std::memcpy(copy, info, sizeof(ZvValChgInfo));
    const std::size_t bytes = 2u * info->length;
    auto* data = static_cast<std::uint16_t*>(std::malloc(bytes));
    std::memcpy(data, info->pData, bytes);
    copy->pData = data;
    pthread_mutex_lock(&g_mutex);
    g_queue.push_back(copy);
    pthread_mutex_unlock(&g_mutex);
}

__attribute__((noipa)) void DrainByHand() {
    ZvValChgInfo* copy = nullptr;
    pthread_mutex_lock(&g_mutex);
    if (!g_queue.empty()) {
        copy = g_queue.front();
        g_queue.pop_front();
    }
    pthread_mutex_unlock(&g_mutex);
    if (copy == nullptr) return;
    benchmark::DoNotOptimize(copy);
    std::free(copy->pData);
    std::free(copy);
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
