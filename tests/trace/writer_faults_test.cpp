// The trace's faults and its threads: a file it cannot open, a size limit, a full disk (the
// process's file size limit, RLIMIT_FSIZE, with SIGXFSZ ignored), a file removed while traced,
// two callers at once, and notifications flooding in. None changes a call's result.
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <thread>

#include "MockEngine.h"
#include "Seen.h"
#include "TraceFiles.h"

using namespace ::testing;

namespace {

class TraceFaults : public ProxyTest {
  protected:
    TraceFaults() {
        EXPECT_CALL(*engine, GetVelPntStr).WillRepeatedly([](auto, auto, char* b) {
            std::strcpy(b, "21.5");
            return 0;
        });
    }
    // `n` reads, each of which must come out as an untraced one does.
    void read(int n) {
        for (int i = 0; i < n; ++i) {
            std::string text;
            ASSERT_EQ(proxy->GetValueString(text, 1, 100, 1, 0, 0, 0, nullptr), 0);
            ASSERT_EQ(text, "21.5");
        }
    }
    std::string line(const std::string& text) const { return "ZVPLD_TRACE: " + text; }
    TraceDir trace;
};

struct Refusal {
    const char* name;
    // Prepares the file and the environment; gives the line expected.
    std::string (*prepare)(const TraceDir&);
    friend void PrintTo(const Refusal& r, std::ostream* os) { *os << r.name; }
};

const Refusal kRefusals[] = {
    {"NoSuchDirectory",
     [](const TraceDir& t) {
         setenv("ZVPLD_TRACE", (t.dir + "/none/calls.trace").c_str(), 1);
         return "cannot open the trace file " + t.dir +
                "/none/calls.trace: No such file or directory: no trace is written";
     }},
    {"SymbolicLink",  // not followed: the link's target is not created
     [](const TraceDir& t) {
         EXPECT_EQ(symlink((t.dir + "/target").c_str(), t.file.c_str()), 0);
         t.Trace();
         return "cannot open the trace file " + t.file +
                ": Too many levels of symbolic links: no trace is written";
     }},
    {"Fifo",  // refused at once rather than waited on for a reader
     [](const TraceDir& t) {
         EXPECT_EQ(mkfifo(t.file.c_str(), 0600), 0);
         t.Trace();
         return "cannot open the trace file " + t.file +
                ": No such device or address: no trace is written";
     }},
    {"Directory",
     [](const TraceDir& t) {
         setenv("ZVPLD_TRACE", t.dir.c_str(), 1);
         return "cannot open the trace file " + t.dir + ": Is a directory: no trace is written";
     }},
    {"LimitNotANumber",
     [](const TraceDir& t) {
         t.Trace("64M");
         return std::string(
             "ZVPLD_TRACE_LIMIT=64M is not a size in bytes of at least 66: no "
             "trace is written");
     }},
    {"LimitBelowAHeaderAndAnEnd",
     [](const TraceDir& t) {
         t.Trace("65");
         return std::string(
             "ZVPLD_TRACE_LIMIT=65 is not a size in bytes of at least 66: no "
             "trace is written");
     }},
};

class TraceRefused : public TraceFaults, public WithParamInterface<Refusal> {};

TEST_P(TraceRefused, WithOneLineAndTheProxyWorksAsEver) {
    const std::string want = line(GetParam().prepare(trace));
    start();
    read(3);
    proxy.reset();
    EXPECT_EQ(log.take(), std::vector<LogLine>{ErrorLine(want)});
    std::remove((trace.dir + "/target").c_str());
    struct stat st {};
    EXPECT_TRUE(lstat(trace.file.c_str(), &st) != 0 || !S_ISREG(st.st_mode));
}

INSTANTIATE_TEST_SUITE_P(Trace, TraceRefused, ValuesIn(kRefusals), OpName);

struct Stop {
    const char* name;
    const char* limit;                // ZVPLD_TRACE_LIMIT
    void (*during)(const TraceDir&);  // between the first reads and the next ones
    const char* why;                  // the stop's line after "the trace FILE stopped: "
    const char* last;                 // the last record read back
};

const Stop kStops[] = {
    {"AtItsSizeLimit", "1000", [](const TraceDir&) {}, "it reached its limit of 1000 bytes",
     "End SizeLimit"},
    {"OnAFullDisk", nullptr,
     [](const TraceDir&) {
         signal(SIGXFSZ, SIG_IGN);
         const rlimit limit{1000, RLIM_INFINITY};
         setrlimit(RLIMIT_FSIZE, &limit);
     },
     "cannot write: File too large", "GetVelPntStr 0"},
    {"WhenItsFileIsRemoved", nullptr,
     [](const TraceDir& t) { EXPECT_EQ(std::remove(t.file.c_str()), 0); }, "the file was removed",
     nullptr},
};

class TraceStopped : public TraceFaults, public WithParamInterface<Stop> {};

TEST_P(TraceStopped, WithOneLineAndNoCallsResultChanged) {
    trace.Trace(GetParam().limit);
    start();
    read(3);
    // What was traced so far is in the file, or on its way: the fault meets the writer.
    ASSERT_TRUE(WaitUntil([&] {
        struct stat st {};
        return stat(trace.file.c_str(), &st) == 0 && st.st_size > 100;
    }));
    GetParam().during(trace);
    read(100);
    proxy.reset();
    EXPECT_EQ(log.take(), std::vector<LogLine>{ErrorLine(
                              line("the trace " + trace.file + " stopped: " + GetParam().why))});
    if (GetParam().last == nullptr) return;
    struct stat st {};
    ASSERT_EQ(stat(trace.file.c_str(), &st), 0);
    EXPECT_LE(st.st_size, 1000);
    const std::vector<zvtrace::Record> records = ReadTrace(trace.file);
    ASSERT_GE(records.size(), 2u);
    EXPECT_EQ(Show(records[0]), "Init 1");
    EXPECT_THAT(Show(records.back()), StartsWith(GetParam().last));
}

INSTANTIATE_TEST_SUITE_P(Trace, TraceStopped, ValuesIn(kStops), OpName);

// Two threads read points of their own at once; the engine holds each call a little, so that
// the other thread waits for the client lock.
TEST_F(TraceFaults, TwoCallersAtOnceGetWholeRecordsNumberedInTheOrderOfTheirCalls) {
    constexpr int kReads = 200;
    EXPECT_CALL(*engine, GetVelPntInt32).WillRepeatedly([](const ZvVelPntDfn* rec, auto* v) {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        *v = static_cast<std::int32_t>(rec->gddId);
        return 0;
    });
    trace.Trace();
    start();
    auto reads = [this](unsigned short gddId) {
        for (int i = 0; i < kReads; ++i) {
            int v = 0;
            EXPECT_EQ(proxy->GetValueSInt32(&v, 1, gddId, 1, 0, 0, 0), 0);
            EXPECT_EQ(v, gddId);
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        }
    };
    std::thread other(reads, 2);
    reads(1);
    other.join();
    proxy.reset();

    std::vector<zvtrace::Record> calls;
    for (zvtrace::Record& r : ReadTrace(trace.file)) {
        if (r.head.kind == zvtrace::Kind::Call &&
            r.head.op == std::uint8_t(zvtrace::Op::GetVelPntInt32)) {
            calls.push_back(r);
        }
    }
    ASSERT_EQ(calls.size(), 2u * kReads);
    // Each thread's records in the file in the order of its calls, with its own point.
    std::map<std::uint16_t, std::uint32_t> lastSeq, gddOf;
    for (const zvtrace::Record& r : calls) {
        EXPECT_GT(r.head.seq, lastSeq[r.head.thread]);
        lastSeq[r.head.thread] = r.head.seq;
        const std::uint32_t gdd = r.find("gdd")->number;
        EXPECT_EQ(gddOf.emplace(r.head.thread, gdd).first->second, gdd);
        EXPECT_EQ(r.find("value")->Signed(), static_cast<std::int32_t>(gdd));
    }
    EXPECT_EQ(gddOf.size(), 2u);
    // In the order of their seqs the calls follow one another, one at a time under the lock,
    // and the two threads took turns.
    std::sort(calls.begin(), calls.end(),
              [](const auto& a, const auto& b) { return a.head.seq < b.head.seq; });
    int turns = 0;
    for (std::size_t i = 1; i < calls.size(); ++i) {
        EXPECT_GE(calls[i].head.start, calls[i - 1].head.end) << "seq " << calls[i].head.seq;
        turns += calls[i].head.thread != calls[i - 1].head.thread;
    }
    EXPECT_GE(turns, 10);
}

// The engine's thread floods value changes while the client reads and drains.
TEST_F(TraceFaults, ANotificationFloodIsTracedWholeInOrderBesideTheCalls) {
    constexpr std::uint32_t kNotes = 20000;
    EXPECT_CALL(*engine, RegValueChange).WillOnce(Return(0));
    trace.Trace();
    start();
    static std::uint32_t drained;
    proxy->RegisterForValueChange([](void*, const ZvValChgInfo*) { ++drained; }, nullptr, 0);
    std::thread engineThread([] {
        for (std::uint32_t i = 1; i <= kNotes; ++i) {
            std::uint16_t data[] = {static_cast<std::uint16_t>(i), 7};
            const ZvValChgInfo info{i, 100, 0, 1, 2, 3, data};
            ZvPldProxy::CallbackValueChange(nullptr, &info);
        }
    });
    read(200);
    engineThread.join();
    while (drained < kNotes) proxy->CheckValueChange();
    proxy.reset();
    EXPECT_EQ(log.take(), std::vector<LogLine>{});

    std::uint32_t notes = 0, calls = 0;
    for (const zvtrace::Record& r : ReadTrace(trace.file)) {
        if (r.head.kind != zvtrace::Kind::Note) {
            calls += r.head.kind == zvtrace::Kind::Call;
            continue;
        }
        ++notes;
        ASSERT_EQ(r.find("sequence")->number, notes);
        char data[4] = {char(notes >> 8), char(notes), 0, 7};
        ASSERT_EQ(r.find("data")->bytes, std::string(data, 4));
    }
    EXPECT_EQ(notes, kNotes);
    EXPECT_EQ(calls, 200u + 3);  // and Init, the registration, UnReg
}

}  // namespace

