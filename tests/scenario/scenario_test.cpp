// Scenario files: what the reader refuses and how it orders steps, and how a scenario plays
// against a recording `send`, without an engine. ZVPLD_EXAMPLES: the shipped examples' paths,
// split by '|'.
#include <chrono>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <gmock/gmock.h>

#include "RecordedEngine.h"
#include "sim/Scenario.h"
#include "sim/SimEngine.h"

using namespace std::string_literals;

namespace {

using Clock = std::chrono::steady_clock;
using zvsim::ParseScenario;

// The fault named in the refusal of `text`; "" when it was taken.
std::string refusal(const std::string& text) {
    try {
        ParseScenario(text);
        return "";
    } catch (const std::runtime_error& e) {
        return e.what();
    }
}

std::string manySteps(int n) {
    std::string steps;
    for (int i = 0; i < n; ++i)
        steps += std::string(i ? "," : "") + R"({"at": 0, "do": "release"})";
    return R"({"steps": [)" + steps + "]}";
}

// A step with a field "x" of lists, `depth` levels deep with the step and the file's object.
std::string nested(int depth) {
    return R"({"steps": [{"at": 0, "do": "release", "x": )" + std::string(depth - 3, '[') +
           std::string(depth - 3, ']') + "}]}";
}

TEST(ScenarioFile, EachFaultIsRefusedWithItsNameAndAGoodFileIsTaken) {
    const struct {
        std::string text, fault;  // fault "": taken
    } cases[] = {
        {R"({"steps": [{"at": 0, "do": "release"}]})", ""},
        {manySteps(1000), ""},
        {"{\"steps\": [", "not JSON"},
        {"[1, 2]", "one JSON object"},
        {R"({"steps": [{"at": 0, "do": "release"}], "loop": true})", "unknown field \"loop\""},
        {R"({"steps": [{"at": 0, "after": 5, "do": "release"}]})", "step 1 must have exactly one"},
        {R"({"steps": [{"do": "release"}]})", "step 1 must have exactly one"},
        {R"({"steps": [{"at": -5, "do": "release"}]})", "step 1's \"at\" must be"},
        {R"({"steps": [{"after": 1.5, "do": "release"}]})", "step 1's \"after\" must be"},
        {R"({"steps": [{"at": 86400000, "do": "release"}, {"after": 1, "do": "release"}]})",
         "step 2 comes 86400001 ms"},
        {R"({"steps": [{"at": 0, "do": "release"}, {"at": 9, "do": "melt"}]})",
         "step 2: do: unknown verb \"melt\""},
        {R"({"steps": [{"at": 0, "note": "x"}]})", "step 1 has no \"do\""},
        {R"({"steps": [{"at": 0, "do": "wait", "timeout_ms": 9}]})", "step 1: wait is no scenario"},
        {R"({"steps": [{"at": 0, "note": 5, "do": "release"}]})", "\"note\" must be a text"},
        {R"({"steps": [3]})", "step 1 must be an object"},
        {manySteps(1001), "1 to 1000 steps, not 1001"},
        {R"({"steps": []})", "1 to 1000 steps, not 0"},
        {R"({"name": "x"})", "\"steps\" must be a list"},
        {R"({"seed": -1, "steps": [{"at": 0, "do": "release"}]})", "\"seed\" must be"},
        {R"({"seed": 9223372036854775808, "steps": [{"at": 0, "do": "release"}]})",
         "\"seed\" must be"},
        {R"({"repeat": 1000001, "steps": [{"at": 0, "do": "release"}]})", "\"repeat\" must be"},
        {R"({"repeat": 0, "steps": [{"at": 99, "do": "release"}]})", "last step at 100 ms"},
        {R"({"name": 7, "steps": [{"at": 0, "do": "release"}]})", "\"name\" must be a text"},
        {"{\"name\": \"" + std::string(1 << 20, 'x') + "\"}", "more than 1048576"},
        // Nesting is counted before the parser, outside texts only: 32 levels are parsed.
        {nested(32), "unknown field \"x\""},
        {nested(33), "nested deeper than 32 levels, at byte 73"},
        {nested(15000), "nested deeper than 32 levels"},
        {R"({"steps": [{"at": 0, "note": "\"[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[", "do": "release"}]})",
         ""},
        // A refusal shows the start of a value, not all of someone's file.
        {R"({"seed": ")" + std::string(4096, 'S') + R"(", "steps": []})",
         "not \"SSSSSSSSSSSSSSSSSSSSSSSSSSSSSSS..."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text.substr(0, 80));
        const std::string got = refusal(c.text);
        EXPECT_EQ(got.empty(), c.fault.empty()) << got;
        EXPECT_THAT(got, testing::HasSubstr(c.fault));
    }
}

