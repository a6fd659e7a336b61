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

using zvbench::Compare;
using zvbench::FixedEngine;

constexpr unsigned short kKeys = 1000;
constexpr unsigned short kDevice = 1;
constexpr unsigned short kModule = 1;
constexpr unsigned short kLevel = 1;

unsigned short GddIdOf(unsigned i) {
    return static_cast<unsigned short>(100 + i);
}

pthread_mutex_t g_pldCntMutex = PTHREAD_MUTEX_INITIALIZER;
std::uint8_t g_stale = 0;

// The query's lock and the cache live on the heap, as the proxy's do.
struct Cache {
    std::unique_ptr<ZvLinuxMutex> lock = std::make_unique<ZvLinuxMutex>();
    std::unique_ptr<std::map<ZvAncestorInfoBufKey, ZvPldEngAncestors*>> map =
        std::make_unique<std::map<ZvAncestorInfoBufKey, ZvPldEngAncestors*>>();
    Cache() {
        FixedEngine engine;
        const std::uint32_t size = static_cast<std::uint32_t>(
            sizeof(ZvPldEngAncestors) + FixedEngine::kAncestors * sizeof(ZvPldEngAncestorEntry));
        for (unsigned i = 0; i < kKeys; ++i) {
            void* buf = std::malloc(size);
            ZvVelRprtDfn rprt{kDevice, engine.GetPointsRprt(kDevice, GddIdOf(i)),
                              static_cast<std::uint16_t>(kModule - 1), buf, size};
            engine.GetRprtAncstr(&rprt);
            map->emplace(ZvAncestorInfoBufKey(kDevice, GddIdOf(i), kModule),
                         static_cast<ZvPldEngAncestors*>(buf));
        }
    }
    ~Cache() {
        for (auto& entry : *map) std::free(entry.second);
    }
};

// Kept out of line and its arguments opaque, as a call into the proxy's library is.
__attribute__((noipa)) int CachedLevelByHand(Cache& cache, unsigned short* auxValue,
                                             unsigned short* reportMmIdx,
                                             unsigned long* reportGddId, unsigned short level,
                                             unsigned short deviceIdx, unsigned short gddId,
                                             unsigned short mmIdx) {
    cache.lock->Lock();
    pthread_mutex_lock(&g_pldCntMutex);
    const bool stale = g_stale != 0;
    pthread_mutex_unlock(&g_pldCntMutex);
    int rc = 2;
    const auto found =
        stale ? cache.map->end() : cache.map->find(ZvAncestorInfoBufKey(deviceIdx, gddId, mmIdx));
    if (found != cache.map->end() && found->second->nmbrAncstrs >= level) {
        const ZvPldEngAncestors& rec = *found->second;
        if (level == 0) {
            *auxValue = static_cast<unsigned short>(rec.auxValue);
            *reportMmIdx = static_cast<unsigned short>(rec.mmIdx + 1);
            *reportGddId = rec.gddId;
        } else {
            const ZvPldEngAncestorEntry& entry = rec.ancstrs[level - 1];
            *auxValue = static_cast<unsigned short>(entry.auxValue);
            *reportMmIdx = static_cast<unsigned short>(entry.mmIdx + 1);
            *reportGddId = entry.gddId;
        }
        rc = 0;
    }
    cache.lock->Unlock();
    return rc;
}

// The answer for the i-th key at kLevel, as FixedEngine makes it.
bool Expected(unsigned i, unsigned short auxValue, unsigned short mmIdx, unsigned long gddId) {
    const unsigned long report = GddIdOf(i) + 1000ul + kLevel;
    return gddId == report && mmIdx == kModule && auxValue == 2 * report;
}

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
