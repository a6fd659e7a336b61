// pld-engined and client programs as child processes, in a temporary directory of the test's that
// holds the daemon's socket, catalogue and state file and the children's log. The test target
// defines PLD_ENGINED_LAUNCH: the daemon, after an emulator and its options on the target; and
// PLDCTL_LAUNCH, pldctl's, if it runs pldctl.
#ifndef ZVPLD_TESTS_DAEMON_FIXTURE_H
#define ZVPLD_TESTS_DAEMON_FIXTURE_H

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
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "Seen.h"

// A child in a process group of its own, its stdin and stdout on pipes and its stderr appended
// to `log`; it dies with the test, and is killed when this goes. `launch`: the program, after an
// emulator and its options on the target, split by '|'. `inChild` runs in the child before exec.
class Process {
  public:
    Process(const char* launch, const std::vector<std::string>& options, const std::string& log,
            const std::function<void()>& inChild = {}) {
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
            if (inChild) inChild();
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
    // Every line it prints, until its end.
    std::vector<std::string> lines() {
        std::vector<std::string> all;
        for (std::string l = line(); !l.empty(); l = line()) all.push_back(l);
        return all;
    }
    // Its exit status, or -1 if it has not exited within `waitMs`.
    int exitStatus(int waitMs = 5000) {
        int status = 0;
        if (!WaitUntil([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, waitMs)) return -1;
        pid = 0;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    pid_t pid = 0;

  private:
    int m_in = -1;
    std::FILE* m_out = nullptr;
};

inline std::string contents(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream all;
    all << in.rdbuf();  // in blocks: a log of many lines is read often while awaited
    return all.str();
}
// How often `what` occurs in `text`.
inline std::size_t occurrences(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = 0; (at = text.find(what, at)) != std::string::npos; ++at) ++n;
    return n;
}

class DaemonFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        char dir[] = "/tmp/pld-test-XXXXXX";
        ASSERT_NE(::mkdtemp(dir), nullptr);
        m_dir = dir;
        m_socket = m_dir + "/engine.sock";
        m_engine = "unix:" + m_socket;
        m_state = m_dir + "/state.json";
    }
    void TearDown() override {
        m_processes.clear();
        // Sanitizer builds: the children's own reports land in the log.
        EXPECT_EQ(log().find("Sanitizer"), std::string::npos) << log();
        std::system(("rm -rf '" + m_dir + "'").c_str());
    }

    Process& spawn(const char* launch, const std::vector<std::string>& options,
                   const std::function<void()>& inChild = {}) {
        m_processes.push_back(std::make_unique<Process>(launch, options, m_dir + "/log", inChild));
        return *m_processes.back();
    }
    // The daemon on the test's socket, catalogue and `m_state`, with `more` options.
    Process& spawnDaemon(std::vector<std::string> more = {},
                         const char* launch = PLD_ENGINED_LAUNCH,
                         const std::function<void()>& inChild = {}) {
        more.insert(more.end(), {"--socket", m_socket, "--catalogue", m_dir + "/catalogue.json",
                                 "--state", m_state});
        return spawn(launch, more, inChild);
    }
    // The daemon, once it accepts connections; null if it does not within 5 s.
    Process* daemon(const std::vector<std::string>& more = {}) {
        Process* d = &spawnDaemon(more);
        return listening() ? d : nullptr;
    }
    // Whether a daemon accepts connections on the test's socket within `waitMs`.
    bool listening(int waitMs = 5000) const {
        sockaddr_un addr{AF_UNIX, {}};
        std::strncpy(addr.sun_path, m_socket.c_str(), sizeof addr.sun_path - 1);
        return WaitUntil(
            [&] {
                const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
                const bool accepted =
                    ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
                ::close(fd);
                return accepted;
            },
            waitMs);
    }
    std::string log() const { return contents(m_dir + "/log"); }
    // Whether the log holds `text` within `waitMs`: a client may see a close before its line.
    bool logged(const std::string& text, int waitMs = 5000) const {
        return WaitUntil([&] { return log().find(text) != std::string::npos; }, waitMs);
    }
    // The connections the daemon's log says it refused: "refused a ..." is one, "refused N ..." N.
    int refusalsTold() const {
        const std::string text = log();
        int n = 0;
        for (std::size_t at = 0; (at = text.find("-engined: refused ", at)) != std::string::npos;) {
            at += 18;
            n += text.compare(at, 2, "a ") == 0 ? 1 : std::atoi(text.c_str() + at);
        }
        return n;
    }
#ifdef PLDCTL_LAUNCH
    // pldctl on `m_engine`, with the catalogue that tells it how to decode a change's data.
    Process& pldctl(std::vector<std::string> args) {
        args.insert(args.begin(), {"--engine", m_engine, "--catalogue", m_dir + "/catalogue.json"});
        return spawn(PLDCTL_LAUNCH, args);
    }
#endif

    std::string m_dir, m_socket, m_state;
    std::string m_engine;  // the daemon's socket as a message client's first text
    std::vector<std::unique_ptr<Process>> m_processes;
};

#endif
