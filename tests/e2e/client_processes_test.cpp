// Client processes that share one pld-engined through libZvPldProxy: e2e_client and pldctl
// processes, and a proxy in the test process itself, against the daemon as a real process.
#include <grp.h>

#include <algorithm>
#include <cstring>
#include <future>
#include <tuple>

#include "DaemonFixture.h"
#include "DistinctCatalogue.h"
#include "MockEngine.h"
#include "RawClient.h"
#include "Seen.h"
#include "ZvPldMsgClient.h"
#include "ZvPldProxy.h"
#include "ZvPldTypes.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

class EndToEndTest : public DaemonFixture {
  protected:
    void SetUp() override {
        DaemonFixture::SetUp();
        ::alarm(100);  // reads from children block: one that never answers ends the test here
        // Device 1, GddIds 1 to 16: int, writable, 0 at first.
        std::ofstream catalogue(m_dir + "/catalogue.json");
        catalogue << R"({"tickMs": 0, "devices": [{"index": 1, "points": [)";
        for (int g = 1; g <= 16; ++g) {
            catalogue << (g > 1 ? ", " : "") << R"({"gddId": )" << g
                      << R"(, "access": "rw", "min": 0, "max": 1000000, "values": [0]})";
        }
        catalogue << "]}]}";
    }
};

// pldctl's exit status on each subcommand's failing paths and a success (`sim` and `scenario`
// have tests of their own): device 9 is unknown,
// device 4 has no product identity, point 101 takes -500 to 850 and is no enumeration, 102 is
// read-only, 103 has no report and 104's report no ancestor record.
const struct {
    std::vector<std::string> args;
    int status;
} kPldctlRuns[] = {{{"get", "9", "101"}, 1},
                   {{"get", "3", "101"}, 0},
                   {{"set", "3", "101", "851"}, 1},
                   {{"set", "3", "102", "0"}, 1},
                   {{"set", "3", "101", "50"}, 0},
                   {{"attrs", "9", "101"}, 1},
                   {{"attrs", "3", "101"}, 0},
                   {{"enum", "3", "101"}, 1},
                   {{"enum", "3", "102"}, 0},
                   {{"hierarchy", "9", "101"}, 1},
                   {{"hierarchy", "3", "103"}, 1},
                   {{"hierarchy", "3", "104"}, 1},
                   {{"hierarchy", "3", "101"}, 0},
                   {{"report", "3", "1099"}, 1},
                   {{"report", "3", "1010"}, 0},
                   {{"info"}, 1},
                   {{"events"}, 0},
                   {{"get", "3"}, 106}};

// What the client's notifications and answer pieces said, on its delivery thread.
Seen g_heard;
void hear(const std::string& what) {
    g_heard.Add(what);
}
// All heard, once it is `least` characters or after 5 s.
std::string heard(std::size_t least) {
    const auto joined = [](const std::vector<std::string>& parts) {
        std::string all;
        for (const std::string& part : parts) all += part;
        return all;
    };
    WaitUntil([&] { return joined(g_heard.Lines()).size() >= least; }, 5000);
    return joined(g_heard.Take());
}

// Parts joined by spaces, each call made after the one before it.
struct Said {
    template <class T>
    Said& operator<<(const T& part) {
        out << part << ' ';
        return *this;
    }
    std::ostringstream out;
};
#define SAID(parts) (Said() << parts).out.str()

ZvVelPntDfn pnt(std::uint32_t gddId, std::uint16_t mmIdx = 0, std::uint32_t uofm = 0) {
    return ZvVelPntDfn{3, gddId, mmIdx, 0, 0, nullptr, uofm};
}
const ZvVelPntDfn k101 = pnt(101), k101m1 = pnt(101, 1), k101f = pnt(101, 0, 1), k102 = pnt(102),
                  k103 = pnt(103), k104 = pnt(104);

Client* g_other;  // a raw client, for the operations the message client does not make

struct Call {
    const char* name;
    std::function<std::string(ZvPldMsgClient&)> run;
    const char* said;
};

