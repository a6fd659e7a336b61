// The simulated engine's run-time control, seen by a client through the proxy: faults as result
// codes and log lines, holds, notifications dropped and repeated, the plant moving, and reset.
#include <atomic>
#include <chrono>
#include <functional>
#include <set>
#include <thread>

#include <nlohmann/json.hpp>

#include "MockEngine.h"
#include "Seen.h"
#include "SimFixture.h"
#include "sim/Command.h"
#include "sim/Controller.h"
#include "sim/Feed.h"

using namespace ::testing;
using nlohmann::json;

namespace {

class Control : public SimFixture {
  protected:
    // Frozen: the status of an engine that nothing moves stays the same.
    Control() { engine->Control(R"({"do": "clock", "action": "freeze"})"); }
    json ctl(const std::string& command) { return json::parse(engine->Control(command)); }
    void ok(const std::string& command) {
        ASSERT_EQ(ctl(command).value("ok", false), true) << command;
    }
    int readPump() {
        int v = 0;
        return proxy->GetValueSInt32(&v, 2, 200, 1, 0, 0, 0);
    }
    std::string setpoint() {
        std::string text;
        const int rc = proxy->GetValueString(text, 1, 101, 1, 0, 0, 0, nullptr);
        return rc == 0 ? text : "rc " + std::to_string(rc);
    }
};

TEST_F(Control, ResetTakesBackEveryControlAndTheCatalogueOfflineFlagsButNotValues) {
    EXPECT_EQ(zvsim::SimEngine::Latest(), engine);
    for (const char* command : {
             R"({"do": "offline", "device": 1})",
             R"({"do": "online", "device": 3})",
             R"({"do": "set", "device": 1, "point": 101, "value": 61.5})",
             R"({"do": "fail", "device": 2, "point": 200, "status": 5})",
             R"({"do": "delay", "ms": 1, "device": 2})",
             R"({"do": "stall", "device": 3})",
             R"({"do": "plant", "device": 1, "point": 100, "signal": "sine", "min": 55,
                 "max": 65, "period_ms": 10000})",
             R"({"do": "notify", "action": "drop", "count": 5})",
         }) {
        ok(command);
    }
    const json before = ctl(R"({"do": "status"})");
    EXPECT_EQ(before["offline"], json::array({1}));
    EXPECT_EQ(before["controls"].size(), 5u);
    EXPECT_EQ(before["controls"][4]["left"], 5);
    ok(R"({"do": "reset", "seed": 7})");
    json after = ctl(R"({"do": "status"})");
    after.erase("clock");
    EXPECT_EQ(after,
              json::parse(R"({"ok": true, "seed": 7, "offline": [3], "controls": [], "held": 0})"));
    EXPECT_EQ(setpoint(), "61.5");
}

TEST_F(Control, ADelayHoldsTheAnswersOfItsDeviceAtLeastThatLong) {
    ok(R"({"do": "clock", "action": "run"})");
    ok(R"({"do": "delay", "ms": 150, "device": 2})");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(readPump(), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(150));
}

// The caller waits without the engine's lock: status answers meanwhile, and a stall cleared
// while another one covers the call does not end it; release does.
TEST_F(Control, AStalledCallReturnsWhenAnotherThreadReleasesIt) {
    ok(R"({"do": "stall", "device": 2})");
    ok(R"({"do": "stall"})");
    std::atomic<int> result{-1};
    std::thread caller([&] { result = readPump(); });
    EXPECT_TRUE(WaitUntil([&] { return ctl(R"({"do": "status"})")["held"] == 1; }));
    ok(R"({"do": "clear", "name": "stall-2"})");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(result, -1);
    ok(R"({"do": "release"})");
    caller.join();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(ctl(R"({"do": "status"})")["controls"], json::array());
}

