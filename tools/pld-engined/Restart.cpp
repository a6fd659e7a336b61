#include "Restart.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <vector>

#include <nlohmann/json.hpp>

#include "BoundedFile.h"
#include "Log.h"

extern char** environ;

namespace pldengined {

namespace {

constexpr int kListenFd = 3;  // SD_LISTEN_FDS_START
// The descriptor of a memory file that holds the engine's state, set by the image that restarts.
constexpr char kStateVariable[] = "PLD_ENGINED_RESTART_STATE";
constexpr char kScenarioVariable[] = "PLD_ENGINED_SCENARIO_RESUME_MS";
// Set by the image that restarts when the socket's file is its own to remove: not when systemd
// (or another launcher) made it and passed it down.
constexpr char kOwnSocketVariable[] = "PLD_ENGINED_OWN_SOCKET";
// What one image hands the next at most: the points' values, which saves keep within
// kMaxStateBytes when kept, and the standing controls.
constexpr std::size_t kMaxHandover = 16 << 20;
const char* const kOurVariables[] = {"LISTEN_FDS",   "LISTEN_PID",      "LISTEN_FDNAMES",
                                     kStateVariable, kScenarioVariable, kOwnSocketVariable};

bool isOurs(const char* entry) {
    for (const char* name : kOurVariables) {
        const std::size_t n = std::strlen(name);
        if (std::strncmp(entry, name, n) == 0 && entry[n] == '=') return true;
    }
    return false;
}

// The variable's value as a number of at most `max`, or -1.
long long numberIn(const char* name, long long max) {
    const char* text = std::getenv(name);
    if (text == nullptr || *text < '0' || *text > '9') return -1;
    char* end = nullptr;
    errno = 0;
    const long long n = std::strtoll(text, &end, 10);
    return errno == 0 && *end == '\0' && n <= max ? n : -1;
}

bool intOption(int fd, int option, int& value) {
    socklen_t size = sizeof value;
    return ::getsockopt(fd, SOL_SOCKET, option, &value, &size) == 0;
}

bool writeAll(int fd, const std::string& text) {
    for (std::size_t done = 0; done < text.size();) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

bool TakeInheritedListener(Inherited& inherited, std::string& error) {
    const long long fds = numberIn("LISTEN_FDS", 1 << 20);
    const long long pid = numberIn("LISTEN_PID", 1LL << 40);
    inherited.own = std::getenv(kOwnSocketVariable) != nullptr;
    for (const char* name : {"LISTEN_FDS", "LISTEN_PID", "LISTEN_FDNAMES", kOwnSocketVariable}) {
        ::unsetenv(name);
    }
    if (fds < 0 || pid != ::getpid()) return true;  // meant for another process, or none
    if (fds != 1) {
        error = "LISTEN_FDS=" + std::to_string(fds) + ": only one listening socket is served";
        return false;
    }
    int type = 0, domain = 0, listening = 0;
    sockaddr_un address{};
    socklen_t size = sizeof address;
    if (!intOption(kListenFd, SO_TYPE, type) || !intOption(kListenFd, SO_DOMAIN, domain) ||
        !intOption(kListenFd, SO_ACCEPTCONN, listening) || type != SOCK_STREAM ||
        domain != AF_UNIX || listening == 0 ||
        ::getsockname(kListenFd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        error = "LISTEN_FDS=1: descriptor 3 is not a listening Unix stream socket";
        return false;
    }
    ::fcntl(kListenFd, F_SETFD, FD_CLOEXEC);
    inherited.fd = kListenFd;
    const std::size_t pathBytes =
        size > offsetof(sockaddr_un, sun_path) ? size - offsetof(sockaddr_un, sun_path) : 0;
    inherited.path.assign(address.sun_path, ::strnlen(address.sun_path, pathBytes));
    return true;
}

std::string Handover(zvsim::SimEngine& engine) {
    const nlohmann::json status =
        nlohmann::json::parse(engine.Control(R"({"do": "status"})"), nullptr, false);
    return nlohmann::json{{"values", engine.ValuesJson()}, {"status", status}}.dump();
}

void TakeOver(zvsim::SimEngine& engine, const std::string& state) {
    using nlohmann::json;
    const std::string tooDeep = zvfiles::NestingFault(state);
    if (!tooDeep.empty()) throw std::runtime_error(tooDeep);
    const json handed = json::parse(state);
    engine.LoadValues(handed.at("values").get<std::string>());
    const json& status = handed.at("status");
    if (!status.is_object() || !status.value("ok", false)) return;
    std::vector<json> commands;
    if (status.contains("seed")) commands.push_back({{"do", "reset"}, {"seed", status["seed"]}});
    // The reset puts the catalogue's offline flags back: a device brought online stays online.
    const json offline = status.value("offline", json::array());
    const json now = json::parse(engine.Control(R"({"do": "status"})"), nullptr, false);
    if (now.is_object()) {
        for (const json& device : now.value("offline", json::array())) {
            if (std::find(offline.begin(), offline.end(), device) == offline.end()) {
                commands.push_back({{"do", "online"}, {"device", device}});
            }
        }
    }
    for (const json& device : offline) {
        commands.push_back({{"do", "offline"}, {"device", device}});
    }
    // A control is listed as its command with what is left of its count.
    for (json control : status.value("controls", json::array())) {
        if (const auto left = control.find("left"); left != control.end()) {
            control["count"] = *left;
            control.erase("left");
        }
        commands.push_back(std::move(control));
    }
    for (const json& command : commands) {
        const json answer = json::parse(engine.Control(command.dump()), nullptr, false);
        if (!answer.is_object() || !answer.value("ok", false)) {
            Log("after the restart, %s is not in force again: %s", command.dump().c_str(),
                answer.is_object() ? answer.value("error", answer.dump()).c_str()
                                   : "the engine did not answer");
        }
    }
}

bool TakeCarried(Carried& carried, std::string& error) {
    const bool handed = std::getenv(kStateVariable) != nullptr;
    const long long fd = numberIn(kStateVariable, 1 << 20);
    const long long ms = numberIn(kScenarioVariable, 1LL << 50);
    if (const char* text = std::getenv(kScenarioVariable); text != nullptr) {
        if (ms < 0 && std::strcmp(text, "done") != 0) {
            error = std::string(kScenarioVariable) + " is not a number of milliseconds";
            return false;
        }
        carried.scenarioMs = ms < 0 ? kScenarioDone : ms;
    }
    ::unsetenv(kStateVariable);
    ::unsetenv(kScenarioVariable);
    if (!handed) return true;
    // A memory file of the image before: whatever else the variable names is refused, at once.
    std::string values;
    const std::string fault =
        fd < 0 ? "no descriptor"
               : zvfiles::ReadOpenFile(static_cast<int>(fd), kMaxHandover, values);
    if (fd >= 0) ::close(static_cast<int>(fd));
    if (!fault.empty()) {
        error = "cannot read the state handed over at the restart: " + fault;
        return false;
    }
    carried.state = std::move(values);
    return true;
}

void Reexecute(char* const* argv, int listener, bool ownSocket, const Carried& carried,
               std::string& error) {
    // Descriptor 3 becomes the listener; what it was is kept aside to be put back on failure.
    const int saved = listener == kListenFd ? -1 : ::fcntl(kListenFd, F_DUPFD_CLOEXEC, kListenFd);
    const bool placed = listener == kListenFd ? ::fcntl(kListenFd, F_SETFD, 0) == 0
                                              : ::dup2(listener, kListenFd) == kListenFd;
    const int values = placed ? ::memfd_create("pld-engined-state", 0) : -1;
    if (carried.state && carried.state->size() > kMaxHandover) {
        // The next image would refuse it and stop: this one goes on instead.
        error = "the state to hand over has " + std::to_string(carried.state->size()) +
                " bytes, more than " + std::to_string(kMaxHandover);
    } else if (!placed || values < 0 || !writeAll(values, carried.state.value_or(""))) {
        error = std::strerror(errno);
    } else {
        std::vector<std::string> added = {
            "LISTEN_FDS=1", "LISTEN_PID=" + std::to_string(::getpid()),
            std::string(kStateVariable) + "=" + std::to_string(values)};
        if (ownSocket) added.push_back(std::string(kOwnSocketVariable) + "=1");
        if (carried.scenarioMs) {
            added.push_back(std::string(kScenarioVariable) + "=" +
                            (*carried.scenarioMs == kScenarioDone
                                 ? std::string("done")
                                 : std::to_string(*carried.scenarioMs)));
        }
        std::vector<char*> env;
        for (char** e = environ; *e != nullptr; ++e) {
            if (!isOurs(*e)) env.push_back(*e);
        }
        for (std::string& a : added) env.push_back(a.data());
        env.push_back(nullptr);
        ::execve("/proc/self/exe", argv, env.data());
        error = std::strerror(errno);
    }
    if (values >= 0) ::close(values);
    if (listener == kListenFd) {
        ::fcntl(kListenFd, F_SETFD, FD_CLOEXEC);
    } else if (saved >= 0) {
        ::dup3(saved, kListenFd, O_CLOEXEC);
        ::close(saved);
    } else {
        ::close(kListenFd);
    }
}

}  // namespace pldengined
