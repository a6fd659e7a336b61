// A client traced against the daemon, its trace replayed by another daemon, and the same client
// run against the replay: the same answers (`pldctl trace show --diffable` of both traces the same
// line for line) and the same notifications in the same order; at the recorded pace and ten times
// faster.
#include <algorithm>
#include <utility>

#include <gtest/gtest.h>

#include "DaemonFixture.h"

namespace {

// No ticks: every notification is one the test asks for, so a run can be told apart only by
// what the replay gets wrong.
const char* const kCatalogue = R"({"tickMs": 0,
  "devices": [{"index": 1, "maxAncestors": 2,
    "points": [
      {"gddId": 10, "label": "Supply", "type": "int", "access": "rw", "normFactor": 10,
       "units": ["C", "F"], "values": [215], "report": 2},
      {"gddId": 11, "label": "Mode", "type": "enum", "access": "rw",
       "states": [{"value": 0, "name": "Off"}, {"value": 1, "name": "On"}], "values": [1, 0]},
      {"gddId": 12, "label": "Site", "type": "text", "access": "rw", "values": ["Hall"]}],
    "reports": [{"gddId": 1, "labels": ["Plant"]},
                {"gddId": 2, "labels": ["Circuit"], "parent": {"gddId": 1}}]}],
  "events": [{"id": 3, "group": 1, "device": 1, "state": 0}]})";

class TraceReplay : public DaemonFixture, public ::testing::WithParamInterface<const char*> {
  protected:
    void SetUp() override {
        DaemonFixture::SetUp();
        std::ofstream(m_dir + "/catalogue.json") << kCatalogue;
    }
    // pldctl on `engine`, tracing to the test's file `trace`.
    Process& traced(const std::string& trace, const std::string& engine,
                    std::vector<std::string> args) {
        args.insert(args.begin(), {"--engine", engine});
        const std::string path = m_dir + trace;
        return spawn(PLDCTL_LAUNCH, args, [path] { ::setenv("ZVPLD_TRACE", path.c_str(), 1); });
    }
    // A replay of the test's file `trace` on a socket of its own, at `speed`; its engine text.
    std::string replay(const std::string& trace, const char* speed) {
        const std::string socket = m_dir + trace + ".sock";
        spawn(PLD_ENGINED_LAUNCH,
              {"--socket", socket, "--replay", m_dir + trace, "--speed", speed});
        m_socket = socket;
        EXPECT_TRUE(listening()) << log();
        return "unix:" + socket;
    }
    std::vector<std::string> shown(const std::string& trace) {
        Process& show = spawn(PLDCTL_LAUNCH, {"trace", "show", "--diffable", m_dir + trace});
        std::vector<std::string> lines = show.lines();
        EXPECT_EQ(show.exitStatus(), 0) << log();
        return lines;
    }
    // `pldctl watch` of every kind on `engine`, traced; while it watches, `during` makes the
    // notifications. Its lines without their times, once it saw `count` of them and stopped.
    std::vector<std::string> watch(const std::string& trace, const std::string& engine, int count,
                                   const std::function<void()>& during = {}) {
        Process& w = traced(trace, engine, {"watch", "--kinds", "value,event,count"});
        EXPECT_NE(w.line().find("Watching"), std::string::npos) << log();
        if (during) during();
        std::vector<std::string> seen;
        for (int i = 0; i < count; ++i) seen.push_back(w.line().substr(10));  // "%8.3fs  "
        ::kill(w.pid, SIGINT);
        EXPECT_EQ(w.exitStatus(10000), 0) << log();
        return seen;
    }
    void run(std::vector<std::string> args) {
        args.insert(args.begin(), {"--engine", m_engine});
        EXPECT_EQ(spawn(PLDCTL_LAUNCH, args).exitStatus(10000), 0) << log();
    }
};

// A trace's notifications in order, then its calls in order.
std::pair<std::vector<std::string>, std::vector<std::string>> apart(
    const std::vector<std::string>& lines) {
    std::pair<std::vector<std::string>, std::vector<std::string>> split;
    for (const std::string& l : lines)
        (l.rfind("note ", 0) == 0 ? split.first : split.second).push_back(l);
    return split;
}

TEST_P(TraceReplay, TheSameClientGetsTheSameAnswersAndNotificationsFromTheReplay) {
    ASSERT_NE(daemon(), nullptr) << log();
    const std::string device = m_engine;
    // Reads of every kind, a refused and an accepted write, the hierarchy, the active events.
    Process& first = traced("/capture.trace", device, {"capture", "--out", m_dir + "/first.json"});
    ASSERT_EQ(first.exitStatus(30000), 0) << log();
    const std::vector<std::string> heard = watch("/watch.trace", device, 4, [&] {
        run({"set", "1", "10", "22.5"});
        run({"sim", "event", "3", "1"});
        run({"set", "1", "12", "Dock"});
        run({"sim", "pld-count"});
    });

    Process& again = traced("/capture-again.trace", replay("/capture.trace", GetParam()),
                            {"capture", "--out", m_dir + "/again.json"});
    ASSERT_EQ(again.exitStatus(30000), 0) << log();
    EXPECT_EQ(contents(m_dir + "/again.json"), contents(m_dir + "/first.json"));
    EXPECT_EQ(shown("/capture-again.trace"), shown("/capture.trace"));
    // A client drains its queues on a thread of its own, so that how the notifications fall
    // between its calls, and the order it prints them in, follow the pace; each alone does not.
    std::vector<std::string> heardAgain =
        watch("/watch-again.trace", replay("/watch.trace", GetParam()), 4);
    std::sort(heardAgain.begin(), heardAgain.end());
    std::vector<std::string> sorted = heard;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(heardAgain, sorted);
    EXPECT_EQ(apart(shown("/watch-again.trace")), apart(shown("/watch.trace")));
    EXPECT_EQ(occurrences(log(), "unrecorded"), 0u) << log();
}

INSTANTIATE_TEST_SUITE_P(Speeds, TraceReplay, ::testing::Values("1", "10"),
                         [](const auto& info) { return std::string("Speed") + info.param; });

}  // namespace
