// Report hierarchy: the report queries, the cache of each point's ancestor record, and the
// hierarchy queries that read it.
#include <cstdlib>
#include <new>

#include "Frame.h"

using namespace zvpld;

namespace {

constexpr unsigned int kLabelSize = 256;  // the label buffer holds this many characters and a NUL
constexpr Y4_Status kLabelTruncated = 8;
constexpr StatusTable kLabel = StatusTable::passing(5).succeedingOn(7, kLabelTruncated);
constexpr std::uint32_t kNoMaximum = 0xFFFFFFFFu;

constexpr int kCacheFailed = 9;              // a step of the proxy's own failed
constexpr Y4_Status kNoAncestorRecord = 85;  // the engine keeps no ancestors for the report
constexpr int kHierarchyNotKept = kEngineStatusBase + 2;

// One level of a point's report hierarchy: 0 is the point's own report, k its k-th ancestor.
struct Level {
    std::uint32_t gddId;
    std::uint16_t mmIdx;
    std::uint32_t auxValue;
};

Level levelOf(const ZvPldEngAncestors& record, unsigned int level) {
    if (level == 0) return Level{record.gddId, record.mmIdx, record.auxValue};
    const ZvPldEngAncestorEntry& entry = record.ancstrs[level - 1];
    return Level{entry.gddId, entry.mmIdx, entry.auxValue};
}

std::uint16_t clientModule(std::uint16_t engineMmIdx) {
    return static_cast<std::uint16_t>(engineMmIdx + 1);
}

std::uint32_t bufferSize(std::uint32_t maxAncestors) {
    return static_cast<std::uint32_t>(sizeof(ZvPldEngAncestors) +
                                      maxAncestors * sizeof(ZvPldEngAncestorEntry));
}

// The largest maximum number of ancestors whose buffer size fits in 32 bits.
constexpr unsigned long kLargestMaximum =
    (0xFFFFFFFFu - sizeof(ZvPldEngAncestors)) / sizeof(ZvPldEngAncestorEntry);

// A block from malloc, freed unless it is handed on.
struct OwnedBlock {
    void* block;
    ~OwnedBlock() { std::free(block); }
    void* release() {
        void* handed = block;
        block = nullptr;
        return handed;
    }
};

// The frame of both hierarchy queries: under s_singletonLock, the point's ancestor record from
// the cache, given to `translate` for the result.
template <class Translate>
int withAncestors(ZvPldProxy& proxy, unsigned short deviceIdx, unsigned short gddId,
                  unsigned short mmIdx, Translate&& translate) {
    const Locked locked(ZvPldProxyAccess::singletonLock());
    ZvPldEngAncestors* record = nullptr;
    const int status =
        proxy.FillAncestorInfoForPt(&record, ZvAncestorInfoBufKey(deviceIdx, gddId, mmIdx));
    if (status == kNoAncestorRecord) return kHierarchyNotKept;
    if (status != kOk) return kFailed;  // logged by the cache
    return translate(*record);
}

}  // namespace

// Checked before an entry is read, so that reading them reads nothing but the buffer.
bool zvpld::ancestorEntriesWithin(const ZvPldEngAncestors& record, std::uint32_t size) {
    if (record.nmbrAncstrs == 0) return true;
    const auto begin = reinterpret_cast<std::uintptr_t>(&record);
    const auto first = reinterpret_cast<std::uintptr_t>(record.ancstrs);
    if (first < begin || first - begin > size || first % alignof(ZvPldEngAncestorEntry) != 0) {
        return false;
    }
    return (size - (first - begin)) / sizeof(ZvPldEngAncestorEntry) >= record.nmbrAncstrs;
}

int ZvPldProxy::GetMaxNmbrAncestors(unsigned long* maxAncestors, unsigned short deviceIdx) {
    const char* op = "GetMaxNmbrAncestors";
    return readAnswer(
        op, kNoMaximum, [deviceIdx](auto& c) { return c.GetMaxNmbrAncstrs(deviceIdx); },
        maxAncestors,
        [=] {
            __dlog_printf(kError, kTag,
                          "%s : Get maximum number of report ancestors error,device Id:%d", op,
                          deviceIdx);
        });
}

