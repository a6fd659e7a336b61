// The simulated engine's calls on its catalogue: points added and removed, read and written as
// the engine does (texts cut as strncpy cuts them), their attributes and enumeration states, and
// the status and value texts.
#include "Controls.h"
#include "Feed.h"
#include "JournalCall.h"
#include "ReplayEngine.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace zvsim {
namespace {

// The engine copies texts as strncpy does: a text of `size` characters or more arrives without
// its NUL. The proxy must cope with that, so the simulation keeps it.
void copyText(char* buf, unsigned int size, const std::string& text) {
    std::strncpy(buf, text.c_str(), size);
}

std::uint32_t decimals(std::uint32_t normFactor) {
    std::uint32_t n = 0;
    for (; normFactor >= 10; normFactor /= 10) ++n;
    return n;
}

// Parses "12", "-3.5" or "0.25" into the raw value of a point with the given norm factor.
bool parseNumber(const char* text, std::uint32_t normFactor, std::int64_t* raw) {
    errno = 0;
    char* end = nullptr;
    const double v = std::strtod(text, &end);
    if (end == text || *end != '\0' || errno != 0 || !std::isfinite(v)) return false;
    const double scaled = std::round(v * normFactor);
    if (std::fabs(scaled) > 9.0e15) return false;
    *raw = static_cast<std::int64_t>(scaled);
    return true;
}

}  // namespace

const char* StatusText(Y4_Status status) {
    switch (status) {
        case kOk:
            return "done";
        case kUnknownDevice:
            return "unknown device";
        case kUnknownPoint:
            return "unknown data point or report";
        case kBadModule:
            return "no such module";
        case kReadOnly:
            return "point is read-only";
        case kRejected:
            return "value, unit or state not accepted";
        case kNoDescription:
            return "no description of its own";
        case kLabelRead:
            return "report label read in full";
        case kLabelCut:
            return "report label cut to the size asked for";
        case kWrongType:
            return "data type does not fit the request";
        case kUnknownEvent:
            return "unknown event";
        case kBufferTooSmall:
            return "buffer too small for the report's ancestors";
        case kUnknownRequest:
            return "request not understood";
        case kNoEngine:
            return "engine not reachable";
        case kNoAncestorRecord:
            return "no ancestor record for the report";
        case kOffline:
            return "device does not answer";
        default:
            return "unknown status";
    }
}

bool RendersNormFactor(std::uint32_t normFactor) {
    if (normFactor == 0) return false;
    for (; normFactor % 10 == 0; normFactor /= 10) {
    }
    return normFactor == 1;
}

std::string RenderValue(const Point& point, std::int64_t raw) {
    if (point.kind == Kind::Enum) {
        for (const State& s : point.states) {
            if (s.value == raw) return s.name;
        }
        return std::to_string(raw);
    }
    const std::uint32_t places = decimals(point.normFactor);
    if (places == 0) return std::to_string(raw);
    const std::uint64_t magnitude = raw < 0 ? 0 - static_cast<std::uint64_t>(raw) : raw;
    std::string fraction = std::to_string(magnitude % point.normFactor);
    fraction.insert(0, places - fraction.size(), '0');
    return (raw < 0 ? "-" : "") + std::to_string(magnitude / point.normFactor) + "." + fraction;
}

SimEngine::SimEngine(Catalogue catalogue)
    : m_catalogue(std::move(catalogue)), m_loaded(m_catalogue) {
    std::set<std::uint16_t> offline;
    for (const auto& [index, device] : m_catalogue.devices) {
        if (device.offline) offline.insert(index);
    }
    m_controls = std::make_shared<Controls>(std::move(offline), m_clock);
    m_feed = std::make_shared<Feed>();
    RememberEngine(this);
    restartCycles();
}

std::shared_ptr<SimEngine> SimEngine::FromClientText(const char* first) {
    const std::string_view text = first != nullptr ? first : "";
    if (text.rfind("replay:", 0) == 0) return ReplayEngine::FromFile(std::string(text.substr(7)));
    if (text.rfind("sim:", 0) == 0) {
        return std::make_shared<SimEngine>(Catalogue::FromFile(std::string(text.substr(4))));
    }
    return std::make_shared<SimEngine>(Catalogue::BuiltIn());
}

Catalogue SimEngine::Snapshot() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_catalogue;
}

std::uint32_t SimEngine::PldCount() const {
    return m_pldCount.load();
}

int SimEngine::Init() {
    return 1;
}

