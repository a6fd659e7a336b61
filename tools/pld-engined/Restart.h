// The daemon's restart: a listening socket passed down to it (systemd's convention, which the
// daemon's re-execution of itself follows too), and what a restarted daemon carries over.
#ifndef PLD_ENGINED_RESTART_H
#define PLD_ENGINED_RESTART_H

#include <cstdint>
#include <optional>
#include <string>

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
    std::optional<std::string> values;  // the engine's values (SimEngine::ValuesJson)
    // Where its scenario was in its pass (steps before this are not played again), or
    // kScenarioDone once it had played to its end.
    std::optional<std::int64_t> scenarioMs;
};
// False, with `error`, when what was handed over cannot be read.
bool TakeCarried(Carried& carried, std::string& error);

// Re-executes this program with `argv`, passing `listener` and `carried`; returns only when that
// failed, with `error`, having put every descriptor back as it was.
void Reexecute(char* const* argv, int listener, const Carried& carried, std::string& error);

}  // namespace pldengined

#endif