TEST(ScenarioFile, AfterCountsFromThePreviousStepOfTheFileAndStepsAreSortedStably) {
    const zvsim::Scenario s = ParseScenario(R"({"name": "n", "seed": 7, "repeat": 3, "steps": [
        {"at": 500, "note": "a", "do": "event", "id": 1, "state": 1},
        {"after": 250, "note": "b", "do": "release"},
        {"at": 100, "note": "c", "do": "pld_count"},
        {"at": 750, "note": "d", "do": "release"}]})");
    std::string order = s.name + std::to_string(s.seed) + std::to_string(s.repeat) + ":";
    for (const auto& step : s.steps) order += " " + step.note + std::to_string(step.atMs);
    EXPECT_EQ(order, "n73: c100 a500 b750 d750");
    // The command is the step without its time and note.
    EXPECT_EQ(s.steps[1].command, R"({"do":"event","id":1,"state":1})");
}

TEST(ScenarioFile, EveryShippedExampleIsTaken) {
    std::stringstream paths(ZVPLD_EXAMPLES);
    int taken = 0;
    for (std::string path; std::getline(paths, path, '|'); ++taken) {
        std::ifstream in(path);
        EXPECT_TRUE(in) << path;
        EXPECT_EQ(refusal({std::istreambuf_iterator<char>(in), {}}), "") << path;
    }
    EXPECT_GE(taken, 4);
}

// A step is refused when the catalogue's engine refuses it after the steps before it, whatever
// the clients did between: a counted control may have retired, its name free and gone.
TEST(ScenarioFile, AStepIsRefusedOnlyWhenTheEngineRefusesItWhateverTheClientsDid) {
    const std::string fail = R"({"at": 0, "do": "fail", "device": 1, "point": 10, "status": 5)";
    const std::string clear = R"({"at": 9, "do": "clear", "name": "fail-1-10"})";
    const std::pair<std::string, bool> cases[] = {
        {fail + "}, " + fail + "}", true},
        {fail + R"(, "count": 1}, )" + fail + "}", false},
        {fail + R"(, "count": 1}, )" + clear, false},
        {fail + R"(, "count": 1}, )" + clear + ", " + clear, true},
        {R"({"at": 0, "do": "notify", "action": "drop"}, {"at": 1, "do": "notify", "action": "drop"})",
         false}};
    for (const auto& [steps, refused] : cases) {
        const std::string refusal = zvsim::CheckScenario(
            ParseScenario(R"({"steps": [)" + steps + "]}"),
            zvsim::Catalogue::FromJson(
                R"({"devices": [{"index": 1, "points": [{"gddId": 10, "values": [5]}]}]})"));
        EXPECT_EQ(refusal.empty(), !refused) << steps << ": " << refusal;
    }
}

// Each command sent, with when it was sent from the start of the play; `answer` to pld_count.
struct Recorder {
    Clock::time_point start = Clock::now();
    std::vector<std::pair<std::string, std::int64_t>> sent;
    std::string answer = R"({"ok": true, "done": "done"})";

    std::string send(const std::string& command) {
        sent.emplace_back(
            command,
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
        return command.find("pld_count") != std::string::npos ? answer
                                                              : R"({"ok": true, "done": "x"})";
    }
    zvsim::PlayOptions options() {
        zvsim::PlayOptions o;
        o.send = [this](const std::string& c) {
            return send(c);
        };
        return o;
    }
};

const char* const kThreeSteps = R"({"seed": 9, "repeat": 2, "steps": [
    {"at": 0, "do": "release"}, {"at": 150, "do": "pld_count"}, {"after": 100, "do": "event", "id": 1, "state": 0}]})";

// A refused or unreadable answer makes the play false, and the rest still plays.
TEST(ScenarioPlay, EachPassResetsWithTheSeedThenSendsEachStepNoEarlierThanItsTime) {
    const char* const expected[] = {R"({"do":"reset","seed":9})", R"({"do":"release"})",
                                    R"({"do":"pld_count"})", R"({"do":"event","id":1,"state":0})"};
    const std::int64_t due[] = {0, 0, 150, 250};
    const std::string ok = Recorder().answer;
    for (const std::string& answer :
         {ok, R"({"ok": false, "error": "no"})"s, "not json"s, R"({"done": "x"})"s}) {
        SCOPED_TRACE(answer);
        Recorder r;
        r.answer = answer;
        zvsim::PlayOptions o = r.options();
        std::vector<std::int64_t> elapsed;
        o.onStep = [&](const zvsim::ScenarioStep&, std::int64_t ms, const std::string&) {
            elapsed.push_back(ms);
        };
        EXPECT_EQ(zvsim::PlayScenario(ParseScenario(kThreeSteps), o), answer == ok);
        ASSERT_EQ(r.sent.size(), 8u);
        ASSERT_EQ(elapsed.size(), 8u);
        for (std::size_t i = 0; i < 8; ++i) {
            EXPECT_EQ(r.sent[i].first, expected[i % 4]) << i;
            // The second pass starts after the first one's last step.
            EXPECT_GE(r.sent[i].second, due[i % 4] + (i < 4 ? 0 : 250)) << i;
            EXPECT_GE(elapsed[i], due[i % 4]) << i;
        }
    }
}

