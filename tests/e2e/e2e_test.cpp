// Client processes that share one pld-engined through libZvPldProxy: e2e_client and pldctl
// processes, and a proxy in the test process itself, against the daemon as a real process.
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <future>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "ZvPldProxy.h"
#include "ZvPldTypes.h"
#include "dlog.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// A child in a process group of its own, its stdin and stdout on pipes and its stderr appended
// to `log`; it dies with the test, and is killed when this goes. `launch`: the program, after an
// emulator and its options on the target, split by '|'.
class Process {
  public:
    Process(const char* launch, const std::vector<std::string>& options, const std::string& log) {
        std::vector<std::string> args;
        std::stringstream parts(launch);
        for (std::string part; std::getline(parts, part, '|');) args.push_back(part);
        args.insert(args.end(), options.begin(), options.end());
        int in[2], out[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) std::abort();
        pid = ::fork();
        if (pid == 0) {
            ::setpgid(0, 0);
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            ::dup2(in[0], 0);
            ::dup2(out[1], 1);
            ::dup2(::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644), 2);
            std::vector<char*> argv;
            for (std::string& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            ::execvp(argv[0], argv.data());
            ::_exit(127);
        }
        ::setpgid(pid, pid);  // also here, so that a kill right away reaches the group
        ::close(in[0]);
        ::close(out[1]);
        m_in = in[1];
        m_out = ::fdopen(out[0], "r");
    }
    ~Process() {
        if (pid > 0) {
            ::kill(-pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
        ::close(m_in);
        std::fclose(m_out);
    }

    // Its input ends: the client's signal to go on.
    void closeInput() { ::close(std::exchange(m_in, -1)); }
    // The next line it prints, without the newline; "" after its end.
    std::string line() {
        char buf[512];
        const std::string got = std::fgets(buf, sizeof buf, m_out) ? buf : "";
        return got.substr(0, got.find('\n'));
    }
    int exitStatus() {
        int status = 0;
        ::waitpid(pid, &status, 0);
        pid = 0;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    pid_t pid = 0;

  private:
    int m_in = -1;
    std::FILE* m_out = nullptr;
};

class EndToEndTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ::alarm(100);  // reads from children block: one that never answers ends the test here
        char dir[] = "/tmp/pld-e2e-test-XXXXXX";
        ASSERT_NE(::mkdtemp(dir), nullptr);
        m_dir = dir;
        m_socket = m_dir + "/engine.sock";
        m_engine = "unix:" + m_socket;
        // Device 1, GddIds 1 to 16: int, writable, 0 at first.
        std::ofstream catalogue(m_dir + "/catalogue.json");
        catalogue << R"({"tickMs": 0, "devices": [{"index": 1, "points": [)";
        for (int g = 1; g <= 16; ++g) {
            catalogue << (g > 1 ? ", " : "") << R"({"gddId": )" << g
                      << R"(, "access": "rw", "min": 0, "max": 1000000, "values": [0]})";
        }
        catalogue << "]}]}";
    }
    void TearDown() override {
        m_processes.clear();
        std::stringstream log;
        log << std::ifstream(m_dir + "/log").rdbuf();
        // Sanitizer builds: the children's own reports land in the log.
        EXPECT_EQ(log.str().find("Sanitizer"), std::string::npos) << log.str();
        std::system(("rm -rf '" + m_dir + "'").c_str());
    }

    Process& spawn(const char* launch, const std::vector<std::string>& options) {
        m_processes.push_back(std::make_unique<Process>(launch, options, m_dir + "/log"));
        return *m_processes.back();
    }
    // The daemon on the test's socket, catalogue and state file, once it accepts connections.
    Process& daemon() {
        Process& d = spawn(PLD_ENGINED_LAUNCH,
                           {"--socket", m_socket, "--catalogue", m_dir + "/catalogue.json",
                            "--state", m_dir + "/state.json"});
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, m_socket.c_str(), sizeof addr.sun_path - 1);
        for (bool accepted = false; !accepted;) {
            const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
            accepted = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
            ::close(fd);
            std::this_thread::sleep_for(milliseconds(10));
        }
        return d;
    }
    // The catalogue tells pldctl how to decode a change's data.
    Process& pldctl(std::vector<std::string> args) {
        args.insert(args.begin(), {"--engine", m_engine, "--catalogue", m_dir + "/catalogue.json"});
        return spawn(PLDCTL_LAUNCH, args);
    }