// The daemon's way: the call returns, and its hold is taken once and released later.
TEST_F(Control, ReportedHoldsAreTakenOnceAndReleasedWithAWake) {
    engine->SetHolding(zvsim::SimEngine::Holding::Report);
    const auto wakes = std::make_shared<std::atomic<int>>(0);  // the engine outlives this scope
    engine->OnRelease([wakes] { ++*wakes; });
    ok(R"({"do": "stall", "device": 2})");
    ok(R"({"do": "delay", "min_ms": 10, "max_ms": 20})");
    EXPECT_EQ(readPump(), 0);
    const zvsim::SimEngine::Hold hold = engine->TakeHold();
    EXPECT_TRUE(hold.stalled);
    EXPECT_THAT(hold.delay.count(), AllOf(Ge(10), Le(20)));
    EXPECT_FALSE(engine->StallReleased(hold.stallEpoch));
    EXPECT_EQ(engine->TakeHold().delay.count(), 0);  // taken
    EXPECT_EQ(setpoint(), "60.0");
    EXPECT_FALSE(engine->TakeHold().stalled);  // another device
    EXPECT_EQ(ctl(R"({"do": "status"})")["held"], 1);
    // A stall holds the answers of the calls made while it is in force, until it is cleared.
    ok(R"({"do": "stall", "name": "later"})");
    EXPECT_EQ(readPump(), 0);
    const zvsim::SimEngine::Hold second = engine->TakeHold();
    ok(R"({"do": "clear", "name": "stall-2"})");
    EXPECT_EQ(*wakes, 1);
    EXPECT_TRUE(engine->StallReleased(hold.stallEpoch));
    EXPECT_FALSE(engine->StallReleased(second.stallEpoch));
    ok(R"({"do": "release"})");
    EXPECT_EQ(*wakes, 2);
    EXPECT_TRUE(engine->StallReleased(second.stallEpoch));
    engine->OnRelease(nullptr);  // its owner goes: nothing is called after
    ok(R"({"do": "release"})");
    EXPECT_EQ(*wakes, 2);
}

// The same seed gives the same draws; another seed others.
TEST(ControlSeed, UniformDelaysDrawTheSameForTheSameSeed) {
    const auto draws = [](zvsim::SimEngine& engine, const char* reset) {
        engine.SetHolding(zvsim::SimEngine::Holding::Report);
        engine.Control(reset);
        engine.Control(R"({"do": "delay", "min_ms": 0, "max_ms": 100000})");
        std::vector<long> out;
        for (int i = 0; i < 8; ++i) {
            std::uint32_t value = 0;
            const ZvVelPntDfn pnt{2, 200, 0, 0, 0, nullptr, 0};
            engine.GetVelPntUint32(&pnt, &value);
            out.push_back(static_cast<long>(engine.TakeHold().delay.count()));
        }
        return out;
    };
    zvsim::SimEngine a(zvsim::Catalogue::BuiltIn()), b(zvsim::Catalogue::BuiltIn());
    const std::vector<long> first = draws(a, R"({"do": "reset"})");
    EXPECT_EQ(draws(b, R"({"do": "reset"})"), first);
    EXPECT_NE(draws(b, R"({"do": "reset", "seed": 2})"), first);
    EXPECT_EQ(draws(b, R"({"do": "reset", "seed": 1})"), first);
}

// Values from the plant's side: display units through the norm factor, clamped to the range.
TEST_F(Control, ThePlantSetsValuesInDisplayUnitsClampedToThePointsRange) {
    const std::tuple<int, const char*, const char*> sets[] = {{101, "61.5", "61.5"},
                                                              {101, "99", "85.0"},
                                                              {102, R"("Eco")", "Eco"},
                                                              {104, R"("Hall")", "Hall"}};
    for (const auto& [point, value, want] : sets) {
        ok(R"({"do": "set", "device": 1, "point": )" + std::to_string(point) + R"(, "value": )" +
           value + "}");
        std::string text;
        EXPECT_EQ(
            proxy->GetValueString(text, 1, static_cast<unsigned short>(point), 1, 0, 0, 0, nullptr),
            0);
        EXPECT_EQ(text, want);
    }
}

