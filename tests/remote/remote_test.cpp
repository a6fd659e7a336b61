// The frame codec, and the message client talking to a fake engine daemon that lives in the test
// process: a listening Unix socket in a temporary directory, one connection at a time.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Frames.h"
#include "MockEngine.h"
#include "Seen.h"
#include "Wire.h"
#include "ZvPldMsgClient.h"
#include "dlog.h"
#include "sim/Controller.h"

namespace {

using json = nlohmann::json;
using Bytes = std::vector<std::uint8_t>;
using Result = zvwire::FrameDecoder::Result;

TEST(FrameDecoder, CutsAnyChunkingOfAStreamIntoItsMessages) {
    // The long one first: the bytes it leaves behind are dropped while the others are cut.
    const std::vector<json> sent = {{{"text", std::string(70000, 'x')}},
                                    {{"id", 1}, {"op", "Init"}},
                                    {{"ntf", "piece"}, {"buf", json::binary({0, 'a', 0xFF})}}};
    Bytes stream;
    for (const json& m : sent) zvwire::AppendFrame(m, stream);
    for (const std::size_t chunk : {std::size_t{1}, std::size_t{7}, stream.size()}) {
        zvwire::FrameDecoder decoder;
        std::vector<json> got;
        for (std::size_t at = 0; at < stream.size(); at += chunk) {
            decoder.Feed(stream.data() + at, std::min(chunk, stream.size() - at));
            for (json m; decoder.Next(m) == Result::Message;) got.push_back(m);
        }
        EXPECT_EQ(got, sent) << "chunks of " << chunk;
    }
}

// Answers each request with what `answer` gives: messages without "ntf" get the request's id;
// {"raw": bytes} goes out as it is; {"pause_ms": N} holds the next one back; nothing at all leaves
// the request unanswered.
class FakeDaemon {
  public:
    using Answer = std::function<std::vector<json>(const json& request)>;
    explicit FakeDaemon(Answer answer) : m_answer(std::move(answer)) {
        char dir[] = "/tmp/zvremoteXXXXXX";
        m_path = mkdtemp(dir) + std::string("/engine.sock");
        Start();
    }
    ~FakeDaemon() {
        Stop();
        rmdir(m_path.substr(0, m_path.rfind('/')).c_str());
    }
    void Start() {
        sockaddr_un address{AF_UNIX, {}};
        std::strcpy(address.sun_path, m_path.c_str());
        m_listener = socket(AF_UNIX, SOCK_STREAM, 0);
        bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
        listen(m_listener, 4);
        m_thread = std::thread([this] { serve(); });
    }
    // As the daemon's exit: its socket file goes, and its connection with it.
    void Stop() {
        if (!m_thread.joinable()) return;
        shutdown(m_listener, SHUT_RDWR);
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_client >= 0) shutdown(m_client, SHUT_RDWR);
        }
        m_thread.join();
        close(m_listener);
        unlink(m_path.c_str());
    }
    std::string Text(int deadlineMs = 1000) const {
        return "unix:" + m_path + "?deadline_ms=" + std::to_string(deadlineMs);
    }
    std::vector<json> Requests() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_requests;
    }

  private:
    void serve() {
        for (int fd; (fd = accept(m_listener, nullptr, nullptr)) >= 0;) {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_client = fd;
            zvwire::FrameDecoder decoder;
            std::uint8_t chunk[4096];
            lock.unlock();
            for (ssize_t n; (n = recv(fd, chunk, sizeof chunk, 0)) > 0;) {
                decoder.Feed(chunk, static_cast<std::size_t>(n));
                for (json request; decoder.Next(request) == Result::Message;) {
                    lock.lock();
                    m_requests.push_back(request);
                    lock.unlock();
                    for (json out : m_answer(request)) {
                        if (out.contains("pause_ms")) {
                            std::this_thread::sleep_for(std::chrono::milliseconds(out["pause_ms"]));
                            continue;
                        }
                        if (!out.contains("raw") && !out.contains("ntf")) out["id"] = request["id"];
                        const Bytes bytes =
                            out.contains("raw") ? Bytes(out["raw"].get_binary()) : frames::Of(out);
                        send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
                    }
                }
            }
            lock.lock();
            close(fd);
            m_client = -1;
        }
    }
    Answer m_answer;
    std::string m_path;
    int m_listener = -1;
    std::mutex m_mutex;
    int m_client = -1;
    std::vector<json> m_requests;
    std::thread m_thread;
};

