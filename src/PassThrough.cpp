// Requests passed straight through to the engine: a caller's request record, the inventory, a
// device's product identity and its FDM version.
#include <cstdlib>
#include <cstring>
#include <new>

#include "Frame.h"
#include "Trace.h"
#include "ZvPldTypes.h"

using namespace zvpld;

namespace {
// Every status but 0 fails, 1 to 5 included.
constexpr StatusTable kPassThrough = StatusTable::passing(0);
constexpr int kFdmVersionSize = 20;

// The identity block's first byte counts its identifiers; its second is never 0.
bool validIdentity(const ZvProductIdentSeq& seq) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(&seq);
    return bytes[0] >= 2 && bytes[0] <= 8 && bytes[1] != 0;
}

// The request to the engine, as the caller's record or its relay has it.
int sendRequest(ZvPldEngInfo* record) {
    return request(
        "Process", kPassThrough, [record](auto& c) { return c.Process(record); },
        [](Y4_Status status) {
            __dlog_printf(kError, kTag, "%s: Failed to process http request -- Y4_Status: %d",
                          "Process", status);
        },
        [] { return kOk; });
}

}  // namespace

int ZvPldProxy::Process(ZvPldEngInfo* record) {
    if (record == nullptr) {
        __dlog_printf(kError, kTag, "%s: no request record", "Process");
        return kFailed;
    }
    // While the process traces, the caller's answer function is relayed so that its pieces are
    // traced; the caller gets them as ever.
    ZvPldEngInfo relayed;
    if (g_trace.load(std::memory_order_relaxed) != nullptr && RelayAnswer(*record, relayed)) {
        const int result = sendRequest(&relayed);
        if (result != kOk) RelayEnded(relayed);
        return result;
    }
    return sendRequest(record);
}

bool ZvPldProxy::GetPldInventory(ZvVelInventory* inventory) const {
    if (inventory == nullptr) return false;
    ZvVelInventory answer{};  // an engine that writes less than the whole record leaves zeros
    return request(
               "GetPldInventory", kPassThrough,
               [&](auto& c) { return c.GetVelServerInventory(&answer); }, [](Y4_Status) {},
               [&] {
                   std::memcpy(inventory, &answer, sizeof answer);
                   return kOk;
               }) == kOk;
}

bool ZvPldProxy::GetProdSeqId(ZvProductIdentSeq** seq, unsigned short deviceIdx) const {
    if (seq == nullptr) return false;
    ZvProductIdentSeq* block = nullptr;
    if (!ZvPldProxyAccess::callEngine(block,
                                      [deviceIdx](auto& c) { return c.GetProdSeqId(deviceIdx); })) {
        noClient("GetProdSeqId");
        return false;
    }
    if (block == nullptr) return false;
    if (!validIdentity(*block)) {
        std::free(block);
        return false;
    }
    *seq = block;
    return true;
}

std::string ZvPldProxy::GetFdmVersion(unsigned short deviceIdx) const {
    // The text is taken from the buffer while the client lock is still held. The buffer starts
    // cleared, so that only what the engine wrote is read, and a text without a NUL gives its
    // 20 characters.
    char buf[kFdmVersionSize] = {};
    std::string version;
    bool read = false;
    try {
        if (!ZvPldProxyAccess::callEngine(read, [&](auto& c) {
                c.GetVelFDMVersion(static_cast<int>(deviceIdx), kFdmVersionSize, buf);
                version.assign(buf, strnlen(buf, sizeof buf));
                return true;
            })) {
            noClient("GetFdmVersion");
        }
    } catch (const std::bad_alloc&) {
        noMemory("GetFdmVersion");
        version.clear();
    }
    return version;
}
