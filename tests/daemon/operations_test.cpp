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

json point(int gddId, int mmIdx = 0, int uofm = 0) {
    return {{"deviceIdx", 3}, {"gddId", gddId}, {"mmIdx", mmIdx}, {"uofm", uofm}};
}
json text(const std::string& t) {
    return json::binary(std::vector<std::uint8_t>(t.begin(), t.end()));
}
json report(int gddId, int mmIdx, long auxValue) {
    return {{"gddId", gddId}, {"mmIdx", mmIdx}, {"auxValue", auxValue}};
}

struct Row {
    const char* name;
    json request;                     // its id is 7 unless it has one
    json reply;                       // without the id
    const char* malformed = nullptr;  // the fault named, for a request refused
};

void PrintTo(const Row& row, std::ostream* os) {
    *os << row.request.dump();
}

// clang-format off
const std::vector<Row> kRows = {
    {"Init", {{"op", "Init"}, {"texts", {"a", "b", "c"}}}, {{"value", 1}}},
    {"RegValue", {{"op", "Reg"}, {"kind", "value"}, {"regArg", 0}}, {{"status", 0}}},
    {"RegUnknownKind", {{"op", "Reg"}, {"kind", "nope"}}, {{"status", 5}}},
    {"UnRegAll", {{"op", "UnReg"}, {"what", 1}}, {{"status", 0}}},
    {"UnRegOther", {{"op", "UnReg"}, {"what", 2}}, {{"status", 5}}},
    {"Label", {{"op", "GetVelPntStrLabel"}, {"pnt", point(101)}, {"size", 8}},
     {{"status", 0}, {"text", text("Supply s")}}},
    {"Description", {{"op", "GetVelPntStrDscrptn"}, {"pnt", point(101)}, {"size", 64}},
     {{"status", 0}, {"text", text("Requested supply temperature")}}},
    {"Unit", {{"op", "GetVelPntStrUoM"}, {"pnt", point(101, 0, 1)}, {"size", 64}},
     {{"status", 0}, {"text", text("degF")}}},
    {"ValueText", {{"op", "GetVelPntStr"}, {"pnt", point(101, 1)}, {"size", 64}},
     {{"status", 0}, {"text", text("45.6")}}},
    {"Int32", {{"op", "GetVelPntInt32"}, {"pnt", point(101)}}, {{"status", 0}, {"value", -123}}},
    {"Uint32", {{"op", "GetVelPntUint32"}, {"pnt", point(103)}},
     {{"status", 0}, {"value", 3000000000u}}},
    {"AccessRights", {{"op", "GetVelPntAccessRights"}, {"pnt", point(101)}},
     {{"status", 0}, {"value", 3}}},
    {"DataType", {{"op", "GetVelPntDataType"}, {"pnt", point(102)}}, {{"status", 0}, {"value", 9}}},
    {"NormFactor", {{"op", "GetVelPntDsplyNF"}, {"pnt", point(101)}},
     {{"status", 0}, {"value", 10}}},
    {"UnitId", {{"op", "GetVelPntUoMId"}, {"pnt", point(101)}}, {{"status", 0}, {"value", 12}}},
    {"IdNegative", {{"id", -5}, {"op", "GetVelPntInt32"}, {"pnt", point(101)}},
     {{"id", -5}, {"status", 0}, {"value", -123}}},
    {"IdPast32Bits", {{"id", 1ull << 32}, {"op", "GetVelPntInt32"}, {"pnt", point(101)}},
     {{"id", 1ull << 32}, {"status", 0}, {"value", -123}}},
    {"SetText", {{"op", "SetVelPntStr"}, {"pnt", point(104)}, {"value", "Hall C"}}, {{"status", 0}}},
    {"SetInt32Past", {{"op", "SetVelPntInt32"}, {"pnt", point(101)}, {"value", 851}},
     {{"status", 5}}},
    {"SetUint32", {{"op", "SetVelPntUint32"}, {"pnt", point(103)}, {"value", 7}}, {{"status", 0}}},
    {"ModuleCount", {{"op", "GetMaxRprtMMCnt"}, {"deviceIdx", 3}, {"gddId", 101}}, {{"value", 2}}},
    {"ArrayDim", {{"op", "GetMaxPntArrayDim"}, {"deviceIdx", 3}, {"gddId", 101}}, {{"value", 4}}},
    {"PointsReport", {{"op", "GetPointsRprt"}, {"deviceIdx", 3}, {"gddId", 101}},
     {{"value", 1020}}},
    {"MaxAncestors", {{"op", "GetMaxNmbrAncstrs"}, {"deviceIdx", 3}}, {{"value", 5}}},
    {"Ancestors", {{"op", "GetRprtAncstr"}, {"rprt", {{"deviceIdx", 3}, {"gddId", 1020},
                                                      {"mmIdx", 0}}}, {"bufSize", 1000}},
     {{"status", 0}, {"report", report(1020, 0, 2)},
      {"ancestors", {report(1010, 1, 70000), report(1000, 0, 77)}}}},
    {"NoAncestorRecord", {{"op", "GetRprtAncstr"}, {"rprt", {{"deviceIdx", 3}, {"gddId", 1030},
                                                              {"mmIdx", 0}}}, {"bufSize", 1000}},
     {{"status", 85}}},
    {"ReportLabel", {{"op", "GetVelRprtStrLabel"}, {"rprt", {{"deviceIdx", 3}, {"gddId", 1010},
                                                              {"mmIdx", 1}}}, {"size", 64}},
     {{"status", 7}, {"text", text("Circuit 2")}}},
    {"EnumInfo", {{"op", "GetVelEnumStateInfo"}, {"deviceIdx", 3}, {"gddId", 102},
                  {"maxCount", 2}},
     {{"status", 0}, {"type", 6}, {"count", 3}, {"values", {0, 2}}}},
    {"EnumText", {{"op", "GetVelEnumStateStr"},
                  {"state", {{"deviceIdx", 3}, {"gddId", 102}, {"stateValue", 5}}}, {"size", 64}},
     {{"status", 0}, {"text", text("Eco")}}},
    {"Process", {{"op", "Process"}, {"req", 99}, {"reqType", 2}, {"reqParam", 5},
                 {"url", "/httpGetSet/httpGet.htm"}, {"query", "evt=vel~eventsWA~or~3"}},
     {{"status", 0}}},
    {"Inventory", {{"op", "GetVelServerInventory"}},
     {{"status", 0}, {"inventory", {{"serverVersion", 0x00030002}, {"nmbrDevices", 2},
                                    {"maxDevices", 32}, {"pldCount", 1}, {"upTimeSec", 0},
                                    {"serverName", text("ZvPld simulated engine")}}}}},
    {"ProductIds", {{"op", "GetProdSeqId"}, {"deviceIdx", 3}},
     {{"seq", {{"nmbrIds", 4}, {"revision", 9}, {"ids", {4660, 8256, 7, 513, 0, 0, 0, 0}}}}}},
    {"NoProductIds", {{"op", "GetProdSeqId"}, {"deviceIdx", 9}}, {{"seq", nullptr}}},
    {"FdmVersion", {{"op", "GetVelFDMVersion"}, {"deviceIdx", 3}, {"size", 64}},
     {{"status", 0}, {"text", text("FDM 04.12.0031 rel2")}}},
    {"EventState", {{"op", "SetEventState"}, {"eventId", 7}, {"state", 0}}, {{"status", 0}}},
    {"UnknownEvent", {{"op", "SetEventState"}, {"eventId", 8}, {"state", 0}}, {{"status", 10}}},
    {"AnnouncePldCount", {{"op", "AnnouncePldCount"}}, {{"status", 0}}},
    {"ControlAsked", {{"op", "Control"}, {"ask", true}}, {{"status", 0}, {"answer", nullptr}}},
    {"ControlNotAsked", {{"op", "Control"}, {"command", {{"do", "offline"}, {"device", 3}}}},
     {{"status", 12}, {"answer", {{"ok", false},
                                  {"error", "control not asked for on this connection"}}}}},
    {"UnknownOp", {{"op", "NoSuchCall"}}, {{"status", 12}}},
    // Refused: the connection is dropped with the fault in its line.
    {"PointMissing", {{"op", "GetVelPntStr"}, {"size", 8}}, {}, "pnt missing or not a map"},
    {"SizeMissing", {{"op", "GetVelPntStr"}, {"pnt", point(101)}}, {},
     "size missing or not an integer"},
    {"SizeNegative", {{"op", "GetVelPntStr"}, {"pnt", point(101)}, {"size", -1}}, {},
     "size out of range"},
    {"IdText", {{"id", "1"}, {"op", "GetVelPntInt32"}, {"pnt", point(101)}}, {},
     "id missing or not an integer"},
    {"IdTextOfOther", {{"id", "1"}, {"op", "GetMaxNmbrAncstrs"}, {"deviceIdx", 3}}, {},
     "id missing or not an integer"},
    {"OpNotText", {{"op", 5}}, {}, "op missing or not a text"},
    {"GddIdText", {{"op", "GetVelPntInt32"}, {"pnt", {{"deviceIdx", 3}, {"gddId", "101"},
                                                      {"mmIdx", 0}}}}, {},
     "gddId missing or not an integer"},
    {"DevicePast16Bits", {{"op", "GetVelPntInt32"}, {"pnt", {{"deviceIdx", 65536},
                                                             {"gddId", 101}, {"mmIdx", 0}}}}, {},
     "deviceIdx out of range"},
    {"AuxParamPast16Bits", {{"op", "GetVelPntUint32"}, {"pnt", {{"deviceIdx", 3}, {"gddId", 103},
                                                                {"mmIdx", 0},
                                                                {"auxParam", -32769}}}}, {},
     "auxParam out of range"},
    {"AuxTextNumber", {{"op", "GetVelPntUint32"}, {"pnt", {{"deviceIdx", 3}, {"gddId", 103},
                                                           {"mmIdx", 0}, {"auxText", 3}}}}, {},
     "auxText not a text"},
    {"ReportMissing", {{"op", "GetRprtAncstr"}, {"bufSize", 1000}}, {},
     "rprt missing or not a map"},
    {"ProcessReqText", {{"op", "Process"}, {"req", "99"}, {"reqType", 2}, {"reqParam", 5}}, {},
     "req missing or not an integer"},
    {"ControlBoth", {{"op", "Control"}, {"ask", true}, {"command", {{"do", "clear"}}}}, {},
     "Control takes one of ask and command"},
    {"ControlAskFalse", {{"op", "Control"}, {"ask", false}}, {}, "ask not true"},
    {"ControlCommandText", {{"op", "Control"}, {"command", "clear"}}, {}, "command not a map"},
};
// clang-format on

