// The engine behind the message client, mocked, and a fixture that puts it behind a proxy.
#ifndef ZVPLD_TESTS_MOCK_ENGINE_H
#define ZVPLD_TESTS_MOCK_ENGINE_H

#include <gmock/gmock.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ZvLinuxMutex.h"
#include "ZvPldEngine.h"
#include "ZvPldProxy.h"
#include "dlog.h"

class MockEngine : public ZvPldEngine {
  public:
    MOCK_METHOD(int, Init, (), (override));
    MOCK_METHOD(Y4_Status, UnReg, (int), (override));
    MOCK_METHOD(void, Close, (), (override));
    MOCK_METHOD(Y4_Status, RegPldCntChng, (ZvPldCntChngFn, void*, std::uint16_t), (override));
    MOCK_METHOD(Y4_Status, RegVelEvent, (ZvVelEventFn, void*, std::uint16_t), (override));
    MOCK_METHOD(Y4_Status, RegValueChange, (ZvValueChangeFn, void*, std::uint16_t), (override));
    MOCK_METHOD(Y4_Status, GetVelPntStrLabel, (const ZvVelPntDfn*, unsigned int, char*),
                (override));
    MOCK_METHOD(Y4_Status, GetVelPntStrDscrptn, (const ZvVelPntDfn*, unsigned int, char*),
                (override));
    MOCK_METHOD(Y4_Status, GetVelPntStrUoM, (const ZvVelPntDfn*, unsigned int, char*), (override));
    MOCK_METHOD(Y4_Status, GetVelPntStr, (const ZvVelPntDfn*, unsigned int, char*), (override));
    MOCK_METHOD(Y4_Status, GetVelPntInt32, (const ZvVelPntDfn*, std::int32_t*), (override));
    MOCK_METHOD(Y4_Status, GetVelPntUint32, (const ZvVelPntDfn*, std::uint32_t*), (override));
    MOCK_METHOD(Y4_Status, SetVelPntStr, (const ZvVelPntDfn*, const char*, std::uint16_t),
                (override));
    MOCK_METHOD(Y4_Status, SetVelPntInt32, (const ZvVelPntDfn*, std::int32_t, std::uint16_t),
                (override));
    MOCK_METHOD(Y4_Status, SetVelPntUint32, (const ZvVelPntDfn*, std::uint32_t, std::uint16_t),
                (override));
    MOCK_METHOD(Y4_Status, GetVelPntAccessRights, (const ZvVelPntDfn*, std::uint32_t*), (override));
    MOCK_METHOD(Y4_Status, GetVelPntDataType, (const ZvVelPntDfn*, std::uint32_t*), (override));
    MOCK_METHOD(Y4_Status, GetVelPntDsplyNF, (const ZvVelPntDfn*, std::uint32_t*), (override));
    MOCK_METHOD(Y4_Status, GetVelPntUoMId, (const ZvVelPntDfn*, Y4paVelDsply*), (override));
    MOCK_METHOD(std::uint32_t, GetMaxRprtMMCnt, (std::uint16_t, std::uint32_t), (override));
    MOCK_METHOD(std::uint32_t, GetMaxPntArrayDim, (std::uint16_t, std::uint32_t), (override));
    MOCK_METHOD(std::uint32_t, GetMaxNmbrAncstrs, (unsigned short), (override));
    MOCK_METHOD(std::uint32_t, GetPointsRprt, (unsigned short, unsigned long), (override));
    MOCK_METHOD(Y4_Status, GetRprtAncstr, (ZvVelRprtDfn*), (override));
    MOCK_METHOD(Y4_Status, GetVelRprtStrLabel, (ZvVelRprtDfn*, unsigned int, char*), (override));
    MOCK_METHOD(Y4_Status, GetVelEnumStateInfo,
                (std::uint16_t, std::uint32_t, ZvEnumStateType*, std::uint16_t*, unsigned int,
                 std::uint16_t*),
                (override));
    MOCK_METHOD(Y4_Status, GetVelEnumStateStr, (const ZvVelPntEnum*, unsigned int, char*),
                (override));
};

// Names the instances of a suite that runs over a table of operations.
struct OpName {
    template <class Param>
    std::string operator()(const ::testing::TestParamInfo<Param>& info) const {
        return info.param.name;
    }
};

// An engine answer that first checks that it runs under the client lock, and only it.
ACTION_P(ReturnUnderClientLock, value) {
    EXPECT_EQ(ZvLinuxMutex::HeldByThisThread(), 1);
    return value;
}

struct LogLine {
    int level;
    std::string tag;
    std::string text;
    int locksHeld;  // ZvLinuxMutex locks held by the logging thread

    bool operator==(const LogLine& o) const {
        return level == o.level && tag == o.tag && text == o.text && locksHeld == o.locksHeld;
    }
};

