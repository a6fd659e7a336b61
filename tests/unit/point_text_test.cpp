// The four text reads: their rows of the point frame, and the check of the reply's text.
#include "MockEngine.h"

namespace {

constexpr int kDescriptionResults[] = {0, 4096, 4097, 4098, 4099, 4100, 0, 2, 2};  // 6 succeeds

const PointOp kTextOps[] = {
    {"GetLabelString", kModule | kCallersText | kZeroText, "ok", kPassesOneToFive,
     "GetLabelString - unable to get data due to error: %d - GddId: 4660",
     POINT_CALL(GetVelPntStrLabel,
                p.GetLabelString(out, a.device, a.gddId, a.mmIdx, a.auxIdx, a.auxText))},
    {"GetFullDescriptionString", kModule | kWholePoint, "ok", kDescriptionResults,
     "GetFullDescriptionString - unable to get data due to error: %d - GddId: 4660",
     POINT_CALL(GetVelPntStrDscrptn,
                p.GetFullDescriptionString(out, a.device, a.gddId, a.mmIdx, a.auxIdx))},
    {"GetUomLabelString", kModule | kUofm, "ok", kPassesOneToFive,
     "GetUomLabelString - unable to get data due to error: %d - GddId: 4660",
     POINT_CALL(GetVelPntStrUoM,
                p.GetUomLabelString(out, a.device, a.gddId, a.mmIdx, a.auxIdx, a.uofm)),
     "libZvPldProxy"},
    {"GetValueString", kModule | kAuxParam | kCallersText | kUofm, "ok", kPassesOneToFive,
     "GetValueString - unable to get data due to error:%d - GddId:4660, mmIdx:2 uofm:65538",
     POINT_CALL(GetVelPntStr, p.GetValueString(out, a.device, a.gddId, a.mmIdx, a.auxIdx, a.uofm,
                                               a.auxParam, a.auxText))},
};

INSTANTIATE_TEST_SUITE_P(Text, PointOperation, ::testing::ValuesIn(kTextOps), OpName());

using TextReply = PointOperation;

TEST_P(TextReply, IsCutAt256AndRejectedWholeWhenNotAscii) {
    struct {
        std::string reply;
        const char* badByte;  // in the non-ASCII line, or null
    } const cases[] = {
        {"", nullptr},
        {std::string(255, 'a') + "\x7F", nullptr},  // fills the buffer: no NUL
        {"\xC3\xA9t\xC3\xA9", "C3"},
        {std::string(255, 'c') + "\x80", "80"},
    };
    for (const auto& c : cases) {
        std::string out = "77";
        ExpectOutcome(log, run(PointAnswer{0, c.reply}, out), c.badByte ? 2 : 0,
                      std::string(op.name) + " - non-ASCII character (" +
                          (c.badByte ? c.badByte : "") + ") in string value - GddId: 4660",
                      op.asciiTag);
        EXPECT_EQ(out, c.badByte ? "77" : c.reply);
    }
}

INSTANTIATE_TEST_SUITE_P(AllFour, TextReply, ::testing::ValuesIn(kTextOps), OpName());

}  // namespace
