// The engine behind the message client, mocked, and a fixture that puts it behind a proxy; the
// log lines written meanwhile, from any thread.
#ifndef ZVPLD_TESTS_MOCK_ENGINE_H
#define ZVPLD_TESTS_MOCK_ENGINE_H

#include <gmock/gmock.h>

#include <algorithm>
#include <cstring>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "ZvLinuxMutex.h"
#include "ZvPldEngine.h"
#include "ZvPldProxy.h"
#include "dlog.h"

class MockEngine : public ZvPldEngine {
  public:
    using Rec = const ZvVelPntDfn*;
    using U16 = std::uint16_t;
    MOCK_METHOD(int, Init, (), (override));
    MOCK_METHOD(Y4_Status, UnReg, (int), (override));
    MOCK_METHOD(void, Close, (), (override));
    MOCK_METHOD(Y4_Status, RegPldCntChng, (ZvPldCntChngFn, void*, U16), (override));
    MOCK_METHOD(Y4_Status, RegVelEvent, (ZvVelEventFn, void*, U16), (override));
    MOCK_METHOD(Y4_Status, RegValueChange, (ZvValueChangeFn, void*, U16), (override));
    MOCK_METHOD(Y4_Status, GetVelPntStrLabel, (Rec, unsigned int, char*), (override));
    MOCK_METHOD(Y4_Status, GetVelPntStrDscrptn, (Rec, unsigned int, char*), (override));
    MOCK_METHOD(Y4_Status, GetVelPntStrUoM, (Rec, unsigned int, char*), (override));
    MOCK_METHOD(Y4_Status, GetVelPntStr, (Rec, unsigned int, char*), (override));
    MOCK_METHOD(Y4_Status, GetVelPntInt32, (Rec, std::int32_t*), (override));
    MOCK_METHOD(Y4_Status, GetVelPntUint32, (Rec, std::uint32_t*), (override));
    MOCK_METHOD(Y4_Status, SetVelPntStr, (Rec, const char*, U16), (override));
    MOCK_METHOD(Y4_Status, SetVelPntInt32, (Rec, std::int32_t, U16), (override));
    MOCK_METHOD(Y4_Status, SetVelPntUint32, (Rec, std::uint32_t, U16), (override));
    MOCK_METHOD(Y4_Status, GetVelPntAccessRights, (Rec, std::uint32_t*), (override));
    MOCK_METHOD(Y4_Status, GetVelPntDataType, (Rec, std::uint32_t*), (override));
    MOCK_METHOD(Y4_Status, GetVelPntDsplyNF, (Rec, std::uint32_t*), (override));
    MOCK_METHOD(Y4_Status, GetVelPntUoMId, (Rec, Y4paVelDsply*), (override));
    MOCK_METHOD(std::uint32_t, GetMaxRprtMMCnt, (U16, std::uint32_t), (override));
    MOCK_METHOD(std::uint32_t, GetMaxPntArrayDim, (U16, std::uint32_t), (override));
    MOCK_METHOD(std::uint32_t, GetMaxNmbrAncstrs, (unsigned short), (override));
    MOCK_METHOD(std::uint32_t, GetPointsRprt, (unsigned short, unsigned long), (override));
    MOCK_METHOD(Y4_Status, GetRprtAncstr, (ZvVelRprtDfn*), (override));
    MOCK_METHOD(Y4_Status, GetVelRprtStrLabel, (ZvVelRprtDfn*, unsigned int, char*), (override));
    MOCK_METHOD(Y4_Status, GetVelEnumStateInfo,
                (U16, std::uint32_t, ZvEnumStateType*, U16*, unsigned int, U16*), (override));
    MOCK_METHOD(Y4_Status, GetVelEnumStateStr, (const ZvVelPntEnum*, unsigned int, char*),
                (override));
    MOCK_METHOD(Y4_Status, Process, (ZvPldEngInfo*), (override));
    MOCK_METHOD(Y4_Status, GetVelServerInventory, (ZvVelInventory*), (override));
    MOCK_METHOD(ZvProductIdentSeq*, GetProdSeqId, (unsigned short), (override));
    MOCK_METHOD(Y4_Status, GetVelFDMVersion, (int, int, char*), (override));
};

// Names the instances of a suite after the `name` of its rows.
inline const auto OpName = [](const auto& info) {
    return std::string(info.param.name);
};

// An engine answer that first checks that it runs under the client lock, and only it.
ACTION_P(ReturnUnderClientLock, value) {
    EXPECT_EQ(ZvLinuxMutex::HeldByThisThread(), 1);
    return value;
}

struct LogLine {
    int level;
    std::string tag, text;
    int locksHeld;  // ZvLinuxMutex locks held by the logging thread
    bool operator==(const LogLine& o) const {
        return std::tie(level, tag, text, locksHeld) ==
               std::tie(o.level, o.tag, o.text, o.locksHeld);
    }
    friend void PrintTo(const LogLine& l, std::ostream* os) {
        *os << l.level << " " << l.tag << " \"" << l.text << "\" locks " << l.locksHeld;
    }
};

// An error line of the proxy, written with no lock held.
inline LogLine ErrorLine(const std::string& text, const std::string& tag = "ZvPldProxy") {
    return LogLine{3, tag, text, 0};
}

// Captures every log line for the life of the object.
class LogCapture {
  public:
    LogCapture() {
        dlog_set_sink(
            [](int level, const char* tag, const char* text, void* self) {
                auto* c = static_cast<LogCapture*>(self);
                std::lock_guard<std::mutex> lock(c->m_mutex);
                c->m_lines.push_back(LogLine{level, tag, text, ZvLinuxMutex::HeldByThisThread()});
            },
            this);
    }
    ~LogCapture() { dlog_set_sink(nullptr, nullptr); }
    std::vector<LogLine> take() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return std::exchange(m_lines, {});
    }
    // The texts of the lines taken.
    std::vector<std::string> takeTexts() {
        std::vector<std::string> texts;
        for (LogLine& line : take()) texts.push_back(std::move(line.text));
        return texts;
    }

  private:
    std::mutex m_mutex;
    std::vector<LogLine> m_lines;
};