// In this order, on one daemon: a write's row reads its value back. Texts go into buffers of 12
// '#' and a NUL.
// clang-format off
const Call kCalls[] = {
    {"Init", [](ZvPldMsgClient& c) { return SAID(c.Init()); }, "1 "},
    {"Texts", [](ZvPldMsgClient& c) {
        char b[4][13] = {"############", "############", "############", "############"};
        return SAID(c.GetVelPntStrLabel(&k101, 8, b[0]) << b[0]
                    << c.GetVelPntStrDscrptn(&k101, 12, b[1]) << b[1]
                    << c.GetVelPntStrUoM(&k101f, 12, b[2]) << b[2]
                    << c.GetVelPntStr(&k101m1, 12, b[3]) << b[3]);
    }, "0 Supply s#### 0 Requested su 0 degF 0 45.6 "},
    {"Numbers", [](ZvPldMsgClient& c) {
        std::int32_t i = 0;
        std::uint32_t u = 0, rights = 0, type = 0, nf = 0;
        Y4paVelDsply uom{};
        return SAID(c.GetVelPntInt32(&k101, &i) << i << c.GetVelPntUint32(&k103, &u) << u
                    << c.GetVelPntAccessRights(&k101, &rights) << rights
                    << c.GetVelPntDataType(&k102, &type) << type << c.GetVelPntDsplyNF(&k101, &nf)
                    << nf << c.GetVelPntUoMId(&k101, &uom) << uom.uofmId);
    }, "0 -123 0 3000000000 0 3 0 9 0 10 0 12 "},
    {"Counts", [](ZvPldMsgClient& c) {
        return SAID(c.GetMaxRprtMMCnt(3, 101) << c.GetMaxPntArrayDim(3, 101)
                    << c.GetPointsRprt(3, 101) << c.GetMaxNmbrAncstrs(3));
    }, "2 4 1020 5 "},
    {"Reports", [](ZvPldMsgClient& c) {
        alignas(8) unsigned char buf[sizeof(ZvPldEngAncestors) + 2 * sizeof(ZvPldEngAncestorEntry)];
        ZvVelRprtDfn r{3, 1020, 0, buf, sizeof buf}, cut{3, 1020, 0, buf, sizeof buf - 1},
            none{3, 1030, 0, buf, sizeof buf}, label{3, 1010, 1, nullptr, 0};
        if (c.GetRprtAncstr(&r) != 0) return std::string("no chain");
        const ZvPldEngAncestors& a = *reinterpret_cast<const ZvPldEngAncestors*>(buf);
        char b[13] = "############";
        return SAID(a.gddId << a.mmIdx << a.auxValue << a.nmbrAncstrs << a.ancstrs[0].gddId
                    << a.ancstrs[0].mmIdx << a.ancstrs[0].auxValue << a.ancstrs[1].gddId
                    << a.ancstrs[1].mmIdx << a.ancstrs[1].auxValue << c.GetRprtAncstr(&cut)
                    << c.GetRprtAncstr(&none) << c.GetVelRprtStrLabel(&label, 12, b) << b);
    }, "1020 0 2 2 1010 1 70000 1000 0 77 11 85 7 Circuit 2 "},
    {"Enum", [](ZvPldMsgClient& c) {
        ZvEnumStateType type{};
        std::uint16_t count = 0, values[3] = {0, 0, 99};
        const ZvVelPntEnum eco{3, 102, 5};
        char b[13] = "############";
        return SAID(c.GetVelEnumStateInfo(3, 102, &type, &count, 2, values) << type.type << count
                    << values[0] << values[1] << values[2] << c.GetVelEnumStateStr(&eco, 12, b)
                    << b);
    }, "0 6 3 0 2 99 0 Eco "},
    {"Writes", [](ZvPldMsgClient& c) {
        std::int32_t i = 0;
        std::uint32_t u = 0;
        char b[13] = "############";
        return SAID(c.SetVelPntInt32(&k101, 851, 0) << c.SetVelPntInt32(&k101m1, -321, 0)
                    << c.GetVelPntInt32(&k101m1, &i) << i
                    << c.SetVelPntUint32(&k103, 4000000000u, 0) << c.GetVelPntUint32(&k103, &u)
                    << u << c.SetVelPntStr(&k104, "Hall C", 0) << c.GetVelPntStr(&k104, 12, b)
                    << b);
    }, "5 0 0 -321 0 0 4000000000 0 0 Hall C "},
    {"Process", [](ZvPldMsgClient& c) {
        ZvPldEngInfo info{5, nullptr, "/httpGetSet/httpGet.htm", "evt=vel~eventsWA~or~3",
                          [](ZvCallbackInfo* piece) {
                              hear(std::string(piece->pProcOutBuf, piece->procOutLen));
                              return 0;
                          }, 2};
        return SAID(c.Process(&info) << heard(9));
    }, "0 (1,3:7,2) "},
    {"Identity", [](ZvPldMsgClient& c) {
        ZvVelInventory inv{};
        ZvProductIdentSeq none{}, *seq = c.GetProdSeqId(3);
        const std::unique_ptr<ZvProductIdentSeq, void (*)(void*)> owned(seq, std::free);
        seq = seq ? seq : &none;
        char fdm[64] = "";
        return SAID(c.GetVelServerInventory(&inv) << inv.serverVersion << inv.nmbrDevices
                    << inv.maxDevices << inv.pldCount << inv.serverName << +seq->nmbrIds
                    << +seq->revision << seq->ids[0] << seq->ids[3] << c.GetProdSeqId(9)
                    << c.GetProdSeqId(4) << c.GetVelFDMVersion(3, sizeof fdm, fdm) << fdm);
    }, "0 196610 2 32 1 ZvPld simulated engine 4 9 4660 513 0 0 0 FDM 04.12.0031 rel2 "},
    {"Notifications", [](ZvPldMsgClient& c) {
        c.RegValueChange([](void*, const ZvValChgInfo* i) {
            hear(SAID("value" << i->valueId << i->mmIdx << i->deviceIdx << i->dataType
                      << i->length << i->pData[0] << i->pData[1]));
        }, nullptr, 0);
        c.RegVelEvent([](void*, const ZvVEventInfo* i) {
            hear(SAID("event" << i->eventId << i->deviceIdx << i->eventState << i->groupId));
        }, nullptr, 0);
        c.RegPldCntChng([](void*, unsigned long count) { hear(SAID("pld" << count)); }, nullptr, 0);
        g_other->call({{"op", "SetVelPntInt32"}, {"value", -2},
                       {"pnt", {{"deviceIdx", 3}, {"gddId", 101}, {"mmIdx", 1}}}});
        g_other->call({{"op", "SetEventState"}, {"eventId", 7}, {"state", 6}});
        g_other->call({{"op", "AnnouncePldCount"}});
        return SAID(heard(50) << c.UnReg(1));
    }, "value 101 1 3 1 2 65535 65534 event 7 3 6 3 pld 2  0 "},
};
// clang-format on

