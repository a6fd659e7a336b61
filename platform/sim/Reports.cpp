// The simulated engine's reports: which report holds a point, report labels, ancestor chains and
// changes of the report structure.
#include <cstdint>
#include <cstring>
#include <map>
#include <vector>

#include "JournalCall.h"
#include "SimEngine.h"

namespace zvsim {
namespace {

// 0xFFFF names the report as a whole, which answers as its module 0.
std::uint16_t moduleOf(std::uint16_t mmIdx) {
    return mmIdx == 0xFFFF ? 0 : mmIdx;
}

// The report's ancestors, parent first. The device's reports have passed ReportProblem, so the
// walk ends; the bound only keeps a broken catalogue from looping.
std::vector<ZvPldEngAncestorEntry> ancestorsOf(const Device& device, const Report& report) {
    std::vector<ZvPldEngAncestorEntry> chain;
    for (const Report* r = &report; r->parent != 0 && chain.size() <= device.reports.size();) {
        const auto parent = device.reports.find(r->parent);
        if (parent == device.reports.end()) break;
        chain.push_back(
            ZvPldEngAncestorEntry{parent->first, r->parentModule, parent->second.auxValue});
        r = &parent->second;
    }
    return chain;
}

}  // namespace

std::string ReportProblem(const Device& device) {
    const auto& reports = device.reports;
    for (const auto& [gddId, report] : reports) {
        const std::string where = "report " + std::to_string(gddId) + ": ";
        if (report.labels.empty()) return where + "a report needs one label per module";
        if (report.parent == 0) continue;
        const auto parent = reports.find(report.parent);
        if (parent == reports.end()) {
            return where + "unknown parent report " + std::to_string(report.parent);
        }
        if (report.parentModule >= parent->second.labels.size()) {
            return where + "parent report " + std::to_string(report.parent) + " has no module " +
                   std::to_string(report.parentModule) + " (modules count from 0)";
        }
    }
    // Each report's count of ancestors, worked out once: a walk stops at the first report it
    // already knows, so a long chain costs its length, not its length squared.
    constexpr std::size_t kWalking = SIZE_MAX;
    std::map<std::uint32_t, std::size_t> depthOf;
    std::vector<std::uint32_t> path;
    for (const auto& entry : reports) {
        if (depthOf.count(entry.first) != 0) continue;
        path.clear();
        std::size_t depth = 0;  // of path.back(), once the walk ends
        for (std::uint32_t id = entry.first;;) {
            const auto known = depthOf.find(id);
            if (known != depthOf.end()) {
                if (known->second == kWalking) {
                    return "report " + std::to_string(entry.first) + ": its ancestors form a cycle";
                }
                depth = known->second + 1;
                break;
            }
            depthOf[id] = kWalking;
            path.push_back(id);
            id = reports.at(id).parent;
            if (id == 0) break;
        }
        for (auto id = path.rbegin(); id != path.rend(); ++id) depthOf[*id] = depth++;
        if (--depth > device.maxAncestors) {
            return "report " + std::to_string(entry.first) + " has " + std::to_string(depth) +
                   " ancestors, more than maxAncestors (" + std::to_string(device.maxAncestors) +
                   ")";
        }
    }
    for (const auto& [gddId, point] : device.points) {
        if (point.report != 0 && reports.count(point.report) == 0) {
            return "point " + std::to_string(gddId) + ": unknown report " +
                   std::to_string(point.report);
        }
    }
    return "";
}

std::uint32_t SimEngine::GetMaxNmbrAncstrs(unsigned short deviceIdx) {
    Call call(*this, Op::GetMaxNmbrAncstrs, DeviceTarget(deviceIdx), deviceIdx);
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto dev = m_catalogue.devices.find(deviceIdx);
    if (dev == m_catalogue.devices.end()) return call.answer(0xFFFFFFFFu, kUnknownDevice);
    return dev->second.maxAncestors;
}

std::uint32_t SimEngine::MaxAncestors(std::uint16_t deviceIdx) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto dev = m_catalogue.devices.find(deviceIdx);
    return dev == m_catalogue.devices.end() ? 0 : dev->second.maxAncestors;
}

