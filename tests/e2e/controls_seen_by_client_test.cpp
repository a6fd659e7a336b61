// Each run-time control sent on a control connection, and what a client sees of it through the
// proxy: result codes and log lines, notifications with their sequence numbers, the report
// hierarchy and the active events. Every row runs twice: on a simulated engine in the test's
// process, and on pld-engined as a real process.
#include <nlohmann/json.hpp>

#include "DaemonFixture.h"
#include "MockEngine.h"
#include "Seen.h"
#include "ZvPldTypes.h"
#include "sim/Controller.h"

using namespace ::testing;

namespace {

// A line per notification of each kind; values and events with their sequence counted from the
// first of their kind. Point 11 carries the test's markers, shown as "end".
Seen g_pld, g_events, g_values, g_active;
std::uint32_t g_firstEvent = 0, g_firstValue = 0;

std::string counted(Seen& seen, std::uint32_t& first, std::uint32_t seq) {
    if (seen.Lines().empty()) first = seq;
    return " #" + std::to_string(seq - first);
}
void onPld(void*, unsigned long count) {
    g_pld.Add("pld " + std::to_string(count));
}
void onEvent(void*, const ZvVEventInfo* e) {
    g_events.Add("event " + std::to_string(e->eventId) + "=" + std::to_string(e->eventState) +
                 counted(g_events, g_firstEvent, e->sequence));
}
void onValue(void*, const ZvValChgInfo* v) {
    std::uint32_t raw = 0;
    for (int unit = 0; unit < v->length; ++unit) raw = raw << 16 | v->pData[unit];
    g_values.Add((v->valueId == 11
                      ? "end"
                      : "value " + std::to_string(v->valueId) + "=" + std::to_string(raw)) +
                 counted(g_values, g_firstValue, v->sequence));
}
void onActive(std::list<ZvPldProxy::ActiveEvent*>* events) {
    std::string text = "active";
    for (ZvPldProxy::ActiveEvent* e : *events) {
        text += " " + std::to_string(e->eventId) + "=" + std::to_string(e->eventState);
        delete e;
    }
    g_active.Add(text);
}

struct Row {
    const char* name;
    // A control command, or what the client does: r read point 10, w write 50 to it, h its
    // report chain, a the active events, c count the controls in force, s wait for a marker
    // (everything notified before it is in).
    std::vector<std::string> steps;
    Matcher<std::vector<std::string>> sees;  // the client's calls, then PLD counts, events, values
    friend void PrintTo(const Row& row, std::ostream* os) { *os << row.name; }
};

enum class Engine { InProcess, Daemon };
void PrintTo(Engine engine, std::ostream* os) {
    *os << (engine == Engine::Daemon ? "over the daemon" : "in process");
}

class ControlSeenByClient : public DaemonFixture,
                            public WithParamInterface<std::tuple<Row, Engine>> {
  protected:
    void SetUp() override {
        DaemonFixture::SetUp();
        std::ofstream(m_dir + "/catalogue.json") << R"({"tickMs": 0, "devices": [{"index": 1,
            "maxAncestors": 4, "points": [
                {"gddId": 10, "access": "rw", "min": 0, "max": 100, "values": [5], "report": 3},
                {"gddId": 11, "access": "rw", "values": [0]},
                {"gddId": 12, "normFactor": 10, "min": 200, "max": 850, "values": [600]}],
            "reports": [{"gddId": 1, "labels": ["Plant"], "auxValue": 1},
                {"gddId": 2, "labels": ["Circuit"], "auxValue": 2, "parent": {"gddId": 1}},
                {"gddId": 3, "labels": ["Supply"], "auxValue": 3, "parent": {"gddId": 2}}]}],
            "events": [{"id": 1, "group": 1, "device": 1, "label": "Hot", "state": 0}]})";
    }

    void call(ZvPldProxy& proxy, zvsim::Controller& control, char what) {
        if (what == 'r') {
            int value = 0;
            const int rc = proxy.GetValueSInt32(&value, 1, 10, 1, 0, 0, 0);
            m_calls.push_back("read " + std::to_string(rc) +
                              (rc == 0 ? " = " + std::to_string(value) : ""));
        } else if (what == 'w') {
            m_calls.push_back("write " +
                              std::to_string(proxy.SetValueSInt32(50, 1, 10, 1, 0, 0, 0, 0)));
        } else if (what == 'h') {
            std::list<unsigned long> aux, gddIds;
            std::list<unsigned short> modules;
            const int rc = proxy.GetHierarchyLists(aux, gddIds, modules, 1, 10, 1);
            m_calls.push_back("hierarchy " + std::to_string(rc) + ":");
            for (unsigned long g : gddIds) m_calls.back() += " " + std::to_string(g);
        } else if (what == 'c') {
            const auto status = nlohmann::json::parse(control.Send(R"({"do": "status"})"));
            m_calls.push_back("controls " + std::to_string(status["controls"].size()));
        } else {
            EXPECT_EQ(proxy.GetActiveEvents(&m_active, onActive, 0), 0);
            m_calls.push_back(g_active.Lines(1).at(0));
            g_active.Take();
        }
        for (const LogLine& line : m_log.take()) {
            if (line.level == 3) m_calls.push_back("log " + line.text);
        }
    }
    std::vector<std::string> seen(ZvPldProxy& proxy) {
        for (int i = 0; i < 64; ++i) proxy.CheckEvent(), proxy.CheckValueChange();
        std::vector<std::string> all = m_calls;
        for (Seen* kind : {&g_pld, &g_events, &g_values}) {
            const std::vector<std::string> lines = kind->Lines();
            all.insert(all.end(), lines.begin(), lines.end());
        }
        return all;
    }

    LogCapture m_log;
    std::list<ZvPldProxy::ActiveEvent*> m_active;
    std::vector<std::string> m_calls;
};

