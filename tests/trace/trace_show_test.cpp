// pldctl trace show: the lines, the summary and the JSON of a trace; what --diffable leaves out;
// a malformed record and a trace cut short.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <sstream>

#include "TraceRecords.h"
#include "TraceShow.h"

namespace {

using namespace tracetest;

struct Shown {
    int status;
    std::string out;
    std::string err;
};

Shown Show(const std::string& path, pldctl::TraceShowOptions options = {}) {
    char* out = nullptr;
    char* err = nullptr;
    std::size_t outSize = 0, errSize = 0;
    std::FILE* outFile = open_memstream(&out, &outSize);
    std::FILE* errFile = open_memstream(&err, &errSize);
    Shown shown{pldctl::ShowTrace(path, options, outFile, errFile), "", ""};
    std::fclose(outFile);
    std::fclose(errFile);
    shown.out = out;
    shown.err = err;
    std::free(out);
    std::free(err);
    return shown;
}

constexpr std::int32_t kReadOnly = 4;

// A run's records: a text read, a report's number, a refused write, an event, an answer piece,
// the end; `shift` moves what differs between two runs of the same front end (times, threads,
// seqs, the piece's call number).
std::string Session(std::uint32_t shift, std::int32_t writeStatus = kReadOnly) {
    auto head = [&](Head h, std::uint16_t thread) {
        h.seq += shift;
        h.start += shift * 1000000ull;
        h.end += shift * 1000000ull + (h.kind == Kind::Call ? shift * 1000 : 0);
        h.thread = static_cast<std::uint16_t>(thread + shift);
        return h;
    };
    auto point = [](Encoder& e, std::uint32_t gdd) {
        for (std::uint32_t v : {1u, gdd, 0u, 0u}) e.U32(v);
        e.I32(-1);
        e.None();
        e.U32(0);
    };
    const std::string text = "6\"2\\.1\n\xff";
    return FileHeader() +
           Rec(head(CallHead(Op::GetVelPntStr, 1, 1234567, 1250000), 1),
               [&](Encoder& e, std::string&) {
                   point(e, 100);
                   e.U32(64);
                   e.Text(text.data(), text.size());
               }) +
           Rec(head(CallHead(Op::GetPointsRprt, 2, 2000000, 2000500, -1), 2),
               [](Encoder& e, std::string&) {
                   e.U32(1);
                   e.U32(100);
               }) +
           Rec(head(CallHead(Op::SetVelPntInt32, 3, 2100000, 2200000, writeStatus), 1),
               [&](Encoder& e, std::string&) {
                   point(e, 101);
                   e.I32(-5);
                   e.U32(0);
               }) +
           Rec(head(MakeHead(Kind::Note, 2, 4, 3000000, 3000000), 3),
               [](Encoder& e, std::string&) {
                   for (std::uint32_t v : {7u, 2u, 1u, 1u, 2u}) e.U32(v);
               }) +
           Rec(head(MakeHead(Kind::Piece, 0, 5, 3500000, 3500000), 3),
               [&](Encoder& e, std::string&) {
                   e.U32(1 + shift);
                   e.I32(1);
                   e.I32(9);
                   for (std::uint32_t v : {0u, 8u, 3u}) e.U32(v);
                   e.Bytes("[1]", 3);
               }) +
           SoundRecord(head(MakeHead(Kind::End, 1, 6, 4000000, 4000000), 1));
}

TEST(TraceShow, PrintsEachRecordInALineAndLeavesOutWhatDiffersBetweenRunsWhenDiffable) {
    const TraceDir dir;
    const Shown shown = Show(dir.Write(Session(0)));
    EXPECT_EQ(shown.status, 0);
    EXPECT_EQ(shown.err, "");
    EXPECT_EQ(shown.out,
              "Trace of pid 4242, begun 2025-12-07 15:52:47.123 UTC, format version 1\n"
              "       1.234 ms     +0.015 ms  thread 1   #1      GetVelPntStr device=1 gdd=100 "
              "mm=0 aux=0 auxParam=-1 auxText=none uofm=0 size=64 -> 0 (done) "
              "text=\"6\\\"2\\\\.1\\x0a\\xff\"\n"
              "       2.000 ms     +0.000 ms  thread 2   #2      GetPointsRprt device=1 gdd=100 "
              "-> 4294967295\n"
              "       2.100 ms     +0.100 ms  thread 1   #3      SetVelPntInt32 device=1 gdd=101 "
              "mm=0 aux=0 auxParam=-1 auxText=none uofm=0 value=-5 setParam=0 -> 4 (point is "
              "read-only)\n"
              "       3.000 ms                thread 3   #4      note Event sequence=7 eventId=2 "
              "device=1 state=1 groupId=2\n"
              "       3.500 ms                thread 3   #5      piece call=1 reqType=1 reqParam=9 "
              "sequence=0 bufSize=8 outLen=3 text=\"[1]\" -> 0 (done)\n"
              "       4.000 ms                thread 1   #6      end: closed\n");
    const pldctl::TraceShowOptions diffable{true, false, false};
    const Shown first = Show(dir.Write(Session(0)), diffable);
    EXPECT_EQ(first.out.find("thread"), std::string::npos) << first.out;
    EXPECT_EQ(first.out.find("call="), std::string::npos) << first.out;
    EXPECT_NE(first.out.find("\npiece reqType=1"), std::string::npos) << first.out;
    const Shown second = Show(dir.Write(Session(7)), diffable);
    EXPECT_EQ(second.out, first.out);
    EXPECT_NE(Show(dir.Write(Session(7))).out, Show(dir.Write(Session(0))).out);
    // What the front end heard is kept.
    EXPECT_NE(Show(dir.Write(Session(0, 5)), diffable).out, first.out);
}

TEST(TraceShow, GivesEachRecordAsAJsonObjectWithItsTextsByteForByte) {
    const TraceDir dir;
    const std::string path = dir.Write(Session(0));
    std::vector<nlohmann::json> lines;
    for (const bool diffable : {false, true}) {
        const Shown shown = Show(path, {diffable, false, true});
        std::istringstream in(shown.out);
        lines.clear();
        for (std::string line; std::getline(in, line);)
            lines.push_back(nlohmann::json::parse(line));
        ASSERT_EQ(lines.size(), 7u) << shown.out;
        EXPECT_EQ(lines[0].contains("seq"), !diffable);
        EXPECT_EQ(lines[4]["request"].contains("call"), !diffable);
    }
    EXPECT_EQ(lines[0], nlohmann::json::parse(R"({"kind": "call", "op": "GetVelPntStr", "status": 0,
                  "status_text": "done", "request": {"device": 1, "gdd": 100, "mm": 0, "aux": 0,
                  "auxParam": -1, "auxText": null, "uofm": 0, "size": 64},
                  "reply": {"text": "6\"2\\.1\n\u00ff"}})"));
    EXPECT_EQ(lines[1]["answer"], 4294967295u);
    EXPECT_EQ(lines[6], nlohmann::json::parse(R"({"end": "closed"})"));
}

TEST(TraceShow, StopsAtAMalformedRecordNamingItsByteAndEndsATraceCutShortWithALine) {
    const TraceDir dir;
    const std::string run = Session(0);
    std::string broken = run;
    const std::size_t second = kHeaderBytes +
                               Get32(reinterpret_cast<const unsigned char*>(&run[kHeaderBytes])) +
                               kLengthBytes;
    broken[second + kLengthBytes] = 9;  // the second record's kind
    const Shown shown = Show(dir.Write(broken, "broken"));
    EXPECT_EQ(shown.status, 2);
    EXPECT_EQ(std::count(shown.out.begin(), shown.out.end(), '\n'), 2) << shown.out;
    EXPECT_EQ(shown.err, "pldctl: " + dir.Write(broken, "broken") + ": record at byte " +
                             std::to_string(second) + ": unknown record kind 9 op 22\n");

    const Shown summary = Show(dir.Write(broken, "broken"), {true, true, false});
    EXPECT_EQ(summary.status, 2);
    EXPECT_NE(summary.out.find("\n1 records, ended: malformed record\n"), std::string::npos)
        << summary.out;

    const Shown cut = Show(dir.Write(run.substr(0, second + 5), "cut"));
    EXPECT_EQ(cut.status, 0);
    EXPECT_EQ(cut.err, "");
    EXPECT_NE(cut.out.find("\n-- cut short at byte " + std::to_string(second) +
                           ": the last record is incomplete"),
              std::string::npos)
        << cut.out;
    const std::string json =
        Show(dir.Write(run.substr(0, second + 5), "cut"), {false, false, true}).out;
    EXPECT_NE(json.find("\n{\"end\":\"cut short\",\"offset\":" + std::to_string(second) + "}\n"),
              std::string::npos)
        << json;
    EXPECT_EQ(Show(dir.Write("not a trace", "text")).status, 2);
    EXPECT_EQ(Show(dir.Write("", "missing/trace")).err.find("pldctl: "), 0u);
}

// 100 calls of 1 to 100 us, one refused, then enough to pass the reservoir: the percentiles
// stay those of all the calls, not of the first ones kept.
TEST(TraceShow, SumsUpCallsPerOperationWithTheirTimesAndNotificationsPerKind) {
    const TraceDir dir;
    std::string small = FileHeader();
    for (std::uint32_t i = 1; i <= 100; ++i) {
        small += SoundRecord(CallHead(Op::GetVelPntInt32, i, 0, i * 1000, i == 50 ? 4 : 0));
    }
    small += SoundRecord(MakeHead(Kind::Note, 3)) + SoundRecord(MakeHead(Kind::Note, 3));
    small += SoundRecord(MakeHead(Kind::Piece, 0)) + SoundRecord(MakeHead(Kind::End, 2));
    const std::string path = dir.Write(small);
    EXPECT_EQ(Show(path, {false, true, false}).out,
              "Trace of pid 4242, begun 2025-12-07 15:52:47.123 UTC, format version 1\n"
              "operation                   calls   failed     total ms     p50 ms     p95 ms     "
              "max ms\n"
              "GetVelPntInt32                100        1        5.050      0.050      0.095      "
              "0.100\n"
              "notifications: PldCount 0, Event 0, ValueChange 2\n"
              "answer pieces: 1\n"
              "104 records over 0.100 ms, ended: size limit\n");
    EXPECT_EQ(Show(path, {true, true, false}).out,
              "operation                   calls   failed\n"
              "GetVelPntInt32                100        1\n"
              "notifications: PldCount 0, Event 0, ValueChange 2\n"
              "answer pieces: 1\n"
              "104 records, ended: size limit\n");

    std::string large = FileHeader();
    for (std::uint32_t i = 1; i <= 20000; ++i) {
        large += SoundRecord(CallHead(Op::GetVelPntStr, i, 0, i * 1000));
    }
    const nlohmann::json summary =
        nlohmann::json::parse(Show(dir.Write(large), {false, true, true}).out);
    const nlohmann::json& calls = summary["calls"]["GetVelPntStr"];
    EXPECT_EQ(calls["count"], 20000);
    EXPECT_EQ(calls["max_ns"], 20000000);
    EXPECT_NEAR(calls["p50_ns"].get<double>(), 10000000, 600000);
    EXPECT_NEAR(calls["p95_ns"].get<double>(), 19000000, 600000);
    EXPECT_EQ(summary["end"], "no end record");
}

}  // namespace
