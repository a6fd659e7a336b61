// The report queries, the ancestor cache and the hierarchy queries read from it.
#include <algorithm>
#include <functional>
#include <list>
#include <sstream>
#include <stdexcept>

#include "MockEngine.h"

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::NotNull;
using ::testing::Return;

namespace {

constexpr unsigned short kDevice = 7, kGdd = 0x1234;  // 4660: a point, or a report (its label)
constexpr std::uint32_t kReport = 0x600;              // the report that holds kGdd

// A line of the ancestor cache or a hierarchy query: written under s_singletonLock alone.
LogLine CacheLine(const std::string& text) {
    return LogLine{3, "ZvPldProxy", text, 1};
}

// A number query's engine answer, its result and the output cell (77 before) afterwards.
struct NumberCase {
    std::uint32_t answer;
    int result;
    const char* out;
};

using ReportQuery = ProxyTest;

TEST_F(ReportQuery, MaximumNumberOfAncestorsFailsOnlyWhenEveryBitIsSet) {
    start();
    const NumberCase cases[] = {
        {0, 0, "0"}, {0xFFFFFFFEu, 0, "4294967294"}, {0xFFFFFFFFu, 2, "77"}};
    for (const auto& c : cases) {
        EXPECT_CALL(*engine, GetMaxNmbrAncstrs(kDevice)).WillOnce(ReturnUnderClientLock(c.answer));
        std::string out;
        ExpectOutcome(log, ReadNumber(out, *proxy, &ZvPldProxy::GetMaxNmbrAncestors, kDevice),
                      c.result,
                      "GetMaxNmbrAncestors : Get maximum number of report ancestors error,device "
                      "Id:7");
        EXPECT_EQ(out, c.out);
    }
}

TEST_F(ReportQuery, PointReportFailsOnlyForNoReportWithALineEndingInABlank) {
    start();
    const NumberCase cases[] = {{0x80000001u, 0, "2147483649"}, {0, 2, "77"}};
    for (const auto& c : cases) {
        EXPECT_CALL(*engine, GetPointsRprt(kDevice, 0xFEDCul))
            .WillOnce(ReturnUnderClientLock(c.answer));
        std::string out;
        const unsigned short point = 0xFEDC;  // 65244: widened, not sign-extended
        ExpectOutcome(log, ReadNumber(out, *proxy, &ZvPldProxy::GetPointReportNum, kDevice, point),
                      c.result, "GetPointReportNum :No report ID for point :65244,device :7 ");
        EXPECT_EQ(out, c.out);
    }
}

std::string Unreadable(Y4_Status status, unsigned short mmIdx) {
    return "GetReportLabel: Unable to get report label due to error" + std::to_string(status) +
           " , GddId :4660, device Id :7, multi-module index: " + std::to_string(mmIdx);
}

TEST_F(ReportQuery, LabelTakesSevenAndEightForSuccessAndOnlyPlainAscii) {
    start();
    const std::string full(256, 'L'), bad = "GetReportLabel - non-ASCII character (";
    const struct {
        Y4_Status status;
        std::string reply;
        unsigned short mmIdx;  // as the client passes it
        std::uint16_t sent;    // in the record
        int result;            // 0: the reply is the label; otherwise the label stays "old"
        int level;             // of the one line, 0 for none
        std::string line;
    } cases[] = {
        {7, full, 2, 1, 0, 0, ""},
        {8, "Boiler", 65535, 65535, 0, 7,
         "GetReportLabel: report label was truncated to 256 charactersGddId :4660"},
        {7, "", 1, 0, 0, 0, ""},
        {7, "\x80" + full.substr(1), 2, 1, 2, 3, bad + "80) in string value - GddId: 4660"},
        {7, full.substr(1) + "\xFF", 2, 1, 2, 3, bad + "FF) in string value - GddId: 4660"},
        {1, "Boiler", 2, 1, 4096, 0, ""},
        {2, "Boiler", 2, 1, 4097, 0, ""},
        {3, "Boiler", 2, 1, 4098, 0, ""},
        {4, "Boiler", 2, 1, 4099, 0, ""},
        {5, "Boiler", 2, 1, 4100, 0, ""},
        {0, "Boiler", 0, 65535, 2, 3, Unreadable(0, 0)},
        {6, "Boiler", 65535, 65535, 2, 3, Unreadable(6, 65535)},
        {9, "Boiler", 1, 0, 2, 3, Unreadable(9, 1)},
    };
    for (const auto& c : cases) {
        EXPECT_CALL(*engine, GetVelRprtStrLabel(NotNull(), 256u, NotNull()))
            .WillOnce([&](ZvVelRprtDfn* rprt, unsigned int, char* buf) {
                EXPECT_EQ(ZvLinuxMutex::HeldByThisThread(), 1);
                EXPECT_EQ(rprt->deviceIdx, kDevice);
                EXPECT_EQ(rprt->gddId, kGdd);
                EXPECT_EQ(rprt->mmIdx, c.sent);
                EXPECT_EQ(rprt->buf, nullptr);
                EXPECT_EQ(rprt->bufSize, 256u);
                std::copy(c.reply.begin(), c.reply.end(), buf);
                return c.status;
            });
        std::string label = "old";
        EXPECT_EQ(proxy->GetReportLabel(label, kDevice, kGdd, c.mmIdx), c.result) << c.status;
        EXPECT_EQ(label, c.result == 0 ? c.reply : "old");
        const std::vector<LogLine> lines{LogLine{c.level, "ZvPldProxy", c.line, 0}};
        EXPECT_THAT(log.take(), ElementsAreArray(lines.begin(), lines.begin() + (c.level != 0)));
    }
}

// A report's place in the hierarchy as the engine writes it: level 0, then the ancestors.
struct Chain {
    ZvPldEngAncestorEntry own;
    std::vector<ZvPldEngAncestorEntry> ancestors;
};
const Chain kChain{{0x500, 0xFFFF, 0x12345}, {{0x400, 0, 0xFFFF0001u}, {0x300, 4, 7}}};
const Chain kOther{{0x501, 3, 5}, {{0x401, 1, 6}}};
const Chain kAlone{{0x502, 3, 0x10000}, {}};

using Answer = std::function<Y4_Status(ZvVelRprtDfn*)>;

// Writes the chain as the engine does: the header, then the entries after it in the buffer.
Answer Writes(const Chain& chain) {
    return [chain](ZvVelRprtDfn* rprt) {
        auto* record = static_cast<ZvPldEngAncestors*>(rprt->buf);
        auto* entries = reinterpret_cast<ZvPldEngAncestorEntry*>(record + 1);
        const auto count = static_cast<std::uint16_t>(chain.ancestors.size());
        EXPECT_GE(rprt->bufSize, sizeof *record + count * sizeof *entries);
        *record =
            ZvPldEngAncestors{chain.own.gddId, chain.own.mmIdx, chain.own.auxValue, count, entries};
        std::copy(chain.ancestors.begin(), chain.ancestors.end(), entries);
        return 0;
    };
}

ACTION_P(ReturnUnderBothLocks, value) {
    EXPECT_EQ(ZvLinuxMutex::HeldByThisThread(), 2);  // s_singletonLock and s_clientLock
    return value;
}

template <class... Values>
std::string Joined(const Values&... values) {
    std::ostringstream out;
    ((out << values << ' '), ...);
    return out.str();
}

class Hierarchy : public ProxyTest {
  protected:
    Hierarchy() { start(); }

