// The catalogue a replay shows its tools (status, a tour, the console): devices, points, reports
// and events as the trace's answers and notifications describe them. The calls themselves are
// answered from the trace, not from it.
#include <algorithm>

#include "ReplayIndex.h"

namespace zvsim {
namespace {

using TOp = zvtrace::Op;
using zvtrace::Record;

std::uint32_t numberOf(const Record& r, const char* name) {
    const zvtrace::Value* v = r.find(name);
    return v != nullptr ? v->number : 0;
}

// Within the room a request has in the index: the catalogue shows texts, it answers none.
std::string textOf(const Record& r, const char* name) {
    const zvtrace::Value* v = r.find(name);
    return v != nullptr ? v->bytes.substr(0, 255) : std::string();
}

// What each thing the catalogue learns takes at most, counted against the index's bound with the
// requests: one request can add 256 module slots or states, and notes are not requests.
constexpr std::size_t kPerEntry = 256;  // a device, point, report or event, its node and label
constexpr std::size_t kPerSlot = 64;    // a module's value or text, or a state, beside its text

// A module's slot, the vector grown to hold it; 0xFFFF names the point as a whole.
template <class T>
T& slot(std::vector<T>& v, std::uint32_t module, std::size_t& grown) {
    const std::size_t at = module == 0xFFFF ? 0 : std::min<std::uint32_t>(module, 255);
    if (v.size() <= at) {
        grown += (at + 1 - v.size()) * kPerSlot;
        v.resize(at + 1);
    }
    return v[at];
}

// The map's entry for `key`, counted when it is new.
template <class Map>
typename Map::mapped_type& entry(Map& map, typename Map::key_type key, std::size_t& grown) {
    auto [at, fresh] = map.try_emplace(key);
    if (fresh) grown += kPerEntry;
    return at->second;
}

bool succeeded(const Record& r) {
    return r.head.status == kOk || r.head.status == kNoDescription || r.head.status == kLabelRead ||
           r.head.status == kLabelCut;
}

}  // namespace

void ReplayIndex::learn(const Record& r) {
    if (r.head.kind == zvtrace::Kind::Note) {
        if (r.head.op != static_cast<std::uint8_t>(zvtrace::NoteKind::Event)) return;
        Event& e = entry(catalogue.events, numberOf(r, "eventId"), m_bytes);
        e.id = numberOf(r, "eventId");
        e.groupId = numberOf(r, "groupId");
        e.deviceIdx = static_cast<std::uint16_t>(numberOf(r, "device"));
        e.state = static_cast<std::uint16_t>(numberOf(r, "state"));
        if (e.label.empty()) e.label = "event " + std::to_string(e.id);
        return;
    }
    const auto op = static_cast<TOp>(r.head.op);
    if (op == TOp::GetVelServerInventory && r.head.status == kOk) {
        const std::uint32_t n = std::min<std::uint32_t>(numberOf(r, "nmbrDevices"), 256);
        for (std::uint32_t d = 0; d < n; ++d)
            entry(catalogue.devices, static_cast<std::uint16_t>(d), m_bytes);
        return;
    }
    const zvtrace::Value* device = r.find("device");
    if (device == nullptr || device->type == zvtrace::Type::None) return;
    if (r.head.status == kUnknownDevice) return;
    Device& d = entry(catalogue.devices, static_cast<std::uint16_t>(device->number), m_bytes);
    if (r.head.status == kOffline) d.offline = true;
    switch (op) {
        case TOp::GetVelFDMVersion:
            if (r.head.status == kOk) d.fdmVersion = textOf(r, "text");
            return;
        case TOp::GetMaxNmbrAncstrs:
            if (r.head.status != -1) d.maxAncestors = static_cast<std::uint32_t>(r.head.status);
            return;
        case TOp::GetProdSeqId: {
            const zvtrace::Value* id = r.find("identity");
            if (id == nullptr || id->type != zvtrace::Type::Bytes) return;
            const auto* b = reinterpret_cast<const unsigned char*>(id->bytes.data());
            ProductIdentity identity;
            identity.revision = b[1];
            for (std::size_t i = 0; i < b[0] && i < 8; ++i) {
                identity.ids.push_back(zvtrace::Get16(b + 2 + 2 * i));
            }
            d.identity = identity;
            return;
        }
        case TOp::GetVelRprtStrLabel:
            if (succeeded(r)) {
                Report& report = entry(d.reports, numberOf(r, "gdd"), m_bytes);
                report.gddId = numberOf(r, "gdd");
                slot(report.labels, numberOf(r, "mm"), m_bytes) = textOf(r, "text");
            }
            return;
        default:
            learnPoint(r);
    }
}

void ReplayIndex::learnPoint(const Record& r) {
    const auto op = static_cast<TOp>(r.head.op);
    const bool statusIsAnswer = r.shape().statusIsAnswer;
    if (r.find("gdd") == nullptr || (!statusIsAnswer && !succeeded(r))) return;
    Device& d =
        entry(catalogue.devices, static_cast<std::uint16_t>(numberOf(r, "device")), m_bytes);
    const std::uint32_t gdd = numberOf(r, "gdd");
    if (statusIsAnswer && d.points.count(gdd) == 0) return;  // a count says no point is there
    Point& p = entry(d.points, gdd, m_bytes);
    p.gddId = gdd;
    const std::uint32_t mm = numberOf(r, "mm");
    const std::uint32_t value = numberOf(r, "value");
    switch (op) {
        case TOp::GetVelPntStrLabel:
            p.label = textOf(r, "text");
            break;
        case TOp::GetVelPntStrDscrptn:
            if (r.head.status == kOk) p.description = textOf(r, "text");
            break;
        case TOp::GetVelPntStrUoM:
            slot(p.units, numberOf(r, "uofm"), m_bytes) = textOf(r, "text");
            break;
        case TOp::GetVelPntStr:
            slot(p.texts, mm, m_bytes) = textOf(r, "text");
            break;
        case TOp::GetVelPntInt32:
        case TOp::GetVelPntUint32:
            if (p.kind != Kind::Enum) p.kind = op == TOp::GetVelPntInt32 ? Kind::Int : Kind::UInt;
            slot(p.values, mm, m_bytes) =
                op == TOp::GetVelPntInt32 ? std::int64_t(std::int32_t(value)) : std::int64_t(value);
            break;
        case TOp::GetVelPntAccessRights:
            p.accessRights = value;
            break;
        case TOp::GetVelPntDataType:
            p.dataType = value;
            break;
        case TOp::GetVelPntDsplyNF:
            p.normFactor = value;
            break;
        case TOp::GetVelPntUoMId:
            p.uomId = numberOf(r, "uofmId");
            break;
        case TOp::GetMaxRprtMMCnt:
            // The count, as text slots until the point's kind is known.
            if (r.head.status > 0)
                slot(p.texts, std::min(std::uint32_t(r.head.status), 32u) - 1, m_bytes);
            break;
        case TOp::GetMaxPntArrayDim:
            p.arrayDim = static_cast<std::uint32_t>(r.head.status);
            break;
        case TOp::GetPointsRprt:
            p.report = static_cast<std::uint32_t>(r.head.status);
            break;
        case TOp::GetVelEnumStateInfo: {
            p.kind = Kind::Enum;
            p.enumType = numberOf(r, "type");
            const std::string& values = textOf(r, "values");
            for (std::size_t i = 0; i + 1 < values.size(); i += 2) {
                const auto v = zvtrace::Get16(reinterpret_cast<const unsigned char*>(&values[i]));
                bool known = false;
                for (const State& s : p.states) known = known || s.value == v;
                if (!known && p.states.size() < 256) {
                    p.states.push_back({v, std::to_string(v)});
                    m_bytes += kPerSlot + 256;  // its name, up to 255 bytes, may come later
                }
            }
            break;
        }
        case TOp::GetVelEnumStateStr:
            for (State& s : p.states) {
                if (s.value == numberOf(r, "state")) s.name = textOf(r, "text");
            }
            break;
        default:
            break;
    }
}

// Whatever the answers left unsaid is filled in so that the catalogue holds together: a point a
// module at least and every module a value, a report a label, and a point's report one known.
void ReplayIndex::finishCatalogue() {
    catalogue.tickMs = 0;  // a replay's time is its trace's
    for (auto& [index, d] : catalogue.devices) {
        if (d.name.empty()) d.name = "device " + std::to_string(index);
        for (auto& [gdd, r] : d.reports) {
            for (std::string& label : r.labels) {
                if (label.empty()) label = "report " + std::to_string(gdd);
            }
        }
        for (auto& [gdd, p] : d.points) {
            if (p.label.empty()) p.label = "point " + std::to_string(gdd);
            if (p.normFactor == 0) p.normFactor = 1;
            // A point read by number only as a text was not: a text point.
            const bool text = p.states.empty() && p.values.empty() &&
                              std::any_of(p.texts.begin(), p.texts.end(),
                                          [](const std::string& t) { return !t.empty(); });
            if (text) p.kind = Kind::Text;
            const std::size_t modules = std::max<std::size_t>({p.values.size(), p.texts.size(), 1});
            if (p.kind == Kind::Text) {
                p.texts.resize(modules);
                p.values.clear();
            } else {
                p.values.resize(modules);
                p.texts.clear();
            }
            if (p.report != 0 && d.reports.count(p.report) == 0) p.report = 0;
            if (p.report == 0xFFFFFFFF) p.report = 0;
        }
    }
}

}  // namespace zvsim
