// `pldctl scenario run` against pld-engined as a real process, with a `pldctl watch` process
// seeing what the scenario did.
#include <algorithm>

#include <gmock/gmock.h>
#include <nlohmann/json.hpp>

#include "DaemonFixture.h"

namespace {

class ScenarioEndToEndTest : public DaemonFixture {
  protected:
    void SetUp() override {
        DaemonFixture::SetUp();
        ::alarm(100);  // reads from children block: one that never answers ends the test here
        std::ofstream(m_dir + "/catalogue.json") << R"({"tickMs": 0, "devices": [{"index": 1,
            "points": [{"gddId": 1, "access": "rw", "min": 0, "max": 100, "values": [0]}]}],
            "events": [{"id": 1, "group": 1, "device": 1, "label": "Hot", "state": 0}]})";
    }

    std::string scenarioFile(const std::string& steps) {
        const std::string path = m_dir + "/scenario.json";
        std::ofstream(path) << R"({"name": "t", "seed": 5, "steps": [)" + steps + "]}";
        return path;
    }
};

// The index of the first line from `from` on that contains `text`; lines.size() when none does.
std::size_t find(const std::vector<std::string>& lines, const std::string& text,
                 std::size_t from = 0) {
    const auto it = std::find_if(lines.begin() + static_cast<std::ptrdiff_t>(from), lines.end(),
                                 [&](const std::string& l) { return l.find(text) != l.npos; });
    return static_cast<std::size_t>(it - lines.begin());
}