namespace {

// A piece of a relayed answer, as an engine hands it to the function the request named.
void handOver(const ZvPldEngInfo& request, std::int32_t status, const char* text,
              std::uint32_t bufSize) {
    char buf[64] = {};
    std::strcpy(buf, text);
    ZvCallbackInfo piece{request.pUserData,
                         status,
                         request.reqType,
                         request.reqParam,
                         0,
                         0,
                         bufSize,
                         static_cast<std::uint32_t>(std::strlen(text)),
                         buf};
    request.pfnCallback(&piece);
}

Seen g_answers;
int heard(ZvCallbackInfo* cbi) {
    g_answers.Add(std::string(static_cast<const char*>(cbi->pUserData)) + " " +
                  std::to_string(cbi->status) + " " + cbi->pProcOutBuf);
    return 0;
}

// A caller's request, sent with `context` as its own.
int send(ZvPldProxy& proxy, const char* context) {
    ZvPldEngInfo request{1, const_cast<char*>(context), "/x", "q", heard, 3};
    return proxy.Process(&request);
}

}  // namespace

// A relayed answer ends at its first piece shorter than its buffer, as the engine's interface
// has it, and a piece reaches only its own request's function; neither a failed call nor an
// answer ended by an empty piece holds a relay for good.
TEST_F(TraceFaults, EachRelayedPieceReachesItsOwnRequestAndEveryEndedAnswerFreesItsRelay) {
    std::vector<ZvPldEngInfo> sent;
    EXPECT_CALL(*engine, Process).WillRepeatedly([&](ZvPldEngInfo* r) {
        sent.push_back(*r);
        return 0;
    });
    trace.Trace();
    start();
    ASSERT_EQ(send(*proxy, "A"), 0);
    handOver(sent[0], 0, "A-1full!", 8);  // fills its buffer: more to come
    ASSERT_EQ(send(*proxy, "B"), 0);
    handOver(sent[0], 0, "A-2!", 8);  // A's end, after B's request
    handOver(sent[1], 0, "B-1", 8);
    handOver(sent[0], 0, "late", 8);  // after A's end: its relay may serve another request
    EXPECT_EQ(g_answers.Take(), (std::vector<std::string>{"A 0 A-1full!", "A 0 A-2!", "B 0 B-1"}));
    EXPECT_CALL(*engine, Process).WillRepeatedly(Return(9));
    for (int i = 0; i < 64; ++i) EXPECT_EQ(send(*proxy, "F"), 2);
    EXPECT_CALL(*engine, Process).WillRepeatedly([](ZvPldEngInfo* r) {
        handOver(*r, 0, "", 8);
        return 0;
    });
    for (int i = 0; i < 64; ++i) EXPECT_EQ(send(*proxy, "E"), 0);
    EXPECT_CALL(*engine, Process).WillOnce([](ZvPldEngInfo* r) {
        handOver(*r, 0, "C-1", 8);
        return 0;
    });
    ASSERT_EQ(send(*proxy, "C"), 0);
    proxy.reset();
    std::vector<std::string> pieces;
    for (const zvtrace::Record& r : ReadTrace(trace.file)) {
        if (r.head.kind == zvtrace::Kind::Piece) pieces.push_back(r.find("text")->bytes);
    }
    ASSERT_EQ(pieces.size(), 3u + 64 + 1);
    EXPECT_EQ(pieces.back(), "C-1");
}