// The delivering thread's value changes until a Flush; it waits in each while g_blocked.
std::atomic<bool> g_blocked{false};
std::vector<std::uint16_t> g_values;
void recordBlocking(void*, const ZvValChgInfo* info) {
    g_values.push_back(info->pData[1]);
    while (g_blocked) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

// A burst is refused, changing nothing, once 100000 notifications would wait to go out.
TEST_F(Control, BurstsAreRefusedWhileTheirNotificationsPileUp) {
    g_blocked = true;
    ASSERT_EQ(engine->RegValueChange(&recordBlocking, nullptr, 0), 0);
    const std::string burst = R"({"do": "burst", "device": 1, "point": 101, "count": 10000})";
    for (int i = 0; i < 10; ++i) ok(burst);
    EXPECT_THAT(ctl(burst).value("error", ""), HasSubstr("at most 100000 may"));
    g_blocked = false;
    engine->UnReg(1);
}

// A drop asked for while earlier changes still wait to go out reaches only later ones.
TEST_F(Control, ADropReachesOnlyChangesMadeAfterIt) {
    g_blocked = true;
    ASSERT_EQ(engine->RegValueChange(&recordBlocking, nullptr, 0), 0);
    for (const char* v : {"10", "20", "drop", "30", "40"}) {
        ok(v == std::string("drop")
               ? std::string(R"({"do": "notify", "action": "drop", "kind": "value"})")
               : std::string(R"({"do": "set", "device": 2, "point": 200, "value": )") + v + "}");
    }
    g_blocked = false;
    engine->Flush();
    EXPECT_THAT(g_values, ElementsAre(10, 20, 40));
    engine->UnReg(1);
}

// At the cap one more is refused and changes nothing; once one is cleared it is taken. The
// standing controls: 256 at most; plants: 1,000 updates a second in all, ten every 10 ms.
TEST_F(Control, TheStandingControlsAndThePlantsUpdatesAreBounded) {
    const auto plant = [](int i, int updateMs) {
        return R"({"do": "plant", "device": 2, "point": 200, "signal": "ramp", "min": 0, "max": 9,
                   "period_ms": 1000, "update_ms": )" +
               std::to_string(updateMs) + R"(, "name": "c)" + std::to_string(i) + "\"}";
    };
    const auto delay = [](int i, int) {
        return R"({"do": "delay", "ms": 0, "name": "c)" + std::to_string(i) + "\"}";
    };
    const struct {
        std::function<std::string(int, int)> command;
        int cap, lastUpdateMs;
        const char* error;
    } caps[] = {{delay, 256, 0, "256 controls are in force"},
                {plant, 10, 1000, "would update 1001 times a second in all, and at most 1000 may"}};
    for (const auto& c : caps) {
        SCOPED_TRACE(c.error);
        ok(R"({"do": "reset"})");
        for (int i = 0; i < c.cap; ++i) ok(c.command(i, 10));
        const json before = ctl(R"({"do": "status"})");
        EXPECT_THAT(ctl(c.command(c.cap, c.lastUpdateMs)).value("error", ""), HasSubstr(c.error));
        EXPECT_EQ(ctl(R"({"do": "status"})"), before);
        ok(R"({"do": "clear", "name": "c0"})");
        ok(c.command(c.cap, 10));
    }
}