    // Expects the engine requests of a miss for the point kGdd, in order, and of them the first
    // `asked`; the record of the last must carry `sent` and a buffer for `max` entries.
    void ExpectFetch(std::uint16_t sent, Answer answer, std::uint32_t max = 2,
                     std::uint32_t report = kReport, int asked = 3) {
        ::testing::InSequence order;
        EXPECT_CALL(*engine, GetMaxNmbrAncstrs(kDevice)).WillOnce(ReturnUnderBothLocks(max));
        if (asked < 2) return;
        EXPECT_CALL(*engine, GetPointsRprt(kDevice, kGdd)).WillOnce(ReturnUnderBothLocks(report));
        if (asked < 3) return;
        EXPECT_CALL(*engine, GetRprtAncstr(NotNull())).WillOnce([=](ZvVelRprtDfn* rprt) {
            EXPECT_EQ(ZvLinuxMutex::HeldByThisThread(), 2);
            EXPECT_EQ(rprt->deviceIdx, kDevice);
            EXPECT_EQ(rprt->gddId, kReport);
            EXPECT_EQ(rprt->mmIdx, sent);
            EXPECT_NE(rprt->buf, nullptr);
            EXPECT_EQ(rprt->bufSize,
                      sizeof(ZvPldEngAncestors) + max * sizeof(ZvPldEngAncestorEntry));
            return answer(rprt);
        });
    }

