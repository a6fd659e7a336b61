// The frame codec, and the message client talking to a fake engine daemon that lives in the test
// process: a listening Unix socket in a temporary directory, one connection at a time.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
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

#include "Wire.h"
#include "ZvPldMsgClient.h"

namespace {

using json = nlohmann::json;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;
using Result = zvwire::FrameDecoder::Result;

Bytes frame(const json& message) {
    Bytes out;
    zvwire::AppendFrame(message, out);
    return out;
}

// Answers each request with what `answer` gives: messages without "ntf" get the request's id;
// {"raw": bytes} goes out as it is; nothing at all leaves the request unanswered.
class FakeDaemon {
  public:
    using Answer = std::function<std::vector<json>(const json& request)>;
    explicit FakeDaemon(Answer answer) : m_answer(std::move(answer)) {
        char dir[] = "/tmp/zvremoteXXXXXX";
        m_dir = mkdtemp(dir);
        m_path = m_dir + "/engine.sock";
        Start();
    }
    ~FakeDaemon() {
        Stop();
        rmdir(m_dir.c_str());
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
        Drop();
        m_thread.join();
        close(m_listener);
        unlink(m_path.c_str());
    }
    std::string Text(int deadlineMs) const {
        return "unix:" + m_path + "?deadline_ms=" + std::to_string(deadlineMs);
    }
    void Drop() {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_client >= 0) shutdown(m_client, SHUT_RDWR);
    }
    std::vector<json> Requests() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_requests;
    }

  private:
    void serve() {
        for (int fd; (fd = accept(m_listener, nullptr, nullptr)) >= 0;) {
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_client = fd;
            }
            zvwire::FrameDecoder decoder;
            std::uint8_t chunk[4096];
            for (ssize_t n; (n = recv(fd, chunk, sizeof chunk, 0)) > 0;) {
                decoder.Feed(chunk, static_cast<std::size_t>(n));
                for (json request; decoder.Next(request) == Result::Message;) {
                    {
                        std::lock_guard<std::mutex> lock(m_mutex);
                        m_requests.push_back(request);
                    }
                    for (json out : m_answer(request)) {
                        Bytes bytes =
                            out.contains("raw") ? Bytes(out["raw"].get_binary()) : Bytes();
                        if (!out.contains("raw") && !out.contains("ntf")) out["id"] = request["id"];
                        if (bytes.empty()) bytes = frame(out);
                        send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
                    }
                }
            }
            std::lock_guard<std::mutex> lock(m_mutex);
            close(fd);
            m_client = -1;
        }
    }
    Answer m_answer;
    std::string m_dir, m_path;
    int m_listener = -1;
    std::mutex m_mutex;
    int m_client = -1;
    std::vector<json> m_requests;
    std::thread m_thread;
};

json Status(int status) {
    return {{"status", status}};
}

TEST(FrameDecoder, CutsAnyChunkingOfAStreamIntoItsMessages) {
    const std::vector<json> sent = {{{"id", 1}, {"op", "Init"}},
                                    {{"ntf", "piece"}, {"buf", json::binary({0, 'a', 0xFF})}},
                                    {{"text", std::string(70000, 'x')}}};
    Bytes stream;
    for (const json& m : sent) zvwire::AppendFrame(m, stream);
    for (const std::size_t chunk : {std::size_t{1}, std::size_t{5}, stream.size()}) {
        zvwire::FrameDecoder decoder;
        std::vector<json> got;
        for (std::size_t at = 0; at < stream.size(); at += chunk) {
            decoder.Feed(stream.data() + at, std::min(chunk, stream.size() - at));
            for (json m; decoder.Next(m) == Result::Message;) got.push_back(m);
        }
        EXPECT_EQ(got, sent) << "chunks of " << chunk;
    }
}