// Every operation through the real daemon and the client, each answer one that no default gives;
// then pldctl's runs on the same daemon.
TEST_F(EndToEndTest, EveryOperationGivesTheClientTheEnginesAnswerAndPldctlItsExitStatus) {
    std::ofstream(m_dir + "/catalogue.json") << kDistinctCatalogue;
    ASSERT_TRUE(daemon());
    ZvPldMsgClient client(m_engine.c_str(), "e2e", "");
    Client other(m_socket);
    g_other = &other;
    for (const Call& call : kCalls) EXPECT_EQ(call.run(client), call.said) << call.name;
    for (const auto& c : kPldctlRuns) {
        EXPECT_EQ(pldctl(c.args).exitStatus(), c.status) << ::testing::PrintToString(c.args);
    }
    // A scenario's step on device 9 is refused by the engine of the catalogue it is checked on.
    for (const auto& [device, catalogue, status] :
         {std::tuple{"9", "catalogue.json", 1}, {"3", "catalogue.json", 0}, {"3", "none", 2}}) {
        std::ofstream(m_dir + "/step.json")
            << R"({"name": "s", "steps": [{"at": 0, "do": "offline", "device": )" << device
            << "}]}";
        EXPECT_EQ(pldctl({"scenario", "check", m_dir + "/step.json", "--catalogue",
                          m_dir + "/" + catalogue})
                      .exitStatus(),
                  status)
            << device << " " << catalogue;
    }
}

std::vector<int> g_changed;

