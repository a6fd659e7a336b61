// Control of the daemon's engine over its socket: asked for, refused, held answers, the restart
// and a listener passed down, with the daemon as a real process.
#include <poll.h>

#include <nlohmann/json.hpp>

#include "DaemonFixture.h"
#include "RawClient.h"
#include "ZvPldProxy.h"
#include "sim/Controller.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

const json kOffline = {{"do", "offline"}, {"device", 1}};

class ControlTest : public DaemonFixture {
  protected:
    void SetUp() override {
        DaemonFixture::SetUp();
        std::ofstream(m_dir + "/catalogue.json") << R"({"tickMs": 0, "devices": [
            {"index": 1, "points": [{"gddId": 10, "access": "rw", "min": 0, "max": 100,
                                     "values": [5]}]},
            {"index": 2, "points": [{"gddId": 20, "access": "rw", "values": [7]}]}]})";
    }
    // A connection that asked for control.
    std::unique_ptr<zvsim::Controller> controller(const std::string& options = "") {
        std::string error;
        auto c = zvsim::Controller::Open("unix:" + m_socket + options, error);
        EXPECT_TRUE(c) << error;
        return c;
    }
    static json send(zvsim::Controller& c, const json& command) {
        return json::parse(c.Send(command.dump()));
    }
    // What is in force, as `status` lists it.
    json inForce() {
        const json status = send(*controller(), {{"do", "status"}});
        return {status.value("offline", json()), status.value("controls", json())};
    }
};

// A refused Control is answered 12 and a malformed one drops its connection; neither changes
// anything. An offline device's refusal of a write is not saved, though the save came first; a
// full reset's values are.
TEST_F(ControlTest, ARefusedOrMalformedControlChangesNothingAndOnlyWhatTheEngineTookIsSaved) {
    ASSERT_TRUE(daemon());
    const json nothing = inForce();
    struct Case {
        const char* name;
        json request;
        bool dropped;
    };
    const Case cases[] = {
        {"not asked for", {{"op", "Control"}, {"command", kOffline}}, false},
        {"a verb that forges a log line",
         {{"op", "Control"}, {"command", {{"do", "x\npld-engined: forged"}}}},
         false},
        {"a verb with a NUL",
         {{"op", "Control"}, {"command", {{"do", std::string("x\0y", 3)}}}},
         false},
        {"neither ask nor command", {{"op", "Control"}}, true},
        {"both ask and command", {{"op", "Control"}, {"ask", true}, {"command", kOffline}}, true},
        {"ask not true", {{"op", "Control"}, {"ask", false}}, true},
        {"command not a map", {{"op", "Control"}, {"command", "offline 1"}}, true},
    };
    for (const Case& c : cases) {
        Client client(m_socket);
        const json reply = client.call(c.request);
        if (c.dropped) {
            EXPECT_TRUE(reply.is_null()) << c.name << ": " << reply;
        } else {
            EXPECT_EQ(reply["status"], 12) << c.name;
            EXPECT_EQ(reply["answer"]["error"], "control not asked for on this connection");
            EXPECT_EQ(client.call(readOf(1, 10))["value"], 5) << c.name;
        }
        EXPECT_EQ(inForce(), nothing) << c.name;
    }
    EXPECT_TRUE(logged("control offline refused: control not asked for"));
    EXPECT_TRUE(logged("malformed request: Control takes one of ask, command and subscribe"))
        << log();
    EXPECT_EQ(log().find("\npld-engined: forged"), std::string::npos) << log();
    EXPECT_TRUE(logged("control x?y refused: control not asked for"));
    const auto control = controller();
    const json answer = send(*control, kOffline);
    EXPECT_TRUE(answer.value("ok", false)) << answer;
    ZvPldProxy proxy(("unix:" + m_socket).c_str(), "");
    EXPECT_EQ(proxy.SetValueSInt32(9, 1, 10, 1, 0, 0, 0, 0), 2);
    EXPECT_EQ(contents(m_state).find("[9]"), std::string::npos);
    EXPECT_TRUE(logged("control offline: ")) << log();
    const json fullReset = {{"do", "reset"}, {"catalogue", true}};  // online again
    ASSERT_TRUE(send(*control, fullReset)["ok"]);
    EXPECT_EQ(proxy.SetValueSInt32(9, 1, 10, 1, 0, 0, 0, 0), 0);
    EXPECT_NE(contents(m_state).find("[9]"), std::string::npos);
    ASSERT_TRUE(send(*control, fullReset)["ok"]);
    EXPECT_NE(contents(m_state).find("[5]"), std::string::npos) << contents(m_state);
}

