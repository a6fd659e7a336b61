// The replay of a trace in process: answers in their recorded order, calls the trace does not
// hold, notifications on a frozen clock, traces rewritten, too large, cut short and broken.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <nlohmann/json.hpp>

#include "ReplayFixture.h"
#include "Seen.h"
#include "TraceBuilder.h"
#include "ZvPldStatus.h"
#include "sim/ReplayEngine.h"

namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using zvtrace::Op;

const ZvVelPntDfn kPoint{1, 100, 0, 0, 0, nullptr, 0};

// Each op's answers to one request recorded three times, and another request between them: the
// replay gives the three in order, then the last again.
struct Repeated {
    const char* name;
    Op op;
    std::vector<TraceField> request;
    std::vector<std::vector<TraceField>> replies;
    std::vector<std::int32_t> statuses;
    std::function<std::string(zvsim::ReplayEngine&)> ask;
    std::vector<std::string> want;  // five calls' answers
};

TEST_F(Replay, RepeatedRequestsAreAnsweredInTheirOrderThenWithTheLast) {
    std::vector<TraceField> text = PointFields(1, 100, 0);
    text.push_back(U32(8));
    std::vector<TraceField> set = PointFields(1, 100, 0);
    set.insert(set.end(), {I32(3), U32(0)});
    const Repeated cases[] = {
        {"int",
         Op::GetVelPntInt32,
         PointFields(1, 100, 0),
         {{I32(5)}, {I32(-6)}, {I32(7)}},
         {0, 0, 0},
         [](zvsim::ReplayEngine& e) {
             std::int32_t v = 0;
             const Y4_Status st = e.GetVelPntInt32(&kPoint, &v);
             return std::to_string(st) + ":" + std::to_string(v);
         },
         {"0:5", "0:-6", "0:7", "0:7", "0:7"}},
        {"text",
         Op::GetVelPntStr,
         text,
         {{Text("a")}, {Text("12345678")}, {Text("c")}},
         {0, 1007, 0},
         [](zvsim::ReplayEngine& e) {
             char buf[10] = "xxxxxxxxx";
             const Y4_Status st = e.GetVelPntStr(&kPoint, 8, buf);
             return std::to_string(st) + ":" + buf;
         },
         // strncpy's: a text of the size asked for comes without its NUL.
         {"0:a", "1007:12345678x", "0:c", "0:c", "0:c"}},
        {"write",
         Op::SetVelPntInt32,
         set,
         {{}, {}, {}},
         {0, 5, 4},
         [](zvsim::ReplayEngine& e) { return std::to_string(e.SetVelPntInt32(&kPoint, 3, 0)); },
         {"0", "5", "4", "4", "4"}},
        {"count",
         Op::GetMaxRprtMMCnt,
         {U32(1), U32(100)},
         {{}, {}, {}},
         {2, 3, 4},
         [](zvsim::ReplayEngine& e) { return std::to_string(e.GetMaxRprtMMCnt(1, 100)); },
         {"2", "3", "4", "4", "4"}},
    };
    for (const Repeated& c : cases) {
        SCOPED_TRACE(c.name);
        TraceBuilder trace;
        std::vector<TraceField> device2 = c.request;
        device2[0] = U32(2);
        for (std::size_t i = 0; i < 3; ++i) {
            trace.Call(c.op, c.statuses[i], c.request, c.replies[i]);
            trace.Call(c.op, 9, device2, c.replies[i]);
        }
        zvsim::ReplayEngine& e = replay(trace);
        std::vector<std::string> got;
        for (int i = 0; i < 5; ++i) got.push_back(c.ask(e));
        EXPECT_EQ(got, c.want);
        m_engine->Close();
        m_engine.reset();
    }
}

