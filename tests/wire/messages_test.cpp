// Each message's record, written by one end and read by the other through a frame, comes back as
// it went; and a point call's frame, written in place, is the frame of its json document, as a
// peer of an earlier build writes and reads it.
#include <gtest/gtest.h>

#include <cstring>
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

// Every field a value of its own, so that one read into another's place shows.
TEST(Messages, EachRecordComesBackAsItWent) {
    ZvVelInventory inventory{5, 2, 64, 12, 3600, {}};
    std::memset(inventory.serverName, 'n', sizeof inventory.serverName);  // no NUL: all 32
    const ZvProductIdentSeq seq{3, 2, {1, 2, 3, 4, 5, 6, 7, 8}};
    char buf[] = "piece";
    const ZvCallbackInfo piece{nullptr, 1, 2, 3, 4, 0, sizeof buf, 5, buf};
    const std::vector<json> written = {
        zvwire::ReportJson({65535, 4000000000u, 7, nullptr, 0}),
        zvwire::AncestorJson(9, 65535, 77),
        zvwire::EnumStateJson({3, 100, 2}),
        zvwire::InventoryJson(inventory),
        zvwire::SequenceJson(seq),
        zvwire::EventJson({1, 2, 3, 4, 5}),
        zvwire::ValueChangeJson({1, 2, 3, 4, 5, 6, nullptr}),
        zvwire::PieceJson(7, piece),
    };
    const ZvPldEngAncestorEntry a = zvwire::AncestorOf(throughFrame(written[1]));
    const std::vector<json> back = {
        zvwire::ReportJson(zvwire::ReportOf(throughFrame(written[0]))),
        zvwire::AncestorJson(a.gddId, a.mmIdx, a.auxValue),
        zvwire::EnumStateJson(zvwire::EnumStateOf(throughFrame(written[2]))),
        zvwire::InventoryJson(zvwire::InventoryOf(throughFrame(written[3]))),
        zvwire::SequenceJson(zvwire::SequenceOf(throughFrame(written[4]))),
        zvwire::EventJson(zvwire::EventOf(throughFrame(written[5]))),
        zvwire::ValueChangeJson(zvwire::ValueChangeOf(throughFrame(written[6]))),
        zvwire::PieceJson(7,
                          [&] {
                              ZvCallbackInfo read = zvwire::PieceOf(throughFrame(written[7]));
                              read.pProcOutBuf = piece.pProcOutBuf;
                              return read;
                          }()),
    };
    for (std::size_t i = 0; i < written.size(); ++i) EXPECT_EQ(back[i], written[i]) << i;
}

TEST(Messages, APointCallIsTheFrameOfItsDocumentAndItsPointIsReadBack) {
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
        EXPECT_EQ(std::vector<int>({out.deviceIdx, int(out.gddId), out.mmIdx, out.auxIdx,
                                    out.auxParam, int(out.uofm)}),
                  std::vector<int>({1, 100, 2, 3, -4, 5}));
        EXPECT_STREQ(out.auxText, aux);
        EXPECT_EQ(Bytes(body, body + size), json::to_msgpack(zvwire::ReadJson(body, size)));
    }
}

}  // namespace
