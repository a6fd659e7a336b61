// The call journal in process: what an entry holds, the filters, the ring, and waits answered by
// calls of other threads.
#include <chrono>
#include <thread>

#include <gmock/gmock.h>
#include <nlohmann/json.hpp>

#include "sim/SimEngine.h"

using namespace ::testing;
using nlohmann::json;

namespace {

class Journal : public ::testing::Test {
  protected:
    Journal() {
        zvsim::Catalogue catalogue = zvsim::Catalogue::BuiltIn();
        catalogue.tickMs = 0;
        engine = std::make_shared<zvsim::SimEngine>(catalogue);
    }
    json ctl(const std::string& command) { return json::parse(engine->Control(command)); }
    void ok(const std::string& command) {
        ASSERT_EQ(ctl(command).value("ok", false), true) << command;
    }
    // The entries' `field`s, oldest first.
    std::vector<json> column(const std::string& query, const char* field) {
        std::vector<json> out;
        const json answer = ctl(query);
        for (const json& e : answer["entries"]) out.push_back(e.value(field, json()));
        return out;
    }
    Y4_Status read(std::uint16_t device, std::uint32_t point) {
        std::uint32_t value = 0;
        const ZvVelPntDfn pnt{device, point, 0, 0, 0, nullptr, 0};
        return engine->GetVelPntUint32(&pnt, &value);
    }
    std::shared_ptr<zvsim::SimEngine> engine;
};

TEST_F(Journal, FiltersSelectTheirCallsOldestFirstAndCountAllThatMatch) {
    read(1, 103);
    read(2, 200);
    const ZvVelPntDfn setpoint{1, 101, 0, 7, 0, nullptr, 0};
    engine->SetVelPntInt32(&setpoint, 615, 0);
    ZvVelInventory inventory{};
    engine->GetVelServerInventory(&inventory);
    read(1, 103);
    const std::tuple<const char*, int, std::vector<json>> rows[] = {
        {R"({})", 5, {1, 2, 3, 4, 5}},
        {R"({"op": "GetVelPntUint32"})", 3, {1, 2, 5}},
        {R"({"device": 1})", 3, {1, 3, 5}},
        {R"({"point": 200})", 1, {2}},
        {R"({"device": 1, "op": "SetVelPntInt32"})", 1, {3}},
        {R"({"client": "in-process"})", 5, {1, 2, 3, 4, 5}},
        {R"({"client": 3})", 0, {}},
        {R"({"since": 2})", 3, {3, 4, 5}},
        {R"({"since": 1, "limit": 2})", 4, {2, 3}},
        {R"({"op": "GetVelPntUint32", "limit": 0})", 3, {}},
    };
    for (const auto& [filter, count, seqs] : rows) {
        json command = json::parse(filter);
        command["do"] = "journal";
        const json answer = ctl(command.dump());
        EXPECT_EQ(answer["count"], count) << filter;
        EXPECT_EQ(answer["last"], 5) << filter;
        EXPECT_EQ(column(command.dump(), "seq"), seqs) << filter;
    }
    json set = ctl(R"({"do": "journal", "op": "SetVelPntInt32"})")["entries"][0];
    EXPECT_GE(set["ms"], 0.0);
    set.erase("ms");
    set.erase("at_ms");
    EXPECT_EQ(set, json::parse(R"({"seq": 3, "op": "SetVelPntInt32", "client": "in-process",
                                   "device": 1, "point": 101, "module": 0, "aux": 7,
                                   "status": 0})"));
}

// Sequence numbers go on across clears and resets, so that a `since` taken earlier holds.
TEST_F(Journal, ClearsAndResetsEmptyItWhileSequenceNumbersGoOn) {
    read(1, 103);
    read(1, 103);
    ok(R"({"do": "journal_clear"})");
    EXPECT_EQ(ctl(R"({"do": "journal"})")["count"], 0);
    EXPECT_EQ(ctl(R"({"do": "journal"})")["last"], 2);
    read(1, 103);
    EXPECT_EQ(column(R"({"do": "journal"})", "seq"), std::vector<json>{3});
    ok(R"({"do": "reset"})");
    read(1, 103);
    EXPECT_EQ(column(R"({"do": "journal"})", "seq"), std::vector<json>{4});
}

TEST_F(Journal, ASmallRingKeepsTheNewestAndNoneKeepsNothing) {
    ASSERT_TRUE(engine->SetJournalCapacity(3));
    for (int i = 0; i < 5; ++i) read(1, 103);
    const json answer = ctl(R"({"do": "journal"})");
    EXPECT_EQ(column(R"({"do": "journal"})", "seq"), (std::vector<json>{3, 4, 5}));
    EXPECT_EQ(answer["size"], 3);
    EXPECT_EQ(answer["capacity"], 3);
    ASSERT_TRUE(engine->SetJournalCapacity(0));
    read(1, 103);
    EXPECT_EQ(ctl(R"({"do": "journal"})")["count"], 0);
    // No call would ever count: refused, not waited out.
    EXPECT_EQ(ctl(R"({"do": "wait", "timeout_ms": 1000})"),
              json::parse(R"({"ok": false, "error": "wait: the journal is off"})"));
}

// Each entry names the controls that shaped it; a delayed call's time holds its delay.
TEST_F(Journal, EntriesNameTheirControlsAndTheirTimeHoldsTheDelay) {
    ok(R"({"do": "delay", "ms": 60, "device": 2, "name": "slow"})");
    ok(R"({"do": "fail", "device": 1, "point": 103, "status": 5, "count": 1})");
    ok(R"({"do": "notify", "action": "drop"})");
    read(2, 200);
    read(1, 103);
    read(1, 103);
    EXPECT_EQ(column(R"({"do": "journal"})", "controls"),
              (std::vector<json>{{"slow"}, {"fail-1-103"}, nullptr}));
    EXPECT_EQ(column(R"({"do": "journal"})", "status"), (std::vector<json>{0, 5, 0}));
    EXPECT_GE(column(R"({"do": "journal", "device": 2})", "ms")[0], 60.0);
    const json ms = ctl(R"({"do": "journal"})")["ms"];
    EXPECT_GE(ms["max"], 60.0);
    EXPECT_LT(ms["p50"], 60.0);
}

TEST_F(Journal, AWaitIsAnsweredByACallOfAnotherThreadOrFailsAtItsTimeout) {
    read(2, 200);  // before `since`: not counted
    // The caller waits with no lock of the engine's held: the call it waits for is made.
    std::thread caller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        read(1, 103);
        read(2, 200);
    });
    const auto start = std::chrono::steady_clock::now();
    const json met = ctl(R"({"do": "wait", "device": 2, "since": 1, "timeout_ms": 10000})");
    caller.join();
    EXPECT_EQ(met["ok"], true) << met;
    // Woken by the call, not by its timeout.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(met["seen"], 1);
    const json late = ctl(R"({"do": "wait", "op": "GetVelPntUint32", "count": 4,
                              "timeout_ms": 50})");
    EXPECT_EQ(late["ok"], false);
    EXPECT_EQ(late["error"], "wait: timed out after 50 ms with 3 of 4 matching calls seen");
}

}  // namespace