// A request the trace does not hold, by one field: the documented status, or a count's failure
// value, and a journal entry marked unrecorded; a recorded one is not marked.
TEST_F(Replay, AnUnrecordedCallIsAnsweredWithNoEngineAndJournaledAsUnrecorded) {
    std::vector<TraceField> text = PointFields(1, 100, 0);
    text.push_back(U32(8));
    replay(TraceBuilder()
               .Call(Op::GetVelPntStr, 0, text, {Text("on")})
               .Call(Op::GetPointsRprt, 7, {U32(1), U32(100)}));
    char buf[16] = {};
    EXPECT_EQ(m_engine->GetVelPntStr(&kPoint, 8, buf), 0);
    EXPECT_STREQ(buf, "on");
    EXPECT_EQ(m_engine->GetVelPntStr(&kPoint, 9, buf), zvstatus::kNoEngine);  // another size
    ZvVelPntDfn other = kPoint;
    other.mmIdx = 1;
    EXPECT_EQ(m_engine->GetVelPntStr(&other, 8, buf), zvstatus::kNoEngine);
    EXPECT_EQ(m_engine->GetPointsRprt(1, 100), 7u);
    EXPECT_EQ(m_engine->GetPointsRprt(1, 101), 0xFFFFFFFFu);
    const nlohmann::json j = control(R"({"do": "journal"})");
    std::vector<std::string> marks;
    for (const auto& e : j["entries"]) {
        marks.push_back(e["op"].get<std::string>() + ":" + std::to_string(e["status"].get<int>()) +
                        (e.value("unrecorded", false) ? ":unrecorded" : ""));
    }
    EXPECT_THAT(marks, ElementsAre("GetVelPntStr:0", "GetVelPntStr:13:unrecorded",
                                   "GetVelPntStr:13:unrecorded", "GetPointsRprt:0",
                                   "GetPointsRprt:13:unrecorded"));
}

// The notifications go out as recorded, each at its time after the client's registration (the
// trace's at 1 s, the replay's when the client registers), as a frozen clock is advanced.
TEST_F(Replay, NotificationsGoOutAsRecordedAtTheirTimesOnAFrozenClock) {
    using zvtrace::NoteKind;
    replay(TraceBuilder()
               .Call(Op::RegVelEvent, 0, {U32(0)}, {}, 1000)
               .Note(NoteKind::Event, {U32(7), U32(40), U32(1), U32(2), U32(9)}, 1500)
               .Note(NoteKind::ValueChange,
                     {U32(9), U32(100), U32(1), U32(1), U32(2), U32(3), Bytes(Units({1, 0xBEEF}))},
                     3000)
               .Note(NoteKind::PldCount, {U32(4)}, 3000)
               .Note(NoteKind::ValueChange,
                     {U32(10), U32(101), U32(0), U32(1), U32(5), U32(3), NoField()}, 3000));
    ASSERT_TRUE(control(R"({"do": "clock", "action": "freeze"})")["ok"]);
    ASSERT_TRUE(control(R"({"do": "clock", "action": "advance", "ms": 5000})")["ok"]);
    static Seen seen;
    m_engine->RegVelEvent(
        [](void*, const ZvVEventInfo* i) {
            seen.Add("event " + std::to_string(i->sequence) + " " + std::to_string(i->eventId) +
                     " " + std::to_string(i->deviceIdx) + " " + std::to_string(i->eventState) +
                     " " + std::to_string(i->groupId));
        },
        nullptr, 0);
    m_engine->RegValueChange(
        [](void*, const ZvValChgInfo* i) {
            std::string line = "value " + std::to_string(i->sequence) + " " +
                               std::to_string(i->valueId) + " " + std::to_string(i->mmIdx) + " " +
                               std::to_string(i->length) + " " + std::to_string(i->dataType);
            if (i->pData == nullptr) line += " null";
            for (int k = 0; i->pData != nullptr && k < i->length; ++k) {
                line += " " + std::to_string(i->pData[k]);
            }
            seen.Add(line);
        },
        nullptr, 0);
    m_engine->RegPldCntChng([](void*, unsigned long n) { seen.Add("pld " + std::to_string(n)); },
                            nullptr, 0);
    ASSERT_TRUE(control(R"({"do": "clock", "action": "advance", "ms": 499})")["ok"]);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_TRUE(seen.Take().empty());
    ASSERT_TRUE(control(R"({"do": "clock", "action": "advance", "ms": 1})")["ok"]);
    EXPECT_THAT(seen.Lines(1), ElementsAre("event 7 40 1 2 9"));
    seen.Take();
    ASSERT_TRUE(control(R"({"do": "clock", "action": "advance", "ms": 1499})")["ok"]);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_TRUE(seen.Take().empty());
    ASSERT_TRUE(control(R"({"do": "clock", "action": "advance", "ms": 1})")["ok"]);
    EXPECT_THAT(seen.Lines(3),
                ElementsAre("value 9 100 1 2 3 1 48879", "pld 4", "value 10 101 0 5 3 null"));
}

