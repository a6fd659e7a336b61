// What one client, or many, may cost the engine daemon: its connections, its frames and its
// time are bounded, and what goes past a bound is refused while the others are still served.
#include <signal.h>
#include <sys/wait.h>

#include <fstream>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "DaemonFixture.h"
#include "RawClient.h"

namespace {

const json kPoint = {{"deviceIdx", 1}, {"gddId", 10}, {"mmIdx", 0}};
const json kGet = {{"op", "GetVelPntInt32"}, {"pnt", kPoint}};

// A field of /proc/PID/status in kB ("VmHWM", "VmRSS"); -1 if it cannot be read.
long statusKb(pid_t pid, const std::string& field) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);) {
        if (line.compare(0, field.size() + 1, field + ":") == 0)
            return std::stol(line.substr(field.size() + 1));
    }
    return -1;
}

// The reply to a read, or null once the daemon closed the connection (maybe before the request).
json ask(Client& c) {
    std::vector<std::uint8_t> frame;
    zvwire::AppendFrame({{"id", 1}, {"op", "GetVelPntInt32"}, {"pnt", kPoint}}, frame);
    if (::send(c.fd(), frame.data(), frame.size(), MSG_NOSIGNAL) != ssize_t(frame.size()))
        return nullptr;
    return c.receive();
}

bool alive(pid_t pid) {
    return ::waitpid(pid, nullptr, WNOHANG) == 0;
}

class DaemonLimitsTest : public DaemonFixture {
  protected:
    void SetUp() override {
        DaemonFixture::SetUp();
        std::ofstream(m_dir + "/catalogue.json") << R"({"tickMs": 0, "devices": [{"index": 1,
            "points": [{"gddId": 10, "label": "Setpoint", "access": "rw", "values": [5]}]}]})";
    }
    // The daemon once its first connection, the fixture's probe, is closed, so that it counts
    // only the test's.
    Process* quietDaemon(const char* launch, std::vector<std::string> options) {
        options.insert(options.end(),
                       {"--socket", m_socket, "--catalogue", m_dir + "/catalogue.json"});
        Process* d = &spawn(launch, options);
        if (!listening()) return nullptr;
        for (int waited = 0; log().find("connection 1 closed") == std::string::npos; waited += 10) {
            if (waited > kWaitMs) return nullptr;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return d;
    }
};

// The daemon under a limit that threads per connection would exhaust long before: connections
// past the cap, or past the descriptors left, are closed at once and logged; the ones admitted
// are all answered, and once some go a new client is served.
struct Crowd {
    const char* name;
    const char* limit;  // prlimit's option, or none
    int connections;
    const char* cap;
    const char* logged;
};

void PrintTo(const Crowd& c, std::ostream* os) {
    *os << c.name;
}

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
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < crowd.connections; ++i)
        clients.push_back(std::make_unique<Client>(m_socket));
    int answered = 0, refused = 0;
    for (auto& c : clients) {
        const json reply = ask(*c);
        if (reply.is_object() && reply.value("value", -1) == 5) {
            ++answered;
        } else if (c->closed()) {
            ++refused;
        }
    }
    EXPECT_TRUE(alive(d->pid)) << log();
    EXPECT_GT(answered, 0);
    EXPECT_GT(refused, 0);
    EXPECT_EQ(answered + refused, crowd.connections);
    if (std::string(crowd.cap) != "1024") {
        EXPECT_EQ(answered, std::stoi(crowd.cap));
    }
    EXPECT_NE(log().find(crowd.logged), std::string::npos) << log();
    clients.erase(clients.begin(), clients.begin() + 8);
    EXPECT_EQ(Client(m_socket).call(kGet)["value"], 5) << log();
}

INSTANTIATE_TEST_SUITE_P(
    Limits, Crowds,
    ::testing::Values(Crowd{"CapAlone", "", 300, "200",
                            "as many connections are open as --max-connections allows"},
                      Crowd{"AddressSpace1GiB", "--as=1073741824", 300, "200",
                            "as many connections are open as --max-connections allows"},
                      Crowd{"Descriptors64", "--nofile=64", 100, "1024",
                            "no file descriptor is left"}),
    [](const auto& info) { return std::string(info.param.name); });

