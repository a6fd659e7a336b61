// Drains the proxy's notification queues: every PLD count, then one event and one value change a
// turn; it rests a little when nothing came.
#include "Drainer.h"

#include <chrono>
#include <cstdint>

#include "ValueChange.h"

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

// The data of a value change as the engine renders the value; null for what cannot be decoded.
json decodedValue(const zvsim::Catalogue& catalogue, const ZvValChgInfo& info) {
    if (info.pData == nullptr) return nullptr;
    const auto change =
        proxywords::Decode(proxywords::PointOf(catalogue, info.deviceIdx, info.valueId), info);
    return change ? json(change->text) : json(nullptr);
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
