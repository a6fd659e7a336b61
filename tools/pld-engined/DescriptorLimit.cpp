#include "DescriptorLimit.h"

#include <sys/resource.h>

#include "Log.h"

namespace pldengined {

void FitDescriptorLimit(Limits& limits) {
    rlimit nofile{};
    if (::getrlimit(RLIMIT_NOFILE, &nofile) != 0) return;
    if (nofile.rlim_cur < nofile.rlim_max) {
        nofile.rlim_cur = nofile.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &nofile) != 0) ::getrlimit(RLIMIT_NOFILE, &nofile);
    }
    // The standard three, the listener, epoll, the loop's wake-up, its spare, the engine's, the
    // state file and its directory, a restart's memory file, and as many again to spare.
    constexpr rlim_t kReserve = 32;
    if (nofile.rlim_cur == RLIM_INFINITY || nofile.rlim_cur >= limits.maxConnections + kReserve) {
        return;
    }
    limits.maxConnections =
        nofile.rlim_cur > kReserve + 1 ? static_cast<std::size_t>(nofile.rlim_cur - kReserve) : 1;
    limits.capByDescriptors = true;
    Log("only %lu file descriptors: at most %lu connections are served, %lu kept for the "
        "daemon's own files",
        static_cast<unsigned long>(nofile.rlim_cur),
        static_cast<unsigned long>(limits.maxConnections), static_cast<unsigned long>(kReserve));
}

}  // namespace pldengined
