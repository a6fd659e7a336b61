// What one client, or many, may cost the engine daemon: its connections, its frames and its
// time are bounded, and what goes past a bound is refused while the others are still served.
// The files it and pldctl read are bounded too.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "DaemonFixture.h"
#include "Frames.h"
#include "RawClient.h"

namespace {

const json kGet = readOf(1, 10), kSet = writeOf(1, 10, 9);
const json kReg = {{"op", "Reg"}, {"kind", "value"}, {"regArg", 0}};
const json kAsk = {{"op", "Control"}, {"ask", true}};

// The peak of the daemon's memory in kB; -1 if it cannot be read.
long peakKb(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
    return -1;
}

// Sends `signal`, SIGSTOP or SIGCONT, to `pid`; whether it stopped or went on within kWaitMs.
bool stop(pid_t pid, int signal) {
    ::kill(pid, signal);
    return WaitUntil(
        [&] {
            const std::string stat = contents("/proc/" + std::to_string(pid) + "/stat");
            const std::size_t state = stat.rfind(") ");
            return state != std::string::npos && (stat[state + 2] == 'T') == (signal == SIGSTOP);
        },
        kWaitMs);
}

// The reply to `request`, or null once the daemon closed the connection (maybe before it).
json ask(Client& c, const json& request = kGet) {
    const auto frame = pipeline(1, request);
    const ssize_t sent = ::send(c.fd(), frame.data(), frame.size(), MSG_NOSIGNAL);
    return sent == ssize_t(frame.size()) ? c.receive() : json(nullptr);
}

// Whether the daemon has closed the connection already; does not wait.
bool closedNow(Client& c) {
    std::uint8_t byte = 0;
    const ssize_t n = ::recv(c.fd(), &byte, 1, MSG_DONTWAIT | MSG_PEEK);
    return n == 0 || (n < 0 && errno == ECONNRESET);
}

// {"id": 1, "op": "X", "pad": "  ..."}, of `bytes` bytes after its length.
std::vector<std::uint8_t> padded(std::size_t bytes) {
    const std::size_t pad = bytes - 17;
    return frames::Framed(std::string("\x83\xA2id\x01\xA2op\xA1X\xA3pad\xDA") + char(pad >> 8) +
                          char(pad & 0xFF) + std::string(pad, ' '));
}

// A case of the tables below by its name, in the test's name and its failures.
template <class Case>
auto operator<<(std::ostream& os, const Case& c) -> decltype(c.name, os) {
    return os << c.name;
}

const char* const kCatalogue = R"({"tickMs": 0, "devices": [{"index": 1,
    "points": [{"gddId": 10, "label": "Setpoint", "access": "rw", "values": [5]}]}]})";

class DaemonLimitsTest : public DaemonFixture {
  protected:
    void SetUp() override {
        DaemonFixture::SetUp();
        std::ofstream(m_dir + "/catalogue.json") << kCatalogue;
    }
    // The daemon once the fixture's probe is closed, so that it counts only the test's.
    Process* quietDaemon(const char* launch, std::vector<std::string> options) {
        Process* d = &spawnDaemon(std::move(options), launch);
        return listening() && logged("connection 1 closed") ? d : nullptr;
    }
};

// A crowd of registered connections past the cap, or past the descriptors left, is refused and
// counted in the log; the rest are served, a write is saved, and once some go a newcomer is served.
struct Crowd {
    const char* name;
    const char* limit;  // prlimit's option, or none
    int connections;
    const char* cap;
    int served;  // of the crowd, beside the client that came first
    const char* logged;
};

class Crowds : public DaemonLimitsTest, public ::testing::WithParamInterface<Crowd> {};

