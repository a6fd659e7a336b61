// What one frame may hold: the decoder refuses a frame beyond its limits before building it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Wire.h"

namespace {

using json = nlohmann::json;
using Bytes = std::vector<std::uint8_t>;
using Result = zvwire::FrameDecoder::Result;

// A frame of `body`, its length in front.
Bytes framed(const Bytes& body) {
    const auto n = static_cast<std::uint32_t>(body.size());
    Bytes out = {std::uint8_t(n >> 24), std::uint8_t(n >> 16), std::uint8_t(n >> 8),
                 std::uint8_t(n)};
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

// {"id": 1, "pad": [nil × count]}
Bytes nils(std::uint32_t count) {
    Bytes body = {0x82,
                  0xA2,
                  'i',
                  'd',
                  1,
                  0xA3,
                  'p',
                  'a',
                  'd',
                  0xDD,
                  std::uint8_t(count >> 24),
                  std::uint8_t(count >> 16),
                  std::uint8_t(count >> 8),
                  std::uint8_t(count)};
    body.insert(body.end(), count, 0xC0);
    return framed(body);
}

// {"k": [[...[{}]...]]}, `depth` containers in all.
Bytes nested(int depth) {
    Bytes body = {0x81, 0xA1, 'k'};
    body.insert(body.end(), static_cast<std::size_t>(depth - 2), 0x91);
    body.push_back(0x80);
    return framed(body);
}

Bytes frameOf(const json& message) {
    Bytes out;
    zvwire::AppendFrame(message, out);
    return out;
}

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
        {"a request", zvwire::kRequestLimits, frameOf(request), nullptr},
        {"a megabyte of nils", {}, nils(1000000), "elements"},
        {"a megabyte of nils, as a request", zvwire::kRequestLimits, nils(1000000), "too long"},
        {"15,000 nils in 16 KiB", zvwire::kRequestLimits, nils(15000), "elements"},
        {"4,091 nils: with the map, its keys and the id, 4,096 elements", zvwire::kRequestLimits,
         nils(4091), nullptr},
        {"4,092 nils", zvwire::kRequestLimits, nils(4092), "elements"},
        {"8 deep", zvwire::kRequestLimits, nested(8), nullptr},
        {"9 deep", zvwire::kRequestLimits, nested(9), "nested"},
        {"a text longer than a request may be", zvwire::kRequestLimits,
         frameOf({{"id", 1}, {"value", std::string(17000, 'x')}}), "too long"},
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
        }
    }
}

}  // namespace
