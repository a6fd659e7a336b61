// A hierarchy query answered from the ancestor cache against the work that any such answer must
// do: take the query's lock, take the PLD-count mutex to read the stale flag, find the point's
// record among the cached ones, and write the level out.
#include <benchmark/benchmark.h>
#include <pthread.h>

#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>

#include "Comparison.h"
#include "ZvPldProxy.h"

namespace {

using zvbench::Cache;
using zvbench::CachedLevelByHand;
using zvbench::Compare;
using zvbench::Expected;
using zvbench::GddIdOf;
using zvbench::kDevice;
using zvbench::kKeys;
using zvbench::kLevel;
using zvbench::kModule;

void HierarchyInfoByHand(benchmark::State& state) {
    Cache cache;
    unsigned i = 0, wrong = 0;
    for (auto _ : state) {
        unsigned short aux = 0, mm = 0;
        unsigned long gdd = 0;
        benchmark::DoNotOptimize(
            CachedLevelByHand(cache, &aux, &mm, &gdd, kLevel, kDevice, GddIdOf(i), kModule));
        wrong += !Expected(i, aux, mm, gdd);
        i = i + 1 == kKeys ? 0 : i + 1;
    }
    if (wrong != 0) state.SkipWithError("wrong answer");
}
ZVPLD_BENCHMARK(HierarchyInfoByHand);

void HierarchyInfoProxy(benchmark::State& state) {
    ZvPldProxy proxy("bench", "bench");
    unsigned short aux = 0, mm = 0;
    unsigned long gdd = 0;
    for (unsigned i = 0; i < kKeys; ++i) {
        if (proxy.GetHierarchyInfo(&aux, &mm, &gdd, 0, kDevice, GddIdOf(i), kModule) != 0) {
            state.SkipWithError("cache not filled");
            return;
        }
    }
    unsigned i = 0, wrong = 0;
    for (auto _ : state) {
        aux = mm = 0;
        gdd = 0;
        benchmark::DoNotOptimize(
            proxy.GetHierarchyInfo(&aux, &mm, &gdd, kLevel, kDevice, GddIdOf(i), kModule));
        wrong += !Expected(i, aux, mm, gdd);
        i = i + 1 == kKeys ? 0 : i + 1;
    }
    if (wrong != 0) state.SkipWithError("wrong answer");
}
ZVPLD_BENCHMARK(HierarchyInfoProxy);

[[maybe_unused]] const bool hierarchyInfo =
    Compare("HierarchyInfoFromCache", "HierarchyInfoProxy", "HierarchyInfoByHand", 1.15);

}  // namespace
