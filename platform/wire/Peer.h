// Who is at the other end of a connected Unix-domain socket. Both ends ask: the daemon before it
// serves a client, a client before it believes a daemon; each trusts its own user and root.
#ifndef ZV_PEER_H
#define ZV_PEER_H

#include <sys/socket.h>

#include <optional>

namespace zvwire {

// The peer's process, user and group when the connection was made (SO_PEERCRED); nothing, with
// errno set, when the kernel cannot tell.
std::optional<ucred> PeerOf(int fd);

// The peer runs as this process's effective user, or as root.
bool IsOwnUserOrRoot(const ucred& peer);

}  // namespace zvwire

#endif
