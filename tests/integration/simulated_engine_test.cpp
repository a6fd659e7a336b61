// The proxy against the simulated engine: the device engine's habits that a mock does not show,
// and its delivering thread.
#include <array>
#include <cstdio>
#include <fstream>
#include <thread>

#include "MockEngine.h"
#include "Seen.h"
#include "SimFixture.h"

using namespace ::testing;

namespace {

// What the client's callbacks saw: "<kind> <id> <data>...", " ctx" for the registration's
// context, " engine" when called on the engine's thread.
std::thread::id g_testThread;
Seen g_seen;
int g_context;
void see(const char* kind, void* context, unsigned long id, const std::uint16_t* data, int n) {
    std::string s = kind + (" " + std::to_string(id));
    for (int i = 0; i < n; ++i) s += " " + std::to_string(data[i]);
    s += context == &g_context ? " ctx" : "";
    s += std::this_thread::get_id() != g_testThread ? " engine" : "";
    g_seen.Add(s);
}
// Active-events answers as " <groupId>/<eventId>/<state>...", " locked" when the callback ran
// under the client lock; the records are deleted.
Seen g_answers;
void onActiveEvents(std::list<ZvPldProxy::ActiveEvent*>* events) {
    std::string s;
    for (ZvPldProxy::ActiveEvent* e : *events) {
        s += " " + std::to_string(e->groupId) + "/" + std::to_string(e->eventId) + "/" +
             std::to_string(e->eventState);
        delete e;
    }
    g_answers.Add(s + (ZvLinuxMutex::HeldByThisThread() != 0 ? " locked" : ""));
}
template <class List>
std::string join(const List& list) {
    std::string s;
    for (const auto v : list) s += " " + std::to_string(v);
    return s;
}

class SimulatedEngine : public SimFixture {
  protected:
    explicit SimulatedEngine(zvsim::Catalogue catalogue = zvsim::Catalogue::BuiltIn())
        : SimFixture(std::move(catalogue)) {
        g_testThread = std::this_thread::get_id();
    }
    static void onCount(void* c, unsigned long n) { see("count", c, n, nullptr, 0); }
    static void onEvent(void* c, const ZvVEventInfo* e) {
        see("event", c, e->eventId, &e->eventState, 1);
    }
    static void onValue(void* c, const ZvValChgInfo* v) {
        see("value", c, v->valueId, v->pData, v->length);
    }

