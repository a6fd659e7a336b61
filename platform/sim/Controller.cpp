#include "Controller.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include <nlohmann/json.hpp>

#include "Io.h"
#include "SimEngine.h"
#include "Wire.h"
#include "remote/RemoteEngine.h"

namespace zvsim {

namespace {

using json = nlohmann::json;
using Clock = std::chrono::steady_clock;

constexpr char kScheme[] = "unix:";
constexpr char kDeadlineOption[] = "?deadline_ms=";

std::string refusal(const std::string& error) {
    return json{{"ok", false}, {"error", error}}.dump();
}

std::string unreachable(const std::string& why) {
    return refusal("engine not reachable: " + why);
}

// The engine of this process, looked up again once the one found before is gone.
class LocalController : public Controller {
  public:
    explicit LocalController(std::weak_ptr<SimEngine> engine) : m_engine(std::move(engine)) {}

    std::string Send(const std::string& command) override {
        std::unique_lock<std::mutex> lock(m_mutex);
        std::shared_ptr<SimEngine> engine = m_engine.lock();
        if (!engine) engine = SimEngine::Latest();
        if (!engine) return unreachable("no simulated engine in this process");
        m_engine = engine;
        lock.unlock();
        return engine->Control(command);
    }

  private:
    std::mutex m_mutex;
    std::weak_ptr<SimEngine> m_engine;
};

// A connection of its own to the daemon, made when a command needs one: it asks for control,
// then each command is one Control request answered within the deadline. A command is never
// sent twice: a connection found closed is replaced before the command goes out, and one that
// fails after it went out fails that command alone.
class DaemonController : public Controller {
  public:
    DaemonController(std::string path, std::chrono::milliseconds deadline)
        : m_path(std::move(path)), m_deadline(deadline) {}
    ~DaemonController() override { disconnect(); }

    std::string Send(const std::string& text) override {
        json command;
        try {
            command = json::parse(text);
        } catch (const json::exception& e) {
            return refusal(std::string("the command is not JSON: ") + e.what());
        }
        if (!command.is_object()) return refusal("a command is a JSON object");
        // One command at a time on the connection, whichever thread sends it.
        std::lock_guard<std::mutex> lock(m_mutex);
        const Clock::time_point until = Clock::now() + m_deadline;
        if (stale()) disconnect();
        std::string why;
        if (m_fd < 0 && !connect(until, why)) return unreachable(why);
        const json reply = call({{"op", "Control"}, {"command", command}}, until, why);
        if (reply.is_null()) return unreachable(why);
        const auto answer = reply.find("answer");
        if (answer == reply.end() || !answer->is_object()) {
            disconnect();
            return unreachable("the daemon answered status " +
                               reply.value("status", json()).dump() + " without an answer");
        }
        // The daemon goes away once it has answered: the next command connects anew.
        if (command.value("do", json()) == "restart" && answer->value("ok", false)) disconnect();
        return answer->dump();
    }

  private:
    // The daemon closed the connection (it stopped, or restarted) since the last command.
    bool stale() const {
        if (m_fd < 0) return false;
        pollfd p{m_fd, POLLIN, 0};
        return zvwire::Poll(&p, 1, 0) != 0;
    }

    bool connect(Clock::time_point until, std::string& why) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        if (m_path.empty() || m_path.size() >= sizeof address.sun_path) {
            why = "socket path must be 1 to " + std::to_string(sizeof address.sun_path - 1) +
                  " bytes";
            return false;
        }
        std::memcpy(address.sun_path, m_path.data(), m_path.size());
        m_fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (m_fd < 0 || zvwire::Connect(m_fd, reinterpret_cast<const sockaddr*>(&address),
                                        sizeof address) != 0) {
            why = m_path + ": " + std::strerror(errno);
            disconnect();
            return false;
        }
        // As for the message client: only a daemon of this user's or root's is believed.
        ucred peer{};
        socklen_t size = sizeof peer;
        if (::getsockopt(m_fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 ||
            (peer.uid != ::geteuid() && peer.uid != 0)) {
            why = m_path + " is served by uid " + std::to_string(peer.uid) +
                  ", neither this user nor root";
            disconnect();
            return false;
        }
        m_decoder = zvwire::FrameDecoder();
        const json reply = call({{"op", "Control"}, {"ask", true}}, until, why);
        if (reply.is_null()) return false;
        if (reply.value("status", -1) != 0) {
            why = "the daemon refused control";
            disconnect();
            return false;
        }
        return true;
    }

