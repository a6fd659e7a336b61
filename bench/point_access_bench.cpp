// The proxy's cost on the point-access hot paths, against the work it cannot avoid: the same
// engine call made directly on a message client under a ZvLinuxMutex, and the copy into the
// caller's string or cell.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>

#include "ZvLinuxMutex.h"
#include "ZvPldMsgClient.h"
#include "ZvPldProxy.h"
#include "sim/SimEngine.h"

namespace {

// Answers at once, so that what is measured is the proxy and not the engine.
class FixedEngine : public zvsim::SimEngine {
  public:
    FixedEngine() : SimEngine(zvsim::Catalogue{}) {}
    Y4_Status GetVelPntStr(const ZvVelPntDfn*, unsigned int size, char* buf) override {
        std::strncpy(buf, "21.5", size);
        return 0;
    }
    Y4_Status GetVelPntInt32(const ZvVelPntDfn*, std::int32_t* value) override {
        *value = 215;
        return 0;
    }
};

struct Setup {
    Setup() {
        ZvPldSetEngineFactory(
            [](const char*, const char*, const char*) { return std::make_shared<FixedEngine>(); });
    }
};
const Setup setup;

void LockedEngineCallAndStringCopy(benchmark::State& state) {
    ZvPldMsgClient client("bench", "bench", "");
    ZvLinuxMutex lock;
    const ZvVelPntDfn rec{1, 100, 0, 0, 0, nullptr, 0};
    std::string text;
    for (auto _ : state) {
        char buf[257];
        buf[0] = '\0';
        lock.Lock();
        client.GetVelPntStr(&rec, 256, buf);
        lock.Unlock();
        text.assign(buf);
        benchmark::DoNotOptimize(text.data());
    }
}
BENCHMARK(LockedEngineCallAndStringCopy);

void ProxyGetValueString(benchmark::State& state) {
    ZvPldProxy proxy("bench", "bench");
    std::string text;
    for (auto _ : state) {
        proxy.GetValueString(text, 1, 100, 1, 0, 0, 0, nullptr);
        benchmark::DoNotOptimize(text.data());
    }
}
BENCHMARK(ProxyGetValueString);

void LockedEngineCallInt32(benchmark::State& state) {
    ZvPldMsgClient client("bench", "bench", "");
    ZvLinuxMutex lock;
    const ZvVelPntDfn rec{1, 100, 0, 0, 0, "0", 0};
    for (auto _ : state) {
        std::int32_t v = 0;
        lock.Lock();
        client.GetVelPntInt32(&rec, &v);
        lock.Unlock();
        benchmark::DoNotOptimize(v);
    }
}
BENCHMARK(LockedEngineCallInt32);

void ProxyGetValueSInt32(benchmark::State& state) {
    ZvPldProxy proxy("bench", "bench");
    for (auto _ : state) {
        int v = 0;
        proxy.GetValueSInt32(&v, 1, 100, 1, 0, 0, 0);
        benchmark::DoNotOptimize(v);
    }
}
BENCHMARK(ProxyGetValueSInt32);

}  // namespace

BENCHMARK_MAIN();
