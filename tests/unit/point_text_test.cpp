// The four text reads share one frame; each case runs against all four.
#include <cstring>

#include "MockEngine.h"

using ::testing::_;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

using Reply = std::function<Y4_Status(const ZvVelPntDfn*, unsigned int, char*)>;

struct TextOp {
    const char* name;
    void (*expect)(MockEngine&, Reply);
    int (*call)(ZvPldProxy&, std::string&, const PointArgs&);
    bool sendsAuxText, sendsAuxParam, sendsUofm;  // otherwise null, 0, 0 in the record
    bool keepsWholePoint;                         // mmIdx 0xFFFF goes to the engine unchanged
    Y4_Status alsoSuccess;
    const char* failure;  // after the name; its numbers: status, GddId, mmIdx, uofm
    const char* asciiTag;
};

const char kCommonFailure[] = " - unable to get data due to error: %d - GddId: %d";

const TextOp kOps[] = {
    {"GetLabelString",
     [](MockEngine& e, Reply r) { EXPECT_CALL(e, GetVelPntStrLabel(_, _, _)).WillOnce(r); },
     [](ZvPldProxy& p, std::string& t, const PointArgs& a) {
         return p.GetLabelString(t, a.device, a.gddId, a.mmIdx, a.auxIdx, a.auxText);
     },
     true, false, false, false, 0, kCommonFailure, "ZvPldProxy"},
    {"GetFullDescriptionString",
     [](MockEngine& e, Reply r) { EXPECT_CALL(e, GetVelPntStrDscrptn(_, _, _)).WillOnce(r); },
     [](ZvPldProxy& p, std::string& t, const PointArgs& a) {
         return p.GetFullDescriptionString(t, a.device, a.gddId, a.mmIdx, a.auxIdx);
     },
     false, false, false, true, 6, kCommonFailure, "ZvPldProxy"},
    {"GetUomLabelString",
     [](MockEngine& e, Reply r) { EXPECT_CALL(e, GetVelPntStrUoM(_, _, _)).WillOnce(r); },
     [](ZvPldProxy& p, std::string& t, const PointArgs& a) {
         return p.GetUomLabelString(t, a.device, a.gddId, a.mmIdx, a.auxIdx, a.uofm);
     },
     false, false, true, false, 0, kCommonFailure, "libZvPldProxy"},
    {"GetValueString",
     [](MockEngine& e, Reply r) { EXPECT_CALL(e, GetVelPntStr(_, _, _)).WillOnce(r); },
     [](ZvPldProxy& p, std::string& t, const PointArgs& a) {
         return p.GetValueString(t, a.device, a.gddId, a.mmIdx, a.auxIdx, a.uofm, a.auxParam,
                                 a.auxText);
     },
     true, true, true, false, 0,
     " - unable to get data due to error:%d - GddId:%d, mmIdx:%d uofm:%ld", "ZvPldProxy"},
};

void PrintTo(const TextOp& op, std::ostream* os) {
    *os << op.name;
}

class TextRead : public ProxyTest, public ::testing::WithParamInterface<TextOp> {
  protected:
    const TextOp& op = GetParam();

    // One read whose engine call answers `status` with the bytes of `reply` (not NUL-ended).
    int read(std::string& text, Y4_Status status, const std::string& reply = "ok",
             const PointArgs& a = kPoint) {
        op.expect(*engine, [=](const ZvVelPntDfn*, unsigned int size, char* buf) {
            expectClientLockHeld();
            std::memcpy(buf, reply.data(), std::min<std::size_t>(reply.size(), size));
            return status;
        });
        return op.call(*proxy, text, a);
    }
};

TEST_P(TextRead, TheEngineGetsThePointWithItsModuleCountedFromZero) {
    start();
    struct {
        unsigned short mmIdx;
        std::uint16_t engineMm;
    } const cases[] = {
        {2, 1}, {1, 0}, {0, 0xFFFF}, {0xFFFF, std::uint16_t(op.keepsWholePoint ? 0xFFFF : 0xFFFE)}};
    for (const auto& c : cases) {
        PointArgs a = kPoint;
        a.mmIdx = c.mmIdx;
        op.expect(*engine, [&](const ZvVelPntDfn* rec, unsigned int size, char*) {
            ExpectRecord(*rec, a, c.engineMm, op.sendsAuxParam,
                         op.sendsAuxText ? a.auxText : nullptr, op.sendsUofm);
            EXPECT_EQ(size, 256u);
            return 0;
        });
        std::string text;
        EXPECT_EQ(op.call(*proxy, text, a), 0) << "mmIdx " << c.mmIdx;
    }
}

