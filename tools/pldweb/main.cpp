// pldweb: a web console on libZvPldProxy, used as a device's web front end uses it. A JSON API
// for the devices and points, writes, report hierarchies, device information and the active
// events; the proxy's notifications pushed to every open page as server-sent events; and one
// page that shows it all. docs/web-console.md lists the API, docs/security.md who may reach it
// and the limits on what a client may cost. This file: options and wiring.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <thread>
#include <vector>

#include <CLI/CLI.hpp>

#include "AccessPolicy.h"
#include "ActiveEvents.h"
#include "Console.h"
#include "Drainer.h"
#include "EngineAccess.h"
#include "EngineStatus.h"
#include "EngineText.h"
#include "EventHub.h"
#include "Log.h"
#include "MhdServer.h"
#include "Simulation.h"
#include "ZvPldProxy.h"
#include "dlog.h"
#include "sim/SimEngine.h"

namespace {

std::atomic<bool> g_interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler stores a lock-free flag");

extern "C" void onSignal(int) {
    g_interrupted.store(true);
}

// The token in `path`: a regular file of the user's that no one else may read or write, of a
// few bytes (a FIFO or a device would block or never end). Empty with `error` on failure.
std::string readTokenFile(const std::string& path, std::string& error) {
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    struct stat st {};
    std::string text;
    if (fd < 0 || fstat(fd, &st) != 0) {
        error = std::strerror(errno);
    } else if (!S_ISREG(st.st_mode)) {
        error = "not a regular file";
    } else if (st.st_uid != geteuid()) {
        // Whoever owns it may change it: root, who reads any file, would serve their token.
        error = "owned by another user";
    } else if ((st.st_mode & 077) != 0) {
        error = "other users may read or write it (chmod 600 it)";
    } else if (st.st_size > 4096) {
        error = "over 4096 bytes";
    } else {
        char buf[4097];
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0) {
            error = std::strerror(errno);
        } else {
            text.assign(buf, static_cast<std::size_t>(n));
            text.erase(text.find_last_not_of(" \t\r\n") + 1);
            if (text.empty()) error = "empty";
        }
    }
    if (fd >= 0) close(fd);
    return error.empty() ? text : "";
}

// The token given on the command line stays readable in /proc/PID/cmdline by every user: it is
// overwritten there once parsed, which shortens that window without closing it.
void hideTokenArgument(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--token") == 0 && i + 1 < argc) {
            std::memset(argv[i + 1], 'x', std::strlen(argv[i + 1]));
        } else if (std::strncmp(argv[i], "--token=", 8) == 0) {
            std::memset(argv[i] + 8, 'x', std::strlen(argv[i] + 8));
        }
    }
}

std::string urlHost(const std::string& address) {
    return address.find(':') != std::string::npos ? "[" + address + "]" : address;
}

// What the command line asked for.
struct Options {
    std::string engine = "sim";
    std::string listen = "127.0.0.1";
    int port = 8080;
    std::string catalogueFile;
    std::string tokenFile;
    bool noToken = false;
    pldweb::AccessOptions access;
    pldweb::ServerLimits limits;
    unsigned maxStreams = 16;
    unsigned maxHeaderLines = 64;
    bool noSimulation = false;
};

// The engine, the address to listen on and the catalogue.
void addServiceOptions(CLI::App& app, Options& o) {
    app.add_option("--engine", o.engine,
                   std::string("message client's first text: sim, sim:FILE or unix:PATH (the "
                               "engine daemon); unix: alone names the daemon's default: ") +
                       zvwire::kDefaultSocketWords)
        ->capture_default_str();
    app.add_option("--listen", o.listen, "address to listen on")->capture_default_str();
    app.add_option("--port", o.port, "port to listen on; 0: any free port")
        ->check(CLI::Range(0, 65535))
        ->capture_default_str();
    app.add_option("--catalogue", o.catalogueFile,
                   "catalogue that names the devices, points and events (default: the engine's "
                   "sim:FILE, else the built-in one)");
}