// A frame, valid MessagePack, that would cost far more decoded than its bytes: each of 16
// clients sends one; each is dropped and the daemon's memory stays within a bound.
struct Bomb {
    const char* name;
    std::vector<std::uint8_t> frame;
    const char* logged;
};

std::vector<std::uint8_t> framed(std::vector<std::uint8_t> body) {
    const auto n = static_cast<std::uint32_t>(body.size());
    body.insert(body.begin(), {std::uint8_t(n >> 24), std::uint8_t(n >> 16), std::uint8_t(n >> 8),
                               std::uint8_t(n)});
    return body;
}

// {"id": 1, "op": "X", "pad": [nil × count]}
std::vector<std::uint8_t> nils(std::uint32_t count) {
    std::vector<std::uint8_t> body = {0x83,
                                      0xA2,
                                      'i',
                                      'd',
                                      1,
                                      0xA2,
                                      'o',
                                      'p',
                                      0xA1,
                                      'X',
                                      0xA3,
                                      'p',
                                      'a',
                                      'd',
                                      0xDD,
                                      std::uint8_t(count >> 24),
                                      std::uint8_t(count >> 16),
                                      std::uint8_t(count >> 8),
                                      std::uint8_t(count)};
    body.insert(body.end(), count, 0xC0);
    return framed(body);
}

// {"id": 1, "op": "X", "pad": [[...[]...]]}: `depth` containers in all.
std::vector<std::uint8_t> nested(int depth) {
    std::vector<std::uint8_t> body = {0x83, 0xA2, 'i', 'd',  1,   0xA2, 'o',
                                      'p',  0xA1, 'X', 0xA3, 'p', 'a',  'd'};
    body.insert(body.end(), static_cast<std::size_t>(depth - 2), 0x91);
    body.push_back(0x90);
    return framed(body);
}

void PrintTo(const Bomb& b, std::ostream* os) {
    *os << b.name;
}

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
    EXPECT_NE(log().find(GetParam().logged), std::string::npos) << log();
    // Threads decoding each a megabyte of nils at once took over a gigabyte.
    const long peakKb = statusKb(d->pid, "VmHWM");
    EXPECT_GT(peakKb, 0);
    EXPECT_LT(peakKb, 160 * 1024);
}

INSTANTIATE_TEST_SUITE_P(Frames, Bombs,
                         ::testing::Values(Bomb{"AMegabyteOfNils", nils(1040000), "too long"},
                                           Bomb{"FifteenThousandNilsIn16KiB", nils(15000),
                                                "elements"},
                                           Bomb{"NineDeep", nested(9), "nested deeper"}),
                         [](const auto& info) { return std::string(info.param.name); });

// A connection that holds the daemon's time is closed once past its limit: a frame begun and
// never finished, or nothing asked at all.
struct Stall {
    const char* name;
    std::vector<std::uint8_t> sent;
    const char* logged;
};

void PrintTo(const Stall& s, std::ostream* os) {
    *os << s.name;
}

class Stalls : public DaemonLimitsTest, public ::testing::WithParamInterface<Stall> {};

TEST_P(Stalls, AreClosedOnceTheirTimeIsUp) {
    ASSERT_TRUE(quietDaemon(PLD_ENGINED_LAUNCH, {"--frame-timeout", "1", "--idle-timeout", "2"}))
        << log();
    // Registered for notifications, a connection that asks nothing waits for them: not idle.
    Client waiting(m_socket);
    ASSERT_EQ(waiting.call({{"op", "Reg"}, {"kind", "value"}, {"regArg", 0}})["status"], 0);
    Client stalled(m_socket);
    if (!GetParam().sent.empty()) stalled.sendBytes(GetParam().sent);
    EXPECT_TRUE(stalled.closed());  // within kWaitMs
    EXPECT_NE(log().find(GetParam().logged), std::string::npos) << log();
    EXPECT_EQ(waiting.call(kGet)["value"], 5) << log();
}

INSTANTIATE_TEST_SUITE_P(
    Timeouts, Stalls,
    ::testing::Values(Stall{"AHeaderAlone", {0, 0, 0, 100}, "left unfinished"},
                      Stall{"AFrameBegun", {0, 0, 0, 100, 0x82, 0xA2, 'i'}, "left unfinished"},
                      Stall{"NothingAsked", {}, "idle for"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
