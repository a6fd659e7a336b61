// The daemon's socket: the private directory it is made in by default (where that is, the
// clients find out alike: EngineText.h), and the listener bound to it.
#ifndef PLD_ENGINED_SOCKET_H
#define PLD_ENGINED_SOCKET_H

#include <string>

#include "Access.h"

namespace pldengined {

// Makes `dir` of mode 0700 unless it is there, and checks that it is a directory of the user's
// own that no one else may enter: a name in a directory open to all is anyone's to take first,
// and the socket of whoever took it would answer this user's clients. "" when it is, else why not.
std::string PrivateDirectory(const std::string& dir);

// A socket bound to `path`, listening, of mode 0600, or 0660 and of `access`'s group; a socket
// file that no daemon answers on is replaced. -1 with `error` set when the path is taken by a
// live daemon or cannot be used.
int ListenOn(const std::string& path, const Access& access, std::string& error);

}  // namespace pldengined

#endif
