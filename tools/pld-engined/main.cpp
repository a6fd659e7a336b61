// pld-engined: serves one simulated engine to any number of client processes over a Unix-domain
// socket. docs/engine-protocol.md describes the protocol, the options and the log lines.
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "EventLoop.h"
#include "FanOut.h"
#include "Io.h"
#include "Log.h"
#include "Restart.h"
#include "ScenarioPlayer.h"
#include "StateFile.h"
#include "Throttle.h"

namespace {

volatile sig_atomic_t g_stop = 0;

void onSignal(int) {
    g_stop = 1;
}

// The default socket's directory: the user's runtime directory, or else one of the user's own
// in the temporary directory, which the daemon makes and checks (privateDirectory).
struct DefaultSocket {
    std::string directory;
    bool made = false;  // by the daemon
    std::string Path() const { return directory + (made ? "/engine.sock" : "/pld-engined.sock"); }
};

DefaultSocket defaultSocket() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && *runtime != '\0') return {runtime, false};
    const char* temp = std::getenv("TMPDIR");
    return {std::string(temp != nullptr && *temp != '\0' ? temp : "/tmp") + "/pld-engined-" +
                std::to_string(::geteuid()),
            true};
}

// Makes `dir` of mode 0700 unless it is there, and checks that it is a directory of the user's
// own that no one else may enter: a name in a directory open to all is anyone's to take first,
// and the socket of whoever took it would answer this user's clients. "" when it is, else why not.
std::string privateDirectory(const std::string& dir) {
    if (::mkdir(dir.c_str(), 0700) == 0) {
        if (::chmod(dir.c_str(), 0700) != 0) return std::strerror(errno);  // whatever the umask
    } else if (errno != EEXIST) {
        return std::strerror(errno);
    }
    struct stat st {};
    if (::lstat(dir.c_str(), &st) != 0) return std::strerror(errno);
    char found[96];
    std::snprintf(found, sizeof found, "%s of uid %u, mode %04o",
                  S_ISLNK(st.st_mode)   ? "a symbolic link"
                  : S_ISDIR(st.st_mode) ? "a directory"
                                        : "a file",
                  static_cast<unsigned>(st.st_uid), static_cast<unsigned>(st.st_mode & 07777));
    if (S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() && (st.st_mode & 07777) == 0700) return "";
    return std::string("it is ") + found + ", not a directory of uid " +
           std::to_string(::geteuid()) + " with mode 0700; remove it, or give --socket";
}

// Each connection takes a descriptor: the soft limit goes up to the hard one, and connections are
// served only as far as they leave the daemon the descriptors of its own that it may need at any
// time (saving the state file takes two, a restart or a scenario one more), so that a write is
// never answered 13 for want of one.
void fitDescriptorLimit(pldengined::Limits& limits) {
    rlimit nofile{};
    if (::getrlimit(RLIMIT_NOFILE, &nofile) != 0) return;
    if (nofile.rlim_cur < nofile.rlim_max) {
        nofile.rlim_cur = nofile.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &nofile) != 0) ::getrlimit(RLIMIT_NOFILE, &nofile);
    }
    // The standard three, the listener, epoll, the loop's wake-up, its spare, the engine's, the
    // state file and its directory, a restart's memory file, and as many again to spare.
    constexpr rlim_t kReserve = 32;
    if (nofile.rlim_cur == RLIM_INFINITY || nofile.rlim_cur >= limits.maxConnections + kReserve) {
        return;
    }
    limits.maxConnections =
        nofile.rlim_cur > kReserve + 1 ? static_cast<std::size_t>(nofile.rlim_cur - kReserve) : 1;
    limits.capByDescriptors = true;
    pldengined::Log(
        "only %lu file descriptors: at most %lu connections are served, %lu kept for the "
        "daemon's own files",
        static_cast<unsigned long>(nofile.rlim_cur),
        static_cast<unsigned long>(limits.maxConnections), static_cast<unsigned long>(kReserve));
}

int fail(const std::string& message) {
    std::fprintf(stderr, "pld-engined: %s\n", message.c_str());
    return 1;
}

// Who may connect: the daemon's own user, root, and with --group that group's members.
struct Access {
    std::string groupName;  // empty: no group
    gid_t gid = 0;

