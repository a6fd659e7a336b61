// The engine access: reads and writes through the proxy, as JSON answers. The catalogue only
// names the devices, points and events to list; every value is read through the proxy.
#include "EngineAccess.h"

#include <cstdlib>
#include <cstring>
#include <list>
#include <vector>

#include "EngineStatus.h"
#include "Log.h"
#include "ProxyWords.h"

namespace pldweb {

using json = nlohmann::json;

std::string describe(int rc) {
    return proxywords::Describe(rc, "failed");
}

// The HTTP status for a failed operation: an address the engine does not know is not found; what
// it refused of a known point is unprocessable.
namespace {

int httpStatusOf(int rc) {
    return rc == 0x1000 || rc == 0x1001 ? 404 : 422;
}

const zvsim::Device& deviceOf(const zvsim::Catalogue& catalogue, unsigned short index) {
    const auto dev = catalogue.devices.find(index);
    if (dev == catalogue.devices.end()) {
        throw HttpError{404, "no such device: " + std::to_string(index)};
    }
    return dev->second;
}

const zvsim::Point& pointOf(const zvsim::Device& device, unsigned short gddId) {
    const auto pnt = device.points.find(gddId);
    if (pnt == device.points.end()) {
        throw HttpError{404, "no such point: device " + std::to_string(device.index) + ", GddId " +
                                 std::to_string(gddId)};
    }
    return pnt->second;
}

// A text read through the proxy: the text, or null and the result in words.
void putText(json& into, const char* name, int rc, const std::string& text) {
    into[name] = rc == 0 ? json(text) : json(nullptr);
    if (rc != 0) into[std::string(name) + "Error"] = describe(rc);
}

// A proxy call of one of a point's fields; when it fails, the engine's status under the field's
// name in `engine`, where one object's several fields may each have their own.
template <typename Call>
int fieldCall(json& engine, const char* name, Call call) {
    json status = json::object();
    const int rc = WithEngineStatus(status, call);
    if (!status.empty()) engine[name] = status;
    return rc;
}

json pointJson(ZvPldProxy& proxy, unsigned short device, const zvsim::Point& point) {
    const auto gddId = static_cast<unsigned short>(point.gddId);
    json p{{"device", device}, {"gddId", gddId}};
    json engine = json::object();
    std::string text;
    int rc = fieldCall(engine, "label",
                       [&] { return proxy.GetLabelString(text, device, gddId, 1, 0, nullptr); });
    putText(p, "label", rc, text);
    rc = fieldCall(engine, "description",
                   [&] { return proxy.GetFullDescriptionString(text, device, gddId, 1, 0); });
    putText(p, "description", rc, text);
    rc = fieldCall(engine, "unit",
                   [&] { return proxy.GetUomLabelString(text, device, gddId, 1, 0, 0); });
    putText(p, "unit", rc, text);

    json attrs = json::object();
    for (const proxywords::Attribute& a : proxywords::kAttributes) {
        unsigned long v = 0;
        rc = fieldCall(engine, a.key, [&] { return (proxy.*a.get)(&v, device, gddId); });
        attrs[a.key] = rc == 0 ? json(v) : json(describe(rc));
    }
    p["attributes"] = attrs;

    // The engine's module count, or the catalogue's when the device does not answer.
    std::size_t modules = point.modules();
    if (attrs["modules"].is_number_unsigned()) modules = attrs["modules"].get<std::size_t>();
    json values = json::array();
    for (std::size_t m = 1; m <= modules && m <= 0xFFFF; ++m) {
        json v{{"module", m}};
        rc = WithEngineStatus(v, [&] {
            return proxy.GetValueString(text, device, gddId, static_cast<unsigned short>(m), 0, 0,
                                        0, nullptr);
        });
        putText(v, "value", rc, text);
        values.push_back(v);
    }
    p["values"] = values;

    if (point.kind == zvsim::Kind::Enum) {
        std::list<int> stateValues;
        std::list<std::string> names;
        ZvEnumStateType type{};
        rc = fieldCall(engine, "states", [&] {
            return proxy.GetVelEnumStateInfo(&stateValues, &names, &type, gddId, device);
        });
        if (rc == 0) {
            json states = json::array();
            auto name = names.begin();
            for (int v : stateValues) {
                states.push_back({{"value", v}, {"name", name != names.end() ? *name++ : ""}});
            }
            p["states"] = states;
            p["stateType"] = type.type;
        } else {
            p["states"] = nullptr;
            p["statesError"] = describe(rc);
        }
    }
    if (!engine.empty()) p["engine"] = engine;
    return p;
}

json deviceJson(ZvPldProxy& proxy, const zvsim::Device& device) {
    json points = json::array();
    for (const auto& [gddId, point] : device.points) {
        if (gddId <= 0xFFFF) points.push_back(pointJson(proxy, device.index, point));
    }
    return json{{"index", device.index},
                {"name", device.name},
                {"offline", device.offline},
                {"points", points}};
}

json deviceInfoJson(ZvPldProxy& proxy, unsigned short index) {
    json d{{"index", index}};
    ZvProductIdentSeq* seq = nullptr;
    if (proxy.GetProdSeqId(&seq, index)) {
        std::vector<unsigned> ids(seq->ids, seq->ids + (seq->nmbrIds <= 8 ? seq->nmbrIds : 8));
        d["productIdentity"] = {{"ids", ids}, {"revision", seq->revision}};
        std::free(seq);  // the block is the caller's
    } else {
        d["productIdentity"] = nullptr;  // none, or one the proxy refused
    }
    d["fdmVersion"] = proxy.GetFdmVersion(index);
    return d;
}

// GetPldInventory answers true or false: as a result code, 0 or 2.
int inventoryCall(ZvPldProxy& proxy, ZvVelInventory& inv, json& engine) {
    return WithEngineStatus(engine, [&] { return proxy.GetPldInventory(&inv) ? 0 : 2; });
}

json inventoryJson(ZvPldProxy& proxy, int& status) {
    ZvVelInventory inv{};
    json refusal{{"error", "the engine gave no inventory"}};
    if (inventoryCall(proxy, inv, refusal) != 0) {
        status = 502;
        return refusal;
    }
    status = 200;
    const std::string name(inv.serverName, strnlen(inv.serverName, sizeof inv.serverName));
    return json{{"serverName", name},
                {"serverVersion", std::to_string(inv.serverVersion >> 16) + "." +
                                      std::to_string(inv.serverVersion & 0xFFFF)},
                {"devices", inv.nmbrDevices},
                {"maxDevices", inv.maxDevices},
                {"pldCount", inv.pldCount},
                {"upTimeSec", inv.upTimeSec}};
}

json hierarchyJson(ZvPldProxy& proxy, unsigned short device, unsigned short gddId,
                   unsigned short mmIdx, int& status) {
    CollectLog log;
    unsigned long report = 0;
    json refusal = json::object();
    const int nrc =
        WithEngineStatus(refusal, [&] { return proxy.GetPointReportNum(&report, device, gddId); });
    if (nrc != 0) {
        status = nrc == 2 || nrc == 0x1000 || nrc == 0x1001 ? 404 : httpStatusOf(nrc);
        refusal["error"] = "no report holds this point: " + describe(nrc);
        refusal["log"] = log.lines;
        return refusal;
    }
    std::list<unsigned long> auxValues, gddIds;
    std::list<unsigned short> modules;
    const int rc = WithEngineStatus(refusal, [&] {
        return proxy.GetHierarchyLists(auxValues, gddIds, modules, device, gddId, mmIdx);
    });
    if (rc != 0) {
        status = rc == 0x1002 ? 404 : httpStatusOf(rc);
        refusal["error"] = rc == 0x1002 ? "report " + std::to_string(report) +
                                              ": the engine keeps no ancestor record for it"
                                        : "no hierarchy: " + describe(rc);
        refusal["report"] = report;
        refusal["log"] = log.lines;
        return refusal;
    }
    json levels = json::array();
    auto aux = auxValues.begin();
    auto module = modules.begin();
    for (const unsigned long id : gddIds) {
        json level{{"gddId", id}, {"module", *module}, {"auxValue", *aux}};
        std::string label;
        const int lrc =
            id <= 0xFFFF
                ? WithEngineStatus(level,
                                   [&] {
                                       return proxy.GetReportLabel(
                                           label, device, static_cast<unsigned short>(id), *module);
                                   })
                : 2;
        putText(level, "label", lrc, label);
        levels.push_back(level);
        ++aux;
        ++module;
    }
    status = 200;
    return json{{"report", report}, {"levels", levels}};
}

// PUT body: {"value": "65.5", "module": 1, "uofm": 0}; module and uofm may be left out.
json writeValue(ZvPldProxy& proxy, unsigned short device, unsigned short gddId,
                const std::string& body, int& status) {
    const json in = json::parse(body, nullptr, false);
    if (in.is_discarded() || !in.is_object()) {
        throw HttpError{400, "the body must be a JSON object such as {\"value\": \"65.5\"}"};
    }
    if (!in.contains("value")) throw HttpError{400, "missing field: value"};
    if (!in["value"].is_string()) throw HttpError{400, "value must be a JSON string (text)"};
    auto number = [&in](const char* name, unsigned long fallback, unsigned long min,
                        unsigned long max) {
        if (!in.contains(name)) return fallback;
        const json& v = in[name];
        if (!v.is_number_unsigned() || v.get<unsigned long>() < min ||
            v.get<unsigned long>() > max) {
            throw HttpError{400, std::string(name) + " must be a whole number from " +
                                     std::to_string(min) + " to " + std::to_string(max)};
        }
        return v.get<unsigned long>();
    };
    const auto mmIdx = static_cast<unsigned short>(number("module", 1, 1, 0xFFFF));
    const unsigned long uofm = number("uofm", 0, 0, 0xFFFFFFFFul);
    const std::string value = in["value"].get<std::string>();
    if (value.find('\0') != std::string::npos) throw HttpError{400, "value holds a NUL"};

    CollectLog log;
    json out = json::object();
    const int rc = WithEngineStatus(out, [&] {
        return proxy.SetValueString(value.c_str(), device, gddId, mmIdx, 0, uofm, 0, nullptr, 0);
    });
    out["rc"] = rc;
    out["result"] = describe(rc);
    if (rc != 0) {
        status = httpStatusOf(rc);
        out["error"] = "the write was refused: " + describe(rc);
        out["log"] = log.lines;
        return out;
    }
    std::string text;
    putText(out, "value", proxy.GetValueString(text, device, gddId, mmIdx, 0, uofm, 0, nullptr),
            text);
    status = 200;
    return out;
}

}  // namespace

Response EngineAccess::Inventory() {
    int status = 0;
    const json body = inventoryJson(m_proxy, status);
    return JsonResponse(status, body);
}

// An answer made of many engine calls first asks for the inventory, so that an engine that does
// not answer (its message client then fails every call at once) gives 502, not a page of failed
// fields.
void EngineAccess::requireEngine() {
    ZvVelInventory inv{};
    json engine = json::object();
    if (inventoryCall(m_proxy, inv, engine) != 0) {
        throw HttpError{502, "the engine does not answer", engine};
    }
}

Response EngineAccess::Devices() {
    requireEngine();
    json devices = json::array();
    for (const auto& [index, device] : m_catalogue.devices) {
        devices.push_back(deviceJson(m_proxy, device));
    }
    return JsonResponse(200, devices);
}

Response EngineAccess::Device(unsigned short index) {
    const zvsim::Device& device = deviceOf(m_catalogue, index);
    requireEngine();
    json d = deviceJson(m_proxy, device);
    d.update(deviceInfoJson(m_proxy, device.index));
    return JsonResponse(200, d);
}

Response EngineAccess::Point(unsigned short device, unsigned short gddId) {
    const zvsim::Device& d = deviceOf(m_catalogue, device);
    const zvsim::Point& point = pointOf(d, gddId);
    requireEngine();
    return JsonResponse(200, pointJson(m_proxy, d.index, point));
}

Response EngineAccess::Write(unsigned short device, unsigned short gddId, const std::string& body) {
    requireEngine();
    int status = 0;
    const json out = writeValue(m_proxy, device, gddId, body, status);
    return JsonResponse(status, out);
}

Response EngineAccess::Hierarchy(unsigned short device, unsigned short gddId,
                                 unsigned short mmIdx) {
    requireEngine();
    int status = 0;
    const json out = hierarchyJson(m_proxy, device, gddId, mmIdx, status);
    return JsonResponse(status, out);
}

Response EngineAccess::ActiveEventsWithin(std::chrono::milliseconds timeout) {
    int status = 0;
    const json out = m_activeEvents.Request(m_proxy, m_catalogue, timeout, status);
    return JsonResponse(status, out);
}

}  // namespace pldweb