const std::thread::id g_testThread = std::this_thread::get_id();

// What the capture and response functions saw: "pld 7", "event 3", "value 2:1,2", "piece 0 ab",
// with " on the caller" when called on the test's thread.
Seen g_calls;
void see(const std::string& call) {
    g_calls.Add(call + (std::this_thread::get_id() == g_testThread ? " on the caller" : ""));
}

void OnPld(void* context, unsigned long count) {
    see(static_cast<const char*>(context) + std::string(" ") + std::to_string(count));
}
void OnEvent(void*, const ZvVEventInfo* info) {
    see("event " + std::to_string(info->eventId));
}
void OnValue(void*, const ZvValChgInfo* info) {
    std::string units;
    for (int i = 0; i < info->length; ++i) units += "," + std::to_string(info->pData[i]);
    see("value " + std::to_string(info->length) + ":" + units.substr(1));
}
int OnPiece(ZvCallbackInfo* cbi) {
    see(std::string(static_cast<const char*>(cbi->pUserData)) + " " +
        std::to_string(cbi->sequence) + " " +
        std::string(cbi->pProcOutBuf, cbi->procOutBufSize).c_str());
    return 0;
}
std::atomic<ZvPldMsgClient*> g_doomed{nullptr};
int DeleteClient(ZvCallbackInfo*) {
    WaitUntil([] { return g_doomed != nullptr; });  // Process has returned
    delete g_doomed.load();
    see("deleted");
    return 0;
}
std::atomic<bool> g_inside{false};
void OnPldSlowly(void*, unsigned long) {
    g_inside = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    see("pld");
    g_inside = false;
}

const json kOk = {{"status", 0}};
json PldCount(unsigned long count) {
    return {{"ntf", "pld"}, {"count", count}};
}
// A piece of request 1's answer in a buffer of four bytes.
json Piece(int sequence, const std::string& text) {
    json piece = json::parse(R"({"ntf": "piece", "req": 1, "status": 0, "reqType": 2,
                                 "reqParam": 0, "bufSize": 4})");
    piece["sequence"] = sequence;
    piece["len"] = text.size();
    piece["buf"] = json::binary(Bytes(text.begin(), text.end()));
    return piece;
}

const ZvVelPntDfn kPnt{1, 1001, 2, 0, -1, "aux", 0};

TEST(RemoteEngine, DeliversNotificationsWithOrWithoutACallAndPiecesUntilTheLastOnAThreadOfItsOwn) {
    FakeDaemon daemon([](const json& r) -> std::vector<json> {
        static const json notes = json::parse(R"({"pld": {"ntf": "pld", "count": 7},
            "event": {"ntf": "event", "info": {"sequence": 1, "eventId": 3, "deviceIdx": 1,
                                               "eventState": 1, "groupId": 2}},
            "value": {"ntf": "value", "data": [1, 2], "info": {"sequence": 1, "valueId": 9,
                      "mmIdx": 0, "deviceIdx": 1, "length": 5, "dataType": 1}}})");
        if (r["op"] == "Reg") return {kOk, notes.at(r["kind"].get<std::string>())};
        // The stray piece after the last one would come before the second PLD count; the third
        // comes once no call is under way, and nobody waits for a reply.
        return {Piece(0, "abcd"),   Piece(1, "ef"), Piece(2, "gh"), PldCount(8), kOk,
                {{"pause_ms", 50}}, PldCount(9)};
    });
    ZvPldMsgClient client(daemon.Text().c_str(), "two", "three");
    char pld[] = "pld", answer[] = "piece";
    EXPECT_EQ(client.RegPldCntChng(OnPld, pld, 1), 0);
    EXPECT_EQ(client.RegVelEvent(OnEvent, nullptr, 1), 0);
    EXPECT_EQ(client.RegValueChange(OnValue, nullptr, 1), 0);
    ZvPldEngInfo request{0, answer, "/path", "query", OnPiece, 2};
    EXPECT_EQ(client.Process(&request), 0);
    EXPECT_EQ(g_calls.Lines(7),
              (std::vector<std::string>{"pld 7", "event 3", "value 2:1,2", "piece 0 abcd",
                                        "piece 1 ef", "pld 8", "pld 9"}));
    EXPECT_EQ(daemon.Requests().back()["req"], 1);
}