    // "<rc>: <report GddIds> | <modules> | <auxValues>", as GetHierarchyLists gives them.
    std::string chain(unsigned short device, unsigned short gddId, unsigned short mmIdx) {
        std::list<unsigned long> gddIds, auxValues;
        std::list<unsigned short> modules;
        const int rc = proxy->GetHierarchyLists(auxValues, gddIds, modules, device, gddId, mmIdx);
        return std::to_string(rc) + ":" + join(gddIds) + " |" + join(modules) + " |" +
               join(auxValues);
    }
};

TEST_F(SimulatedEngine, PointsGiveTheirReportChainsAndAStructureChangeIsAPldCountThatRenewsThem) {
    proxy->RegisterForPldCountChange(onCount, &g_context, 0);
    const std::pair<std::array<unsigned short, 3>, std::string> rows[] = {
        {{1, 100, 1}, "0: 1021 1020 1010 1000 | 1 1 1 1 | 131075 2 70000 1"},  // maxAncestors
        {{2, 200, 3}, "0: 2010 2000 | 3 1 | 20 65536"},
        {{3, 300, 1}, "0: 3000 | 1 | 6"},  // offline, but its catalogue answers
    };
    for (const auto& [point, want] : rows)
        EXPECT_EQ(chain(point[0], point[1], point[2]), want) << "point " << point[1];
    EXPECT_EQ(engine->SetReportParent(1, 1020, 1000, 0), 0);
    engine->Flush();
    EXPECT_EQ(chain(1, 100, 1), "0: 1021 1020 1000 | 1 1 1 | 131075 2 1");
}

TEST_F(SimulatedEngine, TheEnginesRoughTextsReachTheCallerCheckedCutOrRefused) {
    const std::string service = engine->Snapshot().devices.at(1).reports.at(1040).labels[0];
    // Device, GddId, module; result, label ("before": left unchanged), lines logged.
    const std::tuple<int, int, int, int, std::string, std::size_t> rows[] = {
        {1, 1040, 1, 0, service.substr(0, 256), 1},  // status 8: cut, and a notice
        {1, 1050, 1, 2, "before", 1},                // not ASCII
        {2, 2010, 0, 0, "Pump 1", 0},                // the report as a whole
    };
    for (const auto& [device, gddId, mmIdx, rc, want, lines] : rows) {
        std::string label = "before";
        EXPECT_EQ(proxy->GetReportLabel(label, device, gddId, mmIdx), rc) << gddId;
        EXPECT_EQ(label, want) << gddId;
        EXPECT_EQ(log.take().size(), lines) << gddId;
    }
    std::string text;
    EXPECT_EQ(proxy->GetFullDescriptionString(text, 1, 103, 1, 0), 0);  // engine status 6
    EXPECT_EQ(text, "Burner starts");
}

// PLD counts reach the callback at once on the engine's thread, and the queue; events and value
// changes (with the value written) are drained on the client's thread, each once and in order.
TEST_F(SimulatedEngine, ChangesAreNotifiedOnceInOrderAndNotAfterTheStop) {
    proxy->RegisterForPldCountChange(onCount, &g_context, 0);
    proxy->RegisterForEventChange(onEvent, &g_context, 0);
    proxy->RegisterForValueChange(onValue, &g_context, 0);
    EXPECT_EQ(proxy->SetValueString("65.5", 1, 101, 1, 0, 0, 0, nullptr, 0), 0);
    EXPECT_EQ(proxy->SetValueUInt32(75, 2, 200, 2, 0, 0, 0, 0), 0);
    EXPECT_EQ(engine->SetEventState(1, 1), 0);
    engine->AnnouncePldCount();
    zvsim::Point fan;  // GddId 0
    fan.values = {1};
    EXPECT_EQ(engine->AddPoint(1, fan), 0);
    EXPECT_EQ(engine->RemovePoint(1, 0), 0);
    engine->Flush();
    for (int i = 0; i < 3; ++i) proxy->CheckEvent(), proxy->CheckValueChange();
    EXPECT_THAT(g_seen.Lines(),
                ElementsAre("count 2 ctx engine", "count 3 ctx engine", "count 4 ctx engine",
                            "event 1 1", "value 101 0 655", "value 200 0 75"));
    unsigned long count = 0, counts = 0;
    while (proxy->CheckPldCount(&count)) counts = counts * 10 + count;
    EXPECT_EQ(counts, 234u);
    proxy->stop_y4IpcToClientProc();
    engine->AnnouncePldCount();
    engine->SetEventState(1, 0);
    engine->Flush();
    proxy->CheckEvent();
    EXPECT_FALSE(proxy->CheckPldCount(&count));
    EXPECT_EQ(g_seen.Lines().size(), 6u);
}

// Pieces of 6 bytes: the first answer (25 bytes) ends with a shorter piece, the second (30) with
// an empty one whose buffer still holds the piece before.
class ActiveEvents : public SimulatedEngine, public WithParamInterface<const char*> {
  protected:
    ActiveEvents()
        : SimulatedEngine(zvsim::Catalogue::FromJson(
              std::string(R"({"devices": [], "activeEvents": {"pieceSize": 6, "delivery": ")") +
              GetParam() + R"("}, "events": [{"id": 10, "group": 7, "state": 2}, {"id": 11,
                  "group": 7}, {"id": 20, "group": 8, "state": 1}, {"id": 30, "group": 9}]})")) {}
};

TEST_P(ActiveEvents, AnswerWithTheCurrentActiveEventsByGroupInPieces) {
    std::list<ZvPldProxy::ActiveEvent*> events;
    EXPECT_EQ(proxy->GetActiveEvents(&events, onActiveEvents, 0), 0);
    engine->Flush();
    EXPECT_EQ(engine->SetEventState(11, 3), 0);
    EXPECT_EQ(proxy->GetActiveEvents(&events, onActiveEvents, 0), 0);
    engine->Flush();
    const std::string how = std::string(GetParam()) == "process" ? " locked" : "";
    EXPECT_THAT(g_answers.Lines(),
                ElementsAre(" 7/10/2 8/20/1" + how, " 7/10/2 7/11/3 8/20/1" + how));
    EXPECT_THAT(log.take(),
                Contains(Field(&LogLine::text, HasSubstr("is (1,7:10,2)(2,8:20,1)(3,9)"))));
}

INSTANTIATE_TEST_SUITE_P(Delivered, ActiveEvents, Values("process", "thread"));