TEST_F(Control, MalformedOrUnfitCommandsAreRefusedWithTheReasonAndChangeNothing) {
    ok(R"({"do": "fail", "device": 2, "point": 200, "status": 5, "name": "f"})");
    ok(R"({"do": "offline", "device": 2})");
    const json before = ctl(R"({"do": "status"})");
    const std::uint32_t pldCount = engine->PldCount();
    // The command, the error, and whether it is well-formed (refused by the catalogue only).
    std::vector<std::tuple<std::string, std::string, bool>> cases = {
        {"not json", "not JSON", false},
        {"[1]", "a command is a JSON object", false},
        {R"({"device": 1})", "do: the command's verb is needed", false},
        {R"({"do": "explode"})", "unknown verb \"explode\"", false},
        {R"({"do": "offline", "device": 1.0})", "device: an integer", false},
        {R"({"do": "online", "device": 1, "extra": 1})", "unknown field \"extra\"", false},
        {R"({"do": "fail", "device": 1, "point": 101, "status": 5, "on": "sides"})",
         "on: one of reads|writes|both", false},
        {R"({"do": "fail", "device": 1, "point": 101, "status": 5, "name": "a b"})",
         "name: 1 to 64", false},
        {R"({"do": "delay", "ms": 5, "min_ms": 1, "max_ms": 9})", "either ms, or min_ms and max_ms",
         false},
        {R"({"do": "delay", "min_ms": 9})", "either ms, or min_ms and max_ms", false},
        {R"({"do": "delay", "min_ms": 9, "max_ms": 1})", "min_ms is above max_ms", false},
        {R"({"do": "plant", "device": 1, "point": 101, "signal": "step", "min": 1, "max": 2,
            "period_ms": 100})",
         "steps (2..1000) is needed", false},
        {R"({"do": "fail", "device": 1, "point": 101, "status": 5, "name": "f"})",
         "a control named \"f\" is in force", true},
        {R"({"do": "offline", "device": 9})", "unknown device 9", true},
        {R"({"do": "fail", "device": 1, "point": 999, "status": 5})", "unknown point", true},
        {R"({"do": "plant", "device": 1, "point": 104, "signal": "ramp", "min": 1, "max": 2,
            "period_ms": 100})",
         "not a number point", true},
        {R"({"do": "set", "device": 1, "point": 101, "value": "warm"})", "takes a number", true},
        {R"({"do": "set", "device": 1, "point": 102, "value": 7})", "no such state", true},
        {R"({"do": "set", "device": 1, "point": 101, "module": 1, "value": 1})", "no module 1",
         true},
        {R"({"do": "clear", "name": "nothing"})", "no control named \"nothing\"", true},
        {R"({"do": "event", "id": 999, "state": 1})", "unknown event 999", true},
        {R"({"do": "report_parent", "device": 1, "report": 1000, "parent": 1021})",
         "report_parent: value, unit or state not accepted", true},
        {R"({"do": "restart"})", "only the engine daemon restarts itself", true},
        {R"({"do": "journal", "op": "GetAll"})", "op: one of UnReg|", false},
        {R"({"do": "wait", "colour": 1, "timeout_ms": 5})", "unknown field \"colour\"", false},
        {R"({"do": "journal", "client": "browser"})", "client: \"in-process\" or a connection",
         false},
        {R"({"do": "wait", "client": 0, "timeout_ms": 5})", "client: \"in-process\" or", false},
        {R"({"do": "clock", "action": "advance", "ms": 31536000000})",
         "ms: out of range 1..86400000", false},
        {R"({"do": "clock", "action": "advance"})", "ms (1..86400000) is needed for advance",
         false},
        {R"({"do": "clock", "action": "run", "speed": 0})", "speed: 0.001 to 1000", false},
        {R"({"do": "clock", "action": "freeze", "speed": 2})", "speed goes only with run", false},
        {R"({"do": "reset", "keep_values": true})", "keep_values goes only with", false},
    };
    setpoint();  // a call in the journal, which no refusal may change
    const json journal = ctl(R"({"do": "journal"})");
    // Each field null, each integer field just below and above its range, alone, and each
    // required field missing from a command otherwise whole; the ends of each range are taken.
    std::string table;
    for (const auto& [verb, fields] : zvsim::CommandRules()) {
        json whole = {{"do", verb}};
        for (const zvsim::FieldRule& f : fields) {
            const std::string choice =
                std::string(f.choices).substr(0, std::string(f.choices).find('|'));
            if (f.required)
                whole[f.key] = f.kind == f.Int      ? json(f.lo)
                               : f.kind == f.Choice ? json(choice)
                               : f.kind == f.Name   ? json("n")
                                                    : json(1);
        }
        table += verb + ":";
        for (const zvsim::FieldRule& f : fields) {
            const std::string range = std::to_string(f.lo) + ".." + std::to_string(f.hi),
                              field = verb + ": " + f.key + ": ";
            const std::string kinds[] = {range, "number", "name", f.choices, "value", "bool"};
            table += std::string(" ") + f.key + (f.required ? " " : "? ") + kinds[f.kind];
            const std::string needs[] = {"an integer " + range + " is needed",
                                         "a number is needed",
                                         "1 to 64 letters, digits, '.', '_' or '-' are needed",
                                         std::string("one of ") + f.choices + " is needed",
                                         "a number, or a text of at most 255 characters, is needed",
                                         "true or false is needed"};
            cases.emplace_back(json{{"do", verb}, {f.key, nullptr}}.dump(), field + needs[f.kind],
                               false);
            if (f.kind == f.Int) {
                for (const json& out : {json(f.lo - 1), json(std::uint64_t(f.hi) + 1)})
                    cases.emplace_back(json{{"do", verb}, {f.key, out}}.dump(),
                                       field + "out of range " + range, false);
                for (const std::int64_t end : {f.lo, f.hi}) {
                    json taken = whole;
                    taken[f.key] = end;
                    EXPECT_THAT(zvsim::CheckCommand(taken.dump()), Not(HasSubstr(field))) << taken;
                }
            }
            if (f.required) {
                json missing = whole;
                missing.erase(f.key);
                cases.emplace_back(missing.dump(), verb + ": missing field \"" + f.key + "\"",
                                   false);
            }
        }
        table += "\n";
    }
    EXPECT_EQ(table, R"(offline: device 0..65535
online: device 0..65535
fail: device 0..65535 point 0..4294967295 status 1..65535 on? reads|writes|both count? 1..4294967295 name? name
delay: ms? 0..600000 min_ms? 0..600000 max_ms? 0..600000 device? 0..65535 name? name
stall: device? 0..65535 name? name
release:
plant: device 0..65535 point 0..4294967295 module? 0..65535 signal ramp|sine|noise|step|triangle min number max number period_ms 1..86400000 update_ms? 10..86400000 steps? 2..1000 name? name
set: device 0..65535 point 0..4294967295 module? 0..65535 value value
burst: device 0..65535 point 0..4294967295 module? 0..65535 count 1..10000
pld_count:
notify: action drop|repeat kind? value|event|pld count? 1..1000000 name? name
event: id 0..4294967295 state 0..65535
report_parent: device 0..65535 report 0..4294967295 parent 0..4294967295 module? 0..65535
clear: name name
restart:
reset: seed? 0..9223372036854775807 catalogue? bool keep_values? bool
status:
journal: op? UnReg|RegPldCntChng|RegVelEvent|RegValueChange|GetVelPntStrLabel|GetVelPntStrDscrptn|GetVelPntStrUoM|GetVelPntStr|GetVelPntInt32|GetVelPntUint32|SetVelPntStr|SetVelPntInt32|SetVelPntUint32|GetVelPntAccessRights|GetVelPntDataType|GetVelPntDsplyNF|GetVelPntUoMId|GetMaxRprtMMCnt|GetMaxPntArrayDim|GetMaxNmbrAncstrs|GetPointsRprt|GetRprtAncstr|GetVelRprtStrLabel|GetVelEnumStateInfo|GetVelEnumStateStr|Process|GetVelServerInventory|GetProdSeqId|GetVelFDMVersion device? 0..65535 point? 0..4294967295 client? value since? 0..9223372036854775807 limit? 0..1000
journal_clear:
wait: op? UnReg|RegPldCntChng|RegVelEvent|RegValueChange|GetVelPntStrLabel|GetVelPntStrDscrptn|GetVelPntStrUoM|GetVelPntStr|GetVelPntInt32|GetVelPntUint32|SetVelPntStr|SetVelPntInt32|SetVelPntUint32|GetVelPntAccessRights|GetVelPntDataType|GetVelPntDsplyNF|GetVelPntUoMId|GetMaxRprtMMCnt|GetMaxPntArrayDim|GetMaxNmbrAncstrs|GetPointsRprt|GetRprtAncstr|GetVelRprtStrLabel|GetVelEnumStateInfo|GetVelEnumStateStr|Process|GetVelServerInventory|GetProdSeqId|GetVelFDMVersion device? 0..65535 point? 0..4294967295 client? value since? 0..9223372036854775807 count? 1..1000000 timeout_ms 1..600000
clock: action freeze|run|advance ms? 1..86400000 speed? number
)");
    for (const auto& [command, error, wellFormed] : cases) {
        const json answer = ctl(command);
        EXPECT_EQ(answer["ok"], false) << command;
        EXPECT_THAT(answer.value("error", ""), HasSubstr(error)) << command;
        EXPECT_EQ(zvsim::CheckCommand(command), wellFormed ? "" : answer.value("error", ""));
    }
    EXPECT_EQ(ctl(R"({"do": "status"})"), before);
    EXPECT_EQ(ctl(R"({"do": "journal"})"), journal);
    EXPECT_EQ(engine->PldCount(), pldCount);
    EXPECT_EQ(setpoint(), "60.0");
}

}  // namespace

