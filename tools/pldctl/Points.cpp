// The point subcommands: get, set, attrs, enum, report and hierarchy; the tour shows its points
// with them too.
#include <cstdio>
#include <list>

#include "Commands.h"
#include "Output.h"
#include "ProxyWords.h"

namespace pldctl {
namespace {

std::string reportLabel(ZvPldProxy& proxy, unsigned short device, unsigned long gddId,
                        unsigned short mmIdx) {
    if (gddId > 0xFFFF) return "<GddId above 65535: the label cannot be asked for>";
    std::string label;
    const int rc = proxy.GetReportLabel(label, device, static_cast<unsigned short>(gddId), mmIdx);
    return rc == 0 ? "\"" + label + "\"" : Shown(rc, label);
}

}  // namespace

std::string ValueText(ZvPldProxy& proxy, const Address& a) {
    std::string value, unit;
    const int rc = proxy.GetValueString(value, a.device, a.gddId, a.mmIdx, 0, a.uofm, 0, nullptr);
    const int urc = proxy.GetUomLabelString(unit, a.device, a.gddId, a.mmIdx, 0, a.uofm);
    if (rc != 0) return Shown(rc, value);
    return urc == 0 ? (unit.empty() ? value : value + " " + unit) : value + " " + Shown(urc, unit);
}

void ShowPoint(ZvPldProxy& proxy, const Address& a) {
    std::string label;
    const int rc = proxy.GetLabelString(label, a.device, a.gddId, a.mmIdx, 0, nullptr);
    PrintLine(Shown(rc, label) + ": " + ValueText(proxy, a));
}

void SetPoint(ZvPldProxy& proxy, const Address& a, const std::string& value) {
    const int rc =
        proxy.SetValueString(value.c_str(), a.device, a.gddId, a.mmIdx, 0, a.uofm, 0, nullptr, 0);
    PrintLine("set: " + Describe(rc));
    PrintLine("read back: " + ValueText(proxy, a));
}

void ShowAttributes(ZvPldProxy& proxy, const Address& a) {
    std::string line;
    for (const proxywords::Attribute& attribute : proxywords::kAttributes) {
        unsigned long v = 0;
        const int rc = (proxy.*attribute.get)(&v, a.device, a.gddId);
        line += std::string(line.empty() ? "" : ", ") + attribute.words + " " +
                Shown(rc, std::to_string(v));
    }
    PrintLine("      " + line);
}

void ShowStates(ZvPldProxy& proxy, const Address& a) {
    std::list<int> values;
    std::list<std::string> names;
    ZvEnumStateType type{};
    const int rc = proxy.GetVelEnumStateInfo(&values, &names, &type, a.gddId, a.device);
    if (rc != 0) {
        PrintLine("      states: " + Describe(rc));
        return;
    }
    std::string line;
    auto name = names.begin();
    for (int v : values) {
        line += (line.empty() ? "" : ", ") + std::to_string(v) + " " +
                (name != names.end() ? *name++ : std::string("?"));
    }
    PrintLine("      states (type " + std::to_string(type.type) + "): " + line);
}

void ShowReport(ZvPldProxy& proxy, const Address& a) {
    std::string label;
    const int rc = proxy.GetReportLabel(label, a.device, a.gddId, a.mmIdx);
    PrintLine("report " + std::to_string(a.gddId) + ", module " + std::to_string(a.mmIdx) + ": " +
              (rc == 0 ? "\"" + label + "\"" : Shown(rc, label)));
}

// The point's report and its ancestors, one line a level: GddId, module (from 1), the engine's
// auxValue and the report's label.
void ShowHierarchy(ZvPldProxy& proxy, const Address& a) {
    const std::string point = "device " + std::to_string(a.device) + ", GddId " +
                              std::to_string(a.gddId) + ", module " + std::to_string(a.mmIdx);
    unsigned long report = 0;
    if (proxy.GetPointReportNum(&report, a.device, a.gddId) != 0) {
        CountFailure();
        PrintLine(point + ": no report holds this point");
        return;
    }
    std::list<unsigned long> auxValues, gddIds;
    std::list<unsigned short> modules;
    const int rc = proxy.GetHierarchyLists(auxValues, gddIds, modules, a.device, a.gddId, a.mmIdx);
    if (rc != 0) {
        if (rc == 0x1002) CountFailure();
        PrintLine(point + ": report " + std::to_string(report) + ", no hierarchy: " +
                  (rc == 0x1002 ? "4098 (the engine keeps no ancestor record for the report)"
                                : Describe(rc)));
        return;
    }
    PrintLine(point + ": report hierarchy, from the point's own report up");
    auto aux = auxValues.begin();
    auto module = modules.begin();
    unsigned level = 0;
    for (const unsigned long gddId : gddIds) {
        char head[80];
        std::snprintf(head, sizeof head, "  level %u  report %-5lu module %-3u auxValue %-10lu ",
                      level++, gddId, static_cast<unsigned>(*module), *aux);
        PrintLine(head + reportLabel(proxy, a.device, gddId, *module));
        ++aux;
        ++module;
    }
}

}  // namespace pldctl