// A client that registers for two kinds (the first refused once and made again), the second a
// second later, and whose first notification was of that kind: the replay holds the timeline
// until it is registered for too, and counts the one registration refused in the trace as none.
TEST_F(Replay, TheTimelineWaitsForTheRegistrationsMadeBeforeTheFirstNotification) {
    replay(TraceBuilder()
               .Call(Op::RegVelEvent, 5, {U32(0)}, {}, 900)
               .Call(Op::RegVelEvent, 0, {U32(0)}, {}, 1000)
               .Call(Op::RegValueChange, 0, {U32(0)}, {}, 2000)
               .Note(zvtrace::NoteKind::ValueChange,
                     {U32(1), U32(100), U32(0), U32(1), U32(0), U32(3), NoField()}, 2000));
    ASSERT_TRUE(control(R"({"do": "clock", "action": "freeze"})")["ok"]);
    static Seen seen;
    m_engine->RegVelEvent([](void*, const ZvVEventInfo*) { seen.Add("event"); }, nullptr, 0);
    ASSERT_TRUE(control(R"({"do": "clock", "action": "advance", "ms": 1000})")["ok"]);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // a note due now would go
    m_engine->RegValueChange(
        [](void*, const ZvValChgInfo* i) { seen.Add("value " + std::to_string(i->valueId)); },
        nullptr, 0);
    EXPECT_THAT(seen.Lines(1), ElementsAre("value 100"));
}

// A trace the library wrote on the target (big-endian, 32-bit), answered by this build's replay.
TEST_F(Replay, ATraceWrittenOnTheTargetIsAnsweredAsThere) {
    m_engine = zvsim::ReplayEngine::FromFile(ZVPLD_TARGET_TRACE);
    const ZvVelPntDfn point{7, 4660, 1, 9, -4, "aux", 65538};
    char text[257] = {};
    EXPECT_EQ(m_engine->GetVelPntStr(&point, 256, text), 0);
    EXPECT_STREQ(text, "21.5");
}

