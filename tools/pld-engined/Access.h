// Who may connect: the daemon's own user, root, and with --group that group's members, told
// from the peer's credentials; refusals are logged at most a line a second for each reason.
#ifndef PLD_ENGINED_ACCESS_H
#define PLD_ENGINED_ACCESS_H

#include <sys/socket.h>
#include <sys/types.h>

#include <string>

#include "Throttle.h"

namespace pldengined {

struct Access {
    std::string groupName;  // empty: no group
    gid_t gid = 0;

    // Sets `gid` from `groupName`: false when there is no such group.
    bool FindGroup();
    // Whether the peer on `fd` may use the engine; refusals are logged, at most a line a second
    // for each reason: a stranger connecting over and over does not flood the log.
    bool Allows(int fd) const;
    // The refusals since the last line of their kind, once its second is over.
    void TellWithheld(Throttle::Clock::time_point now) const;

  private:
    // The user's own group is `gid`, or the group database lists the user in it.
    bool isMember(uid_t uid) const;
    void tellUnknown(unsigned long n) const;
    void tellStrangers(unsigned long n) const;

    // The loop's thread alone calls Allows and TellWithheld.
    mutable Throttle strangers, unknown;
    mutable ucred lastStranger{};
    mutable int lastFailure = 0;
};

}  // namespace pldengined

#endif