std::uint32_t SimEngine::GetPointsRprt(unsigned short deviceIdx, unsigned long gddId) {
    Call call(*this, Op::GetPointsRprt, PointTarget(deviceIdx, static_cast<std::uint32_t>(gddId)),
              deviceIdx);
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto dev = m_catalogue.devices.find(deviceIdx);
    if (dev == m_catalogue.devices.end()) return call.answer(0u, kUnknownDevice);
    const auto pnt = gddId > UINT32_MAX
                         ? dev->second.points.end()
                         : dev->second.points.find(static_cast<std::uint32_t>(gddId));
    if (pnt == dev->second.points.end()) return call.answer(0u, kUnknownPoint);
    return pnt->second.report;
}

// Writes the report (the module asked for), then its ancestors at buf + the header's size, and
// not one byte past bufSize.
Y4_Status SimEngine::GetRprtAncstr(ZvVelRprtDfn* rprt) {
    Call call(*this, Op::GetRprtAncstr, ReportTarget(rprt), rprt->deviceIdx);
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto dev = m_catalogue.devices.find(rprt->deviceIdx);
    if (dev == m_catalogue.devices.end()) return call.answer(kUnknownDevice);
    const auto found = dev->second.reports.find(rprt->gddId);
    if (found == dev->second.reports.end()) return call.answer(kNoAncestorRecord);
    const Report& report = found->second;
    const std::uint16_t module = moduleOf(rprt->mmIdx);
    if (module >= report.labels.size()) return call.answer(kBadModule);
    if (!report.ancestorRecord) return call.answer(kNoAncestorRecord);

    const std::vector<ZvPldEngAncestorEntry> chain = ancestorsOf(dev->second, report);
    const std::size_t entriesSize = chain.size() * sizeof(ZvPldEngAncestorEntry);
    if (rprt->buf == nullptr || rprt->bufSize < sizeof(ZvPldEngAncestors) + entriesSize) {
        return call.answer(kBufferTooSmall);
    }
    auto* const bytes = static_cast<unsigned char*>(rprt->buf);
    ZvPldEngAncestors header{};
    header.gddId = report.gddId;
    header.mmIdx = module;
    header.auxValue = report.auxValue;
    header.nmbrAncstrs = static_cast<std::uint16_t>(chain.size());
    header.ancstrs = reinterpret_cast<ZvPldEngAncestorEntry*>(bytes + sizeof header);
    std::memcpy(bytes, &header, sizeof header);
    if (!chain.empty()) std::memcpy(bytes + sizeof header, chain.data(), entriesSize);
    return call.answer(kOk);
}

// The caller's buffer has room for `size` characters and a NUL.
Y4_Status SimEngine::GetVelRprtStrLabel(ZvVelRprtDfn* rprt, unsigned int size, char* buf) {
    Call call(*this, Op::GetVelRprtStrLabel, ReportTarget(rprt), rprt->deviceIdx);
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto dev = m_catalogue.devices.find(rprt->deviceIdx);
    if (dev == m_catalogue.devices.end()) return call.answer(kUnknownDevice);
    const auto found = dev->second.reports.find(rprt->gddId);
    if (found == dev->second.reports.end()) return call.answer(kUnknownPoint);
    const std::uint16_t module = moduleOf(rprt->mmIdx);
    if (module >= found->second.labels.size()) return call.answer(kBadModule);
    if (buf == nullptr) return call.answer(kRejected);
    const std::string& label = found->second.labels[module];
    const std::size_t length = label.size() < size ? label.size() : size;
    std::memcpy(buf, label.data(), length);
    buf[length] = '\0';
    return call.answer(label.size() > size ? kLabelCut : kLabelRead);
}

Y4_Status SimEngine::SetReportParent(std::uint16_t deviceIdx, std::uint32_t reportGddId,
                                     std::uint32_t parentGddId, std::uint16_t parentModule) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto dev = m_catalogue.devices.find(deviceIdx);
    if (dev == m_catalogue.devices.end()) return kUnknownDevice;
    Device& device = dev->second;
    const auto found = device.reports.find(reportGddId);
    if (found == device.reports.end()) return kUnknownPoint;
    if (parentGddId != 0) {
        const auto parent = device.reports.find(parentGddId);
        if (parent == device.reports.end()) return kUnknownPoint;
        if (parentModule >= parent->second.labels.size()) return kBadModule;
    }
    Report& report = found->second;
    const Report before = report;
    report.parent = parentGddId;
    report.parentModule = parentGddId != 0 ? parentModule : 0;
    if (!ReportProblem(device).empty()) {  // a cycle, or a chain too long for the device
        report = before;
        return kRejected;
    }
    queuePldCount(m_pldCount.fetch_add(1) + 1);
    return kOk;
}

}  // namespace zvsim