class Operations : public ::testing::TestWithParam<Row> {
  protected:
    // The reply as a client decodes it, or the fault the request was refused for.
    json Answer(json request) {
        if (!request.contains("id")) request["id"] = 7;
        const std::vector<std::uint8_t> bytes = json::to_msgpack(request);
        pldengined::Call call{m_engine, m_fanOut, m_connection, m_lines, m_held};
        try {
            pldengined::Frame frame;
            if (!pldengined::AnswerInPlace(call, bytes.data(), bytes.size(), frame)) {
                pldengined::Answer answer = pldengined::AnswerTo(call, json::from_msgpack(bytes));
                if (answer.write) answer.reply["status"] = (*answer.write)(m_engine);
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

TEST_P(Operations, AnswerAsTheEngineDoesOrRefuseAMalformedRequestNamingItsFault) {
    const Row& row = GetParam();
    const json reply = Answer(row.request);
    if (row.malformed) {
        EXPECT_EQ(reply.value("malformed", ""), row.malformed) << reply.dump();
        return;
    }
    json expected = row.reply;
    if (!expected.contains("id")) expected["id"] = 7;
    EXPECT_EQ(reply, expected);
}

INSTANTIATE_TEST_SUITE_P(Rows, Operations, ::testing::ValuesIn(kRows),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