inline void PrintTo(const LogLine& l, std::ostream* os) {
    *os << "{" << l.level << ", " << l.tag << ", \"" << l.text << "\", locks " << l.locksHeld
        << "}";
}

// An error line of the proxy, written with no lock held.
inline LogLine ErrorLine(const std::string& text, const std::string& tag = "ZvPldProxy") {
    return LogLine{3, tag, text, 0};
}

// Captures every log line for the life of the object.
class LogCapture {
  public:
    LogCapture() { dlog_set_sink(&LogCapture::sink, this); }
    ~LogCapture() { dlog_set_sink(nullptr, nullptr); }

    std::vector<LogLine> take() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return std::move(m_lines);
    }

  private:
    static void sink(int level, const char* tag, const char* text, void* self) {
        auto* capture = static_cast<LogCapture*>(self);
        std::lock_guard<std::mutex> lock(capture->m_mutex);
        capture->m_lines.push_back(LogLine{level, tag, text, ZvLinuxMutex::HeldByThisThread()});
    }
    std::mutex m_mutex;
    std::vector<LogLine> m_lines;
};

// A proxy whose message client talks to a mocked engine.
class ProxyTest : public ::testing::Test {
  protected:
    // The engine is strict: an operation that makes an engine call it should not fails its test.
    // Starting and stopping the proxy may happen any number of times.
    ProxyTest() {
        using namespace ::testing;
        EXPECT_CALL(*engine, Init()).Times(AnyNumber()).WillRepeatedly(Return(1));
        EXPECT_CALL(*engine, UnReg(_)).Times(AnyNumber()).WillRepeatedly(Return(0));
        EXPECT_CALL(*engine, Close()).Times(AnyNumber());
        ZvPldSetEngineFactory([this](const char* a, const char* b, const char* c) {
            clientTexts = {a, b, c};
            return engine;
        });
    }
    ~ProxyTest() override { ZvPldSetEngineFactory(nullptr); }

    ZvPldProxy& start() {
        proxy = std::make_unique<ZvPldProxy>("sim", "unit-test");
        return *proxy;
    }

    std::shared_ptr<::testing::StrictMock<MockEngine>> engine =
        std::make_shared<::testing::StrictMock<MockEngine>>();
    std::vector<std::string> clientTexts;
    LogCapture log;
    std::unique_ptr<ZvPldProxy> proxy;
};

// The arguments of one point request, as the caller passes them.
struct PointArgs {
    unsigned short device, gddId, mmIdx, auxIdx;
    unsigned long uofm;
    short auxParam;
    const char* auxText;
};

inline constexpr char kAuxText[] = "aux";
// Every field distinct, so that a field sent in the wrong place shows.
inline constexpr PointArgs kPoint{7, 0x1234, 2, 9, 0x10002, -4, kAuxText};

// Which of the caller's arguments an operation puts into the record, the others going as 0 or
// null: kModule mmIdx - 1, wrapping (with kWholePoint 0xFFFF as it is); kCallersText auxText as
// it is; kZeroText "0" in its place (with kCallersText: in place of a null one).
inline constexpr unsigned kModule = 1, kWholePoint = 2, kAuxIdx = 4, kAuxParam = 8,
                          kCallersText = 16, kZeroText = 32, kUofm = 64;

inline void ExpectRecord(const ZvVelPntDfn& rec, const PointArgs& a, unsigned sends) {
    const bool whole = (sends & kWholePoint) && a.mmIdx == 0xFFFF;
    const std::uint16_t mm = whole ? 0xFFFF : static_cast<std::uint16_t>(a.mmIdx - 1);
    EXPECT_EQ(rec.deviceIdx, a.device);
    EXPECT_EQ(rec.gddId, a.gddId);
    EXPECT_EQ(rec.mmIdx, (sends & kModule) ? mm : 0);
    EXPECT_EQ(rec.auxIdx, (sends & kAuxIdx) ? a.auxIdx : 0);
    EXPECT_EQ(rec.auxParam, (sends & kAuxParam) ? a.auxParam : 0);
    const char* text = (sends & kCallersText) ? a.auxText : nullptr;
    if (text == nullptr && (sends & kZeroText)) {
        EXPECT_STREQ(rec.auxText, "0");
    } else {
        EXPECT_EQ(rec.auxText, text);
    }
    EXPECT_EQ(rec.uofm, (sends & kUofm) ? a.uofm : 0u);
}

// The engine's side of any point call: it checks that it runs under the client lock, and only
// it, keeps the record if asked, fills its reply and gives the status.
struct PointAnswer {
    Y4_Status status = 0;
    std::string text = "ok";             // a text reply, copied without a NUL
    std::uint32_t number = 0xFFFFFFFBu;  // what a call with a cell writes into it
    bool writesCell = true;
    ZvVelPntDfn* record = nullptr;