TEST_P(Crowds, TheDaemonStaysUpRefusesBeyondItsLimitAndServesTheRest) {
    const Crowd& crowd = GetParam();
    if (*crowd.limit != '\0' && !PLD_ENGINED_UNDER_RLIMITS)
        GTEST_SKIP() << "the sanitizers' and the emulator's own mappings do not fit these limits";
    const std::string launch =
        *crowd.limit == '\0' ? std::string(PLD_ENGINED_LAUNCH)
                             : std::string("prlimit|") + crowd.limit + "|--|" + PLD_ENGINED_LAUNCH;
    Process* d = quietDaemon(launch.c_str(), {"--max-connections", crowd.cap});
    ASSERT_TRUE(d) << log();
    Client first(m_socket);
    ASSERT_EQ(first.call(kReg)["status"], 0);
    std::vector<std::unique_ptr<Client>> clients;
    int served = 0, refused = 0;
    for (int i = 0; i < crowd.connections; ++i) {
        clients.push_back(std::make_unique<Client>(m_socket));
        const json reply = ask(*clients.back(), kReg);
        if (reply.is_object() && reply.value("status", -1) == 0) {
            ++served;
        } else if (clients.back()->closed()) {
            ++refused;
        }
    }
    EXPECT_EQ(::waitpid(d->pid, nullptr, WNOHANG), 0) << log();  // alive
    EXPECT_EQ(served, crowd.served);
    EXPECT_EQ(served + refused, crowd.connections);
    EXPECT_TRUE(logged(crowd.logged)) << log();
    // Every refusal is told, the ones after a line too, though no more come.
    WaitUntil([&] { return refusalsTold() >= refused; }, kWaitMs);
    EXPECT_EQ(refusalsTold(), refused) << log();
    EXPECT_EQ(first.call(kSet)["status"], 0) << log();
    EXPECT_NE(contents(m_dir + "/state.json").find("[9]"), std::string::npos);
    clients.erase(clients.begin(), clients.begin() + 8);
    EXPECT_EQ(Client(m_socket).call(kGet)["value"], 9) << log();
}

INSTANTIATE_TEST_SUITE_P(
    Limits, Crowds,
    ::testing::Values(Crowd{"CapAlone", "", 300, "200", 199,
                            "as many connections are open as --max-connections allows"},
                      Crowd{"AddressSpace1GiB", "--as=1073741824", 300, "200", 199,
                            "as many connections are open as --max-connections allows"},
                      Crowd{"Descriptors64", "--nofile=64", 100, "1024", 31,
                            "only 64 file descriptors: at most 32 connections are served"}),
    [](const auto& info) { return std::string(info.param.name); });

// At the cap a newcomer closes the idlest connection whose client loses nothing by it, or is
// refused when none may go.
struct Eviction {
    const char* name;
    std::vector<json> oldestAsks;  // what the oldest of the four connections asks
    std::vector<std::uint8_t> oldestBegins;
    bool asksAgain;               // after the other three came
    bool asksAsTheNewcomerComes;  // its request waits in the socket behind the newcomer
    bool othersRegister;
    bool oldestGoes;
    bool newcomerServed;
};

class Evictions : public DaemonLimitsTest, public ::testing::WithParamInterface<Eviction> {};

TEST_P(Evictions, MakeRoomOnlyByClosingAConnectionThatLosesNothing) {
    const Eviction& e = GetParam();
    Process* d = quietDaemon(PLD_ENGINED_LAUNCH, {"--max-connections", "4"});
    ASSERT_TRUE(d) << log();
    Client oldest(m_socket);
    for (const json& request : e.oldestAsks) ASSERT_EQ(oldest.call(request)["status"], 0);
    if (!e.oldestBegins.empty()) oldest.sendBytes(e.oldestBegins);
    std::vector<std::unique_ptr<Client>> others;
    for (int i = 0; i < 3; ++i) {
        others.push_back(std::make_unique<Client>(m_socket));
        ASSERT_EQ(others.back()->call(e.othersRegister ? kReg : kGet).value("status", 0), 0);
    }
    if (e.asksAgain) {
        ASSERT_EQ(oldest.call(kGet)["value"], 5);
    }
    // Stopped, the daemon sees the newcomer and the request together, the newcomer first.
    const bool stopped = e.asksAsTheNewcomerComes && stop(d->pid, SIGSTOP);
    ASSERT_EQ(stopped, e.asksAsTheNewcomerComes);
    Client newcomer(m_socket);
    if (stopped) {
        oldest.sendBytes(pipeline(1, kGet));
        ASSERT_TRUE(stop(d->pid, SIGCONT));
    }
    const json reply = ask(newcomer);
    EXPECT_TRUE(!stopped || oldest.receive()["value"] == 5) << log();
    EXPECT_EQ(reply.is_object() ? reply.value("value", -1) : -1, e.newcomerServed ? 5 : -1)
        << log();
    EXPECT_EQ(closedNow(oldest), e.oldestGoes);
    EXPECT_EQ(closedNow(*others[0]), e.newcomerServed && !e.oldestGoes);
    EXPECT_FALSE(closedNow(*others[1]));
    EXPECT_TRUE(logged(e.newcomerServed ? "closed 1 idle connection to make room"
                                        : "refused 1 connection: as many connections"))
        << log();
}

