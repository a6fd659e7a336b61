// The engine's control interface, for the text that names the engine: the daemon's over its
// socket, or the simulated engine's of this process.
#include "sim/Controller.h"

#include <mutex>
#include <utility>

#include <nlohmann/json.hpp>

#include "EngineText.h"
#include "remote/RemoteControl.h"
#include "sim/SimEngine.h"

namespace zvsim {

namespace {

// The engine of this process, looked up again once the one found before is gone.
class LocalController : public Controller {
  public:
    explicit LocalController(std::weak_ptr<SimEngine> engine) : m_engine(std::move(engine)) {}

    std::string Send(const std::string& command) override {
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
        return engine->Control(command);
    }

  private:
    std::mutex m_mutex;
    std::weak_ptr<SimEngine> m_engine;
};

class DaemonController : public Controller {
  public:
    explicit DaemonController(const zvwire::DaemonText& daemon)
        : m_control(daemon.path, daemon.deadline) {}
    std::string Send(const std::string& command) override { return m_control.Send(command); }

  private:
    zvremote::RemoteControl m_control;
};

}  // namespace

std::unique_ptr<Controller> Controller::Open(const std::string& engineText, std::string& error) {
    if (zvwire::NamesDaemon(engineText.c_str())) {
        zvwire::DaemonText daemon;
        if (!zvwire::ReadDaemonText(engineText, daemon, error)) return nullptr;
        return std::make_unique<DaemonController>(daemon);
    }
    std::shared_ptr<SimEngine> engine = SimEngine::Latest();
    if (!engine) {
        error = "no simulated engine in this process";
        return nullptr;
    }
    return std::make_unique<LocalController>(engine);
}

Controller::~Controller() = default;

}  // namespace zvsim
