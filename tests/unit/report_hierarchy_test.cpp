// The report queries, the ancestor cache and the hierarchy queries read from it.
#include <functional>
#include <stdexcept>

#include "MockEngine.h"

using namespace ::testing;

namespace {

constexpr unsigned short kDevice = 7, kGdd = 0xFEDC;  // 65244: a point or a report
constexpr std::uint32_t kReport = 0x600;              // the report that holds kGdd
// The ancestor record's header: 20 bytes on the target, 24 with a 64-bit host's pointer.
constexpr std::uint32_t kHeaderBytes = sizeof(void*) == 4 ? 20 : 24;

TEST(AncestorKey, AllSixOperatorsOrderByDeviceThenGddIdThenModuleAllUnsigned) {
    const ZvAncestorInfoBufKey ordered[][2] = {
        {{1, 9, 5}, {2, 0, 0}},           // device decides first
        {{1, 7, 9}, {1, 8, 0}},           // then GddId
        {{1, 7, 0}, {1, 7, 65535}},       // then mmIdx, unsigned
        {{1, 1, 0}, {1, 0x80000000, 0}},  // GddId compares unsigned
    };
    for (const auto& [a, b] : ordered) {
        SCOPED_TRACE(Message() << b.deviceIdx << "," << b.gddId << "," << b.mmIdx);
        EXPECT_TRUE(a < b && a <= b && a != b && !(a == b) && !(a > b) && !(a >= b));
        EXPECT_TRUE(b > a && b >= a && b != a && !(b == a) && !(b < a) && !(b <= a));
    }
    const ZvAncestorInfoBufKey a, b;
    EXPECT_TRUE(a == b && a <= b && a >= b && !(a != b) && !(a < b) && !(a > b));
}

// "result: the values of each list in turn".
template <class... Lists>
std::string Joined(int result, const Lists&... lists) {
    std::string out = std::to_string(result) + ":";
    const auto add = [&out](const auto& list) {
        for (const auto v : list) out += ' ' + std::to_string(v);
    };
    (add(lists), ...);
    return out;
}
using Fields = std::vector<unsigned long>;

std::string Unreadable(Y4_Status status, unsigned short mmIdx) {
    return "GetReportLabel: Unable to get report label due to error" + std::to_string(status) +
           " , GddId :65244, device Id :7, multi-module index: " + std::to_string(mmIdx);
}

using ReportQuery = ProxyTest;

TEST_F(ReportQuery, LabelTakesSevenAndEightForSuccessAndOnlyPlainAsciiAndCountsFailCleanly) {
    start();
    const std::string full(256, 'L'), bad = "GetReportLabel - non-ASCII character (";
    // The status, reply, mmIdx passed and sent, result (0: the reply is the label, otherwise the
    // label stays "old"), the one line (at level 7 for status 8, 3 otherwise).
    const std::tuple<Y4_Status, std::string, unsigned short, std::uint16_t, int, std::string>
        cases[] = {
            {7, full, 2, 1, 0, ""},
            {8, "Boiler", 65535, 65535, 0,
             "GetReportLabel: report label was truncated to 256 charactersGddId :65244"},
            {7, "\xFF" + full.substr(1), 2, 1, 2, bad + "FF) in string value - GddId: 65244"},
            {1, "Boiler", 2, 1, 4096, ""},
            {5, "Boiler", 2, 1, 4100, ""},
            {0, "Boiler", 0, 65535, 2, Unreadable(0, 0)},
            {6, "Boiler", 65535, 65535, 2, Unreadable(6, 65535)},
            {9, "Boiler", 1, 0, 2, Unreadable(9, 1)}};
    for (const auto& [status, reply, mmIdx, sent, result, line] : cases) {
        const auto record = Pointee(FieldsAre(kDevice, kGdd, sent, nullptr, 256u));
        EXPECT_CALL(*engine, GetVelRprtStrLabel(record, 256u, NotNull()))
            .WillOnce(DoAll(SetArrayArgument<2>(reply.begin(), reply.end()),
                            ReturnUnderClientLock(status)));
        std::string label = "old";
        EXPECT_EQ(proxy->GetReportLabel(label, kDevice, kGdd, mmIdx), result) << status;
        EXPECT_EQ(label, result == 0 ? reply : "old");
        const std::vector<LogLine> lines{{status == 8 ? 7 : 3, "ZvPldProxy", line, 0}};
        EXPECT_THAT(log.take(), ElementsAreArray(lines.begin(), lines.end() - line.empty()));
    }
    // The two queries the cache asks; a failure leaves the output as it was.
    EXPECT_CALL(*engine, GetMaxNmbrAncstrs(kDevice))
        .WillOnce(ReturnUnderClientLock(0xFFFFFFFFu))
        .WillOnce(ReturnUnderClientLock(0u));
    EXPECT_CALL(*engine, GetPointsRprt(kDevice, kGdd))
        .WillOnce(ReturnUnderClientLock(0u))
        .WillOnce(ReturnUnderClientLock(kReport));
    std::string max, report;
    EXPECT_EQ(ReadNumber(max, *proxy, &ZvPldProxy::GetMaxNmbrAncestors, kDevice), 2);
    EXPECT_EQ(ReadNumber(report, *proxy, &ZvPldProxy::GetPointReportNum, kDevice, kGdd), 2);
    EXPECT_EQ(max + " " + report, "77 77");
    EXPECT_EQ(ReadNumber(max, *proxy, &ZvPldProxy::GetMaxNmbrAncestors, kDevice), 0);
    EXPECT_EQ(ReadNumber(report, *proxy, &ZvPldProxy::GetPointReportNum, kDevice, kGdd), 0);
    EXPECT_EQ(max + " " + report, "0 1536");
    log.take();  // the lines are the cache's, checked with it
}

using Chain = std::vector<ZvPldEngAncestorEntry>;  // level 0, then the ancestors
const Chain kChain{{0x500, 0xFFFF, 0x12345}, {0x400, 0, 0xFFFF0001u}, {0x300, 4, 7}};
const Chain kOther{{0x501, 3, 5}, {0x401, 1, 6}};
const Chain kAlone{{0x502, 3, 0x10000}};

using Answer = std::function<Y4_Status(ZvVelRprtDfn*)>;
// Writes the chain as the engine does, the entries after the header; the header may place them
// `at` elsewhere or claim `extra` entries more.
Answer Writes(const Chain& chain, ZvPldEngAncestorEntry* at = nullptr, int extra = 0) {
    return [=](ZvVelRprtDfn* rprt) {
        auto* record = static_cast<ZvPldEngAncestors*>(rprt->buf);
        auto* entries = reinterpret_cast<ZvPldEngAncestorEntry*>(record + 1);
        *record = {chain[0].gddId, chain[0].mmIdx, chain[0].auxValue,
                   static_cast<std::uint16_t>(chain.size() - 1 + extra), at ? at : entries};
        std::copy(chain.begin() + 1, chain.end(), entries);
        return 0;
    };
}

ACTION_P(ReturnUnderBothLocks, value) {
    EXPECT_EQ(ZvLinuxMutex::HeldByThisThread(), 2);  // s_singletonLock and s_clientLock
    return value;
}

class Hierarchy : public ProxyTest {
  protected:
    Hierarchy() { start(); }

