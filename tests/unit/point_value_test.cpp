// The frame every point operation shares, run over the text, numeric and attribute tables; here
// the numeric reads and the writes.
#include <cstdio>

#include "MockEngine.h"

using ::testing::_;

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
        std::snprintf(line, sizeof line, op.failure, kStatuses[i], kStatuses[i] == 6 ? 0 : 42);
        std::string out = "77";
        ExpectOutcome(log, run(PointAnswer{kStatuses[i]}, out), op.results[i], line);
        EXPECT_EQ(out, op.results[i] == 0 ? op.delivered : "77");
    }
}

namespace {

constexpr std::uint16_t kSetParam = 0xBEEF;
const char kNewText[] = "21.5";
constexpr unsigned kValueRecord = kModule | kAuxParam | kUofm;

const PointOp kNumericOps[] = {
    {"GetValueSInt32", kValueRecord | kZeroText, "-5", kPassesOneToFive,
     "GetValueSInt32 - unable to get data due to error:%d - GddId: 4660, mmIdx:2, uofm: 65538",
     POINT_CALL(GetVelPntInt32, ReadNumber(out, p, &ZvPldProxy::GetValueSInt32, a.device, a.gddId,
                                           a.mmIdx, a.auxIdx, a.uofm, a.auxParam))},
    {"GetValueUInt32", kValueRecord | kZeroText, "4294967291", kPassesOneToFiveAnd1007,
     "GetValueUInt32 - unable to get data due to error:%d - GddId: 4660, mmIdx:2, uofm: 65538",
     POINT_CALL(GetVelPntUint32, ReadNumber(out, p, &ZvPldProxy::GetValueUInt32, a.device, a.gddId,
                                            a.mmIdx, a.auxIdx, a.uofm, a.auxParam))},
    {"SetValueString", kValueRecord | kCallersText, "77", kPassesOneToThree,
     "SetValueString - unable to set data due to error:%d - GddId:4660, mmIdx:2, uofm:65538",
     POINT_CALL(SetVelPntStr(_, kNewText, kSetParam),
                p.SetValueString(kNewText, a.device, a.gddId, a.mmIdx, a.auxIdx, a.uofm, a.auxParam,
                                 a.auxText, kSetParam))},
    {"SetValueSInt32", kValueRecord | kZeroText, "77", kPassesOneToThree,
     "SetValueSInt32: - unable to set data due to error:%d - GddId:4660, mmIdx:2, uofm: 65538",
     POINT_CALL(SetVelPntInt32(_, -5, kSetParam),
                p.SetValueSInt32(-5, a.device, a.gddId, a.mmIdx, a.auxIdx, a.uofm, a.auxParam,
                                 kSetParam))},
    {"SetValueUInt32", kValueRecord | kZeroText, "77", kPassesOneToThree,
     "SetValueUInt32 - unable to set data due to error:%d - GddId: 4660, mmIdx:2, uofm: 65538",
     POINT_CALL(SetVelPntUint32(_, 0xFFFFFFFBu, kSetParam),
                p.SetValueUInt32(0xFFFFFFFBu, a.device, a.gddId, a.mmIdx, a.auxIdx, a.uofm,
                                 a.auxParam, kSetParam))},
};

INSTANTIATE_TEST_SUITE_P(Numeric, PointOperation, ::testing::ValuesIn(kNumericOps), OpName());

}  // namespace
