// The plant: the catalogue's live points and events moved by the engine tick, and the plant
// behaviours of the run-time control moved by the plant's thread.
#include <algorithm>
#include <cmath>

#include "Controls.h"

namespace zvsim {
namespace {

std::int64_t walk(const Point& p, std::int64_t value, int& heading) {
    if (p.min >= p.max) return value;
    std::int64_t next = value + heading * p.step;
    if (next > p.max || next < p.min) {
        heading = -heading;
        next = value + heading * p.step;
    }
    return std::clamp(next, p.min, p.max);
}

std::int64_t nextState(const Point& p, std::int64_t value) {
    if (p.states.empty()) return value;
    for (std::size_t i = 0; i < p.states.size(); ++i) {
        if (p.states[i].value == value) return p.states[(i + 1) % p.states.size()].value;
    }
    return p.states.front().value;
}

}  // namespace

void SimEngine::tick() {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto& [index, device] : m_catalogue.devices) {
        if (device.offline) continue;  // the engine hears nothing from it
        for (auto& [gddId, point] : device.points) {
            if (!point.live) continue;
            std::vector<int>& headings = m_headings[{index, gddId}];
            headings.resize(point.values.size(), 1);
            for (std::size_t m = 0; m < point.values.size(); ++m) {
                const std::int64_t before = point.values[m];
                point.values[m] = point.kind == Kind::Enum ? nextState(point, before)
                                                           : walk(point, before, headings[m]);
                if (point.values[m] != before) queueValueChange(index, point, m);
            }
        }
    }
    for (auto& [id, event] : m_catalogue.events) {
        if (event.cycle.empty() || event.period == 0) continue;
        EventRun& run = m_eventRuns[id];
        if (++run.age < event.period) continue;
        run.age = 0;
        run.place = (run.place + 1) % event.cycle.size();
        if (event.cycle[run.place] == event.state) continue;
        event.state = event.cycle[run.place];
        queueEventChange(event);
    }
}

void SimEngine::runPlants() {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const Controls::PlantValue& v : m_controls->duePlants()) {
        const auto dev = m_catalogue.devices.find(v.device);
        if (dev == m_catalogue.devices.end() || dev->second.offline) continue;  // as the tick
        const auto pnt = dev->second.points.find(v.point);
        if (pnt == dev->second.points.end() || v.module >= pnt->second.values.size()) continue;
        Point& p = pnt->second;
        const double raw = std::round(v.value * p.normFactor);
        if (std::isnan(raw)) continue;  // a span too wide for a double: inf times a phase of 0
        const auto value = static_cast<std::int64_t>(
            std::clamp(raw, static_cast<double>(p.min), static_cast<double>(p.max)));
        if (p.values[v.module] == value) continue;
        p.values[v.module] = value;
        queueValueChange(v.device, p, v.module);
    }
}

}  // namespace zvsim
