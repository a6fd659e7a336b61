// What one frame may hold: the decoder refuses a frame beyond its limits before building it, and
// a malformed one; after either it reads nothing more.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../support/Frames.h"
#include "Wire.h"

namespace {

using json = nlohmann::json;
using Bytes = std::vector<std::uint8_t>;
using Result = zvwire::FrameDecoder::Result;

struct Case {
    const char* name;
    zvwire::Limits limits;
    Bytes frame;
    const char* error;  // null: the message is read
};

TEST(FrameLimits, AFrameBeyondItsDecodersLimitsIsRefusedAndOneWithinIsRead) {
    const json request = {{"id", 7},
                          {"op", "SetVelPntStr"},
                          {"pnt", {{"deviceIdx", 1}, {"gddId", 10}, {"mmIdx", 0}}},
                          {"value", std::string(1000, 'x')}};
    const std::vector<Case> cases = {
        {"a request", zvwire::kRequestLimits, frames::Of(request), nullptr},
        {"not MessagePack", {}, {0, 0, 0, 1, 0xC1}, "not MessagePack"},
        {"not a map", {}, {0, 0, 0, 3, 0x92, 1, 2}, "not a map"},
        // Where a size is 32 bits, the largest ext's length overflows in the codec.
        {"an ext announcing 4 GiB",
         {},
         {0, 0, 0, 6, 0xC9, 0xFF, 0xFF, 0xFF, 0xFF, 1},
         "not MessagePack"},
        {"beyond a megabyte, refused on its header alone", {}, {0, 0x10, 0, 1}, "too long"},
        {"17 deep", {}, frames::Nested(17), "nested"},
        {"a megabyte of nils", {}, frames::Nils(1000000), "elements"},
        {"a megabyte of nils, as a request", zvwire::kRequestLimits, frames::Nils(1000000),
         "too long"},
        {"15,000 nils in 16 KiB", zvwire::kRequestLimits, frames::Nils(15000), "elements"},
        {"121 nils and 7 other elements", zvwire::kRequestLimits, frames::Nils(121), nullptr},
        {"122 nils", zvwire::kRequestLimits, frames::Nils(122), "elements"},
        {"the largest control command", zvwire::kRequestLimits,
         frames::Of({{"id", 4294967295u},
                     {"op", "Control"},
                     {"command",
                      {{"do", "plant"},
                       {"device", 65535},
                       {"point", 4294967295u},
                       {"module", 65535},
                       {"signal", "triangle"},
                       {"min", -1e300},
                       {"max", 1e300},
                       {"period_ms", 86400000},
                       {"update_ms", 86400000},
                       {"steps", 1000},
                       {"name", std::string(64, 'n')}}}}),
         nullptr},
        {"the largest write", zvwire::kRequestLimits,
         frames::Of({{"id", 4294967295u},
                     {"op", "SetVelPntStr"},
                     {"pnt",
                      {{"deviceIdx", 65535},
                       {"gddId", 4294967295u},
                       {"mmIdx", 65535},
                       {"auxIdx", 65535},
                       {"auxParam", 4294967295u},
                       {"auxText", std::string(255, 'a')},
                       {"uofm", 65535}}},
                     {"value", std::string(255, 'v')},
                     {"setParam", 4294967295u}}),
         nullptr},
        {"8 deep", zvwire::kRequestLimits, frames::Nested(8), nullptr},
        {"9 deep", zvwire::kRequestLimits, frames::Nested(9), "nested"},
        {"a text longer than a request may be", zvwire::kRequestLimits,
         frames::Of({{"id", 1}, {"value", std::string(17000, 'x')}}), "too long"},
    };
    for (const Case& c : cases) {
        zvwire::FrameDecoder decoder(c.limits);
        decoder.Feed(c.frame.data(), c.frame.size());
        json message;
        const Result result = decoder.Next(message);
        if (c.error == nullptr) {
            EXPECT_EQ(result, Result::Message) << c.name << ": " << decoder.Error();
            EXPECT_EQ(decoder.Buffered(), 0u) << c.name;
        } else {
            EXPECT_EQ(result, Result::Bad) << c.name;
            EXPECT_NE(decoder.Error().find(c.error), std::string::npos)
                << c.name << ": " << decoder.Error();
            const Bytes good = frames::Of({{"id", 1}});  // a decoder once failed stays failed
            decoder.Feed(good.data(), good.size());
            EXPECT_EQ(decoder.Next(message), Result::Bad) << c.name;
        }
    }
}

}  // namespace