TEST_P(ControlSeenByClient, IsSeenByAProxyClient) {
    const auto& [row, engine] = GetParam();
    std::string text = "sim:" + m_dir + "/catalogue.json";
    if (engine == Engine::Daemon) {
        ASSERT_TRUE(daemon());
        text = "unix:" + m_socket + "?deadline_ms=10000";
    }
    ZvPldProxy proxy(text.c_str(), "");
    std::string error;
    auto control = zvsim::Controller::Open(text, error);  // in process: the proxy's engine
    ASSERT_TRUE(control) << error;
    proxy.RegisterForPldCountChange(onPld, nullptr, 0);
    proxy.RegisterForEventChange(onEvent, nullptr, 0);
    proxy.RegisterForValueChange(onValue, nullptr, 0);
    int markers = 0;
    // The engine and the client deliver in one order: a marker's change comes behind everything
    // notified before it.
    const auto sync = [&] {
        const std::string set = R"({"do": "set", "device": 1, "point": 11, "value": )";
        EXPECT_THAT(control->Send(set + std::to_string(++markers) + "}"),
                    HasSubstr(R"("ok":true)"));
        EXPECT_TRUE(WaitUntil([&] {
            return Matches(Contains(StartsWith("end")).Times(static_cast<std::size_t>(markers)))(
                seen(proxy));
        })) << PrintToString(seen(proxy));
    };
    for (const std::string& step : row.steps) {
        if (step[0] == '{') {
            EXPECT_THAT(control->Send(step), HasSubstr(R"("ok":true)")) << step;
        } else if (step == "s") {
            sync();
        } else {
            call(proxy, *control, step[0]);
        }
    }
    sync();
    WaitUntil([&] { return Matches(row.sees)(seen(proxy)); });
    EXPECT_THAT(seen(proxy), row.sees);
}

const char* const kReadLine =
    "log GetValueSInt32 - unable to get data due to error:1007 - GddId: 10, mmIdx:1, uofm: 0";
const char* const kWriteLine =
    "log SetValueSInt32: - unable to set data due to error:1007 - GddId:10, mmIdx:1, uofm: 0";
// The plant's values of point 12, in display units 0 to 100, clamped to its raw 200 to 850.
const auto kPlanted = ResultOf(
    [](const std::string& line) {
        int raw = -1;
        return std::sscanf(line.c_str(), "value 12=%d #", &raw) == 1 ? raw : -1;
    },
    AllOf(Ge(200), Le(850)));

