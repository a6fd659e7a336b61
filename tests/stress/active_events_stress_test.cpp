// Active-events requests from client threads while the engine's thread delivers answers in pieces:
// each answer completed gives the callback one whole answer's records or, cut by a request, none.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "StressCount.h"
#include "ZvPldEngine.h"
#include "ZvPldProxy.h"
#include "sim/SimEngine.h"

namespace {

const int kRequests = std::max(1u, StressPerKind() / 200);  // per client
constexpr std::uint32_t kPiece = 4;
// Cut at any piece boundary, neither leaves an item after a group's header and colon.
const char* const kAnswers[] = {"(1,7:100,2|101,0)", "(2,8:200,1)"};
const std::string kRecords[] = {"7,100,2 7,101,0 ", "8,200,1 "};

// Takes every request; the answers come from the test's engine thread.
struct AnsweringEngine : zvsim::SimEngine {
    AnsweringEngine() : SimEngine(zvsim::Catalogue{{}, {}, 0}) {}  // no ticks
    Y4_Status Process(ZvPldEngInfo*) override { return ++requests, 0; }
    std::atomic<int> requests{0};
};

using Events = std::list<ZvPldProxy::ActiveEvent*>;
Events g_events;  // touched on the engine's thread only
int g_whole = 0, g_wrong = 0;

void OnEvents(Events* events) {
    std::string got;
    for (const auto* e : *events) {
        got += std::to_string(e->groupId) + "," + std::to_string(e->eventId) + "," +
               std::to_string(e->eventState) + " ";
        delete e;
    }
    g_whole += got == kRecords[0] || got == kRecords[1];
    g_wrong += events != &g_events || !(got.empty() || got == kRecords[0] || got == kRecords[1]);
}

void DeliverAnswer(const std::string& answer) {
    for (std::uint32_t at = 0; at < answer.size(); at += kPiece) {
        std::vector<char> buf(kPiece, '\0');
        const std::uint32_t len = std::min<std::uint32_t>(kPiece, answer.size() - at);
        std::memcpy(buf.data(), answer.data() + at, len);
        ZvCallbackInfo cbi{&g_events, 0, 2, 0, at / kPiece, 0, kPiece, len, buf.data()};
        ZvPldProxy::ProcessActiveEventsCB(&cbi);
    }
}

TEST(ActiveEventsStress, AnswersOnTheEngineThreadMeetRequestsOfManyClients) {
    const auto engine = std::make_shared<AnsweringEngine>();
    ZvPldSetEngineFactory([engine](const char*, const char*, const char*) { return engine; });
    ZvPldProxy proxy("sim", "stress-test");

    std::atomic<int> clientsLeft{3}, failed{0};
    std::thread answering([&] {
        while (engine->requests == 0) std::this_thread::yield();  // a callback to own the records
        for (int i = 0; clientsLeft > 0; ++i) DeliverAnswer(kAnswers[i % 2]);
        for (const char* answer : kAnswers) DeliverAnswer(answer);  // nothing cuts these
    });
    std::vector<std::thread> clients;
    for (int c = 0; c < 3; ++c)
        clients.emplace_back([&] {
            for (int i = 0; i < kRequests; ++i)
                failed += proxy.GetActiveEvents(&g_events, OnEvents, i) != 0;
            --clientsLeft;
        });
    for (std::thread& t : clients) t.join();
    answering.join();
    proxy.stop_y4IpcToClientProc();
    EXPECT_EQ(failed.load(), 0);
    EXPECT_EQ(g_wrong, 0);
    EXPECT_GE(g_whole, 2);
}

}  // namespace
