// A text read through the engine daemon (`unix:PATH`) against the least any such read costs: a
// request and its reply of the same sizes passed between two processes over a Unix socket. Both
// are round trips between processes, timed in wall-clock time and taken at their medians, since
// each waits for the other side to be scheduled. And reads from 4 client processes of 4 threads
// each at once, counted as a rate, with the daemon's call journal and without it.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Comparison.h"
#include "ZvPldProxy.h"

namespace {

using zvbench::Compare;

// The frames of a text read of point 1/100 and of its reply "61.5", in bytes with their length
// prefixes, as the message client and the daemon send them once the request numbers pass 65,535.
constexpr std::size_t kRequestBytes = 100;
constexpr std::size_t kReplyBytes = 32;

constexpr int kClients = 4;
constexpr int kThreadsPerClient = 4;
constexpr int kReadsPerThread = 2000;

// The daemon, on a socket in a directory of its own, for the benchmarks that use it.
class Daemon {
  public:
    // `journal`: the entries its call journal keeps, or its default.
    explicit Daemon(const char* journal = nullptr) {
        char dir[] = "/tmp/zvpld-bench-XXXXXX";
        if (::mkdtemp(dir) == nullptr) return;
        m_dir = dir;
        const std::string socket = m_dir + "/engine.sock", state = m_dir + "/state.json";
        m_pid = ::fork();
        if (m_pid == 0) {
            // Its log would mix with the table: only a failure to start is of interest.
            const int quiet = ::open("/dev/null", O_WRONLY);
            if (quiet >= 0) ::dup2(quiet, STDERR_FILENO);
            ::execl(ZVPLD_ENGINED, ZVPLD_ENGINED, "--socket", socket.c_str(), "--state",
                    state.c_str(), journal != nullptr ? "--journal" : nullptr, journal,
                    static_cast<char*>(nullptr));
            ::_exit(127);
        }
        m_engine = "unix:" + socket;
        // It answers once its socket exists and a read comes back.
        for (int tries = 0; tries < 500 && !m_ready; ++tries) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            if (::access(socket.c_str(), F_OK) != 0) continue;
            ZvPldProxy proxy(m_engine.c_str(), "bench");
            std::string text;
            m_ready = proxy.GetValueString(text, 1, 100, 1, 0, 0, 0, nullptr) == 0;
        }
    }
    ~Daemon() {
        if (m_pid > 0) {
            ::kill(m_pid, SIGTERM);
            ::waitpid(m_pid, nullptr, 0);
        }
        if (!m_dir.empty()) {
            std::remove((m_dir + "/engine.sock").c_str());
            std::remove((m_dir + "/state.json").c_str());
            ::rmdir(m_dir.c_str());
        }
    }
    Daemon(const Daemon&) = delete;
    Daemon& operator=(const Daemon&) = delete;

    bool Ready() const { return m_ready; }
    const char* Engine() const { return m_engine.c_str(); }

  private:
    std::string m_dir, m_engine;
    pid_t m_pid = -1;
    bool m_ready = false;
};

// Message clients made while it lives use the engine that their first text names.
struct NamedEngines {
    NamedEngines() { ZvPldSetEngineFactory({}); }
    ~NamedEngines() { zvbench::UseEngine<zvbench::FixedEngine>(); }
};

