// pld-engined as a real process on a socket of its own, talked to by raw clients that speak the
// frames and messages themselves.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "Wire.h"
#include "ZvPldProxy.h"
#include "ZvPldTypes.h"

namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

constexpr int kWaitMs = 5000;  // no exchange here takes this long unless something is wrong

std::string textOf(const json& binary) {
    return std::string(binary.get_binary().begin(), binary.get_binary().end());
}

class Client {
  public:
    explicit Client(const std::string& path) : m_fd(::socket(AF_UNIX, SOCK_STREAM, 0)) {
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
        connected = ::connect(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    }
    ~Client() { ::close(m_fd); }

    void sendBytes(const std::vector<std::uint8_t>& bytes) {
        ASSERT_EQ(::send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(bytes.size()));
    }
    // The next message, or null once the daemon closed the connection or kWaitMs passed.
    json receive() {
        const auto until = Clock::now() + std::chrono::milliseconds(kWaitMs);
        json message;
        while (m_decoder.Next(message) != zvwire::FrameDecoder::Result::Message) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
            pollfd p{m_fd, POLLIN, 0};
            std::uint8_t buf[4096];
            const ssize_t n = left.count() > 0 && ::poll(&p, 1, static_cast<int>(left.count())) > 0
                                  ? ::recv(m_fd, buf, sizeof buf, 0)
                                  : 0;
            if (n <= 0) return nullptr;
            m_decoder.Feed(buf, static_cast<std::size_t>(n));
        }
        return message;
    }
    // True once the daemon closed the connection, within kWaitMs.
    bool closed() {
        pollfd p{m_fd, POLLIN, 0};
        std::uint8_t byte = 0;
        return ::poll(&p, 1, kWaitMs) > 0 && ::recv(m_fd, &byte, 1, 0) <= 0;
    }
    // The reply to `request`; messages without an id that come first are kept in `notes`.
    json call(json request) {
        request["id"] = ++m_id;
        std::vector<std::uint8_t> frame;
        zvwire::AppendFrame(request, frame);
        sendBytes(frame);
        for (json m = receive(); !m.is_null(); m = receive()) {
            if (m.contains("id") && m["id"] == m_id) return m;
            notes.push_back(m);
        }
        return nullptr;
    }
    // The next notification, first from those kept by call().
    json note() {
        if (notes.empty()) return receive();
        json m = notes.front();
        notes.pop_front();
        return m;
    }

    bool connected = false;
    std::deque<json> notes;

  private:
    const int m_fd;
    zvwire::FrameDecoder m_decoder;
    int m_id = 0;
};

const json kPoint = {{"deviceIdx", 1}, {"gddId", 10},        {"mmIdx", 0}, {"auxIdx", 0},
                     {"auxParam", 0},  {"auxText", nullptr}, {"uofm", 0}};

json setRequest(int value) {
    return {{"op", "SetVelPntInt32"}, {"pnt", kPoint}, {"value", value}, {"setParam", 0}};
}

class DaemonTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char dir[] = "/tmp/pld-engined-test-XXXXXX";
        ASSERT_NE(::mkdtemp(dir), nullptr);
        m_dir = dir;
        m_socket = m_dir + "/engine.sock";
        std::ofstream(m_dir + "/catalogue.json") << R"({"tickMs": 0,
            "activeEvents": {"pieceSize": 4, "delivery": "process"},
            "devices": [{"index": 1, "productIdentity": {"ids": [258, 8256, 7], "revision": 3},
                "points": [{"gddId": 10, "label": "Setpoint", "access": "rw", "min": 0,
                            "max": 100, "values": [5]}]}],
            "events": [{"id": 7, "group": 3, "device": 1, "state": 2}]})";
    }
    void TearDown() override {
        // Sanitizer builds: the daemon's own reports land in its log.
        EXPECT_EQ(log().find("Sanitizer"), std::string::npos) << log();
        for (const pid_t pid : m_pids) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
        std::system(("rm -rf '" + m_dir + "'").c_str());
    }

    // Starts the daemon; true once it accepts connections.
    bool start() {
        m_pid = spawn();
        const auto until = Clock::now() + std::chrono::milliseconds(kWaitMs);
        while (Clock::now() < until) {
            if (Client(m_socket).connected) return true;
            if (::waitpid(m_pid, nullptr, WNOHANG) == m_pid) {
                m_pids.pop_back();  // it exited: nothing to stop
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }
    pid_t spawn() {
        return spawn(PLD_ENGINED_LAUNCH,
                     {"--socket", m_socket, "--catalogue", m_dir + "/catalogue.json", "--state",
                      m_dir + "/state.json"});
    }
    // `launch`: the program, after an emulator and its options on the target, split by '|'.
    pid_t spawn(const char* launch, const std::vector<std::string>& options) {
        std::vector<std::string> args;
        std::stringstream parts(launch);
        for (std::string part; std::getline(parts, part, '|');) args.push_back(part);
        args.insert(args.end(), options.begin(), options.end());
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);  // even a test that crashes leaves none behind
            const int log = ::open((m_dir + "/log").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            ::dup2(log, 2);
            std::vector<char*> argv;
            for (std::string& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            ::execvp(argv[0], argv.data());
            ::_exit(127);
        }
        m_pids.push_back(pid);
        return pid;
    }
    // The daemon's exit status, or -1 if it has not exited within kWaitMs.
    int exitStatus(pid_t pid) {
        for (int waited = 0; waited < kWaitMs; waited += 20) {
            int status = 0;
            if (::waitpid(pid, &status, WNOHANG) == pid) {
                m_pids.erase(std::find(m_pids.begin(), m_pids.end(), pid));
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return -1;
    }
    std::string log() {
        std::ifstream in(m_dir + "/log");
        return {std::istreambuf_iterator<char>(in), {}};
    }

    std::string m_dir;
    std::string m_socket;
    pid_t m_pid = 0;            // the daemon that start() started
    std::vector<pid_t> m_pids;  // every daemon not yet waited for
};

TEST_F(DaemonTest, AnswersARequestFromTheEngineAndAnUnknownOpWithStatus12) {
    ASSERT_TRUE(start());
    Client client(m_socket);
    const json read = client.call({{"op", "GetVelPntInt32"}, {"pnt", kPoint}});
    EXPECT_EQ(read["status"], 0);
    EXPECT_EQ(read["value"], 5);
    const json label = client.call({{"op", "GetVelPntStrLabel"}, {"pnt", kPoint}, {"size", 3}});
    EXPECT_EQ(textOf(label["text"]), "Set");  // the engine's bytes within the size, no NUL
    // Records as maps of their fields, never their bytes in the daemon's own layout.
    EXPECT_EQ(client.call({{"op", "GetVelServerInventory"}})["inventory"]["nmbrDevices"], 1);
    EXPECT_EQ(client.call({{"op", "GetProdSeqId"}, {"deviceIdx", 1}})["seq"]["ids"][1], 8256);
    EXPECT_EQ(client.call({{"op", "NoSuchCall"}})["status"], 12);
}

TEST_F(DaemonTest, AWriteByOneConnectionIsReadByAnotherAndReachesEveryConnectionThatRegistered) {
    ASSERT_TRUE(start());
    Client writer(m_socket), reader(m_socket), other(m_socket);
    for (Client* c : {&writer, &reader}) {
        ASSERT_EQ(c->call({{"op", "Reg"}, {"kind", "value"}, {"regArg", 0}})["status"], 0);
    }
    ASSERT_EQ(other.call({{"op", "Reg"}, {"kind", "event"}, {"regArg", 0}})["status"], 0);
    ASSERT_EQ(writer.call(setRequest(42))["status"], 0);
    EXPECT_EQ(reader.call({{"op", "GetVelPntInt32"}, {"pnt", kPoint}})["value"], 42);
    for (Client* c : {&writer, &reader}) {
        const json note = c->note();
        ASSERT_EQ(note["ntf"], "value");
        EXPECT_EQ(note["info"]["valueId"], 10);
        EXPECT_EQ(note["data"], json({0, 42}));  // the raw value, high half first
    }
    // The event change comes after the value change: had the value change reached `other`,
    // it would be first.
    ASSERT_EQ(writer.call({{"op", "SetEventState"}, {"eventId", 7}, {"state", 0}})["status"], 0);
    EXPECT_EQ(other.note()["ntf"], "event");
}

TEST_F(DaemonTest, PiecesOfAnAnswerComeBeforeTheReplyWithTheRequestsNumber) {
    ASSERT_TRUE(start());
    Client client(m_socket);
    const json reply = client.call(json::parse(R"({"op": "Process", "req": 99, "reqType": 2,
        "reqParam": 5, "url": "/httpGetSet/httpGet.htm", "query": "evt=vel~eventsWA~or~3"})"));
    EXPECT_EQ(reply["status"], 0);
    std::string answer;
    for (const json& piece : client.notes) {
        EXPECT_EQ(piece["req"], 99);
        EXPECT_EQ(piece["reqParam"], 5);
        answer += textOf(piece["buf"]).substr(0, piece["len"].get<std::size_t>());
    }
    EXPECT_EQ(answer, "(1,3:7,2)");
}

TEST_F(DaemonTest, AMalformedFrameDropsItsConnectionWhileAnotherIsStillServed) {
    ASSERT_TRUE(start());
    Client good(m_socket);
    std::vector<std::uint8_t> noOp;
    zvwire::AppendFrame({{"id", 1}}, noOp);
    const std::vector<std::vector<std::uint8_t>> faults = {
        {0, 0, 0, 1, 0xc1},  // a byte that is no MessagePack
        {0, 0x20, 0, 0},     // longer than any frame may be
        noOp,
    };
    for (const auto& fault : faults) {
        Client bad(m_socket);
        bad.sendBytes(fault);
        EXPECT_TRUE(bad.closed());
        EXPECT_EQ(good.call({{"op", "GetVelPntInt32"}, {"pnt", kPoint}})["value"], 5);
    }
    EXPECT_NE(log().find("dropped: malformed"), std::string::npos) << log();
}

TEST_F(DaemonTest, AClientThatAsksButNeverReadsIsDroppedOnceASendTimesOut) {
    ASSERT_TRUE(start());
    Client deaf(m_socket);
    std::vector<std::uint8_t> asks;  // their replies fill the socket's buffers many times over
    for (int id = 1; id <= 5000; ++id) zvwire::AppendFrame({{"id", id}, {"op", "X"}}, asks);
    deaf.sendBytes(asks);
    for (int waited = 0; log().find("dropped") == std::string::npos && waited < 3 * kWaitMs;
         waited += 50) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_NE(log().find("dropped: the client reads nothing"), std::string::npos) << log();
    EXPECT_EQ(Client(m_socket).call({{"op", "GetVelPntInt32"}, {"pnt", kPoint}})["value"], 5);
}

TEST_F(DaemonTest, AWriteIsAcknowledgedOnlyOnceSavedAndOutlivesTheDaemonKilledAndRestarted) {
    ASSERT_TRUE(start());
    ASSERT_EQ(Client(m_socket).call(setRequest(77))["status"], 0);
    ::kill(m_pid, SIGKILL);
    ASSERT_EQ(exitStatus(m_pid), 128 + SIGKILL);
    ASSERT_TRUE(start()) << log();  // its socket file is left behind, and replaced
    EXPECT_EQ(Client(m_socket).call({{"op", "GetVelPntInt32"}, {"pnt", kPoint}})["value"], 77);
    ASSERT_EQ(::mkdir((m_dir + "/state.json.tmp").c_str(), 0755), 0);  // where a save begins
    EXPECT_EQ(Client(m_socket).call(setRequest(9))["status"], 13);
    EXPECT_NE(log().find("cannot save the state"), std::string::npos) << log();
}

TEST_F(DaemonTest, RefusesToStartOnAFileThatIsNoSocketOnALiveDaemonsSocketOrABadStateFile) {
    std::ofstream(m_socket) << "notes";
    EXPECT_EQ(exitStatus(spawn()), 1);
    EXPECT_TRUE(std::ifstream(m_socket).good());  // still the file, not replaced by a socket
    ::unlink(m_socket.c_str());
    ASSERT_TRUE(start());
    EXPECT_EQ(exitStatus(spawn()), 1);
    EXPECT_TRUE(Client(m_socket).connected);  // the first keeps its socket
    ::kill(m_pid, SIGKILL);
    exitStatus(m_pid);
    std::ofstream(m_dir + "/state.json")
        << R"({"points": [{"device": 1, "gddId": 10, "values": [500]}]})";
    EXPECT_EQ(exitStatus(spawn()), 1);
    EXPECT_NE(log().find("does not fit"), std::string::npos) << log();
}

TEST_F(DaemonTest, SigtermStopsItWithExitZeroAndRemovesTheSocket) {
    ASSERT_TRUE(start());
    Client client(m_socket);
    ASSERT_EQ(client.call({{"op", "Reg"}, {"kind", "pld"}, {"regArg", 0}})["status"], 0);
    ::kill(m_pid, SIGTERM);
    EXPECT_EQ(exitStatus(m_pid), 0);
    EXPECT_TRUE(client.closed());
    struct stat st {};
    EXPECT_NE(::stat(m_socket.c_str(), &st), 0);
}

// The library on both sides: a proxy in this process, pldctl as the other client process.
TEST_F(DaemonTest, AProxyInThisProcessSeesAWriteByPldctlAndTheEnginesRecordsThroughTheDaemon) {
    ASSERT_TRUE(start());
    const std::string engine = "unix:" + m_socket;
    ZvPldProxy proxy(engine.c_str(), "");
    static std::vector<std::uint32_t> changed;  // the proxy hands its callbacks no context
    proxy.RegisterForValueChange(
        [](void*, const ZvValChgInfo* info) { changed.push_back(info->valueId); }, nullptr, 0);
    EXPECT_EQ(exitStatus(spawn(PLDCTL_LAUNCH, {"--engine", engine, "set", "1", "10", "42"})), 0);
    int value = 0;
    EXPECT_EQ(proxy.GetValueSInt32(&value, 1, 10, 1, 0, 0, 0), 0);
    EXPECT_EQ(value, 42);
    ZvVelInventory inv{};
    ZvProductIdentSeq* seq = nullptr;
    ASSERT_TRUE(proxy.GetPldInventory(&inv) && proxy.GetProdSeqId(&seq, 1));
    EXPECT_EQ(std::tie(inv.nmbrDevices, inv.maxDevices, seq->revision, seq->ids[2]),
              std::make_tuple(1, 32, 3, 7));
    EXPECT_STREQ(inv.serverName, "ZvPld simulated engine");
    std::free(seq);
    for (int waited = 0; changed.empty() && waited < kWaitMs; waited += 20) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        proxy.CheckValueChange();
    }
    EXPECT_EQ(changed, std::vector<std::uint32_t>{10});
}

}  // namespace
