// The call journal and `wait` over pld-engined, end to end: page-like clients through the proxy
// in the test's process, control on connections of the test's own.
#include <unistd.h>

#include <thread>

#include "DaemonFixture.h"
#include "MockEngine.h"
#include "RawClient.h"

using namespace ::testing;

namespace {

class JournalOverDaemon : public DaemonFixture {
  protected:
    void SetUp() override {
        DaemonFixture::SetUp();
        json reports = json::array();  // report 1070 has 70 ancestors, 1000 to 1069
        for (int r = 1000; r <= 1070; ++r) {
            reports.push_back({{"gddId", r}, {"labels", {"R"}}});
            if (r > 1000) reports.back()["parent"] = {{"gddId", r - 1}};
        }
        const json point = {{"gddId", 201}, {"access", "rw"}, {"values", {0}}};
        const json devices = {
            {{"index", 1},
             {"points",
              {{{"gddId", 101}, {"access", "rw"}, {"max", 1000}, {"values", {600}}},
               {{"gddId", 102}, {"values", {7}}}}},
             {"maxAncestors", 70},
             {"reports", reports}},
            {{"index", 2}, {"offline", true}, {"points", {point}}}};
        std::ofstream(m_dir + "/catalogue.json") << json{{"tickMs", 0}, {"devices", devices}};
        ASSERT_TRUE(daemon());
        control = controller();
    }
    std::unique_ptr<Client> controller() {
        auto c = std::make_unique<Client>(m_socket);
        EXPECT_EQ(c->call({{"op", "Control"}, {"ask", true}})["status"], 0);
        return c;
    }
    static json ctl(Client& c, const json& command) {
        return c.call({{"op", "Control"}, {"command", command}})["answer"];
    }
    json journal(const json& filter = json::object()) {
        json command = filter;
        command["do"] = "journal";
        return ctl(*control, command);
    }
    std::string page(const std::string& query = "") const { return m_engine + query; }
    static std::string read(ZvPldProxy& proxy) {
        std::string text;
        const int rc = proxy.GetValueString(text, 1, 101, 1, 0, 0, 0, nullptr);
        return rc == 0 ? text : "rc " + std::to_string(rc);
    }
    std::unique_ptr<Client> control;
};

TEST_F(JournalOverDaemon, APagesReadsAreJournaledWithItsConnectionAndPid) {
    ZvPldProxy proxy(page().c_str(), "");
    EXPECT_EQ(read(proxy), "600");
    EXPECT_EQ(read(proxy), "600");
    const json reads = journal({{"op", "GetVelPntStr"}, {"device", 1}, {"point", 101}});
    ASSERT_EQ(reads["count"], 2) << reads;
    const json client = reads["entries"][0]["client"];
    EXPECT_TRUE(client.is_number_unsigned()) << client;
    EXPECT_EQ(reads["entries"][1]["client"], client);
    EXPECT_EQ(reads["entries"][0]["pid"], ::getpid());
    EXPECT_EQ(journal({{"op", "GetVelPntStr"}, {"client", client}})["count"], 2);
    EXPECT_EQ(journal({{"op", "GetVelPntStr"}, {"client", "in-process"}})["count"], 0);
}

// The wait's reply is held while the loop serves the others and the waiter's own requests.
TEST_F(JournalOverDaemon, AWaitIsAnsweredByAnotherClientsCallAndTimesOutCleanly) {
    const std::unique_ptr<Client> waiter = controller();
    const json last = journal()["last"];
    std::vector<std::uint8_t> frame;
    zvwire::AppendFrame(
        {{"id", 77},
         {"op", "Control"},
         {"command",
          {{"do", "wait"}, {"op", "GetVelPntStr"}, {"since", last}, {"timeout_ms", 10000}}}},
        frame);
    waiter->sendBytes(frame);
    EXPECT_EQ(ctl(*control, {{"do", "status"}})["ok"], true);
    EXPECT_EQ(ctl(*waiter, {{"do", "status"}})["ok"], true);
    EXPECT_THAT(waiter->notes, IsEmpty());
    ZvPldProxy proxy(page().c_str(), "");
    EXPECT_EQ(read(proxy), "600");
    const json met = waiter->receive();
    EXPECT_EQ(met["id"], 77);
    EXPECT_EQ(met["answer"]["ok"], true) << met;
    EXPECT_EQ(met["answer"]["seen"], 1);
    const json late = ctl(*waiter, {{"do", "wait"},
                                    {"op", "GetVelPntStr"},
                                    {"since", met["answer"]["last"]},
                                    {"timeout_ms", 200}});
    EXPECT_EQ(late, json({{"ok", false},
                          {"error", "wait: timed out after 200 ms with 0 of 1 matching calls seen"},
                          {"seen", 0},
                          {"last", met["answer"]["last"]}}));
    // A connection holds at most 4 waits.
    for (int id = 81; id <= 84; ++id) {
        frame.clear();
        zvwire::AppendFrame({{"id", id},
                             {"op", "Control"},
                             {"command", {{"do", "wait"}, {"count", 9}, {"timeout_ms", 10000}}}},
                            frame);
        waiter->sendBytes(frame);
    }
    EXPECT_THAT(
        ctl(*waiter, {{"do", "wait"}, {"count", 9}, {"timeout_ms", 10000}}).value("error", ""),
        HasSubstr("4 waits pending"));
}

TEST_F(JournalOverDaemon, AHeldReplysTimeIsFilledInAsItGoesOrItIsMarkedDropped) {
    EXPECT_EQ(ctl(*control, {{"do", "delay"}, {"ms", 300}, {"device", 1}})["ok"], true);
    ZvPldProxy proxy(page("?deadline_ms=5000").c_str(), "");
    std::thread reader([&] { EXPECT_EQ(read(proxy), "600"); });
    const json op = {{"op", "GetVelPntStr"}};
    EXPECT_TRUE(WaitUntil([&] { return journal(op)["count"] == 1; }, 5000));
    EXPECT_EQ(journal(op)["entries"][0].value("held", false), true) << journal(op);
    reader.join();
    const json sent = journal(op)["entries"][0];
    EXPECT_GE(sent.value("ms", 0.0), 300.0) << sent;
    EXPECT_EQ(sent["controls"], json::array({"delay-1"}));
    EXPECT_FALSE(sent.contains("held"));

    EXPECT_EQ(ctl(*control, {{"do", "stall"}})["ok"], true);
    const json number = {{"op", "GetVelPntInt32"}};
    {
        Client quitter(m_socket);  // asks, and goes before its reply
        std::vector<std::uint8_t> frame;
        zvwire::AppendFrame({{"id", 1},
                             {"op", "GetVelPntInt32"},
                             {"pnt", {{"deviceIdx", 1}, {"gddId", 101}, {"mmIdx", 0}}}},
                            frame);
        quitter.sendBytes(frame);
        EXPECT_TRUE(WaitUntil([&] { return journal(number)["count"] == 1; }, 5000));
    }
    EXPECT_TRUE(
        WaitUntil([&] { return journal(number)["entries"][0].value("dropped", false); }, 5000))
        << journal(number);
}

json set(int device, int point, int value) {
    return {{"op", "SetVelPntInt32"},
            {"pnt", {{"deviceIdx", device}, {"gddId", point}, {"mmIdx", 0}}},
            {"value", value}};
}
const json kLongChain = {{"op", "GetRprtAncstr"},
                         {"rprt", {{"deviceIdx", 1}, {"gddId", 1070}, {"mmIdx", 0}}},
                         {"bufSize", 4096}};
const json kStall = {{"do", "stall"}, {"device", 1}};
const json kDelay = {{"do", "delay"}, {"ms", 20}, {"device", 1}};
const json kFail = {
    {"do", "fail"}, {"device", 1}, {"point", 101}, {"status", 1007}, {"on", "writes"}};
const json kOnline = {{"do", "online"}, {"device", 2}};

struct CallRow {
    const char* name;
    std::vector<json> controls;  // in force before the call
    bool savesFail;              // every save of the state file fails
    json request;
    int status;     // answered, and journaled
    json shapedBy;  // the controls the entry names; null: none
    friend void PrintTo(const CallRow& row, std::ostream* os) { *os << row.name; }
};

const CallRow kCallRows[] = {
    {"OutOfRange", {}, false, set(1, 101, 5000), 5, nullptr},
    {"ReadOnly", {}, false, set(1, 102, 8), 4, nullptr},
    {"FailBeforeTheRange", {kFail}, false, set(1, 101, 5000), 1007, {"fail-1-101"}},
    {"RefusedAndStalled", {kStall}, false, set(1, 101, 5000), 5, {"stall-1"}},
    {"UnsavedAndStalled", {kStall}, true, set(1, 101, 700), 13, {"stall-1"}},
    // The catalogue has device 2 offline: what the engine now accepts is saved before it is made.
    {"OnlineAgain", {kOnline}, false, set(2, 201, 9), 0, nullptr},
    {"OnlineAgainUnsaved", {kOnline}, true, set(2, 201, 9), 13, nullptr},
    {"LongChain", {}, false, kLongChain, 0, nullptr},
    {"LongChainDelayed", {kDelay}, false, kLongChain, 0, {"delay-1"}},
};

class EachCall : public JournalOverDaemon, public WithParamInterface<CallRow> {
  protected:
    void SetUp() override {
        if (GetParam().savesFail) ::setenv("PLD_ENGINED_TEST_FAIL_DIRECTORY_SYNC", "1", 1);
        JournalOverDaemon::SetUp();
    }
};

// Whatever becomes of a client's call (refused by the engine or the daemon, shaped by controls),
// it makes one entry with the status the client got, held while its reply is.
TEST_P(EachCall, IsOneEntryWithTheStatusAnswered) {
    const CallRow& row = GetParam();
    for (const json& command : row.controls) ASSERT_EQ(ctl(*control, command)["ok"], true);
    Client client(m_socket);
    json request = row.request;
    request["id"] = 1;
    std::vector<std::uint8_t> frame;
    zvwire::AppendFrame(request, frame);
    client.sendBytes(frame);
    const json op = {{"op", row.request["op"]}};
    if (!row.controls.empty() && row.controls[0] == kStall) {
        ASSERT_TRUE(WaitUntil([&] { return journal(op)["count"] == 1; }, kWaitMs)) << journal(op);
        EXPECT_EQ(journal(op)["entries"][0].value("held", false), true);
        EXPECT_EQ(ctl(*control, {{"do", "release"}})["ok"], true);
    }
    EXPECT_EQ(client.receive()["status"], row.status);
    const json entries = journal(op);
    ASSERT_EQ(entries["count"], 1) << entries;
    EXPECT_EQ(entries["entries"][0]["status"], row.status);
    EXPECT_EQ(entries["entries"][0].value("controls", json()), row.shapedBy);
    EXPECT_FALSE(entries["entries"][0].contains("held")) << entries;
}

// A client that asks and goes before the daemon reads: its read's reply cannot be sent, which
// closes the connection before its write is committed. The write's entry is marked dropped.
TEST_F(JournalOverDaemon, AWriteWhoseClientWentBeforeItsCommitIsNotLeftHeld) {
    EXPECT_EQ(ctl(*control, kStall)["ok"], true);
    ::kill(m_processes[0]->pid, SIGSTOP);
    {
        Client quitter(m_socket);
        json read = set(2, 201, 0), write = set(1, 101, 700);
        read["op"] = "GetVelPntInt32";  // device 2, offline and not stalled: answered at once
        read["id"] = 1;
        write["id"] = 2;
        std::vector<std::uint8_t> frames;
        zvwire::AppendFrame(read, frames);
        zvwire::AppendFrame(write, frames);
        quitter.sendBytes(frames);
    }
    ::kill(m_processes[0]->pid, SIGCONT);
    const json op = {{"op", "SetVelPntInt32"}};
    EXPECT_TRUE(WaitUntil(
        [&] {
            const json entries = journal(op)["entries"];
            return entries.size() == 1 && entries[0].value("dropped", false);
        },
        kWaitMs))
        << journal(op);
}

INSTANTIATE_TEST_SUITE_P(Rows, EachCall, ValuesIn(kCallRows),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
