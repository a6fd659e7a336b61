// A scenario that the daemon plays on a thread of its own from its start, or, after a restart,
// from where it was. The event feed tells each step, and names the scenario as its changes'
// origin.
#ifndef PLD_ENGINED_SCENARIO_PLAYER_H
#define PLD_ENGINED_SCENARIO_PLAYER_H

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

#include "sim/Scenario.h"
#include "sim/SimEngine.h"

namespace pldengined {

class ScenarioPlayer {
  public:
    // `restart` is called, on the player's thread, when a step asks for the daemon's restart.
    ScenarioPlayer(zvsim::SimEngine& engine, zvsim::Scenario scenario, std::int64_t resumeAtMs,
                   std::function<void()> restart);
    ~ScenarioPlayer();  // stops it
    ScenarioPlayer(const ScenarioPlayer&) = delete;
    ScenarioPlayer& operator=(const ScenarioPlayer&) = delete;

    // Where a restarted daemon takes the scenario up: the time in the pass since its last step
    // (at least 1 ms past it, so that the step is not played again), or kScenarioDone.
    std::int64_t ResumeAt() const;

  private:
    std::string send(const std::string& command);
    void played(const zvsim::ScenarioStep& step, const std::string& answer);
    zvsim::PlayOptions::Place m_place;  // the player's thread's

    zvsim::SimEngine& m_engine;
    const zvsim::Scenario m_scenario;
    const std::function<void()> m_restart;
    std::atomic<bool> m_stop{false};

    mutable std::mutex m_mutex;
    std::int64_t m_lastStepAt;     // in its pass
    std::int64_t m_lastStepClock;  // the engine's clock then, in ms
    bool m_done = false;
    bool m_restarting = false;

    std::thread m_thread;  // last: it starts once the rest is made
};

}  // namespace pldengined

#endif
