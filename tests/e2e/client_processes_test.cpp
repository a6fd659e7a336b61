// Client processes that share one pld-engined through libZvPldProxy: e2e_client and pldctl
// processes, and a proxy in the test process itself, against the daemon as a real process.
#include <future>

#include "DaemonFixture.h"
#include "MockEngine.h"
#include "ZvPldProxy.h"
#include "ZvPldTypes.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

class EndToEndTest : public DaemonFixture {
  protected:
    void SetUp() override {
        DaemonFixture::SetUp();
        ::alarm(100);  // reads from children block: one that never answers ends the test here
        // Device 1, GddIds 1 to 16: int, writable, 0 at first.
        std::ofstream catalogue(m_dir + "/catalogue.json");
        catalogue << R"({"tickMs": 0, "devices": [{"index": 1, "points": [)";
        for (int g = 1; g <= 16; ++g) {
            catalogue << (g > 1 ? ", " : "") << R"({"gddId": )" << g
                      << R"(, "access": "rw", "min": 0, "max": 1000000, "values": [0]})";
        }
        catalogue << "]}]}";
    }
};

TEST_F(EndToEndTest, AWriteByOneProcessIsReadByAnotherAndTwoWatchersBothPrintItsChange) {
    ASSERT_TRUE(daemon());
    std::vector<Process*> watchers;
    for (int i = 0; i < 2; ++i) {
        watchers.push_back(&pldctl({"watch", "--kinds", "value", "--seconds", "5"}));
        EXPECT_EQ(watchers.back()->line().rfind("Watching for 5 s", 0), 0u);  // once registered
    }
    EXPECT_EQ(pldctl({"set", "1", "7", "42"}).line(), "set: 0 (ok)");
    EXPECT_EQ(pldctl({"get", "1", "7"}).line(), ": 42");  // a point without label or unit
    for (Process* w : watchers) {
        std::string printed;
        for (std::string l = w->line(); !l.empty(); l = w->line()) printed += l + "\n";
        EXPECT_NE(printed.find("GddId 7, module 1: 42\n"), std::string::npos) << printed;
        EXPECT_NE(printed.find("Done: value changes 1,"), std::string::npos) << printed;
        EXPECT_EQ(w->exitStatus(), 0);
    }
}

// Device 9 is unknown, and device 1 has no product identity: one failed call is enough for 1.
TEST_F(EndToEndTest, PldctlExitsOneWhenAnyCallItMadeFailedAndZeroWhenNoneDid) {
    ASSERT_TRUE(daemon());
    const struct {
        std::vector<std::string> args;
        int status;
    } cases[] = {{{"get", "9", "1"}, 1},  {{"set", "9", "1", "5"}, 1},  {{"attrs", "9", "1"}, 1},
                 {{"enum", "9", "1"}, 1}, {{"hierarchy", "9", "1"}, 1}, {{"report", "9", "1"}, 1},
                 {{"info"}, 1},           {{"get", "1", "1"}, 0},       {{"set", "1", "1", "5"}, 0},
                 {{"attrs", "1", "1"}, 0}};
    for (const auto& c : cases) {
        EXPECT_EQ(pldctl(c.args).exitStatus(), c.status) << ::testing::PrintToString(c.args);
    }
}

std::vector<int> g_changed;

TEST_F(EndToEndTest, ADaemonKilledDuringACallFailsItInTimeAndARestartedOneKeepsTheWrite) {
    Process* d = daemon();
    ASSERT_TRUE(d);
    // Short of the default deadline (2 s), so that a client ignoring this one fails the bound.
    const std::string engine = m_engine + "?deadline_ms=500";
    ZvPldProxy proxy(engine.c_str(), "");
    proxy.RegisterForValueChange(
        [](void*, const ZvValChgInfo* info) { g_changed.push_back(info->pData[1]); }, nullptr, 0);
    auto changesUntil = [&](std::size_t count) {
        WaitUntil([&] { return proxy.CheckValueChange(), g_changed.size() >= count; }, 60000);
        return g_changed;
    };
    ASSERT_EQ(proxy.SetValueSInt32(42, 1, 5, 1, 0, 0, 0, 0), 0);
    ASSERT_EQ(changesUntil(1), std::vector<int>{42});
    // Stopped first, so that the request is surely unanswered when the daemon dies. Its threads
    // stop one by one: the wait reports the last.
    ::kill(d->pid, SIGSTOP);
    ASSERT_EQ(::waitpid(d->pid, nullptr, WUNTRACED), d->pid);
    auto log = std::make_unique<LogCapture>();
    const auto start = Clock::now();
    int value = 0;
    auto call = std::async(std::launch::async,
                           [&] { return proxy.GetValueSInt32(&value, 1, 5, 1, 0, 0, 0); });
    call.wait_for(milliseconds(100));  // the request is in flight by then
    ::kill(d->pid, SIGKILL);
    EXPECT_EQ(call.get(), 2);
    EXPECT_LT(Clock::now() - start, milliseconds(1500));  // a margin for slow machines
    EXPECT_EQ(log->takeTexts(),
              std::vector<std::string>{"GetValueSInt32 - unable to get data due "
                                       "to error:13 - GddId: 5, mmIdx:1, uofm: 0"});
    log.reset();
    EXPECT_EQ(d->exitStatus(), 128 + SIGKILL);

    ASSERT_TRUE(daemon());
    EXPECT_EQ(proxy.GetValueSInt32(&value, 1, 5, 1, 0, 0, 0), 0);  // reconnects
    EXPECT_EQ(value, 42);
    // The reconnection registered again: a write by another process reaches this one.
    EXPECT_EQ(pldctl({"set", "1", "5", "43"}).line(), "set: 0 (ok)");
    EXPECT_EQ(changesUntil(2), (std::vector<int>{42, 43}));
}

// Each process writes points of its own and is owed every process's changes, its own included.
TEST_F(EndToEndTest, FourProcessesOfFourThreadsGetEveryReplyAndEveryChange) {
    constexpr int kProcesses = 4, kThreads = 4, kTotal = kProcesses * kThreads * E2E_LOAD_OPS;
    ASSERT_TRUE(daemon());
    // What is counted is replies and changes, not their time: a deadline that an emulated
    // target on a busy machine may miss would only fail calls that the daemon does answer.
    const std::string engine = m_engine + "?deadline_ms=20000";
    std::vector<Process*> clients;
    for (int p = 0; p < kProcesses; ++p) {
        clients.push_back(
            &spawn(E2E_CLIENT_LAUNCH, {engine, std::to_string(p), std::to_string(kThreads),
                                       std::to_string(E2E_LOAD_OPS), std::to_string(kTotal)}));
        EXPECT_EQ(clients.back()->line(), "ready");  // registered for value changes
    }
    for (Process* c : clients) c->closeInput();  // all registered before any writes
    std::ostringstream expected;
    expected << "load: " << 2 * kThreads * E2E_LOAD_OPS << " of " << 2 * kThreads * E2E_LOAD_OPS
             << " replies right, " << kTotal << " of " << kTotal << " changes, gaps 0";
    for (Process* c : clients) EXPECT_EQ(c->line(), expected.str());
}

}  // namespace
