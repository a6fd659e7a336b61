// Each of the daemon's operations in this process, without a socket: a request's MessagePack in,
// the reply's MessagePack out, decoded as a client reads it; a malformed request refused with its
// fault named.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "DistinctCatalogue.h"
#include "Operations.h"

namespace {

using nlohmann::json;

json point(int gddId) {
    return {{"deviceIdx", 3}, {"gddId", gddId}, {"mmIdx", 0}, {"uofm", 0}};
}
json report(int gddId, int mmIdx, long auxValue) {
    return {{"gddId", gddId}, {"mmIdx", mmIdx}, {"auxValue", auxValue}};
}
json ask(const char* op, json fields = json::object()) {
    fields["op"] = op;
    return fields;
}
json text(const std::string& t) {
    return json::binary(std::vector<std::uint8_t>(t.begin(), t.end()));
}
json ok(const char* key, json value) {
    return {{"status", 0}, {key, std::move(value)}};
}
json ok(const char* key, const char* value) {
    return ok(key, text(value));
}
json bad(const char* why) {  // refused: the connection is dropped with the fault in its line
    return {{"malformed", why}};
}
const json kP101 = point(101);
json with(const char* key, json value) {  // point 101 with a field of its own
    json p = kP101;
    p[key] = std::move(value);
    return ask("GetVelPntInt32", {{"pnt", p}});
}
json rprt(int gddId, int mmIdx = 0) {
    return {{"deviceIdx", 3}, {"gddId", gddId}, {"mmIdx", mmIdx}};
}
json setText(std::size_t length) {  // a control command: a text point set to `length` 'x'
    const json value = std::string(length, 'x');
    return ask("Control",
               {{"command", {{"do", "set"}, {"device", 3}, {"point", 104}, {"value", value}}}});
}

struct Row {
    const char* name;
    json request;        // its id is 7 unless it has one
    json reply;          // without the id
    bool asked = false;  // on a connection that asked for control
};

void PrintTo(const Row& row, std::ostream* os) {
    *os << row.request.dump();
}

// What the end-to-end table shows whole is left to it: these rows are what a client's own reading
// would hide (texts cut to their size, ids, exact replies) and each refusal.
const std::vector<Row> kRows = {
    {"RegValue", ask("Reg", {{"kind", "value"}, {"regArg", 0}}), {{"status", 0}}},
    {"RegUnknownKind", ask("Reg", {{"kind", "nope"}}), {{"status", 5}}},
    {"UnRegOther", ask("UnReg", {{"what", 2}}), {{"status", 5}}},
    {"Label", ask("GetVelPntStrLabel", {{"pnt", kP101}, {"size", 8}}), ok("text", "Supply s")},
    {"IdNegative",
     ask("GetVelPntInt32", {{"id", -5}, {"pnt", kP101}}),
     {{"id", -5}, {"status", 0}, {"value", -123}}},
    {"IdPast32Bits",
     ask("GetVelPntInt32", {{"id", 1ull << 32}, {"pnt", kP101}}),
     {{"id", 1ull << 32}, {"status", 0}, {"value", -123}}},
    {"Ancestors",
     ask("GetRprtAncstr", {{"rprt", rprt(1020)}, {"bufSize", 1000}}),
     {{"status", 0},
      {"report", report(1020, 0, 2)},
      {"ancestors", {report(1010, 1, 70000), report(1000, 0, 77)}}}},
    {"ReportLabel",
     ask("GetVelRprtStrLabel", {{"rprt", rprt(1010, 1)}, {"size", 64}}),
     {{"status", 7}, {"text", text("Circuit 2")}}},
    {"EnumInfo",
     ask("GetVelEnumStateInfo", {{"deviceIdx", 3}, {"gddId", 102}, {"maxCount", 2}}),
     {{"status", 0}, {"type", 6}, {"count", 3}, {"values", {0, 2}}}},
    {"Inventory", ask("GetVelServerInventory"),
     ok("inventory", {{"serverVersion", 0x00030002},
                      {"nmbrDevices", 2},
                      {"maxDevices", 32},
                      {"pldCount", 1},
                      {"upTimeSec", 0},
                      {"serverName", text("ZvPld simulated engine")}})},
    {"ProductIds",
     ask("GetProdSeqId", {{"deviceIdx", 3}}),
     {{"seq", {{"nmbrIds", 4}, {"revision", 9}, {"ids", {4660, 8256, 7, 513, 0, 0, 0, 0}}}}}},
    {"EventState", ask("SetEventState", {{"eventId", 7}, {"state", 0}}), {{"status", 0}}},
    {"UnknownEvent", ask("SetEventState", {{"eventId", 8}, {"state", 0}}), {{"status", 10}}},
    {"AnnouncePldCount", ask("AnnouncePldCount"), {{"status", 0}}},
    {"ControlAsked",
     ask("Control", {{"ask", true}}),
     {{"status", 0}, {"answer", nullptr}, {"protocol", 1}}},
    {"ControlNotAsked",
     ask("Control", {{"command", {{"do", "clear"}, {"name", "x"}}}}),
     {{"status", 12},
      {"answer", {{"ok", false}, {"error", "control not asked for on this connection"}}}}},
    // A text value of at most 255 characters.
    {"ControlTextAtLimit", setText(255),
     ok("answer",
        {{"ok", true}, {"done", "device 3 point 104 module 0 set to " + std::string(255, 'x')}}),
     true},
    {"ControlTextPastLimit", setText(256),
     ok("answer",
        {{"ok", false},
         {"error", "set: value: a number, or a text of at most 255 characters, is needed"}}),
     true},
    {"UnknownOp", ask("NoSuchCall"), {{"status", 12}}},
    {"PointMissing", ask("GetVelPntStr", {{"size", 8}}), bad("pnt missing or not a map")},
    {"SizeMissing", ask("GetVelPntStr", {{"pnt", kP101}}), bad("size missing or not an integer")},
    {"SizeNegative", ask("GetVelPntStr", {{"pnt", kP101}, {"size", -1}}), bad("size out of range")},
    {"IdText", ask("GetVelPntInt32", {{"id", "1"}, {"pnt", kP101}}),
     bad("id missing or not an integer")},
    {"IdTextOfOther", ask("GetMaxNmbrAncstrs", {{"id", "1"}, {"deviceIdx", 3}}),
     bad("id missing or not an integer")},
    {"OpNotText", {{"op", 5}}, bad("op missing or not a text")},
    {"GddIdText", with("gddId", "101"), bad("gddId missing or not an integer")},
    {"DevicePast16Bits", with("deviceIdx", 65536), bad("deviceIdx out of range")},
    {"AuxParamPast16Bits", with("auxParam", -32769), bad("auxParam out of range")},
    {"AuxTextNumber", with("auxText", 3), bad("auxText not a text")},
    {"ReportMissing", ask("GetRprtAncstr", {{"bufSize", 1000}}), bad("rprt missing or not a map")},
    {"ProcessReqText", ask("Process", {{"req", "99"}, {"reqType", 2}, {"reqParam", 5}}),
     bad("req missing or not an integer")},
    {"ControlBoth", ask("Control", {{"ask", true}, {"command", {{"do", "clear"}}}}),
     bad("Control takes one of ask, command and subscribe")},
    {"ControlAskAndSubscribe", ask("Control", {{"ask", true}, {"subscribe", true}}),
     bad("Control takes one of ask, command and subscribe")},
    {"SubscribeNotAsked",
     ask("Control", {{"subscribe", true}}),
     {{"status", 12}, {"answer", nullptr}}},
    {"SubscribeText", ask("Control", {{"subscribe", "yes"}}), bad("subscribe not true or false")},
    {"NameWithoutAsk", ask("Control", {{"subscribe", true}, {"name", "x"}}),
     bad("name comes only with ask")},
    {"NameControlCharacter", ask("Control", {{"ask", true}, {"name", "a\nb"}}),
     bad("name holds a control character")},
    {"NamePast64", ask("Control", {{"ask", true}, {"name", std::string(65, 'n')}}),
     bad("name not a text of 1 to 64 bytes")},
    {"StepWithoutCommand", ask("Control", {{"ask", true}, {"step", json::object()}}),
     bad("step comes only with command")},
    {"StepNotMap", ask("Control", {{"command", {{"do", "release"}}}, {"step", 3}}),
     bad("step not a map")},
    {"StepPassText",
     ask("Control",
         {{"command", {{"do", "release"}}}, {"step", {{"pass", "1"}, {"step", 1}, {"at_ms", 0}}}}),
     bad("pass missing or not an integer")},
    {"ControlAskFalse", ask("Control", {{"ask", false}}), bad("ask not true")},
    {"ControlCommandText", ask("Control", {{"command", "clear"}}), bad("command not a map")},
};

class Daemon : public ::testing::Test {
  protected:
    // The reply as a client decodes it, or the fault the request was refused for.
    json Answer(json request) {
        if (!request.contains("id")) request["id"] = 7;
        const std::vector<std::uint8_t> bytes = json::to_msgpack(request);
        pldengined::Call call{m_engine, m_fanOut, m_connection, m_lines, m_held};
        try {
            pldengined::Frame frame;
            zvwire::PackIndex fields;  // as the frame decoder reads it
            std::string error;
            if (!fields.Read(bytes.data(), bytes.size(), zvwire::Limits{}, error)) return {};
            if (!pldengined::AnswerInPlace(call, fields.Root(bytes.data()), frame)) {
                pldengined::Answer answer = pldengined::AnswerTo(call, json::from_msgpack(bytes));
                if (answer.write) answer.reply["status"] = answer.write->make(m_engine);
                frame = pldengined::ReplyFrame(*m_connection, request, answer.reply);
            }
            return json::from_msgpack(frame->begin() + 4, frame->end());
        } catch (const std::exception& e) {
            return {{"malformed", e.what()}};
        }
    }