    // Expects the first `asked` engine requests of a miss for kGdd, in order; the ancestor request
    // must carry `sent` and a buffer for `max` entries.
    void ExpectFetch(std::uint16_t sent, Answer answer, std::uint32_t max = 2,
                     std::uint32_t report = kReport, int asked = 3) {
        InSequence order;
        EXPECT_CALL(*engine, GetMaxNmbrAncstrs(kDevice)).WillOnce(ReturnUnderBothLocks(max));
        if (asked < 2) return;
        EXPECT_CALL(*engine, GetPointsRprt(kDevice, kGdd)).WillOnce(ReturnUnderBothLocks(report));
        if (asked < 3) return;
        const std::uint32_t size = kHeaderBytes + max * 12;
        EXPECT_CALL(*engine,
                    GetRprtAncstr(Pointee(FieldsAre(kDevice, kReport, sent, NotNull(), size))))
            .WillOnce([=](ZvVelRprtDfn* rprt) {
                EXPECT_EQ(ZvLinuxMutex::HeldByThisThread(), 2);
                return answer(rprt);
            });
    }

    // GetHierarchyInfo of kGdd: the result, auxValue, mmIdx and gddId (each 77 before).
    std::string Info(unsigned short level, unsigned short mmIdx = 2) {
        unsigned short aux = 77, mm = 77;
        unsigned long gdd = 77;
        const int result = proxy->GetHierarchyInfo(&aux, &mm, &gdd, level, kDevice, kGdd, mmIdx);
        return Joined(result, Fields{aux, mm, gdd});
    }

