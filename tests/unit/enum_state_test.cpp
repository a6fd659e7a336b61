#include <cstring>

#include "MockEngine.h"

using ::testing::_;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Return;

namespace {

constexpr unsigned short kDevice = 7;
constexpr unsigned long kGddId = 0x12345678;

class EnumStates : public ProxyTest {
  protected:
    // The state list answers `status` with `type` and these values, and reports `count` states.
    void answerList(Y4_Status status, std::vector<std::uint16_t> values, std::uint32_t type = 5,
                    int count = -1) {
        EXPECT_CALL(*engine, GetVelEnumStateInfo(kDevice, kGddId, _, _, 100u, _))
            .WillOnce([=](auto, auto, ZvEnumStateType* t, std::uint16_t* n, unsigned int max,
                          std::uint16_t* cells) {
                expectClientLockHeld();
                if (status != 0) return status;
                t->type = type;
                *n = static_cast<std::uint16_t>(count < 0 ? values.size() : count);
                for (std::size_t i = 0; i < values.size() && i < max; ++i) cells[i] = values[i];
                return 0;
            });
    }

    // Each state's name is "s<value>"; the state at position `failAt` (from 0) fails.
    void answerNames(int failAt = -1) {
        EXPECT_CALL(*engine, GetVelEnumStateStr(_, 100u, _))
            .WillRepeatedly([this, failAt](const ZvVelPntEnum* s, unsigned int, char* buf) {
                expectClientLockHeld();
                EXPECT_EQ(s->deviceIdx, kDevice);
                EXPECT_EQ(s->gddId, kGddId);
                if (nameRequests++ == failAt) return 5;
                std::strcpy(buf, ("s" + std::to_string(s->stateValue)).c_str());
                return 0;
            });
    }

    int run() { return proxy->GetVelEnumStateInfo(&values, &names, &type, kGddId, kDevice); }

    int nameRequests = 0;
    std::list<int> values{99};
    std::list<std::string> names{"kept"};
    ZvEnumStateType type{77};
};

TEST_F(EnumStates, StatesAreAppendedInTheEnginesOrderAfterWhatTheListsHeld) {
    start();
    answerList(0, {0, 65535, 2});
    answerNames();
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(type.type, 5u);
    EXPECT_THAT(values, ElementsAre(99, 0, 65535, 2));
    EXPECT_THAT(names, ElementsAre("kept", "s0", "s65535", "s2"));
    EXPECT_THAT(log.take(), IsEmpty());
}

TEST_F(EnumStates, AHundredStatesAreDeliveredAndAHundredAndOneRefused) {
    start();
    std::vector<std::uint16_t> hundred(100);
    for (std::uint16_t i = 0; i < 100; ++i) hundred[i] = i;
    answerList(0, hundred);
    answerNames();
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(values.size(), 101u);
    EXPECT_EQ(names.size(), 101u);

    answerList(0, hundred, 6, 101);
    EXPECT_EQ(run(), 2);
    EXPECT_EQ(type.type, 6u);  // written before the count is tested
    EXPECT_EQ(values.size(), 101u);
    EXPECT_THAT(log.take(),
                ElementsAre(ErrorLine("GetVelEnumStateInfo: The count of state info is greater "
                                      "than the Max state count due to error:0 - GddId: "
                                      "305419896, Device index :7, the count of state info :101")));
}

TEST_F(EnumStates, NamesAreAskedForOnlyWhenWantedAndNullListsAreNotBuilt) {
    ZvPldProxy& p = start();
    struct {
        bool values, names;
        std::vector<std::uint16_t> states;
    } const cases[] = {
        {false, false, {1, 2}}, {true, false, {1, 2, 3}}, {false, true, {1, 2}}, {true, true, {}}};
    for (const auto& c : cases) {
        std::list<int> v{99};
        std::list<std::string> n{"kept"};
        answerList(0, c.states, 3);
        if (c.names && !c.states.empty()) answerNames();  // the strict engine refuses others
        EXPECT_EQ(p.GetVelEnumStateInfo(c.values ? &v : nullptr, c.names ? &n : nullptr, &type,
                                        kGddId, kDevice),
                  0);
        EXPECT_EQ(type.type, 3u);
        EXPECT_EQ(v.size(), c.values ? 1 + c.states.size() : 1u);
        if (c.values && !c.states.empty()) {
            EXPECT_EQ(v.back(), c.states.back());
        }
        EXPECT_EQ(n.size(), c.names ? 1 + c.states.size() : 1u);
    }
}

TEST_F(EnumStates, AFailedListRequestTouchesNothing) {
    start();
    struct {
        Y4_Status status;
        int result;
    } const cases[] = {{3, 4098}, {1007, 4096}, {6, 2}};
    for (const auto& c : cases) {
        answerList(c.status, {});
        EXPECT_EQ(run(), c.result);
    }
    EXPECT_EQ(type.type, 77u);
    EXPECT_THAT(values, ElementsAre(99));
    EXPECT_THAT(names, ElementsAre("kept"));
    EXPECT_THAT(
        log.take(),
        ElementsAre(ErrorLine("GetVelEnumStateInfo - unable to get data point's enum state "
                              "information due to error: 6 - GddId: 305419896  Device index :7")));
}

TEST_F(EnumStates, AFailedNameStopsTheListsWithTheValueAheadOfTheName) {
    start();
    answerList(0, {10, 11, 12, 13});
    answerNames(2);
    EXPECT_EQ(run(), 2);
    EXPECT_THAT(values, ElementsAre(99, 10, 11, 12));
    EXPECT_THAT(names, ElementsAre("kept", "s10", "s11"));
    EXPECT_THAT(log.take(), IsEmpty());
}

TEST_F(EnumStates, ANameThatFillsItsBufferEndsWithTheBuffer) {
    start();
    answerList(0, {1});
    EXPECT_CALL(*engine, GetVelEnumStateStr(_, 100u, _)).WillOnce([](auto, auto, char* buf) {
        std::memset(buf, 'n', 100);  // no NUL
        return 0;
    });
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(names.back(), std::string(100, 'n'));
}

}  // namespace
