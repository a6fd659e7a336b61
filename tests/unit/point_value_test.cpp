// Point access: the frame every point operation shares, run over the text, numeric and attribute
// tables; the check of a text reply; the enumeration states.
#include <cstdio>
#include <numeric>

#include "MockEngine.h"

using namespace ::testing;

namespace {

TEST_P(PointOperation, TheEngineGetsThePointWithItsModuleCountedFromZero) {
    const auto sent = [&](unsigned flag, auto v) {
        return op.sends & flag ? v : decltype(v){};
    };
    for (const PointArgs& a : {kPoint, PointArgs{7, 0x1234, 0, 9, 0x10002, -4, nullptr},
                               PointArgs{7, 0x1234, 0xFFFF, 9, 0x10002, -4, kAuxText}}) {
        ZvVelPntDfn rec{};
        std::string out = "77";
        EXPECT_EQ(run(PointAnswer{0, "ok", &rec}, out, a), 0);
        const bool whole = (op.sends & kWholePoint) && a.mmIdx == 0xFFFF;
        const auto mm = static_cast<std::uint16_t>(whole ? 0xFFFF : a.mmIdx - 1);
        EXPECT_EQ(std::tie(rec.deviceIdx, rec.gddId, rec.mmIdx, rec.auxIdx, rec.auxParam, rec.uofm),
                  std::make_tuple(a.device, std::uint32_t{a.gddId}, sent(kModule, mm),
                                  sent(kModule, a.auxIdx), sent(kAuxParam, a.auxParam),
                                  sent(kUofm, std::uint32_t(a.uofm))));
        const char* text = sent(kCallersText, a.auxText);
        EXPECT_STREQ(rec.auxText, text == nullptr && (op.sends & kZeroText) ? "0" : text);
    }
}

TEST_P(PointOperation, StatusesMapByItsTableAndOnlySuccessWritesTheOutput) {
    for (std::size_t i = 0; i < std::size(kStatuses); ++i) {
        SCOPED_TRACE("status " + std::to_string(kStatuses[i]));
        char line[256];
        std::snprintf(line, sizeof line, (op.name + std::string(op.failure)).c_str(), kStatuses[i],
                      kStatuses[i] == 6 ? 0 : 42);
        std::string out = "77";
        ExpectOutcome(log, run(PointAnswer{kStatuses[i]}, out), op.results[i], line);
        EXPECT_EQ(out, op.results[i] == 0 ? op.delivered : "77");
    }
}

constexpr std::uint16_t kSetParam = 0xBEEF;
const char kNewText[] = "21.5";
constexpr unsigned kValueRecord = kModule | kAuxParam | kUofm;

const PointOp kNumericOps[] = {
    {"GetValueSInt32", kValueRecord | kZeroText, "-5", kPassesOneToFive,
     " - unable to get data due to error:%d - GddId: 4660, mmIdx:2, uofm: 65538",
     POINT_CALL(GetVelPntInt32, ReadNumber(out, p, &ZvPldProxy::GetValueSInt32, a.device, a.gddId,
                                           a.mmIdx, a.auxIdx, a.uofm, a.auxParam))},
    {"GetValueUInt32", kValueRecord | kZeroText, "4294967291", kPassesOneToFiveAnd1007,
     " - unable to get data due to error:%d - GddId: 4660, mmIdx:2, uofm: 65538",
     POINT_CALL(GetVelPntUint32, ReadNumber(out, p, &ZvPldProxy::GetValueUInt32, a.device, a.gddId,
                                            a.mmIdx, a.auxIdx, a.uofm, a.auxParam))},
    {"SetValueString", kValueRecord | kCallersText, "77", kPassesOneToThree,
     " - unable to set data due to error:%d - GddId:4660, mmIdx:2, uofm:65538",
     POINT_CALL(SetVelPntStr(_, kNewText, kSetParam),
                p.SetValueString(kNewText, a.device, a.gddId, a.mmIdx, a.auxIdx, a.uofm, a.auxParam,
                                 a.auxText, kSetParam))},
    {"SetValueSInt32", kValueRecord | kZeroText, "77", kPassesOneToThree,
     ": - unable to set data due to error:%d - GddId:4660, mmIdx:2, uofm: 65538",
     POINT_CALL(SetVelPntInt32(_, -5, kSetParam),
                p.SetValueSInt32(-5, a.device, a.gddId, a.mmIdx, a.auxIdx, a.uofm, a.auxParam,
                                 kSetParam))},
    {"SetValueUInt32", kValueRecord | kZeroText, "77", kPassesOneToThree,
     " - unable to set data due to error:%d - GddId: 4660, mmIdx:2, uofm: 65538",
     POINT_CALL(SetVelPntUint32(_, 0xFFFFFFFBu, kSetParam),
                p.SetValueUInt32(0xFFFFFFFBu, a.device, a.gddId, a.mmIdx, a.auxIdx, a.uofm,
                                 a.auxParam, kSetParam))},
};

INSTANTIATE_TEST_SUITE_P(Numeric, PointOperation, ValuesIn(kNumericOps), OpName);

constexpr int kDescriptionResults[] = {0, 4096, 4097, 4098, 4099, 4100, 0, 2, 2};  // 6 succeeds

const PointOp kTextOps[] = {
    {"GetLabelString", kModule | kCallersText | kZeroText, "ok", kPassesOneToFive,
     " - unable to get data due to error: %d - GddId: 4660",
     POINT_CALL(GetVelPntStrLabel,
                p.GetLabelString(out, a.device, a.gddId, a.mmIdx, a.auxIdx, a.auxText))},
    {"GetFullDescriptionString", kModule | kWholePoint, "ok", kDescriptionResults,
     " - unable to get data due to error: %d - GddId: 4660",
     POINT_CALL(GetVelPntStrDscrptn,
                p.GetFullDescriptionString(out, a.device, a.gddId, a.mmIdx, a.auxIdx))},
    {"GetUomLabelString", kModule | kUofm, "ok", kPassesOneToFive,
     " - unable to get data due to error: %d - GddId: 4660",
     POINT_CALL(GetVelPntStrUoM,
                p.GetUomLabelString(out, a.device, a.gddId, a.mmIdx, a.auxIdx, a.uofm)),
     "libZvPldProxy"},
    {"GetValueString", kModule | kAuxParam | kCallersText | kUofm, "ok", kPassesOneToFive,
     " - unable to get data due to error:%d - GddId:4660, mmIdx:2 uofm:65538",
     POINT_CALL(GetVelPntStr, p.GetValueString(out, a.device, a.gddId, a.mmIdx, a.auxIdx, a.uofm,
                                               a.auxParam, a.auxText))},
};

INSTANTIATE_TEST_SUITE_P(Text, PointOperation, ValuesIn(kTextOps), OpName);

using TextReply = PointOperation;

TEST_P(TextReply, IsCutAt256AndRejectedWholeWhenNotAscii) {
    // The reply, and the byte the non-ASCII line names, or null; 256 bytes fill the buffer.
    const std::pair<std::string, const char*> cases[] = {{"", nullptr},
                                                         {std::string(255, 'a') + "\x7F", nullptr},
                                                         {"\xC3\xA9t\xC3\xA9", "C3"},
                                                         {std::string(255, 'c') + "\x80", "80"}};
    for (const auto& [reply, badByte] : cases) {
        std::string out = "77";
        ExpectOutcome(log, run(PointAnswer{0, reply}, out), badByte ? 2 : 0,
                      std::string(op.name) + " - non-ASCII character (" + (badByte ? badByte : "") +
                          ") in string value - GddId: 4660",
                      op.asciiTag);
        EXPECT_EQ(out, badByte ? "77" : reply);
    }
}

INSTANTIATE_TEST_SUITE_P(AllFour, TextReply, ValuesIn(kTextOps), OpName);

// clang-format off
#define ATTRIBUTE(query, expected, results, failure) {#query, 0, kAll, results, failure, \
    POINT_CALL(expected, ReadNumber(out, p, &ZvPldProxy::query, a.device, a.gddId))}