// A delayed answer holds back that reply alone: another connection's read is answered meanwhile.
TEST_F(ControlTest, ADelayHoldsThatReplyAloneForAtLeastTheDelay) {
    ASSERT_TRUE(daemon());
    ASSERT_TRUE(send(*controller(), {{"do", "delay"}, {"device", 1}, {"ms", 1500}})["ok"]);
    Client slow(m_socket), other(m_socket);
    const Clock::time_point start = Clock::now();
    slow.sendBytes(pipeline(1, readOf(1, 10)));
    EXPECT_EQ(other.call(readOf(2, 20))["value"], 7);
    pollfd ready{slow.fd(), POLLIN, 0};
    EXPECT_EQ(::poll(&ready, 1, 0), 0) << "the delayed reply came before the other's";
    EXPECT_EQ(slow.receive()["value"], 5);
    EXPECT_GE(Clock::now() - start, milliseconds(1500));
}

// On a frozen clock that nothing else advances, a delayed reply goes with the advance that
// reaches its time, not before, or at once with a release or a reset. Each row's commands in
// turn: the reply goes after the last.
class LetGo : public ControlTest, public ::testing::WithParamInterface<std::vector<const char*>> {};

TEST_P(LetGo, ADelayedReplyOnAFrozenClock) {
    ASSERT_TRUE(daemon());
    const auto c = controller();
    ASSERT_TRUE(send(*c, {{"do", "clock"}, {"action", "freeze"}})["ok"]);
    ASSERT_TRUE(send(*c, {{"do", "delay"}, {"device", 1}, {"ms", 5000}})["ok"]);
    Client slow(m_socket);
    slow.sendBytes(pipeline(1, readOf(1, 10)));
    const json reads = {{"do", "journal"}, {"op", "GetVelPntInt32"}};
    ASSERT_TRUE(WaitUntil([&] { return send(*c, reads)["count"] == 1; }));
    pollfd ready{slow.fd(), POLLIN, 0};
    for (const char* command : GetParam()) {
        EXPECT_EQ(::poll(&ready, 1, 200), 0) << "the reply went before " << command;
        ASSERT_TRUE(send(*c, json::parse(command))["ok"]) << command;
    }
    ASSERT_EQ(::poll(&ready, 1, 2000), 1);
    EXPECT_EQ(slow.receive()["value"], 5);
}

INSTANTIATE_TEST_SUITE_P(Commands, LetGo,
                         ::testing::Values(
                             std::vector<const char*>{
                                 R"({"do": "clock", "action": "advance", "ms": 4999})",
                                 R"({"do": "clock", "action": "advance", "ms": 1})"},
                             std::vector<const char*>{R"({"do": "release"})"},
                             std::vector<const char*>{R"({"do": "reset"})"},
                             std::vector<const char*>{R"({"do": "reset", "catalogue": true})"}));

// The scenario's steps go by the engine's clock: a minute of it at speed 1000.
TEST_F(ControlTest, ASpeedPlaysTheScenarioByTheEnginesClock) {
    std::ofstream(m_dir + "/minute.json") << R"({"name": "minute", "steps": [
        {"at": 0, "do": "set", "device": 1, "point": 10, "value": 20},
        {"at": 60000, "do": "set", "device": 1, "point": 10, "value": 30}]})";
    EXPECT_NE(spawnDaemon({"--speed", "1001"}).exitStatus(), 0);
    ASSERT_TRUE(daemon({"--speed", "1000", "--scenario", m_dir + "/minute.json"}));
    ASSERT_TRUE(logged("scenario minute: played to its end")) << log();
    EXPECT_EQ(Client(m_socket).call(readOf(1, 10))["value"], 30);
    const json clock = send(*controller(), {{"do", "status"}})["clock"];
    EXPECT_EQ(clock["speed"], 1000);
    EXPECT_GE(clock["ms"], 60000);
}

