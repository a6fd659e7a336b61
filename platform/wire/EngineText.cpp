#include "EngineText.h"

#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace zvwire {

namespace {

constexpr char kScheme[] = "unix:";
constexpr char kDeadlineOption[] = "?deadline_ms=";
constexpr unsigned long kMaxDeadlineMs = 3600000;  // an hour

// `value` as a number of 1 to kMaxDeadlineMs, or 0: decimal digits alone, so that no sign, space
// or suffix slips through, read no further than the limit, so that none overflows.
unsigned long deadlineMs(const std::string& value) {
    if (value.empty()) return 0;
    unsigned long ms = 0;
    for (const char c : value) {
        if (c < '0' || c > '9') return 0;
        ms = ms * 10 + static_cast<unsigned long>(c - '0');
        if (ms > kMaxDeadlineMs) return 0;
    }
    return ms;
}

}  // namespace

DefaultSocket FindDefaultSocket() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && *runtime != '\0') return {runtime, false};
    const char* temp = std::getenv("TMPDIR");
    return {std::string(temp != nullptr && *temp != '\0' ? temp : "/tmp") + "/pld-engined-" +
                std::to_string(::geteuid()),
            true};
}

bool NamesDaemon(const char* text) {
    return text != nullptr && std::strncmp(text, kScheme, sizeof kScheme - 1) == 0;
}

bool ReadDaemonText(const std::string& text, DaemonText& out, std::string& error) {
    if (!NamesDaemon(text.c_str())) {
        error = "not a unix:PATH text: " + text;
        return false;
    }
    std::string path = text.substr(sizeof kScheme - 1);
    std::chrono::milliseconds deadline = kDefaultDeadline;
    const std::size_t option = path.find(kDeadlineOption);
    if (option != std::string::npos) {
        const std::string value = path.substr(option + sizeof kDeadlineOption - 1);
        const unsigned long ms = deadlineMs(value);
        if (ms == 0) {
            error = "deadline_ms must be 1 to " + std::to_string(kMaxDeadlineMs) + ": " + value;
            return false;
        }
        deadline = std::chrono::milliseconds(ms);
        path.resize(option);
    }
    const bool byDefault = path.empty();
    if (byDefault) path = FindDefaultSocket().Path();
    // The path goes into a socket's address with its NUL.
    constexpr std::size_t kMaxPath = sizeof sockaddr_un::sun_path - 1;
    if (path.size() > kMaxPath) {
        error = std::string(byDefault ? "the default socket path " + path + " is too long: " : "") +
                "socket path must be 1 to " + std::to_string(kMaxPath) + " bytes";
        return false;
    }
    out.path = std::move(path);
    out.deadline = deadline;
    return true;
}

}  // namespace zvwire
