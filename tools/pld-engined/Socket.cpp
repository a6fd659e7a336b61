#include "Socket.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "Io.h"

namespace pldengined {

std::string PrivateDirectory(const std::string& dir) {
    if (::mkdir(dir.c_str(), 0700) == 0) {
        if (::chmod(dir.c_str(), 0700) != 0) return std::strerror(errno);  // whatever the umask
    } else if (errno != EEXIST) {
        return std::strerror(errno);
    }
    struct stat st {};
    if (::lstat(dir.c_str(), &st) != 0) return std::strerror(errno);
    char found[96];
    std::snprintf(found, sizeof found, "%s of uid %u, mode %04o",
                  S_ISLNK(st.st_mode)   ? "a symbolic link"
                  : S_ISDIR(st.st_mode) ? "a directory"
                                        : "a file",
                  static_cast<unsigned>(st.st_uid), static_cast<unsigned>(st.st_mode & 07777));
    if (S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() && (st.st_mode & 07777) == 0700) return "";
    return std::string("it is ") + found + ", not a directory of uid " +
           std::to_string(::geteuid()) + " with mode 0700; remove it, or give --socket";
}

int ListenOn(const std::string& path, const Access& access, std::string& error) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof addr.sun_path) {
        error = "socket path must be 1 to " + std::to_string(sizeof addr.sun_path - 1) +
                " bytes: " + path;
        return -1;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    const auto* sa = reinterpret_cast<const sockaddr*>(&addr);
    for (int attempt = 0; attempt < 2; ++attempt) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) break;
        // Born private: the file's mode comes from the umask, and no one else may connect
        // before the group is set.
        const mode_t was = ::umask(0177);
        const bool bound = ::bind(fd, sa, sizeof addr) == 0;
        const int bindError = errno;
        ::umask(was);
        if (bound) {
            if (!access.groupName.empty() &&
                (::chown(path.c_str(), static_cast<uid_t>(-1), access.gid) != 0 ||
                 ::chmod(path.c_str(), 0660) != 0)) {
                error = "cannot give " + path + " to group " + access.groupName + ": " +
                        std::strerror(errno);
            } else if (::listen(fd, 64) == 0) {
                return fd;
            } else {
                error = "cannot listen on " + path + ": " + std::strerror(errno);
            }
            ::close(fd);
            ::unlink(path.c_str());
            return -1;
        }
        ::close(fd);
        if (bindError != EADDRINUSE || attempt > 0) {
            error = "cannot listen on " + path + ": " + std::strerror(bindError);
            return -1;
        }
        const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const bool live = probe >= 0 && zvwire::Connect(probe, sa, sizeof addr) == 0;
        const int probeError = errno;
        if (probe >= 0) ::close(probe);
        if (live) {
            error = "another pld-engined is serving " + path;
            return -1;
        }
        // connect() to a file that is no socket is refused too: such a file is not ours to remove.
        struct stat st {};
        if (::lstat(path.c_str(), &st) == 0 && !S_ISSOCK(st.st_mode)) {
            error = "cannot listen on " + path + ": the file there is not a socket";
            return -1;
        }
        if (probeError != ECONNREFUSED || ::unlink(path.c_str()) != 0) {
            error = "cannot listen on " + path + ": it is taken (" + std::strerror(bindError) + ")";
            return -1;
        }
    }
    error = "cannot listen on " + path + ": " + std::strerror(errno);
    return -1;
}

}  // namespace pldengined
