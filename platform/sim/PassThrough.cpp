// Requests passed through: the active-events request, the inventory, product identities and
// FDM versions.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <vector>

#include "JournalCall.h"
#include "SimEngine.h"

namespace zvsim {
namespace {

constexpr char kEventsUrl[] = "/httpGetSet/httpGet.htm";
constexpr char kEventsQuery[] = "evt=vel~eventsWA~or~3";
constexpr std::int32_t kEventsReqType = 2;

constexpr std::uint32_t kServerVersion = (3u << 16) | 2u;  // 3.2
constexpr std::uint16_t kMaxDevices = 32;
constexpr char kServerName[] = "ZvPld simulated engine";

bool is(const char* text, const char* want) {
    return text != nullptr && std::strcmp(text, want) == 0;
}

}  // namespace

// "(h,g:e,s|e,s)(h,g)...": every group of the catalogue in ascending order, h its place from 1,
// with its active events in ascending id; "()" when there are no events at all. The answer is
// never empty: the receiver takes a piece that starts with a NUL for no piece at all.
std::string SimEngine::activeEventsText() const {
    std::map<std::uint32_t, std::vector<const Event*>> groups;
    for (const auto& [id, event] : m_catalogue.events) {
        std::vector<const Event*>& active = groups[event.groupId];
        if (event.state != 0) active.push_back(&event);
    }
    if (groups.empty()) return "()";
    std::string text;
    std::uint32_t place = 0;
    for (const auto& [groupId, active] : groups) {
        text += "(" + std::to_string(++place) + "," + std::to_string(groupId);
        char separator = ':';
        for (const Event* e : active) {
            text += separator + std::to_string(e->id) + "," + std::to_string(e->state);
            separator = '|';
        }
        text += ")";
    }
    return text;
}

Y4_Status SimEngine::Process(ZvPldEngInfo* request) {
    Call call(*this, Op::Process, CallTarget{}, -1);
    if (request == nullptr || request->pfnCallback == nullptr || !is(request->pUrl, kEventsUrl) ||
        !is(request->pQuery, kEventsQuery) || request->reqType != kEventsReqType) {
        return call.answer(kUnknownRequest);
    }
    Answer answer;
    answer.respond = request->pfnCallback;
    answer.userData = request->pUserData;
    answer.reqType = request->reqType;
    answer.reqParam = request->reqParam;
    std::unique_lock<std::mutex> lock(m_mutex);
    answer.text = activeEventsText();
    answer.pieceSize = m_catalogue.pieceSize;
    return call.answer(sendAnswer(lock, std::move(answer)));
}

Y4_Status SimEngine::GetVelServerInventory(ZvVelInventory* inventory) {
    Call call(*this, Op::GetVelServerInventory, CallTarget{}, -1);
    if (inventory == nullptr) return call.answer(kRejected);
    const VirtualClock::Time upTime = m_clock.Now();
    std::lock_guard<std::mutex> lock(m_mutex);
    std::memset(inventory, 0, sizeof *inventory);
    inventory->serverVersion = kServerVersion;
    inventory->nmbrDevices = static_cast<std::uint16_t>(m_catalogue.devices.size());
    inventory->maxDevices = kMaxDevices;
    inventory->pldCount = m_pldCount.load();
    inventory->upTimeSec = static_cast<std::uint32_t>(
        std::chrono::duration_cast<std::chrono::seconds>(upTime).count());
    std::strncpy(inventory->serverName, kServerName, sizeof inventory->serverName - 1);
    return call.answer(kOk);
}

ZvProductIdentSeq* SimEngine::GetProdSeqId(unsigned short deviceIdx) {
    Call call(*this, Op::GetProdSeqId, DeviceTarget(deviceIdx), deviceIdx);
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto dev = m_catalogue.devices.find(deviceIdx);
    if (dev == m_catalogue.devices.end()) return call.answer(nullptr, kUnknownDevice);
    if (!dev->second.identity) return nullptr;
    const ProductIdentity& identity = *dev->second.identity;
    auto* seq = static_cast<ZvProductIdentSeq*>(std::malloc(sizeof(ZvProductIdentSeq)));
    if (seq == nullptr) return call.answer(nullptr, kRejected);
    std::memset(seq, 0, sizeof *seq);
    seq->nmbrIds = static_cast<std::uint8_t>(identity.ids.size());
    seq->revision = identity.revision;
    std::copy(identity.ids.begin(), identity.ids.end(), seq->ids);
    return seq;
}

// As every text of the engine: strncpy within `size`, so a text of `size` characters or more
// arrives without its NUL.
Y4_Status SimEngine::GetVelFDMVersion(int deviceIdx, int size, char* buf) {
    Call call(*this, Op::GetVelFDMVersion, DeviceTarget(static_cast<std::uint16_t>(deviceIdx)),
              deviceIdx);
    if (buf == nullptr || size <= 0) return call.answer(kRejected);
    std::lock_guard<std::mutex> lock(m_mutex);
    if (deviceIdx < 0 || deviceIdx > 0xFFFF) return call.answer(kUnknownDevice);
    const auto dev = m_catalogue.devices.find(static_cast<std::uint16_t>(deviceIdx));
    if (dev == m_catalogue.devices.end()) return call.answer(kUnknownDevice);
    std::strncpy(buf, dev->second.fdmVersion.c_str(), static_cast<std::size_t>(size));
    return call.answer(kOk);
}

}  // namespace zvsim