INSTANTIATE_TEST_SUITE_P(
    AtTheCap, Evictions,
    ::testing::Values(
        Eviction{"Idle", {kGet}, {}, false, false, false, true, true},
        Eviction{"ControlAskedForAndIdle", {kAsk}, {}, false, false, false, true, true},
        Eviction{"AskedSinceTheOthersCame", {kGet}, {}, true, false, false, false, true},
        Eviction{"ARequestNotYetRead", {kGet}, {}, false, true, false, false, true},
        Eviction{"Registered", {kReg}, {}, false, false, false, false, true},
        Eviction{"AFrameBegun", {}, {0, 0, 0, 100, 0x82, 0xA2}, false, false, false, false, true},
        Eviction{"NoneMayGo", {kReg}, {}, false, false, true, false, false}),
    [](const auto& info) { return std::string(info.param.name); });

// 16 clients each send a malformed frame, or one that would cost far more decoded than its
// bytes: each is dropped, the daemon's memory stays bounded and another client is served.
struct Bomb {
    const char* name;
    std::vector<std::uint8_t> frame;
    const char* logged;
};

class Bombs : public DaemonLimitsTest, public ::testing::WithParamInterface<Bomb> {};

TEST_P(Bombs, IsRefusedAndTheDaemonsMemoryStaysBounded) {
    Process* d = quietDaemon(PLD_ENGINED_LAUNCH, {});
    ASSERT_TRUE(d) << log();
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < 16; ++i) {
        clients.push_back(std::make_unique<Client>(m_socket));
        ::send(clients.back()->fd(), GetParam().frame.data(), GetParam().frame.size(),
               MSG_NOSIGNAL);
    }
    for (auto& c : clients) EXPECT_TRUE(c->closed());
    EXPECT_EQ(Client(m_socket).call(kGet)["value"], 5) << log();
    EXPECT_TRUE(logged(GetParam().logged)) << log();
    // Threads decoding each a megabyte of nils at once took over a gigabyte.
    const long peak = peakKb(d->pid);
    EXPECT_GT(peak, 0);
    EXPECT_LT(peak, 160 * 1024);
}

INSTANTIATE_TEST_SUITE_P(
    Frames, Bombs,
    ::testing::Values(Bomb{"AMegabyteOfNils", frames::Nils(1040000), "too long"},
                      Bomb{"FifteenThousandNilsIn16KiB", frames::Nils(15000), "elements"},
                      Bomb{"OneElementPast128", frames::Nils(122), "more than 128 elements"},
                      Bomb{"OneBytePast16KiB", padded(16385), "frame of 16385 bytes is too long"},
                      Bomb{"NineDeep", frames::Nested(9), "nested deeper"},
                      Bomb{"NotMessagePack", {0, 0, 0, 1, 0xC1}, "dropped: malformed frame"},
                      Bomb{"NoOp", frames::Framed("\x81\xA2id\x01"), "dropped: malformed request"}),
    [](const auto& info) { return std::string(info.param.name); });

// A request at each limit that the bombs pass by one is served (an unknown op, answered 12). A
// pipeline is served a few requests a pass: a write sent after it on another connection is not
// held up by it.
TEST_F(DaemonLimitsTest, ARequestAtEachLimitIsServedAndAPipelineHoldsUpNoOther) {
    Process* d = quietDaemon(PLD_ENGINED_LAUNCH, {});
    ASSERT_TRUE(d) << log();
    Client hog(m_socket), other(m_socket);
    for (const auto& frame : {padded(16384), frames::Nils(121), frames::Nested(8)}) {
        other.sendBytes(frame);
        EXPECT_EQ(other.receive(), json({{"id", 1}, {"status", 12}})) << log();
    }
    ::kill(d->pid, SIGSTOP);  // both come in before the daemon reads either
    hog.sendBytes(pipeline(1000, kGet));
    other.sendBytes(pipeline(1, kSet));
    ::kill(d->pid, SIGCONT);
    EXPECT_EQ(other.receive()["status"], 0);
    int readBefore = 0;
    for (int i = 0; i < 1000; ++i) {
        const json reply = hog.receive();
        ASSERT_TRUE(reply.is_object()) << i;
        if (reply["value"] == 5) ++readBefore;
    }
    EXPECT_LT(readBefore, 32);
}