int ZvPldProxy::GetPointReportNum(unsigned long* reportGddId, unsigned short deviceIdx,
                                  unsigned short gddId) {
    const char* op = "GetPointReportNum";
    return readAnswer(
        op, 0, [deviceIdx, gddId](auto& c) { return c.GetPointsRprt(deviceIdx, gddId); },
        reportGddId,
        [=] {
            __dlog_printf(kError, kTag, "%s :No report ID for point :%d,device :%d ", op, gddId,
                          deviceIdx);
        });
}

int ZvPldProxy::GetReportLabel(std::string& label, unsigned short deviceIdx,
                               unsigned short reportGddId, unsigned short mmIdx) {
    const char* op = "GetReportLabel";
    ZvVelRprtDfn rprt{deviceIdx, reportGddId, engineModuleOrWhole(mmIdx), nullptr, kLabelSize};
    char reply[kLabelSize + 1] = {};  // no byte the engine did not write is ever read
    return request(
        op, kLabel, [&](auto& c) { return c.GetVelRprtStrLabel(&rprt, kLabelSize, reply); },
        [=](Y4_Status failed) {
            __dlog_printf(kError, kTag,
                          "%s: Unable to get report label due to error%d , GddId :%d, device Id "
                          ":%d, multi-module index: %d",
                          op, failed, reportGddId, deviceIdx, mmIdx);
        },
        [&](Y4_Status status) {
            if (status == kLabelTruncated) {
                __dlog_printf(kDebug, kTag,
                              "%s: report label was truncated to %d charactersGddId :%d", op,
                              static_cast<int>(kLabelSize), reportGddId);
            }
            return deliverText(op, kTag, reply, kLabelSize, reportGddId, label);
        });
}

void ZvPldProxy::ClearAncestorInfo() {
    for (auto& entry : m_ancestorInfoMap) std::free(entry.second);
    m_ancestorInfoMap.clear();
}

// The caller holds s_singletonLock: it alone guards the map.
int ZvPldProxy::FillAncestorInfoForPt(ZvPldEngAncestors** ancestors,
                                      const ZvAncestorInfoBufKey& key) {
    const char* op = "FillAncestorInfoForPt";
    *ancestors = nullptr;

    // A PLD-count change since the last query makes every cached record stale.
    int rc = pthread_mutex_lock(&s_pldCntWrkQueue_mutex);
    if (rc != 0) {
        __dlog_printf(kError, kTag, "%s: mutex lock error: %d", op, rc);
        return kCacheFailed;
    }
    if (s_ancestorInfoState != 0) {
        s_ancestorInfoState = 0;
        ClearAncestorInfo();
    }
    rc = pthread_mutex_unlock(&s_pldCntWrkQueue_mutex);
    if (rc != 0) {
        __dlog_printf(kError, kTag, "%s: mutex unlock error: %d", op, rc);
        return kCacheFailed;
    }

    const auto cached = m_ancestorInfoMap.find(key);
    if (cached != m_ancestorInfoMap.end()) {
        *ancestors = cached->second;
        return kOk;
    }

    unsigned long maxAncestors = 0;
    if (GetMaxNmbrAncestors(&maxAncestors, key.deviceIdx) != kOk) {
        __dlog_printf(kError, kTag, "%s Get the max number of ancestors error ,Device index :%d",
                      op, key.deviceIdx);
        return kCacheFailed;
    }
    if (maxAncestors > kLargestMaximum) {
        __dlog_printf(kError, kTag, "%s Max number of ancestors (%lu) too large, Device index :%d",
                      op, maxAncestors, key.deviceIdx);
        return kCacheFailed;
    }
    m_ancestorBufSize = bufferSize(static_cast<std::uint32_t>(maxAncestors));
    OwnedBlock buffer{std::malloc(m_ancestorBufSize)};
    if (buffer.block == nullptr) {
        noMemory(op);
        return kCacheFailed;
    }

    unsigned long reportGddId = 0;
    if (GetPointReportNum(&reportGddId, key.deviceIdx, static_cast<unsigned short>(key.gddId)) !=
        kOk) {
        __dlog_printf(kError, kTag, "%s Get reportID error,GddId :%lu, Device index:%d", op,
                      key.gddId, key.deviceIdx);
        return kCacheFailed;
    }
    if (reportGddId == 0) {
        __dlog_printf(kError, kTag, "%s No report for point ID (%lu), Device index :%d", op,
                      key.gddId, key.deviceIdx);
        return kCacheFailed;
    }

    ZvVelRprtDfn rprt{key.deviceIdx, static_cast<std::uint32_t>(reportGddId),
                      engineModule(key.mmIdx), buffer.block, m_ancestorBufSize};
    Y4_Status status = 0;
    if (!ZvPldProxyAccess::callEngine(status, [&](auto& c) { return c.GetRprtAncstr(&rprt); })) {
        noClient(op);
        return kCacheFailed;
    }
    if (status != 0) {
        if (status != kNoAncestorRecord) {
            __dlog_printf(kError, kTag,
                          "%s GetRprtAncstr error: status (%d) for point ID (%lu) and mmIdx (%d), "
                          "Device index :%d",
                          op, status, key.gddId, key.mmIdx, key.deviceIdx);
        }
        return status;
    }
    auto* record = static_cast<ZvPldEngAncestors*>(buffer.block);
    if (!ancestorEntriesWithin(*record, m_ancestorBufSize)) {
        __dlog_printf(kError, kTag,
                      "%s GetRprtAncstr error: %d ancestors do not fit the buffer of %lu bytes "
                      "for point ID (%lu), Device index :%d",
                      op, record->nmbrAncstrs, static_cast<unsigned long>(m_ancestorBufSize),
                      key.gddId, key.deviceIdx);
        return kCacheFailed;
    }
    try {
        // A record that another fill of the same key cached meanwhile stays; this one is freed.
        const auto placed = m_ancestorInfoMap.emplace(key, record);
        if (placed.second) buffer.release();
        *ancestors = placed.first->second;
    } catch (const std::bad_alloc&) {
        noMemory(op);
        return kCacheFailed;
    }
    return kOk;
}