TEST_F(EndToEndTest, ADaemonKilledDuringACallFailsItInTimeAndARestartedOneKeepsTheWrite) {
    Process* d = daemon();
    ASSERT_TRUE(d);
    // Short of the default deadline (2 s), so that a client ignoring this one fails the bound.
    const std::string engine = m_engine + "?deadline_ms=500";
    ZvPldProxy proxy(engine.c_str(), "");
    proxy.RegisterForValueChange(
        [](void*, const ZvValChgInfo* info) { g_changed.push_back(info->pData[1]); }, nullptr, 0);
    auto changesUntil = [&](std::size_t count) {
        WaitUntil([&] { return proxy.CheckValueChange(), g_changed.size() >= count; }, 60000);
        return g_changed;
    };
    ASSERT_EQ(proxy.SetValueSInt32(42, 1, 5, 1, 0, 0, 0, 0), 0);
    ASSERT_EQ(changesUntil(1), std::vector<int>{42});
    // Stopped first, so that the request is surely unanswered when it dies; the wait reports the
    // last of its threads stopped.
    ::kill(d->pid, SIGSTOP);
    ASSERT_EQ(::waitpid(d->pid, nullptr, WUNTRACED), d->pid);
    auto log = std::make_unique<LogCapture>();
    const auto start = Clock::now();
    int value = 0;
    auto call = std::async(std::launch::async,
                           [&] { return proxy.GetValueSInt32(&value, 1, 5, 1, 0, 0, 0); });
    call.wait_for(milliseconds(100));  // the request is in flight by then
    ::kill(d->pid, SIGKILL);
    EXPECT_EQ(call.get(), 2);
    EXPECT_LT(Clock::now() - start, milliseconds(1500));  // a margin for slow machines
    // The registration's reconnections may meanwhile have told, once, that they cannot.
    std::vector<std::string> texts = log->takeTexts();
    const std::string refused =
        "cannot connect to the engine at " + m_socket + ": Connection refused";
    EXPECT_LE(std::count(texts.begin(), texts.end(), refused), 1);
    texts.erase(std::remove(texts.begin(), texts.end(), refused), texts.end());
    EXPECT_EQ(texts, std::vector<std::string>{"GetValueSInt32 - unable to get data due "
                                              "to error:13 - GddId: 5, mmIdx:1, uofm: 0"});
    log.reset();
    EXPECT_EQ(d->exitStatus(), 128 + SIGKILL);

    ASSERT_TRUE(daemon());
    EXPECT_EQ(proxy.GetValueSInt32(&value, 1, 5, 1, 0, 0, 0), 0);  // reconnects
    EXPECT_EQ(value, 42);
    // The reconnection registered again: a write by another process reaches this one.
    EXPECT_EQ(pldctl({"set", "1", "5", "43"}).line(), "set: 0 (ok)");
    EXPECT_EQ(changesUntil(2), (std::vector<int>{42, 43}));
}

// With no daemon to answer, pldctl says why in one line, naming the socket and the cause, and
// exits 3 at its first call rather than failing each call with a line of its own. The socket
// in a directory that may not be entered: pldctl runs as nobody when the test is root.
TEST_F(EndToEndTest, PldctlThatCannotReachTheEngineSaysWhyOnceAndExits3) {
    const std::string missing = m_dir + "/none/engine.sock", dead = m_dir + "/dead.sock",
                      shut = m_dir + "/shut/engine.sock";
    sockaddr_un address{AF_UNIX, {}};
    std::strncpy(address.sun_path, dead.c_str(), sizeof address.sun_path - 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);  // bound, closed: a socket no one serves
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::close(fd);
    // Listening, never accepting: the connection is made and nothing answers.
    const std::string silent = m_dir + "/silent.sock";
    std::strncpy(address.sun_path, silent.c_str(), sizeof address.sun_path - 1);
    const int listening = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_EQ(::bind(listening, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listening, 8), 0);
    ASSERT_EQ(::mkdir((m_dir + "/shut").c_str(), 0), 0);
    std::ofstream(m_dir + "/s.json")
        << R"({"name": "s", "steps": [{"at": 0, "do": "offline", "device": 1}]})";
    const std::string noFile = "No such file or directory";
    const struct {
        std::string socket;
        std::vector<std::string> args;
        const char* cause;
        const char* prefix = "";  // before "engine not reachable"
        std::size_t printed = 0;  // lines on stdout
        std::string said = {};    // the whole line, when it tells no failure to connect
        int status = 3;
    } cases[] = {
        {missing, {"get", "1", "1"}, noFile.c_str()},
        {missing, {"set", "1", "1", "5"}, noFile.c_str()},
        {missing, {}, noFile.c_str()},
        {missing, {"watch", "--seconds", "30"}, noFile.c_str()},
        {missing, {"info"}, noFile.c_str()},
        {missing, {"events"}, noFile.c_str()},
        {missing, {"capture", "--points", "1-2"}, noFile.c_str()},
        {missing, {"sim", "status"}, noFile.c_str(), "sim status: "},
        {missing, {"sim", "events"}, noFile.c_str(), "sim events: "},
        {missing, {"scenario", "run", m_dir + "/s.json"}, noFile.c_str(), "", 1},
        {dead, {"get", "1", "1"}, "Connection refused"},
        {dead, {"sim", "status"}, "Connection refused", "sim status: "},
        {shut, {"get", "1", "1"}, "Permission denied"},
        {silent + "?deadline_ms=300",
         {"get", "1", "1"},
         "",
         "",
         0,
         "pldctl: engine not reachable: unix:" + silent +
             ": the engine did not answer within 300 ms: calls fail with 13 until it answers "
             "again"},
        {silent + "?deadline_ms=300",
         {"sim", "status"},
         "",
         "",
         0,
         "pldctl: sim status: engine not reachable: no answer within 300 ms"},
        // A mistake on the command line rather than an engine out of reach: 2.
        {silent + "?deadline_ms=0",
         {"sim", "status"},
         "",
         "",
         0,
         "pldctl: --engine unix:" + silent + "?deadline_ms=0: deadline_ms must be 1 to 3600000: 0",
         2},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {"--engine", "unix:" + c.socket};
        args.insert(args.end(), c.args.begin(), c.args.end());
        std::ofstream(m_dir + "/log", std::ios::trunc).flush();
        Process& run = spawn(PLDCTL_LAUNCH, args, [&c, &shut] {
            if (c.socket == shut && ::geteuid() == 0 &&
                (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)) {
                ::_exit(126);
            }
        });
        const std::string what = ::testing::PrintToString(args);
        EXPECT_EQ(run.lines().size(), c.printed) << what;
        EXPECT_EQ(run.exitStatus(), c.status) << what;
        EXPECT_EQ(log(), (c.said.empty() ? std::string("pldctl: ") + c.prefix +
                                               "engine not reachable: cannot connect to the "
                                               "engine at " +
                                               c.socket + ": " + c.cause
                                         : c.said) +
                             "\n")
            << what;
    }
    ::close(listening);
}