TEST(FrameDecoder, FailsForGoodEveryBadFrame) {
    // A map holding arrays of one array, 197 deep: valid, but beyond the nesting allowed.
    Bytes deep = {0, 0, 0, 201, 0x81, 0xA1, 'k'};
    deep.insert(deep.end(), 197, 0x91);
    deep.push_back(0x80);
    const std::vector<std::pair<const char*, Bytes>> cases = {
        {"empty", {0, 0, 0, 0}},
        {"too long, refused on its header alone", {0, 0x10, 0, 1}},
        {"not MessagePack", {0, 0, 0, 1, 0xC1}},
        {"not a map", {0, 0, 0, 3, 0x92, 1, 2}},
        {"nested too deeply", deep},
    };
    for (const auto& [name, bytes] : cases) {
        zvwire::FrameDecoder decoder;
        decoder.Feed(bytes.data(), bytes.size());
        json m;
        EXPECT_EQ(decoder.Next(m), Result::Bad) << name;
        EXPECT_FALSE(decoder.Error().empty()) << name;
        const Bytes good = frame({{"id", 1}});
        decoder.Feed(good.data(), good.size());
        EXPECT_EQ(decoder.Next(m), Result::Bad) << name;
    }
}

// What the capture and response functions saw, and on which thread.
struct Seen {
    std::mutex mutex;
    std::vector<std::string> calls;  // "pld 7", "event 3", "value 2:1,2", "piece 0 abcd" ...
    std::vector<std::thread::id> threads;
    std::atomic<bool> inside{false};
    void Add(std::string call) {
        std::lock_guard<std::mutex> lock(mutex);
        calls.push_back(std::move(call));
        threads.push_back(std::this_thread::get_id());
    }
    std::vector<std::string> Calls() {
        std::lock_guard<std::mutex> lock(mutex);
        return calls;
    }
    // Waits (bounded) until `count` calls have been seen.
    std::vector<std::string> Await(std::size_t count) {
        for (int i = 0; i < 500 && Calls().size() < count; ++i) Nap();
        return Calls();
    }
    static void Nap() { std::this_thread::sleep_for(std::chrono::milliseconds(10)); }
} g_seen;

void OnPld(void* context, unsigned long count) {
    g_seen.Add(static_cast<const char*>(context) + std::string(" ") + std::to_string(count));
}
void OnEvent(void*, const ZvVEventInfo* info) {
    g_seen.Add("event " + std::to_string(info->eventId));
}
void OnValue(void*, const ZvValChgInfo* info) {
    std::string units;
    for (int i = 0; i < info->length; ++i) units += "," + std::to_string(info->pData[i]);
    g_seen.Add("value " + std::to_string(info->length) + ":" + units.substr(1));
}
int OnPiece(ZvCallbackInfo* cbi) {
    g_seen.Add(std::string(static_cast<const char*>(cbi->pUserData)) + " " +
               std::to_string(cbi->sequence) + " " +
               std::string(cbi->pProcOutBuf, cbi->procOutBufSize).c_str());
    return 0;
}
std::atomic<ZvPldMsgClient*> g_doomed{nullptr};
int DeleteClient(ZvCallbackInfo*) {
    for (int i = 0; i < 500 && g_doomed == nullptr; ++i) Seen::Nap();  // Process has returned
    delete g_doomed.load();
    g_seen.Add("deleted");
    return 0;
}
void OnPldSlowly(void*, unsigned long) {
    g_seen.inside = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    g_seen.Add("pld");
    g_seen.inside = false;
}

json Ntf(const char* kind, json fields) {
    fields["ntf"] = kind;
    return fields;
}

json Piece(int sequence, const char* text) {
    return Ntf("piece", {{"req", 1},
                         {"status", 0},
                         {"reqType", 2},
                         {"reqParam", 0},
                         {"sequence", sequence},
                         {"bufSize", 4},
                         {"len", std::strlen(text)},
                         {"buf", json::binary(Bytes(text, text + std::strlen(text)))}});
}