bool transfer(int fd, char* data, std::size_t size, bool out) {
    for (std::size_t done = 0; done < size;) {
        const ssize_t n =
            out ? ::write(fd, data + done, size - done) : ::read(fd, data + done, size - done);
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

void DaemonRoundTripSocket(benchmark::State& state) {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
        state.SkipWithError("socketpair");
        return;
    }
    const pid_t peer = ::fork();
    if (peer == 0) {
        // The other process: a reply for each request, until the socket closes.
        ::close(fds[0]);
        char request[kRequestBytes], reply[kReplyBytes] = {};
        while (transfer(fds[1], request, sizeof request, false) &&
               transfer(fds[1], reply, sizeof reply, true)) {
        }
        ::_exit(0);
    }
    ::close(fds[1]);
    char request[kRequestBytes] = {}, reply[kReplyBytes];
    bool ok = peer > 0;
    for (auto _ : state) {
        ok = ok && transfer(fds[0], request, sizeof request, true) &&
             transfer(fds[0], reply, sizeof reply, false);
    }
    ::close(fds[0]);
    if (peer > 0) ::waitpid(peer, nullptr, 0);
    if (!ok) state.SkipWithError("the other process did not answer");
}
ZVPLD_BENCHMARK(DaemonRoundTripSocket)->UseRealTime();

void DaemonRoundTripProxy(benchmark::State& state) {
    const NamedEngines named;
    const Daemon daemon;
    if (!daemon.Ready()) {
        state.SkipWithError("the daemon did not answer");
        return;
    }
    ZvPldProxy proxy(daemon.Engine(), "bench");
    std::string text;
    int result = 0;
    for (auto _ : state) {
        result |= proxy.GetValueString(text, 1, 100, 1, 0, 0, 0, nullptr);
        benchmark::DoNotOptimize(text.data());
    }
    if (result != 0 || text.empty()) state.SkipWithError("wrong answer");
}
ZVPLD_BENCHMARK(DaemonRoundTripProxy)->UseRealTime();

[[maybe_unused]] const bool roundTrip =
    Compare("DaemonRoundTrip", "DaemonRoundTripProxy/real_time", "DaemonRoundTripSocket/real_time",
            1.5, zvbench::Take::Median);

// Reads through the daemon from kClients processes of kThreadsPerClient threads, each process
// this program again (see ClientReads), all started together; the rate is that of all reads.
void reads(benchmark::State& state, const char* journal) {
    const NamedEngines named;
    const Daemon daemon(journal);
    if (!daemon.Ready()) {
        state.SkipWithError("the daemon did not answer");
        return;
    }
    char self[4096];
    const ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0) {
        state.SkipWithError("readlink /proc/self/exe");
        return;
    }
    self[length] = '\0';
    const std::string option = std::string("--client_reads=") + daemon.Engine();
    bool ok = true;
    for (auto _ : state) {
        std::vector<pid_t> clients;
        for (int i = 0; i < kClients; ++i) {
            const pid_t pid = ::fork();
            if (pid == 0) {
                ::execl(self, self, option.c_str(), static_cast<char*>(nullptr));
                ::_exit(127);
            }
            clients.push_back(pid);
        }
        for (const pid_t pid : clients) {
            int status = 0;
            ok = ok && pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
                 WEXITSTATUS(status) == 0;
        }
    }
    if (!ok) state.SkipWithError("a client failed");
    state.counters["events"] = kClients * kThreadsPerClient * kReadsPerThread;
}

void DaemonReads(benchmark::State& state) {
    reads(state, nullptr);
}
ZVPLD_BENCHMARK(DaemonReads)->UseRealTime()->Iterations(1)->Repetitions(5);

void DaemonReadsNoJournal(benchmark::State& state) {
    reads(state, "0");
}
ZVPLD_BENCHMARK(DaemonReadsNoJournal)->UseRealTime()->Iterations(1)->Repetitions(5);

// RATE DaemonReads, with the journal; its RATIO to the reads without it is the journal's cost,
// which may be a tenth of the reads a second: 1/0.9 of their time.
[[maybe_unused]] const bool journalCost =
    Compare("DaemonReads", "DaemonReads/iterations:1/repeats:5/real_time",
            "DaemonReadsNoJournal/iterations:1/repeats:5/real_time", 1.11, zvbench::Take::Median);
[[maybe_unused]] const bool readRates =
    zvbench::Watch("DaemonReadsNoJournal", "DaemonReadsNoJournal/iterations:1/repeats:5/real_time");

}  // namespace

// One client process of DaemonReads: kThreadsPerClient threads reading through one proxy. Exits 1
// if a read failed.
int zvbench::ClientReads(const char* engine) {
    ZvPldProxy proxy(engine, "bench");
    std::atomic<bool> failed{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreadsPerClient; ++t) {
        threads.emplace_back([&] {
            std::string text;
            for (int i = 0; i < kReadsPerThread; ++i) {
                if (proxy.GetValueString(text, 1, 100, 1, 0, 0, 0, nullptr) != 0) failed = true;
            }
        });
    }
    for (std::thread& t : threads) t.join();
    return failed ? 1 : 0;
}