// Connections coming and going, and control commands that change nothing, cost the log 20 lines
// a second of each kind, the rest counted; a command applied is logged all the same.
TEST_F(DaemonLimitsTest, ConnectionsComingAndGoingAreLoggedWithinABudget) {
    ASSERT_TRUE(quietDaemon(PLD_ENGINED_LAUNCH, {})) << log();
    for (int i = 0; i < 200; ++i) {
        Client passing(m_socket);
    }
    Client control(m_socket);
    const json status = {{"op", "Control"}, {"command", {{"do", "status"}}}};
    control.sendBytes(pipeline(300, status));
    for (int i = 0; i < 300; ++i) ASSERT_EQ(control.receive()["status"], 12) << i;
    ASSERT_EQ(control.call(kAsk)["status"], 0);
    control.sendBytes(pipeline(300, status));
    for (int i = 0; i < 300; ++i) ASSERT_EQ(control.receive()["status"], 0) << i;
    ASSERT_EQ(control.call({{"op", "Control"},
                            {"command", {{"do", "offline"}, {"device", 1}}}})["answer"]["ok"],
              true);
    EXPECT_TRUE(logged("control offline: device 1 offline")) << log();
    EXPECT_TRUE(logged("more lines of connections opened not written")) << log();
    EXPECT_TRUE(logged("more lines of connections closed not written")) << log();
    EXPECT_TRUE(logged("more lines of control commands that changed nothing not written")) << log();
    EXPECT_LE(occurrences(log(), " opened\n"), 100u);
    EXPECT_LE(occurrences(log(), ": control status"), 150u);  // 600 sent
}

// A stall holds at most 4,096 replies, and one more for each connection that held none; frames
// left unread meanwhile are not timed as unfinished, and released, every one is answered.
TEST_F(DaemonLimitsTest, TheRepliesAStallHoldsAreBoundedInAll) {
    ASSERT_TRUE(quietDaemon(PLD_ENGINED_LAUNCH, {"--frame-timeout", "1"})) << log();
    Client control(m_socket);
    ASSERT_EQ(control.call(kAsk)["status"], 0);
    const auto command = [&](const char* verb) {
        return control.call({{"op", "Control"}, {"command", {{"do", verb}}}})["answer"];
    };
    ASSERT_EQ(command("stall")["ok"], true);
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < 32; ++i) {
        clients.push_back(std::make_unique<Client>(m_socket));
        clients.back()->sendBytes(pipeline(280, kGet));
    }
    json held = -1;
    for (int waited = 0; waited < kWaitMs; waited += 200) {  // until it holds no more
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        const json now = command("status")["held"];
        if (now == held) break;
        held = now;
    }
    EXPECT_GE(held, 4096);
    EXPECT_LE(held, 4096 + 32);
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));  // past the frame timeout
    ASSERT_EQ(command("release")["ok"], true);
    for (auto& c : clients) {
        for (int i = 0; i < 280; ++i) ASSERT_EQ(c->receive()["value"], 5) << i << log();
    }
}

// A frame never finished (a header alone, or more), or a connection that asks nothing, is closed
// once its time is up; one registered for notifications waits for them, and is not idle.
TEST_F(DaemonLimitsTest, StalledConnectionsAreClosedOnceTheirTimeIsUp) {
    ASSERT_TRUE(quietDaemon(PLD_ENGINED_LAUNCH, {"--frame-timeout", "1", "--idle-timeout", "2"}))
        << log();
    Client waiting(m_socket), header(m_socket), begun(m_socket), idle(m_socket);
    ASSERT_EQ(waiting.call(kReg)["status"], 0);
    header.sendBytes({0, 0, 0, 100});
    begun.sendBytes({0, 0, 0, 100, 0x82, 0xA2, 'i'});
    for (Client* c : {&header, &begun, &idle}) EXPECT_TRUE(c->closed());  // within kWaitMs
    EXPECT_TRUE(WaitUntil([&] { return occurrences(log(), "left unfinished") == 2; }, kWaitMs))
        << log();
    EXPECT_TRUE(logged("idle for")) << log();
    EXPECT_EQ(waiting.call(kGet)["value"], 5) << log();
}

// A file the daemon or `pldctl scenario check` reads that is no regular file, too big or nested
// deeper than 32 levels is refused at once; one at the limits is read.
struct HostileFile {
    std::string name;
    std::string reader;  // the daemon's option, or "check": `pldctl scenario check`
    std::function<void(const std::string& path)> make;
    std::string said;  // in the refusal; "" when the file is read
};

