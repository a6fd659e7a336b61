// pldweb: a web console on libZvPldProxy, used as a device's web front end uses it. A JSON API
// for the devices and points, writes, report hierarchies, device information and the active
// events; the proxy's notifications pushed to every open page as server-sent events; and one
// page that shows it all. docs/web-console.md lists the API, docs/security.md who may reach it
// and the limits on what a client may cost. This file: options and wiring.
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdio>
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

zvsim::Catalogue loadCatalogue(const std::string& file, const std::string& engine) {
    if (!file.empty()) return zvsim::Catalogue::FromFile(file);
    if (engine.rfind("sim:", 0) == 0) return zvsim::Catalogue::FromFile(engine.substr(4));
    return zvsim::Catalogue::BuiltIn();
}

std::string urlHost(const std::string& address) {
    return address.find(':') != std::string::npos ? "[" + address + "]" : address;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"pldweb: a web console on libZvPldProxy"};
    app.set_version_flag("--version", "pldweb " ZVPLD_VERSION);
    std::string engine = "sim";
    std::string listen = "127.0.0.1";
    int port = 8080;
    std::string catalogueFile;
    pldweb::AccessOptions access;
    pldweb::ServerLimits limits;
    unsigned maxStreams = 16;
    unsigned maxHeaderLines = 64;
    bool noSimulation = false;
    app.add_option("--engine", engine,
                   "message client's first text: sim, sim:FILE or unix:PATH (the engine daemon)")
        ->capture_default_str();
    app.add_option("--listen", listen,
                   "address to listen on; beyond loopback a token is asked of every client")
        ->capture_default_str();
    app.add_option("--port", port, "port to listen on; 0: any free port")
        ->check(CLI::Range(0, 65535))
        ->capture_default_str();
    app.add_option("--catalogue", catalogueFile,
                   "catalogue that names the devices, points and events (default: the engine's "
                   "sim:FILE, else the built-in one)");
    app.add_option("--token", access.token,
                   "token every API request must carry (default: none on loopback, a new random "
                   "one beyond)");
    app.add_option("--allow-host", access.allowedHosts,
                   "a further name the console may be reached by (Host header), repeatable");
    app.add_option("--max-connections", limits.maxConnections, "open connections at most")
        ->check(CLI::Range(8u, 10000u))
        ->capture_default_str();
    app.add_option("--max-connections-per-client", limits.maxConnectionsPerClient,
                   "open connections from one client address at most")
        ->check(CLI::Range(4u, 10000u))
        ->capture_default_str();
    app.add_option("--request-timeout", limits.requestSeconds,
                   "seconds a client has to send a whole request (head and body)")
        ->check(CLI::Range(1u, 600u))
        ->capture_default_str();
    app.add_option("--connection-memory", limits.connectionMemory,
                   "bytes of a connection's request head and buffered answer at most")
        ->check(CLI::Range(8192ul, 1048576ul))
        ->capture_default_str();
    app.add_option("--max-header-lines", maxHeaderLines, "header lines of a request at most")
        ->check(CLI::Range(8u, 1000u))
        ->capture_default_str();
    app.add_option("--max-streams", maxStreams, "open event streams (pages) at most")
        ->check(CLI::Range(1u, 1000u))
        ->capture_default_str();
    app.add_flag("--no-simulation", noSimulation,
                 "no Simulation panel: the page gives the engine's control no command");
    CLI11_PARSE(app, argc, argv);

    zvsim::Catalogue catalogue;
    try {
        catalogue = loadCatalogue(catalogueFile, engine);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "pldweb: %s\n", e.what());
        return 2;
    }
    if (access.token.empty() && !pldweb::AccessPolicy::IsLoopback(listen)) {
        access.token = pldweb::AccessPolicy::NewToken();
        if (access.token.empty()) {
            std::fprintf(stderr, "pldweb: no randomness for a token: give one with --token\n");
            return 2;
        }
    }

    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    signal(SIGPIPE,
           SIG_IGN);  // a page or an engine connection that went away is an error, not a stop

    dlog_set_sink(pldweb::LogSink, nullptr);
    int rc = 0;
    try {
        ZvPldProxy proxy(engine.c_str(), "pldweb");
        pldweb::EventHub hub(maxStreams);
        pldweb::EngineAccess engineAccess(proxy, catalogue);
        std::string error;
        // Bound first: the policy knows the port that a Host header must name.
        const auto socket = pldweb::MhdServer::Listen(listen, port, error);
        if (!socket) {
            std::fprintf(stderr, "pldweb: cannot listen on %s:%d: %s\n", listen.c_str(), port,
                         error.c_str());
            rc = 1;
        } else {
            access.listen = listen;
            access.port = socket->port;
            const pldweb::AccessPolicy policy(access);
            pldweb::Simulation simulation(engine);
            pldweb::Console console(policy, engineAccess, hub, maxHeaderLines,
                                    noSimulation ? nullptr : &simulation);
            pldweb::MhdServer server(console, hub, limits);
            if (!server.Start(*socket, error)) {
                std::fprintf(stderr, "pldweb: %s\n", error.c_str());
                rc = 1;
            } else {
                pldweb::Drainer drainer(proxy, catalogue, hub);
                const std::string token = access.token.empty() ? "" : "?token=" + access.token;
                std::printf("pldweb: listening on http://%s:%d/%s (engine %s)\n",
                            urlHost(listen).c_str(), socket->port, token.c_str(), engine.c_str());
                std::fflush(stdout);
                while (!g_interrupted.load()) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(50));
                }
                if (!noSimulation) simulation.ReleaseOwnEngine();
                server.Stop();
                std::printf("pldweb: stopped\n");
            }
        }
        proxy.stop_y4IpcToClientProc();
        pldweb::ActiveEvents::Clear();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "pldweb: %s\n", e.what());
        rc = 2;
    }
    dlog_set_sink(nullptr, nullptr);
    return rc;
}
