// The engine behind the message client, mocked, and a fixture that puts it behind a proxy.
#ifndef ZVPLD_TESTS_MOCK_ENGINE_H
#define ZVPLD_TESTS_MOCK_ENGINE_H

#include <gmock/gmock.h>

#include <cstdio>
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
    MOCK_METHOD(Y4_Status, GetVelEnumStateInfo,
                (std::uint16_t, std::uint32_t, ZvEnumStateType*, std::uint16_t*, unsigned int,
                 std::uint16_t*),
                (override));
    MOCK_METHOD(Y4_Status, GetVelEnumStateStr, (const ZvVelPntEnum*, unsigned int, char*),
                (override));
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

// Checks the record an engine call got, field by field, against the caller's arguments.
inline void ExpectRecord(const ZvVelPntDfn& rec, const PointArgs& a, std::uint16_t engineMm,
                         bool withAuxParam, const char* auxText, bool withUofm) {
    EXPECT_EQ(rec.deviceIdx, a.device);
    EXPECT_EQ(rec.gddId, a.gddId);
    EXPECT_EQ(rec.mmIdx, engineMm);
    EXPECT_EQ(rec.auxIdx, a.auxIdx);
    EXPECT_EQ(rec.auxParam, withAuxParam ? a.auxParam : 0);
    EXPECT_EQ(rec.auxText, auxText);
    EXPECT_EQ(rec.uofm, withUofm ? a.uofm : 0u);
}

// An operation's failure line: its name, then `format` filled with the status and the
// caller's GddId, mmIdx and uofm (a format may use fewer of them).
inline std::string FailureText(const char* op, const char* format, Y4_Status status,
                               const PointArgs& a) {
    char text[256];
    std::snprintf(text, sizeof text, format, status, a.gddId, a.mmIdx, static_cast<long>(a.uofm));
    return op + std::string(text);
}

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
        using ::testing::AnyNumber;
        EXPECT_CALL(*engine, Init()).Times(AnyNumber()).WillRepeatedly(::testing::Return(1));
        EXPECT_CALL(*engine, UnReg(::testing::_))
            .Times(AnyNumber())
            .WillRepeatedly(::testing::Return(0));
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

    // Engine handlers use this to see that they run under the client lock, and only it.
    static void expectClientLockHeld() { EXPECT_EQ(ZvLinuxMutex::HeldByThisThread(), 1); }

    std::shared_ptr<::testing::StrictMock<MockEngine>> engine =
        std::make_shared<::testing::StrictMock<MockEngine>>();
    std::vector<std::string> clientTexts;
    LogCapture log;
    std::unique_ptr<ZvPldProxy> proxy;
};

#endif
