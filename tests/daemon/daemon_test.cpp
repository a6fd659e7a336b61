// pld-engined as a real process on a socket of its own, talked to by raw clients that speak the
// frames and messages themselves.
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "DaemonFixture.h"
#include "RawClient.h"
#include "Wire.h"
#include "ZvPldTypes.h"

namespace {

using nlohmann::json;

const json kGet = readOf(1, 10);

// In a child of user `uid` and group `gid` alone: 0 if the daemon at `path` answered a write.
int writeAs(uid_t uid, gid_t gid, const std::string& path, int tries = 1) {
    const pid_t pid = ::fork();
    if (pid == 0) {  // the child exits here: the test goes on in the parent alone
        if (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0) ::_exit(2);
        for (int i = 1; i < tries; ++i) Client{path}.receive();
        Client client(path);
        const json reply = client.call(writeOf(1, 10, 8));
        ::_exit(reply.is_object() && reply.value("status", -1) == 0 ? 0 : 1);
    }
    int status = -1;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class DaemonTest : public DaemonFixture {
  protected:
    void SetUp() override {
        DaemonFixture::SetUp();
        std::ofstream(m_dir + "/catalogue.json") << R"({"tickMs": 0, "devices": [{"index": 1,
            "points": [{"gddId": 10, "access": "rw", "min": 0, "max": 100, "values": [5]},
                       {"gddId": 11, "access": "rw", "values": [1]}]}],
            "events": [{"id": 7, "group": 3, "device": 1, "state": 2}]})";
    }
};

// Notifications go only to the connections registered for their kind; a client that never reads
// its replies is dropped once a send times out, and the others are still served.
TEST_F(DaemonTest, EachConnectionGetsOnlyItsNotificationsAndADeafOneIsDropped) {
    ASSERT_TRUE(daemon());
    Client writer(m_socket), other(m_socket), deaf(m_socket);
    ASSERT_EQ(other.call({{"op", "Reg"}, {"kind", "event"}, {"regArg", 0}})["status"], 0);
    ASSERT_EQ(writer.call(writeOf(1, 10, 42))["status"], 0);
    // Had the value change reached `other`, it would come before the event change.
    ASSERT_EQ(writer.call({{"op", "SetEventState"}, {"eventId", 7}, {"state", 0}})["status"], 0);
    EXPECT_EQ(other.receive()["ntf"], "event");
    std::vector<std::uint8_t> asks;  // their replies fill the socket's buffers many times over
    for (int id = 1; id <= 5000; ++id) zvwire::AppendFrame({{"id", id}, {"op", "X"}}, asks);
    deaf.sendBytes(asks);
    EXPECT_TRUE(logged("dropped: the client reads nothing", 3 * kWaitMs)) << log();
    EXPECT_EQ(Client(m_socket).call(kGet)["value"], 42);
}

// A write that cannot be saved is answered 13 and changes nothing, now or after a restart.
TEST_F(DaemonTest, AWriteThatCannotBeSavedChangesNothingNowOrAfterARestart) {
    const std::string taken = m_dir + "/state.json", seam = "PLD_ENGINED_TEST_FAIL_DIRECTORY_SYNC";
    const std::vector<std::pair<const char*, bool>> faults = {
        {"the new file cannot take the state file's name", false},
        {"the directory's fsync fails after the rename", true}};
    for (const auto& [name, afterRename] : faults) {
        if (afterRename) ::setenv(seam.c_str(), "1", 1);
        Process* d = daemon();
        ASSERT_TRUE(d) << name;
        if (!afterRename) {
            ASSERT_EQ(::mkdir(taken.c_str(), 0700), 0);  // a rename onto it fails
        }
        Client writer(m_socket), reader(m_socket);
        EXPECT_EQ(writer.call(writeOf(1, 10, 9))["status"], 13) << name;
        EXPECT_EQ(reader.call(kGet)["value"], 5) << name;
        if (!afterRename) {
            ::rmdir(taken.c_str());
            EXPECT_EQ(writer.call(writeOf(1, 11, 2))["status"], 0) << name;
        }
        ::unsetenv(seam.c_str());
        ::kill(d->pid, SIGTERM);
        EXPECT_EQ(d->exitStatus(), 0) << name;
        Process* again = daemon();
        ASSERT_TRUE(again) << name;
        EXPECT_EQ(Client(m_socket).call(kGet)["value"], 5) << name;
        ::kill(again->pid, SIGTERM);
        EXPECT_EQ(again->exitStatus(), 0) << name;
    }
    EXPECT_TRUE(logged("cannot save the state")) << log();
}