TEST_F(ScenarioEndToEndTest, AWatcherSeesTheScenariosValueChangesAndEventsInTheirOrder) {
    ASSERT_TRUE(daemon());
    Process& watcher = pldctl({"watch", "--kinds", "value,event", "--seconds", "6"});
    EXPECT_EQ(watcher.line().rfind("Watching for 6 s", 0), 0u);  // once registered
    Process& player =
        pldctl({"scenario", "run",
                scenarioFile(R"({"at": 0, "do": "set", "device": 1, "point": 1, "value": 10},
                         {"after": 100, "note": "too hot", "do": "event", "id": 1, "state": 1},
                         {"after": 100, "do": "set", "device": 1, "point": 1, "value": 20},
                         {"after": 100, "do": "event", "id": 1, "state": 0},
                         {"after": 100, "do": "set", "device": 1, "point": 1, "value": 30})")});
    const std::vector<std::string> played = player.lines();
    EXPECT_EQ(player.exitStatus(), 0) << ::testing::PrintToString(played);
    std::size_t at = 0;
    for (const char* step :
         {"reset seed=5", "set device=1 point=1 value=10", "event id=1 state=1 (too hot)",
          "set device=1 point=1 value=20", "event id=1 state=0", "set device=1 point=1 value=30",
          "Done: 6 commands sent, 0 refused"}) {
        at = find(played, step, at);
        EXPECT_LT(at, played.size()) << step << " in order in\n"
                                     << ::testing::PrintToString(played);
    }
    // The watcher drains events and value changes from queues of their own: each kind in order.
    const std::vector<std::string> seen = watcher.lines();
    for (const auto& kind :
         {std::vector<std::string>{"GddId 1, module 1: 10", "GddId 1, module 1: 20"},
          {"event 1 (Hot), group 1, device 1: state 1",
           "event 1 (Hot), group 1, device 1: state 0"}}) {
        const std::size_t first = std::min(find(seen, kind[0]) + 1, seen.size());
        EXPECT_LT(find(seen, kind[1], first), seen.size())
            << kind[0] << " then " << kind[1] << " in\n"
            << ::testing::PrintToString(seen);
    }
    EXPECT_LT(find(seen, "Done: value changes 3, events 2, PLD counts 0"), seen.size())
        << ::testing::PrintToString(seen);
}

// A read by another pldctl process, as `sim journal` prints it; `sim wait` exits as it fared.
TEST_F(ScenarioEndToEndTest, SimJournalPrintsTheCallsAndSimWaitExitsAsItFared) {
    ASSERT_TRUE(daemon());
    Process& reader = pldctl({"get", "1", "1"});
    const pid_t pid = reader.pid;
    EXPECT_EQ(reader.exitStatus(), 0);
    const std::vector<std::string> lines =
        pldctl({"sim", "journal", "--op", "GetVelPntStr"}).lines();
    ASSERT_EQ(lines.size(), 3u) << ::testing::PrintToString(lines);
    EXPECT_NE(lines[0].find("(pid " + std::to_string(pid) +
                            ")  GetVelPntStr device 1 point 1 module 0 aux 0  status 0  "),
              std::string::npos)
        << lines[0];
    EXPECT_EQ(lines[1].rfind("1 matching calls, 1 listed, last #", 0), 0u) << lines[1];
    EXPECT_EQ(lines[2].rfind("time p50 ", 0), 0u) << lines[2];
    const std::vector<std::string> wait = {"sim",       "wait",   "--op",   "GetVelPntStr",
                                           "--timeout", "2500ms", "--count"};
    std::vector<std::string> once = wait, twice = wait;
    once.push_back("1");
    twice.push_back("2");
    EXPECT_EQ(pldctl(once).exitStatus(), 0);
    EXPECT_EQ(pldctl(twice).exitStatus(), 1);
    // Past the control connection's default deadline: the wait's reply is still waited for.
    EXPECT_NE(log().find("pldctl: sim wait: wait: timed out after 2500 ms with 1 of 2 matching "
                         "calls seen"),
              std::string::npos)
        << log();
}

// `pldctl sim`'s commands as `sim status` lists them (fields, units, flags as the engine took
// them); then `pldctl scenario run`'s exit status: a refused step 1, a bad file 2 that changes
// nothing (the value written before it stays). The --json test has the refusals of `sim`.
TEST_F(ScenarioEndToEndTest, SimSubcommandsAreListedAsInForceAndScenarioRunsExitAsTheyFared) {
    ASSERT_TRUE(daemon());
    const struct {
        std::vector<std::string> args;
        int status;
    } cases[] = {
        {{"offline", "1"}, 0},
        {{"fail", "1", "1", "--status", "1007", "--reads", "--count", "2"}, 0},
        {{"delay", "--min-ms", "1", "--max-ms", "2s", "--device", "1"}, 0},
        {{"plant", "1", "1", "step", "0", "100", "--period", "1.5s", "--steps", "4", "--update",
          "1m"},
         0},
        {{"notify", "repeat", "--kind", "event"}, 0},
        {{"clock", "advance", "--by", "1s"}, 1},  // a running clock
        {{"clock", "run", "--speed", "5000"}, 1},
        {{"reset", "--keep-values"}, 1},  // only with --catalogue
    };
    for (const auto& c : cases) {
        std::vector<std::string> args{"sim"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        EXPECT_EQ(pldctl(args).exitStatus(), c.status) << ::testing::PrintToString(c.args);
    }
    const std::vector<std::string> status = pldctl({"sim", "status"}).lines();
    for (const char* shown :
         {"offline devices: 1", "controls: 4",
          "fail count=2 device=1 left=2 on=reads point=1 status=1007",
          "delay device=1 max_ms=2000 min_ms=1",
          "plant device=1 max=100 min=0 module=0 period_ms=1500 point=1 signal=step steps=4 "
          "update_ms=60000",
          "notify action=repeat count=1 kind=event left=1"}) {
        EXPECT_LT(find(status, shown), status.size()) << shown << " in\n"
                                                      << ::testing::PrintToString(status);
    }
    EXPECT_EQ(pldctl({"sim", "reset", "--seed", "4"}).exitStatus(), 0);
    EXPECT_THAT(
        pldctl({"sim", "status"}).lines(),
        ::testing::ElementsAre("seed 4", "offline devices: none", "held answers: 0",
                               ::testing::StartsWith("clock: running at "), "controls: none"));
    const std::string good = R"({"at": 0, "do": "set", "device": 1, "point": 1, "value": 7})";
    const struct {
        std::string steps;
        int status;
        std::string printed;
    } runs[] = {
        {good, 0, "Done: 2 commands sent, 0 refused"},
        {good + R"(, {"after": 10, "do": "offline", "device": 9})", 1, "refused: "},
        {R"({"at": 0, "do": "set", "device": 1, "point": 1, "value": 9}, {"at": 1, "do": "melt"})",
         2, ""},
    };
    for (const auto& c : runs) {
        Process& player = pldctl({"scenario", "run", scenarioFile(c.steps)});
        const std::vector<std::string> printed = player.lines();
        EXPECT_EQ(player.exitStatus(), c.status) << c.steps;
        if (!c.printed.empty()) {
            EXPECT_LT(find(printed, c.printed), printed.size())
                << ::testing::PrintToString(printed);
        }
    }
    EXPECT_TRUE(logged("step 2: do: unknown verb \"melt\"")) << log();
    EXPECT_EQ(pldctl({"get", "1", "1"}).line(), ": 7");
    // By the engine's clock: a frozen one advanced to each step, a minute in no time; --speed
    // for the run alone.
    const std::string minute = R"({"at": 0, "do": "set", "device": 1, "point": 1, "value": 1},
        {"at": 60000, "do": "set", "device": 1, "point": 1, "value": 2})";
    EXPECT_EQ(pldctl({"sim", "clock", "freeze"}).exitStatus(), 0);
    const std::vector<std::string> frozen =
        pldctl({"scenario", "run", scenarioFile(minute)}).lines();
    EXPECT_LT(find(frozen, "+60.000s  set device=1 point=1 value=2"), frozen.size())
        << ::testing::PrintToString(frozen);
    EXPECT_EQ(pldctl({"sim", "clock", "run"}).exitStatus(), 0);
    EXPECT_EQ(pldctl({"scenario", "run", scenarioFile(minute), "--speed", "1000"}).exitStatus(), 0);
    EXPECT_EQ(pldctl({"get", "1", "1"}).line(), ": 2");
    const std::vector<std::string> after = pldctl({"sim", "status"}).lines();
    EXPECT_THAT(after, ::testing::Contains(::testing::EndsWith(", speed 1")));
}

// The same exit status with --json as without; with it every line of stdout is a JSON object,
// the last holding what the row names, and people's messages go to stderr.
TEST_F(ScenarioEndToEndTest, JsonAnswersExitAsTheTextOnesDo) {
    ASSERT_TRUE(daemon());
    const std::string refused =
        scenarioFile(R"({"at": 0, "note": "n", "do": "offline", "device": 1},
                        {"after": 10, "do": "offline", "device": 9})");
    const std::string daemonText = m_engine, nobody = "unix:" + m_dir + "/nobody.sock";
    const struct {
        std::vector<std::string> args;
        std::string engine;
        int status;
        std::size_t lines;  // with --json
        const char* at;     // in the last line
        nlohmann::json value;
    } cases[] = {
        {{"sim", "offline", "1"}, daemonText, 0, 1, "/done", "device 1 offline"},
        {{"sim", "offline", "9"}, daemonText, 1, 1, "/error", "unknown device 9"},
        {{"sim", "clear", "nothing"}, daemonText, 1, 1, "/ok", false},
        {{"sim", "status"}, daemonText, 0, 1, "/offline", {1}},
        {{"scenario", "run", refused}, daemonText, 1, 4, "/refused", 1},
        {{"scenario", "run", refused}, nobody, 3, 1, "/ok", false},
        {{"scenario", "check", refused}, daemonText, 0, 1, "/steps", 2},
        {{"scenario", "check", refused, "--catalogue", m_dir + "/catalogue.json"},
         daemonText,
         1,
         1,
         "/ok",
         false},
        {{"scenario", "check", m_dir + "/none.json"}, daemonText, 2, 1, "/ok", false},
    };
    for (const auto& c : cases) {
        m_engine = c.engine;
        EXPECT_EQ(pldctl(c.args).exitStatus(), c.status) << ::testing::PrintToString(c.args);
        std::vector<std::string> args = c.args;
        args.push_back("--json");
        Process& p = pldctl(args);
        const std::vector<std::string> lines = p.lines();
        EXPECT_EQ(p.exitStatus(), c.status) << ::testing::PrintToString(args);
        ASSERT_EQ(lines.size(), c.lines) << ::testing::PrintToString(lines);
        for (const std::string& line : lines) {
            EXPECT_TRUE(nlohmann::json::parse(line, nullptr, false).is_object()) << line;
        }
        if (lines.empty()) continue;
        const auto last = nlohmann::json::parse(lines.back(), nullptr, false);
        const auto at = nlohmann::json::json_pointer(c.at);
        EXPECT_EQ(last.contains(at) ? last[at] : nlohmann::json(), c.value) << lines.back();
    }
}

// `pldctl sim events` follows each change and each step that a `pldctl scenario run` plays, in
// order, naming the player and each step's place in the file; it fails once the daemon goes.
TEST_F(ScenarioEndToEndTest, SimEventsFollowsTheChangesAndStepsAScenarioRunPlays) {
    Process* const d = daemon();
    ASSERT_TRUE(d);
    Process& follower = pldctl({"sim", "events", "--count", "5"});
    EXPECT_EQ(follower.line(), "Following the engine's events");
    Process& player =
        pldctl({"scenario", "run",
                scenarioFile(R"({"at": 50, "do": "set", "device": 1, "point": 1, "value": 10},
                         {"at": 0, "note": "hot", "do": "event", "id": 1, "state": 1})")});
    EXPECT_EQ(player.exitStatus(), 0);
    const std::vector<std::string> lines = follower.lines();
    EXPECT_EQ(follower.exitStatus(), 0);
    const char* const expected[] = {
        "reset seed=5: every control removed, seed 5",
        "event id=1 state=1: event 1 in state 1",
        "t pass 1 step 2 at 0.000s (hot): event 1 in state 1",
        "set device=1 module=0 point=1 value=10: device 1 point 1 module 0 set to 10",
        "t pass 1 step 1 at 0.050s: device 1 point 1 module 0 set to 10",
    };
    ASSERT_EQ(lines.size(), 5u) << ::testing::PrintToString(lines);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i].rfind("#" + std::to_string(i + 1) + " connection ", 0), 0u) << lines[i];
        const std::size_t by = lines[i].find(", pldctl): ");
        EXPECT_EQ(by == lines[i].npos ? lines[i] : lines[i].substr(by + 11), expected[i]);
    }
    Process& left = pldctl({"sim", "events"});
    EXPECT_EQ(left.line(), "Following the engine's events");
    ::kill(d->pid, SIGTERM);
    EXPECT_EQ(left.exitStatus(), 1);
    EXPECT_TRUE(logged("pldctl: sim events: the daemon closed the connection")) << log();
}

}  // namespace