TEST(RemoteEngine, AFailingDaemonGivesEveryCallItsFailureValueWithinTheDeadline) {
    const std::vector<std::pair<const char*, std::vector<json>>> faults = {
        {"silent", {}},
        {"malformed frame", {json{{"raw", json::binary({0, 0, 0, 1, 0xC1})}}}},
        {"fields of the wrong type", {json{{"status", "x"}, {"value", "x"}, {"seq", 1}}}},
        {"a piece longer than its buffer before a good reply",
         {Piece(0, "abcde"), json{{"status", 0}, {"value", 1}}}},
    };
    for (const auto& [name, replies] : faults) {
        FakeDaemon daemon([&](const json&) { return replies; });
        ZvPldMsgClient client(daemon.Text(100).c_str(), "two", "three");
        std::int32_t value = 0;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(client.Init(), 0) << name;
        EXPECT_EQ(client.GetVelPntInt32(&kPnt, &value), 13) << name;
        EXPECT_EQ(client.GetMaxNmbrAncstrs(1), 0xFFFFFFFFu) << name;
        EXPECT_EQ(client.GetMaxRprtMMCnt(1, 1001), 0u) << name;
        EXPECT_EQ(client.GetProdSeqId(1), nullptr) << name;
        // Five calls of at most 100 ms each: well under the 2 s default deadline.
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1900))
            << name;
    }
}

// Cut to the field's type, each of these would pass for a good reply.
TEST(RemoteEngine, AReplyFieldOutOfItsRangeOrOfTheWrongTypeFailsTheCall) {
    struct Case {
        const char* name;
        json reply;
        std::function<long long(ZvPldMsgClient&)> call;
        long long failure;
    };
    const auto int32 = [](ZvPldMsgClient& c) {
        std::int32_t value = 0;
        return static_cast<long long>(c.GetVelPntInt32(&kPnt, &value));
    };
    const std::vector<Case> cases = {
        {"a status beyond an int", {{"status", 1LL << 32}, {"value", 1}}, int32, 13},
        {"a value beyond 32 bits", {{"status", 0}, {"value", 1LL << 31}}, int32, 13},
        {"a negative count",
         {{"value", -1}},
         [](ZvPldMsgClient& c) { return static_cast<long long>(c.GetMaxRprtMMCnt(1, 1001)); },
         0},
        {"a state beyond 16 bits",
         {{"status", 0}, {"type", 4}, {"values", {65536}}},
         [](ZvPldMsgClient& c) {
             std::uint16_t values[1] = {0};
             return static_cast<long long>(
                 c.GetVelEnumStateInfo(1, 1001, nullptr, nullptr, 1, values));
         },
         13},
        {"a text that is a number",
         {{"status", 0}, {"text", 5}},
         [](ZvPldMsgClient& c) {
             char text[8] = "";
             return static_cast<long long>(c.GetVelPntStrLabel(&kPnt, sizeof text, text));
         },
         13},
        // The first request's id, 1, plus 2^32.
        {"a reply id beyond 32 bits",
         {{"raw",
           json::binary(frames::Of({{"id", (1LL << 32) + 1}, {"status", 0}, {"value", 1}}))}},
         int32,
         13},
    };
    for (const Case& c : cases) {
        FakeDaemon daemon([&](const json&) { return std::vector<json>{c.reply}; });
        ZvPldMsgClient client(daemon.Text().c_str(), "two", "three");
        EXPECT_EQ(c.call(client), c.failure) << c.name;
    }
}