// The catalogue that status and the tools see, from what the answers and notifications said.
TEST_F(Replay, TheCatalogueIsWhatTheTraceAnswered) {
    std::vector<TraceField> label = PointFields(1, 100, 0xFFFF);
    label.push_back(U32(64));
    std::vector<TraceField> text = PointFields(1, 101, 0);
    text.push_back(U32(64));
    std::string name(32, '\0');
    replay(TraceBuilder()
               .Call(Op::GetVelServerInventory, 0, {},
                     {U32(1), U32(2), U32(32), U32(1), U32(5), Bytes(name)})
               .Call(Op::GetVelPntStrLabel, 0, label, {Text("Flow")})
               .Call(Op::GetVelPntUint32, 0, PointFields(1, 100, 1), {U32(9)})
               .Call(Op::GetPointsRprt, 7, {U32(1), U32(100)})
               .Call(Op::GetVelRprtStrLabel, zvstatus::kLabelRead,
                     {U32(1), U32(7), U32(0), U32(64)}, {Text("Pump")})
               .Call(Op::GetVelPntStr, 0, text, {Text("idle")})
               .Note(zvtrace::NoteKind::Event, {U32(1), U32(40), U32(1), U32(3), U32(9)}, 0));
    const zvsim::Catalogue c = m_engine->Snapshot();
    ASSERT_EQ(c.devices.size(), 2u);
    const zvsim::Point& flow = c.devices.at(1).points.at(100);
    EXPECT_EQ(flow.label, "Flow");
    EXPECT_EQ(flow.kind, zvsim::Kind::UInt);
    EXPECT_THAT(flow.values, ElementsAre(0, 9));
    EXPECT_EQ(flow.report, 7u);
    EXPECT_THAT(c.devices.at(1).reports.at(7).labels, ElementsAre("Pump"));
    EXPECT_EQ(c.devices.at(1).points.at(101).kind, zvsim::Kind::Text);
    EXPECT_THAT(c.devices.at(1).points.at(101).texts, ElementsAre("idle"));
    EXPECT_EQ(c.events.at(40).state, 3);
}

// The ancestor record into the caller's buffer: the report, then each entry as recorded (big-endian
// in the trace); a buffer of the recorded size too small for this host's record: 11.
TEST_F(Replay, TheAncestorRecordIsWrittenAsRecorded) {
    const std::string entry{0, 0, 0, 8, 0, 2, 0, 0, 1, 3};  // gdd 8, module 2, aux 259
    const std::uint32_t room = sizeof(ZvPldEngAncestors) + sizeof(ZvPldEngAncestorEntry);
    replay(TraceBuilder()
               .Call(Op::GetRprtAncstr, 0, {U32(1), U32(7), U32(0), U32(room)},
                     {U32(7), U32(0), U32(5), U32(1), Bytes(entry)})
               .Call(Op::GetRprtAncstr, 0, {U32(1), U32(7), U32(0), U32(room - 1)},
                     {U32(7), U32(0), U32(5), U32(1), Bytes(entry)}));
    std::vector<std::uint64_t> buf(room / 8 + 1);
    ZvVelRprtDfn rprt{1, 7, 0, buf.data(), room};
    ASSERT_EQ(m_engine->GetRprtAncstr(&rprt), 0);
    ZvPldEngAncestors head{};
    std::memcpy(&head, buf.data(), sizeof head);
    ZvPldEngAncestorEntry e{};
    std::memcpy(&e, reinterpret_cast<char*>(buf.data()) + sizeof head, sizeof e);
    EXPECT_EQ(std::to_string(head.gddId) + " " + std::to_string(head.auxValue) + " " +
                  std::to_string(head.nmbrAncstrs) + " " + std::to_string(e.gddId) + " " +
                  std::to_string(e.mmIdx) + " " + std::to_string(e.auxValue),
              "7 5 1 8 2 259");
    rprt.bufSize = room - 1;
    EXPECT_EQ(m_engine->GetRprtAncstr(&rprt), zvstatus::kBufferTooSmall);
}

// A trace rewritten while it is replayed: the record read back where a request's answer was is
// another call's, and the request is answered as unrecorded.
TEST_F(Replay, ARecordRewrittenUnderTheReplayIsNotTakenForTheAnswer) {
    const std::vector<std::pair<TraceBuilder, std::function<int(zvsim::ReplayEngine&)>>> cases = {
        {TraceBuilder().Call(Op::GetVelServerInventory, 0, {},
                             {U32(1), U32(2), U32(32), U32(1), U32(5), Bytes(std::string(32, 0))}),
         [](zvsim::ReplayEngine& e) {
             ZvVelInventory inventory{};
             return e.GetVelServerInventory(&inventory);
         }},
        {TraceBuilder().Call(Op::GetRprtAncstr, 0, {U32(1), U32(7), U32(0), U32(64)},
                             {U32(7), U32(0), U32(5), U32(0), Bytes("")}),
         [](zvsim::ReplayEngine& e) {
             std::vector<std::uint64_t> buf(8);
             ZvVelRprtDfn rprt{1, 7, 0, buf.data(), 64};
             return e.GetRprtAncstr(&rprt);
         }}};
    for (const auto& [trace, ask] : cases) {
        replay(trace);
        TraceBuilder()
            .Call(Op::GetVelPntInt32, 0, PointFields(1, 100, 0), {I32(42)})
            .Write(m_dir, "t.trace");
        EXPECT_EQ(ask(*m_engine), zvstatus::kNoEngine);
        m_engine->Close();
    }
}