TEST(RemoteEngine, WritesEachReplyIntoTheCallersRecordsWithinTheirSize) {
    FakeDaemon daemon([](const json& r) -> std::vector<json> {
        const std::string op = r["op"];
        if (op == "GetVelPntStrLabel")
            return {{{"status", 0}, {"text", json::binary({'B', 'o', 'i', 'l', 'e', 'r'})}}};
        if (op == "GetVelPntInt32") return {{{"status", 0}, {"value", -5}}};
        if (op == "GetMaxNmbrAncstrs") return {{{"value", 3}}};
        if (op == "GetProdSeqId")
            return {{{"seq", {{"nmbrIds", 2}, {"revision", 1}, {"ids", {7, 9}}}}}};
        if (op == "GetVelEnumStateInfo")
            return {{{"status", 0}, {"type", 4}, {"values", {1, 2, 3}}}};
        if (op == "GetRprtAncstr")
            return {{{"status", 0},
                     {"report", {{"gddId", 10}, {"mmIdx", 1}, {"auxValue", 7}}},
                     {"ancestors", {{{"gddId", 20}, {"mmIdx", 0}, {"auxValue", 8}}}}}};
        return {};
    });
    ZvPldMsgClient client(daemon.Text(1000).c_str(), "two", "three");
    const ZvVelPntDfn pnt{1, 1001, 2, 0, -1, "aux", 0};
    char text[8] = "#######";
    EXPECT_EQ(client.GetVelPntStrLabel(&pnt, 4, text), 0);
    EXPECT_STREQ(text, "Boil###");
    const json sent = daemon.Requests().at(0);
    EXPECT_EQ(sent["pnt"], json({{"deviceIdx", 1},
                                 {"gddId", 1001},
                                 {"mmIdx", 2},
                                 {"auxIdx", 0},
                                 {"auxParam", -1},
                                 {"auxText", "aux"},
                                 {"uofm", 0}}));
    EXPECT_EQ(sent["size"], 4);
    std::int32_t value = 0;
    EXPECT_EQ(client.GetVelPntInt32(&pnt, &value), 0);
    EXPECT_EQ(value, -5);
    EXPECT_EQ(client.GetMaxNmbrAncstrs(1), 3u);
    ZvProductIdentSeq* seq = client.GetProdSeqId(1);
    ASSERT_NE(seq, nullptr);
    EXPECT_EQ(seq->nmbrIds, 2);
    std::free(seq);
    ZvEnumStateType type{};
    std::uint16_t count = 0, values[3] = {0, 0, 99};
    EXPECT_EQ(client.GetVelEnumStateInfo(1, 1001, &type, &count, 2, values), 0);
    EXPECT_EQ(std::vector<std::uint16_t>(values, values + 3),
              (std::vector<std::uint16_t>{1, 2, 99}));
    EXPECT_EQ(type.type, 4u);
    unsigned char buf[sizeof(ZvPldEngAncestors) + sizeof(ZvPldEngAncestorEntry)];
    ZvVelRprtDfn rprt{1, 10, 1, buf, sizeof buf};
    ASSERT_EQ(client.GetRprtAncstr(&rprt), 0);
    const auto* record = reinterpret_cast<const ZvPldEngAncestors*>(buf);
    EXPECT_EQ(record->auxValue, 7u);
    ASSERT_EQ(record->nmbrAncstrs, 1);
    EXPECT_EQ(record->ancstrs, reinterpret_cast<const void*>(buf + sizeof *record));
    EXPECT_EQ(record->ancstrs[0].gddId, 20u);
    EXPECT_EQ(record->ancstrs[0].auxValue, 8u);
    rprt.bufSize = sizeof buf - 1;
    EXPECT_EQ(client.GetRprtAncstr(&rprt), 11);
}