TEST(RemoteEngine, AClientReconnectsWithInitAndItsRegistrationsWhileATooLongRequestFailsAlone) {
    FakeDaemon daemon([](const json& r) -> std::vector<json> {
        if (r["op"] == "Init") return {{{"value", 1}}};
        if (r["op"] == "Reg") return {kOk, PldCount(1)};
        if (r["op"] == "GetVelPntInt32") return {{{"status", 0}, {"value", -42}}};
        return {{{"raw", json::binary({0, 0, 0, 0})}}};
    });
    daemon.Stop();
    ZvPldMsgClient client(daemon.Text().c_str(), "two", "three");
    char pld[] = "pld";
    EXPECT_EQ(client.RegPldCntChng(OnPld, pld, 9), 13);  // held until the daemon comes
    daemon.Start();
    ASSERT_EQ(g_calls.Lines(1), std::vector<std::string>{"pld 1"});
    ASSERT_EQ(client.Init(), 1);
    EXPECT_EQ(client.SetVelPntStr(&kPnt, std::string(zvwire::kMaxFrame, 'x').c_str(), 0), 13);
    std::uint32_t broken = 0;
    EXPECT_EQ(client.GetVelPntUint32(&kPnt, &broken), 13);
    std::int32_t value = 0;
    EXPECT_EQ(client.GetVelPntInt32(&kPnt, &value), 0);
    EXPECT_EQ(value, -42);
    std::vector<std::string> ops;
    for (const json& r : daemon.Requests()) ops.push_back(r["op"]);
    EXPECT_EQ(ops, (std::vector<std::string>{"Reg", "Init", "GetVelPntUint32", "Init", "Reg",
                                             "GetVelPntInt32"}));
    EXPECT_EQ(daemon.Requests()[3]["texts"], json({daemon.Text(), "two", "three"}));
    EXPECT_EQ(daemon.Requests()[4]["regArg"], 9);
    daemon.Stop();
    daemon.Start();
    EXPECT_EQ(g_calls.Lines(3), (std::vector<std::string>{"pld 1", "pld 1", "pld 1"}));
}

TEST(RemoteEngine, AResponseFunctionMayDeleteItsClient) {
    FakeDaemon daemon([](const json&) { return std::vector<json>{kOk, Piece(0, "ab")}; });
    auto* client = new ZvPldMsgClient(daemon.Text().c_str(), "two", "three");
    ZvPldEngInfo request{0, nullptr, "/path", "query", DeleteClient, 2};
    ASSERT_EQ(client->Process(&request), 0);
    g_doomed = client;
    EXPECT_EQ(g_calls.Lines(1), std::vector<std::string>{"deleted"});
    // The delivering thread's steps after the function returns, where a sanitizer sees a fault.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
}

TEST(RemoteEngine, UnRegReturnsOnceNoCaptureRunsAndNoneRunsAfter) {
    // Each reply is followed by a PLD count: UnReg's must go nowhere.
    FakeDaemon daemon([](const json&) {
        return std::vector<json>{{{"status", 0}, {"value", 5}}, PldCount(1)};
    });
    ZvPldMsgClient client(daemon.Text().c_str(), "two", "three");
    ASSERT_EQ(client.RegPldCntChng(OnPldSlowly, nullptr, 1), 0);
    ASSERT_TRUE(WaitUntil([] { return g_inside.load(); }));
    EXPECT_EQ(client.UnReg(1), 0);
    EXPECT_FALSE(g_inside);
    EXPECT_EQ(client.GetMaxRprtMMCnt(1, 1), 5u);  // its reply comes after UnReg's notification
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(g_calls.Lines(), std::vector<std::string>{"pld"});
}