Y4_Status SimEngine::AddPoint(std::uint16_t deviceIdx, Point point) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto dev = m_catalogue.devices.find(deviceIdx);
    if (dev == m_catalogue.devices.end()) return kUnknownDevice;
    if (point.modules() == 0 || point.normFactor == 0 || point.step < 1 ||
        point.step > UINT32_MAX || (point.live && point.kind == Kind::Text) ||
        (point.report != 0 && dev->second.reports.count(point.report) == 0)) {
        return kRejected;
    }
    const std::uint32_t gddId = point.gddId;
    if (!dev->second.points.emplace(gddId, std::move(point)).second) return kRejected;
    queuePldCount(m_pldCount.fetch_add(1) + 1);
    return kOk;
}

Y4_Status SimEngine::RemovePoint(std::uint16_t deviceIdx, std::uint32_t gddId) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto dev = m_catalogue.devices.find(deviceIdx);
    if (dev == m_catalogue.devices.end()) return kUnknownDevice;
    if (dev->second.points.erase(gddId) == 0) return kUnknownPoint;
    m_headings.erase({deviceIdx, gddId});
    queuePldCount(m_pldCount.fetch_add(1) + 1);
    return kOk;
}

Y4_Status SimEngine::SetEventState(std::uint32_t eventId, std::uint16_t state) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto event = m_catalogue.events.find(eventId);
    if (event == m_catalogue.events.end()) return kUnknownEvent;
    event->second.state = state;
    m_eventRuns[eventId].age = 0;  // a cycle's next step comes a whole period later
    queueEventChange(event->second);
    return kOk;
}

SimEngine::Target SimEngine::find(std::uint16_t deviceIdx, std::uint32_t gddId, std::uint16_t mmIdx,
                                  Need need) {
    Target t;
    const auto dev = m_catalogue.devices.find(deviceIdx);
    if (dev == m_catalogue.devices.end()) {
        t.status = kUnknownDevice;
        return t;
    }
    const auto pnt = dev->second.points.find(gddId);
    if (pnt == dev->second.points.end()) {
        t.status = kUnknownPoint;
        return t;
    }
    t.point = &pnt->second;
    // 0xFFFF names the point as a whole: enough for its texts, not for a value.
    const bool whole = mmIdx == 0xFFFF && need == Need::Catalogue;
    if (!whole && mmIdx >= t.point->modules()) {
        t.status = kBadModule;
    } else if (need == Need::Value && dev->second.offline) {
        t.status = kOffline;
    } else {
        t.module = whole ? 0 : mmIdx;
    }
    return t;
}

Y4_Status SimEngine::GetVelPntStrLabel(const ZvVelPntDfn* pnt, unsigned int size, char* buf) {
    Call call(*this, Op::GetVelPntStrLabel, TargetOf(pnt), pnt->deviceIdx);
    std::lock_guard<std::mutex> lock(m_mutex);
    const Target t = find(pnt->deviceIdx, pnt->gddId, pnt->mmIdx, Need::Catalogue);
    if (t.status == kOk) copyText(buf, size, t.point->label);
    return call.answer(t.status);
}

Y4_Status SimEngine::GetVelPntStrDscrptn(const ZvVelPntDfn* pnt, unsigned int size, char* buf) {
    Call call(*this, Op::GetVelPntStrDscrptn, TargetOf(pnt), pnt->deviceIdx);
    std::lock_guard<std::mutex> lock(m_mutex);
    const Target t = find(pnt->deviceIdx, pnt->gddId, pnt->mmIdx, Need::Catalogue);
    if (t.status != kOk) return call.answer(t.status);
    if (t.point->description.empty()) {
        copyText(buf, size, t.point->label);
        return call.answer(kNoDescription);
    }
    copyText(buf, size, t.point->description);
    return call.answer(kOk);
}

Y4_Status SimEngine::GetVelPntStrUoM(const ZvVelPntDfn* pnt, unsigned int size, char* buf) {
    Call call(*this, Op::GetVelPntStrUoM, TargetOf(pnt), pnt->deviceIdx);
    std::lock_guard<std::mutex> lock(m_mutex);
    const Target t = find(pnt->deviceIdx, pnt->gddId, pnt->mmIdx, Need::Catalogue);
    if (t.status != kOk) return call.answer(t.status);
    const std::vector<std::string>& units = t.point->units;
    if (units.empty()) {
        copyText(buf, size, "");
        return call.answer(kOk);
    }
    if (pnt->uofm >= units.size()) return call.answer(kRejected);
    copyText(buf, size, units[pnt->uofm]);
    return call.answer(kOk);
}

Y4_Status SimEngine::GetVelPntStr(const ZvVelPntDfn* pnt, unsigned int size, char* buf) {
    Call call(*this, Op::GetVelPntStr, TargetOf(pnt), pnt->deviceIdx);
    std::lock_guard<std::mutex> lock(m_mutex);
    if (const Y4_Status st = m_controls->failing(pnt->deviceIdx, pnt->gddId, false); st != kOk)
        return call.answer(st);
    const Target t = find(pnt->deviceIdx, pnt->gddId, pnt->mmIdx, Need::Value);
    if (t.status != kOk) return call.answer(t.status);
    if (t.point->fails != kOk) return call.answer(t.point->fails);
    const Point& p = *t.point;
    copyText(buf, size,
             p.kind == Kind::Text ? p.texts[t.module] : RenderValue(p, p.values[t.module]));
    return call.answer(kOk);
}