// Neither the daemon nor its clients given a path, they meet on the default socket: in the
// runtime directory, or without one in a directory of the user's own under TMPDIR.
TEST_F(EndToEndTest, ADaemonAndItsClientsGivenNoSocketMeetOnTheDefaultOne) {
    const std::string runtime = m_dir + "/runtime";
    ASSERT_EQ(::mkdir(runtime.c_str(), 0700), 0);
    ::setenv("TMPDIR", m_dir.c_str(), 1);
    for (const auto& [xdg, socket] :
         {std::pair{runtime, runtime + "/pld-engined.sock"},
          {std::string(),
           m_dir + "/pld-engined-" + std::to_string(::geteuid()) + "/engine.sock"}}) {
        xdg.empty() ? ::unsetenv("XDG_RUNTIME_DIR") : ::setenv("XDG_RUNTIME_DIR", xdg.c_str(), 1);
        Process& d = spawn(PLD_ENGINED_LAUNCH, {"--catalogue", m_dir + "/catalogue.json"});
        m_socket = socket;
        ASSERT_TRUE(listening()) << socket << log();
        for (const char* text : {"unix:", "unix:?deadline_ms=5000"}) {
            ZvPldMsgClient client(text, "e2e", "");
            EXPECT_EQ(client.Init(), 1) << text << " at " << socket;
        }
        m_engine = "unix:";
        EXPECT_EQ(pldctl({"set", "1", "1", "7"}).line(), "set: 0 (ok)") << socket << log();
        ::kill(d.pid, SIGTERM);
        EXPECT_EQ(d.exitStatus(), 0) << socket;
    }
}

// Each process writes points of its own and is owed every process's changes, its own included.
TEST_F(EndToEndTest, FourProcessesOfFourThreadsGetEveryReplyAndEveryChange) {
    constexpr int kProcesses = 4, kThreads = 4, kTotal = kProcesses * kThreads * E2E_LOAD_OPS;
    ASSERT_TRUE(daemon());
    // Replies and changes are counted, not timed: an emulated target on a busy machine is slow.
    const std::string engine = m_engine + "?deadline_ms=20000";
    std::vector<Process*> clients;
    for (int p = 0; p < kProcesses; ++p) {
        clients.push_back(
            &spawn(E2E_CLIENT_LAUNCH, {engine, std::to_string(p), std::to_string(kThreads),
                                       std::to_string(E2E_LOAD_OPS), std::to_string(kTotal)}));
        EXPECT_EQ(clients.back()->line(), "ready");  // registered for value changes
    }
    for (Process* c : clients) c->closeInput();  // all registered before any writes
    std::ostringstream expected;
    expected << "load: " << 2 * kThreads * E2E_LOAD_OPS << " of " << 2 * kThreads * E2E_LOAD_OPS
             << " replies right, " << kTotal << " of " << kTotal << " changes, gaps 0";
    for (Process* c : clients) EXPECT_EQ(c->line(), expected.str());
}

}  // namespace
