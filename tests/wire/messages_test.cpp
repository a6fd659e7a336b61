// Each message's record, written by one end and read by the other through a frame, comes back as
// it went; and a point call's frame, written in place, is the frame of its json document, as a
// peer of an earlier build writes and reads it.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "JsonPack.h"
#include "Messages.h"
#include "Wire.h"

namespace {

using json = nlohmann::json;
using Bytes = std::vector<std::uint8_t>;

// `record` framed as a message's field and read back from the frame.
json throughFrame(const json& record) {
    Bytes frame;
    EXPECT_TRUE(zvwire::AppendFrame({{"r", record}}, frame));
    zvwire::FrameDecoder decoder;
    decoder.Feed(frame.data(), frame.size());
    json message;
    EXPECT_EQ(decoder.Next(message), zvwire::FrameDecoder::Result::Message);
    return message.at("r");
}

TEST(Messages, EachRecordComesBackAsItWent) {
    struct Case {
        const char* name;
        std::function<void()> check;
    };
    const std::vector<Case> cases = {
        {"report",
         [] {
             const ZvVelRprtDfn in{65535, 4000000000u, 7, nullptr, 0};
             const ZvVelRprtDfn out = zvwire::ReportOf(throughFrame(zvwire::ReportJson(in)));
             EXPECT_EQ(out.deviceIdx, 65535);
             EXPECT_EQ(out.gddId, 4000000000u);
             EXPECT_EQ(out.mmIdx, 7);
         }},
        {"ancestor",
         [] {
             const auto out = zvwire::AncestorOf(throughFrame(zvwire::AncestorJson(9, 65535, 77)));
             EXPECT_EQ(out.gddId, 9u);
             EXPECT_EQ(out.mmIdx, 65535);
             EXPECT_EQ(out.auxValue, 77u);
         }},
        {"enum state",
         [] {
             const auto out = zvwire::EnumStateOf(throughFrame(zvwire::EnumStateJson({3, 100, 2})));
             EXPECT_EQ(out.deviceIdx, 3);
             EXPECT_EQ(out.gddId, 100u);
             EXPECT_EQ(out.stateValue, 2);
         }},
        {"inventory, its name of all 32 bytes",
         [] {
             ZvVelInventory in{};
             in.serverVersion = 5;
             in.nmbrDevices = 2;
             in.maxDevices = 64;
             in.pldCount = 12;
             in.upTimeSec = 3600;
             std::memset(in.serverName, 'n', sizeof in.serverName);
             const auto out = zvwire::InventoryOf(throughFrame(zvwire::InventoryJson(in)));
             EXPECT_EQ(std::memcmp(&out.serverName, &in.serverName, sizeof in.serverName), 0);
             EXPECT_EQ(out.serverVersion, 5u);
             EXPECT_EQ(out.nmbrDevices, 2);
             EXPECT_EQ(out.maxDevices, 64);
             EXPECT_EQ(out.pldCount, 12u);
             EXPECT_EQ(out.upTimeSec, 3600u);
         }},
        {"product sequence",
         [] {
             ZvProductIdentSeq in{};
             in.nmbrIds = 3;
             in.revision = 2;
             for (std::uint16_t i = 0; i < 8; ++i) in.ids[i] = static_cast<std::uint16_t>(i + 1);
             const auto out = zvwire::SequenceOf(throughFrame(zvwire::SequenceJson(in)));
             EXPECT_EQ(out.nmbrIds, 3);
             EXPECT_EQ(out.revision, 2);
             EXPECT_EQ(std::memcmp(out.ids, in.ids, sizeof in.ids), 0);
         }},
        {"a point, with and without its text",
         [] {
             for (const char* aux : {"aux", static_cast<const char*>(nullptr)}) {
                 const ZvVelPntDfn in{1, 100, 2, 3, -4, aux, 5};
                 Bytes frame;
                 const std::size_t start = zvwire::BeginFrame(frame);
                 {
                     zvwire::PackWriter out(frame);
                     out.Map(1 + zvwire::kPointCallFields);
                     out.Field("id", 1);
                     zvwire::WritePointCall(out, "GetVelPntInt32", in);
                 }
                 ASSERT_TRUE(zvwire::EndFrame(frame, start));
                 zvwire::FrameDecoder decoder(zvwire::kRequestLimits);
                 decoder.Feed(frame.data(), frame.size());
                 const std::uint8_t* body = nullptr;
                 std::size_t size = 0;
                 ASSERT_EQ(decoder.NextBytes(body, size), zvwire::FrameDecoder::Result::Message);
                 const zvwire::PointArgument read(decoder.Fields().Root(body));
                 const ZvVelPntDfn out = read.Dfn();
                 EXPECT_EQ(out.deviceIdx, 1);
                 EXPECT_EQ(out.gddId, 100u);
                 EXPECT_EQ(out.mmIdx, 2);
                 EXPECT_EQ(out.auxIdx, 3);
                 EXPECT_EQ(out.auxParam, -4);
                 EXPECT_EQ(out.uofm, 5u);
                 EXPECT_STREQ(out.auxText, aux);
                 // The same as the document's, and read as the same document.
                 const json document = zvwire::ReadJson(body, size);
                 EXPECT_EQ(Bytes(body, body + size), json::to_msgpack(document));
                 EXPECT_EQ(zvwire::PointArgument(document).dfn.uofm, 5u);
             }
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        c.check();
    }
}

// Documents of every kind of value go out in the bytes nlohmann writes and come back equal.
TEST(Messages, ADocumentIsWrittenAsToMsgpackWritesItAndReadAsFromMsgpackReadsIt) {
    const json document = {
        {"ints", {0, 127, 128, -1, -33, -129, 70000, -70000, 5000000000LL, -5000000000LL}},
        {"floats", {0.5, 1e300, -2.25, 3.1}},
        {"texts", {"", std::string(40, 't'), std::string(300, 'u')}},
        {"binary", json::binary({1, 2, 3})},
        {"extensions", {json::binary({1}, 5), json::binary({1, 2, 3}, 200), json::binary({}, 1)}},
        {"nested", {{"a", {{"b", {true, false, nullptr}}}}}},
    };
    Bytes ours;
    {
        zvwire::PackWriter out(ours);
        zvwire::WriteJson(document, out);
    }
    EXPECT_EQ(ours, json::to_msgpack(document));
    EXPECT_EQ(zvwire::ReadJson(ours.data(), ours.size()), json::from_msgpack(ours));
}

}  // namespace
