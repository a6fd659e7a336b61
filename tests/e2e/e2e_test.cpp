// Client processes that share one pld-engined through libZvPldProxy: e2e_client and pldctl
// processes, and a proxy in the test process itself, against the daemon as a real process.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <future>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "ZvPldProxy.h"
#include "ZvPldTypes.h"
#include "dlog.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int kWaitMs = 15000;  // no step here takes this long unless something is wrong

// A child process in a process group of its own, with its stdin and stdout on pipes and its
// stderr appended to `log`; it dies with the test, and is killed when this goes.
class Process {
  public:
    // `launch`: the program, after an emulator and its options on the target, split by '|'.
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
        m_out = out[0];
    }
    ~Process() {
        if (pid > 0) {
            ::kill(-pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
        ::close(m_in);
        ::close(m_out);
    }

    void send(const std::string& line) {
        const std::string text = line + "\n";
        ASSERT_EQ(::write(m_in, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }
    // The next line of its output, without the newline; "" after its end or kWaitMs.
    std::string line() {
        const auto until = Clock::now() + milliseconds(kWaitMs);
        std::size_t end;
        while ((end = m_buffer.find('\n')) == std::string::npos) {
            const auto left = std::chrono::duration_cast<milliseconds>(until - Clock::now());
            pollfd p{m_out, POLLIN, 0};
            char buf[4096];
            const ssize_t n = left.count() > 0 && ::poll(&p, 1, static_cast<int>(left.count())) > 0
                                  ? ::read(m_out, buf, sizeof buf)
                                  : 0;
            if (n <= 0) return "";
            m_buffer.append(buf, static_cast<std::size_t>(n));
        }
        std::string first = m_buffer.substr(0, end);
        m_buffer.erase(0, end + 1);
        return first;
    }
    std::string ask(const std::string& command) {
        send(command);
        return line();
    }
    // Everything it prints until it closes its output.
    std::string rest() {
        std::string text;
        for (std::string l = line(); !l.empty(); l = line()) text += l + "\n";
        return text;
    }
    // Its exit status, or -1 if it has not exited within kWaitMs.
    int exitStatus() {
        for (int waited = 0; waited < kWaitMs; waited += 10) {
            int status = 0;
            if (::waitpid(pid, &status, WNOHANG) == pid) {
                pid = 0;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(milliseconds(10));
        }
        return -1;
    }

    pid_t pid = 0;

  private:
    int m_in = -1, m_out = -1;
    std::string m_buffer;
};

bool accepts(const std::string& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    ::close(fd);
    return ok;
}

class EndToEndTest : public ::testing::Test {
  protected:
    static constexpr int kPoints = 16;  // device 1, GddIds 1 to 16, int, writable, 0 at first

    void SetUp() override {
        char dir[] = "/tmp/pld-e2e-test-XXXXXX";
        ASSERT_NE(::mkdtemp(dir), nullptr);
        m_dir = dir;
        m_socket = m_dir + "/engine.sock";
        m_engine = "unix:" + m_socket;
        std::ofstream catalogue(m_dir + "/catalogue.json");
        catalogue << R"({"tickMs": 0, "devices": [{"index": 1, "points": [)";
        for (int g = 1; g <= kPoints; ++g) {
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
        for (int waited = 0; !accepts(m_socket) && waited < kWaitMs; waited += 10) {
            std::this_thread::sleep_for(milliseconds(10));
        }
        return d;
    }
    // An e2e_client, once registered for value changes.
    Process& client() {
        Process& c = spawn(E2E_CLIENT_LAUNCH, {m_engine});
        EXPECT_EQ(c.line(), "ready");
        return c;
    }

    std::string m_dir, m_socket, m_engine;
    std::vector<std::unique_ptr<Process>> m_processes;
};

TEST_F(EndToEndTest, AWriteInOneClientProcessIsReadInAnotherAndItsChangeReachesBoth) {
    daemon();
    Process &writer = client(), &reader = client();
    EXPECT_EQ(writer.ask("set 3 42"), "set 3 42: 0");
    EXPECT_EQ(reader.ask("get 3"), "get 3: 0 42");
    EXPECT_EQ(writer.ask("changes 1"), "change 3 42");
    EXPECT_EQ(reader.ask("changes 1"), "change 3 42");
}

TEST_F(EndToEndTest, TwoPldctlWatchersBothPrintTheChangeOfAPldctlSet) {
    daemon();
    std::vector<Process*> watchers;
    for (int i = 0; i < 2; ++i) {
        // The daemon's catalogue tells how to decode the change's data.
        watchers.push_back(
            &spawn(PLDCTL_LAUNCH, {"--engine", m_engine, "--catalogue", m_dir + "/catalogue.json",
                                   "watch", "--kinds", "value", "--seconds", "5"}));
        // Printed once registered.
        EXPECT_EQ(watchers.back()->line().rfind("Watching for 5 s", 0), 0u);
    }
    Process& set = spawn(PLDCTL_LAUNCH, {"--engine", m_engine, "set", "1", "7", "42"});
    EXPECT_EQ(set.line(), "set: 0 (ok)");
    for (Process* w : watchers) {
        const std::string printed = w->rest();
        EXPECT_NE(printed.find("GddId 7, module 1: 42\n"), std::string::npos) << printed;
        EXPECT_NE(printed.find("Done: value changes 1,"), std::string::npos) << printed;
        EXPECT_EQ(w->exitStatus(), 0);
    }
}

std::vector<std::string> g_logLines;

void keepLogLine(int, const char*, const char* text, void*) {
    g_logLines.push_back(text);
}

// The proxy hands its callbacks a null context.
std::vector<int> g_changed;

void keepChange(void*, const ZvValChgInfo* info) {
    g_changed.push_back(info->pData[1]);
}

TEST_F(EndToEndTest, ADaemonThatHangsOrDiesFailsTheCallInTimeAndARestartedOneKeepsTheWrite) {
    Process* d = &daemon();
    // Short of the default deadline (2 s), so that a client ignoring this one fails the bound.
    const std::string engine = m_engine + "?deadline_ms=500";
    ZvPldProxy proxy(engine.c_str(), "");
    proxy.RegisterForValueChange(keepChange, nullptr, 0);
    auto changesUntil = [&](std::size_t count) {
        for (int waited = 0; g_changed.size() < count && waited < kWaitMs; waited += 10) {
            proxy.CheckValueChange();
            std::this_thread::sleep_for(milliseconds(10));
        }
        return g_changed;
    };
    ASSERT_EQ(proxy.SetValueSInt32(42, 1, 5, 1, 0, 0, 0, 0), 0);
    ASSERT_EQ(changesUntil(1), std::vector<int>{42});
    dlog_set_sink(keepLogLine, nullptr);
    int value = 0;
    // A call that is pending on a stopped daemon, or on one killed during the call, ends
    // within its deadline plus a margin for slow machines. The daemon's threads stop one by
    // one: the wait reports the last.
    ::kill(d->pid, SIGSTOP);
    int stopped = 0;
    ASSERT_EQ(::waitpid(d->pid, &stopped, WUNTRACED), d->pid);
    ASSERT_TRUE(WIFSTOPPED(stopped));
    for (const int signal : {SIGSTOP, SIGKILL}) {
        const auto start = Clock::now();
        auto call = std::async(std::launch::async,
                               [&] { return proxy.GetValueSInt32(&value, 1, 5, 1, 0, 0, 0); });
        if (signal == SIGKILL) {
            call.wait_for(milliseconds(100));  // the request is in flight by then
            ::kill(d->pid, SIGKILL);
        }
        EXPECT_EQ(call.get(), 2) << "signal " << signal;
        const auto took = std::chrono::duration_cast<milliseconds>(Clock::now() - start);
        EXPECT_LT(took.count(), 1500) << "signal " << signal;
    }
    dlog_set_sink(nullptr, nullptr);
    for (const std::string& line : g_logLines) {
        EXPECT_NE(line.find("unable to get data due to error:13"), std::string::npos) << line;
    }
    EXPECT_EQ(g_logLines.size(), 2u);
    EXPECT_EQ(d->exitStatus(), 128 + SIGKILL);

    daemon();
    EXPECT_EQ(proxy.GetValueSInt32(&value, 1, 5, 1, 0, 0, 0), 0);  // reconnects
    EXPECT_EQ(value, 42);
    // The reconnection registered again: a write by another process reaches this one.
    EXPECT_EQ(client().ask("set 5 43"), "set 5 43: 0");
    EXPECT_EQ(changesUntil(2), (std::vector<int>{42, 43}));
}

TEST_F(EndToEndTest, FourProcessesOfFourThreadsGetEveryReplyAndEveryChange) {
    constexpr int kProcesses = 4, kThreads = 4, kTotal = kProcesses * kThreads * E2E_LOAD_OPS;
    daemon();
    std::vector<Process*> clients;
    for (int p = 0; p < kProcesses; ++p) clients.push_back(&client());
    // All registered before any writes: each process is owed every change.
    for (int p = 0; p < kProcesses; ++p) {
        clients[p]->send("load " + std::to_string(p) + " " + std::to_string(kThreads) + " " +
                         std::to_string(E2E_LOAD_OPS) + " " + std::to_string(kTotal));
    }
    std::ostringstream expected;
    expected << "load: " << 2 * kThreads * E2E_LOAD_OPS << " of " << 2 * kThreads * E2E_LOAD_OPS
             << " replies right, " << kTotal << " of " << kTotal << " changes, gaps 0";
    for (Process* c : clients) EXPECT_EQ(c->line(), expected.str());
}

}  // namespace
