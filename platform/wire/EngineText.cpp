#include "EngineText.h"

#include <sys/un.h>

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
    // The path goes into a socket's address with its NUL.
    constexpr std::size_t kMaxPath = sizeof sockaddr_un::sun_path - 1;
    if (path.empty() || path.size() > kMaxPath) {
        error = "socket path must be 1 to " + std::to_string(kMaxPath) + " bytes";
        return false;
    }
    out.path = std::move(path);
    out.deadline = deadline;
    return true;
}

}  // namespace zvwire
