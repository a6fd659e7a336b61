// The socket calls' seam: a call that a signal interrupts is made again.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "Io.h"

namespace {

TEST(Io, RetryEintrCallsAgainOnlyWhileTheCallIsInterrupted) {
    struct Case {
        const char* name;
        std::vector<int> errnos;  // the failures, one per call, before the call that gives 7
        int result, calls, error;
    };
    const std::vector<Case> cases = {
        {"succeeds", {}, 7, 1, 0},
        {"interrupted twice", {EINTR, EINTR}, 7, 3, 0},
        {"fails otherwise", {EAGAIN}, -1, 1, EAGAIN},
        {"interrupted, then fails", {EINTR, ECONNRESET}, -1, 2, ECONNRESET},
    };
    for (const Case& c : cases) {
        int calls = 0;
        errno = 0;
        const ssize_t result = zvwire::RetryEintr([&]() -> ssize_t {
            const std::size_t at = static_cast<std::size_t>(calls++);
            if (at < c.errnos.size()) return errno = c.errnos[at], -1;
            return 7;
        });
        const int error = result < 0 ? errno : 0;
        EXPECT_EQ(result, c.result) << c.name;
        EXPECT_EQ(calls, c.calls) << c.name;
        EXPECT_EQ(error, c.error) << c.name;
    }
}

std::atomic<int> g_signals{0};

// A read blocked on a socket, interrupted by a signal whose handler does not ask for restarts,
// goes on and returns the byte that comes after.
TEST(Io, ARecvThatASignalInterruptsGoesOnUntilTheDataComes) {
    struct sigaction action {};
    action.sa_handler = [](int) {
        ++g_signals;
    };
    action.sa_flags = 0;  // no SA_RESTART: the kernel gives EINTR
    ASSERT_EQ(::sigaction(SIGUSR1, &action, nullptr), 0);
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    std::atomic<pid_t> tid{0};
    ssize_t got = 0;
    char byte = 0;
    std::thread reader([&] {
        tid = static_cast<pid_t>(::syscall(SYS_gettid));
        got = zvwire::Recv(pair[0], &byte, 1, 0);
    });
    // The reader is asleep in the kernel once its state is S ("sleeping").
    const auto asleep = [&] {
        std::ifstream stat("/proc/self/task/" + std::to_string(tid.load()) + "/stat");
        std::string text((std::istreambuf_iterator<char>(stat)), {});
        const std::size_t close = text.rfind(')');
        return close != std::string::npos && text.compare(close + 2, 1, "S") == 0;
    };
    for (int waited = 0; (tid == 0 || !asleep()) && waited < 5000; waited += 5) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ::pthread_kill(reader.native_handle(), SIGUSR1);
    while (g_signals == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_EQ(::send(pair[1], "x", 1, 0), 1);
    reader.join();
    EXPECT_EQ(got, 1);
    EXPECT_EQ(byte, 'x');
    EXPECT_EQ(g_signals, 1);
    ::close(pair[0]);
    ::close(pair[1]);
}

}  // namespace
