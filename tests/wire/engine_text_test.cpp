// The text that names the daemon, read alike by the engine calls and the control client, and the
// peer check that both ends of a connection make.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "EngineText.h"
#include "Peer.h"

namespace {

TEST(DaemonText, TakesAPathThatFitsAndADeadlineOfDigitsFrom1To3600000AndRefusesTheRest) {
    const std::string path107(107, 'p');
    struct Case {
        std::string text;
        std::string path;  // empty: refused
        long ms;
        const char* why;  // in the refusal
    };
    const std::string deadline = "deadline_ms must be 1 to 3600000: ";
    const std::string length = "socket path must be 1 to 107 bytes";
    const std::vector<Case> cases = {
        {"unix:/run/e.sock", "/run/e.sock", 2000, ""},
        {"unix:/run/e.sock?deadline_ms=1", "/run/e.sock", 1, ""},
        {"unix:/run/e.sock?deadline_ms=3600000", "/run/e.sock", 3600000, ""},
        {"unix:/run/e?x.sock", "/run/e?x.sock", 2000, ""},
        {"unix:" + path107, path107, 2000, ""},
        {"unix:/run/e.sock?deadline_ms=", "", 0, ""},
        {"unix:/run/e.sock?deadline_ms=0", "", 0, "0"},
        {"unix:/run/e.sock?deadline_ms=3600001", "", 0, "3600001"},
        {"unix:/run/e.sock?deadline_ms=18446744073709551617", "", 0, "18446744073709551617"},
        {"unix:/run/e.sock?deadline_ms=abc", "", 0, "abc"},
        {"unix:/run/e.sock?deadline_ms= 500", "", 0, " 500"},
        {"unix:/run/e.sock?deadline_ms=500ms", "", 0, "500ms"},
        {"unix:" + path107 + "p", "", 0, nullptr},
    };
    for (const Case& c : cases) {
        zvwire::DaemonText read;
        std::string error;
        ASSERT_TRUE(zvwire::NamesDaemon(c.text.c_str())) << c.text;
        EXPECT_EQ(zvwire::ReadDaemonText(c.text, read, error), !c.path.empty()) << c.text;
        if (!c.path.empty()) {
            EXPECT_EQ(read.path, c.path) << c.text;
            EXPECT_EQ(read.deadline.count(), c.ms) << c.text;
        } else {
            EXPECT_EQ(error, c.why != nullptr ? deadline + c.why : length) << c.text;
        }
    }
    EXPECT_FALSE(zvwire::NamesDaemon("sim:unix:/run/e.sock"));
    EXPECT_FALSE(zvwire::NamesDaemon(nullptr));
}

// With no path the text names the socket the daemon listens on by default: in the runtime
// directory, else in a directory of the user's own under TMPDIR or /tmp; too long, refused.
TEST(DaemonText, WithNoPathNamesTheDaemonsDefaultSocket) {
    const std::string own = "/pld-engined-" + std::to_string(::geteuid()) + "/engine.sock";
    const std::string runtime100(100, 'r');
    struct Case {
        const char* runtime;  // null: unset
        const char* temp;
        std::string text, path;  // path empty: refused
    };
    const std::vector<Case> cases = {
        {"/run/user/7", "/t", "unix:", "/run/user/7/pld-engined.sock"},
        {"/run/user/7", nullptr, "unix:?deadline_ms=500", "/run/user/7/pld-engined.sock"},
        {nullptr, "/t", "unix:", "/t" + own},
        {"", "", "unix:", "/tmp" + own},
        {nullptr, nullptr, "unix:?deadline_ms=500", "/tmp" + own},
        {runtime100.c_str(), nullptr, "unix:", ""},
    };
    for (const Case& c : cases) {
        for (const auto& [name, value] :
             {std::pair{"XDG_RUNTIME_DIR", c.runtime}, {"TMPDIR", c.temp}}) {
            value != nullptr ? ::setenv(name, value, 1) : ::unsetenv(name);
        }
        zvwire::DaemonText read;
        std::string error;
        EXPECT_EQ(zvwire::ReadDaemonText(c.text, read, error), !c.path.empty()) << c.text << error;
        EXPECT_EQ(read.path, c.path) << c.text;
        if (c.path.empty()) {
            EXPECT_EQ(error,
                      "the default socket path " + runtime100 +
                          "/pld-engined.sock is too long: socket path must be 1 to 107 bytes");
        }
    }
}

TEST(Peer, TellsTheProcessAtTheOtherEndAndTrustsOnlyItsOwnUserAndRoot) {
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    const auto peer = zvwire::PeerOf(pair[0]);
    ::close(pair[0]);
    ::close(pair[1]);
    ASSERT_TRUE(peer);
    EXPECT_EQ(peer->pid, ::getpid());
    EXPECT_FALSE(zvwire::PeerOf(-1));
    const std::pair<uid_t, bool> uids[] = {
        {0, true}, {::geteuid(), true}, {::geteuid() + 1, false}};
    for (const auto& [uid, trusted] : uids) {
        EXPECT_EQ(zvwire::IsOwnUserOrRoot(ucred{1, uid, 0}), trusted) << uid;
    }
}

}  // namespace
