#include "BoundedFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

namespace zvfiles {
namespace {

const char* kindOf(mode_t mode) {
    if (S_ISDIR(mode)) return "a directory";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISSOCK(mode)) return "a socket";
    if (S_ISLNK(mode)) return "a symbolic link";
    return "not a file";
}

std::string tooLarge(std::size_t limit) {
    return "it has more than " + std::to_string(limit) + " bytes";
}

}  // namespace

std::string ReadOpenFile(int fd, std::size_t limit, std::string& text) {
    text.clear();
    struct stat st {};
    if (::fstat(fd, &st) != 0) return std::string("it cannot be read: ") + std::strerror(errno);
    if (!S_ISREG(st.st_mode))
        return std::string("it is ") + kindOf(st.st_mode) + ", not a regular file";
    if (st.st_size < 0 || static_cast<unsigned long long>(st.st_size) > limit)
        return tooLarge(limit);
    try {
        // One byte past the limit tells a file that grew since its size was read.
        text.resize(static_cast<std::size_t>(st.st_size) + 1);
        std::size_t got = 0;
        for (;;) {
            if (got == text.size()) {
                if (got > limit) break;
                text.resize(std::min(got * 2 + 1, limit + 1));
            }
            const ssize_t n = ::pread(fd, &text[got], text.size() - got, static_cast<off_t>(got));
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return std::string("it cannot be read: ") + std::strerror(errno);
            if (n == 0) break;
            got += static_cast<std::size_t>(n);
        }
        text.resize(got);
    } catch (const std::bad_alloc&) {
        text.clear();
        return "no memory to read it";
    }
    if (text.size() > limit) {
        text.clear();
        return tooLarge(limit);
    }
    return "";
}

std::string ReadFile(int dirFd, const std::string& name, int flags, std::size_t limit,
                     std::string& text) {
    text.clear();
    // O_NONBLOCK: a FIFO is opened at once, to be refused, instead of waiting for a writer.
    int fd;
    do {
        fd = ::openat(dirFd, name.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | flags);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        const int error = errno;
        std::string fault = (flags & O_NOFOLLOW) != 0 && error == ELOOP
                                ? "it is a symbolic link, which is not followed"
                                : std::string("it cannot be opened: ") + std::strerror(error);
        errno = error;
        return fault;
    }
    std::string fault = ReadOpenFile(fd, limit, text);
    ::close(fd);
    return fault;
}

std::string ReadFile(const std::string& path, std::size_t limit, std::string& text) {
    return ReadFile(AT_FDCWD, path, 0, limit, text);
}

std::string NestingFault(const std::string& text) {
    std::size_t depth = 0;
    bool inString = false, escaped = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (inString) {
            if (escaped) {
                escaped = false;
            } else if (c == '\\') {
                escaped = true;
            } else if (c == '"') {
                inString = false;
            }
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > kMaxDepth) {
                return "nested deeper than " + std::to_string(kMaxDepth) + " levels, at byte " +
                       std::to_string(i + 1);
            }
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return "";
}

std::string ParseFault(const std::string& parserMessage) {
    // "[json.exception.parse_error.101] parse error at line 1, column 2: syntax error while
    // parsing value - invalid literal; last read: 'x'": the id and the quote go.
    const std::size_t id =
        parserMessage.rfind('[', 0) == 0 ? parserMessage.find("] ") : std::string::npos;
    std::string what = id == std::string::npos ? parserMessage : parserMessage.substr(id + 2);
    const std::size_t quote = what.find("; last read: ");
    if (quote != std::string::npos) what.resize(quote);
    return what;
}

std::string Shown(const std::string& text) {
    constexpr std::size_t kShown = 32;
    return text.size() <= kShown ? text : text.substr(0, kShown) + "...";
}

}  // namespace zvfiles
