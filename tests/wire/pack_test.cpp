// MessagePack written and read in place: the writer's bytes are those of nlohmann's to_msgpack,
// which a peer of an earlier build uses, and a map read in place gives what its json reader gives.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "JsonPack.h"
#include "Pack.h"
#include "Wire.h"

namespace {

using json = nlohmann::json;
using Bytes = std::vector<std::uint8_t>;

// Each form's edges: fixint, 8, 16, 32 and 64 bits, both signs; texts and binaries by length.
const std::vector<std::int64_t> kSigned = {
    0,   127,  128,  255,    256,    65535,     65536,           4294967295, -1,       -32,
    -33, -128, -129, -32768, -32769, INT32_MIN, INT32_MIN - 1LL, INT64_MIN,  INT64_MAX};
const std::vector<std::size_t> kLengths = {0, 31, 32, 255, 256, 65535, 65536};

// Documents of every kind of value, each form at its edges, go out in the bytes nlohmann writes
// and come back equal.
TEST(Pack, WritesTheBytesOfToMsgpackAndReadsAsFromMsgpack) {
    json document = {
        {"ints", kSigned},
        {"unsigned", std::numeric_limits<std::uint64_t>::max()},
        {"floats", {0.5, 1e300, -2.25, 3.1}},
        {"extensions", {json::binary({1}, 5), json::binary({1, 2, 3}, 200), json::binary({}, 1)}},
        {"nested", {{"a", {{"b", {true, false, nullptr}}}}}},
    };
    for (const std::size_t n : kLengths) {
        document["texts"].push_back(std::string(n, 'x'));
        document["binaries"].push_back(json::binary(Bytes(n, 'y')));
    }
    for (const std::uint32_t entries : {15u, 16u, 65535u, 65536u}) {
        json& map = document["maps"].emplace_back(json::object());
        for (std::uint32_t i = 0; i < entries; ++i) map[std::to_string(1000000 + i)] = nullptr;
    }
    Bytes ours;
    {
        zvwire::PackWriter out(ours);
        zvwire::WriteJson(document, out);
    }
    EXPECT_EQ(ours, json::to_msgpack(document));
    EXPECT_EQ(zvwire::ReadJson(ours.data(), ours.size()), json::from_msgpack(ours));
}

// `bytes` read as the frame decoder reads them.
zvwire::MapView read(const Bytes& bytes, zvwire::PackIndex& index) {
    std::string error;
    EXPECT_TRUE(index.Read(bytes.data(), bytes.size(), zvwire::Limits{}, error)) << error;
    return index.Root(bytes.data());
}

// Reads `key` of `message` both ways: the same value, or both malformed.
template <class T>
void sameNumber(const json& message, const char* key) {
    const Bytes bytes = json::to_msgpack(message);
    zvwire::PackIndex index;
    const zvwire::MapView view = read(bytes, index);
    std::string viaJson, inPlace;
    try {
        viaJson = std::to_string(zvwire::Number<T>(message, key));
    } catch (const zvwire::Malformed&) {
        viaJson = "malformed";
    }
    try {
        inPlace = std::to_string(zvwire::Number<T>(view, key));
    } catch (const zvwire::Malformed&) {
        inPlace = "malformed";
    }
    EXPECT_EQ(inPlace, viaJson) << message.dump() << " as " << sizeof(T) << " bytes";
}

TEST(Pack, AMapReadInPlaceReadsAsItsJson) {
    std::vector<json> values = {nullptr, true, 1.5, "7", json::array({1}), json::object()};
    for (const std::int64_t v : kSigned) values.push_back(v);
    values.push_back(std::numeric_limits<std::uint64_t>::max());
    for (const json& value : values) {
        const json message = {{"a", 1}, {"status", value}, {"m", {{"status", 2}}}};
        sameNumber<std::int32_t>(message, "status");
        sameNumber<std::uint32_t>(message, "status");
        sameNumber<std::int16_t>(message, "status");
        sameNumber<std::uint8_t>(message, "status");
        sameNumber<std::uint64_t>(message, "status");
        sameNumber<std::int64_t>(message, "status");
    }
    sameNumber<std::int32_t>({{"a", 1}}, "status");  // missing

    // Texts: a string or binary as it is, nil or absent none, anything else malformed.
    const json texts = {{"s", "a\xFF"}, {"b", json::binary({0, 'x'})}, {"n", nullptr}, {"i", 3}};
    const Bytes bytes = json::to_msgpack(texts);
    zvwire::PackIndex index;
    const zvwire::MapView view = read(bytes, index);
    EXPECT_EQ(zvwire::TextView(view, "s"), std::string_view("a\xFF"));
    EXPECT_EQ(zvwire::TextView(view, "b"), std::string_view("\0x", 2));
    EXPECT_FALSE(zvwire::TextView(view, "n"));
    EXPECT_FALSE(zvwire::TextView(view, "absent"));
    EXPECT_THROW(zvwire::TextView(view, "i"), zvwire::Malformed);
}

TEST(Pack, TheLastOfARepeatedKeyCountsAsForJson) {
    const std::string body = "\x82\xA1k\x01\xA1k\x02";
    const Bytes bytes(body.begin(), body.end());
    zvwire::PackIndex index;
    const zvwire::MapView view = read(bytes, index);
    EXPECT_EQ(zvwire::Number<int>(view, "k"), json::from_msgpack(bytes)["k"].get<int>());
}

// Values the scan must refuse although their length fits: a key that is not a text, a length
// past the end, bytes after the value, the byte MessagePack never uses.
TEST(Pack, ScanRefusesWhatFromMsgpackRefuses) {
    const std::vector<std::string> bad = {
        "\x81\x01\x02",         "\xA5xy", "\x81\xA1k", "\x01\x02", "\xC1", "\xC4\x05x",
        "\xDD\xFF\xFF\xFF\xFF", ""};
    for (const std::string& b : bad) {
        const Bytes bytes(b.begin(), b.end());
        std::string error;
        EXPECT_FALSE(zvwire::PackIndex().Read(bytes.data(), bytes.size(), zvwire::Limits{}, error));
        EXPECT_THROW(json m = json::from_msgpack(bytes), json::exception);
    }
}

}  // namespace
