#include <stdexcept>

#include <nlohmann/json.hpp>

#include "BoundedFile.h"
#include "SimEngine.h"

namespace zvsim {
namespace {

using nlohmann::json;

[[noreturn]] void bad(const std::string& where, const std::string& what) {
    throw std::runtime_error("catalogue: " + where + ": " + what);
}

Kind kindOf(const std::string& where, const std::string& name) {
    if (name == "int") return Kind::Int;
    if (name == "uint") return Kind::UInt;
    if (name == "text") return Kind::Text;
    if (name == "enum") return Kind::Enum;
    bad(where, "type must be int, uint, text or enum, not \"" + zvfiles::Shown(name) + "\"");
}

Point pointFrom(const json& j, const std::string& where) {
    Point p;
    p.gddId = j.at("gddId").get<std::uint32_t>();
    p.label = j.value("label", "");
    p.description = j.value("description", "");
    p.kind = kindOf(where, j.value("type", "int"));
    const std::string access = j.value("access", "r");
    if (access != "r" && access != "rw") bad(where, "access must be \"r\" or \"rw\"");
    p.accessRights = access == "rw" ? kRead | kWrite : kRead;
    p.dataType = j.value("dataType", static_cast<std::uint32_t>(p.kind) + 1);
    p.uomId = j.value("uomId", 0u);
    p.normFactor = j.value("normFactor", 1u);
    if (!RendersNormFactor(p.normFactor)) {
        bad(where, "normFactor must be a power of ten (1, 10, 100, ...)");
    }
    p.arrayDim = j.value("arrayDim", 1u);
    p.units = j.value("units", std::vector<std::string>{});
    p.enumType = j.value("enumType", 0u);
    for (const json& s : j.value("states", json::array())) {
        p.states.push_back(
            State{s.at("value").get<std::uint16_t>(), s.at("name").get<std::string>()});
    }
    if (p.kind == Kind::UInt) p.min = 0;
    p.min = j.value("min", p.min);
    p.max = j.value("max", p.kind == Kind::Int ? std::int64_t{INT32_MAX} : p.max);
    p.live = j.value("live", false);
    p.step = j.value("step", std::int64_t{1});
    if (p.live && p.kind == Kind::Text) bad(where, "a text point cannot be live");
    if (p.step < 1 || p.step > UINT32_MAX) bad(where, "step must be 1 to 4294967295");
    p.report = j.value("report", 0u);
    p.fails = j.value("fails", std::int32_t{0});
    const json& values = j.at("values");
    if (!values.is_array() || values.empty()) bad(where, "values must list one value per module");
    for (const json& v : values) {
        if (p.kind == Kind::Text) {
            p.texts.push_back(v.get<std::string>());
        } else {
            p.values.push_back(v.get<std::int64_t>());
        }
    }
    return p;
}

Report reportFrom(const json& j) {
    Report r;
    r.gddId = j.at("gddId").get<std::uint32_t>();
    if (r.gddId == 0) bad("report 0", "a report's GddId must not be 0");
    r.labels = j.at("labels").get<std::vector<std::string>>();
    r.auxValue = j.value("auxValue", 0u);
    if (j.contains("parent")) {
        const json& parent = j.at("parent");
        r.parent = parent.at("gddId").get<std::uint32_t>();
        const std::int64_t module = parent.value("module", std::int64_t{0});
        if (module < 0 || module > 0xFFFE)
            bad("report " + std::to_string(r.gddId), "a parent's module must be 0 to 65534");
        r.parentModule = static_cast<std::uint16_t>(module);
    }
    r.ancestorRecord = j.value("ancestorRecord", true);
    return r;
}

ProductIdentity identityFrom(const json& j, const std::string& where) {
    ProductIdentity id;
    id.ids = j.value("ids", std::vector<std::uint16_t>{});
    if (id.ids.size() > 8) bad(where, "a product identity holds at most 8 ids");
    const std::int64_t revision = j.value("revision", std::int64_t{0});
    if (revision < 0 || revision > 255)
        bad(where, "a product identity's revision must be 0 to 255");
    id.revision = static_cast<std::uint8_t>(revision);
    return id;
}

void answerOptionsFrom(const json& j, Catalogue& cat) {
    const std::int64_t pieceSize = j.value("pieceSize", std::int64_t{cat.pieceSize});
    if (pieceSize < 1 || pieceSize > 65536) bad("activeEvents", "pieceSize must be 1 to 65536");
    cat.pieceSize = static_cast<std::uint32_t>(pieceSize);
    const std::string delivery = j.value("delivery", "thread");
    if (delivery != "thread" && delivery != "process") {
        bad("activeEvents", "delivery must be \"thread\" or \"process\"");
    }
    cat.answerDelivery = delivery == "thread" ? AnswerDelivery::Thread : AnswerDelivery::Process;
}

Event eventFrom(const json& j) {
    Event e;
    e.id = j.at("id").get<std::uint32_t>();
    const std::string where = "event " + std::to_string(e.id);
    e.groupId = j.value("group", 0u);
    e.deviceIdx = j.value("device", std::uint16_t{0});
    e.label = j.value("label", "");
    e.cycle = j.value("cycle", std::vector<std::uint16_t>{});
    e.period = j.value("period", 0u);
    if (!e.cycle.empty() && e.period == 0) bad(where, "a cycle needs a period of 1 tick or more");
    e.state = j.value("state", e.cycle.empty() ? std::uint16_t{0} : e.cycle.front());
    return e;
}

}  // namespace

Catalogue Catalogue::FromJson(const std::string& text) {
    const std::string tooDeep = zvfiles::NestingFault(text);
    if (!tooDeep.empty()) throw std::runtime_error("catalogue: " + tooDeep);
    Catalogue cat;
    try {
        const json root = json::parse(text);
        for (const json& d : root.at("devices")) {
            Device dev;
            dev.index = d.at("index").get<std::uint16_t>();
            dev.name = d.value("name", "");
            dev.offline = d.value("offline", false);
            const std::string where = "device " + std::to_string(dev.index);
            if (d.contains("productIdentity")) {
                dev.identity = identityFrom(d.at("productIdentity"), where);
            }
            dev.fdmVersion = d.value("fdmVersion", "");
            for (const json& p : d.at("points")) {
                Point point = pointFrom(
                    p, where + ", point " + zvfiles::Shown(p.value("gddId", json()).dump()));
                const std::uint32_t gddId = point.gddId;
                if (!dev.points.emplace(gddId, std::move(point)).second) {
                    bad(where, "GddId " + std::to_string(gddId) + " appears twice");
                }
            }
            dev.maxAncestors = d.value("maxAncestors", 0u);
            // The record counts its ancestors in 16 bits.
            if (dev.maxAncestors > 0xFFFF) bad(where, "maxAncestors must be 0 to 65535");
            for (const json& r : d.value("reports", json::array())) {
                Report report = reportFrom(r);
                const std::uint32_t gddId = report.gddId;
                if (!dev.reports.emplace(gddId, std::move(report)).second) {
                    bad(where, "report " + std::to_string(gddId) + " appears twice");
                }
            }
            const std::string problem = ReportProblem(dev);
            if (!problem.empty()) bad(where, problem);
            if (!cat.devices.emplace(dev.index, std::move(dev)).second) {
                bad(where, "the device index appears twice");
            }
        }
        for (const json& e : root.value("events", json::array())) {
            Event event = eventFrom(e);
            const std::uint32_t id = event.id;
            if (!cat.events.emplace(id, std::move(event)).second) {
                bad("event " + std::to_string(id), "the event id appears twice");
            }
        }
        cat.tickMs = root.value("tickMs", cat.tickMs);
        answerOptionsFrom(root.value("activeEvents", json::object()), cat);
    } catch (const json::exception& e) {
        throw std::runtime_error("catalogue: " + zvfiles::ParseFault(e.what()));
    }
    return cat;
}

Catalogue Catalogue::FromFile(const std::string& path) {
    // Some hundred times the largest catalogue made so far.
    constexpr std::size_t kMaxFileBytes = 4 << 20;
    std::string text;
    const std::string fault = zvfiles::ReadFile(path, kMaxFileBytes, text);
    if (!fault.empty()) throw std::runtime_error("catalogue: " + path + ": " + fault);
    return FromJson(text);
}

// The built-in catalogue: a little of everything a front end meets, including the engine's
// rough edges (a unit label and a report label that are not ASCII, a description and a report
// label longer than a reply buffer, a report without an ancestor record), and
// something that changes by itself every tick or two, so that a client sees notifications, and
// product identities and FDM versions that the proxy takes whole, refuses or does not get.
Catalogue Catalogue::BuiltIn() {
    return FromJson(R"json({
  "tickMs": 1000,
  "activeEvents": { "pieceSize": 16, "delivery": "thread" },
  "devices": [
    {
      "index": 1, "name": "Boiler controller",
      "productIdentity": { "ids": [258, 8256, 7], "revision": 3 },
      "fdmVersion": "FDM 04.12.0031 rel2",
      "points": [
        { "gddId": 100, "label": "Supply temperature", "type": "int", "normFactor": 10,
          "description": "Water temperature at the boiler outlet",
          "uomId": 12, "units": ["degC", "degF"], "values": [615],
          "live": true, "step": 3, "min": 540, "max": 690, "report": 1021 },
        { "gddId": 101, "label": "Supply setpoint", "type": "int", "access": "rw",
          "description": "Requested supply temperature", "normFactor": 10,
          "uomId": 12, "units": ["degC", "degF"], "min": 200, "max": 850, "values": [600],
          "report": 1020 },
        { "gddId": 102, "label": "Operating mode", "type": "enum", "access": "rw", "enumType": 1,
          "description": "Heating programme in force",
          "states": [ { "value": 0, "name": "Off" }, { "value": 1, "name": "Eco" },
                      { "value": 2, "name": "Comfort" } ],
          "values": [2], "report": 1010 },
        { "gddId": 103, "label": "Burner starts", "type": "uint", "values": [48213],
          "report": 1030 },
        { "gddId": 104, "label": "Site name", "type": "text", "access": "rw",
          "description": "Name shown on the front page", "values": ["Plant room 1"] },
        { "gddId": 105, "label": "Outdoor temperature", "type": "int", "normFactor": 10,
          "description": "Outdoor sensor, as displayed on the local panel",
          "uomId": 12, "units": ["\u00b0C"], "values": [-35], "report": 1050 },
        { "gddId": 106, "label": "Service note", "type": "text",
          "description": "Service note: the burner was serviced on site and the flue gas values were measured within limits; the ignition electrode was replaced, the condensate trap cleaned and the expansion vessel pressure checked. Next visit due in twelve months. Keep this note with the installation documents of the boiler.",
          "values": ["See description"], "report": 1040 }
      ],
      "maxAncestors": 4,
      "reports": [
        { "gddId": 1000, "labels": ["Boiler"], "auxValue": 1 },
        { "gddId": 1010, "labels": ["Heating circuit"], "auxValue": 70000,
          "parent": { "gddId": 1000 } },
        { "gddId": 1020, "labels": ["Supply line"], "auxValue": 2,
          "parent": { "gddId": 1010 } },
        { "gddId": 1021, "labels": ["Supply sensors"], "auxValue": 131075,
          "parent": { "gddId": 1020 } },
        { "gddId": 1030, "labels": ["Burner statistics"], "auxValue": 3,
          "parent": { "gddId": 1000 }, "ancestorRecord": false },
        { "gddId": 1040, "auxValue": 4, "parent": { "gddId": 1000 },
          "labels": ["Service record: burner serviced and flue gas values measured within limits; ignition electrode replaced, condensate trap cleaned, expansion vessel pressure checked, safety valve tested, heat exchanger inspected and descaled, gas train leak-tested; next visit due in twelve months"] },
        { "gddId": 1050, "labels": ["Au\u00dfenf\u00fchler"], "auxValue": 5 }
      ]
    },
    {
      "index": 2, "name": "Pump module",
      "productIdentity": { "ids": [513], "revision": 1 },
      "fdmVersion": "FDM 03.7",
      "points": [
        { "gddId": 200, "label": "Pump speed", "type": "uint", "access": "rw", "uomId": 30,
          "description": "Speed of each pump", "units": ["%"], "max": 100, "arrayDim": 1,
          "values": [40, 55, 0], "report": 2010 },
        { "gddId": 201, "label": "Pump state", "type": "enum", "enumType": 2,
          "description": "State of each pump",
          "states": [ { "value": 0, "name": "Stopped" }, { "value": 1, "name": "Running" },
                      { "value": 2, "name": "Fault" } ],
          "values": [1, 1, 0] }
      ],
      "maxAncestors": 2,
      "reports": [
        { "gddId": 2000, "labels": ["Pump group"], "auxValue": 65536 },
        { "gddId": 2010, "labels": ["Pump 1", "Pump 2", "Pump 3"], "auxValue": 20,
          "parent": { "gddId": 2000 } }
      ]
    },
    {
      "index": 3, "name": "Remote sensor", "offline": true,
      "points": [
        { "gddId": 300, "label": "Room humidity", "type": "uint", "uomId": 40, "units": ["%rH"],
          "description": "Relative humidity in the living room", "values": [45],
          "report": 3000 }
      ],
      "reports": [ { "gddId": 3000, "labels": ["Remote sensor"], "auxValue": 6 } ]
    }
  ],
  "events": [
    { "id": 1, "group": 1, "device": 1, "label": "Burner lockout", "state": 0 },
    { "id": 2, "group": 2, "device": 1, "label": "Flue gas temperature high",
      "cycle": [0, 1], "period": 2 },
    { "id": 3, "group": 1, "device": 3, "label": "Remote sensor not answering", "state": 1 },
    { "id": 4, "group": 3, "device": 2, "label": "Pump 3 stopped", "state": 2 },
    { "id": 5, "group": 3, "device": 2, "label": "System pressure low", "state": 1 }
  ]
})json");
}

}  // namespace zvsim