    // Whether the peer on `fd` may use the engine; refusals are logged, at most a line a second
    // for each reason: a stranger connecting over and over does not flood the log.
    bool Allows(int fd) const {
        const auto now = pldengined::Throttle::Clock::now();
        ucred peer{};
        socklen_t size = sizeof peer;
        if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) {
            lastFailure = errno;
            if (const unsigned long n = unknown.Count(now)) tellUnknown(n);
            return false;
        }
        if (peer.uid == 0 || peer.uid == ::geteuid()) return true;
        if (!groupName.empty() && (peer.gid == gid || isMember(peer.uid))) return true;
        lastStranger = peer;
        if (const unsigned long n = strangers.Count(now)) tellStrangers(n);
        return false;
    }
    // The refusals since the last line of their kind, once its second is over.
    void TellWithheld(pldengined::Throttle::Clock::time_point now) const {
        if (const unsigned long n = unknown.Withheld(now)) tellUnknown(n);
        if (const unsigned long n = strangers.Withheld(now)) tellStrangers(n);
    }

  private:
    // The user's own group is `gid`, or the group database lists the user in it.
    bool isMember(uid_t uid) const {
        passwd pw{};
        passwd* found = nullptr;
        std::vector<char> buf(16384);
        if (::getpwuid_r(uid, &pw, buf.data(), buf.size(), &found) != 0 || found == nullptr) {
            return false;
        }
        std::vector<gid_t> groups(32);
        int count = static_cast<int>(groups.size());
        while (::getgrouplist(pw.pw_name, pw.pw_gid, groups.data(), &count) < 0 &&
               count > static_cast<int>(groups.size())) {
            groups.resize(static_cast<std::size_t>(count));
        }
        groups.resize(std::min(groups.size(), static_cast<std::size_t>(std::max(count, 0))));
        return std::find(groups.begin(), groups.end(), gid) != groups.end();
    }
    static std::string counted(unsigned long n) {
        return n == 1 ? "a connection" : std::to_string(n) + " connections";
    }

    void tellUnknown(unsigned long n) const {
        pldengined::Log("refused %s: %s credentials are unknown (%s)", counted(n).c_str(),
                        n == 1 ? "its" : "their", std::strerror(lastFailure));
    }
    void tellStrangers(unsigned long n) const {
        pldengined::Log(
            "refused %s from uid %u, gid %u (pid %d): only the daemon's user (uid %u), "
            "root%s%s may connect",
            (n == 1 ? std::string("a connection") : counted(n) + ", the last").c_str(),
            static_cast<unsigned>(lastStranger.uid), static_cast<unsigned>(lastStranger.gid),
            static_cast<int>(lastStranger.pid), static_cast<unsigned>(::geteuid()),
            groupName.empty() ? "" : " and the members of group ", groupName.c_str());
    }

    // The loop's thread alone calls Allows and TellWithheld.
    mutable pldengined::Throttle strangers, unknown;
    mutable ucred lastStranger{};
    mutable int lastFailure = 0;
};

