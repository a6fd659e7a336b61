// The simulated engine's point values as JSON text and taken back from it, for a state file that
// outlives the engine: all or nothing, each value checked against its point.
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "BoundedFile.h"
#include "SimEngine.h"

namespace zvsim {

// {"points": [{"device": D, "gddId": G, "values": [...]} or {..., "texts": [...]}, ...]}
std::string SimEngine::ValuesJson() const {
    nlohmann::json points = nlohmann::json::array();
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const auto& [index, device] : m_catalogue.devices) {
        for (const auto& [gddId, point] : device.points) {
            nlohmann::json entry = {{"device", index}, {"gddId", gddId}};
            if (point.kind == Kind::Text) {
                entry["texts"] = point.texts;
            } else {
                entry["values"] = point.values;
            }
            points.push_back(std::move(entry));
        }
    }
    return nlohmann::json{{"points", std::move(points)}}.dump();
}

void SimEngine::LoadValues(const std::string& text) {
    using nlohmann::json;
    std::lock_guard<std::mutex> lock(m_mutex);
    const std::string tooDeep = zvfiles::NestingFault(text);
    if (!tooDeep.empty()) throw std::runtime_error(tooDeep);
    Catalogue next = m_catalogue;
    try {
        const json saved = json::parse(text);
        for (const json& entry : saved.at("points")) {
            const auto index = entry.at("device").get<std::uint16_t>();
            const auto gddId = entry.at("gddId").get<std::uint32_t>();
            const std::string where =
                "device " + std::to_string(index) + " point " + std::to_string(gddId) + ": ";
            const auto dev = next.devices.find(index);
            if (dev == next.devices.end() || dev->second.points.count(gddId) == 0) {
                throw std::runtime_error(where + "not in the catalogue");
            }
            Point& p = dev->second.points.at(gddId);
            const char* key = p.kind == Kind::Text ? "texts" : "values";
            if (!entry.contains(key)) throw std::runtime_error(where + "no " + key);
            if (entry.at(key).size() != p.modules()) {
                throw std::runtime_error(where + "the catalogue has " +
                                         std::to_string(p.modules()) + " modules");
            }
            if (p.kind == Kind::Text) {
                p.texts = entry.at(key).get<std::vector<std::string>>();
                for (const std::string& t : p.texts) {
                    if (t.size() > 255) throw std::runtime_error(where + "text too long");
                }
                continue;
            }
            p.values = entry.at(key).get<std::vector<std::int64_t>>();
            for (const std::int64_t v : p.values) {
                bool fits = v >= p.min && v <= p.max;
                if (p.kind == Kind::Enum) {
                    fits = false;
                    for (const State& s : p.states) fits = fits || s.value == v;
                }
                if (!fits)
                    throw std::runtime_error(where + "value " + std::to_string(v) +
                                             " does not fit");
            }
        }
    } catch (const json::exception& e) {
        throw std::runtime_error(zvfiles::ParseFault(e.what()));
    }
    m_catalogue = std::move(next);
}

}  // namespace zvsim
