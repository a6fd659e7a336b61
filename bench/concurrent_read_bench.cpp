// Text reads from two threads at once through one proxy, against the same two threads making the
// same engine call around one bare pthread mutex, with the rest of the read done by hand as in
// the one-thread comparison. The text read is the one with the most work outside the lock, which
// two threads can overlap: anything the proxy did under its lock beyond the engine call would
// show as lost throughput.
//
// The engine's text read takes kCallTime here, less than a round trip to the engine's process
// takes. Around a call that returns at once, the two threads would measure how the kernel hands
// an empty critical section over, not the paths: on a two-core virtual machine that moved the
// figure by a third or more from run to run, and two by-hand runs on two mutexes differed by up
// to a half.
//
// Both are timed in wall-clock time: a thread waiting for the lock uses no CPU, so CPU time would
// hide the waiting that decides how many reads the two threads complete. Google Benchmark divides
// the run's wall time by the reads of both threads, so a time ratio is the inverse of the
// throughput ratio.
#include <benchmark/benchmark.h>
#include <pthread.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>

#include "Comparison.h"
#include "ZvPldProxy.h"

namespace {

using zvbench::Compare;

constexpr int kThreads = 2;
constexpr std::chrono::nanoseconds kCallTime{1000};

constexpr char kAnswer[] = "61.5";  // not FixedEngine's, so that each side shows its engine

// Answers after holding the caller for kCallTime.
class ServingEngine : public zvbench::FixedEngine {
  public:
    Y4_Status GetVelPntStr(const ZvVelPntDfn*, unsigned int size, char* buf) override {
        const auto until = std::chrono::steady_clock::now() + kCallTime;
        while (std::chrono::steady_clock::now() < until) {
        }
        std::strncpy(buf, kAnswer, size);
        return 0;
    }
};

// A bare pthread mutex with the platform mutex's two calls.
struct BareMutex {
    BareMutex() { pthread_mutex_init(&mutex, nullptr); }
    ~BareMutex() { pthread_mutex_destroy(&mutex); }
    int Lock() { return pthread_mutex_lock(&mutex); }
    int Unlock() { return pthread_mutex_unlock(&mutex); }
    pthread_mutex_t mutex;
};

using zvbench::ValueStringByHand;

// Shared by both threads of a run: made before they start and released after they end, on the
// heap as the proxy's are.
std::unique_ptr<ZvPldMsgClient> g_client;
std::unique_ptr<BareMutex> g_mutex;
std::unique_ptr<ZvPldProxy> g_proxy;

void GetValueStringTwoThreadsBareMutex(benchmark::State& state) {
    ZvPldMsgClient& client = *g_client;
    BareMutex& lock = *g_mutex;
    std::string text;
    int result = 0;
    for (auto _ : state) {
        result |= ValueStringByHand(client, lock, text, 1, 100, 1, 0, 0, 0, nullptr);
        benchmark::DoNotOptimize(text.data());
    }
    if (result != 0 || text != kAnswer) state.SkipWithError("wrong answer");
}
ZVPLD_BENCHMARK(GetValueStringTwoThreadsBareMutex)
    ->Setup([](const benchmark::State&) {
        const zvbench::EngineWhileAlive<ServingEngine> serving;
        g_client = std::make_unique<ZvPldMsgClient>("bench", "bench", "");
        g_mutex = std::make_unique<BareMutex>();
    })
    ->Teardown([](const benchmark::State&) {
        g_mutex.reset();
        g_client.reset();
    })
    ->Threads(kThreads)
    ->UseRealTime();

void GetValueStringTwoThreadsProxy(benchmark::State& state) {
    ZvPldProxy& proxy = *g_proxy;
    std::string text;
    int result = 0;
    for (auto _ : state) {
        result |= proxy.GetValueString(text, 1, 100, 1, 0, 0, 0, nullptr);
        benchmark::DoNotOptimize(text.data());
    }
    if (result != 0 || text != kAnswer) state.SkipWithError("wrong answer");
}
ZVPLD_BENCHMARK(GetValueStringTwoThreadsProxy)
    ->Setup([](const benchmark::State&) {
        const zvbench::EngineWhileAlive<ServingEngine> serving;
        g_proxy = std::make_unique<ZvPldProxy>("bench", "bench");
    })
    ->Teardown([](const benchmark::State&) { g_proxy.reset(); })
    ->Threads(kThreads)
    ->UseRealTime();

[[maybe_unused]] const bool twoThreads =
    Compare("GetValueStringTwoThreads", "GetValueStringTwoThreadsProxy/real_time/threads:2",
            "GetValueStringTwoThreadsBareMutex/real_time/threads:2", 1.11, zvbench::Take::Median);

}  // namespace