// The event feed through the controller: each change taken, in order, with its defaults and its
// origin; a refused command, one that only reads and one not understood make none; a step played
// follows its change.
TEST_F(Control, TheFeedTellsEachChangeTakenInOrderWithItsOrigin) {
    std::string error;
    const auto controller = zvsim::Controller::Open("", error, "fixture");
    ASSERT_TRUE(controller) << error;
    Seen events;
    ASSERT_EQ(controller->Subscribe([&](const std::string& e) { events.Add(e); }, nullptr), "");
    const json named = {{"client", "in-process"}, {"name", "fixture"}};
    struct Case {
        const char* command;
        const char* event;  // "do", "command" and "done"; "": none
    };
    const Case cases[] = {
        {R"({"do": "offline", "device": 1})",
         R"({"do": "offline", "command": {"do": "offline", "device": 1},
             "done": "device 1 offline"})"},
        {R"({"do": "offline", "device": 99})", ""},
        {R"({"do": "status"})", ""},
        {R"({"do": "offline", "device": "1"})", ""},
        {R"({"do": "fail", "device": 2, "point": 200, "status": 5})",
         R"j({"do": "fail", "command": {"do": "fail", "device": 2, "point": 200, "status": 5,
              "on": "both", "name": "fail-2-200"}, "done": "device 2 point 200 answers )j"
         R"j(status 5 to reads and writes, until cleared (fail-2-200)"})j"},
        {R"({"do": "clear", "name": "nothing"})", ""},
        {R"({"do": "clear", "name": "fail-2-200"})",
         R"({"do": "clear", "command": {"do": "clear", "name": "fail-2-200"},
             "done": "fail-2-200 cleared"})"},
    };
    std::vector<json> expected;
    for (const Case& c : cases) {
        controller->Send(c.command);
        if (*c.event != '\0') expected.push_back(json::parse(c.event));
    }
    ASSERT_EQ(ctl(R"({"do": "online", "device": 1})")["ok"], true);  // not through the controller
    controller->Play(R"({"do": "offline", "device": 3})", {"t", 2, 5, 40, "off", ""});
    const std::vector<std::string> lines = events.Lines(6);
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(json::parse(lines[5]),
              json::parse(R"({"event": "step", "seq": 6, "scenario": "t", "pass": 2, "step": 5,
                  "at_ms": 40, "note": "off", "answer": {"ok": true, "done": "device 3 offline"},
                  "origin": {"client": "in-process", "name": "fixture"}})"));
    for (std::size_t i = 0; i < 4; ++i) {
        json event = json::parse(lines[i]);
        EXPECT_EQ(event["event"], "control");
        EXPECT_EQ(event["seq"], i + 1);
        EXPECT_EQ(event["origin"], (i < 3 ? named : json{{"client", "in-process"}})) << i;
        for (const char* key : {"event", "seq", "origin"}) event.erase(key);
        if (i < 3) {
            EXPECT_EQ(event, expected[i]) << i;
        }
    }
}

