// Drains the proxy's notification queues: every PLD count, then one event and one value change a
// turn; it rests a little when nothing came.
#include "Drainer.h"

#include <chrono>
#include <cstdint>

namespace pldweb {

using json = nlohmann::json;

namespace {

// The draining calls hand their callbacks a null context: the drainer of this thread is theirs.
struct DrainContext {
    const zvsim::Catalogue& catalogue;
    EventHub& hub;
    std::atomic<unsigned long>& drained;
};
thread_local DrainContext* t_drainer = nullptr;

const zvsim::Point* pointOf(const zvsim::Catalogue& catalogue, std::uint16_t deviceIdx,
                            std::uint32_t gddId) {
    const auto dev = catalogue.devices.find(deviceIdx);
    if (dev == catalogue.devices.end()) return nullptr;
    const auto pnt = dev->second.points.find(gddId);
    return pnt == dev->second.points.end() ? nullptr : &pnt->second;
}

// The data of a value change as the engine renders the value: numbers and states come as two
// 16-bit units, high half first; texts one unit a character. Null for what cannot be decoded.
json decodedValue(const zvsim::Catalogue& catalogue, const ZvValChgInfo& info) {
    const zvsim::Point* point = pointOf(catalogue, info.deviceIdx, info.valueId);
    if (point == nullptr || info.pData == nullptr) return nullptr;
    if (point->kind == zvsim::Kind::Text) {
        std::string text;
        for (std::uint16_t i = 0; i < info.length; ++i) {
            const std::uint16_t c = info.pData[i];
            text += c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?';
        }
        return text;
    }
    if (info.length != 2) return nullptr;
    const std::uint32_t raw = (std::uint32_t{info.pData[0]} << 16) | info.pData[1];
    const std::int64_t value = point->kind == zvsim::Kind::Int
                                   ? std::int64_t{static_cast<std::int32_t>(raw)}
                                   : std::int64_t{raw};
    return zvsim::RenderValue(*point, value);
}

void valueChanged(void*, const ZvValChgInfo* info) {
    ++t_drainer->drained;
    t_drainer->hub.Publish("value", json{{"device", info->deviceIdx},
                                         {"gddId", info->valueId},
                                         {"module", info->mmIdx + 1},
                                         {"sequence", info->sequence},
                                         {"value", decodedValue(t_drainer->catalogue, *info)}});
}

void eventChanged(void*, const ZvVEventInfo* info) {
    ++t_drainer->drained;
    const zvsim::Catalogue& catalogue = t_drainer->catalogue;
    const auto event = catalogue.events.find(info->eventId);
    t_drainer->hub.Publish(
        "event", json{{"eventId", info->eventId},
                      {"groupId", info->groupId},
                      {"device", info->deviceIdx},
                      {"state", info->eventState},
                      {"sequence", info->sequence},
                      {"label", event != catalogue.events.end() ? event->second.label : ""}});
}

// Counts are read from the queue by the draining thread; nothing to do as they arrive.
void pldCountArrived(void*, unsigned long) {}

}  // namespace

Drainer::Drainer(ZvPldProxy& proxy, const zvsim::Catalogue& catalogue, EventHub& hub)
    : m_proxy(proxy), m_catalogue(catalogue), m_hub(hub) {
    proxy.RegisterForPldCountChange(pldCountArrived, nullptr, 0);
    proxy.RegisterForEventChange(eventChanged, nullptr, 0);
    proxy.RegisterForValueChange(valueChanged, nullptr, 0);
    m_thread = std::thread([this] { run(); });
}

Drainer::~Drainer() {
    m_done.store(true);
    m_thread.join();
}

void Drainer::run() {
    DrainContext context{m_catalogue, m_hub, m_drained};
    t_drainer = &context;
    while (!m_done.load()) {
        const unsigned long before = m_drained.load();
        bool any = false;
        unsigned long count = 0;
        while (m_proxy.CheckPldCount(&count)) {
            any = true;
            m_hub.Publish("count", json{{"count", count}});
        }
        m_proxy.CheckEvent();
        m_proxy.CheckValueChange();
        if (!any && m_drained.load() == before) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    t_drainer = nullptr;
}

}  // namespace pldweb
