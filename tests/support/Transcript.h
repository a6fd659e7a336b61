// What a client reads of a catalogue's devices, points, reports and events through the proxy, one
// line per read with its result: two engines that answer alike give the same text. Each text
// read is made to a module past the last too, where an engine that answers more than it should
// differs.
#ifndef ZVPLD_TESTS_TRANSCRIPT_H
#define ZVPLD_TESTS_TRANSCRIPT_H

#include <cstdlib>
#include <list>
#include <sstream>
#include <string>

#include "Seen.h"
#include "ZvPldProxy.h"
#include "ZvPldTypes.h"
#include "sim/SimEngine.h"

inline Seen g_transcriptEvents;

inline void TranscribeEvents(std::list<ZvPldProxy::ActiveEvent*>* events) {
    std::string line = "events";
    for (ZvPldProxy::ActiveEvent* e : *events) {
        line += " " + std::to_string(e->groupId) + "/" + std::to_string(e->eventId) + "/" +
                std::to_string(e->eventState);
        delete e;
    }
    g_transcriptEvents.Add(line);
}

// The reads of a proxy on the engine `engine`, for what `catalogue` lists.
inline std::string Transcript(const std::string& engine, const zvsim::Catalogue& catalogue) {
    ZvPldProxy proxy(engine.c_str(), "transcript");
    std::ostringstream out;
    auto text = [&out](const char* what, int rc, const std::string& t) {
        out << " " << what << " " << rc << (rc == 0 ? " \"" + t + "\"" : std::string());
    };
    for (const auto& [index, device] : catalogue.devices) {
        ZvProductIdentSeq* seq = nullptr;
        out << "device " << index << " identity " << proxy.GetProdSeqId(&seq, index);
        if (seq != nullptr) out << " " << int{seq->nmbrIds} << "/" << int{seq->revision};
        std::free(seq);
        unsigned long n = 0;
        out << " fdm \"" << proxy.GetFdmVersion(index) << "\" ancestors "
            << proxy.GetMaxNmbrAncestors(&n, index) << " " << n << "\n";
        for (const auto& [id, point] : device.points) {
            const auto g = static_cast<unsigned short>(id);
            for (unsigned short mm = 1; mm <= point.modules() + 1; ++mm) {
                std::string t;
                int i = 0;
                unsigned u = 0;
                out << "point " << index << "/" << g << "/" << mm;
                text("label", proxy.GetLabelString(t, index, g, mm, 0, nullptr), t);
                text("description", proxy.GetFullDescriptionString(t, index, g, mm, 0), t);
                for (unsigned long uofm = 0; uofm < 3; ++uofm) {
                    text("unit", proxy.GetUomLabelString(t, index, g, mm, 0, uofm), t);
                }
                text("value", proxy.GetValueString(t, index, g, mm, 0, 0, 0, nullptr), t);
                out << " s32 " << proxy.GetValueSInt32(&i, index, g, mm, 0, 0, 0) << " " << i
                    << " u32 " << proxy.GetValueUInt32(&u, index, g, mm, 0, 0, 0) << " " << u;
                std::list<unsigned long> aux, ids;
                std::list<unsigned short> modules;
                out << " hierarchy " << proxy.GetHierarchyLists(aux, ids, modules, index, g, mm);
                for (const unsigned long a : aux) out << " " << a;
                for (const unsigned long r : ids) out << " " << r;
                for (const unsigned short m : modules) out << " " << m;
                out << "\n";
            }
            out << "point " << index << "/" << g;
            for (auto get : {&ZvPldProxy::GetVelPointAccessRights, &ZvPldProxy::GetVelPointDataType,
                             &ZvPldProxy::GetVelPointUoMID, &ZvPldProxy::GetVelPointNormFactor,
                             &ZvPldProxy::GetMaxModuleCnt, &ZvPldProxy::GetMaxArrayDim,
                             &ZvPldProxy::GetPointReportNum}) {
                n = 0;
                out << " " << (proxy.*get)(&n, index, g) << " " << n;
            }
            std::list<int> values;
            std::list<std::string> names;
            ZvEnumStateType type{};
            out << " states " << proxy.GetVelEnumStateInfo(&values, &names, &type, g, index) << " "
                << type.type;
            for (const int v : values) out << " " << v;
            for (const std::string& s : names) out << " " << s;
            out << "\n";
        }
        for (const auto& [id, report] : device.reports) {
            out << "report " << index << "/" << id;
            for (unsigned short mm = 1; mm <= report.labels.size() + 1; ++mm) {
                std::string t;
                text("label", proxy.GetReportLabel(t, index, static_cast<unsigned short>(id), mm),
                     t);
            }
            out << "\n";
        }
    }
    std::list<ZvPldProxy::ActiveEvent*> events;
    g_transcriptEvents.Take();
    out << "active events " << proxy.GetActiveEvents(&events, TranscribeEvents, 0) << " ";
    const std::vector<std::string> answers = g_transcriptEvents.Lines(1);
    out << (answers.empty() ? "no answer" : answers.front()) << "\n";
    return out.str();
}

#endif