    // GetHierarchyInfo of kGdd; `out` shows auxValue, mmIdx and gddId, each 77 before.
    int Info(std::string& out, unsigned short level, unsigned short mmIdx = 2) {
        unsigned short aux = 77, mm = 77;
        unsigned long gdd = 77;
        const int result = proxy->GetHierarchyInfo(&aux, &mm, &gdd, level, kDevice, kGdd, mmIdx);
        out = Joined(aux, mm, gdd);
        return result;
    }

    // GetHierarchyLists of kGdd into lists holding 9; `out` shows the lists.
    int Lists(std::string& out, unsigned short mmIdx = 2) {
        std::list<unsigned long> aux{9}, gdd{9};
        std::list<unsigned short> mm{9};
        const int result = proxy->GetHierarchyLists(aux, gdd, mm, kDevice, kGdd, mmIdx);
        out.clear();
        for (const auto& v : aux) out += Joined(v);
        for (const auto& v : gdd) out += Joined(v);
        for (const auto& v : mm) out += Joined(v);
        return result;
    }
};

TEST_F(Hierarchy, LevelsComeFromTheHeaderThenTheEntriesAndNoneLiesPastTheLast) {
    ExpectFetch(1, Writes(kChain));
    const struct {
        unsigned short level;
        int result;
        const char* out;
    } cases[] = {
        {0, 0, "9029 0 1280 "}, {1, 0, "1 1 1024 "}, {2, 0, "7 5 768 "}, {3, 2, "77 77 77 "}};
    for (const auto& c : cases) {
        std::string out;
        EXPECT_EQ(Info(out, c.level), c.result);
        EXPECT_EQ(out, c.out);
    }
    EXPECT_THAT(log.take(),
                ElementsAre(CacheLine(
                    "GetHierarchyInfo : Ancestor level (3) is too deep for point ID (4660)")));
    std::string lists;
    EXPECT_EQ(Lists(lists), 0);  // after what the lists held, auxValue whole
    EXPECT_EQ(lists, "9 74565 4294901761 7 9 1280 1024 768 9 0 1 5 ");
}

TEST_F(Hierarchy, EachModulesRecordIsKeptUntilAPldCountChangeDropsThemAll) {
    std::string first, other, again;
    ZvPldProxy::CallbackPldCnt(nullptr, 1);  // while the cache is empty
    ExpectFetch(1, Writes(kChain));
    EXPECT_EQ(Info(first, 1, 2), 0);
    EXPECT_EQ(Info(again, 1, 2), 0);
    EXPECT_EQ(again, first);
    ExpectFetch(2, Writes(kOther));  // another module of the same point: a record of its own
    EXPECT_EQ(Info(other, 1, 3), 0);
    EXPECT_EQ(Lists(again, 3), 0);
    EXPECT_EQ(again, "9 5 6 9 1281 1025 9 4 2 ");

    ZvPldProxy::CallbackPldCnt(nullptr, 2);
    ZvPldProxy::CallbackPldCnt(nullptr, 3);
    ExpectFetch(1, Writes(kAlone));  // the engine's hierarchy changed
    EXPECT_EQ(Info(again, 0, 2), 0);
    EXPECT_EQ(again, "0 4 1282 ");
    ExpectFetch(2, Writes(kOther));  // the other record went too
    EXPECT_EQ(Info(again, 1, 3), 0);
    EXPECT_EQ(again, other);
    EXPECT_EQ(Info(again, 0, 2), 0);  // one clear for both changes
    EXPECT_EQ(again, "0 4 1282 ");
}

TEST_F(Hierarchy, TheAncestorRequestNamesTheModuleFromZeroWithABufferForTheDevicesMaximum) {
    const struct {
        unsigned short mmIdx;
        std::uint16_t sent;
        std::uint32_t max;  // 0: the header alone
    } cases[] = {{1, 0, 3}, {0, 65535, 0}, {65535, 65534, 1}};
    for (const auto& c : cases) {
        ExpectFetch(c.sent, Writes(kAlone), c.max);
        std::string out;
        EXPECT_EQ(Lists(out, c.mmIdx), 0);
        EXPECT_EQ(out, "9 65536 9 1282 9 4 ");  // no ancestors: one level
    }
}

TEST_F(Hierarchy, AGddIdAbove65535AsksForTheReportOfItsLow16BitsAndIsLoggedWhole) {
    ::testing::InSequence order;
    EXPECT_CALL(*engine, GetMaxNmbrAncstrs(kDevice)).WillOnce(Return(2));
    EXPECT_CALL(*engine, GetPointsRprt(kDevice, 0x2345ul)).WillOnce(Return(0));
    ZvPldEngAncestors unchanged{};
    ZvPldEngAncestors* record = &unchanged;
    EXPECT_EQ(proxy->FillAncestorInfoForPt(&record, ZvAncestorInfoBufKey(kDevice, 0x12345, 2)), 9);
    EXPECT_EQ(record, nullptr);
    EXPECT_THAT(log.take(),
                ElementsAre(ErrorLine("GetPointReportNum :No report ID for point :9029,device :7 "),
                            ErrorLine("FillAncestorInfoForPt Get reportID error,GddId :74565, "
                                      "Device index:7")));
}

ZvPldEngAncestorEntry g_elsewhere[1];  // not in any ancestor buffer

TEST_F(Hierarchy, AFailedFetchWritesNothingKeepsNothingAndIsLoggedByTheCache) {
    const std::string fit = "FillAncestorInfoForPt GetRprtAncstr error: ",
                      noFit = " ancestors do not fit the buffer of " +
                              std::to_string(sizeof(ZvPldEngAncestors) +
                                             2 * sizeof(ZvPldEngAncestorEntry)) +
                              " bytes for point ID (4660), Device index :7";
    // A header of `count` entries, placed after it or elsewhere.
    const auto header = [](std::uint16_t count, bool inBuffer) -> Answer {
        return [=](ZvVelRprtDfn* rprt) {
            auto* record = static_cast<ZvPldEngAncestors*>(rprt->buf);
            auto* at =
                inBuffer ? reinterpret_cast<ZvPldEngAncestorEntry*>(record + 1) : g_elsewhere;
            *record = ZvPldEngAncestors{1, 1, 1, count, at};
            return 0;
        };
    };
    const struct {
        const char* name;
        std::uint32_t max, report;
        int asked;  // engine requests made
        Answer answer;
        int result;
        std::string cause, line;  // the report query's line, then the cache's; "" for none
    } cases[] = {
        {"NoAncestorRecord", 2, kReport, 3, [](ZvVelRprtDfn*) { return 85; }, 4098, "", ""},
        {"AncestorStatus", 2, kReport, 3, [](ZvVelRprtDfn*) { return 11; }, 2, "",
         fit + "status (11) for point ID (4660) and mmIdx (2), Device index :7"},
        {"NoReport", 2, 0, 2, nullptr, 2,
         "GetPointReportNum :No report ID for point :4660,device :7 ",
         "FillAncestorInfoForPt Get reportID error,GddId :4660, Device index:7"},
        {"NoMaximum", 0xFFFFFFFFu, 0, 1, nullptr, 2,
         "GetMaxNmbrAncestors : Get maximum number of report ancestors error,device Id:7",
         "FillAncestorInfoForPt Get the max number of ancestors error ,Device index :7"},
        // The buffer's size would wrap to a few bytes in 32 bits.
        {"MaximumTooLarge", 357913940, 0, 1, nullptr, 2, "",
         "FillAncestorInfoForPt Max number of ancestors (357913940) too large, Device index :7"},
        {"MoreEntriesThanTheMaximum", 2, kReport, 3, header(3, true), 2, "", fit + "3" + noFit},
        {"EntriesOutsideTheBuffer", 2, kReport, 3, header(1, false), 2, "", fit + "1" + noFit},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<LogLine> lines;
        for (const auto& text : {c.cause, c.line}) {
            if (!text.empty()) lines.push_back(CacheLine(text));
        }
        std::string out;
        ExpectFetch(1, c.answer, c.max, c.report, c.asked);
        EXPECT_EQ(Info(out, 0), c.result);
        EXPECT_EQ(out, "77 77 77 ");
        EXPECT_THAT(log.take(), ElementsAreArray(lines));
        ExpectFetch(1, c.answer, c.max, c.report, c.asked);
        EXPECT_EQ(Lists(out), c.result);
        EXPECT_EQ(out, "9 9 9 ");
        EXPECT_THAT(log.take(), ElementsAreArray(lines));
        ExpectFetch(1, Writes(kChain));  // nothing was kept: the engine is asked again
        EXPECT_EQ(Info(out, 0), 0);
        proxy->ClearAncestorInfo();
    }
}

TEST_F(Hierarchy, AThrowingMessageClientLeavesTheSingletonLockFree) {
    ExpectFetch(1, [](ZvVelRprtDfn*) -> Y4_Status { throw std::runtime_error("client gone"); });
    std::string out;
    EXPECT_THROW(Info(out, 0), std::runtime_error);
    EXPECT_EQ(ZvLinuxMutex::HeldByThisThread(), 0);
    ExpectFetch(1, Writes(kChain));
    EXPECT_EQ(Info(out, 0), 0);
}

}  // namespace
