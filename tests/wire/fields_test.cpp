// The strict readers of a message's fields.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Fields.h"

namespace {

using json = nlohmann::json;

TEST(Fields, AFieldIsReadOnlyWhenPresentOfItsTypeAndInItsRange) {
    struct Case {
        const char* name;
        json message;
        std::optional<std::uint16_t> fallback;
        int value;  // -1: malformed
    };
    const std::vector<Case> cases = {
        {"in range", {{"n", 65535}}, std::nullopt, 65535},
        {"above", {{"n", 65536}}, std::nullopt, -1},
        {"negative", {{"n", -1}}, std::nullopt, -1},
        {"a text", {{"n", "1"}}, std::nullopt, -1},
        {"a float", {{"n", 1.0}}, std::nullopt, -1},
        {"absent", json::object(), std::nullopt, -1},
        {"absent, with a default", json::object(), 9, 9},
    };
    for (const Case& c : cases) {
        if (c.value < 0) {
            EXPECT_THROW(zvwire::Number<std::uint16_t>(c.message, "n", c.fallback),
                         zvwire::Malformed)
                << c.name;
        } else {
            EXPECT_EQ(zvwire::Number<std::uint16_t>(c.message, "n", c.fallback), c.value) << c.name;
        }
    }
    EXPECT_EQ(zvwire::Number<std::int16_t>({{"n", -32768}}, "n"), -32768);
    EXPECT_THROW(zvwire::Number<std::int16_t>({{"n", -32769}}, "n"), zvwire::Malformed);
}

TEST(Fields, ATextIsAStringOrBinaryAndNilOrAbsenceIsNoText) {
    const json message = {{"s", "ab"},
                          {"b", json::binary({'c', 0, 'd'})},
                          {"nil", nullptr},
                          {"n", 1},
                          {"m", json::object()}};
    EXPECT_EQ(zvwire::Text(message, "s"), "ab");
    EXPECT_EQ(zvwire::Text(message, "b"), std::string("c\0d", 3));
    EXPECT_EQ(zvwire::Text(message, "nil"), std::nullopt);
    EXPECT_EQ(zvwire::Text(message, "none"), std::nullopt);
    EXPECT_THROW(zvwire::Text(message, "n"), zvwire::Malformed);
    EXPECT_NO_THROW(zvwire::Object(message, "m"));
    EXPECT_THROW(zvwire::Object(message, "s"), zvwire::Malformed);
    EXPECT_THROW(zvwire::List(message, "m"), zvwire::Malformed);
}

}  // namespace
