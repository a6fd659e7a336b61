// The daemon's socket: where it is by default, the private directory it is made in, and the
// listener bound to it.
#ifndef PLD_ENGINED_SOCKET_H
#define PLD_ENGINED_SOCKET_H

#include <string>

#include "Access.h"

namespace pldengined {

// The default socket's directory: the user's runtime directory, or else one of the user's own
// in the temporary directory, which the daemon makes and checks (PrivateDirectory).
struct DefaultSocket {
    std::string directory;
    bool made = false;  // by the daemon
    std::string Path() const { return directory + (made ? "/engine.sock" : "/pld-engined.sock"); }
};

DefaultSocket FindDefaultSocket();

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
