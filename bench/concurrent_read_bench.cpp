// Text reads from two threads at once through one proxy, against the same two threads making the
// same engine call under one shared mutex, with the rest of the read done by hand as in the
// one-thread comparison. The text read is the one with the most work outside the lock (clearing
// the reply, checking it, handing it over), which two threads can overlap: anything the proxy did
// under its lock beyond the engine call would show as lost throughput.
//
// The baseline's mutex is the platform's ZvLinuxMutex, as in the one-thread comparisons: the proxy
// must take its client lock through it. A second, watched line compares that mutex with a bare
// pthread mutex under the same load: the price of the platform's wrapper, not of the proxy.
//
// All are timed in wall-clock time: a thread waiting for the lock uses no CPU, so CPU time would
// hide the waiting that decides how many reads the two threads complete. Google Benchmark divides
// the run's wall time by the reads of both threads, so a time ratio is the inverse of the
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

// A bare pthread mutex with the platform mutex's two calls.
struct BareMutex {
    BareMutex() { pthread_mutex_init(&mutex, nullptr); }
    ~BareMutex() { pthread_mutex_destroy(&mutex); }
    int Lock() { return pthread_mutex_lock(&mutex); }
    int Unlock() { return pthread_mutex_unlock(&mutex); }
    pthread_mutex_t mutex;
};

// Kept out of line and its arguments opaque, as a call into the proxy's library is.
template <class Mutex>
__attribute__((noipa)) int ValueStringByHand(ZvPldMsgClient& client, Mutex& lock, std::string& text,
                                             unsigned short deviceIdx, unsigned short gddId,
                                             unsigned short mmIdx, unsigned short auxIdx,
                                             unsigned long uofm, short auxParam,
                                             const char* auxText) {
    const ZvVelPntDfn rec{deviceIdx, gddId,   static_cast<std::uint16_t>(mmIdx - 1), auxIdx,
                          auxParam,  auxText, static_cast<std::uint32_t>(uofm)};
    char reply[257] = {};
    lock.Lock();
    const Y4_Status status = client.GetVelPntStr(&rec, 256, reply);
    lock.Unlock();
    if (status != 0) return 2;
    std::size_t length = 0;
    for (; length < 256 && reply[length] != '\0'; ++length) {
        if (static_cast<unsigned char>(reply[length]) >= 0x80) return 2;
    }
    text.assign(reply, length);
    return 0;
}

// Shared by both threads of a run: made before they start and released after they end, on the
// heap as the proxy's are.
std::unique_ptr<ZvPldMsgClient> g_client;
std::unique_ptr<ZvLinuxMutex> g_platformMutex;
std::unique_ptr<BareMutex> g_bareMutex;
std::unique_ptr<ZvPldProxy> g_proxy;

void MakeClient(const benchmark::State&) {
    g_client = std::make_unique<ZvPldMsgClient>("bench", "bench", "");
    g_platformMutex = std::make_unique<ZvLinuxMutex>();
    g_bareMutex = std::make_unique<BareMutex>();
}

void ReleaseClient(const benchmark::State&) {
    g_bareMutex.reset();
    g_platformMutex.reset();
    g_client.reset();
}

template <class Mutex>
void ReadByHand(benchmark::State& state, Mutex& lock) {
    ZvPldMsgClient& client = *g_client;
    std::string text;
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            ValueStringByHand(client, lock, text, 1, 100, 1, 0, 0, 0, nullptr));
        benchmark::DoNotOptimize(text.data());
    }
}

void GetValueStringTwoThreadsByHand(benchmark::State& state) {
    ReadByHand(state, *g_platformMutex);
}
ZVPLD_BENCHMARK(GetValueStringTwoThreadsByHand)
    ->Setup(MakeClient)
    ->Teardown(ReleaseClient)
    ->Threads(kThreads)
    ->UseRealTime();

void GetValueStringTwoThreadsBareMutex(benchmark::State& state) {
    ReadByHand(state, *g_bareMutex);
}
ZVPLD_BENCHMARK(GetValueStringTwoThreadsBareMutex)
    ->Setup(MakeClient)
    ->Teardown(ReleaseClient)
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
    ->Setup([](const benchmark::State&) {
        g_proxy = std::make_unique<ZvPldProxy>("bench", "bench");
    })
    ->Teardown([](const benchmark::State&) { g_proxy.reset(); })
    ->Threads(kThreads)
    ->UseRealTime();

[[maybe_unused]] const bool twoThreads =
    Compare("GetValueStringTwoThreads", "GetValueStringTwoThreadsProxy/real_time/threads:2",
            "GetValueStringTwoThreadsByHand/real_time/threads:2", 1.11) &&
    Compare("PlatformMutexTwoThreads", "GetValueStringTwoThreadsByHand/real_time/threads:2",
            "GetValueStringTwoThreadsBareMutex/real_time/threads:2", 0);

}  // namespace