TEST(SimulatedEngineCatalogue, IsReadFromTheFileNamedAndRefusedUnlessItsReportsFormTrees) {
    const std::string path = TempDir() + "zvpld_catalogue.json";
    std::ofstream(path) << R"({"devices": [{"index": 4, "points": [
        {"gddId": 1, "type": "enum", "states": [{"value": 1, "name": "On"}], "values": [1]}]}]})";
    {
        ZvPldProxy proxy(("sim:" + path).c_str(), "integration-test");
        std::string text;
        EXPECT_EQ(proxy.GetValueString(text, 4, 1, 1, 0, 0, 0, nullptr), 0);
        EXPECT_EQ(text, "On");
    }
    std::ofstream(path) << R"({"devices": [{"index": 4, "points": [{"gddId": 1}]}]})";
    EXPECT_THROW(ZvPldProxy(("sim:" + path).c_str(), "x"), std::runtime_error);
    std::remove(path.c_str());
    // A developer's catalogue with a broken report tree is refused with the reason.
    const std::pair<std::string, std::string> cases[] = {
        {R"("reports": [{"gddId": 5, "labels": []}])", "report 5: a report needs one label"},
        {R"("maxAncestors": 1, "reports": [{"gddId": 5, "labels": ["a"], "parent": {"gddId": 6}}])",
         "report 5: unknown parent report 6"},
        {R"("maxAncestors": 1, "reports": [{"gddId": 5, "labels": ["a"]},
             {"gddId": 6, "labels": ["b"], "parent": {"gddId": 5, "module": 1}}])",
         "report 6: parent report 5 has no module 1"},
        {R"("maxAncestors": 9, "reports": [{"gddId": 5, "labels": ["a"], "parent": {"gddId": 6}},
             {"gddId": 6, "labels": ["b"], "parent": {"gddId": 5}}])",
         "report 5: its ancestors form a cycle"},
        {R"("reports": [{"gddId": 5, "labels": ["a"]},
             {"gddId": 6, "labels": ["b"], "parent": {"gddId": 5}}])",
         "report 6 has 1 ancestors, more than maxAncestors (0)"},
        {R"("reports": [])", "point 1: unknown report 5"},
    };
    for (const auto& [device, problem] : cases) {
        const std::string text =
            R"({"devices": [{"index": 4, "points": [{"gddId": 1, "values": [1], "report": 5}], )" +
            device + "}]}";
        EXPECT_THAT([&] { zvsim::Catalogue::FromJson(text); },
                    ThrowsMessage<std::runtime_error>(HasSubstr("device 4: " + problem)));
    }
    // A norm factor the engine cannot render a value with (a capture of a device may hold one).
    EXPECT_THAT(
        [] {
            zvsim::Catalogue::FromJson(
                R"({"devices": [{"index": 4, "points": [{"gddId": 1, "normFactor": 12}]}]})");
        },
        ThrowsMessage<std::runtime_error>(HasSubstr("normFactor must be a power of ten")));
}

}  // namespace

// A point marked failing answers its status to every value read and to nothing else: its texts,
// attributes and writes answer as usual, and its device's being offline comes first.
TEST(SimulatedEngineCatalogue, AFailingPointAnswersItsStatusToValueReadsOnly) {
    zvsim::SimEngine engine(zvsim::Catalogue::FromJson(R"({"devices": [
        {"index": 1, "points": [{"gddId": 1, "access": "rw", "values": [3], "fails": 5},
                                {"gddId": 2, "type": "text", "values": ["x"], "fails": 1007}]},
        {"index": 2, "offline": true,
         "points": [{"gddId": 1, "access": "rw", "values": [3], "fails": 5}]}]})"));
    const struct {
        std::uint16_t device;
        std::uint32_t gddId;
        std::array<Y4_Status, 6> statuses;  // text, int32, uint32, label, rights, int32 write
    } cases[] = {{1, 1, {5, 5, 5, 0, 0, 0}},
                 {1, 2, {1007, 1007, 1007, 0, 0, 4}},
                 {2, 1, {1007, 1007, 1007, 0, 0, 1007}}};
    for (const auto& c : cases) {
        const ZvVelPntDfn at{c.device, c.gddId, 0, 0, 0, nullptr, 0};
        char text[16];
        std::int32_t i = 0;
        std::uint32_t u = 0;
        const std::array<Y4_Status, 6> got{engine.GetVelPntStr(&at, sizeof text, text),
                                           engine.GetVelPntInt32(&at, &i),
                                           engine.GetVelPntUint32(&at, &u),
                                           engine.GetVelPntStrLabel(&at, sizeof text, text),
                                           engine.GetVelPntAccessRights(&at, &u),
                                           engine.SetVelPntInt32(&at, 4, 0)};
        EXPECT_EQ(got, c.statuses) << "device " << c.device << " point " << c.gddId;
    }
}