// A daemon that accepts and reads every request but answers none until it is told to. The
// parameter: the client holds a registration, which it replays on each connection.
class HungDaemon : public testing::TestWithParam<bool> {};

TEST_P(HungDaemon, FailsCallsAtOnceAfterAMissedDeadlineUntilAProbeIsAnswered) {
    constexpr int kDeadlineMs = 500;
    constexpr int kCalls = 10;
    std::atomic<bool> answering{false};
    FakeDaemon daemon([&](const json& r) -> std::vector<json> {
        if (!answering) return {};
        if (r["op"] == "Reg") return {kOk, PldCount(1)};
        return {{{"status", 0}, {"value", 5}}};
    });
    LogCapture log;
    auto reached = [&] {
        int n = 0;
        for (const json& r : daemon.Requests()) n += r["op"] == "GetVelPntInt32";
        return n;
    };
    {
        ZvPldMsgClient client(daemon.Text(kDeadlineMs).c_str(), "two", "three");
        char pld[] = "pld";
        std::int32_t value = 0;
        // The first call spends its deadline.
        EXPECT_EQ(
            GetParam() ? client.RegPldCntChng(OnPld, pld, 1) : client.GetVelPntInt32(&kPnt, &value),
            13);
        const int before = reached();
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < kCalls; ++i) EXPECT_EQ(client.GetVelPntInt32(&kPnt, &value), 13);
        const long deadlines =
            (std::chrono::steady_clock::now() - start) / std::chrono::milliseconds(kDeadlineMs);
        const int probes = reached() - before;
        EXPECT_LE(probes, 1 + deadlines);
        EXPECT_LT(probes, kCalls);

        answering = true;
        EXPECT_TRUE(WaitUntil([&] { return client.GetVelPntInt32(&kPnt, &value) == 0; }));
        EXPECT_EQ(client.GetMaxRprtMMCnt(1, 1001), 5u);
        if (GetParam()) {
            EXPECT_EQ(g_calls.Lines(1), std::vector<std::string>{"pld 1"});
        }
    }
    const std::vector<std::string> lines = log.takeTexts();
    ASSERT_EQ(lines.size(), 2u) << testing::PrintToString(lines);
    EXPECT_NE(lines[0].find("did not answer within 500 ms"), std::string::npos) << lines[0];
    EXPECT_NE(lines[1].find("answers again"), std::string::npos) << lines[1];
}

INSTANTIATE_TEST_SUITE_P(Client, HungDaemon, testing::Bool(), [](const auto& info) -> std::string {
    return info.param ? "Registered" : "Calling";
});

// A text that names the daemon but cannot be read reaches no engine: not the daemon with a
// deadline it did not mean, not the engine of this process. It says so once; the control client
// refuses the same text.
TEST(RemoteEngine, ATextWithADeadlineThatDoesNotReadReachesNoEngine) {
    FakeDaemon daemon([](const json&) { return std::vector<json>{{{"status", 0}, {"value", 5}}}; });
    std::string base = daemon.Text(1);
    base.pop_back();  // "unix:PATH?deadline_ms="
    for (const char* deadline : {"0", "500ms"}) {
        LogCapture log;
        {
            ZvPldMsgClient client((base + deadline).c_str(), "two", "three");
            std::int32_t value = 0;
            EXPECT_EQ(client.Init(), 0) << deadline;
            EXPECT_EQ(client.GetVelPntInt32(&kPnt, &value), 13) << deadline;
        }
        const std::vector<std::string> lines = log.takeTexts();
        ASSERT_EQ(lines.size(), 1u) << testing::PrintToString(lines);
        EXPECT_NE(lines[0].find("deadline_ms must be 1 to 3600000: " + std::string(deadline) +
                                "; every call fails with 13"),
                  std::string::npos)
            << lines[0];
        std::string error;
        EXPECT_EQ(zvsim::Controller::Open(base + deadline, error), nullptr) << deadline;
        EXPECT_EQ(error, "deadline_ms must be 1 to 3600000: " + std::string(deadline));
    }
    EXPECT_TRUE(daemon.Requests().empty());
}

