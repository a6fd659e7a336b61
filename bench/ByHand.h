// The work each hot path of the proxy cannot avoid, done by hand, and the engine behind both:
// shared by the timed benchmarks and by the program whose instructions are counted on the target.
#ifndef ZVPLD_BENCH_BYHAND_H
#define ZVPLD_BENCH_BYHAND_H

#include <pthread.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <string>

#include "ZvLinuxMutex.h"
#include "ZvPldEngine.h"
#include "ZvPldMsgClient.h"
#include "ZvPldProxy.h"
#include "ZvPldTypes.h"
#include "sim/SimEngine.h"

namespace zvbench {

// What Google Benchmark's DoNotOptimize does, for the program that runs without it: the compiler
// must assume the value is read.
template <class T>
inline void Keep(const T& value) {
    asm volatile("" : : "r,m"(value) : "memory");
}

// Answers at once and starts no thread, so that what is measured is the proxy, not the engine.
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
    // Accepted but never delivered: the benchmark calls the capture function itself.
    Y4_Status RegValueChange(ZvValueChangeFn, void*, std::uint16_t) override { return 0; }
    // Likewise a pass-through request: the benchmark delivers the answer's pieces itself.
    Y4_Status Process(ZvPldEngInfo*) override { return 0; }

    // Every point has a report, its GddId plus 1000, with kAncestors ancestors: the report's
    // GddId plus 1 to kAncestors, in its module; auxValue is the GddId doubled.
    static constexpr std::uint16_t kAncestors = 2;
    std::uint32_t GetMaxNmbrAncstrs(unsigned short) override { return kAncestors; }
    std::uint32_t GetPointsRprt(unsigned short, unsigned long gddId) override {
        return static_cast<std::uint32_t>(gddId + 1000);
    }
    Y4_Status GetRprtAncstr(ZvVelRprtDfn* rprt) override {
        if (rprt->bufSize <
            sizeof(ZvPldEngAncestors) + kAncestors * sizeof(ZvPldEngAncestorEntry)) {
            return 11;
        }
        auto* header = static_cast<ZvPldEngAncestors*>(rprt->buf);
        auto* entries = reinterpret_cast<ZvPldEngAncestorEntry*>(header + 1);
        *header = {rprt->gddId, rprt->mmIdx, 2 * rprt->gddId, kAncestors, entries};
        for (std::uint32_t k = 1; k <= kAncestors; ++k) {
            entries[k - 1] = {rprt->gddId + k, rprt->mmIdx, 2 * (rprt->gddId + k)};
        }
        return 0;
    }
};

// A text read by hand: fill the record, clear the reply, lock, the engine call, unlock, find the
// end of the reply and check it is 7-bit ASCII in one pass, assign it. Kept out of line and its
// arguments opaque, as a call into the proxy's library is.
template <class Mutex>
inline __attribute__((noipa)) int ValueStringByHand(ZvPldMsgClient& client, Mutex& lock,
                                                    std::string& text, unsigned short deviceIdx,
                                                    unsigned short gddId, unsigned short mmIdx,
                                                    unsigned short auxIdx, unsigned long uofm,
                                                    short auxParam, const char* auxText) {
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

// Every message client made from now on gets a new Engine.
template <class Engine>
void UseEngine() {
    ZvPldSetEngineFactory(
        [](const char*, const char*, const char*) -> std::shared_ptr<ZvPldEngine> {
            return std::make_shared<Engine>();
        });
}

// Kept out of line and its arguments opaque, as a call into the proxy's library is.
inline __attribute__((noipa)) int ValueSInt32ByHand(ZvPldMsgClient& client, ZvLinuxMutex& lock,
                                                    int* value, unsigned short deviceIdx,
                                                    unsigned short gddId, unsigned short mmIdx,
                                                    unsigned short auxIdx, unsigned long uofm,
                                                    short auxParam) {
    const ZvVelPntDfn rec{deviceIdx, gddId, static_cast<std::uint16_t>(mmIdx - 1), auxIdx,
                          auxParam,  "0",   static_cast<std::uint32_t>(uofm)};
    std::int32_t cell;
    lock.Lock();
    const Y4_Status status = client.GetVelPntInt32(&rec, &cell);
    lock.Unlock();
    if (status != 0) return 2;
    *value = cell;
    return 0;
}

// The value change that both sides capture: eight 16-bit units of data.
inline std::uint16_t g_data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
inline const ZvValChgInfo kInfo{1, 100, 0, 1, 8, 2, g_data};

// The queue of value-change copies made by hand.
inline pthread_mutex_t g_queueMutex = PTHREAD_MUTEX_INITIALIZER;
inline std::deque<ZvValChgInfo*> g_queue;

inline __attribute__((noipa)) void CaptureByHand(const ZvValChgInfo* info) {
    auto* copy = static_cast<ZvValChgInfo*>(std::malloc(sizeof(ZvValChgInfo)));
    std::memcpy(copy, info, sizeof(ZvValChgInfo));
    const std::size_t bytes = 2u * info->length;
    auto* data = static_cast<std::uint16_t*>(std::malloc(bytes));
    std::memcpy(data, info->pData, bytes);
    copy->pData = data;
    pthread_mutex_lock(&g_queueMutex);
    g_queue.push_back(copy);
    pthread_mutex_unlock(&g_queueMutex);
}

inline __attribute__((noipa)) void DrainByHand() {
    ZvValChgInfo* copy = nullptr;
    pthread_mutex_lock(&g_queueMutex);
    if (!g_queue.empty()) {
        copy = g_queue.front();
        g_queue.pop_front();
    }
    pthread_mutex_unlock(&g_queueMutex);
    if (copy == nullptr) return;
    Keep(copy);
    std::free(copy->pData);
    std::free(copy);
}

constexpr unsigned short kKeys = 1000;
constexpr unsigned short kDevice = 1;
constexpr unsigned short kModule = 1;
constexpr unsigned short kLevel = 1;

inline unsigned short GddIdOf(unsigned i) {
    return static_cast<unsigned short>(100 + i);
}

inline pthread_mutex_t g_pldCntMutex = PTHREAD_MUTEX_INITIALIZER;
inline std::uint8_t g_stale = 0;

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
inline __attribute__((noipa)) int CachedLevelByHand(Cache& cache, unsigned short* auxValue,
                                                    unsigned short* reportMmIdx,
                                                    unsigned long* reportGddId,
                                                    unsigned short level, unsigned short deviceIdx,
                                                    unsigned short gddId, unsigned short mmIdx) {
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
inline bool Expected(unsigned i, unsigned short auxValue, unsigned short mmIdx,
                     unsigned long gddId) {
    const unsigned long report = GddIdOf(i) + 1000ul + kLevel;
    return gddId == report && mmIdx == kModule && auxValue == 2 * report;
}

}  // namespace zvbench

#endif