TEST(RemoteEngine, DeliversNotificationsAndPiecesOnAThreadOfItsOwnUntilTheLastPiece) {
    FakeDaemon daemon([](const json& r) -> std::vector<json> {
        const std::string op = r["op"], kind = r.value("kind", "");
        if (kind == "pld") return {Status(0), Ntf("pld", {{"count", 7}})};
        if (kind == "event")
            return {Status(0), Ntf("event", {{"info",
                                              {{"sequence", 1},
                                               {"eventId", 3},
                                               {"deviceIdx", 1},
                                               {"eventState", 1},
                                               {"groupId", 2}}}})};
        if (kind == "value")
            return {Status(0), Ntf("value", {{"info",
                                              {{"sequence", 1},
                                               {"valueId", 9},
                                               {"mmIdx", 0},
                                               {"deviceIdx", 1},
                                               {"length", 5},
                                               {"dataType", 1}}},
                                             {"data", {1, 2}}})};
        if (op == "Process")
            return {Piece(0, "abcd"), Piece(1, "ef"), Piece(2, "gh"), Ntf("pld", {{"count", 8}}),
                    Status(0)};
        return {};
    });
    auto* client = new ZvPldMsgClient(daemon.Text(1000).c_str(), "two", "three");
    char pld[] = "pld";
    EXPECT_EQ(client->RegPldCntChng(OnPld, pld, 1), 0);
    EXPECT_EQ(client->RegVelEvent(OnEvent, nullptr, 1), 0);
    EXPECT_EQ(client->RegValueChange(OnValue, nullptr, 1), 0);
    char answer[] = "piece";
    ZvPldEngInfo request{0, answer, "/path", "query", OnPiece, 2};
    EXPECT_EQ(client->Process(&request), 0);
    // The stray piece after the last one would come before the second PLD count.
    EXPECT_EQ(g_seen.Await(6), (std::vector<std::string>{"pld 7", "event 3", "value 2:1,2",
                                                         "piece 0 abcd", "piece 1 ef", "pld 8"}));
    for (const std::thread::id id : g_seen.threads) EXPECT_NE(id, std::this_thread::get_id());
    EXPECT_EQ(daemon.Requests().back()["req"], 1);
    delete client;
}

TEST(RemoteEngine, AFailingDaemonGivesEveryCallItsFailureValueWithinTheDeadline) {
    const std::vector<std::pair<const char*, FakeDaemon::Answer>> faults = {
        {"silent",
         [](const json&) {
             return std::vector<json>{};
         }},
        {"malformed frame",
         [](const json&) {
             return std::vector<json>{{{"raw", json::binary({0, 0, 0, 1, 0xC1})}}};
         }},
        {"fields of the wrong type",
         [](const json&) {
             return std::vector<json>{{{"status", "x"}, {"value", "x"}, {"seq", 1}}};
         }},
        {"a piece longer than its buffer before a good reply",
         [](const json&) {
             json piece = Piece(0, "abcd");
             piece["len"] = 5;
             return std::vector<json>{piece, {{"status", 0}, {"value", 1}}};
         }},
    };
    for (const auto& [name, answer] : faults) {
        FakeDaemon daemon(answer);
        ZvPldMsgClient client(daemon.Text(100).c_str(), "two", "three");
        const ZvVelPntDfn pnt{1, 1001, 0, 0, 0, nullptr, 0};
        std::int32_t value = 0;
        const auto start = Clock::now();
        EXPECT_EQ(client.Init(), 0) << name;
        EXPECT_EQ(client.GetVelPntInt32(&pnt, &value), 13) << name;
        EXPECT_EQ(client.GetMaxNmbrAncstrs(1), 0xFFFFFFFFu) << name;
        EXPECT_EQ(client.GetMaxRprtMMCnt(1, 1001), 0u) << name;
        EXPECT_EQ(client.GetProdSeqId(1), nullptr) << name;
        // Five calls of at most 100 ms each: well under the 2 s default deadline.
        EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1900)) << name;
    }
}

TEST(RemoteEngine, ARequestTooLongForAFrameFailsAloneAndIsNeverSent) {
    FakeDaemon daemon([](const json& r) -> std::vector<json> {
        if (r["op"] == "Init") return {{{"value", 1}}};
        return {{{"status", 0}, {"value", 42}}};
    });
    ZvPldMsgClient client(daemon.Text(1000).c_str(), "two", "three");
    ASSERT_EQ(client.Init(), 1);
    const ZvVelPntDfn pnt{1, 1001, 0, 0, 0, nullptr, 0};
    const std::string huge(zvwire::kMaxFrame, 'x');
    EXPECT_EQ(client.SetVelPntStr(&pnt, huge.c_str(), 0), 13);
    std::int32_t value = 0;
    EXPECT_EQ(client.GetVelPntInt32(&pnt, &value), 0);
    std::vector<std::string> ops;  // the same connection: no second Init
    for (const json& r : daemon.Requests()) ops.push_back(r["op"]);
    EXPECT_EQ(ops, (std::vector<std::string>{"Init", "GetVelPntInt32"}));
}