// The control client fails a command the daemon does not answer with the reason that pldctl and
// the console tell ("engine not reachable: ..."), and connects anew for the next.
TEST(RemoteControl, TellsWhyTheDaemonGaveNoAnswer) {
    std::atomic<bool> silent{false};
    FakeDaemon daemon([&](const json& r) -> std::vector<json> {
        if (silent) return {};
        return {r.contains("ask") ? kOk : json{{"status", 0}, {"answer", {{"ok", true}}}}};
    });
    const std::string text = daemon.Text();
    std::string error;
    const auto control = zvsim::Controller::Open(text, error);
    ASSERT_TRUE(control) << error;
    auto send = [](zvsim::Controller& c) {
        return json::parse(c.Send(R"({"do": "x"})"));
    };
    EXPECT_EQ(send(*control), json({{"ok", true}}));
    silent = true;
    EXPECT_EQ(send(*control)["error"], "engine not reachable: no answer within 1000 ms");
    daemon.Stop();
    EXPECT_EQ(send(*zvsim::Controller::Open(text, error))["error"],
              "engine not reachable: cannot connect to the engine at " +
                  text.substr(5, text.find('?') - 5) + ": No such file or directory");
}

// A client whose daemon is not there logs why once, not at each call; once it has been
// connected, the next time it cannot connect is told again.
TEST(RemoteEngine, TellsOnceThatItCannotConnectAndAgainAfterAConnection) {
    FakeDaemon daemon([](const json&) { return std::vector<json>{{{"value", 1}}}; });
    daemon.Stop();
    const std::string text = daemon.Text();
    const std::vector<std::string> told = {"cannot connect to the engine at " +
                                           text.substr(5, text.find('?') - 5) +
                                           ": No such file or directory"};
    LogCapture log;
    ZvPldMsgClient client(text.c_str(), "two", "three");
    for (int i = 0; i < 3; ++i) EXPECT_EQ(client.Init(), 0);
    EXPECT_EQ(log.takeTexts(), told);
    daemon.Start();
    EXPECT_EQ(client.Init(), 1);
    daemon.Stop();
    for (int i = 0; i < 3; ++i) EXPECT_EQ(client.Init(), 0);
    EXPECT_EQ(log.takeTexts(), told);
}

// Another user's socket at the path, answering anything, gets no call through: the client
// believes only a daemon of its own user's or root's, and says why it refused.
TEST(RemoteEngine, RefusesADaemonOfAnotherUserAsAnImpostor) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root: a daemon of another user, whose credentials the client reads";
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t impostor = ::fork();
    if (impostor == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::setgid(54321) != 0 || ::setuid(54321) != 0) ::_exit(2);
        FakeDaemon daemon([](const json&) { return std::vector<json>{kOk}; });
        const std::string text = daemon.Text();
        if (::write(ready[1], text.data(), text.size()) < 0) ::_exit(3);
        ::close(ready[1]);
        ::pause();
    }
    ::close(ready[1]);
    char text[256] = {};
    const ssize_t got = ::read(ready[0], text, sizeof text - 1);
    ::close(ready[0]);
    LogCapture log;
    if (got > 0) {
        ZvPldMsgClient client(text, "two", "three");
        EXPECT_EQ(client.SetVelPntInt32(&kPnt, 7, 0), 13);
    }
    ::kill(impostor, SIGKILL);
    ::waitpid(impostor, nullptr, 0);
    const std::string path = std::string(text).substr(5, std::string(text).find('?') - 5);
    ::unlink(path.c_str());
    ::rmdir(path.substr(0, path.rfind('/')).c_str());
    ASSERT_GT(got, 0) << "the impostor did not start";
    const std::string lines = testing::PrintToString(log.takeTexts());
    EXPECT_NE(lines.find("served by uid 54321"), std::string::npos) << lines;
    EXPECT_NE(lines.find("refused as an impostor"), std::string::npos) << lines;
}

}  // namespace
