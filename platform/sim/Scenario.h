// Scenarios: timed steps of control commands, read from a JSON file and played against an engine.
#ifndef ZV_SIM_SCENARIO_H
#define ZV_SIM_SCENARIO_H

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "ZvPldEngine.h"

namespace zvsim {

struct ScenarioStep {
    std::int64_t atMs = 0;  // from the start of the pass
    std::string command;    // a control command, JSON text
    std::string note;
    std::uint64_t place = 0;  // in the file, from 1, whatever its time; 0: none of the file's
};

struct Scenario {
    std::string name;
    std::uint64_t seed = 1;
    std::uint32_t repeat = 1;  // passes; 0: until stopped
    std::vector<ScenarioStep> steps;
};

// Throws std::runtime_error naming what is wrong; every step's command is checked.
ZV_PLD_PLATFORM_API Scenario ParseScenario(const std::string& text);
// The scenario in the file at `path`, a regular file of at most 1 MiB; throws as ParseScenario,
// also for a file that cannot be read as one.
ZV_PLD_PLATFORM_API Scenario ReadScenario(const std::string& path);

struct Catalogue;

// "" when the engine of `catalogue` takes every step of one pass, played in order without waiting
// on a scratch engine of its own (a `restart` step, the daemon's, passed over); else what it
// refused first: "the engine refuses the step at T ms[ (NOTE)]: ERROR".
ZV_PLD_PLATFORM_API std::string CheckScenario(const Scenario& scenario, Catalogue catalogue);

struct PlayOptions {
    std::function<std::string(const std::string& command)> send;
    std::function<void(const ScenarioStep& step, std::int64_t elapsedMs, const std::string& answer)>
        onStep;
    const std::atomic<bool>* stop = nullptr;
    // Steps before this time of the first pass are skipped, and so is that pass's reset: the
    // engine is where the earlier steps left it (a daemon that restarted itself mid-scenario).
    std::int64_t resumeAtMs = 0;
    // If not null, where the command being sent stands, kept up to date for send and onStep:
    // the pass and the step's place in the file, each from 1 (step 0: the pass's reset).
    struct Place {
        std::uint64_t pass = 0;
        std::uint64_t step = 0;
    };
    Place* place = nullptr;
    // The engine's clock, read through `send`: the steps are timed by it, a frozen clock
    // advanced to each step's time rather than waited on. Unset: by the host's clock.
    bool engineClock = false;
};

// Plays the scenario: each pass sends `reset {seed}`, then each step at its time from the pass's
// start; onStep follows every command sent, the reset included (a step with note "pass N").
// False when a command was refused or not answered (the others still play).
ZV_PLD_PLATFORM_API bool PlayScenario(const Scenario& scenario, const PlayOptions& options);

}  // namespace zvsim

#endif