// An answer handed over within its call, in pieces that pass the room the trace holds back for
// a call: its record does not wait for them (a wait that would end the trace, a line), and
// every piece is in the trace.
TEST_F(TraceFaults, AnAnswerOfManyPiecesWithinItsCallNeitherWaitsNorStopsTheTrace) {
    constexpr int kPieces = 20000;  // of 60 bytes each as records: past 1 MiB
    EXPECT_CALL(*engine, Process).WillOnce([](ZvPldEngInfo* r) {
        for (int i = 0; i < kPieces; ++i) handOver(*r, 0, "(1,2:3)", 7);
        handOver(*r, 0, "]", 7);
        return 0;
    });
    trace.Trace();
    start();
    ASSERT_EQ(send(*proxy, "A"), 0);
    proxy.reset();
    EXPECT_EQ(log.take(), std::vector<LogLine>{});
    int pieces = 0;
    for (const zvtrace::Record& r : ReadTrace(trace.file))
        pieces += r.head.kind == zvtrace::Kind::Piece;
    EXPECT_EQ(pieces, kPieces + 1);
}

// A child forked by a traced process leaves the trace to its parent: it exits at once, and the
// parent's records are in the file once, with one end.
TEST_F(TraceFaults, AForkedChildExitsWithoutTheTraceAndLeavesItWhole) {
    trace.Trace();
    start();
    read(3);  // records the writer has not taken yet
    const pid_t child = fork();
    if (child == 0) {
        Mock::AllowLeak(engine.get());  // the parent's to verify
        std::exit(0);                   // the static destructors run, the trace's among them
    }
    int status = -1;
    EXPECT_TRUE(WaitUntil([&] { return waitpid(child, &status, WNOHANG) == child; }, 10000));
    if (status == -1) kill(child, SIGKILL);
    EXPECT_EQ(status, 0);
    proxy.reset();
    std::map<zvtrace::Kind, int> kinds;
    for (const zvtrace::Record& r : ReadTrace(trace.file)) ++kinds[r.head.kind];
    EXPECT_EQ(kinds[zvtrace::Kind::End], 1);
    EXPECT_EQ(kinds[zvtrace::Kind::Call], 5);  // Init, three reads, UnReg
}