Y4_Status SimEngine::readNumber(const ZvVelPntDfn* pnt, std::int64_t* raw) {
    if (const Y4_Status st = m_controls->failing(pnt->deviceIdx, pnt->gddId, false); st != kOk)
        return st;
    const Target t = find(pnt->deviceIdx, pnt->gddId, pnt->mmIdx, Need::Value);
    if (t.status != kOk) return t.status;
    if (t.point->fails != kOk) return t.point->fails;
    if (t.point->kind == Kind::Text) return kWrongType;
    *raw = t.point->values[t.module];
    return kOk;
}

Y4_Status SimEngine::GetVelPntInt32(const ZvVelPntDfn* pnt, std::int32_t* value) {
    Call call(*this, Op::GetVelPntInt32, TargetOf(pnt), pnt->deviceIdx);
    std::lock_guard<std::mutex> lock(m_mutex);
    std::int64_t raw = 0;
    const Y4_Status st = readNumber(pnt, &raw);
    if (st == kOk) *value = static_cast<std::int32_t>(raw);
    return call.answer(st);
}

Y4_Status SimEngine::GetVelPntUint32(const ZvVelPntDfn* pnt, std::uint32_t* value) {
    Call call(*this, Op::GetVelPntUint32, TargetOf(pnt), pnt->deviceIdx);
    std::lock_guard<std::mutex> lock(m_mutex);
    std::int64_t raw = 0;
    const Y4_Status st = readNumber(pnt, &raw);
    if (st == kOk) *value = static_cast<std::uint32_t>(raw);
    return call.answer(st);
}

Y4_Status SimEngine::writeNumber(const ZvVelPntDfn* pnt, std::int64_t raw) {
    const Target t = find(pnt->deviceIdx, pnt->gddId, pnt->mmIdx, Need::Value);
    if (t.status != kOk) return t.status;
    Point& p = *t.point;
    if ((p.accessRights & kWrite) == 0) return kReadOnly;
    if (p.kind == Kind::Text) return kWrongType;
    if (p.kind == Kind::Enum) {
        bool known = false;
        for (const State& s : p.states) known = known || s.value == raw;
        if (!known) return kRejected;
    } else if (raw < p.min || raw > p.max) {
        return kRejected;
    }
    p.values[t.module] = raw;
    queueValueChange(pnt->deviceIdx, p, t.module);
    return kOk;
}

Y4_Status SimEngine::SetVelPntStr(const ZvVelPntDfn* pnt, const char* value, std::uint16_t) {
    Call call(*this, Op::SetVelPntStr, TargetOf(pnt), pnt->deviceIdx);
    std::lock_guard<std::mutex> lock(m_mutex);
    if (const Y4_Status st = m_controls->failing(pnt->deviceIdx, pnt->gddId, true); st != kOk)
        return call.answer(st);
    const Target t = find(pnt->deviceIdx, pnt->gddId, pnt->mmIdx, Need::Value);
    if (t.status != kOk) return call.answer(t.status);
    Point& p = *t.point;
    if ((p.accessRights & kWrite) == 0) return call.answer(kReadOnly);
    if (value == nullptr) return call.answer(kRejected);
    if (p.kind == Kind::Text) {
        if (std::strlen(value) > 255) return call.answer(kRejected);
        p.texts[t.module] = value;
        queueValueChange(pnt->deviceIdx, p, t.module);
        return call.answer(kOk);
    }
    if (p.kind == Kind::Enum) {
        for (const State& s : p.states) {
            if (s.name == value) return call.answer(writeNumber(pnt, s.value));
        }
    }
    std::int64_t raw = 0;
    if (!parseNumber(value, p.kind == Kind::Enum ? 1 : p.normFactor, &raw))
        return call.answer(kRejected);
    return call.answer(writeNumber(pnt, raw));
}

Y4_Status SimEngine::SetVelPntInt32(const ZvVelPntDfn* pnt, std::int32_t value, std::uint16_t) {
    Call call(*this, Op::SetVelPntInt32, TargetOf(pnt), pnt->deviceIdx);
    std::lock_guard<std::mutex> lock(m_mutex);
    if (const Y4_Status st = m_controls->failing(pnt->deviceIdx, pnt->gddId, true); st != kOk)
        return call.answer(st);
    return call.answer(writeNumber(pnt, value));
}

