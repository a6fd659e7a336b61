// pld-engined: serves one simulated engine to any number of client processes over a Unix-domain
// socket. docs/engine-protocol.md describes the protocol, the options and the log lines.
#include <signal.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include <CLI/CLI.hpp>

#include "Access.h"
#include "DescriptorLimit.h"
#include "EngineText.h"
#include "EventLoop.h"
#include "FanOut.h"
#include "Log.h"
#include "Restart.h"
#include "ScenarioPlayer.h"
#include "Socket.h"
#include "StateFile.h"
#include "sim/ReplayEngine.h"

namespace {

volatile sig_atomic_t g_stop = 0;

void onSignal(int) {
    g_stop = 1;
}

int fail(const std::string& message) {
    std::fprintf(stderr, "pld-engined: %s\n", message.c_str());
    return 1;
}

struct Options {
    std::string socketPath;
    bool socketGiven = false;
    std::string cataloguePath;
    std::string replayPath;
    std::string statePath;
    pldengined::Limits limits;
    std::uint64_t seed = 1;
    bool seedGiven = false;
    std::string scenarioPath;
    std::size_t journal = zvsim::Journal::kDefaultCapacity;
    double speed = 1;
};

// The options into `o`, the group's name into `access`: -1 to go on, else the exit status of
// --help, --version or an option refused.
int readOptions(int argc, char** argv, Options& o, pldengined::Access& access) {
    CLI::App app{"Serves the simulated PLD engine to client processes over a Unix socket"};
    app.set_version_flag("--version", "pld-engined " ZVPLD_VERSION);
    const CLI::Option* socketOption =
        app.add_option("--socket", o.socketPath,
                       std::string("Socket path; the default, which clients name as unix: "
                                   "alone: ") +
                           zvwire::kDefaultSocketWords)
            ->capture_default_str();
    CLI::Option* catalogueOption = app.add_option("--catalogue", o.cataloguePath,
                                                  "Catalogue file (default: the built-in one)");
    CLI::Option* stateOption = app.add_option("--state", o.statePath,
                                              "File that keeps the points' values across restarts");
    // A replay answers from its trace: no catalogue to load, no values to keep.
    app.add_option("--replay", o.replayPath,
                   "Trace file to answer from, as its client heard it (docs/simulated-engine.md)")
        ->excludes(catalogueOption)
        ->excludes(stateOption);
    app.add_option("--group", access.groupName,
                   "Group whose members may connect too (the socket's mode 0660, else 0600)");
    app.add_option("--max-connections", o.limits.maxConnections,
                   "Connections served at once; more are closed at once")
        ->capture_default_str()
        ->check(CLI::Range(1, 1 << 20));
    app.add_option("--idle-timeout", o.limits.idleTimeoutSec,
                   "Seconds after which a connection that asks nothing and registered no "
                   "notifications is closed (0: never)")
        ->capture_default_str()
        ->check(CLI::Range(0, 1 << 20));
    app.add_option("--frame-timeout", o.limits.frameTimeoutSec,
                   "Seconds a client may take to send the rest of a frame it began")
        ->capture_default_str()
        ->check(CLI::Range(1, 1 << 20));
    const CLI::Option* seedOption =
        app.add_option("--seed", o.seed, "The engine's seed, of every generator of its controls")
            ->capture_default_str();
    app.add_option("--scenario", o.scenarioPath, "Scenario file to play from the start");
    app.add_option("--journal", o.journal,
                   "Engine calls the call journal keeps, the oldest overwritten (0: none kept)")
        ->capture_default_str()
        ->check(CLI::Range(0, 1000000));
    app.add_option("--speed", o.speed,
                   "Speed of the engine's clock (its ticks, plants, delays and a scenario's steps)")
        ->capture_default_str()
        ->check(CLI::Range(0.001, 1000.0));
    CLI11_PARSE(app, argc, argv);
    o.socketGiven = socketOption->count() > 0;
    o.seedGiven = seedOption->count() > 0;
    return -1;
}

// The replay of the trace, the engine of the catalogue file, or of the built-in catalogue; null
// with `error`.
std::shared_ptr<zvsim::SimEngine> makeEngine(const Options& o, std::string& error) {
    const std::string& cataloguePath = o.cataloguePath;
    try {
        if (!o.replayPath.empty()) return zvsim::ReplayEngine::FromFile(o.replayPath);
        return std::make_shared<zvsim::SimEngine>(cataloguePath.empty()
                                                      ? zvsim::Catalogue::BuiltIn()
                                                      : zvsim::Catalogue::FromFile(cataloguePath));
    } catch (const std::exception& e) {
        error = e.what();
        return nullptr;
    }
}

// The state handed over at a restart, or else the seed given: false with `error`.
bool takeOverOrSeed(zvsim::SimEngine& engine, const pldengined::Carried& carried, const Options& o,
                    std::string& error) {
    if (carried.state) {
        try {
            pldengined::TakeOver(engine, *carried.state);
        } catch (const std::exception& e) {
            error = std::string("the state handed over at the restart: ") + e.what();
            return false;
        }
    } else if (o.seedGiven) {
        const nlohmann::json answer = nlohmann::json::parse(
            engine.Control(nlohmann::json{{"do", "reset"}, {"seed", o.seed}}.dump()), nullptr,
            false);
        if (!answer.is_object() || !answer.value("ok", false)) {
            error = "the engine refused --seed: " + answer.value("error", answer.dump());
            return false;
        }
    }
    return true;
}

// The scenario at `path`, each step checked against the engine's catalogue as loaded, before a
// state or a restart changes it: false with `error`.
bool readScenario(const std::string& path, const zvsim::SimEngine& engine,
                  zvsim::Scenario& scenario, std::string& error) {
    if (path.empty()) return true;
    try {
        scenario = zvsim::ReadScenario(path);
        error = zvsim::CheckScenario(scenario, engine.Snapshot());
    } catch (const std::exception& e) {
        error = e.what();
    }
    if (!error.empty()) error = "scenario " + path + ": " + error;
    return error.empty();
}

// The signals reach the main thread only, while it waits in ppoll: every thread starts with them
// blocked. The mask to wait with.
sigset_t blockStopSignals() {
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
    return waitMask;
}

// The seed in force: after a restart, the one handed over.
std::uint64_t seedInForce(zvsim::SimEngine& engine, std::uint64_t seed) {
    const nlohmann::json status =
        nlohmann::json::parse(engine.Control(R"({"do": "status"})"), nullptr, false);
    if (status.is_object() && status.value("seed", nlohmann::json()).is_number_unsigned()) {
        return status["seed"].get<std::uint64_t>();
    }
    return seed;
}

// Hands the engine's state and the scenario's place to a new image of the daemon; returns only
// when that failed.
void restart(char** argv, zvsim::SimEngine& engine, const pldengined::ScenarioPlayer* player,
             int listener, bool ownSocket) {
    pldengined::Carried handed;
    std::string why;
    try {
        handed.state = pldengined::Handover(engine);
        if (player) handed.scenarioMs = player->ResumeAt();
        pldengined::Log("restarting");
        pldengined::Reexecute(argv, listener, ownSocket, handed, why);
    } catch (const std::exception& e) {
        why = e.what();
    }
    pldengined::Log("cannot restart: %s", why.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    const zvwire::DefaultSocket byDefault = zvwire::FindDefaultSocket();
    Options options;
    options.socketPath = byDefault.Path();
    pldengined::Access access;
    if (const int status = readOptions(argc, argv, options, access); status >= 0) return status;
    if (!access.groupName.empty() && !access.FindGroup()) {
        return fail("no group " + access.groupName);
    }

    std::string error;
    const std::shared_ptr<zvsim::SimEngine> engine = makeEngine(options, error);
    if (!engine) return fail(error);
    if (!engine->SetJournalCapacity(options.journal)) {
        return fail("no memory for a journal of " + std::to_string(options.journal) + " calls");
    }
    engine->SetStartingSeed(options.seed);
    if (options.speed != 1) {
        engine->Control(
            nlohmann::json{{"do", "clock"}, {"action", "run"}, {"speed", options.speed}}.dump());
    }
    zvsim::Scenario scenario;
    if (!readScenario(options.scenarioPath, *engine, scenario, error)) return fail(error);
    // The state's directory is held from here on: saves go to it, whatever its path leads to
    // later.
    pldengined::StateLocation stateAt;
    if (!options.statePath.empty() &&
        (!pldengined::OpenStateDirectory(options.statePath, stateAt, error) ||
         !pldengined::LoadState(stateAt, *engine, error))) {
        return fail(error);
    }
    pldengined::Inherited inherited;
    pldengined::Carried carried;
    if (!pldengined::TakeInheritedListener(inherited, error) ||
        !pldengined::TakeCarried(carried, error) ||
        !takeOverOrSeed(*engine, carried, options, error)) {
        return fail(error);
    }

    pldengined::FitDescriptorLimit(options.limits);
    const sigset_t waitMask = blockStopSignals();

    // A socket passed down is served as it is: its file is not made, nor removed at the stop
    // unless it was this daemon's before its restart.
    const std::string socketPath = inherited.fd >= 0 ? inherited.path : options.socketPath;
    const bool ownSocket = inherited.fd < 0 || inherited.own;
    if (inherited.fd < 0 && !options.socketGiven && byDefault.made) {
        error = pldengined::PrivateDirectory(byDefault.directory);
        if (!error.empty()) return fail("cannot use " + byDefault.directory + ": " + error);
    }
    const int listener =
        inherited.fd >= 0 ? inherited.fd : pldengined::ListenOn(socketPath, access, error);
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
    const std::uint64_t seed = seedInForce(*engine, options.seed);
    pldengined::Log("listening on %s%s, %s %s, state %s, seed %llu%s%s", socketPath.c_str(),
                    inherited.fd >= 0 ? " (passed down)" : "",
                    options.replayPath.empty() ? "catalogue" : "replay of",
                    !options.replayPath.empty()     ? options.replayPath.c_str()
                    : options.cataloguePath.empty() ? "built-in"
                                                    : options.cataloguePath.c_str(),
                    options.statePath.empty() ? "not kept" : options.statePath.c_str(),
                    static_cast<unsigned long long>(seed),
                    options.scenarioPath.empty() ? "" : ", scenario ",
                    options.scenarioPath.c_str());

    pldengined::EventLoop loop(*engine, fanOut, state, options.limits,
                               [&access](int fd) { return access.Allows(fd); });
    loop.OnSweep([&access](pldengined::Clock::time_point now) { access.TellWithheld(now); });
    std::unique_ptr<pldengined::ScenarioPlayer> player;
    loop.OnRestart([&] { restart(argv, *engine, player.get(), listener, ownSocket); });
    if (!options.scenarioPath.empty() && carried.scenarioMs != pldengined::kScenarioDone) {
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