    zvsim::SimEngine m_engine{zvsim::Catalogue::FromJson(kDistinctCatalogue)};
    pldengined::FanOut m_fanOut{m_engine};
    std::shared_ptr<pldengined::Connection> m_connection = std::make_shared<pldengined::Connection>(
        -1, 1, [](const auto&) {}, zvwire::kRequestLimits, pldengined::Clock::now());
    pldengined::LineBudget m_lines{20};
    pldengined::HeldReplies m_held{m_engine};
};

class Operations : public Daemon, public ::testing::WithParamInterface<Row> {};

TEST_P(Operations, AnswerAsTheEngineDoesOrRefuseAMalformedRequestNamingItsFault) {
    m_connection->control = GetParam().asked;
    json expected = GetParam().reply;
    if (!expected.contains("malformed") && !expected.contains("id")) expected["id"] = 7;
    EXPECT_EQ(Answer(GetParam().request), expected);
}

INSTANTIATE_TEST_SUITE_P(Rows, Operations, ::testing::ValuesIn(kRows),
                         [](const auto& info) { return std::string(info.param.name); });

// A reply of 1 MiB, the most a frame holds, goes out as it is; one byte more is answered with a
// status alone: 11 for an ancestor chain, 13 for any other.
TEST_F(Daemon, AReplyPastAFramesLimitIsAnsweredWithAStatusAlone) {
    for (const auto& [op, status] :
         {std::pair{"GetVelPntStr", 13}, std::pair{"GetRprtAncstr", 11}}) {
        for (std::size_t bytes : {1048576, 1048577}) {  // {"id": 7, "text": <binary>}: 15 and it
            const json reply = {{"id", 7},
                                {"text", json::binary(std::vector<std::uint8_t>(bytes - 15))}};
            const auto frame = pldengined::ReplyFrame(*m_connection, ask(op), reply);
            const json expected = bytes == 1048576 ? reply : json({{"id", 7}, {"status", status}});
            EXPECT_TRUE(json::from_msgpack(frame->begin() + 4, frame->end()) == expected)
                << op << ", " << bytes << " bytes";  // not the megabyte
        }
    }
}

// An engine whose answers are the pieces of `lengths` (in 4-byte buffers) within the call.
class Pieces : public zvsim::SimEngine {
  public:
    Pieces() : SimEngine(zvsim::Catalogue::FromJson(kDistinctCatalogue)) {}
    std::vector<std::uint32_t> lengths;
    Y4_Status Process(ZvPldEngInfo* info) override {
        char buf[4] = {'a', 'b', 'c', 'd'};
        std::uint32_t sequence = 0;
        for (const std::uint32_t length : lengths) {
            ZvCallbackInfo cbi{info->pUserData, 0,  info->reqType, info->reqParam, sequence++, 0, 4,
                               length,          buf};
            info->pfnCallback(&cbi);
        }
        return zvsim::kOk;
    }
};

// A piece after the one that ended its answer is dropped (its context is gone); answers that
// never end are refused past 256 per connection.
TEST_F(Daemon, AnEnginesPiecesEndTheirAnswerAndAnswersUnderWayAreBounded) {
    Pieces engine;
    pldengined::FanOut fanOut(engine);
    const auto connection = [] {
        return std::make_shared<pldengined::Connection>(
            -1, 1, [](const auto&) {}, zvwire::kRequestLimits, pldengined::Clock::now());
    };
    const auto process = [&](const std::shared_ptr<pldengined::Connection>& to) {
        ZvPldEngInfo info{};
        return fanOut.Process(to, 7, info);
    };
    engine.lengths = {2};
    const auto one = connection();
    ASSERT_EQ(process(one), 0);
    engine.lengths = {2, 2};
    ASSERT_EQ(process(m_connection), 0);
    EXPECT_EQ(m_connection->Queued(), one->Queued());
    EXPECT_EQ(m_connection->answering, 0u);
    engine.lengths = {4};
    for (int i = 0; i < 256; ++i) ASSERT_EQ(process(m_connection), 0) << i;
    EXPECT_EQ(process(m_connection), zvsim::kRejected);
    EXPECT_EQ(process(one), 0);  // another connection's answers are its own
}

}  // namespace