// What the catalogue learns counts against the index's bound (here 32 KiB) with the requests:
// 300 events, each told by a note alone; 127 states of one point, told by one request.
TEST_F(Replay, ACatalogueGrownPastTheBoundIsRefused) {
    TraceBuilder events, states;
    for (std::uint32_t id = 1; id <= 300; ++id) {
        events.Note(zvtrace::NoteKind::Event, {U32(id), U32(id), U32(1), U32(0), U32(9)}, 0);
    }
    std::vector<std::uint16_t> values(256);
    for (std::size_t i = 0; i < values.size(); ++i) values[i] = static_cast<std::uint16_t>(i);
    states.Call(Op::GetVelPntInt32, 0, PointFields(1, 100, 0), {I32(1)})
        .Call(Op::GetVelEnumStateInfo, 0, {U32(1), U32(100), U32(256)},
              {U32(3), U32(256), Bytes(Units(values))});
    for (const TraceBuilder* trace : {&events, &states}) {
        EXPECT_THROW(zvsim::ReplayEngine::FromFile(trace->Write(m_dir, "t.trace"), 32 << 10),
                     std::runtime_error);
    }
}

// A trace whose writer was killed in its last record: the whole ones answer, the cut one is not
// there.
TEST_F(Replay, ATraceCutShortIsReplayedUpToItsLastWholeRecord) {
    replay(TraceBuilder()
               .Call(Op::GetVelPntInt32, 0, PointFields(1, 100, 0), {I32(5)})
               .Call(Op::GetVelPntInt32, 0, PointFields(1, 101, 0), {I32(6)}),
           3);
    std::int32_t v = 0;
    EXPECT_EQ(m_engine->GetVelPntInt32(&kPoint, &v), 0);
    EXPECT_EQ(v, 5);
    const ZvVelPntDfn cut{1, 101, 0, 0, 0, nullptr, 0};
    EXPECT_EQ(m_engine->GetVelPntInt32(&cut, &v), zvstatus::kNoEngine);
}

// A file that is not a trace, or one with a record that breaks the format, is refused with the
// file's name and the record's byte offset.
TEST_F(Replay, ABadTraceIsRefusedNamingTheFileAndTheOffset) {
    const std::string good =
        TraceBuilder().Call(Op::GetVelPntInt32, 0, PointFields(1, 100, 0), {I32(5)}).bytes();
    std::string badField = good + good.substr(32);
    badField[good.size() + 4 + 30] = 9;  // the second record's first field: no such type
    const struct {
        std::string bytes;
        std::string says;
    } cases[] = {
        {"not a trace at all, only some text", "not a trace file"},
        {badField, "record at byte " + std::to_string(good.size()) + ": field device"},
    };
    for (const auto& c : cases) {
        const std::string path = m_dir + "/bad.trace";
        std::ofstream(path, std::ios::binary) << c.bytes;
        try {
            zvsim::SimEngine::FromClientText(("replay:" + path).c_str());
            ADD_FAILURE() << c.says;
        } catch (const std::runtime_error& e) {
            EXPECT_THAT(e.what(), HasSubstr(path));
            EXPECT_THAT(e.what(), HasSubstr(c.says));
        }
    }
}

}  // namespace