// Who may use the console: the token's sources and the further names it answers to.
void addAccessOptions(CLI::App& app, Options& o) {
    auto* tokenFileOption = app.add_option(
        "--token-file", o.tokenFile,
        "file holding the token that every request for data must carry (default: the "
        "environment's PLDWEB_TOKEN, else a new random one, printed in the address to open)");
    auto* tokenOption = app.add_option(
        "--token", o.access.token,
        "the token, given where every user of the machine can read it: use --token-file or "
        "PLDWEB_TOKEN instead");
    app.add_flag("--no-token", o.noToken,
                 "on loopback only: ask no token, so that every user of the machine can read and "
                 "control the engine through the console")
        ->excludes(tokenFileOption)
        ->excludes(tokenOption);
    tokenFileOption->excludes(tokenOption);
    app.add_option("--allow-host", o.access.allowedHosts,
                   "a further name the console may be reached by (Host header), repeatable");
}

// What a client may cost: connections, time, memory, header lines and streams.
void addLimitOptions(CLI::App& app, Options& o) {
    app.add_option("--max-connections", o.limits.maxConnections, "open connections at most")
        ->check(CLI::Range(8u, 10000u))
        ->capture_default_str();
    app.add_option("--max-connections-per-client", o.limits.maxConnectionsPerClient,
                   "open connections from one client address at most")
        ->check(CLI::Range(4u, 10000u))
        ->capture_default_str();
    app.add_option("--request-timeout", o.limits.requestSeconds,
                   "seconds a client has to send a whole request (head and body)")
        ->check(CLI::Range(1u, 600u))
        ->capture_default_str();
    app.add_option("--connection-memory", o.limits.connectionMemory,
                   "bytes of a connection's memory: its request head (at most half of it, the "
                   "address a quarter) and buffered answer")
        ->check(CLI::Range(8192ul, 1048576ul))
        ->capture_default_str();
    app.add_option("--max-header-lines", o.maxHeaderLines, "header lines of a request at most")
        ->check(CLI::Range(8u, 1000u))
        ->capture_default_str();
    app.add_option("--max-streams", o.maxStreams, "open event streams (pages) at most")
        ->check(CLI::Range(1u, 1000u))
        ->capture_default_str();
}

void addOptions(CLI::App& app, Options& o) {
    addServiceOptions(app, o);
    addAccessOptions(app, o);
    addLimitOptions(app, o);
    app.add_flag("--no-simulation", o.noSimulation,
                 "no Simulation panel: the page gives the engine's control no command");
}

// The catalogue to list, or false with the reason on stderr.
bool loadCatalogue(const Options& o, zvsim::Catalogue& catalogue) {
    try {
        if (!o.catalogueFile.empty()) {
            catalogue = zvsim::Catalogue::FromFile(o.catalogueFile);
        } else if (o.engine.rfind("sim:", 0) == 0) {
            catalogue = zvsim::Catalogue::FromFile(o.engine.substr(4));
        } else {
            catalogue = zvsim::Catalogue::BuiltIn();
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "pldweb: %s\n", e.what());
        return false;
    }
    return true;
}

// The token from its source, in o.access.token; false with the reason on stderr. Every user of
// the machine may connect to loopback too: a token is asked unless --no-token. The environment
// of a process is readable by its user and root only.
bool chooseToken(Options& o) {
    const char* fromEnvironment = std::getenv("PLDWEB_TOKEN");
    if (o.noToken) {
        if (!pldweb::AccessPolicy::IsLoopback(o.listen)) {
            std::fprintf(stderr, "pldweb: --no-token is for a loopback address only\n");
            return false;
        }
        std::fprintf(stderr,
                     "pldweb: warning: --no-token: every user of this machine can read and "
                     "control the engine through the console\n");
    } else if (!o.tokenFile.empty()) {
        std::string error;
        o.access.token = readTokenFile(o.tokenFile, error);
        if (!error.empty()) {
            std::fprintf(stderr, "pldweb: --token-file %s: %s\n", o.tokenFile.c_str(),
                         error.c_str());
            return false;
        }
    } else if (!o.access.token.empty()) {
        std::fprintf(stderr,
                     "pldweb: warning: --token shows the token to every user of this machine "
                     "(the process list): give it with --token-file or PLDWEB_TOKEN\n");
    } else if (fromEnvironment != nullptr && *fromEnvironment != '\0') {
        o.access.token = fromEnvironment;
    } else {
        o.access.token = pldweb::AccessPolicy::NewToken();
        if (o.access.token.empty()) {
            std::fprintf(stderr, "pldweb: no randomness for a token: give one with --token-file\n");
            return false;
        }
    }
    unsetenv("PLDWEB_TOKEN");  // not passed on to what the console starts
    if (!o.noToken) {
        const std::string fault = pldweb::AccessPolicy::TokenFault(o.access.token);
        if (!fault.empty()) {
            std::fprintf(stderr, "pldweb: %s\n", fault.c_str());
            return false;
        }
    }
    return true;
}