// A stall ends in the client's deadline; a connection with 256 replies held is read no further;
// release answers them all.
TEST_F(ControlTest, AStallEndsInTheClientsDeadlineAndReleaseRecovers) {
    ASSERT_TRUE(daemon());
    auto control = controller();
    ASSERT_TRUE(send(*control, {{"do", "stall"}})["ok"]);
    ZvPldProxy proxy(("unix:" + m_socket + "?deadline_ms=300").c_str(), "");
    int value = 0;
    EXPECT_EQ(proxy.GetValueSInt32(&value, 1, 10, 1, 0, 0, 0), 2);
    Client waiting(m_socket);
    waiting.sendBytes(pipeline(300, readOf(2, 20)));
    ASSERT_TRUE(WaitUntil([&] {
        return send(*control, {{"do", "status"}})["held"] == 256;
    })) << send(*control, {{"do", "status"}});
    std::this_thread::sleep_for(milliseconds(100));
    // 256: the proxy's went with the connection it gave up at its deadline.
    EXPECT_EQ(send(*control, {{"do", "status"}})["held"], 256);
    ASSERT_TRUE(send(*control, {{"do", "release"}})["ok"]);
    for (int id = 1; id <= 300; ++id) ASSERT_EQ(waiting.receive()["id"], id);
    std::this_thread::sleep_for(milliseconds(400));  // the client probes once a deadline
    EXPECT_EQ(proxy.GetValueSInt32(&value, 1, 10, 1, 0, 0, 0), 0);
    EXPECT_EQ(value, 5);
}

// A client that stops asking lets its held replies go at once, whether it hangs up, or only ends
// its input (as a client whose deadline passed does), or hangs up with 256 held and is read no
// further: `held` falls without a release.
TEST_F(ControlTest, AClientThatClosesLetsItsHeldRepliesGo) {
    ASSERT_TRUE(daemon());
    auto control = controller();
    ASSERT_TRUE(send(*control, {{"do", "stall"}})["ok"]);
    const auto held = [&] {
        return send(*control, {{"do", "status"}})["held"];
    };
    for (const int reads : {1, 300}) {
        for (const int how : {SHUT_RDWR, SHUT_WR}) {
            SCOPED_TRACE(std::to_string(reads) +
                         (how == SHUT_WR ? " reads, input ended" : " reads"));
            Client client(m_socket);
            client.sendBytes(pipeline(reads, readOf(2, 20)));
            ASSERT_TRUE(WaitUntil([&] { return held() == std::min(reads, 256); })) << held();
            ::shutdown(client.fd(), how);
            EXPECT_TRUE(WaitUntil([&] { return held() == 0; })) << held();
        }
    }
}

// The daemon re-executes itself: the same process, socket and values; clients connect again.
TEST_F(ControlTest, ARestartKeepsTheProcessTheSocketAndTheValues) {
#if !PLD_ENGINED_CAN_REEXEC
    GTEST_SKIP() << "the emulator cannot run a target program that it executes";
#endif
    std::ofstream(m_dir + "/catalogue.json") << R"({"tickMs": 0, "devices": [
        {"index": 1, "points": [{"gddId": 10, "access": "rw", "values": [5]}]},
        {"index": 2, "offline": true, "points": []}]})";
    Process* d = daemon({"--seed", "9"});
    ASSERT_TRUE(d);
    EXPECT_EQ(d->line(), "READY " + m_socket + " seed=9");
    auto control = controller();
    ASSERT_TRUE(send(*control, {{"do", "set"}, {"device", 1}, {"point", 10}, {"value", 42}})["ok"]);
    // The offline devices as they are now, not as the catalogue had them.
    ASSERT_TRUE(send(*control, {{"do", "online"}, {"device", 2}})["ok"]);
    Client client(m_socket);
    ASSERT_EQ(client.call(readOf(1, 10))["value"], 42);
    const json answer = send(*control, {{"do", "restart"}});
    EXPECT_TRUE(answer.value("ok", false)) << answer;
    EXPECT_EQ(d->line(), "READY " + m_socket + " seed=9");  // the same process, started again
    EXPECT_TRUE(client.closed());
    EXPECT_EQ(Client(m_socket).call(readOf(1, 10))["value"], 42);
    const json status = send(*control, {{"do", "status"}});
    EXPECT_EQ(status["seed"], 9);
    EXPECT_EQ(status["offline"], json::array());
    ::kill(d->pid, SIGTERM);
    EXPECT_EQ(d->exitStatus(), 0);
    EXPECT_NE(::access(m_socket.c_str(), F_OK), 0);  // its own socket, removed at its stop
}