// A socket bound to `path`, listening, of mode 0600, or 0660 and of `access`'s group; a socket
// file that no daemon answers on is replaced. -1 with `error` set when the path is taken by a
// live daemon or cannot be used.
int listenOn(const std::string& path, const Access& access, std::string& error) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof addr.sun_path) {
        error = "socket path must be 1 to " + std::to_string(sizeof addr.sun_path - 1) +
                " bytes: " + path;
        return -1;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    const auto* sa = reinterpret_cast<const sockaddr*>(&addr);
    for (int attempt = 0; attempt < 2; ++attempt) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) break;
        // Born private: the file's mode comes from the umask, and no one else may connect
        // before the group is set.
        const mode_t was = ::umask(0177);
        const bool bound = ::bind(fd, sa, sizeof addr) == 0;
        const int bindError = errno;
        ::umask(was);
        if (bound) {
            if (!access.groupName.empty() &&
                (::chown(path.c_str(), static_cast<uid_t>(-1), access.gid) != 0 ||
                 ::chmod(path.c_str(), 0660) != 0)) {
                error = "cannot give " + path + " to group " + access.groupName + ": " +
                        std::strerror(errno);
            } else if (::listen(fd, 64) == 0) {
                return fd;
            } else {
                error = "cannot listen on " + path + ": " + std::strerror(errno);
            }
            ::close(fd);
            ::unlink(path.c_str());
            return -1;
        }
        ::close(fd);
        if (bindError != EADDRINUSE || attempt > 0) {
            error = "cannot listen on " + path + ": " + std::strerror(bindError);
            return -1;
        }
        const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const bool live = probe >= 0 && zvwire::Connect(probe, sa, sizeof addr) == 0;
        const int probeError = errno;
        if (probe >= 0) ::close(probe);
        if (live) {
            error = "another pld-engined is serving " + path;
            return -1;
        }
        // connect() to a file that is no socket is refused too: such a file is not ours to remove.
        struct stat st {};
        if (::lstat(path.c_str(), &st) == 0 && !S_ISSOCK(st.st_mode)) {
            error = "cannot listen on " + path + ": the file there is not a socket";
            return -1;
        }
        if (probeError != ECONNREFUSED || ::unlink(path.c_str()) != 0) {
            error = "cannot listen on " + path + ": it is taken (" + std::strerror(bindError) + ")";
            return -1;
        }
    }
    error = "cannot listen on " + path + ": " + std::strerror(errno);
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    const DefaultSocket byDefault = defaultSocket();
    std::string socketPath = byDefault.Path();
    std::string cataloguePath;
    std::string statePath;
    Access access;
    CLI::App app{"Serves the simulated PLD engine to client processes over a Unix socket"};
    app.set_version_flag("--version", "pld-engined " ZVPLD_VERSION);
    const CLI::Option* socketOption =
        app.add_option("--socket", socketPath, "Socket path")->capture_default_str();
    app.add_option("--catalogue", cataloguePath, "Catalogue file (default: the built-in one)");
    app.add_option("--state", statePath, "File that keeps the points' values across restarts");
    app.add_option("--group", access.groupName,
                   "Group whose members may connect too (the socket's mode 0660, else 0600)");
    pldengined::Limits limits;
    app.add_option("--max-connections", limits.maxConnections,
                   "Connections served at once; more are closed at once")
        ->capture_default_str()
        ->check(CLI::Range(1, 1 << 20));
    app.add_option("--idle-timeout", limits.idleTimeoutSec,
                   "Seconds after which a connection that asks nothing and registered no "
                   "notifications is closed (0: never)")
        ->capture_default_str()
        ->check(CLI::Range(0, 1 << 20));
    app.add_option("--frame-timeout", limits.frameTimeoutSec,
                   "Seconds a client may take to send the rest of a frame it began")
        ->capture_default_str()
        ->check(CLI::Range(1, 1 << 20));
    std::uint64_t seed = 1;
    const CLI::Option* seedOption =
        app.add_option("--seed", seed, "The engine's seed, of every generator of its controls")
            ->capture_default_str();
    std::string scenarioPath;
    app.add_option("--scenario", scenarioPath, "Scenario file to play from the start");
    CLI11_PARSE(app, argc, argv);
    if (!access.groupName.empty()) {
        group gr{};
        group* found = nullptr;
        std::vector<char> buf(65536);
        if (::getgrnam_r(access.groupName.c_str(), &gr, buf.data(), buf.size(), &found) != 0 ||
            found == nullptr) {
            return fail("no group " + access.groupName);
        }
        access.gid = gr.gr_gid;
    }

    std::shared_ptr<zvsim::SimEngine> engine;
    try {
        engine = std::make_shared<zvsim::SimEngine>(
            cataloguePath.empty() ? zvsim::Catalogue::BuiltIn()
                                  : zvsim::Catalogue::FromFile(cataloguePath));
    } catch (const std::exception& e) {
        return fail(e.what());
    }
    // The state's directory is held from here on: saves go to it, whatever its path leads to
    // later.
    pldengined::StateLocation stateAt;
    if (!statePath.empty()) {
        std::string why;
        if (!pldengined::OpenStateDirectory(statePath, stateAt, why) ||
            !pldengined::LoadState(stateAt, *engine, why)) {
            return fail(why);
        }
    }
    std::string error;
    pldengined::Inherited inherited;
    pldengined::Carried carried;
    if (!pldengined::TakeInheritedListener(inherited, error) ||
        !pldengined::TakeCarried(carried, error)) {
        return fail(error);
    }
    if (carried.state) {
        try {
            pldengined::TakeOver(*engine, *carried.state);
        } catch (const std::exception& e) {
            return fail(std::string("the state handed over at the restart: ") + e.what());
        }
    } else if (seedOption->count() > 0) {
        const nlohmann::json answer = nlohmann::json::parse(
            engine->Control(nlohmann::json{{"do", "reset"}, {"seed", seed}}.dump()), nullptr,
            false);
        if (!answer.is_object() || !answer.value("ok", false)) {
            return fail("the engine refused --seed: " + answer.value("error", answer.dump()));
        }
    }
    zvsim::Scenario scenario;
    if (!scenarioPath.empty()) {
        try {
            scenario = zvsim::ReadScenario(scenarioPath);
        } catch (const std::exception& e) {
            return fail("scenario " + scenarioPath + ": " + e.what());
        }
    }

    fitDescriptorLimit(limits);

    // The signals reach the main thread only, while it waits in ppoll: every thread starts
    // with them blocked.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    sigset_t waitMask;
    pthread_sigmask(SIG_BLOCK, &stopSignals, &waitMask);
    sigdelset(&waitMask, SIGTERM);
    sigdelset(&waitMask, SIGINT);
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);

    // A socket passed down is served as it is: its file is not made, nor removed at the stop
    // unless it was this daemon's before its restart.
    if (inherited.fd >= 0) socketPath = inherited.path;
    const bool ownSocket = inherited.fd < 0 || inherited.own;
    if (inherited.fd < 0 && socketOption->count() == 0 && byDefault.made) {
        error = privateDirectory(byDefault.directory);
        if (!error.empty()) return fail("cannot use " + byDefault.directory + ": " + error);
    }
    const int listener = inherited.fd >= 0 ? inherited.fd : listenOn(socketPath, access, error);
    if (listener < 0) return fail(error);
    const auto unlinkSocket = [&] {
        if (ownSocket) ::unlink(socketPath.c_str());
    };

    pldengined::StateFile state(*engine, stateAt);
    pldengined::FanOut fanOut(*engine);
    if (!fanOut.Start()) {
        ::close(listener);
        unlinkSocket();
        return fail("the engine refused the daemon's registrations");
    }
    // The seed in force: after a restart, the one handed over.
    const nlohmann::json status =
        nlohmann::json::parse(engine->Control(R"({"do": "status"})"), nullptr, false);
    if (status.is_object() && status.value("seed", nlohmann::json()).is_number_unsigned()) {
        seed = status["seed"].get<std::uint64_t>();
    }
    pldengined::Log("listening on %s%s, catalogue %s, state %s, seed %llu%s%s", socketPath.c_str(),
                    inherited.fd >= 0 ? " (passed down)" : "",
                    cataloguePath.empty() ? "built-in" : cataloguePath.c_str(),
                    statePath.empty() ? "not kept" : statePath.c_str(),
                    static_cast<unsigned long long>(seed),
                    scenarioPath.empty() ? "" : ", scenario ", scenarioPath.c_str());

    pldengined::EventLoop loop(*engine, fanOut, state, limits,
                               [&access](int fd) { return access.Allows(fd); });
    loop.OnSweep([&access](pldengined::Clock::time_point now) { access.TellWithheld(now); });
    std::unique_ptr<pldengined::ScenarioPlayer> player;
    loop.OnRestart([&] {
        pldengined::Carried handed;
        std::string why;
        try {
            handed.state = pldengined::Handover(*engine);
            if (player) handed.scenarioMs = player->ResumeAt();
            pldengined::Log("restarting");
            pldengined::Reexecute(argv, listener, ownSocket, handed, why);
        } catch (const std::exception& e) {
            why = e.what();
        }
        pldengined::Log("cannot restart: %s", why.c_str());
    });
    if (!scenarioPath.empty() && carried.scenarioMs != pldengined::kScenarioDone) {
        player = std::make_unique<pldengined::ScenarioPlayer>(*engine, std::move(scenario),
                                                              carried.scenarioMs.value_or(0),
                                                              [&loop] { loop.AskRestart(); });
    }
    // Started, for whoever waits for the daemon (the socket's file exists before it listens).
    std::printf("READY %s seed=%llu\n", socketPath.c_str(), static_cast<unsigned long long>(seed));
    std::fflush(stdout);
    const bool served = loop.Run(listener, &waitMask, g_stop, error);
    if (!served) pldengined::Log("%s", error.c_str());

    pldengined::Log("stopping");
    player.reset();
    ::close(listener);
    unlinkSocket();
    loop.CloseAll();
    fanOut.Stop();
    pldengined::Log("stopped");
    return served ? 0 : 1;
}
