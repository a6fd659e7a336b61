// The captured catalogue as a catalogue file.
#include <nlohmann/json.hpp>

#include "Capture.h"

namespace pldctl {
namespace {

using nlohmann::ordered_json;

// One line of JSON. Texts are escaped to ASCII, so that the file is the same whatever the
// terminal; bytes that are no UTF-8 (an engine's state name may hold any) become U+FFFD.
std::string line(const ordered_json& j) {
    return j.dump(-1, ' ', true, ordered_json::error_handler_t::replace);
}

const char* typeName(zvsim::Kind kind) {
    switch (kind) {
        case zvsim::Kind::UInt:
            return "uint";
        case zvsim::Kind::Text:
            return "text";
        case zvsim::Kind::Enum:
            return "enum";
        default:
            return "int";
    }
}

ordered_json pointJson(const zvsim::Point& p) {
    ordered_json j;
    j["gddId"] = p.gddId;
    if (!p.label.empty()) j["label"] = p.label;
    if (!p.description.empty()) j["description"] = p.description;
    j["type"] = typeName(p.kind);
    if (p.dataType != static_cast<std::uint32_t>(p.kind) + 1) j["dataType"] = p.dataType;
    if ((p.accessRights & zvsim::kWrite) != 0) j["access"] = "rw";
    if (p.normFactor != 1) j["normFactor"] = p.normFactor;
    if (p.uomId != 0) j["uomId"] = p.uomId;
    if (!p.units.empty()) j["units"] = p.units;
    if (p.arrayDim != 1) j["arrayDim"] = p.arrayDim;
    if (p.kind == zvsim::Kind::Enum) {
        j["enumType"] = p.enumType;
        ordered_json states = ordered_json::array();
        for (const zvsim::State& s : p.states) {
            states.push_back(ordered_json{{"value", s.value}, {"name", s.name}});
        }
        j["states"] = states;
    }
    if (p.kind == zvsim::Kind::Text) {
        j["values"] = p.texts;
    } else {
        j["values"] = p.values;
    }
    if (p.fails != 0) j["fails"] = p.fails;
    if (p.report != 0) j["report"] = p.report;
    return j;
}

ordered_json reportJson(const zvsim::Report& r) {
    ordered_json j;
    j["gddId"] = r.gddId;
    j["labels"] = r.labels;
    if (r.auxValue != 0) j["auxValue"] = r.auxValue;
    if (r.parent != 0) j["parent"] = ordered_json{{"gddId", r.parent}, {"module", r.parentModule}};
    if (!r.ancestorRecord) j["ancestorRecord"] = false;
    return j;
}

// `"key": [` then the items, one a line, then `]`.
void list(std::string& out, const std::string& indent, const char* key,
          const std::vector<std::string>& items, bool last) {
    out += indent + "\"" + key + "\": [";
    for (std::size_t i = 0; i < items.size(); ++i) {
        out += (i == 0 ? "\n" : ",\n") + indent + "  " + items[i];
    }
    out += (items.empty() ? "]" : "\n" + indent + "]") + (last ? "\n" : ",\n");
}

void device(std::string& out, const zvsim::Device& d) {
    std::vector<std::pair<const char*, ordered_json>> fields{{"index", d.index}};
    if (d.offline) fields.emplace_back("offline", true);
    if (d.identity) {
        fields.emplace_back("productIdentity", ordered_json{{"ids", d.identity->ids},
                                                            {"revision", d.identity->revision}});
    }
    if (!d.fdmVersion.empty()) fields.emplace_back("fdmVersion", d.fdmVersion);
    if (d.maxAncestors != 0) fields.emplace_back("maxAncestors", d.maxAncestors);
    out += "    {\n";
    for (const auto& [key, value] : fields) {
        out += std::string("      \"") + key + "\": " + line(value) + ",\n";
    }
    std::vector<std::string> points, reports;
    for (const auto& entry : d.points) points.push_back(line(pointJson(entry.second)));
    for (const auto& entry : d.reports) reports.push_back(line(reportJson(entry.second)));
    list(out, "      ", "points", points, reports.empty());
    if (!reports.empty()) list(out, "      ", "reports", reports, true);
    out += "    }";
}

}  // namespace

std::string CatalogueText(const zvsim::Catalogue& catalogue) {
    std::string out = "{\n  \"tickMs\": " + std::to_string(catalogue.tickMs) + ",\n";
    out += "  \"activeEvents\": " +
           line(ordered_json{{"pieceSize", catalogue.pieceSize},
                             {"delivery", catalogue.answerDelivery == zvsim::AnswerDelivery::Process
                                              ? "process"
                                              : "thread"}}) +
           ",\n  \"devices\": [";
    bool first = true;
    for (const auto& entry : catalogue.devices) {
        out += first ? "\n" : ",\n";
        first = false;
        device(out, entry.second);
    }
    out += catalogue.devices.empty() ? "],\n" : "\n  ],\n";
    std::vector<std::string> events;
    for (const auto& [id, e] : catalogue.events) {
        ordered_json j{{"id", id}, {"group", e.groupId}};
        if (e.deviceIdx != 0) j["device"] = e.deviceIdx;
        if (!e.label.empty()) j["label"] = e.label;
        j["state"] = e.state;
        events.push_back(line(j));
    }
    list(out, "  ", "events", events, true);
    return out + "}\n";
}

}  // namespace pldctl