Y4_Status SimEngine::SetVelPntUint32(const ZvVelPntDfn* pnt, std::uint32_t value, std::uint16_t) {
    Call call(*this, Op::SetVelPntUint32, TargetOf(pnt), pnt->deviceIdx);
    std::lock_guard<std::mutex> lock(m_mutex);
    if (const Y4_Status st = m_controls->failing(pnt->deviceIdx, pnt->gddId, true); st != kOk)
        return call.answer(st);
    return call.answer(writeNumber(pnt, value));
}

Y4_Status SimEngine::attribute(Op op, const ZvVelPntDfn* pnt, std::uint32_t Point::*field,
                               std::uint32_t* value) {
    Call call(*this, op, TargetOf(pnt), pnt->deviceIdx);
    std::lock_guard<std::mutex> lock(m_mutex);
    const Target t = find(pnt->deviceIdx, pnt->gddId, pnt->mmIdx, Need::Catalogue);
    if (t.status == kOk) *value = t.point->*field;
    return call.answer(t.status);
}

Y4_Status SimEngine::GetVelPntAccessRights(const ZvVelPntDfn* pnt, std::uint32_t* value) {
    return attribute(Op::GetVelPntAccessRights, pnt, &Point::accessRights, value);
}

Y4_Status SimEngine::GetVelPntDataType(const ZvVelPntDfn* pnt, std::uint32_t* value) {
    return attribute(Op::GetVelPntDataType, pnt, &Point::dataType, value);
}

Y4_Status SimEngine::GetVelPntDsplyNF(const ZvVelPntDfn* pnt, std::uint32_t* value) {
    return attribute(Op::GetVelPntDsplyNF, pnt, &Point::normFactor, value);
}

Y4_Status SimEngine::GetVelPntUoMId(const ZvVelPntDfn* pnt, Y4paVelDsply* dsply) {
    return attribute(Op::GetVelPntUoMId, pnt, &Point::uomId, &dsply->uofmId);
}

std::uint32_t SimEngine::GetMaxRprtMMCnt(std::uint16_t deviceIdx, std::uint32_t gddId) {
    Call call(*this, Op::GetMaxRprtMMCnt, PointTarget(deviceIdx, gddId), deviceIdx);
    std::lock_guard<std::mutex> lock(m_mutex);
    const Target t = find(deviceIdx, gddId, 0xFFFF, Need::Catalogue);
    return call.answer(t.status == kOk ? static_cast<std::uint32_t>(t.point->modules()) : 0,
                       t.status);
}

std::uint32_t SimEngine::GetMaxPntArrayDim(std::uint16_t deviceIdx, std::uint32_t gddId) {
    Call call(*this, Op::GetMaxPntArrayDim, PointTarget(deviceIdx, gddId), deviceIdx);
    std::lock_guard<std::mutex> lock(m_mutex);
    const Target t = find(deviceIdx, gddId, 0xFFFF, Need::Catalogue);
    return call.answer(t.status == kOk ? t.point->arrayDim : 0, t.status);
}

Y4_Status SimEngine::GetVelEnumStateInfo(std::uint16_t deviceIdx, std::uint32_t gddId,
                                         ZvEnumStateType* type, std::uint16_t* count,
                                         unsigned int maxCount, std::uint16_t* values) {
    Call call(*this, Op::GetVelEnumStateInfo, PointTarget(deviceIdx, gddId), deviceIdx);
    std::lock_guard<std::mutex> lock(m_mutex);
    const Target t = find(deviceIdx, gddId, 0xFFFF, Need::Catalogue);
    if (t.status != kOk) return call.answer(t.status);
    const Point& p = *t.point;
    if (p.kind != Kind::Enum) return call.answer(kWrongType);
    type->type = p.enumType;
    // The engine reports the true count but fills no more cells than it was given.
    *count = static_cast<std::uint16_t>(p.states.size());
    for (std::size_t i = 0; i < p.states.size() && i < maxCount; ++i) values[i] = p.states[i].value;
    return call.answer(kOk);
}

Y4_Status SimEngine::GetVelEnumStateStr(const ZvVelPntEnum* state, unsigned int size, char* buf) {
    Call call(*this, Op::GetVelEnumStateStr, PointTarget(state->deviceIdx, state->gddId),
              state->deviceIdx);
    std::lock_guard<std::mutex> lock(m_mutex);
    const Target t = find(state->deviceIdx, state->gddId, 0xFFFF, Need::Catalogue);
    if (t.status != kOk) return call.answer(t.status);
    if (t.point->kind != Kind::Enum) return call.answer(kWrongType);
    for (const State& s : t.point->states) {
        if (s.value == state->stateValue) {
            copyText(buf, size, s.name);
            return call.answer(kOk);
        }
    }
    return call.answer(kRejected);
}

}  // namespace zvsim