// A proxy whose message client talks to a strict mocked engine; starts and stops are not counted.
class ProxyTest : public ::testing::Test {
  protected:
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
    template <class Proxy = ZvPldProxy>
    Proxy& start() {
        proxy = std::make_unique<Proxy>("sim", "unit-test");
        return static_cast<Proxy&>(*proxy);
    }

    std::shared_ptr<::testing::StrictMock<MockEngine>> engine =
        std::make_shared<::testing::StrictMock<MockEngine>>();
    std::vector<std::string> clientTexts;
    LogCapture log;
    std::unique_ptr<ZvPldProxy> proxy;
};

// A call's result and its log: with result 2 just the line `failure`, with any other none.
inline void ExpectOutcome(LogCapture& log, int result, int want, const std::string& failure,
                          const char* tag = "ZvPldProxy") {
    EXPECT_EQ(result, want);
    EXPECT_EQ(log.take(),
              want == 2 ? std::vector<LogLine>{ErrorLine(failure, tag)} : std::vector<LogLine>{});
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

// The point operations' frame: a table of rows per family, each row run by the frame's tests.
struct PointArgs {
    unsigned short device, gddId, mmIdx, auxIdx;
    unsigned long uofm;
    short auxParam;
    const char* auxText;
};
inline constexpr char kAuxText[] = "aux";
inline constexpr PointArgs kPoint{7, 0x1234, 2, 9, 0x10002, -4, kAuxText};  // fields distinct

// What of the caller's arguments an operation's record holds, the others being 0 or null: kModule
// auxIdx and mmIdx - 1 (with kWholePoint 0xFFFF as it is); kZeroText "0" for (a null) auxText.
inline constexpr unsigned kModule = 1, kWholePoint = 2, kAuxParam = 4, kCallersText = 8,
                          kZeroText = 16, kUofm = 32;

// The engine's side of a point call, under the client lock alone: a cell it writes gets 0xFFFFFFFB
// on success, 42 on failure, nothing with status 6.
struct PointAnswer {
    Y4_Status status = 0;
    std::string text = "ok";  // copied without a NUL
    ZvVelPntDfn* record = nullptr;

    template <class... Reply>
    Y4_Status operator()(const ZvVelPntDfn* rec, Reply... reply) const {
        EXPECT_EQ(ZvLinuxMutex::HeldByThisThread(), 1);
        if (record != nullptr) *record = *rec;
        write(reply...);
        return status;
    }
    // A count query sends no record and gets no status: its engine answers 0 for failure.
    std::uint32_t operator()(std::uint16_t device, std::uint32_t gddId) const {
        const ZvVelPntDfn rec{device, gddId, 0, 0, 0, nullptr, 0};
        return (*this)(&rec) == 0 ? 0xFFFFFFFBu : 0;
    }
    void write(unsigned int size, char* buf) const {
        EXPECT_EQ(size, 256u);
        std::memcpy(buf, text.data(), std::min<std::size_t>(text.size(), size));
    }
    template <class Cell>
    void write(Cell* cell) const {
        if (status != 6) *cell = static_cast<Cell>(status == 0 ? 0xFFFFFFFBu : 42u);
    }
    void write(Y4paVelDsply* d) const { write(&d->uofmId); }
    template <class... Ignored>  // a write's value and setParam, or nothing
    void write(Ignored...) const {}
};

// What operations make of kStatuses, by the engine statuses they pass on; 2 comes with a line.
inline constexpr Y4_Status kStatuses[] = {0, 1, 2, 3, 4, 5, 6, 1007, -7};
inline constexpr int kPassesOneToFive[] = {0, 4096, 4097, 4098, 4099, 4100, 2, 2, 2};
inline constexpr int kPassesOneToFiveAnd1007[] = {0, 4096, 4097, 4098, 4099, 4100, 2, 4096, 2};
inline constexpr int kPassesOneToThree[] = {0, 4096, 4097, 4098, 2, 2, 2, 2, 2};

struct PointOp {
    const char* name;
    unsigned sends;         // kModule, kAuxParam...
    const char* delivered;  // the output after success: from "77" and the default answer
    const int* results;     // for kStatuses
    const char* failure;    // the failure line for kPoint after the name; %d: status, then cell
    // Expects the engine call and makes the call; the string shows the output: text, or cell.
    int (*run)(MockEngine&, ZvPldProxy&, const PointAnswer&, const PointArgs&, std::string&);
    const char* asciiTag = "ZvPldProxy";  // the source tag of a text's non-ASCII line
};

// A row's `run`: the engine call `expected` answered by `r`, and `call` with point `a` into `out`.
#define POINT_CALL(expected, call)                                               \
    [](MockEngine& e, [[maybe_unused]] ZvPldProxy& p, const PointAnswer& r,      \
       [[maybe_unused]] const PointArgs& a, [[maybe_unused]] std::string& out) { \
        EXPECT_CALL(e, expected).WillOnce(r);                                    \
        return call;                                                             \
    }

class PointOperation : public ProxyTest, public ::testing::WithParamInterface<PointOp> {
  protected:
    PointOperation() { start(); }
    int run(const PointAnswer& answer, std::string& out, const PointArgs& a = kPoint) {
        return op.run(*engine, *proxy, answer, a, out);
    }
    const PointOp& op = GetParam();
};

#endif