    // GetHierarchyLists of kGdd into lists holding 9: the result, auxValues, gddIds, mmIdxs.
    std::string Lists(unsigned short mmIdx) {
        std::list<unsigned long> aux{9}, gdd{9};
        std::list<unsigned short> mm{9};
        return Joined(proxy->GetHierarchyLists(aux, gdd, mm, kDevice, kGdd, mmIdx), aux, gdd, mm);
    }
};

TEST_F(Hierarchy, EachModulesLevelsComeFromOneFetchUntilAPldCountChangeDropsEveryRecord) {
    ZvPldProxy::CallbackPldCnt(nullptr, 1);   // while the cache is empty
    ExpectFetch(0, Writes(kChain));           // the engine numbers modules from 0
    EXPECT_EQ(Info(0, 1), "0: 9029 0 1280");  // auxValue's low half; 65535 + 1 wraps
    EXPECT_EQ(Info(1, 1), "0: 1 1 1024");
    EXPECT_EQ(Info(2, 1), "0: 7 5 768");
    EXPECT_EQ(Info(3, 1), "2: 77 77 77");
    EXPECT_THAT(log.take(),
                ElementsAre(LogLine{
                    3, "ZvPldProxy",
                    "GetHierarchyInfo : Ancestor level (3) is too deep for point ID (65244)", 1}));
    EXPECT_EQ(Lists(1), "0: 9 74565 4294901761 7 9 1280 1024 768 9 0 1 5");  // auxValue whole
    ExpectFetch(65535, Writes(kOther), 3);  // module 0: a record of its own
    EXPECT_EQ(Lists(0), "0: 9 5 6 9 1281 1025 9 4 2");
    ExpectFetch(65534, Writes(kAlone), 0);  // 65535 is decremented too; the header alone
    EXPECT_EQ(Lists(65535), "0: 9 65536 9 1282 9 4");
    ZvPldProxy::CallbackPldCnt(nullptr, 2);
    ZvPldProxy::CallbackPldCnt(nullptr, 3);
    ExpectFetch(0, Writes(kAlone), 1);
    EXPECT_EQ(Info(0, 1), "0: 0 4 1282");
    ExpectFetch(65535, Writes(kOther));  // the other record went too
    EXPECT_EQ(Info(1, 0), "0: 6 2 1025");
    EXPECT_EQ(Info(0, 1), "0: 0 4 1282");  // one clear for both changes
}

ZvPldEngAncestorEntry g_elsewhere[2];  // not in any ancestor buffer

TEST_F(Hierarchy,
       AFailedFetchWritesNothingKeepsNothingHoldsNoLockAndIsLoggedByTheCacheWithItsWholeGddId) {
    const std::string fit = "FillAncestorInfoForPt GetRprtAncstr error: ",
                      noFit = " ancestors do not fit the buffer of " +
                              std::to_string(kHeaderBytes + 2 * 12) +
                              " bytes for point ID (65244), Device index :7";
    // The maximum and report answered, engine requests made, the ancestor answer, the result, the
    // report query's line and the cache's ("" for none).
    const std::tuple<const char*, std::uint32_t, std::uint32_t, int, Answer, int, std::string,
                     std::string>
        cases[] = {
            {"NoAncestorRecord", 2, kReport, 3, [](ZvVelRprtDfn*) { return 85; }, 4098, "", ""},
            {"AncestorStatus", 2, kReport, 3, [](ZvVelRprtDfn*) { return 11; }, 2, "",
             fit + "status (11) for point ID (65244) and mmIdx (2), Device index :7"},
            {"NoReport", 2, 0, 2, nullptr, 2,
             "GetPointReportNum :No report ID for point :65244,device :7 ",
             "FillAncestorInfoForPt Get reportID error,GddId :65244, Device index:7"},
            {"NoMaximum", 0xFFFFFFFFu, 0, 1, nullptr, 2,
             "GetMaxNmbrAncestors : Get maximum number of report ancestors error,device Id:7",
             "FillAncestorInfoForPt Get the max number of ancestors error ,Device index :7"},
            {"MaximumWhoseBufferSizeWouldWrap", 357913940, 0, 1, nullptr, 2, "",
             "FillAncestorInfoForPt Max number of ancestors (357913940) too large, Device index "
             ":7"},
            {"MoreEntriesThanTheMaximum", 2, kReport, 3, Writes(kChain, nullptr, 1), 2, "",
             fit + "3" + noFit},
            {"EntriesOutsideTheBuffer", 2, kReport, 3, Writes(kChain, g_elsewhere), 2, "",
             fit + "2" + noFit}};
    ExpectFetch(1, [](ZvVelRprtDfn*) -> Y4_Status { throw std::runtime_error("client gone"); });
    EXPECT_THROW(Info(0), std::runtime_error);
    ASSERT_EQ(ZvLinuxMutex::HeldByThisThread(), 0);  // s_singletonLock released too
    for (const auto& [name, max, report, asked, answer, result, cause, line] : cases) {
        SCOPED_TRACE(name);
        std::vector<LogLine> lines;  // under s_singletonLock alone
        for (const auto& text : {cause, line})
            if (!text.empty()) lines.push_back({3, "ZvPldProxy", text, 1});
        ExpectFetch(1, answer, max, report, asked);
        EXPECT_EQ(Info(0), std::to_string(result) + ": 77 77 77");
        EXPECT_THAT(log.take(), ElementsAreArray(lines));
        ExpectFetch(1, Writes(kChain));  // nothing was kept: the engine is asked again
        EXPECT_EQ(Info(0), "0: 9029 0 1280");
        proxy->ClearAncestorInfo();
    }
    // Called directly (no singleton lock), a GddId above 65535 asks for its low 16 bits' report.
    InSequence order;
    EXPECT_CALL(*engine, GetMaxNmbrAncstrs(kDevice)).WillOnce(Return(2));
    EXPECT_CALL(*engine, GetPointsRprt(kDevice, kGdd)).WillOnce(Return(0));
    ZvPldEngAncestors unchanged{}, *record = &unchanged;
    EXPECT_EQ(proxy->FillAncestorInfoForPt(&record, ZvAncestorInfoBufKey(kDevice, 0x1FEDC, 2)), 9);
    EXPECT_EQ(record, nullptr);
    EXPECT_EQ(log.take().back().text,  // the report query's line first, as with any point
              "FillAncestorInfoForPt Get reportID error,GddId :130780, Device index:7");
}

}  // namespace
