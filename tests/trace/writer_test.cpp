// The trace the library writes when ZVPLD_TRACE names a file: each engine call, notification and
// answer piece read back with the tools' reader, against a mocked engine.
#include <cstdlib>
#include <cstring>

#include "MockEngine.h"
#include "TraceFiles.h"
#include "ZvPldTypes.h"

using namespace ::testing;

namespace {

// A request's records as the reader shows them: the point kPoint (mmIdx 2 reaches the engine as 1).
#define POINT "device=7 gdd=4660 mm=1 aux=9"
#define ATTRIBUTE "device=7 gdd=4660 mm=0 aux=0 auxParam=0 auxText=- uofm=0"

struct Traced {
    const char* name;
    // Sets the engine's answers, makes the calls, and gives the result the caller saw.
    int (*run)(MockEngine&, ZvPldProxy&);
    int result;
    std::vector<std::string> records;  // between Init and UnReg
    friend void PrintTo(const Traced& t, std::ostream* os) { *os << t.name; }
};

template <class Reply>
auto Writes(Y4_Status status, Reply reply) {
    return [=](auto... args) {
        reply(args...);
        return status;
    };
}

int g_pieces = 0;
void onEvents(std::list<ZvPldProxy::ActiveEvent*>* events) {
    for (auto* e : *events) delete e;
    ++g_pieces;
}

// The answer "(1,7:100,2)" handed to the response function within Process, on its caller's
// thread, in a piece that fills its buffer and a shorter last one.
Y4_Status answerInPieces(ZvPldEngInfo* request) {
    std::uint32_t sequence = 0;
    for (const char* text : {"(1,7:100", ",2)"}) {
        char buf[8];
        std::memcpy(buf, text, std::strlen(text));
        ZvCallbackInfo piece{request->pUserData,
                             0,
                             2,
                             request->reqParam,
                             sequence++,
                             0,
                             sizeof buf,
                             static_cast<std::uint32_t>(std::strlen(text)),
                             buf};
        request->pfnCallback(&piece);
    }
    return 0;
}

const Traced kCalls[] = {
    {"TextRead",
     [](MockEngine& e, ZvPldProxy& p) {
         EXPECT_CALL(e, GetVelPntStr).WillOnce(Writes(0, [](auto, auto, char* b) {
             std::strcpy(b, "21.5");
         }));
         std::string text;
         return p.GetValueString(text, 7, 0x1234, 2, 9, 0x10002, -4, kAuxText);
     },
     0,
     {"GetVelPntStr 0 " POINT " auxParam=-4 auxText=\"aux\" uofm=65538 size=256 | text=\"21.5\""}},
    {"FailedTextReadKeepsWhatTheEngineWrote",
     [](MockEngine& e, ZvPldProxy& p) {
         EXPECT_CALL(e, GetVelPntStrLabel).WillOnce(Writes(1007, [](auto, auto, char* b) {
             std::strcpy(b, "half");
         }));
         std::string text;
         return p.GetLabelString(text, 7, 0x1234, 2, 9, nullptr);
     },
     2,
     {"GetVelPntStrLabel 1007 " POINT " auxParam=0 auxText=\"0\" uofm=0 size=256 | text=\"half\""}},
    {"NumberRead",
     [](MockEngine& e, ZvPldProxy& p) {
         EXPECT_CALL(e, GetVelPntInt32).WillOnce(Writes(0, [](auto, std::int32_t* v) { *v = -5; }));
         int v = 0;
         return p.GetValueSInt32(&v, 7, 0x1234, 2, 9, 3, -4);
     },
     0,
     {"GetVelPntInt32 0 " POINT " auxParam=-4 auxText=\"0\" uofm=3 | value=-5"}},
    {"Writes",
     [](MockEngine& e, ZvPldProxy& p) {
         EXPECT_CALL(e, SetVelPntStr).WillOnce(Return(4));
         EXPECT_CALL(e, SetVelPntUint32).WillOnce(Return(0));
         EXPECT_EQ(p.SetValueString("on", 7, 0x1234, 2, 9, 3, -4, nullptr, 3), 2);
         return p.SetValueUInt32(0xFFFFFFFE, 7, 0x1234, 2, 9, 3, -4, 0xABCD);
     },
     0,
     {"SetVelPntStr 4 " POINT " auxParam=-4 auxText=- uofm=3 value=\"on\" setParam=3",
      "SetVelPntUint32 0 " POINT " auxParam=-4 auxText=\"0\" uofm=3 value=4294967294 "
      "setParam=43981"}},
    {"Attributes",
     [](MockEngine& e, ZvPldProxy& p) {
         EXPECT_CALL(e, GetVelPntUoMId).WillOnce(Writes(0, [](auto, Y4paVelDsply* d) {
             d->uofmId = 12;
         }));
         EXPECT_CALL(e, GetMaxRprtMMCnt(7, 0x1234)).WillOnce(Return(3));
         unsigned long v = 0;
         EXPECT_EQ(p.GetVelPointUoMID(&v, 7, 0x1234), 0);
         return p.GetMaxModuleCnt(&v, 7, 0x1234);
     },
     0,
     {"GetVelPntUoMId 0 " ATTRIBUTE " | uofmId=12", "GetMaxRprtMMCnt 3 device=7 gdd=4660"}},
    {"EnumStates",
     [](MockEngine& e, ZvPldProxy& p) {
         EXPECT_CALL(e, GetVelEnumStateInfo(7, 0x1234, _, _, 100, _))
             .WillOnce(Writes(
                 0, [](auto, auto, ZvEnumStateType* t, std::uint16_t* n, auto, std::uint16_t* v) {
                     *t = ZvEnumStateType{2};
                     *n = 2;
                     v[0] = 5;
                     v[1] = 0x102;
                 }));
         EXPECT_CALL(e, GetVelEnumStateStr)
             .WillOnce(Writes(0, [](auto, auto, char* b) { std::strcpy(b, "Off"); }))
             .WillOnce(Return(3));
         std::list<std::string> names;
         return p.GetVelEnumStateInfo(nullptr, &names, nullptr, 0x1234, 7);
     },
     2,
     {"GetVelEnumStateInfo 0 device=7 gdd=4660 maxCount=100 | type=2 count=2 values=00050102",
      "GetVelEnumStateStr 0 device=7 gdd=4660 state=5 size=100 | text=\"Off\"",
      "GetVelEnumStateStr 3 device=7 gdd=4660 state=258 size=100 | text=\"\""}},
    {"Hierarchy",
     [](MockEngine& e, ZvPldProxy& p) {
         EXPECT_CALL(e, GetMaxNmbrAncstrs(7)).WillOnce(Return(4));
         EXPECT_CALL(e, GetPointsRprt(7, 0x1234)).WillOnce(Return(300));
         EXPECT_CALL(e, GetRprtAncstr).WillOnce([](ZvVelRprtDfn* r) {
             auto* rec = static_cast<ZvPldEngAncestors*>(r->buf);
             auto* entries = reinterpret_cast<ZvPldEngAncestorEntry*>(rec + 1);
             *rec = ZvPldEngAncestors{300, 1, 0x11, 1, entries};
             entries[0] = ZvPldEngAncestorEntry{0x10203, 0xFFFF, 0xA0B0C0D};
             return 0;
         });
         unsigned short aux = 0, mm = 0;
         unsigned long gdd = 0;
         return p.GetHierarchyInfo(&aux, &mm, &gdd, 1, 7, 0x1234, 2);
     },
     0,
     {"GetMaxNmbrAncstrs 4 device=7", "GetPointsRprt 300 device=7 gdd=4660",
      "GetRprtAncstr 0 device=7 gdd=300 mm=1 bufSize=" +
          std::to_string(sizeof(ZvPldEngAncestors) + 4 * sizeof(ZvPldEngAncestorEntry)) +
          " | gdd=300 mm=1 aux=17 count=1 ancestors=00010203ffff0a0b0c0d"}},
    {"ReportLabelAndPassedThrough",
     [](MockEngine& e, ZvPldProxy& p) {
         EXPECT_CALL(e, GetVelRprtStrLabel).WillOnce(Writes(8, [](auto, auto, char* b) {
             std::strcpy(b, "Boiler");
         }));
         EXPECT_CALL(e, GetVelServerInventory).WillOnce([](ZvVelInventory* v) {
             *v = ZvVelInventory{0x10002, 2, 8, 5, 60, "sim"};
             return 0;
         });
         EXPECT_CALL(e, GetProdSeqId(7)).WillOnce([](auto) {
             auto* seq = static_cast<ZvProductIdentSeq*>(std::calloc(1, sizeof(ZvProductIdentSeq)));
             *seq = ZvProductIdentSeq{2, 1, {0x10, 0x2030}};
             return seq;
         });
         EXPECT_CALL(e, GetVelFDMVersion(7, 20, _)).WillOnce(Writes(-1, [](auto, auto, char* b) {
             std::strcpy(b, "1.2.3");
         }));
         std::string label;
         ZvVelInventory inventory;
         ZvProductIdentSeq* seq = nullptr;
         EXPECT_TRUE(p.GetPldInventory(&inventory) && p.GetProdSeqId(&seq, 7));
         std::free(seq);
         EXPECT_EQ(p.GetFdmVersion(7), "1.2.3");
         return p.GetReportLabel(label, 7, 300, 0xFFFF);
     },
     0,
     {"GetVelServerInventory 0 | serverVersion=65538 nmbrDevices=2 maxDevices=8 pldCount=5 "
      "upTimeSec=60 serverName=73696d" +
          std::string(58, '0'),
      "GetProdSeqId 0 device=7 | identity=020100102030" + std::string(24, '0'),
      "GetVelFDMVersion -1 device=7 size=20 | text=\"1.2.3\"",
      "GetVelRprtStrLabel 8 device=7 gdd=300 mm=65535 size=256 | text=\"Boiler\""}},
    {"ActiveEventsWithTheirPiecesAfterTheirCall",
     [](MockEngine& e, ZvPldProxy& p) {
         EXPECT_CALL(e, Process).WillOnce(answerInPieces);
         std::list<ZvPldProxy::ActiveEvent*> events;
         const int result = p.GetActiveEvents(&events, onEvents, 5);
         EXPECT_EQ(g_pieces, 1);
         return result;
     },
     0,
     {"Process 0 reqParam=5 url=\"/httpGetSet/httpGet.htm\" query=\"evt=vel~eventsWA~or~3\" "
      "reqType=2",
      "Piece 0 call=2 reqType=2 reqParam=5 sequence=0 bufSize=8 outLen=8 text=28312c373a313030",
      "Piece 0 call=2 reqType=2 reqParam=5 sequence=1 bufSize=8 outLen=3 text=2c3229"}},
    {"ActiveEventsPiecesAfterARelayedRequestKeepTheirCall",
     [](MockEngine& e, ZvPldProxy& p) {
         static ZvPldEngInfo answered;  // the active-events request, answered after the other
         EXPECT_CALL(e, Process)
             .WillOnce([](ZvPldEngInfo* r) {
                 answered = *r;
                 return 0;
             })
             .WillOnce(Return(0));
         std::list<ZvPldProxy::ActiveEvent*> events;
         const int result = p.GetActiveEvents(&events, onEvents, 5);
         ZvPldEngInfo own{7, nullptr, "/x", "q", [](ZvCallbackInfo*) { return 0; }, 3};
         EXPECT_EQ(p.Process(&own), 0);
         answerInPieces(&answered);
         EXPECT_EQ(g_pieces, 1);
         return result;
     },
     0,
     {"Process 0 reqParam=5 url=\"/httpGetSet/httpGet.htm\" query=\"evt=vel~eventsWA~or~3\" "
      "reqType=2",
      "Process 0 reqParam=7 url=\"/x\" query=\"q\" reqType=3",
      "Piece 0 call=2 reqType=2 reqParam=5 sequence=0 bufSize=8 outLen=8 text=28312c373a313030",
      "Piece 0 call=2 reqType=2 reqParam=5 sequence=1 bufSize=8 outLen=3 text=2c3229"}},
    {"PassedThroughWithItsCallersFunctionRelayed",
     [](MockEngine& e, ZvPldProxy& p) {
         EXPECT_CALL(e, Process).WillOnce(answerInPieces);
         static int context;
         ZvPldEngInfo request{7,
                              &context,
                              "/x",
                              "q",
                              [](ZvCallbackInfo* cbi) {
                                  EXPECT_EQ(cbi->pUserData, &context);  // its own, as untraced
                                  return ++g_pieces;
                              },
                              3};
         const int result = p.Process(&request);
         EXPECT_EQ(g_pieces, 2);
         return result;
     },
     0,
     {"Process 0 reqParam=7 url=\"/x\" query=\"q\" reqType=3",
      "Piece 0 call=2 reqType=2 reqParam=7 sequence=0 bufSize=8 outLen=8 text=28312c373a313030",
      "Piece 0 call=2 reqType=2 reqParam=7 sequence=1 bufSize=8 outLen=3 text=2c3229"}},
    {"RegistrationAndNotifications",
     [](MockEngine& e, ZvPldProxy& p) {
         EXPECT_CALL(e, RegValueChange(_, _, 0x5678)).WillOnce(Return(0));
         p.RegisterForValueChange([](void*, const ZvValChgInfo*) {}, nullptr, 0x12345678);
         std::uint16_t data[] = {0x102, 0xFFFF};
         const ZvValChgInfo value{9, 100, 1, 7, 2, 3, data};
         const ZvVEventInfo event{4, 33, 7, 2, 8};
         ZvPldProxy::CallbackValueChange(nullptr, &value);
         ZvPldProxy::CallbackEvent(nullptr, &event);
         ZvPldProxy::CallbackPldCnt(nullptr, 6);
         return 0;
     },
     0,
     {"RegValueChange 0 regArg=22136",
      "ValueChange 0 sequence=9 valueId=100 mm=1 device=7 length=2 dataType=3 data=0102ffff",
      "Event 0 sequence=4 eventId=33 device=7 state=2 groupId=8", "PldCount 0 count=6"}},
};

class TracedCalls : public ProxyTest, public WithParamInterface<Traced> {
  protected:
    TraceDir trace;
};

TEST_P(TracedCalls, EachIsRecordedWithItsRequestStatusAndReplyBetweenInitAndTheEnd) {
    trace.Trace();
    ZvPldProxy& p = start();
    EXPECT_EQ(GetParam().run(*engine, p), GetParam().result);
    proxy.reset();
    const std::vector<zvtrace::Record> records = ReadTrace(trace.file);
    std::vector<std::string> want{"Init 1"};
    want.insert(want.end(), GetParam().records.begin(), GetParam().records.end());
    want.insert(want.end(), {"UnReg 0 what=1", "End Closed"});
    EXPECT_EQ(ShowAll(records), want);
    // One thread: one number; each record numbered after the last; a call starts after the last
    // one ended.
    const zvtrace::Record* last = nullptr;
    for (std::size_t i = 0; i < records.size(); ++i) {
        EXPECT_EQ(records[i].head.thread, 1);
        EXPECT_EQ(records[i].head.seq, i + 1);
        if (records[i].head.kind != zvtrace::Kind::Call) continue;
        if (last != nullptr) {
            EXPECT_GE(records[i].head.start, last->head.end);
        }
        last = &records[i];
    }
}

INSTANTIATE_TEST_SUITE_P(Trace, TracedCalls, ValuesIn(kCalls), OpName);

// The TextRead row's trace as the ppc32 library wrote it under qemu-ppc (ZVPLD_KEEP_TRACE),
// kept in the repository: every reader, the host's included, reads what the target wrote.
TEST(TracedOnTheTarget, ReadsAsItWasWritten) {
    bool cutShort = true;
    EXPECT_EQ(
        ShowAll(ReadTrace(ZVPLD_TARGET_TRACE, &cutShort)),
        (std::vector<std::string>{"Init 1", kCalls[0].records[0], "UnReg 0 what=1", "End Closed"}));
    EXPECT_FALSE(cutShort);
}

}  // namespace