// A listening socket passed as descriptor 3 is served and left in place at the stop, after a
// restart too; anything else passed stops the daemon.
TEST_F(ControlTest, AListeningSocketPassedDownIsServedAndAnythingElseRefused) {
    const std::string passed = m_dir + "/passed.sock";
    const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{AF_UNIX, {}};
    std::strncpy(addr.sun_path, passed.c_str(), sizeof addr.sun_path - 1);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    const int file = ::open("/dev/null", O_RDONLY);
    struct Case {
        const char* name;
        int fd;
        bool served;
    };
    const Case cases[] = {{"a file", file, false},
                          {"a socket that does not listen", listener, false},
                          {"a listening socket", listener, true}};
    for (const Case& c : cases) {
        if (c.served) {
            ASSERT_EQ(::listen(listener, 8), 0);
        }
        Process& passedDown = spawnDaemon({}, PLD_ENGINED_LAUNCH, [fd = c.fd] {
            ::dup2(fd, 3);
            ::setenv("LISTEN_FDS", "1", 1);
            ::setenv("LISTEN_PID", std::to_string(::getpid()).c_str(), 1);
        });
        if (!c.served) {
            EXPECT_EQ(passedDown.exitStatus(), 1) << c.name;
            continue;
        }
        EXPECT_EQ(passedDown.line(), "READY " + passed + " seed=1");
        EXPECT_EQ(Client(passed).call(readOf(2, 20))["value"], 7);
#if PLD_ENGINED_CAN_REEXEC
        // The restarted image is handed the socket as it came: still not its own to remove.
        std::string error;
        auto control = zvsim::Controller::Open("unix:" + passed, error);
        ASSERT_TRUE(control) << error;
        EXPECT_TRUE(send(*control, {{"do", "restart"}}).value("ok", false));
        EXPECT_EQ(passedDown.line(), "READY " + passed + " seed=1");
#endif
        ::kill(passedDown.pid, SIGTERM);
        EXPECT_EQ(passedDown.exitStatus(), 0);
        EXPECT_EQ(::access(passed.c_str(), F_OK), 0);  // the file is whoever passed it's
    }
    EXPECT_TRUE(logged("descriptor 3 is not a listening Unix stream socket")) << log();
}

// A scenario unread, or with a step the engine of its catalogue refuses (after one it takes),
// stops the daemon at its start.
TEST_F(ControlTest, ABadScenarioKeepsTheDaemonFromStarting) {
    std::ofstream(m_dir + "/bad.json")
        << R"({"name": "bad", "steps": [{"at": 0, "do": "offline", "device": "one"}]})";
    std::ofstream(m_dir + "/refused.json") << R"({"name": "refused", "steps": [
        {"at": 0, "do": "set", "device": 1, "point": 10, "value": 50},
        {"at": 5, "do": "offline", "device": 9, "note": "no such device"}]})";
    for (const char* file : {"bad.json", "missing.json", "refused.json"}) {
        EXPECT_EQ(spawnDaemon({"--scenario", m_dir + "/" + file}).exitStatus(), 1) << file;
    }
    EXPECT_TRUE(logged("scenario " + m_dir + "/bad.json: ")) << log();
    EXPECT_TRUE(logged("scenario " + m_dir +
                       "/refused.json: the engine refuses the step at 5 ms "
                       "(no such device): unknown device 9"))
        << log();
    EXPECT_TRUE(logged("scenario " + m_dir + "/missing.json: scenario: it cannot be opened"));
}

// A scenario goes on after its restart step, without playing its earlier steps again.
TEST_F(ControlTest, AScenarioGoesOnAfterItsRestartStep) {
#if !PLD_ENGINED_CAN_REEXEC
    GTEST_SKIP() << "the emulator cannot run a target program that it executes";
#endif
    std::ofstream(m_dir + "/play.json") << R"({"name": "play", "steps": [
        {"at": 0, "do": "set", "device": 1, "point": 10, "value": 20},
        {"at": 100, "do": "restart"},
        {"at": 300, "do": "set", "device": 1, "point": 10, "value": 30}]})";
    Process* d = daemon({"--scenario", m_dir + "/play.json"});
    ASSERT_TRUE(d);
    EXPECT_EQ(d->line().rfind("READY", 0), 0u);
    EXPECT_EQ(d->line().rfind("READY", 0), 0u);  // restarted
    ASSERT_TRUE(logged("played to its end", 10000)) << log();
    EXPECT_EQ(Client(m_socket).call(readOf(1, 10))["value"], 30);
    const std::string all = log();
    const std::size_t first = all.find("scenario play: at 0 ms: set");
    EXPECT_EQ(all.find("scenario play: at 0 ms: set", first + 1), std::string::npos) << all;
}

}  // namespace
