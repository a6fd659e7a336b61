// The names a message is made of, spelled here once for both ends: the ops, the fields of the
// requests, replies and notifications, and the kinds of notification. A name spelled twice could
// differ between the ends and fail only when the two talk; the records' own fields are written
// and read in Messages.cpp. docs/engine-protocol.md lists the messages.
#ifndef ZV_NAMES_H
#define ZV_NAMES_H

namespace zvwire {

// The version of these messages, answered to a control connection's ask. A client that speaks
// another refuses the daemon rather than misread it; it goes up with any change a client of an
// earlier version would misread (a field renamed or retyped, a reply reshaped), not with an
// addition that such a client ignores.
inline constexpr int kProtocolVersion = 1;

// The ops, each the name of its engine call.
namespace op {
inline constexpr char kInit[] = "Init";
inline constexpr char kUnReg[] = "UnReg";
inline constexpr char kReg[] = "Reg";
inline constexpr char kGetVelPntStrLabel[] = "GetVelPntStrLabel";
inline constexpr char kGetVelPntStrDscrptn[] = "GetVelPntStrDscrptn";
inline constexpr char kGetVelPntStrUoM[] = "GetVelPntStrUoM";
inline constexpr char kGetVelPntStr[] = "GetVelPntStr";
inline constexpr char kGetVelPntInt32[] = "GetVelPntInt32";
inline constexpr char kGetVelPntUint32[] = "GetVelPntUint32";
inline constexpr char kGetVelPntAccessRights[] = "GetVelPntAccessRights";
inline constexpr char kGetVelPntDataType[] = "GetVelPntDataType";
inline constexpr char kGetVelPntDsplyNF[] = "GetVelPntDsplyNF";
inline constexpr char kGetVelPntUoMId[] = "GetVelPntUoMId";
inline constexpr char kSetVelPntStr[] = "SetVelPntStr";
inline constexpr char kSetVelPntInt32[] = "SetVelPntInt32";
inline constexpr char kSetVelPntUint32[] = "SetVelPntUint32";
inline constexpr char kGetMaxRprtMMCnt[] = "GetMaxRprtMMCnt";
inline constexpr char kGetMaxPntArrayDim[] = "GetMaxPntArrayDim";
inline constexpr char kGetPointsRprt[] = "GetPointsRprt";
inline constexpr char kGetMaxNmbrAncstrs[] = "GetMaxNmbrAncstrs";
inline constexpr char kGetRprtAncstr[] = "GetRprtAncstr";
inline constexpr char kGetVelRprtStrLabel[] = "GetVelRprtStrLabel";
inline constexpr char kGetVelEnumStateInfo[] = "GetVelEnumStateInfo";
inline constexpr char kGetVelEnumStateStr[] = "GetVelEnumStateStr";
inline constexpr char kProcess[] = "Process";
inline constexpr char kGetVelServerInventory[] = "GetVelServerInventory";
inline constexpr char kGetProdSeqId[] = "GetProdSeqId";
inline constexpr char kGetVelFDMVersion[] = "GetVelFDMVersion";
inline constexpr char kSetEventState[] = "SetEventState";
inline constexpr char kAnnouncePldCount[] = "AnnouncePldCount";
inline constexpr char kControl[] = "Control";
}  // namespace op

// The fields of the messages, each under the name of the call's parameter or result it carries.
namespace key {
// Every request; every reply but a notification's.
inline constexpr char kId[] = "id";
inline constexpr char kOp[] = "op";
// Requests.
inline constexpr char kPnt[] = "pnt";
inline constexpr char kSize[] = "size";
inline constexpr char kSetParam[] = "setParam";
inline constexpr char kDeviceIdx[] = "deviceIdx";
inline constexpr char kGddId[] = "gddId";
inline constexpr char kRprt[] = "rprt";
inline constexpr char kBufSize[] = "bufSize";
inline constexpr char kMaxCount[] = "maxCount";
inline constexpr char kState[] = "state";  // an enum state's record; SetEventState's state
inline constexpr char kEventId[] = "eventId";
inline constexpr char kUrl[] = "url";
inline constexpr char kQuery[] = "query";
inline constexpr char kReqType[] = "reqType";
inline constexpr char kReqParam[] = "reqParam";
inline constexpr char kTexts[] = "texts";
inline constexpr char kWhat[] = "what";
inline constexpr char kKind[] = "kind";
inline constexpr char kRegArg[] = "regArg";
inline constexpr char kAsk[] = "ask";
inline constexpr char kCommand[] = "command";
// The event feed's: a Control's subscription, its client's name and the scenario step a command
// plays; the feed's frames.
inline constexpr char kSubscribe[] = "subscribe";
inline constexpr char kName[] = "name";
inline constexpr char kStep[] = "step";
inline constexpr char kFeed[] = "feed";
// Replies.
inline constexpr char kStatus[] = "status";
inline constexpr char kValue[] = "value";  // a set's value too
inline constexpr char kText[] = "text";
inline constexpr char kReport[] = "report";
inline constexpr char kAncestors[] = "ancestors";
inline constexpr char kType[] = "type";
inline constexpr char kCount[] = "count";  // a PLD-count notification's too
inline constexpr char kValues[] = "values";
inline constexpr char kInventory[] = "inventory";
inline constexpr char kSeq[] = "seq";
inline constexpr char kAnswer[] = "answer";
inline constexpr char kProtocol[] = "protocol";  // an ask's: the daemon's kProtocolVersion
// Notifications and pieces (a piece's record is Messages.cpp's).
inline constexpr char kNtf[] = "ntf";
inline constexpr char kInfo[] = "info";
inline constexpr char kData[] = "data";
inline constexpr char kReq[] = "req";  // Process's request too
inline constexpr char kBuf[] = "buf";
}  // namespace key

// The kinds of notification: a Reg's `kind`, a notification's `ntf`; a piece is no kind of Reg.
namespace note {
inline constexpr char kPld[] = "pld";
inline constexpr char kEvent[] = "event";
inline constexpr char kValue[] = "value";
inline constexpr char kPiece[] = "piece";
}  // namespace note

}  // namespace zvwire

#endif