// A save begins under a new name: what was planted at the old one keeps its bytes. The state's
// directory is held from the start: a link swapped in for it later leads nowhere.
TEST_F(DaemonTest, ASaveWritesANewPrivateFileWhateverWasPlantedOnItsWay) {
    const std::string dir = m_dir + "/kept", victim = m_dir + "/victim",
                      temp = dir + "/state.json.tmp";
    ASSERT_EQ(::mkdir(dir.c_str(), 0700), 0);
    m_state = dir + "/state.json";
    ASSERT_TRUE(daemon());
    Client client(m_socket);
    const std::vector<std::pair<const char*, int (*)(const char*, const char*)>> plants = {
        {"a symbolic link", ::symlink},
        {"a hard link", ::link},
        {"a directory", [](const char*, const char* at) {
             return ::mkdir(at, 0700);
         }}};
    int value = 10;
    for (const auto& [name, plant] : plants) {
        std::ofstream(victim) << "precious";
        ::remove(temp.c_str());
        ASSERT_EQ(plant(victim.c_str(), temp.c_str()), 0) << name;
        EXPECT_EQ(client.call(writeOf(1, 10, ++value))["status"], 0) << name;
        EXPECT_EQ(contents(victim), "precious") << name;
        struct stat st {};
        ASSERT_EQ(::lstat(m_state.c_str(), &st), 0) << name;
        EXPECT_TRUE(S_ISREG(st.st_mode)) << name;
        EXPECT_EQ(st.st_mode & 0777, 0600u) << name;
        EXPECT_NE(contents(m_state).find(std::to_string(value)), std::string::npos);
    }
    const std::string elsewhere = m_dir + "/elsewhere";
    ASSERT_EQ(::mkdir(elsewhere.c_str(), 0700), 0);
    std::ofstream(elsewhere + "/state.json") << "precious";
    ASSERT_EQ(::rename(dir.c_str(), (m_dir + "/moved").c_str()), 0);
    ASSERT_EQ(::symlink(elsewhere.c_str(), dir.c_str()), 0);
    EXPECT_EQ(client.call(writeOf(1, 10, 10))["status"], 0);
    EXPECT_EQ(contents(elsewhere + "/state.json"), "precious");
    EXPECT_NE(contents(m_dir + "/moved/state.json").find("[10]"), std::string::npos);
}

// A state directory that another user could write to, or reach through, stops the daemon.
struct StateDirectory {
    const char* name;
    bool needsRoot;                                     // to give a directory to another user
    std::function<std::string(const std::string&)> at;  // makes it in the test's directory
    const char* said;                                   // "" when the daemon starts
};

std::ostream& operator<<(std::ostream& os, const StateDirectory& d) {
    return os << d.name;
}

class StateDirectories : public DaemonTest, public ::testing::WithParamInterface<StateDirectory> {};

TEST_P(StateDirectories, ThatAnotherUserCouldWriteToOrReachItThroughAreRefused) {
    if (GetParam().needsRoot && ::geteuid() != 0)
        GTEST_SKIP() << "needs root: giving a directory to another user";
    m_state = GetParam().at(m_dir) + "/state.json";
    Process& d = spawnDaemon();
    if (*GetParam().said == '\0') {
        EXPECT_TRUE(listening()) << log();
        return;
    }
    EXPECT_EQ(d.exitStatus(), 1) << log();
    EXPECT_TRUE(logged(GetParam().said)) << log();
}

