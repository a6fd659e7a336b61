#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "MockEngine.h"

using namespace ::testing;

using Lifecycle = ProxyTest;

TEST_F(Lifecycle, AProxyIsPublishedEvenIfInitFailsAndStopsOnceAfterWhichCallsFailCleanly) {
    EXPECT_EQ(ZvPldProxy::GetInstance(), nullptr);
    EXPECT_CALL(*engine, Init()).WillOnce(Return(0));
    ZvPldProxy& p = start();
    EXPECT_EQ(ZvPldProxy::GetInstance(), &p);
    EXPECT_THAT(clientTexts, ElementsAre("sim", "unit-test", ""));
    {
        InSequence order;
        EXPECT_CALL(*engine, UnReg(1)).WillOnce(Return(3));
        EXPECT_CALL(*engine, Close());
    }
    p.stop_y4IpcToClientProc();
    p.stop_y4IpcToClientProc();  // stopped already: no engine call, no message
    std::string text = "kept";
    unsigned long value = 7;
    ZvPldEngInfo record{};
    ZvVelInventory inventory;
    ZvProductIdentSeq* seq = nullptr;
    EXPECT_EQ(p.GetLabelString(text, 1, 2, 1, 0, nullptr), 2);  // a request with a status
    EXPECT_EQ(p.GetMaxModuleCnt(&value, 1, 2), 2);              // a count query
    EXPECT_TRUE(text == "kept" && value == 7u);
    EXPECT_TRUE(p.Process(&record) == 2 && !p.GetPldInventory(&inventory) &&
                !p.GetProdSeqId(&seq, 1) && p.GetFdmVersion(1).empty());  // each with its line
    proxy.reset();  // destroying a stopped proxy calls the engine no more
    EXPECT_EQ(ZvPldProxy::GetInstance(), nullptr);
    std::vector<LogLine> lines{ErrorLine("Failed to init PldMsgClient"),
                               ErrorLine("stop_y4IpcToClientProc: UnReg() returned 3")};
    for (const char* op : {"GetLabelString", "GetMaxModuleCnt", "Process", "GetPldInventory",
                           "GetProdSeqId", "GetFdmVersion"})
        lines.push_back(ErrorLine(op + std::string(": no engine message client (proxy not "
                                                   "constructed, or stopped)")));
    EXPECT_EQ(log.take(), lines);
}

TEST_F(Lifecycle, AThrowingMessageClientLeavesNothingPublishedAndTheClientLockFree) {
    EXPECT_CALL(*engine, Init())
        .WillOnce([]() -> int { throw std::runtime_error("no engine"); })
        .WillOnce(Return(1));
    EXPECT_CALL(*engine, Close()).Times(2);  // the half-built client; the next one when destroyed
    EXPECT_THROW(ZvPldProxy("sim", "x"), std::runtime_error);
    EXPECT_EQ(ZvPldProxy::GetInstance(), nullptr);
    int value = 0;
    EXPECT_CALL(*engine, GetVelPntInt32).WillOnce([](auto, auto) -> Y4_Status { throw 1; });
    EXPECT_THROW(start().GetValueSInt32(&value, 1, 2, 1, 0, 0, 0), int);
    EXPECT_EQ(ZvLinuxMutex::HeldByThisThread(), 0);
}

TEST_F(Lifecycle, StopLetsACallInFlightFinishBeforeTheClientIsDeleted) {
    ZvPldProxy& p = start();
    std::promise<void> entered;
    std::atomic<bool> returned{false};
    EXPECT_CALL(*engine, GetVelPntInt32).WillOnce([&](auto, auto) {
        entered.set_value();  // a stop that does not wait deletes the client in the next 50 ms
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        returned = true;
        return 0;
    });
    EXPECT_CALL(*engine, Close()).WillOnce([&] { EXPECT_TRUE(returned); });
    auto call = std::async(std::launch::async, [&p, value = 0]() mutable {
        return p.GetValueSInt32(&value, 1, 2, 1, 0, 0, 0);
    });
    entered.get_future().wait();
    p.stop_y4IpcToClientProc();
    EXPECT_EQ(call.get(), 0);
}
