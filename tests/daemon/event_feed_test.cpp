// The daemon's event feed: the changes of every origin and the steps of its scenario, to the
// control connections that subscribed and to no other, bounded as notifications are.
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "DaemonFixture.h"
#include "RawClient.h"

namespace {

json control(const json& command) {
    return {{"op", "Control"}, {"command", command}};
}
const json kAsk = {{"op", "Control"}, {"ask", true}};
const json kSubscribe = {{"op", "Control"}, {"subscribe", true}};

class FeedTest : public DaemonFixture {
  protected:
    void SetUp() override {
        DaemonFixture::SetUp();
        std::ofstream(m_dir + "/catalogue.json") << R"({"tickMs": 0, "devices": [
            {"index": 1, "points": [{"gddId": 10, "access": "rw", "values": [5]},
                                    {"gddId": 11, "type": "text", "values": [""]}]}]})";
    }
    // A connection that asked for control and subscribed.
    std::unique_ptr<Client> subscriber() {
        auto c = std::make_unique<Client>(m_socket);
        EXPECT_EQ(c->call(kAsk)["status"], 0);
        EXPECT_EQ(c->call(kSubscribe)["status"], 0);
        return c;
    }
};

// Another connection's changes come in order, naming it; its refused commands and those that
// only read come not at all, and a connection that did not subscribe, or could not, gets none.
TEST_F(FeedTest, ASubscriberSeesEachChangeOfAnotherConnectionAndNoOneElseDoes) {
    ASSERT_TRUE(daemon());
    const auto watcher = subscriber();
    Client bystander(m_socket), stranger(m_socket), changer(m_socket);
    ASSERT_EQ(bystander.call(kAsk)["status"], 0);
    EXPECT_EQ(stranger.call(kSubscribe)["status"], 12);
    ASSERT_EQ(changer.call({{"op", "Control"}, {"ask", true}, {"name", "ui-test"}})["status"], 0);
    const json commands[] = {
        {{"do", "offline"}, {"device", 1}},
        {{"do", "offline"}, {"device", 9}},
        {{"do", "status"}},
        {{"do", "fail"}, {"device", 1}, {"point", 10}, {"status", 5}},
        {{"do", "clear"}, {"name", "nothing"}},
        {{"do", "online"}, {"device", 1}},
    };
    for (const json& c : commands) ASSERT_EQ(changer.call(control(c))["status"], 0) << c;
    const char* taken[] = {"offline", "fail", "online"};
    json events = json::array();
    for (int i = 0; i < 3; ++i) {
        const json& event = events.emplace_back(watcher->event());
        ASSERT_TRUE(event.is_object()) << i;
        EXPECT_EQ(event["event"], "control");
        EXPECT_EQ(event["do"], taken[i]);
        EXPECT_EQ(event["seq"], i + 1);
        EXPECT_EQ(event["origin"]["name"], "ui-test");
        EXPECT_EQ(event["origin"]["pid"], ::getpid());
        EXPECT_TRUE(event["origin"]["client"].is_number_unsigned()) << event;
    }
    EXPECT_EQ(events[1]["command"]["name"], "fail-1-10") << "with its defaults";
    // Frames go out in order: an event sent to them would come before these replies.
    EXPECT_EQ(bystander.call(control({{"do", "status"}}))["status"], 0);
    EXPECT_EQ(stranger.call(control({{"do", "status"}}))["status"], 12);
    EXPECT_TRUE(bystander.notes.empty() && stranger.notes.empty());
}

// Each step of the daemon's scenario comes after its command's change, in order, both naming
// the scenario and numbered by its place in the file; a pass's reset is a change of its own,
// without a step.
TEST_F(FeedTest, TheStepsOfTheScenarioComeInOrderAfterTheirChanges) {
    std::ofstream(m_dir + "/play.json") << R"({"name": "blink", "repeat": 0, "steps": [
        {"at": 60, "do": "online", "device": 1, "note": "up"},
        {"at": 0, "do": "offline", "device": 1, "note": "down"},
        {"at": 120, "do": "set", "device": 1, "point": 10, "value": 9}]})";
    ASSERT_TRUE(daemon({"--scenario", m_dir + "/play.json"}));
    const auto watcher = subscriber();
    std::vector<json> seen;
    for (int i = 0; i < 24; ++i) seen.push_back(watcher->event());
    // From the first pass's reset seen whole.
    std::size_t at = 0;
    while (at < 12 && seen[at].value("do", "") != "reset") ++at;
    ASSERT_LT(at, 12u);
    struct Expected {
        const char* event;
        const char* what;  // a change's verb, a step's note
        int step;
        int atMs;
    };
    const Expected expected[] = {
        {"control", "reset", 0, 0},  {"control", "offline", 0, 0}, {"step", "down", 2, 0},
        {"control", "online", 0, 0}, {"step", "up", 1, 60},        {"control", "set", 0, 0},
        {"step", "", 3, 120},
    };
    const std::uint64_t pass = seen[at + 2].value("pass", 0u);
    for (const Expected& e : expected) {
        const json& event = seen[at++];
        ASSERT_EQ(event["event"], e.event) << event;
        EXPECT_EQ(event["origin"], json({{"client", "scenario"}}));
        if (event["event"] == "control") {
            EXPECT_EQ(event["do"], e.what);
            continue;
        }
        EXPECT_EQ(event["scenario"], "blink");
        EXPECT_EQ(event["pass"], pass);
        EXPECT_EQ(event["step"], e.step);
        EXPECT_EQ(event["at_ms"], e.atMs);
        EXPECT_EQ(event["note"], e.what);
        EXPECT_EQ(event["answer"]["ok"], true);
        EXPECT_EQ(event["seq"], seen[at - 2]["seq"].get<int>() + 1);
    }
}

// A subscriber that reads nothing is dropped as a deaf notification client is, and holds up
// neither the changes nor the other clients meanwhile.
TEST_F(FeedTest, ASubscriberThatDoesNotReadIsDroppedAndStopsNoOne) {
    ASSERT_TRUE(daemon());
    const auto deaf = subscriber();
    Client changer(m_socket);
    ASSERT_EQ(changer.call(kAsk)["status"], 0);
    const json set = {
        {"do", "set"}, {"device", 1}, {"point", 11}, {"value", std::string(255, 'v')}};
    // In rounds the changer reads the answers of: their events fill the deaf one's socket many
    // times over.
    int answered = 0;
    for (int round = 0; round < 20; ++round) {
        std::vector<std::uint8_t> sets;
        for (int id = 1; id <= 100; ++id) {
            zvwire::AppendFrame({{"id", id}, {"op", "Control"}, {"command", set}}, sets);
        }
        changer.sendBytes(sets);
        for (int n = 0; n < 100 && changer.receive().contains("id"); ++n) ++answered;
    }
    EXPECT_EQ(answered, 2000);
    EXPECT_TRUE(logged("dropped: the client reads nothing", 3 * kWaitMs)) << log();
    EXPECT_EQ(changer.call(control({{"do", "online"}, {"device", 1}}))["answer"]["ok"], true);
}

}  // namespace
