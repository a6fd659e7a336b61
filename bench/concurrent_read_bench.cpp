// Text reads from two threads at once through one proxy against the same two threads making the
// same engine call under one bare pthread mutex (default attributes: what the proxy's client lock
// is on the device), with the rest of the read done by hand as in the one-thread comparison. The
// text read is the one with the most work outside the lock (clearing the reply, checking it,
// handing it over), which two threads can overlap: anything the proxy did under its lock beyond
// the engine call would show as lost throughput.
//
// Both are timed in wall-clock time: a thread waiting for the lock uses no CPU, so CPU time would
// hide the waiting that decides how many reads the two threads complete. Google Benchmark divides
// the run's wall time by the reads of both threads, so the time ratio is the inverse of the
// throughput ratio.
#include <benchmark/benchmark.h>
#include <pthread.h>

#include <memory>
#include <string>

#include "Comparison.h"
#include "ZvPldProxy.h"

namespace {

using zvbench::Compare;

constexpr int kThreads = 2;

// Kept out of line and its arguments opaque, as a call into the proxy's library is.
__attribute__((noipa)) int ValueStringBareLock(ZvPldMsgClient& client, pthread_mutex_t& lock,
                                               std::string& text, unsigned short deviceIdx,
                                               unsigned short gddId, unsigned short mmIdx,
                                               unsigned short auxIdx, unsigned long uofm,
                                               short auxParam, const char* auxText) {
    const ZvVelPntDfn rec{deviceIdx, gddId,   static_cast<std::uint16_t>(mmIdx - 1), auxIdx,
                          auxParam,  auxText, static_cast<std::uint32_t>(uofm)};
    char reply[257] = {};
    pthread_mutex_lock(&lock);
    const Y4_Status status = client.GetVelPntStr(&rec, 256, reply);
    pthread_mutex_unlock(&lock);
    if (status != 0) return 2;
    std::size_t length = 0;
    for (; length < 256 && reply[length] != '\0'; ++length) {
        if (static_cast<unsigned char>(reply[length]) >= 0x80) return 2;
    }
    text.assign(reply, length);
    return 0;
}

// Shared by both threads of a run: made before they start and released after they end. The
// client and the mutex live on the heap, as the proxy's do.
std::unique_ptr<ZvPldMsgClient> g_client;
std::unique_ptr<pthread_mutex_t> g_lock;
std::unique_ptr<ZvPldProxy> g_proxy;

void MakeBareLock(const benchmark::State&) {
    g_client = std::make_unique<ZvPldMsgClient>("bench", "bench", "");
    g_lock = std::make_unique<pthread_mutex_t>();
    pthread_mutex_init(g_lock.get(), nullptr);
}

void ReleaseBareLock(const benchmark::State&) {
    pthread_mutex_destroy(g_lock.get());
    g_lock.reset();
    g_client.reset();
}

void MakeProxy(const benchmark::State&) {
    g_proxy = std::make_unique<ZvPldProxy>("bench", "bench");
}

void ReleaseProxy(const benchmark::State&) {
    g_proxy.reset();
}

void GetValueStringTwoThreadsBareLock(benchmark::State& state) {
    ZvPldMsgClient& client = *g_client;
    pthread_mutex_t& lock = *g_lock;
    std::string text;
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            ValueStringBareLock(client, lock, text, 1, 100, 1, 0, 0, 0, nullptr));
        benchmark::DoNotOptimize(text.data());
    }
}
ZVPLD_BENCHMARK(GetValueStringTwoThreadsBareLock)
    ->Setup(MakeBareLock)
    ->Teardown(ReleaseBareLock)
    ->Threads(kThreads)
    ->UseRealTime();

void GetValueStringTwoThreadsProxy(benchmark::State& state) {
    ZvPldProxy& proxy = *g_proxy;
    std::string text;
    for (auto _ : state) {
        benchmark::DoNotOptimize(proxy.GetValueString(text, 1, 100, 1, 0, 0, 0, nullptr));
        benchmark::DoNotOptimize(text.data());
    }
    if (text != "21.5") state.SkipWithError("wrong answer");
}
ZVPLD_BENCHMARK(GetValueStringTwoThreadsProxy)
    ->Setup(MakeProxy)
    ->Teardown(ReleaseProxy)
    ->Threads(kThreads)
    ->UseRealTime();

[[maybe_unused]] const bool twoThreads =
    Compare("GetValueStringTwoThreads", "GetValueStringTwoThreadsProxy/real_time/threads:2",
            "GetValueStringTwoThreadsBareLock/real_time/threads:2", 1.11);

}  // namespace
