// The engine's own clock (frozen, advanced, run again) and the full reset, in process.
#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include <gmock/gmock.h>

#include "RecordedEngine.h"

using namespace ::testing;
using nlohmann::json;

namespace {

const char* const kFreeze = R"({"do": "clock", "action": "freeze"})";
std::string advance(int ms) {
    return R"({"do": "clock", "action": "advance", "ms": )" + std::to_string(ms) + "}";
}
void ok(RecordedEngine& e, const std::string& command) {
    ASSERT_EQ(e.ctl(command).value("ok", false), true) << command << " " << e.ctl(command);
}

// The built-in catalogue ticks every 1000 ms: point 1/100 walks by 3 from 615, event 2 takes
// the next of its cycle [0, 1] every 2 ticks. The plant ramps pump 2/200 over 0..100 each second.
TEST(Clock, FrozenNothingMovesAndAnAdvanceMakesWhatFallsDueInTimeOrder) {
    RecordedEngine e;
    ok(e, kFreeze);
    ok(e, R"({"do": "plant", "device": 2, "point": 200, "signal": "ramp", "min": 0, "max": 100,
              "period_ms": 1000, "update_ms": 400})");
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));  // a tick's time and more
    EXPECT_THAT(e.notes(), IsEmpty());
    EXPECT_EQ(e.value(1, 100), "615");
    ok(e, advance(1000));
    EXPECT_THAT(e.notes(),
                ElementsAre("v 2/200/0=0", "v 2/200/0=40", "v 2/200/0=80", "v 1/100/0=618"));
    ok(e, advance(1000));
    EXPECT_THAT(e.notes(), ElementsAre("v 2/200/0=20", "v 2/200/0=60", "v 1/100/0=621", "e 2=1",
                                       "v 2/200/0=0"));
    EXPECT_EQ(e.ctl(R"({"do": "status"})")["clock"]["frozen"], true);
    ZvVelInventory inventory{};
    EXPECT_EQ(e.engine->GetVelServerInventory(&inventory), 0);
    EXPECT_EQ(inventory.upTimeSec, 2u);  // of the engine's time, the host's 1.2 s apart
    // Run again, fast: the ticks come by themselves.
    ok(e, R"({"do": "clock", "action": "run", "speed": 100})");
    EXPECT_TRUE(WaitUntil([&] { return e.value(1, 100) != "621"; }));
}

// Two engines given the same commands and steps read the same values, however far apart in the
// host's time they are given.
TEST(Clock, FrozenTheSameCommandsGiveTheSameValues) {
    const auto play = [](RecordedEngine& e) {
        ok(e, kFreeze);
        ok(e, R"({"do": "plant", "device": 2, "point": 200, "signal": "noise", "min": 0,
                  "max": 100, "period_ms": 1000, "update_ms": 100})");
        ok(e, advance(2345));
        ok(e, R"({"do": "set", "device": 1, "point": 101, "value": 62})");
        ok(e, advance(777));
        return e.engine->ValuesJson() + json(e.notes()).dump();
    };
    RecordedEngine a, b;
    const std::string first = play(a);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(play(b), first);
}

// In process the calling thread waits out a delay: the advance that reaches its end lets it go;
// a running clock ends a delay itself.
TEST(Clock, AnAdvanceEndsADelayAtItsTimeAndARunningClockEndsItItself) {
    RecordedEngine e;
    ok(e, kFreeze);
    ok(e, R"({"do": "plant", "device": 2, "point": 200, "signal": "ramp", "min": 0, "max": 100,
              "period_ms": 1000, "update_ms": 400})");
    ok(e, R"({"do": "delay", "ms": 500, "device": 2})");
    std::atomic<int> got{-1};
    std::thread caller([&] { got = std::stoi(e.value(2, 200)); });
    EXPECT_TRUE(WaitUntil([&] { return e.ctl(R"({"do": "status"})")["held"] == 1; }));
    ok(e, advance(499));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(got, -1);
    ok(e, advance(1));
    EXPECT_TRUE(WaitUntil([&] { return got != -1; }, 2000));
    EXPECT_EQ(got, 40);  // the ramp's value of 400 ms
    ok(e, R"({"do": "clock", "action": "run", "speed": 1000})");
    caller.join();
    EXPECT_THAT(e.value(2, 200), Not(StartsWith("rc")));  // 500 ms at speed 1000
}

TEST(Clock, RefusedStepsChangeNothing) {
    RecordedEngine e;
    EXPECT_THAT(e.ctl(advance(10)).value("error", ""), HasSubstr("needs a frozen clock"));
    ok(e, kFreeze);
    const json before = e.ctl(R"({"do": "status"})");
    // A day of ticks: 86400 of them, each changing point 1/100 and perhaps event 2.
    EXPECT_THAT(e.ctl(advance(86400000)).value("error", ""),
                HasSubstr("could leave 172800 changes to go out, and at most 100000 may"));
    ok(e, R"({"do": "plant", "device": 2, "point": 200, "signal": "ramp", "min": 0, "max": 100,
              "period_ms": 1000, "update_ms": 10})");
    EXPECT_THAT(e.ctl(advance(3600000)).value("error", ""), HasSubstr("at most 100000 may"));
    EXPECT_EQ(e.ctl(R"({"do": "status"})")["clock"], before["clock"]);
    EXPECT_EQ(e.value(1, 100), "615");
}

