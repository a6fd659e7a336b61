#include "Peer.h"

#include <unistd.h>

namespace zvwire {

std::optional<ucred> PeerOf(int fd) {
    ucred peer{};
    socklen_t size = sizeof peer;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) return std::nullopt;
    return peer;
}

bool IsOwnUserOrRoot(const ucred& peer) {
    return peer.uid == ::geteuid() || peer.uid == 0;
}

}  // namespace zvwire