int ZvPldProxy::GetHierarchyInfo(unsigned short* auxValue, unsigned short* reportMmIdx,
                                 unsigned long* reportGddId, unsigned short level,
                                 unsigned short deviceIdx, unsigned short gddId,
                                 unsigned short mmIdx) {
    const char* op = "GetHierarchyInfo";
    return withAncestors(*this, deviceIdx, gddId, mmIdx, [&](const ZvPldEngAncestors& rec) {
        if (rec.nmbrAncstrs < level) {
            __dlog_printf(kError, kTag, "%s : Ancestor level (%d) is too deep for point ID (%d)",
                          op, level, gddId);
            return kFailed;
        }
        const Level found = levelOf(rec, level);
        *auxValue = static_cast<unsigned short>(found.auxValue);
        *reportMmIdx = clientModule(found.mmIdx);
        *reportGddId = found.gddId;
        return kOk;
    });
}

int ZvPldProxy::GetHierarchyLists(std::list<unsigned long>& auxValues,
                                  std::list<unsigned long>& gddIds,
                                  std::list<unsigned short>& mmIdxs, unsigned short deviceIdx,
                                  unsigned short gddId, unsigned short mmIdx) {
    const char* op = "GetHierarchyLists";
    return withAncestors(*this, deviceIdx, gddId, mmIdx, [&](const ZvPldEngAncestors& rec) {
        // Built apart and spliced in, so that the caller's lists grow by every level or by none.
        std::list<unsigned long> newAuxValues, newGddIds;
        std::list<unsigned short> newMmIdxs;
        try {
            for (unsigned int level = 0; level <= rec.nmbrAncstrs; ++level) {
                const Level found = levelOf(rec, level);
                newAuxValues.push_back(found.auxValue);
                newGddIds.push_back(found.gddId);
                newMmIdxs.push_back(clientModule(found.mmIdx));
            }
        } catch (const std::bad_alloc&) {
            return noMemory(op);
        }
        auxValues.splice(auxValues.end(), newAuxValues);
        gddIds.splice(gddIds.end(), newGddIds);
        mmIdxs.splice(mmIdxs.end(), newMmIdxs);
        return kOk;
    });
}
