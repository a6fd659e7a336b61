// The text that names the daemon, read alike by the engine calls and the control client, and the
// peer check that both ends of a connection make.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

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
        {"unix:", "", 0, nullptr},
        {"unix:?deadline_ms=500", "", 0, nullptr},
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