    std::string m_dir, m_socket, m_engine;
    std::vector<std::unique_ptr<Process>> m_processes;
};

TEST_F(EndToEndTest, AWriteByOneProcessIsReadByAnotherAndTwoWatchersBothPrintItsChange) {
    daemon();
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

std::string g_log;
std::vector<int> g_changed;

TEST_F(EndToEndTest, ADaemonKilledDuringACallFailsItInTimeAndARestartedOneKeepsTheWrite) {
    Process* d = &daemon();
    // Short of the default deadline (2 s), so that a client ignoring this one fails the bound.
    const std::string engine = m_engine + "?deadline_ms=500";
    ZvPldProxy proxy(engine.c_str(), "");
    proxy.RegisterForValueChange(
        [](void*, const ZvValChgInfo* info) { g_changed.push_back(info->pData[1]); }, nullptr, 0);
    auto changesUntil = [&](std::size_t count) {
        while (g_changed.size() < count) {
            proxy.CheckValueChange();
            std::this_thread::sleep_for(milliseconds(10));
        }
        return g_changed;
    };
    ASSERT_EQ(proxy.SetValueSInt32(42, 1, 5, 1, 0, 0, 0, 0), 0);
    ASSERT_EQ(changesUntil(1), std::vector<int>{42});
    // Stopped first, so that the request is surely unanswered when the daemon dies. Its threads
    // stop one by one: the wait reports the last.
    ::kill(d->pid, SIGSTOP);
    ASSERT_EQ(::waitpid(d->pid, nullptr, WUNTRACED), d->pid);
    dlog_set_sink([](int, const char*, const char* text, void*) { g_log += text; }, nullptr);
    const auto start = Clock::now();
    int value = 0;
    auto call = std::async(std::launch::async,
                           [&] { return proxy.GetValueSInt32(&value, 1, 5, 1, 0, 0, 0); });
    call.wait_for(milliseconds(100));  // the request is in flight by then
    ::kill(d->pid, SIGKILL);
    EXPECT_EQ(call.get(), 2);
    EXPECT_LT(Clock::now() - start, milliseconds(1500));  // a margin for slow machines
    dlog_set_sink(nullptr, nullptr);
    EXPECT_EQ(g_log,
              "GetValueSInt32 - unable to get data due to error:13 - GddId: 5, mmIdx:1, uofm: 0");
    EXPECT_EQ(d->exitStatus(), 128 + SIGKILL);

    daemon();
    EXPECT_EQ(proxy.GetValueSInt32(&value, 1, 5, 1, 0, 0, 0), 0);  // reconnects
    EXPECT_EQ(value, 42);
    // The reconnection registered again: a write by another process reaches this one.
    EXPECT_EQ(pldctl({"set", "1", "5", "43"}).line(), "set: 0 (ok)");
    EXPECT_EQ(changesUntil(2), (std::vector<int>{42, 43}));
}

// Each process writes points of its own and is owed every process's changes, its own included.
TEST_F(EndToEndTest, FourProcessesOfFourThreadsGetEveryReplyAndEveryChange) {
    constexpr int kProcesses = 4, kThreads = 4, kTotal = kProcesses * kThreads * E2E_LOAD_OPS;
    daemon();
    std::vector<Process*> clients;
    for (int p = 0; p < kProcesses; ++p) {
        clients.push_back(
            &spawn(E2E_CLIENT_LAUNCH, {m_engine, std::to_string(p), std::to_string(kThreads),
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