const Row kRows[] = {
    {"FailAnswersReadsAndWritesForItsCountThenTheyWork",
     {R"({"do": "fail", "device": 1, "point": 10, "status": 1007, "count": 3})", "r", "w", "r", "w",
      "r"},
     ElementsAre("read 2", kReadLine, "write 2", kWriteLine, "read 2", kReadLine, "write 0",
                 "read 0 = 50", "value 10=50 #0", "end #1")},
    {"OfflineFailsReadsAndWritesUntilOnline",
     {R"({"do": "offline", "device": 1})", "r", "w", R"({"do": "online", "device": 1})", "r"},
     ElementsAre("read 2", kReadLine, "write 2", kWriteLine, "read 0 = 5", "end #0")},
    {"FailPassesTheEnginesStatusOnUntilCleared",
     {R"({"do": "fail", "device": 1, "point": 10, "status": 5, "on": "reads", "name": "f"})", "r",
      "w", R"({"do": "clear", "name": "f"})", "r"},
     ElementsAre("read 4100", "write 0", "read 0 = 50", "value 10=50 #0", "end #1")},
    {"PlantChangesArriveInRawUnitsClampedToThePointsRange",
     {R"({"do": "plant", "device": 1, "point": 12, "signal": "ramp", "min": 0, "max": 100,
          "period_ms": 400, "update_ms": 20})"},
     AllOf(Contains(StartsWith("value 12=200 #")), Contains(StartsWith("value 12=850 #")),
           Contains(kPlanted).Times(Ge(5)), Each(AnyOf(kPlanted, StartsWith("end #"))))},
    {"SetArrivesWithItsValue",
     {R"({"do": "set", "device": 1, "point": 10, "value": 42})", "r"},
     ElementsAre("read 0 = 42", "value 10=42 #0", "end #1")},
    {"BurstArrivesAsItsCountOfChanges",
     {R"({"do": "burst", "device": 1, "point": 10, "count": 3})"},
     ElementsAre("value 10=5 #0", "value 10=5 #1", "value 10=5 #2", "end #3")},
    {"PldCountArrives", {R"({"do": "pld_count"})"}, ElementsAre("pld 2", "end #0")},
    {"DropLeavesAGapInTheSequence",
     {R"({"do": "set", "device": 1, "point": 10, "value": 20})",
      R"({"do": "notify", "action": "drop", "kind": "value"})",
      R"({"do": "set", "device": 1, "point": 10, "value": 30})",
      R"({"do": "set", "device": 1, "point": 10, "value": 40})"},
     ElementsAre("value 10=20 #0", "value 10=40 #2", "end #3")},
    // Each takes the next change of its kind, once: a drop of events leaves values alone, and a
    // repeat of any kind takes the change after the one a drop took.
    {"DropAndRepeatTakeTheNextChangeOfTheirKindOnce",
     {R"({"do": "set", "device": 1, "point": 10, "value": 1})",
      R"({"do": "event", "id": 1, "state": 2})",
      R"({"do": "notify", "action": "drop", "kind": "event"})",
      R"({"do": "notify", "action": "drop", "kind": "value"})",
      R"({"do": "notify", "action": "repeat"})",
      R"({"do": "set", "device": 1, "point": 10, "value": 10})",
      R"({"do": "set", "device": 1, "point": 10, "value": 20})",
      R"({"do": "set", "device": 1, "point": 10, "value": 30})",
      R"({"do": "event", "id": 1, "state": 1})", R"({"do": "event", "id": 1, "state": 0})",
      R"({"do": "burst", "device": 1, "point": 10, "count": 2})", "c"},
     ElementsAre("controls 0", "event 1=2 #0", "event 1=0 #2", "value 10=1 #0", "value 10=20 #2",
                 "value 10=20 #2", "value 10=30 #3", "value 10=30 #4", "value 10=30 #5", "end #6")},
    {"RepeatArrivesTwiceWithOneSequence",
     {R"({"do": "event", "id": 1, "state": 1})",
      R"({"do": "notify", "action": "repeat", "kind": "event"})",
      R"({"do": "event", "id": 1, "state": 0})", R"({"do": "event", "id": 1, "state": 1})"},
     ElementsAre("event 1=1 #0", "event 1=0 #1", "event 1=0 #1", "event 1=1 #2", "end #0")},
    {"EventArrivesAndIsListedActive",
     {"a", R"({"do": "event", "id": 1, "state": 2})", "a"},
     ElementsAre("active", "active 1=2", "event 1=2 #0", "end #0")},
    {"ReportParentArrivesAsAPldCountAndRenewsTheHierarchy",
     {"h", R"({"do": "report_parent", "device": 1, "report": 3, "parent": 1})", "s", "h"},
     ElementsAre("hierarchy 0: 3 2 1", "hierarchy 0: 3 1", "pld 2", "end #0", "end #1")},
    {"ResetTakesBackEveryControl",
     {R"({"do": "offline", "device": 1})",
      R"({"do": "plant", "device": 1, "point": 10, "signal": "ramp", "min": 0, "max": 100,
          "period_ms": 100, "update_ms": 10})",
      R"({"do": "fail", "device": 1, "point": 10, "status": 1007})", R"({"do": "stall"})",
      R"({"do": "notify", "action": "drop", "count": 5})", R"({"do": "reset"})", "r", "w"},
     ElementsAre("read 0 = 5", "write 0", "value 10=50 #0", "end #1")},
};
INSTANTIATE_TEST_SUITE_P(Controls, ControlSeenByClient,
                         Combine(ValuesIn(kRows), Values(Engine::InProcess, Engine::Daemon)),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).name) +
                                    (std::get<1>(info.param) == Engine::Daemon ? "_OverTheDaemon"
                                                                               : "_InProcess");
                         });

}  // namespace
