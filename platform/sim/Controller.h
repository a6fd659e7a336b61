// A connection to an engine's control interface: the engine daemon's, or the simulated engine
// of this process.
#ifndef ZV_SIM_CONTROLLER_H
#define ZV_SIM_CONTROLLER_H

#include <functional>
#include <memory>
#include <string>

#include "ZvPldEngine.h"

namespace zvsim {

struct StepPlayed;

class ZV_PLD_PLATFORM_API Controller {
  public:
    // "unix:PATH[?deadline_ms=N]": a connection of its own to the daemon, which first asks for
    // control; any other text: the newest simulated engine of this process. Null, with `error`,
    // for a "unix:" text that cannot be read (as the message client would refuse it) or when
    // there is no simulated engine in this process.
    // `name`, if any, is how the engine's event feed calls this controller in the origin of
    // the changes it makes.
    static std::unique_ptr<Controller> Open(const std::string& engineText, std::string& error,
                                            const std::string& name = "");
    virtual ~Controller();
    // One command as JSON text; the answer as JSON text. An engine that cannot be reached gives
    // {"ok": false, "error": "engine not reachable: ..."}. Any thread; one command at a time.
    virtual std::string Send(const std::string& command) = 0;
    // The same for the command of a scenario step: once the engine has answered, the event feed
    // tells the step (its answer put in), after the command's own event.
    virtual std::string Play(const std::string& command, const StepPlayed& step) = 0;
    // The engine's event feed (docs/simulated-engine.md, "The event feed"): `event` is called
    // with each event as JSON text, one at a time and in order, on a thread of the engine's or
    // the connection's, until the controller goes; it must neither destroy the controller nor send
    // through it (an event may be handed over while this controller's own command waits for its
    // answer). `ended`, if any, is called on the connection's thread when the daemon's connection
    // that carried the events ends (the next command connects anew and subscribes again). "" once
    // subscribed, else why not.
    using Events = std::function<void(const std::string& event)>;
    using Ended = std::function<void()>;
    virtual std::string Subscribe(Events event, Ended ended) = 0;
};

}  // namespace zvsim

#endif