    Y4_Status answer(const ZvVelPntDfn& rec) const {
        EXPECT_EQ(ZvLinuxMutex::HeldByThisThread(), 1);
        if (record != nullptr) *record = rec;
        return status;
    }
    Y4_Status operator()(const ZvVelPntDfn* rec, unsigned int size, char* buf) const {
        EXPECT_EQ(size, 256u);
        std::memcpy(buf, text.data(), std::min<std::size_t>(text.size(), size));
        return answer(*rec);
    }
    template <class Cell>
    Y4_Status operator()(const ZvVelPntDfn* rec, Cell* cell) const {
        if (writesCell) *cell = static_cast<Cell>(number);
        return answer(*rec);
    }
    Y4_Status operator()(const ZvVelPntDfn* rec, Y4paVelDsply* d) const {
        return (*this)(rec, &d->uofmId);
    }
    template <class Value>  // the writes
    Y4_Status operator()(const ZvVelPntDfn* rec, Value, std::uint16_t) const {
        return answer(*rec);
    }
    // A count query sends no record and gets no status: its engine answers 0 for failure.
    std::uint32_t operator()(std::uint16_t device, std::uint32_t gddId) const {
        return answer(ZvVelPntDfn{device, gddId, 0, 0, 0, nullptr, 0}) == 0 ? number : 0;
    }
};

// A call's result and its log: result 2 comes with exactly the line `failure`, any other result
// with no line at all.
inline void ExpectOutcome(LogCapture& log, int result, int want, const std::string& failure,
                          const char* tag = "ZvPldProxy") {
    EXPECT_EQ(result, want);
    if (want == 2) {
        EXPECT_THAT(log.take(), ::testing::ElementsAre(ErrorLine(failure, tag)));
    } else {
        EXPECT_THAT(log.take(), ::testing::IsEmpty());
    }
}

// A failure line from its format, which holds the status and may hold the number in the cell.
inline std::string FailureLine(const char* format, Y4_Status status, std::uint32_t cell) {
    char text[256];
    std::snprintf(text, sizeof text, format, status, static_cast<int>(cell));
    return text;
}

// Calls a read whose output is a number in a cell holding 77; `out` shows the cell afterwards.
template <class Cell, class... Params, class... Args>
int ReadNumber(std::string& out, ZvPldProxy& p, int (ZvPldProxy::*read)(Cell*, Params...),
               Args... args) {
    Cell cell = 77;
    const int result = (p.*read)(&cell, args...);
    out = std::to_string(cell);
    return result;
}

inline constexpr Y4_Status kStatuses[] = {0, 1, 2, 3, 4, 5, 6, 1007, -7};
// What operations make of kStatuses, by the engine statuses they pass on; 2 comes with a line.
inline constexpr int kPassesOneToFive[] = {0, 4096, 4097, 4098, 4099, 4100, 2, 2, 2};
inline constexpr int kPassesOneToFiveAnd1007[] = {0, 4096, 4097, 4098, 4099, 4100, 2, 4096, 2};
inline constexpr int kPassesOneToThree[] = {0, 4096, 4097, 4098, 2, 2, 2, 2, 2};

// One row of a table of point operations: texts, numbers, attributes, counts.
struct PointOp {
    const char* name;
    unsigned sends;         // kModule, kAuxIdx...
    const char* delivered;  // the output after success: from "77" and the default answer
    const int* results;     // for kStatuses
    const char* failure;    // the failure line for kPoint, see FailureLine
    // Expects the operation's one engine call, answered by `answer`, and makes the call with `a`;
    // `out` shows the caller's output afterwards: the text, or the cell in decimal.
    int (*run)(MockEngine&, ZvPldProxy&, const PointAnswer& answer, const PointArgs& a,
               std::string& out);
    const char* asciiTag = "ZvPldProxy";  // the source tag of a text's non-ASCII line
    friend void PrintTo(const PointOp& op, std::ostream* os) { *os << op.name; }
};

// A row's `run`: expects the engine call `expected`, answered by `r`, and gives the result of
// `call`, made with the point `a` and the output `out`.
#define POINT_CALL(expected, call)                                               \
    [](MockEngine& e, [[maybe_unused]] ZvPldProxy& p, const PointAnswer& r,      \
       [[maybe_unused]] const PointArgs& a, [[maybe_unused]] std::string& out) { \
        EXPECT_CALL(e, expected).WillOnce(r);                                    \
        return call;                                                             \
    }

// Instantiated by each point test file with its table.
class PointOperation : public ProxyTest, public ::testing::WithParamInterface<PointOp> {
  protected:
    PointOperation() { start(); }
    int run(const PointAnswer& answer, std::string& out, const PointArgs& a = kPoint) {
        return op.run(*engine, *proxy, answer, a, out);
    }
    const PointOp& op = GetParam();
};

#endif
