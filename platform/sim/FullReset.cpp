// The full reset: the engine back to the catalogue it was made with, under the catalogue's lock
// in one call, so that a test's fixture starts each test from the same engine.
#include <nlohmann/json.hpp>

#include "Delivery.h"

namespace zvsim {

void SimEngine::restartCycles() {
    m_eventRuns.clear();
    // A cycle goes on from the event's state in it.
    for (const auto& [id, event] : m_catalogue.events) {
        const auto at = std::find(event.cycle.begin(), event.cycle.end(), event.state);
        m_eventRuns[id].place = at == event.cycle.end() ? 0 : at - event.cycle.begin();
    }
}

void SimEngine::SetStartingSeed(std::uint64_t seed) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_startingSeed = seed;
}

std::string SimEngine::fullReset(const Command& c) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Catalogue next = m_loaded;
    // Clients hear of what the reset changes as of any change: the structure first (a client
    // drops what it cached of it), then each event's state and each value of a point that stays.
    if (m_pldCount.exchange(1) != 1) queuePldCount(1);
    for (const auto& [id, event] : next.events) {
        const auto was = m_catalogue.events.find(id);
        if (was != m_catalogue.events.end() && was->second.state != event.state) {
            queueEventChange(event);
        }
    }
    for (auto& [index, device] : next.devices) {
        const auto was = m_catalogue.devices.find(index);
        if (was == m_catalogue.devices.end()) continue;
        for (auto& [gddId, point] : device.points) {
            const auto p = was->second.points.find(gddId);
            if (p == was->second.points.end() || p->second.kind != point.kind ||
                p->second.modules() != point.modules()) {
                continue;
            }
            if (c.keepValues) {
                point.values = p->second.values;
                point.texts = p->second.texts;
                continue;
            }
            for (std::size_t m = 0; m < point.modules(); ++m) {
                const bool same = point.kind == Kind::Text ? point.texts[m] == p->second.texts[m]
                                                           : point.values[m] == p->second.values[m];
                if (!same) queueValueChange(index, point, m);
            }
        }
    }
    m_catalogue = std::move(next);
    m_headings.clear();
    restartCycles();
    if (m_delivery) m_delivery->clockChanged(true);
    m_journal.clear();
    const std::uint64_t seed = c.hasSeed ? c.seed : m_startingSeed;
    m_controls->clear(&seed);
    return nlohmann::json{
        {"ok", true},
        {"done", std::string("the catalogue as loaded") + (c.keepValues ? ", values kept" : "") +
                     ", every control removed, seed " + std::to_string(seed)}}
        .dump();
}

}  // namespace zvsim
