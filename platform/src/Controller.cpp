// The engine's control interface, for the text that names the engine: the daemon's over its
// socket, or the simulated engine's of this process.
#include "sim/Controller.h"

#include <mutex>
#include <utility>

#include <nlohmann/json.hpp>

#include "EngineText.h"
#include "remote/RemoteControl.h"
#include "sim/Feed.h"
#include "sim/SimEngine.h"

namespace zvsim {

namespace {

// The engine of this process, looked up again once the one found before is gone.
class LocalController : public Controller {
  public:
    LocalController(std::weak_ptr<SimEngine> engine, const std::string& name)
        : m_engine(std::move(engine)), m_origin{{"client", "in-process"}} {
        if (!name.empty()) m_origin["name"] = name;
    }
    ~LocalController() override {
        if (const std::shared_ptr<SimEngine> engine = m_subscribed.lock()) {
            engine->Unsubscribe(m_subscription);
        }
    }

    // The engine of this process ends with it: `ended` is never called.
    std::string Subscribe(Events event, Ended) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::shared_ptr<SimEngine> engine = m_engine.lock();
        if (!engine) return "no simulated engine in this process";
        if (m_subscription != 0) return "subscribed already";
        m_subscription = engine->Subscribe(std::move(event));
        if (m_subscription == 0) return "no thread for the event feed";
        m_subscribed = engine;
        return "";
    }

    std::string Send(const std::string& command) override { return send(command, nullptr); }
    std::string Play(const std::string& command, const StepPlayed& step) override {
        return send(command, &step);
    }

  private:
    std::string send(const std::string& command, const StepPlayed* step) {
        std::unique_lock<std::mutex> lock(m_mutex);
        std::shared_ptr<SimEngine> engine = m_engine.lock();
        if (!engine) engine = SimEngine::Latest();
        if (!engine) {
            return nlohmann::json{{"ok", false},
                                  {"error",
                                   "engine not reachable: no simulated engine in this "
                                   "process"}}
                .dump();
        }
        m_engine = engine;
        lock.unlock();
        const FeedOrigin origin(m_origin);
        std::string answer = engine->Control(command);
        if (step != nullptr) {
            StepPlayed played = *step;
            played.answer = answer;
            engine->TellStep(played);
        }
        return answer;
    }

    std::mutex m_mutex;
    std::weak_ptr<SimEngine> m_engine;
    nlohmann::json m_origin;
    std::weak_ptr<SimEngine> m_subscribed;
    std::uint64_t m_subscription = 0;
};

class DaemonController : public Controller {
  public:
    DaemonController(const zvwire::DaemonText& daemon, const std::string& name)
        : m_control(daemon.path, daemon.deadline, name) {}
    std::string Send(const std::string& command) override { return m_control.Send(command); }
    std::string Play(const std::string& command, const StepPlayed& step) override {
        // The daemon keeps no more of the texts; a note of a whole file's size would make the
        // request too long for it.
        const nlohmann::json place = {{"scenario", step.scenario.substr(0, 256)},
                                      {"pass", step.pass},
                                      {"step", step.step},
                                      {"at_ms", step.atMs},
                                      {"note", step.note.substr(0, 256)}};
        return m_control.Send(command, &place);
    }
    std::string Subscribe(Events event, Ended ended) override {
        return m_control.Subscribe(std::move(event), std::move(ended));
    }

  private:
    zvremote::RemoteControl m_control;
};

}  // namespace

std::unique_ptr<Controller> Controller::Open(const std::string& engineText, std::string& error,
                                             const std::string& name) {
    if (zvwire::NamesDaemon(engineText.c_str())) {
        zvwire::DaemonText daemon;
        if (!zvwire::ReadDaemonText(engineText, daemon, error)) return nullptr;
        return std::make_unique<DaemonController>(daemon, name);
    }
    std::shared_ptr<SimEngine> engine = SimEngine::Latest();
    if (!engine) {
        error = "no simulated engine in this process";
        return nullptr;
    }
    return std::make_unique<LocalController>(engine, name);
}

Controller::~Controller() = default;

}  // namespace zvsim
