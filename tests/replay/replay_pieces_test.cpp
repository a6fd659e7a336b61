// The pieces of a replay's Process answers: within the call or after it as recorded, ended as an
// engine ends them, and bounded.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <tuple>

#include "ReplayFixture.h"
#include "Seen.h"
#include "TraceBuilder.h"
#include "ZvPldStatus.h"

namespace {

using ::testing::ElementsAre;
using zvtrace::Op;

int piece(ZvCallbackInfo* cbi);
struct Heard {
    std::thread::id caller;
    Seen seen;
} g_heard;
int piece(ZvCallbackInfo* cbi) {
    g_heard.seen.Add(std::string(std::this_thread::get_id() == g_heard.caller ? "in " : "later ") +
                     std::to_string(cbi->status) + " " + std::to_string(cbi->reqType) + " " +
                     std::to_string(cbi->reqParam) + " " + std::to_string(cbi->sequence) + " " +
                     std::to_string(cbi->procOutBufSize) + " " + std::to_string(cbi->procOutLen) +
                     " " + std::string(cbi->pProcOutBuf, cbi->procOutLen));
    return 0;
}

// A Process call's pieces as recorded: those its caller's thread had within the call, the one
// another thread delivered after it, with their texts, sizes and statuses.
TEST_F(Replay, AnswerPiecesComeWithinTheCallOrLaterAsRecorded) {
    const auto pieceOf = [](std::uint32_t sequence, std::uint32_t outLen, std::string text) {
        return std::vector<TraceField>{
            U32(5), I32(2), I32(77), U32(sequence), U32(4), U32(outLen), Bytes(std::move(text))};
    };
    TraceBuilder trace;
    trace.Add(zvtrace::Kind::Piece, 0, 0, pieceOf(0, 4, "abcd"), {}, 10, 1)
        .Add(zvtrace::Kind::Piece, 0, 0, pieceOf(1, 4, "efgh"), {}, 11, 1)
        .Add(zvtrace::Kind::Call, static_cast<std::uint8_t>(Op::Process), 0,
             {I32(77), Text("/events"), Text("active"), I32(2)}, {}, 12, 1, 5)
        .Add(zvtrace::Kind::Piece, 0, 3, pieceOf(2, 1, "i"), {}, 20, 2);
    replay(trace);
    g_heard.caller = std::this_thread::get_id();
    ZvPldEngInfo request{77, nullptr, "/events", "active", &piece, 2};
    EXPECT_EQ(m_engine->Process(&request), 0);
    EXPECT_THAT(g_heard.seen.Lines(3), ElementsAre("in 0 2 77 0 4 4 abcd", "in 0 2 77 1 4 4 efgh",
                                                   "later 3 2 77 2 4 1 i"));
    request.pQuery = "all";
    EXPECT_EQ(m_engine->Process(&request), zvstatus::kNoEngine);
}

// An answer ends as an engine's does: at its first piece shorter than its buffer, with no piece
// after its call once the call was refused, and with an empty piece where the trace cut it short.
// A later answer's piece comes last: every later piece of the first has come before it.
struct Answered {
    const char* name;
    std::int32_t status;
    std::vector<std::tuple<std::uint16_t, std::uint32_t, std::string>> pieces;  // thread, len
    std::vector<std::string> want;
};
void PrintTo(const Answered& a, std::ostream* os) {
    *os << a.name;
}
class ReplayPieces : public Replay, public ::testing::WithParamInterface<Answered> {};
TEST_P(ReplayPieces, AnAnswerEndsAsAnEnginesDoes) {
    TraceBuilder trace;
    trace.Add(zvtrace::Kind::Call, static_cast<std::uint8_t>(Op::Process), GetParam().status,
              {I32(77), Text("/events"), Text("active"), I32(2)}, {}, 10, 1, 5);
    std::uint32_t sequence = 0;
    for (const auto& [thread, length, text] : GetParam().pieces) {
        trace.Add(zvtrace::Kind::Piece, 0, 0,
                  {U32(5), I32(2), I32(77), U32(sequence++), U32(4), U32(length), Bytes(text)}, {},
                  11, thread);
    }
    trace
        .Add(zvtrace::Kind::Call, static_cast<std::uint8_t>(Op::Process), 0,
             {I32(78), Text("/events"), Text("active"), I32(2)}, {}, 20, 1, 6)
        .Add(zvtrace::Kind::Piece, 0, 0,
             {U32(6), I32(2), I32(78), U32(0), U32(4), U32(1), Bytes("z")}, {}, 21, 2);
    replay(trace);
    g_heard.caller = std::this_thread::get_id();
    g_heard.seen.Take();
    ZvPldEngInfo request{77, nullptr, "/events", "active", &piece, 2};
    EXPECT_EQ(m_engine->Process(&request), GetParam().status);
    request.reqParam = 78;
    EXPECT_EQ(m_engine->Process(&request), 0);
    std::vector<std::string> want = GetParam().want;
    want.push_back("later 0 2 78 0 4 1 z");
    EXPECT_EQ(g_heard.seen.Lines(want.size()), want);
}
INSTANTIATE_TEST_SUITE_P(
    Cases, ReplayPieces,
    ::testing::Values(
        Answered{"AtItsFirstShortPiece", 0, {{1, 2, "ab"}, {1, 2, "cd"}}, {"in 0 2 77 0 4 2 ab"}},
        Answered{
            "NoLaterPieceAfterAShortOne", 0, {{1, 2, "ab"}, {2, 2, "cd"}}, {"in 0 2 77 0 4 2 ab"}},
        Answered{"NoLaterPieceOfARefusedCall",
                 5,
                 {{1, 4, "abcd"}, {2, 1, "e"}},
                 {"in 0 2 77 0 4 4 abcd"}},
        Answered{
            "CutShortInTheCall", 0, {{1, 4, "abcd"}}, {"in 0 2 77 0 4 4 abcd", "in 0 2 77 1 4 0 "}},
        Answered{"CutShortAfterTheCall",
                 0,
                 {{1, 4, "abcd"}, {2, 4, "efgh"}},
                 {"in 0 2 77 0 4 4 abcd", "later 0 2 77 1 4 4 efgh", "later 0 2 77 2 4 0 "}}),
    [](const ::testing::TestParamInfo<Answered>& info) { return info.param.name; });

// One answer replays 4096 recorded pieces at most, then ends with an empty one.
TEST_F(Replay, OneAnswersPiecesAreBounded) {
    TraceBuilder trace;
    trace.Add(zvtrace::Kind::Call, static_cast<std::uint8_t>(Op::Process), 0,
              {I32(77), Text("/events"), Text("active"), I32(2)}, {}, 10, 1, 5);
    for (std::uint32_t sequence = 0; sequence < 5000; ++sequence) {
        trace.Add(zvtrace::Kind::Piece, 0, 0,
                  {U32(5), I32(2), I32(77), U32(sequence), U32(4), U32(4), Bytes("abcd")}, {}, 11);
    }
    replay(trace);
    g_heard.caller = std::this_thread::get_id();
    g_heard.seen.Take();
    ZvPldEngInfo request{77, nullptr, "/events", "active", &piece, 2};
    EXPECT_EQ(m_engine->Process(&request), 0);
    const std::vector<std::string> seen = g_heard.seen.Take();
    ASSERT_EQ(seen.size(), 4097u);
    EXPECT_EQ(seen.back(), "in 0 2 77 4096 4 0 ");
}

}  // namespace
