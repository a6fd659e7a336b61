#include <cstring>
#include <numeric>

#include "MockEngine.h"

using ::testing::_;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

constexpr unsigned short kDevice = 7;
constexpr unsigned long kGddId = 0x12345678;

class EnumStates : public ProxyTest {
  protected:
    EnumStates() { start(); }

    // The list request answers `status`, state type 5 and as many of `states` as fit. With
    // `names`, state v is named "s<v>" (state 99 fills the whole buffer, with no NUL), but the
    // name request of state `failing` fails.
    void answer(Y4_Status status, std::vector<std::uint16_t> states, bool names = true,
                int failing = -1) {
        type.type = 77;
        EXPECT_CALL(*engine, GetVelEnumStateInfo(kDevice, kGddId, _, _, 100u, _))
            .WillOnce([=](auto, auto, ZvEnumStateType* t, std::uint16_t* n, unsigned int max,
                          std::uint16_t* cells) {
                EXPECT_EQ(ZvLinuxMutex::HeldByThisThread(), 1);
                t->type = 5;
                *n = static_cast<std::uint16_t>(states.size());
                std::copy_n(states.begin(), std::min<std::size_t>(states.size(), max), cells);
                return status;
            });
        if (!names) return;
        EXPECT_CALL(*engine, GetVelEnumStateStr(_, 100u, _))
            .WillRepeatedly([failing](const ZvVelPntEnum* s, auto, char* buf) {
                EXPECT_EQ(ZvLinuxMutex::HeldByThisThread(), 1);
                EXPECT_TRUE(s->deviceIdx == kDevice && s->gddId == kGddId);
                if (s->stateValue == failing) return 5;
                const std::string name = s->stateValue == 99 ? std::string(100, 'n')
                                                             : "s" + std::to_string(s->stateValue);
                std::memcpy(buf, name.c_str(), std::min<std::size_t>(name.size() + 1, 100));
                return 0;
            });
    }

    int run() { return proxy->GetVelEnumStateInfo(&values, &names, &type, kGddId, kDevice); }

    std::list<int> values{99};
    std::list<std::string> names{"kept"};
    ZvEnumStateType type{77};
};

TEST_F(EnumStates, StatesAreAppendedInTheEnginesOrderUntilANameFails) {
    answer(0, {0, 65535, 2, 13}, true, 13);
    EXPECT_EQ(run(), 2);
    EXPECT_EQ(type.type, 5u);
    // The failing state's value is in, its name is not.
    EXPECT_THAT(values, ElementsAre(99, 0, 65535, 2, 13));
    EXPECT_THAT(names, ElementsAre("kept", "s0", "s65535", "s2"));
    EXPECT_THAT(log.take(), IsEmpty());
}

TEST_F(EnumStates, NoneAndAHundredStatesAreDeliveredButAHundredAndOneRefused) {
    answer(0, {}, false);
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(type.type, 5u);
    std::vector<std::uint16_t> states(100);
    std::iota(states.begin(), states.end(), 0);
    answer(0, states);
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(values.size(), 101u);
    EXPECT_EQ(names.back(), std::string(100, 'n'));
    states.push_back(100);
    answer(0, states, false);
    ExpectOutcome(log, run(), 2,
                  "GetVelEnumStateInfo: The count of state info is greater than the Max state "
                  "count due to error:0 - GddId: 305419896, Device index :7, the count of state "
                  "info :101");
    EXPECT_EQ(type.type, 5u);  // written before the count is tested
    EXPECT_EQ(values.size(), 101u);
}

TEST_F(EnumStates, NamesAreAskedForOnlyWhenWantedAndNullListsAreNotBuilt) {
    for (const bool wantNames : {false, true}) {  // the strict engine refuses unwanted names
        answer(0, {1, 2}, wantNames);
        // A null list of values, or of names, is not built.
        EXPECT_EQ(proxy->GetVelEnumStateInfo(wantNames ? nullptr : &values,
                                             wantNames ? &names : nullptr, &type, kGddId, kDevice),
                  0);
    }
    EXPECT_THAT(values, ElementsAre(99, 1, 2));
    EXPECT_THAT(names, ElementsAre("kept", "s1", "s2"));
}

TEST_F(EnumStates, AFailedListRequestTouchesNothing) {
    const std::pair<Y4_Status, int> cases[] = {{3, 4098}, {1007, 4096}, {6, 2}};
    for (const auto& [status, result] : cases) {
        answer(status, {1}, false);
        ExpectOutcome(log, run(), result,
                      FailureLine("GetVelEnumStateInfo - unable to get data point's enum state "
                                  "information due to error: %d - GddId: 305419896  Device "
                                  "index :7",
                                  status, 0));
        EXPECT_EQ(type.type, 77u);
    }
    EXPECT_THAT(values, ElementsAre(99));
    EXPECT_THAT(names, ElementsAre("kept"));
}

}  // namespace