// A directory in `parent`, of mode `mode` and user `uid` (-1: this process's).
std::string directory(const std::string& parent, const char* name, mode_t mode, uid_t uid = -1) {
    const std::string dir = parent + "/" + name;
    if (::mkdir(dir.c_str(), 0700) != 0 || ::chmod(dir.c_str(), mode) != 0 ||
        ::chown(dir.c_str(), uid, -1) != 0)
        ADD_FAILURE() << dir << ": " << std::strerror(errno);
    return dir;
}

INSTANTIATE_TEST_SUITE_P(
    States, StateDirectories,
    ::testing::Values(
        StateDirectory{"TheUsersOwnWithMode0755", false,
                       [](const std::string& in) { return directory(in, "own", 0755); }, ""},
        StateDirectory{"OpenToAllAndStickyAsTmpIs", false,
                       [](const std::string& in) { return directory(in, "tmp", 01777); },
                       "mode 1777, not one of uid"},
        StateDirectory{"ALinkToADirectoryOfTheUsersOwn", false,
                       [](const std::string& in) {
                           ::symlink(directory(in, "own", 0700).c_str(), (in + "/link").c_str());
                           return in + "/link";
                       },
                       "link is a symbolic link, which is not followed"},
        StateDirectory{"BelowALinkHigherUp", false,
                       [](const std::string& in) {
                           directory(in, "own", 0700);
                           ::symlink(in.c_str(), (in + "/up").c_str());
                           return in + "/up/own";
                       },
                       "up is a symbolic link, which is not followed"},
        StateDirectory{"AnotherUsers", true,
                       [](const std::string& in) { return directory(in, "theirs", 0700, 65534); },
                       "theirs is a directory of uid 65534, mode 0700, not one of uid 0"},
        StateDirectory{"TheUsersOwnBelowAnotherUsers", true,
                       [](const std::string& in) {
                           return directory(directory(in, "theirs", 0755, 65534).c_str(), "own",
                                            0700);
                       },
                       "theirs is a directory of uid 65534, mode 0755: each directory on the way"}),
    [](const auto& info) { return std::string(info.param.name); });

// The socket is born 0600, or 0660 with --group; widened, the peer's credentials keep strangers
// out, and every refusal is told.
TEST_F(DaemonTest, OnlyTheDaemonsUserRootAndWithGroupItsMembersMayConnect) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root: connecting as other users, whose credentials the daemon reads";
    const passwd* nobody = ::getpwnam("nobody");
    const group* team = nobody != nullptr ? ::getgrgid(nobody->pw_gid) : nullptr;
    if (team == nullptr) GTEST_SKIP() << "no user nobody with a group";
    const gid_t gid = team->gr_gid;
    const std::string name = team->gr_name;
    const uid_t stranger = 54321;  // no such user: its groups are its process's alone
    struct Case {
        const char* what;
        bool withGroup;
        uid_t uid;
        gid_t gid;
        bool answered;
    };
    const Case cases[] = {
        {"another user", false, nobody->pw_uid, nobody->pw_gid, false},
        {"a process of the group, without --group", false, stranger, gid, false},
        {"a process of the group, with --group", true, stranger, gid, true},
        {"a process of another group, with --group", true, stranger, stranger, false},
    };
    int refused = 0;
    ::umask(0);
    ASSERT_EQ(::chmod(m_dir.c_str(), 0711), 0);  // the others may reach the socket
    for (const Case& c : cases) {
        Process* d = daemon(c.withGroup ? std::vector<std::string>{"--group", name}
                                        : std::vector<std::string>{});
        ASSERT_TRUE(d) << c.what;
        struct stat st {};
        ASSERT_EQ(::stat(m_socket.c_str(), &st), 0) << c.what;
        EXPECT_EQ(st.st_mode & 0777, c.withGroup ? 0660u : 0600u) << c.what;
        if (c.withGroup) {
            EXPECT_EQ(st.st_gid, gid) << c.what;
        }
        ASSERT_EQ(::chmod(m_socket.c_str(), 0777), 0);
        ASSERT_EQ(Client(m_socket).call(writeOf(1, 10, 5))["status"], 0) << c.what;
        // Refused, a stranger tries 20 times: the refusals are told in a line or two.
        EXPECT_EQ(writeAs(c.uid, c.gid, m_socket, c.answered ? 1 : 20), c.answered ? 0 : 1)
            << c.what;
        EXPECT_EQ(Client(m_socket).call(kGet)["value"], c.answered ? 8 : 5) << c.what;
        refused += c.answered ? 0 : 20;
        WaitUntil([&] { return refusalsTold() >= refused; }, kWaitMs);
        EXPECT_EQ(refusalsTold(), refused) << c.what << log();
        ::kill(d->pid, SIGTERM);
        EXPECT_EQ(d->exitStatus(), 0) << c.what;
    }
    EXPECT_TRUE(logged("refused a connection from uid 54321")) << log();
    EXPECT_LE(occurrences(log(), "-engined: refused"), 6u) << log();  // 3 daemons, 20 refusals each
}