// What a full reset puts back: the values; and the rest (the points and reports, events,
// offline flags, controls, seed and PLD count).
std::pair<std::string, std::string> state(RecordedEngine& e) {
    json status = e.ctl(R"({"do": "status"})");
    status.erase("clock");
    std::string rest = status.dump() + " pld " + std::to_string(e.engine->PldCount());
    const zvsim::Catalogue c = e.engine->Snapshot();
    for (const auto& [index, device] : c.devices) {
        for (const auto& [gddId, point] : device.points) rest += " " + std::to_string(gddId);
        for (const auto& [gddId, r] : device.reports)
            rest += " " + std::to_string(gddId) + "<" + std::to_string(r.parent);
    }
    for (const auto& [id, event] : c.events) rest += " e" + std::to_string(event.state);
    return {e.engine->ValuesJson(), rest};
}

// Each kind of state changed, then back as the catalogue has it, the values too unless kept.
TEST(FullReset, PutsEachKindOfStateBackAsTheCatalogueHasIt) {
    zvsim::Point added;
    added.gddId = 900;
    added.values = {5};
    using Change = std::function<void(RecordedEngine&)>;
    const auto command = [](const char* c) -> Change {
        return [c](RecordedEngine& e) {
            ok(e, c);
        };
    };
    const std::pair<const char*, Change> rows[] = {
        {"a value", command(R"({"do": "set", "device": 1, "point": 101, "value": 62})")},
        {"a point added",
         [&](RecordedEngine& e) {
             e.engine->AddPoint(1, added);
         }},
        {"a point removed",
         [](RecordedEngine& e) {
             e.engine->RemovePoint(1, 103);
         }},
        {"an event's state", command(R"({"do": "event", "id": 1, "state": 1})")},
        {"two ticks: a live point, a cycle", command(R"({"do": "clock", "action": "advance",
                                                         "ms": 2000})")},
        {"the report structure",
         command(R"({"do": "report_parent", "device": 1, "report": 1030, "parent": 1010})")},
        {"an offline flag", command(R"({"do": "offline", "device": 1})")},
        {"a control", command(R"({"do": "fail", "device": 1, "point": 101, "status": 5})")},
        {"the seed", command(R"({"do": "reset", "seed": 9})")},
        {"the PLD count",
         [](RecordedEngine& e) {
             e.engine->AnnouncePldCount();
         }},
    };
    for (const bool keep : {false, true}) {
        for (const auto& [what, change] : rows) {
            RecordedEngine e;
            ok(e, kFreeze);
            const auto before = state(e);
            change(e);
            EXPECT_NE(state(e), before) << what;
            ok(e, keep ? R"({"do": "reset", "catalogue": true, "keep_values": true})"
                       : R"({"do": "reset", "catalogue": true})");
            const auto after = state(e);
            EXPECT_EQ(after.second, before.second) << what << (keep ? ", values kept" : "");
            if (!keep) {
                EXPECT_EQ(after.first, before.first) << what;
            }
        }
    }
    // Kept: a point that stays has its value, one that comes back the catalogue's.
    RecordedEngine e;
    ok(e, R"({"do": "set", "device": 1, "point": 101, "value": 62})");
    e.engine->RemovePoint(1, 103);
    ok(e, R"({"do": "reset", "catalogue": true, "keep_values": true})");
    EXPECT_EQ(e.value(1, 101) + " " + e.value(1, 103), "620 48213");
}

// A client hears of the reset as of any change: the structure's first, with the count 1 that
// tells it to drop what it cached; then each event and value that goes back. Once is enough.
TEST(FullReset, TellsClientsOfTheStructureFirstThenOfEachStateAndValueItPutsBack) {
    RecordedEngine e;
    ok(e, kFreeze);
    e.engine->SetStartingSeed(5);
    zvsim::Point added;
    added.gddId = 900;
    added.values = {5};
    e.engine->AddPoint(1, added);
    ok(e, R"({"do": "event", "id": 1, "state": 1})");
    ok(e, R"({"do": "set", "device": 1, "point": 101, "value": 62})");
    ok(e, advance(2000));
    EXPECT_THAT(e.notes(), ElementsAre("p 2", "e 1=1", "v 1/101/0=620", "v 1/100/0=618",
                                       "v 1/100/0=621", "e 2=1"));
    EXPECT_THAT(e.ctl(R"({"do": "reset", "catalogue": true})").value("done", ""),
                HasSubstr("seed 5"));
    EXPECT_THAT(e.notes(), ElementsAre("p 1", "e 1=0", "e 2=0", "v 1/100/0=615", "v 1/101/0=600"));
    EXPECT_EQ(e.engine->PldCount(), 1u);
    ok(e, R"({"do": "reset", "catalogue": true})");
    EXPECT_THAT(e.notes(), IsEmpty());
    // The ticks and the cycles start over, as from the start.
    ok(e, advance(2000));
    EXPECT_THAT(e.notes(), ElementsAre("v 1/100/0=618", "v 1/100/0=621", "e 2=1"));
}

}  // namespace