void handleSignals() {
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    signal(SIGPIPE,
           SIG_IGN);  // a page or an engine connection that went away is an error, not a stop
}

// Listens, serves the console and drains the proxy's notifications until SIGINT or SIGTERM;
// 0, or 1 when it could not listen or start.
int serveUntilStopped(Options& o, ZvPldProxy& proxy, const zvsim::Catalogue& catalogue,
                      pldweb::EventHub& hub, pldweb::EngineAccess& engineAccess) {
    std::string error;
    // Bound first: the policy knows the port that a Host header must name.
    const auto socket = pldweb::MhdServer::Listen(o.listen, o.port, error);
    if (!socket) {
        std::fprintf(stderr, "pldweb: cannot listen on %s:%d: %s\n", o.listen.c_str(), o.port,
                     error.c_str());
        return 1;
    }
    o.access.listen = o.listen;
    o.access.port = socket->port;
    const pldweb::AccessPolicy policy(o.access);
    pldweb::Simulation simulation(o.engine, &hub);
    // Half the connection's memory for the head: the library answers a head that outgrows all of
    // it by itself, with none of the console's headers.
    const pldweb::HeadLimits head{o.maxHeaderLines, o.limits.connectionMemory / 2,
                                  o.limits.connectionMemory / 4};
    pldweb::Console console(policy, engineAccess, hub, head,
                            o.noSimulation ? nullptr : &simulation);
    pldweb::MhdServer server(console, hub, o.limits);
    if (!server.Start(*socket, error)) {
        std::fprintf(stderr, "pldweb: %s\n", error.c_str());
        return 1;
    }
    pldweb::Drainer drainer(proxy, catalogue, hub);
    const std::string token = o.access.token.empty() ? "" : "?token=" + o.access.token;
    std::printf("pldweb: listening on http://%s:%d/%s (engine %s)\n", urlHost(o.listen).c_str(),
                socket->port, token.c_str(), o.engine.c_str());
    std::fflush(stdout);
    while (!g_interrupted.load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (!o.noSimulation) simulation.ReleaseOwnEngine();
    server.Stop();
    std::printf("pldweb: stopped\n");
    return 0;
}

// The proxy for the time of the console; its exit status, 2 when the proxy could not be made.
int serve(Options& o, const zvsim::Catalogue& catalogue) {
    int rc = 0;
    try {
        pldweb::KeepEngineStatuses();
        ZvPldProxy proxy(o.engine.c_str(), "pldweb");
        pldweb::EventHub hub(o.maxStreams);
        pldweb::EngineAccess engineAccess(proxy, catalogue);
        rc = serveUntilStopped(o, proxy, catalogue, hub, engineAccess);
        proxy.stop_y4IpcToClientProc();
        pldweb::ActiveEvents::Clear();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "pldweb: %s\n", e.what());
        rc = 2;
    }
    return rc;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"pldweb: a web console on libZvPldProxy"};
    app.set_version_flag("--version", "pldweb " ZVPLD_VERSION);
    Options options;
    addOptions(app, options);
    CLI11_PARSE(app, argc, argv);
    hideTokenArgument(argc, argv);

    zvsim::Catalogue catalogue;
    if (!loadCatalogue(options, catalogue) || !chooseToken(options)) return 2;
    handleSignals();
    dlog_set_sink(pldweb::LogSink, nullptr);
    const int rc = serve(options, catalogue);
    dlog_set_sink(nullptr, nullptr);
    return rc;
}