// Without --socket or XDG_RUNTIME_DIR the socket goes in a private directory under TMPDIR, which
// no one else may have made first.
TEST_F(DaemonTest, TheDefaultSocketIsInADirectoryOfTheUsersOwnThatNoOneElseMadeFirst) {
    ::unsetenv("XDG_RUNTIME_DIR");
    ::setenv("TMPDIR", m_dir.c_str(), 1);
    const std::string dir = m_dir + "/pld-engined-" + std::to_string(::geteuid());
    const std::vector<std::string> byDefault = {"--catalogue", m_dir + "/catalogue.json"};
    const auto refused = [&](const char* name, bool taken) {
        if (!taken) return;  // another user's, when not root
        EXPECT_EQ(spawn(PLD_ENGINED_LAUNCH, byDefault).exitStatus(), 1) << name;
        EXPECT_EQ(::remove(dir.c_str()), 0) << name;
    };
    refused("open to all", !::mkdir(dir.c_str(), 0700) && !::chmod(dir.c_str(), 0777));
    refused("a link to a directory", !::symlink(m_dir.c_str(), dir.c_str()));
    refused("another user's",
            ::geteuid() == 0 && !::mkdir(dir.c_str(), 0700) && !::chown(dir.c_str(), 54321, 0));
    EXPECT_TRUE(logged("cannot use " + dir + ": it is a symbolic link")) << log();
    spawn(PLD_ENGINED_LAUNCH, byDefault);
    m_socket = dir + "/engine.sock";
    ASSERT_TRUE(listening());
    struct stat st {};
    ASSERT_EQ(::lstat(dir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    EXPECT_EQ(st.st_uid, ::geteuid());
    EXPECT_EQ(Client(m_socket).call(kGet)["value"], 5);
}

// A daemon stopped in a save left its temporary file: the next removes it, and only it.
TEST_F(DaemonTest, StartsOnlyOnAFreeSocketAndAGoodStateFileAndStopsOnSigtermRemovingTheSocket) {
    std::ofstream(m_socket) << "notes";
    EXPECT_EQ(spawnDaemon().exitStatus(), 1);
    EXPECT_TRUE(std::ifstream(m_socket).good());  // still the file, not replaced by a socket
    ::unlink(m_socket.c_str());
    const std::string left = m_dir + "/.state.json.0123456789abcdef.tmp", other = left + "x";
    std::ofstream(left) << "half";
    std::ofstream(other) << "kept";
    Process* first = daemon();
    ASSERT_TRUE(first);
    EXPECT_NE(::access(left.c_str(), F_OK), 0);
    EXPECT_EQ(contents(other), "kept");
    EXPECT_EQ(spawnDaemon().exitStatus(), 1);
    Client client(m_socket);  // the first keeps its socket
    ASSERT_EQ(client.call({{"op", "Reg"}, {"kind", "pld"}, {"regArg", 0}})["status"], 0);
    ::kill(first->pid, SIGTERM);
    EXPECT_EQ(first->exitStatus(), 0);
    EXPECT_TRUE(client.closed());
    EXPECT_NE(::access(m_socket.c_str(), F_OK), 0);
    std::ofstream(m_dir + "/state.json")
        << R"({"points": [{"device": 1, "gddId": 10, "values": [500]}]})";
    EXPECT_EQ(spawnDaemon().exitStatus(), 1);
    EXPECT_TRUE(logged("does not fit")) << log();
}

}  // namespace
