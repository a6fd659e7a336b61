// The socket calls' seam: a call that a signal interrupts is made again.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
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

// Runs `call` on a thread of its own and interrupts it, once it sleeps in the kernel, with a
// signal whose handler does not ask for restarts (the kernel then gives EINTR); `release` then
// lets the call go on. Returns what the call returned.
template <class Call, class Release>
auto Interrupted(Call call, Release release) {
    struct sigaction action {};
    action.sa_handler = [](int) {
        ++g_signals;
    };
    action.sa_flags = 0;
    EXPECT_EQ(::sigaction(SIGUSR1, &action, nullptr), 0);
    std::atomic<pid_t> tid{0};
    decltype(call()) got{};
    std::thread caller([&] {
        tid = static_cast<pid_t>(::syscall(SYS_gettid));
        got = call();
    });
    // The caller is asleep in the kernel once its state is S ("sleeping").
    const auto asleep = [&] {
        std::ifstream stat("/proc/self/task/" + std::to_string(tid.load()) + "/stat");
        std::string text((std::istreambuf_iterator<char>(stat)), {});
        const std::size_t close = text.rfind(')');
        return close != std::string::npos && text.compare(close + 2, 1, "S") == 0;
    };
    for (int waited = 0; (tid == 0 || !asleep()) && waited < 5000; waited += 5) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ::pthread_kill(caller.native_handle(), SIGUSR1);
    while (g_signals == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    release();
    caller.join();
    EXPECT_EQ(g_signals, 1);
    return got;
}

TEST(Io, ARecvThatASignalInterruptsGoesOnUntilTheDataComes) {
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    char byte = 0;
    const ssize_t got = Interrupted([&] { return zvwire::Recv(pair[0], &byte, 1, 0); },
                                    [&] { ASSERT_EQ(::send(pair[1], "x", 1, 0), 1); });
    EXPECT_EQ(got, 1);
    EXPECT_EQ(byte, 'x');
    ::close(pair[0]);
    ::close(pair[1]);
}

// A connect waiting for room in a listener's full queue, interrupted, connects once there is
// room: a Unix socket whose connect was interrupted is not connected in the background.
TEST(Io, AConnectThatASignalInterruptsConnectsOnceTheListenerHasRoom) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const std::string path = "/tmp/zvpld-io-test-" + std::to_string(::getpid()) + ".sock";
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    const auto* sa = reinterpret_cast<const sockaddr*>(&addr);
    const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ::unlink(path.c_str());
    ASSERT_EQ(::bind(listener, sa, sizeof addr), 0);
    ASSERT_EQ(::listen(listener, 0), 0);
    const int first = ::socket(AF_UNIX, SOCK_STREAM, 0), second = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_EQ(::connect(first, sa, sizeof addr), 0);  // the queue is full now
    const int got = Interrupted([&] { return zvwire::Connect(second, sa, sizeof addr); },
                                [&] { ::close(::accept(listener, nullptr, nullptr)); });
    EXPECT_EQ(got, 0);
    ucred peer{};
    socklen_t size = sizeof peer;
    ASSERT_EQ(::getsockopt(second, SOL_SOCKET, SO_PEERCRED, &peer, &size), 0);
    EXPECT_EQ(peer.uid, ::getuid());  // connected: not the unknown peer of a socket that is not
    for (const int fd : {first, second, listener}) ::close(fd);
    ::unlink(path.c_str());
}

}  // namespace
