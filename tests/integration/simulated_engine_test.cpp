// The proxy against the simulated engine and its built-in catalogue.
#include <gmock/gmock.h>

#include <cstdio>
#include <fstream>
#include <thread>

#include "MockEngine.h"
#include "ZvPldProxy.h"
#include "ZvPldTypes.h"

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

namespace {

class SimulatedEngine : public ::testing::Test {
  protected:
    LogCapture log;
    ZvPldProxy proxy{"sim", "integration-test"};

    std::string value(unsigned short device, unsigned short gddId, unsigned short mm = 1) {
        std::string text;
        const int rc = proxy.GetValueString(text, device, gddId, mm, 0, 0, 0, nullptr);
        return rc == 0 ? text : "<" + std::to_string(rc) + ">";
    }
};

TEST_F(SimulatedEngine, ReadsTextsOfTheBuiltInCatalogue) {
    struct {
        unsigned short device, gddId, mmIdx;
        const char* label;
        const char* value;
        const char* unit;
    } const points[] = {
        {1, 100, 1, "Supply temperature", "61.5", "degC"},
        {1, 102, 1, "Operating mode", "Comfort", ""},
        {1, 105, 1, "Outdoor temperature", "-3.5", nullptr},  // unit label is not ASCII
        {2, 200, 3, "Pump speed", "0", "%"},
    };
    for (const auto& p : points) {
        std::string label, unit = "before";
        EXPECT_EQ(proxy.GetLabelString(label, p.device, p.gddId, p.mmIdx, 0, nullptr), 0);
        EXPECT_EQ(label, p.label);
        EXPECT_EQ(value(p.device, p.gddId, p.mmIdx), p.value);
        const int rc = proxy.GetUomLabelString(unit, p.device, p.gddId, p.mmIdx, 0, 0);
        EXPECT_EQ(rc, p.unit != nullptr ? 0 : 2);
        EXPECT_EQ(unit, p.unit != nullptr ? p.unit : "before");
    }
    EXPECT_THAT(log.take(), ElementsAre(ErrorLine("GetUomLabelString - non-ASCII character (C2) "
                                                  "in string value - GddId: 105",
                                                  "libZvPldProxy")));
}

TEST_F(SimulatedEngine, DescriptionsFallBackToTheLabelAndAreCutAtTheReplyBuffer) {
    std::string text;
    EXPECT_EQ(proxy.GetFullDescriptionString(text, 1, 103, 1, 0), 0);  // engine status 6
    EXPECT_EQ(text, "Burner starts");
    EXPECT_EQ(proxy.GetFullDescriptionString(text, 1, 106, 0xFFFF, 0), 0);
    EXPECT_EQ(text.size(), 256u);
    EXPECT_THAT(text, HasSubstr("Service note: the burner"));
}

TEST_F(SimulatedEngine, WritesAreReadBackAndRefusalsReported) {
    int sint = 0;
    EXPECT_EQ(proxy.SetValueString("65.5", 1, 101, 1, 0, 0, 0, nullptr, 0), 0);
    EXPECT_EQ(proxy.GetValueSInt32(&sint, 1, 101, 1, 0, 0, 0), 0);
    EXPECT_EQ(sint, 655);
    EXPECT_EQ(proxy.SetValueSInt32(700, 1, 101, 1, 0, 0, 0, 0), 0);
    EXPECT_EQ(value(1, 101), "70.0");
    EXPECT_EQ(proxy.SetValueString("Eco", 1, 102, 1, 0, 0, 0, nullptr, 0), 0);
    EXPECT_EQ(value(1, 102), "Eco");
    EXPECT_EQ(proxy.SetValueUInt32(75, 2, 200, 2, 0, 0, 0, 0), 0);
    EXPECT_EQ(value(2, 200, 2), "75");
    EXPECT_EQ(value(2, 200, 1), "40");
    EXPECT_THAT(log.take(), IsEmpty());

    // Sets pass on engine statuses 1 to 3 only: a read-only point (4) and a value out of
    // range (5) give 2 and a log line.
    EXPECT_EQ(proxy.SetValueSInt32(1, 9, 101, 1, 0, 0, 0, 0), 4096);
    EXPECT_EQ(proxy.SetValueSInt32(1, 1, 999, 1, 0, 0, 0, 0), 4097);
    EXPECT_EQ(proxy.SetValueUInt32(1, 2, 200, 4, 0, 0, 0, 0), 4098);
    EXPECT_EQ(proxy.SetValueUInt32(1, 1, 103, 1, 0, 0, 0, 0), 2);
    EXPECT_EQ(proxy.SetValueString("90", 1, 101, 1, 0, 0, 0, nullptr, 0), 2);
    EXPECT_EQ(value(1, 101), "70.0");
    EXPECT_EQ(log.take().size(), 2u);
}

TEST_F(SimulatedEngine, StatusesAttributesAndStatesReachTheCaller) {
    unsigned int uint = 0;
    int sint = 0;
    unsigned long v = 0;
    EXPECT_EQ(value(9, 100), "<4096>");
    EXPECT_EQ(value(1, 999), "<4097>");
    EXPECT_EQ(value(2, 200, 4), "<4098>");
    EXPECT_EQ(proxy.GetValueUInt32(&uint, 3, 300, 1, 0, 0, 0), 4096);  // offline: 1007
    EXPECT_EQ(proxy.GetValueSInt32(&sint, 3, 300, 1, 0, 0, 0), 2);
    EXPECT_EQ(proxy.GetValueSInt32(&sint, 1, 104, 1, 0, 0, 0), 2);  // a text point
    EXPECT_EQ(proxy.GetMaxArrayDim(&v, 2, 999), 2);
    EXPECT_EQ(log.take().size(), 3u);

    EXPECT_EQ(proxy.GetVelPointNormFactor(&v, 1, 100), 0);
    EXPECT_EQ(v, 10u);
    EXPECT_EQ(proxy.GetMaxModuleCnt(&v, 2, 200), 0);
    EXPECT_EQ(v, 3u);
    std::list<int> values;
    std::list<std::string> names;
    ZvEnumStateType type{};
    EXPECT_EQ(proxy.GetVelEnumStateInfo(&values, &names, &type, 201, 2), 0);
    EXPECT_EQ(type.type, 2u);
    EXPECT_THAT(values, ElementsAre(0, 1, 2));
    EXPECT_THAT(names, ElementsAre("Stopped", "Running", "Fault"));
}

TEST(SimulatedEngineCatalogue, IsReadFromTheFileTheFirstTextNames) {
    const std::string path = ::testing::TempDir() + "zvpld_catalogue.json";
    std::ofstream(path) << R"({"devices": [{"index": 4, "points": [
        {"gddId": 1, "label": "Fan", "type": "enum", "enumType": 1,
         "states": [{"value": 0, "name": "Off"}, {"value": 1, "name": "On"}], "values": [1]}]}]})";
    {
        ZvPldProxy proxy(("sim:" + path).c_str(), "integration-test");
        std::string text;
        EXPECT_EQ(proxy.GetValueString(text, 4, 1, 1, 0, 0, 0, nullptr), 0);
        EXPECT_EQ(text, "On");
    }
    std::ofstream(path) << R"({"devices": [{"index": 4, "points": [{"gddId": 1}]}]})";
    EXPECT_THROW(ZvPldProxy(("sim:" + path).c_str(), "x"), std::runtime_error);
    std::remove(path.c_str());
}

TEST(SimulatedEngineThreads, ConcurrentReadsAndWritesAreSerialisedWithoutLoss) {
    ZvPldProxy proxy("sim", "integration-test");
    constexpr int kThreads = 4, kRounds = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&proxy, t] {
            const auto module = static_cast<unsigned short>(t % 3 + 1);
            for (int i = 0; i < kRounds; ++i) {
                unsigned int v = 0;
                EXPECT_EQ(proxy.SetValueUInt32(i % 101, 2, 200, module, 0, 0, 0, 0), 0);
                EXPECT_EQ(proxy.GetValueUInt32(&v, 2, 200, module, 0, 0, 0), 0);
                EXPECT_LE(v, 100u);
            }
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(ZvLinuxMutex::HeldByThisThread(), 0);
}

}  // namespace
