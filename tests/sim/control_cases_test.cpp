// The control commands the daemon's Python and Node clients are tested with
// (tests/clients/control-cases.json), answered by the engine in process as the daemon answers
// them: one table for the three, so that a change of an answer fails here first.
#include <cctype>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "sim/SimEngine.h"

namespace {

using nlohmann::json;

std::vector<json> controlCases() {
    std::ifstream in(ZVPLD_CONTROL_CASES);
    const json table = json::parse(in, nullptr, false);
    if (!table.is_object() || !table.contains("cases")) return {};
    return table["cases"].get<std::vector<json>>();
}

class SharedControlCase : public ::testing::TestWithParam<json> {};

TEST_P(SharedControlCase, IsAnsweredInProcessAsTheDaemonAnswersIt) {
    const json& c = GetParam();
    const auto engine = std::make_shared<zvsim::SimEngine>(zvsim::Catalogue::BuiltIn());
    for (const json& before : c.value("before", json::array())) {
        ASSERT_EQ(json::parse(engine->Control(before.dump())).value("ok", false), true) << before;
    }
    const json answer = json::parse(engine->Control(c["command"].dump()));
    for (const auto& [key, value] : c["expect"].items()) {
        EXPECT_EQ(answer.value(key, json()), value) << key << " in " << answer;
    }
    engine->Close();
}

// A file that cannot be read gives no case, which this test names.
TEST(SharedControlCases, AreRead) {
    EXPECT_GE(controlCases().size(), 20u) << ZVPLD_CONTROL_CASES;
}

INSTANTIATE_TEST_SUITE_P(Table, SharedControlCase, ::testing::ValuesIn(controlCases()),
                         [](const ::testing::TestParamInfo<json>& info) {
                             std::string name;
                             for (const char c : info.param.value("name", std::string())) {
                                 if (std::isalnum(static_cast<unsigned char>(c))) name += c;
                             }
                             return name + "_" + std::to_string(info.index);
                         });

}  // namespace