TEST(RemoteEngine, ALaterCallReconnectsIntroducesItselfAndRegistersAgain) {
    FakeDaemon daemon([](const json& r) -> std::vector<json> {
        const std::string op = r["op"];
        if (op == "Init") return {{{"value", 1}}};
        if (op == "Reg") return {Status(0), Ntf("pld", {{"count", 1}})};
        if (op == "GetVelPntInt32") return {{{"status", 0}, {"value", 42}}};
        return {{{"raw", json::binary({0, 0, 0, 0})}}};
    });
    ZvPldMsgClient client(daemon.Text(1000).c_str(), "two", "three");
    char pld[] = "pld";
    ASSERT_EQ(client.Init(), 1);
    ASSERT_EQ(client.RegPldCntChng(OnPld, pld, 9), 0);
    const ZvVelPntDfn pnt{1, 1001, 0, 0, 0, nullptr, 0};
    std::uint32_t broken = 0;
    EXPECT_EQ(client.GetVelPntUint32(&pnt, &broken), 13);
    std::int32_t value = 0;
    EXPECT_EQ(client.GetVelPntInt32(&pnt, &value), 0);
    EXPECT_EQ(value, 42);
    std::vector<std::string> ops;
    for (const json& r : daemon.Requests()) ops.push_back(r["op"]);
    EXPECT_EQ(ops, (std::vector<std::string>{"Init", "Reg", "GetVelPntUint32", "Init", "Reg",
                                             "GetVelPntInt32"}));
    EXPECT_EQ(daemon.Requests()[3]["texts"], json({daemon.Text(1000), "two", "three"}));
    EXPECT_EQ(daemon.Requests()[4]["regArg"], 9);
    EXPECT_EQ(g_seen.Await(2), (std::vector<std::string>{"pld 1", "pld 1"}));
}

TEST(RemoteEngine, AClientThatOnlyListensRegistersWhenTheDaemonComesAndAgainAfterARestart) {
    FakeDaemon daemon([](const json&) -> std::vector<json> {
        return {Status(0), Ntf("pld", {{"count", 1}})};
    });
    daemon.Stop();
    ZvPldMsgClient client(daemon.Text(200).c_str(), "two", "three");
    char pld[] = "pld";
    EXPECT_EQ(client.RegPldCntChng(OnPld, pld, 1), 13);
    daemon.Start();
    EXPECT_EQ(g_seen.Await(1).size(), 1u);
    daemon.Stop();
    daemon.Start();
    EXPECT_EQ(g_seen.Await(2), (std::vector<std::string>{"pld 1", "pld 1"}));
}

TEST(RemoteEngine, AResponseFunctionMayDeleteItsClient) {
    FakeDaemon daemon([](const json&) -> std::vector<json> { return {Status(0), Piece(0, "ab")}; });
    auto* client = new ZvPldMsgClient(daemon.Text(1000).c_str(), "two", "three");
    ZvPldEngInfo request{0, nullptr, "/path", "query", DeleteClient, 2};
    ASSERT_EQ(client->Process(&request), 0);
    g_doomed = client;
    EXPECT_EQ(g_seen.Await(1), std::vector<std::string>{"deleted"});
    // The delivering thread's steps after the function returns, where a sanitizer sees a fault.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
}

TEST(RemoteEngine, UnRegReturnsOnceNoCaptureRunsAndNoneRunsAfter) {
    // Each reply is followed by a PLD count: UnReg's must go nowhere.
    FakeDaemon daemon([](const json&) -> std::vector<json> {
        return {{{"status", 0}, {"value", 5}}, Ntf("pld", {{"count", 1}})};
    });
    ZvPldMsgClient client(daemon.Text(1000).c_str(), "two", "three");
    ASSERT_EQ(client.RegPldCntChng(OnPldSlowly, nullptr, 1), 0);
    for (int i = 0; i < 500 && !g_seen.inside; ++i) Seen::Nap();
    ASSERT_TRUE(g_seen.inside);
    EXPECT_EQ(client.UnReg(1), 0);
    EXPECT_FALSE(g_seen.inside);
    EXPECT_EQ(client.GetMaxRprtMMCnt(1, 1), 5u);  // its reply comes after UnReg's notification
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(g_seen.Calls(), std::vector<std::string>{"pld"});
}

}  // namespace