TEST_P(TextRead, StatusesMapOntoResultCodesAndFailuresKeepTheCallersText) {
    start();
    struct {
        Y4_Status status;
        int result;  // -1: the operation's own failure, 2 with its message
    } const cases[] = {{0, 0},    {1, 4096}, {2, 4097}, {3, 4098}, {4, 4099},
                       {5, 4100}, {6, -1},   {7, -1},   {-1, -1},  {1007, -1}};
    for (const auto& c : cases) {
        const bool success = c.status == 0 || c.status == op.alsoSuccess;
        std::string text = "before";
        const int rc = read(text, c.status);
        SCOPED_TRACE("status " + std::to_string(c.status));
        if (success) {
            EXPECT_EQ(rc, 0);
            EXPECT_EQ(text, "ok");
            EXPECT_THAT(log.take(), IsEmpty());
        } else if (c.result > 0) {
            EXPECT_EQ(rc, c.result);
            EXPECT_EQ(text, "before");
            EXPECT_THAT(log.take(), IsEmpty());
        } else {
            EXPECT_EQ(rc, 2);
            EXPECT_EQ(text, "before");
            EXPECT_THAT(log.take(),
                        ElementsAre(ErrorLine(FailureText(op.name, op.failure, c.status, kPoint))));
        }
    }
}

TEST_P(TextRead, RepliesAreCutAt256AndRejectedWholeWhenNotAscii) {
    start();
    struct {
        std::string reply;
        int result;
        std::string text;     // the caller's text afterwards
        const char* badByte;  // in the non-ASCII message, or null
    } const cases[] = {
        {std::string(1, '\0'), 0, "", nullptr},
        {std::string(256, 'a'), 0, std::string(256, 'a'), nullptr},  // no NUL in the reply
        {std::string(255, 'b'), 0, std::string(255, 'b'), nullptr},
        {"\xC3\xA9t\xC3\xA9", 2, "before", "C3"},
        {std::string(255, 'c') + "\x80", 2, "before", "80"},
        {"ok\xFF", 2, "before", "FF"},
    };
    for (const auto& c : cases) {
        std::string text = "before";
        EXPECT_EQ(read(text, 0, c.reply), c.result);
        EXPECT_EQ(text, c.text);
        if (c.badByte == nullptr) {
            EXPECT_THAT(log.take(), IsEmpty());
        } else {
            EXPECT_THAT(log.take(),
                        ElementsAre(ErrorLine(std::string(op.name) + " - non-ASCII character (" +
                                                  c.badByte + ") in string value - GddId: 4660",
                                              op.asciiTag)));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(AllFour, TextRead, ::testing::ValuesIn(kOps), OpName());

using TextReadAuxText = ProxyTest;

TEST_F(TextReadAuxText, ANullAuxTextIsSentAsZeroForLabelsAndAsNullForValues) {
    ZvPldProxy& p = start();
    EXPECT_CALL(*engine, GetVelPntStrLabel(_, _, _))
        .WillOnce([](const ZvVelPntDfn* rec, auto, auto) {
            EXPECT_STREQ(rec->auxText, "0");
            return 0;
        });
    EXPECT_CALL(*engine, GetVelPntStr(_, _, _)).WillOnce([](const ZvVelPntDfn* rec, auto, auto) {
        EXPECT_EQ(rec->auxText, nullptr);
        return 0;
    });
    std::string text;
    EXPECT_EQ(p.GetLabelString(text, 1, 2, 1, 0, nullptr), 0);
    EXPECT_EQ(p.GetValueString(text, 1, 2, 1, 0, 0, 0, nullptr), 0);
}

}  // namespace
