// A client of the engine daemon that speaks the frames and messages itself, for tests that need
// to send what the message client never would.
#ifndef ZVPLD_TESTS_RAW_CLIENT_H
#define ZVPLD_TESTS_RAW_CLIENT_H

#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "Wire.h"

using nlohmann::json;

constexpr int kWaitMs = 5000;  // no exchange here takes this long unless something is wrong

inline std::string textOf(const json& binary) {
    return std::string(binary.get_binary().begin(), binary.get_binary().end());
}

// A read of a point's first module, and a write of `value` to it.
inline json readOf(int device, int gddId) {
    return {{"op", "GetVelPntInt32"},
            {"pnt", {{"deviceIdx", device}, {"gddId", gddId}, {"mmIdx", 0}}}};
}
inline json writeOf(int device, int gddId, int value) {
    json write = readOf(device, gddId);
    write.update({{"op", "SetVelPntInt32"}, {"value", value}, {"setParam", 0}});
    return write;
}
// `count` copies of `request` numbered from 1, framed one after the other: sent at once, a
// pipeline.
inline std::vector<std::uint8_t> pipeline(int count, json request) {
    std::vector<std::uint8_t> out;
    for (int id = 1; id <= count; ++id) {
        request["id"] = id;
        zvwire::AppendFrame(request, out);
    }
    return out;
}

class Client {
  public:
    explicit Client(const std::string& path) : m_fd(::socket(AF_UNIX, SOCK_STREAM, 0)) {
        sockaddr_un addr{AF_UNIX, {}};
        std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
        ::connect(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        const timeval wait{kWaitMs / 1000, 0};
        ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    }
    ~Client() { ::close(m_fd); }

    void sendBytes(const std::vector<std::uint8_t>& bytes) {
        ASSERT_EQ(::send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(bytes.size()));
    }
    // The next message, or null once the daemon closed the connection or went kWaitMs silent.
    json receive() {
        json message;
        while (m_decoder.Next(message) != zvwire::FrameDecoder::Result::Message) {
            std::uint8_t buf[4096];
            const ssize_t n = ::recv(m_fd, buf, sizeof buf, 0);
            if (n <= 0) return nullptr;
            m_decoder.Feed(buf, static_cast<std::size_t>(n));
        }
        return message;
    }
    // True once the daemon closed the connection, within kWaitMs.
    bool closed() {
        std::uint8_t byte = 0;
        const ssize_t n = ::recv(m_fd, &byte, 1, 0);
        return n == 0 || (n < 0 && errno == ECONNRESET);
    }
    // The reply to `request`; messages without an id that come first are kept in `notes`.
    json call(json request) {
        request["id"] = ++m_id;
        std::vector<std::uint8_t> frame;
        zvwire::AppendFrame(request, frame);
        sendBytes(frame);
        for (json m = receive(); !m.is_null(); m = receive()) {
            if (m.contains("id") && m["id"] == m_id) return m;
            notes.push_back(m);
        }
        return nullptr;
    }

    // The next event of the daemon's feed, kept back by a call or to come; null after kWaitMs
    // without one.
    json event() {
        while (!notes.empty()) {
            const json m = notes.front();
            notes.erase(notes.begin());
            if (m.contains("feed")) return m["feed"];
        }
        for (json m = receive(); !m.is_null(); m = receive()) {
            if (m.contains("feed")) return m["feed"];
        }
        return nullptr;
    }

    int fd() const { return m_fd; }

    std::vector<json> notes;

  private:
    const int m_fd;
    zvwire::FrameDecoder m_decoder;
    int m_id = 0;
};

#endif
