// The daemon's restart: a listening socket passed down to it (systemd's convention, which the
// daemon's re-execution of itself follows too), and what a restarted daemon carries over.
#ifndef PLD_ENGINED_RESTART_H
#define PLD_ENGINED_RESTART_H

#include <cstdint>
#include <optional>
#include <string>

#include "sim/SimEngine.h"

namespace pldengined {

struct Inherited {
    int fd = -1;       // the listening socket; -1: none was passed
    std::string path;  // its path
    bool own = false;  // passed by this daemon before its restart: the socket file is its own
};

// The listener passed as descriptor 3 with LISTEN_FDS=1 and LISTEN_PID this process, if any;
// LISTEN_FDS, LISTEN_PID and LISTEN_FDNAMES are unset, so that no child inherits them. False,
// with `error`, when descriptor 3 is not a listening Unix stream socket.
bool TakeInheritedListener(Inherited& inherited, std::string& error);

constexpr std::int64_t kScenarioDone = -1;

// What the daemon's previous image handed over at its restart.
struct Carried {
    std::optional<std::string> state;  // the engine's, as Handover made it
    // Where its scenario was in its pass (steps before this are not played again), or
    // kScenarioDone once it had played to its end.
    std::optional<std::int64_t> scenarioMs;
};
// False, with `error`, when what was handed over cannot be read.
bool TakeCarried(Carried& carried, std::string& error);

// The engine's state for the image after a restart: its points' values (the plant's moves and
// all), its seed, the offline devices and the standing controls in force.
std::string Handover(zvsim::SimEngine& engine);
// Takes that state back: the values, then the seed and the controls as commands, logging each one
// the engine refuses. Throws std::exception for values that do not fit.
void TakeOver(zvsim::SimEngine& engine, const std::string& state);

// Re-executes this program with `argv`, passing `listener` and `carried`; returns only when that
// failed, with `error`, having put every descriptor back as it was.
void Reexecute(char* const* argv, int listener, const Carried& carried, std::string& error);

}  // namespace pldengined

#endif