    // The reply to `request`, messages without its id skipped; null with `why`, the connection
    // closed, when none comes by `until`.
    json call(json request, Clock::time_point until, std::string& why) {
        request["id"] = ++m_id;
        std::vector<std::uint8_t> frame;
        if (!zvwire::AppendFrame(request, frame)) {
            why = "the command is too long";
            return nullptr;
        }
        for (std::size_t sent = 0; sent < frame.size();) {
            if (!wait(POLLOUT, until, why)) return nullptr;
            const ssize_t n = zvwire::Send(m_fd, frame.data() + sent, frame.size() - sent,
                                           MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) continue;
            if (n <= 0) return fail(std::string("cannot send: ") + std::strerror(errno), why);
            sent += static_cast<std::size_t>(n);
        }
        for (;;) {
            json message;
            const auto result = m_decoder.Next(message);
            if (result == zvwire::FrameDecoder::Result::Bad) {
                return fail("malformed frame: " + m_decoder.Error(), why);
            }
            if (result == zvwire::FrameDecoder::Result::Message) {
                if (message.value("id", json()) == m_id) return message;
                continue;
            }
            if (!wait(POLLIN, until, why)) return nullptr;
            std::uint8_t buf[4096];
            const ssize_t n = zvwire::Recv(m_fd, buf, sizeof buf, MSG_DONTWAIT);
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) continue;
            if (n == 0) return fail("the daemon closed the connection", why);
            if (n < 0) return fail(std::string("cannot read: ") + std::strerror(errno), why);
            m_decoder.Feed(buf, static_cast<std::size_t>(n));
        }
    }

    bool wait(short events, Clock::time_point until, std::string& why) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
        pollfd p{m_fd, events, 0};
        if (left > 0 && zvwire::Poll(&p, 1, static_cast<int>(left)) > 0) return true;
        fail("no answer within " + std::to_string(m_deadline.count()) + " ms", why);
        return false;
    }

    json fail(const std::string& what, std::string& why) {
        why = what;
        disconnect();
        return nullptr;
    }

    void disconnect() {
        if (m_fd >= 0) ::close(m_fd);
        m_fd = -1;
    }

    const std::string m_path;
    const std::chrono::milliseconds m_deadline;
    std::mutex m_mutex;
    int m_fd = -1;
    zvwire::FrameDecoder m_decoder;
    std::uint32_t m_id = 0;
};

}  // namespace

std::unique_ptr<Controller> Controller::Open(const std::string& engineText, std::string& error) {
    if (engineText.compare(0, sizeof kScheme - 1, kScheme) != 0) {
        std::shared_ptr<SimEngine> engine = SimEngine::Latest();
        if (!engine) {
            error = "no simulated engine in this process";
            return nullptr;
        }
        return std::make_unique<LocalController>(engine);
    }
    std::string path = engineText.substr(sizeof kScheme - 1);
    std::chrono::milliseconds deadline = zvremote::kDefaultDeadline;
    const std::size_t option = path.find(kDeadlineOption);
    if (option != std::string::npos) {
        const std::string value = path.substr(option + sizeof kDeadlineOption - 1);
        char* end = nullptr;
        const unsigned long ms = std::strtoul(value.c_str(), &end, 10);
        if (value.empty() || *end != '\0' || ms == 0 || ms > 3600000) {
            error = "deadline_ms must be 1 to 3600000: " + value;
            return nullptr;
        }
        deadline = std::chrono::milliseconds(ms);
        path.resize(option);
    }
    return std::make_unique<DaemonController>(std::move(path), deadline);
}

Controller::~Controller() = default;

}  // namespace zvsim