TEST(ScenarioPlay, AResumedFirstPassSkipsItsResetAndEarlierStepsAndKeepsTheTimesOfTheRest) {
    Recorder r;
    zvsim::PlayOptions o = r.options();
    o.resumeAtMs = 100;
    zvsim::Scenario s = ParseScenario(kThreeSteps);
    s.repeat = 1;
    EXPECT_TRUE(zvsim::PlayScenario(s, o));
    ASSERT_EQ(r.sent.size(), 2u);
    EXPECT_EQ(r.sent[0].first, R"({"do":"pld_count"})");
    EXPECT_GE(r.sent[0].second, 50);  // due 150 ms from a start 100 ms ago
    EXPECT_GE(r.sent[1].second, 150);
}

// Play options for `e`'s engine, by its clock, which stands from now.
zvsim::PlayOptions frozenPlay(RecordedEngine& e) {
    e.ctl(R"({"do": "clock", "action": "freeze"})");
    zvsim::PlayOptions o;
    o.send = [&e](const std::string& command) {
        return e.engine->Control(command);
    };
    o.engineClock = true;
    return o;
}

// By the engine's frozen clock, advanced to each step: overheat.json's minute in no time, each
// step at its own time of the engine's, the plant's triangle there at its value for that time.
TEST(ScenarioPlay, OnAFrozenEngineClockEachStepComesAtItsTimeWithThePlantsValueThen) {
    std::stringstream paths(ZVPLD_EXAMPLES);
    std::string path;
    while (std::getline(paths, path, '|') && path.find("overheat.json") == std::string::npos) {
    }
    RecordedEngine e;
    zvsim::PlayOptions o = frozenPlay(e);
    std::vector<std::string> steps;
    o.onStep = [&](const zvsim::ScenarioStep&, std::int64_t ms, const std::string&) {
        steps.push_back(std::to_string(ms) + " " + e.value(1, 100));
    };
    EXPECT_TRUE(zvsim::PlayScenario(zvsim::ReadScenario(path), o));
    // 61.5 to 69 and back over 60 s: 67.5 at 24 s, 63.0 at 54 s.
    EXPECT_THAT(steps, ::testing::ElementsAre("0 615", "0 615", "24000 675", "54000 630",
                                              "60000 615", "60000 615"));
}

// A plant updating every 10 ms makes 120,000 updates in 20 minutes, more than one advance may
// leave: the clock still comes to the second step's time before it is played.
TEST(ScenarioPlay, OnAFrozenEngineClockABusyPlantsLongGapIsAdvancedInSmallerSteps) {
    RecordedEngine e;
    zvsim::PlayOptions o = frozenPlay(e);
    std::vector<std::int64_t> at, clock;
    o.onStep = [&](const zvsim::ScenarioStep&, std::int64_t ms, const std::string&) {
        at.push_back(ms);
        clock.push_back(e.ctl(R"({"do": "status"})")["clock"]["ms"]);
    };
    EXPECT_TRUE(zvsim::PlayScenario(ParseScenario(R"({"steps": [
        {"at": 0, "do": "plant", "device": 1, "point": 100, "signal": "ramp", "min": 0,
         "max": 10, "period_ms": 1000, "update_ms": 10},
        {"at": 1200000, "do": "release"}]})"),
                                    o));
    EXPECT_THAT(at, ::testing::ElementsAre(0, 0, 1200000));
    ASSERT_EQ(clock.size(), 3u);
    EXPECT_EQ(clock[2] - clock[1], 1200000);  // from the engine's time when play began
}

// A frozen clock's pass takes none of the host's time: an endless play still lasts 100 ms of it
// a pass, so that it does not send resets back to back.
TEST(ScenarioPlay, AnEndlessPlayOnAFrozenEngineClockPassesNoFasterThanTenTimesASecond) {
    RecordedEngine e;
    zvsim::PlayOptions o = frozenPlay(e);
    std::atomic<bool> stop{false};
    o.stop = &stop;
    std::atomic<int> passes{0};
    o.onStep = [&](const zvsim::ScenarioStep& step, std::int64_t, const std::string&) {
        passes += step.note.rfind("pass", 0) == 0;
    };
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(350));
        stop = true;
    });
    zvsim::PlayScenario(ParseScenario(R"({"repeat": 0, "steps": [{"at": 100, "do": "release"}]})"),
                        o);
    stopper.join();
    EXPECT_LE(passes, 5);
}

TEST(ScenarioPlay, AStopEndsAnEndlessPlayWhileItWaitsForAStep) {
    Recorder r;
    zvsim::PlayOptions o = r.options();
    std::atomic<bool> stop{false};
    o.stop = &stop;
    const zvsim::Scenario s =
        ParseScenario(R"({"repeat": 0, "steps": [{"at": 60000, "do": "release"}]})");
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        stop = true;
    });
    EXPECT_TRUE(zvsim::PlayScenario(s, o));
    stopper.join();
    ASSERT_EQ(r.sent.size(), 1u);  // the reset only: the step was not due
    EXPECT_EQ(r.sent[0].first, R"({"do":"reset","seed":1})");
}

}  // namespace