// clang-format on

constexpr int kCountResults[] = {0, 2, 2, 2, 2, 2, 2, 2, 2};
constexpr char kAll[] = "4294967291";  // the default answer's number, as an unsigned long

const PointOp kAttributeOps[] = {
    ATTRIBUTE(GetVelPointAccessRights, GetVelPntAccessRights, kPassesOneToFiveAnd1007,
              " - unable to get data access rights due to error:%d - GddId: 4660, device Id: 7"),
    ATTRIBUTE(GetVelPointDataType, GetVelPntDataType, kPassesOneToFiveAnd1007,
              " - unable to get data type due to error: %d - GddId: 4660,device Id:7"),
    ATTRIBUTE(GetVelPointUoMID, GetVelPntUoMId, kPassesOneToFiveAnd1007,
              "- unable to get units of measure ID due to error: %d - GddId: 4660, uofmID: %d"),
    ATTRIBUTE(GetVelPointNormFactor, GetVelPntDsplyNF, kPassesOneToFiveAnd1007,
              "- unable to get data point's norm factor due to error:%d - GddId: 4660, "
              "normalization factor: %d"),
    ATTRIBUTE(GetMaxModuleCnt, GetMaxRprtMMCnt, kCountResults,
              " : Get maximum multi-module count error, GddId :4660"),
    ATTRIBUTE(GetMaxArrayDim, GetMaxPntArrayDim, kCountResults,
              " : get point's max  Array Dimension error,GddId:4660, device Id: 7"),
};

INSTANTIATE_TEST_SUITE_P(Attribute, PointOperation, ValuesIn(kAttributeOps), OpName);

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

TEST_F(EnumStates, AFailedOrOverlongListAppendsNothingElseStatesAreAppendedUntilANameFails) {
    const std::string unable =
        "GetVelEnumStateInfo - unable to get data point's enum state information due to error: 6 "
        "- GddId: 305419896  Device index :7";
    const std::string many =
        "GetVelEnumStateInfo: The count of state info is greater than the Max state count due to "
        "error:0 - GddId: 305419896, Device index :7, the count of state info :101";
    // status, states, result, line, the type afterwards (written before the count is tested)
    const std::tuple<Y4_Status, std::size_t, int, std::string, unsigned> cases[] = {
        {3, 1, 4098, "", 77}, {1007, 1, 4096, "", 77}, {6, 1, 2, unable, 77}, {0, 101, 2, many, 5}};
    for (const auto& [status, count, result, line, typeAfter] : cases) {
        answer(status, std::vector<std::uint16_t>(count), false);
        ExpectOutcome(log, proxy->GetVelEnumStateInfo(&values, &names, &type, kGddId, kDevice),
                      result, line);
        EXPECT_EQ(type.type, typeAfter);
    }
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

}  // namespace
