#include <cstring>
#include <numeric>

#include "MockEngine.h"

namespace {

using namespace ::testing;

constexpr unsigned short kDevice = 7;
constexpr unsigned long kGddId = 0x12345678;

class EnumStates : public ProxyTest {
  protected:
    EnumStates() { start(); }

    // The list request answers `status`, state type 5 and as many of `states` as fit. With
    // `names`, state v is named "s<v>" (state 99 fills the whole buffer, with no NUL), but the
    // name request of state 1000 fails.
    void answer(Y4_Status status, std::vector<std::uint16_t> states, bool names = true) {
        EXPECT_CALL(*engine, GetVelEnumStateInfo(kDevice, kGddId, _, _, 100u, _))
            .WillOnce([=](auto, auto, auto* t, auto* n, unsigned int max, auto* cells) {
                EXPECT_EQ(ZvLinuxMutex::HeldByThisThread(), 1);
                t->type = 5;
                *n = static_cast<std::uint16_t>(states.size());
                std::copy_n(states.begin(), std::min<std::size_t>(states.size(), max), cells);
                return status;
            });
        if (!names) return;
        EXPECT_CALL(*engine, GetVelEnumStateStr(Pointee(FieldsAre(kDevice, kGddId, _)), 100u, _))
            .WillRepeatedly([](const ZvVelPntEnum* s, auto, char* buf) {
                const std::string name = s->stateValue == 99 ? std::string(100, 'n')
                                                             : "s" + std::to_string(s->stateValue);
                std::memcpy(buf, name.c_str(), std::min<std::size_t>(name.size() + 1, 100));
                return s->stateValue == 1000 ? 5 : 0;
            });
    }
    std::list<int> values{99};
    std::list<std::string> names{"kept"};
    ZvEnumStateType type{77};
};

TEST_F(EnumStates, StatesAreAppendedInOrderToTheListsGivenUntilANameFails) {
    answer(0, {1, 2}, false);  // the strict engine refuses names nobody wants
    EXPECT_EQ(proxy->GetVelEnumStateInfo(&values, nullptr, &type, kGddId, kDevice), 0);
    answer(0, {0, 65535, 2, 1000, 4});  // the failing state's value is in, its name is not
    EXPECT_EQ(proxy->GetVelEnumStateInfo(&values, &names, &type, kGddId, kDevice), 2);
    EXPECT_THAT(values, ElementsAre(99, 1, 2, 0, 65535, 2, 1000));
    EXPECT_THAT(names, ElementsAre("kept", "s0", "s65535", "s2"));
    std::vector<std::uint16_t> states(100);
    std::iota(states.begin(), states.end(), 0);
    answer(0, states);
    // All hundred, state 99 with a name that fills its buffer.
    EXPECT_EQ(proxy->GetVelEnumStateInfo(nullptr, &names, &type, kGddId, kDevice), 0);
    EXPECT_EQ(names.size(), 104u);
    EXPECT_EQ(names.back(), std::string(100, 'n'));
    EXPECT_THAT(log.take(), IsEmpty());
}

TEST_F(EnumStates, AFailedListRequestOrAHundredAndOneStatesAppendNothing) {
    const std::string unable =
        "GetVelEnumStateInfo - unable to get data point's enum state information due to error: 6 "
        "- GddId: 305419896  Device index :7";
    const std::string many =
        "GetVelEnumStateInfo: The count of state info is greater than the Max state count due to "
        "error:0 - GddId: 305419896, Device index :7, the count of state info :101";
    // status, states, result, line, the type afterwards (written before the count is tested)
    const std::tuple<Y4_Status, std::size_t, int, std::string, unsigned> cases[] = {
        {3, 1, 4098, "", 77}, {1007, 1, 4096, "", 77}, {6, 1, 2, unable, 77}, {0, 101, 2, many, 5}};
    for (const auto& [status, states, result, line, typeAfter] : cases) {
        answer(status, std::vector<std::uint16_t>(states), false);
        ExpectOutcome(log, proxy->GetVelEnumStateInfo(&values, &names, &type, kGddId, kDevice),
                      result, line);
        EXPECT_EQ(type.type, typeAfter);
    }
    EXPECT_THAT(values, ElementsAre(99));
    EXPECT_THAT(names, ElementsAre("kept"));
}

}  // namespace
