// The socket calls of the message client and the engine daemon, each retried when a signal
// interrupts it (EINTR), so that no caller writes that loop again.
#ifndef ZV_IO_H
#define ZV_IO_H

#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <cerrno>

namespace zvwire {

// `call()` again for as long as it fails with EINTR; its result and errno otherwise.
template <class F>
auto RetryEintr(F&& call) -> decltype(call()) {
    for (;;) {
        const auto result = call();
        if (!(result < 0 && errno == EINTR)) return result;
    }
}

ssize_t Recv(int fd, void* buf, std::size_t size, int flags);
ssize_t Send(int fd, const void* buf, std::size_t size, int flags);
int Accept(int fd, int flags);  // accept4 without the peer's address
int Connect(int fd, const sockaddr* addr, socklen_t size);
int Poll(pollfd* fds, nfds_t count, int timeoutMs);

}  // namespace zvwire

#endif
