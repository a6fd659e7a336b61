#include "Io.h"

#include <unistd.h>

namespace zvwire {

ssize_t Recv(int fd, void* buf, std::size_t size, int flags) {
    return RetryEintr([&] { return ::recv(fd, buf, size, flags); });
}

ssize_t Send(int fd, const void* buf, std::size_t size, int flags) {
    return RetryEintr([&] { return ::send(fd, buf, size, flags); });
}

int Accept(int fd, int flags) {
    return RetryEintr([&] { return ::accept4(fd, nullptr, nullptr, flags); });
}

// An interrupted connect is made again: a Unix socket is not connected in the background (poll
// would call it writable, unconnected), and one that is answers EALREADY, then EISCONN once done;
// its end is awaited as for a socket that does not block.
int Connect(int fd, const sockaddr* addr, socklen_t size) {
    if (::connect(fd, addr, size) == 0) return 0;
    if (errno != EINTR) return -1;
    for (;;) {
        if (::connect(fd, addr, size) == 0 || errno == EISCONN) return 0;
        if (errno == EINTR) continue;
        if (errno != EALREADY) return -1;
        pollfd wait{fd, POLLOUT, 0};
        if (Poll(&wait, 1, -1) < 0) return -1;
        int error = 0;
        socklen_t length = sizeof error;
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return -1;
        errno = error;
        return error == 0 ? 0 : -1;
    }
}

// A retry waits the whole timeout again: a caller with a deadline passes what is left of it.
int Poll(pollfd* fds, nfds_t count, int timeoutMs) {
    return RetryEintr([&] { return ::poll(fds, count, timeoutMs); });
}

}  // namespace zvwire
