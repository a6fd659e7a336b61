#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "MockEngine.h"

using ::testing::_;
using ::testing::ElementsAre;
using ::testing::InSequence;
using ::testing::IsEmpty;
using ::testing::Return;

using Lifecycle = ProxyTest;

TEST_F(Lifecycle, NoInstanceExistsBeforeTheFirstConstruction) {
    EXPECT_EQ(ZvPldProxy::GetInstance(), nullptr);
}

TEST_F(Lifecycle, ConstructionPublishesTheProxyAndHandsItsTextsToTheMessageClient) {
    EXPECT_CALL(*engine, Init()).WillOnce(Return(1));
    ZvPldProxy& p = start();
    EXPECT_EQ(ZvPldProxy::GetInstance(), &p);
    EXPECT_THAT(clientTexts, ElementsAre("sim", "unit-test", ""));
    EXPECT_THAT(log.take(), IsEmpty());
}

TEST_F(Lifecycle, AFailedInitIsLoggedOnceAndTheProxyIsPublishedAllTheSame) {
    EXPECT_CALL(*engine, Init()).WillOnce(Return(0));
    ZvPldProxy& p = start();
    EXPECT_EQ(ZvPldProxy::GetInstance(), &p);
    EXPECT_THAT(log.take(), ElementsAre(ErrorLine("Failed to init PldMsgClient")));
}

TEST_F(Lifecycle, StopWithdrawsTheRegistrationsAndDeletesTheClientOnce) {
    ZvPldProxy& p = start();
    {
        InSequence order;
        EXPECT_CALL(*engine, UnReg(1)).WillOnce(Return(0));
        EXPECT_CALL(*engine, Close());
    }
    p.stop_y4IpcToClientProc();
    p.stop_y4IpcToClientProc();  // stopped already: no engine call, no message
    ::testing::Mock::VerifyAndClearExpectations(engine.get());
    EXPECT_CALL(*engine, UnReg(_)).Times(0);
    EXPECT_CALL(*engine, Close()).Times(0);
    proxy.reset();  // destroying a stopped proxy makes no engine call
    EXPECT_THAT(log.take(), IsEmpty());
}

TEST_F(Lifecycle, AnUnRegFailureIsLoggedAndTheClientIsDeletedAllTheSame) {
    ZvPldProxy& p = start();
    EXPECT_CALL(*engine, UnReg(1)).WillOnce(Return(3));
    EXPECT_CALL(*engine, Close());
    p.stop_y4IpcToClientProc();
    EXPECT_THAT(log.take(), ElementsAre(ErrorLine("stop_y4IpcToClientProc: UnReg() returned 3")));
}

TEST_F(Lifecycle, DestroyingARunningProxyStopsItAndUnpublishesIt) {
    start();
    EXPECT_CALL(*engine, UnReg(1)).WillOnce(Return(0));
    EXPECT_CALL(*engine, Close());
    proxy.reset();
    EXPECT_EQ(ZvPldProxy::GetInstance(), nullptr);
}

TEST_F(Lifecycle, EngineOperationsAfterTheStopFailCleanlyWithALogLine) {
    ZvPldProxy& p = start();
    p.stop_y4IpcToClientProc();
    std::string text = "kept";
    unsigned long value = 7;
    std::list<int> states;
    EXPECT_EQ(p.GetLabelString(text, 1, 2, 1, 0, nullptr), 2);
    EXPECT_EQ(p.SetValueSInt32(5, 1, 2, 1, 0, 0, 0, 0), 2);
    EXPECT_EQ(p.GetMaxModuleCnt(&value, 1, 2), 2);
    EXPECT_EQ(p.GetVelEnumStateInfo(&states, nullptr, nullptr, 2, 1), 2);
    EXPECT_EQ(text, "kept");
    EXPECT_EQ(value, 7u);
    const std::string tail = ": no engine message client (proxy not constructed, or stopped)";
    EXPECT_THAT(
        log.take(),
        ElementsAre(ErrorLine("GetLabelString" + tail), ErrorLine("SetValueSInt32" + tail),
                    ErrorLine("GetMaxModuleCnt" + tail), ErrorLine("GetVelEnumStateInfo" + tail)));
}

TEST_F(Lifecycle, AThrowingMessageClientLeavesNothingPublishedAndNothingLeaked) {
    EXPECT_CALL(*engine, Init()).WillOnce([]() -> int { throw std::runtime_error("no engine"); });
    EXPECT_CALL(*engine, Close());  // the half-built client is deleted
    EXPECT_THROW(ZvPldProxy("sim", "x"), std::runtime_error);
    ZvPldSetEngineFactory(
        [](const char*, const char*, const char*) -> std::shared_ptr<ZvPldEngine> {
            throw std::runtime_error("no engine");
        });
    EXPECT_THROW(ZvPldProxy("sim", "x"), std::runtime_error);
    EXPECT_EQ(ZvPldProxy::GetInstance(), nullptr);
}

TEST_F(Lifecycle, StopLetsACallInFlightFinishBeforeTheClientIsDeleted) {
    ZvPldProxy& p = start();
    std::promise<void> entered, released;
    std::atomic<bool> inFlight{false};
    EXPECT_CALL(*engine, GetVelPntInt32(_, _)).WillOnce([&](auto, std::int32_t* v) {
        inFlight = true;
        entered.set_value();
        released.get_future().wait();
        inFlight = false;
        *v = 1;
        return 0;
    });
    EXPECT_CALL(*engine, Close()).WillOnce([&] { EXPECT_FALSE(inFlight); });
    int value = 0;
    std::thread caller([&] { EXPECT_EQ(p.GetValueSInt32(&value, 1, 2, 1, 0, 0, 0), 0); });
    entered.get_future().wait();
    std::thread stopper([&] { p.stop_y4IpcToClientProc(); });
    // Time for a stop that does not wait to delete the client under the call.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    released.set_value();
    caller.join();
    stopper.join();
    EXPECT_EQ(value, 1);
}
