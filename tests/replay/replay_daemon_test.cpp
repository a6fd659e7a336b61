// The replay served by pld-engined --replay to a client process's engine, on a private socket.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "DaemonFixture.h"
#include "Seen.h"
#include "TraceBuilder.h"
#include "ZvPldEngine.h"
#include "ZvPldStatus.h"

namespace {

using ::testing::ElementsAre;
using zvtrace::Op;

class ReplayDaemon : public DaemonFixture {};

Seen g_events;

// A client that registers after the daemon started hears every notification, in order and as
// recorded, the last 20 s after the registration in the trace and so 2 s after it at speed 10;
// its reads get the recorded answers, and 13 for one the trace does not hold.
TEST_F(ReplayDaemon, AClientHearsTheTraceAtTheSpeedAndGetsItsAnswers) {
    using zvtrace::NoteKind;
    const std::string trace =
        TraceBuilder()
            .Call(Op::RegVelEvent, 0, {U32(0)}, {}, 1000)
            .Call(Op::GetVelPntInt32, 0, PointFields(1, 100, 0), {I32(42)}, 1100)
            .Note(NoteKind::Event, {U32(3), U32(40), U32(1), U32(1), U32(9)}, 2000)
            .Note(NoteKind::Event, {U32(4), U32(40), U32(1), U32(0), U32(9)}, 21000)
            .Write(m_dir, "t.trace");
    spawn(PLD_ENGINED_LAUNCH, {"--socket", m_socket, "--replay", trace, "--speed", "10"});
    ASSERT_TRUE(listening()) << log();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the daemon's time runs on
    const std::shared_ptr<ZvPldEngine> client = ZvPldDefaultEngine(m_engine.c_str(), "", "");
    ASSERT_TRUE(client);
    client->Init();
    ASSERT_EQ(client->RegVelEvent(
                  [](void*, const ZvVEventInfo* i) {
                      g_events.Add(std::to_string(i->sequence) + " " + std::to_string(i->eventId) +
                                   " " + std::to_string(i->eventState));
                  },
                  nullptr, 0),
              0);
    const ZvVelPntDfn recorded{1, 100, 0, 0, 0, nullptr, 0}, other{1, 101, 0, 0, 0, nullptr, 0};
    std::int32_t value = 0;
    EXPECT_EQ(client->GetVelPntInt32(&recorded, &value), 0);
    EXPECT_EQ(value, 42);
    EXPECT_EQ(client->GetVelPntInt32(&other, &value), zvstatus::kNoEngine);
    EXPECT_TRUE(WaitUntil([] { return g_events.Lines().size() >= 2; }, 10000)) << log();
    EXPECT_THAT(g_events.Lines(), ElementsAre("3 40 1", "4 40 0"));
    client->UnReg(1);
    client->Close();
}

// A trace that breaks the format stops the daemon, naming the file and the record's offset.
TEST_F(ReplayDaemon, ABadTraceStopsTheDaemonNamingItsOffset) {
    std::string bytes =
        TraceBuilder().Call(Op::GetVelPntInt32, 0, PointFields(1, 100, 0), {I32(5)}).bytes();
    bytes[32 + 4] = 99;  // the record's kind
    const std::string path = m_dir + "/bad.trace";
    std::ofstream(path, std::ios::binary) << bytes;
    Process& d = spawn(PLD_ENGINED_LAUNCH, {"--socket", m_socket, "--replay", path});
    EXPECT_EQ(d.exitStatus(), 1);
    EXPECT_THAT(log(), ::testing::HasSubstr(path + ": record at byte 32: unknown record kind 99"));
}

}  // namespace