class HostileFiles : public DaemonLimitsTest, public ::testing::WithParamInterface<HostileFile> {};

TEST_P(HostileFiles, AreRefusedAtOnceAndThoseWithinTheLimitsAreRead) {
    const HostileFile& f = GetParam();
    const bool daemon = f.reader != "check";
    const std::string path = m_dir + (f.reader == "--state"       ? "/state.json"
                                      : f.reader == "--catalogue" ? "/catalogue.json"
                                                                  : "/scenario.json");
    ::unlink(path.c_str());
    f.make(path);
    Process& p = !daemon                    ? spawn(PLDCTL_LAUNCH, {"scenario", "check", path})
                 : f.reader == "--scenario" ? spawnDaemon({"--scenario", path})
                                            : spawnDaemon();
    if (f.said.empty()) {
        // Megabytes parsed under an emulator take seconds.
        EXPECT_TRUE(daemon ? listening(60000) : p.exitStatus(60000) == 0) << log();
    } else {
        EXPECT_EQ(p.exitStatus(), daemon ? 1 : 2) << log();
        EXPECT_TRUE(logged(f.said)) << log();
    }
}

// Each reader's rows: its limit of bytes, a file it takes and one nested 32 deep, and what it
// says of that one (an unknown field, for a scenario).
std::vector<HostileFile> hostileFiles() {
    const auto text = [](const std::string& content) {
        return [content](const std::string& path) {
            std::ofstream(path) << content;
        };
    };
    // `good` with a field "x" in its first object (a scenario's step, a catalogue's point), of
    // lists nested to `depth` levels in all.
    const auto nested = [](const std::string& good, int depth) {
        const std::size_t at = good.find('}');
        const auto opened = [&](const char* brackets) {
            return std::count_if(good.begin(), good.begin() + at,
                                 [&](char c) { return std::strchr(brackets, c) != nullptr; });
        };
        const std::size_t lists = depth - (opened("[{") - opened("]"));
        return good.substr(0, at) + R"(, "x": )" + std::string(lists, '[') +
               std::string(lists, ']') + good.substr(at);
    };
    const struct {
        std::string name, reader;
        std::size_t limit;
        std::string good, atDepthLimit;
    } readers[] = {
        {"Scenario", "--scenario", 1048576, R"({"steps": [{"at": 0, "do": "release"}]})",
         "unknown field \"x\""},
        {"ScenarioCheck", "check", 1048576, R"({"steps": [{"at": 0, "do": "release"}]})",
         "unknown field \"x\""},
        {"Catalogue", "--catalogue", 4194304, kCatalogue, ""},
        {"State", "--state", 4194304, R"({"points": []})", ""},
    };
    std::vector<HostileFile> files;
    for (const auto& r : readers) {
        const std::string more = "more than " + std::to_string(r.limit) + " bytes";
        const auto add = [&](const char* what, std::function<void(const std::string&)> make,
                             const std::string& said) {
            files.push_back({r.name + what, r.reader, std::move(make), said});
        };
        add(
            "Fifo", [](const std::string& p) { ::mkfifo(p.c_str(), 0600); }, "FIFO");
        add("AtTheSizeLimit", text(r.good + std::string(r.limit - r.good.size(), ' ')), "");
        add("PastTheSizeLimit", text(r.good + std::string(r.limit + 1 - r.good.size(), ' ')), more);
        add("NestedToTheLimit", text(nested(r.good, 32)), r.atDepthLimit);
        add("NestedPastTheLimit", text(nested(r.good, 33)), "nested deeper than 32 levels");
        add("Nested15000Deep", text(nested(r.good, 15000)), "nested deeper than 32 levels");
        if (r.reader == "--state") {
            // The daemon's own file: another user could have put the link there.
            add(
                "ALinkToGoodValues",
                [](const std::string& p) {
                    std::ofstream(p + ".elsewhere")
                        << R"({"points": [{"device": 1, "gddId": 10, "values": [77]}]})";
                    ::symlink((p + ".elsewhere").c_str(), p.c_str());
                },
                "state.json: it is a symbolic link, which is not followed");
        } else {
            add(
                "DevZero", [](const std::string& p) { ::symlink("/dev/zero", p.c_str()); },
                "a character device, not a regular file");
        }
    }
    return files;
}

INSTANTIATE_TEST_SUITE_P(Files, HostileFiles, ::testing::ValuesIn(hostileFiles()),
                         [](const auto& info) { return info.param.name; });

}  // namespace