// A subscriber that does not take its events holds up no change: what waits for it is bounded,
// and the first event it gets after the loss says how many it lost.
TEST_F(Control, WhatWaitsForASlowSubscriberIsBoundedAndTheLossIsTold) {
    Seen events;
    std::atomic<bool> go{false};
    const std::uint64_t subscription = engine->Subscribe([&](const std::string& e) {
        events.Add(e);
        WaitUntil([&] { return go.load(); }, 30000);
    });
    ASSERT_NE(subscription, 0u);
    const std::string offline = R"({"do": "offline", "device": 1})";
    ok(offline);
    ASSERT_EQ(events.Lines(1).size(), 1u);  // the first is with the subscriber, which waits
    for (int i = 0; i < 1010; ++i) ok(offline);
    go = true;
    ASSERT_EQ(events.Lines(1001).size(), 1001u);  // the queue, drained
    ok(offline);
    const std::vector<std::string> lines = events.Lines(1002);
    ASSERT_EQ(lines.size(), 1002u);
    const json last = json::parse(lines.back());
    EXPECT_EQ(last["seq"], 1012);
    EXPECT_EQ(last["lost"], 10);
    EXPECT_FALSE(json::parse(lines[1000]).contains("lost"));
    engine->Unsubscribe(subscription);
    engine->Unsubscribe(0);  // a failed Subscribe's number: nothing to wait for
}
