#include "ScenarioPlayer.h"

#include <algorithm>
#include <string>

#include <nlohmann/json.hpp>

#include "Log.h"
#include "Restart.h"
#include "sim/Feed.h"

namespace pldengined {

using nlohmann::json;

namespace {

// The command's verb, or "?" for one that has none.
std::string verbOf(const std::string& command) {
    const json c = json::parse(command, nullptr, false);
    const json verb = c.is_object() ? c.value("do", json()) : json();
    return verb.is_string() ? verb.get<std::string>() : "?";
}

}  // namespace

ScenarioPlayer::ScenarioPlayer(zvsim::SimEngine& engine, zvsim::Scenario scenario,
                               std::int64_t resumeAtMs, std::function<void()> restart)
    : m_engine(engine),
      m_scenario(std::move(scenario)),
      m_restart(std::move(restart)),
      m_lastStepAt(resumeAtMs),
      m_lastStepClock(engine.EngineClock().NowMs()),
      m_thread([this, resumeAtMs] {
          const zvsim::FeedOrigin origin(json{{"client", "scenario"}});
          zvsim::PlayOptions options;
          options.place = &m_place;
          options.send = [this](const std::string& command) {
              return send(command);
          };
          options.onStep = [this](const zvsim::ScenarioStep& step, std::int64_t,
                                  const std::string& answer) {
              played(step, answer);
          };
          options.stop = &m_stop;
          options.resumeAtMs = resumeAtMs;
          options.engineClock = true;
          const bool clean = zvsim::PlayScenario(m_scenario, options);
          std::lock_guard<std::mutex> lock(m_mutex);
          if (m_restarting || m_stop) return;
          m_done = true;
          Log("scenario %s: played to its end%s", m_scenario.name.c_str(),
              clean ? "" : ", with steps refused");
      }) {}

ScenarioPlayer::~ScenarioPlayer() {
    m_stop = true;
    m_thread.join();
}

std::int64_t ScenarioPlayer::ResumeAt() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_done) return kScenarioDone;
    const std::int64_t since = m_engine.EngineClock().NowMs() - m_lastStepClock;
    return m_lastStepAt + std::max<std::int64_t>(1, since);
}

std::string ScenarioPlayer::send(const std::string& command) {
    // The daemon restarts itself once the step is told: the scenario stops here and goes on in
    // the restarted daemon.
    if (verbOf(command) == "restart" && json::parse(command, nullptr, false).size() == 1) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_restarting = true;
        m_stop = true;
        return R"({"ok": true, "done": "the daemon restarts on the same socket"})";
    }
    return m_engine.Control(command);
}

void ScenarioPlayer::played(const zvsim::ScenarioStep& step, const std::string& answer) {
    const json a = json::parse(answer, nullptr, false);
    const bool ok = a.is_object() && a.value("ok", false);
    const json said = a.is_object() ? a.value(ok ? "done" : "error", json()) : json(answer);
    Log("scenario %s: at %lld ms%s%s: %s%s: %s", m_scenario.name.c_str(),
        static_cast<long long>(step.atMs), step.note.empty() ? "" : ", ", step.note.c_str(),
        verbOf(step.command).c_str(), ok ? "" : " refused",
        (said.is_string() ? said.get<std::string>() : said.dump()).c_str());
    if (m_place.step > 0) {
        m_engine.TellStep(
            {m_scenario.name, m_place.pass, m_place.step, step.atMs, step.note, answer});
    }
    bool restart = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_lastStepAt = step.atMs;
        m_lastStepClock = m_engine.EngineClock().NowMs();
        restart = m_restarting;
    }
    if (restart) m_restart();
}

}  // namespace pldengined
