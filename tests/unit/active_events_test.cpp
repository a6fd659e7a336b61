// The active-events request, and its answer gathered piece by piece and parsed into records.
#include <regex>
#include <sstream>

#include "MockEngine.h"

using namespace ::testing;
using namespace std::string_literals;

namespace {

using Events = std::list<ZvPldProxy::ActiveEvent*>;
Events g_events;

// The calls of the client callbacks, "; " between: name, locks held, records (then deleted).
// Each asks for the stored callback, which it is: the answer's guard is no longer held. The
// answer's whole text is still there to read.
std::string g_calls, g_text;
template <char kName>
void Got(Events* events) {
    g_text = *ZvPldProxy::GetInstance()->GetActiveStringBuf();
    g_calls +=
        (g_calls.empty() ? "" : "; ") + (kName + std::to_string(ZvLinuxMutex::HeldByThisThread()));
    for (const auto* e : *events) {
        g_calls += " " + std::to_string(e->groupId) + "," + std::to_string(e->eventId) + "," +
                   std::to_string(e->eventState);
        delete e;  // an answer that deleted the earlier records would free these twice
    }
    if (events != &g_events || ZvPldProxy::GetInstance()->GetActiveEventsCB() != &Got<kName>)
        g_calls += " (another list or callback)";
}

// A piece of an answer in a buffer of exactly `bytes` (no NUL added); a capacity given below
// their size leaves bytes beyond it that must not be read.
struct Piece {
    std::string bytes;
    std::uint32_t len, capacity = 0xABAB;  // 0xABAB: the buffer's size
    std::int32_t status = 0;
    bool noBuffer = false, noList = false;
};
Piece Full(const std::string& text) {
    return {text, std::uint32_t(text.size())};
}
Piece Last(const std::string& text) {
    return {text + '\0', std::uint32_t(text.size())};
}

void Deliver(const Piece& p) {
    std::vector<char> buf(p.bytes.begin(), p.bytes.end());
    const std::uint32_t capacity = p.capacity == 0xABAB ? buf.size() : p.capacity;
    Events* const list = p.noList ? nullptr : &g_events;
    ZvCallbackInfo cbi{list, p.status, 0, 0, 0, 0, capacity, p.len, p.noBuffer ? nullptr : &buf[0]};
    EXPECT_EQ(ZvPldProxy::ProcessActiveEventsCB(&cbi), 0);
}

// Log lines as "level/locks text", with N for the line numbers in the answer's lines.
using Lines = std::vector<std::string>;
Lines Logged(LogCapture& log, bool withAdded = true) {
    Lines out;
    for (const LogLine& l : log.take()) {
        const auto text = std::regex_replace(l.text, std::regex("^(\\w+)-[0-9]+:"), "$1-N:");
        if (withAdded || text.find("Added") == std::string::npos)
            out.push_back(std::to_string(l.level) + "/" + std::to_string(l.locksHeld) + " " + text);
    }
    return out;
}
const std::string kNothing = "5/0 ProcessActiveEventsCB: Nothing at cbi->pProcOutBuf for strncpy",
                  kAnswer = " ProcessActiveEventsCB-N: ";
std::string Dump(const std::string& text, char locks = '0') {
    return "7/"s + locks + kAnswer + "Active events string is " + text;
}
// The dump of `text`, then the line of each "header-groupId-eventId-state" of `added`.
Lines Parsed(const std::string& text, const std::string& added, char locks = '0') {
    Lines lines{Dump(text, locks)};
    std::istringstream in(added);
    for (std::string a; in >> a;)
        lines.push_back("5/"s + locks + kAnswer + "Added active event (" + a + ")");
    return lines;
}

class ActiveEvents : public ProxyTest {
  protected:
    void Request(ZvPldProxy::ActiveEventsCb callback) {
        EXPECT_CALL(*engine, Process(_)).WillOnce(Return(0));
        EXPECT_EQ(proxy->GetActiveEvents(&g_events, callback, 0), 0);
    }
};

TEST_F(ActiveEvents,
       PiecesGatherUntilTheFirstShortOneWithinTheirBuffersAndParseIntoRecordsInOrder) {
    start();
    Request(Got<'A'>);
    // The answer, the callback's calls, the records added.
    const std::tuple<std::string, std::string, std::string> cases[] = {
        {"(1,7:100,2|101,0)(2,8:200,1)", "A0 7,100,2 7,101,0 8,200,1",
         "1-7-100-2 1-7-101-0 2-8-200-1"},
        {"(5,6)", "A0", ""},
        {"(::)", "A0", ""},
        {"(5,6:7,8:9,10)", "A0 6,7,8 6,9,10", "5-6-7-8 5-6-9-10"},
        {"(1,2:3,70000)", "A0 2,3,4464", "1-2-3-4464"},
        {"(x:y)", "A0 0,0,0", "0-0-0-0"},  // nothing scanned yet in this answer
        {"(1,7:100,2|300|x|500,x|600,)(y:5,6)", "A0 7,100,2 7,300,2 7,300,2 7,500,2 7,600,2 7,5,6",
         "1-7-100-2 1-7-300-2 1-7-300-2 1-7-500-2 1-7-600-2 1-7-5-6"},
        {"3,4:5,6(1,2|9:7,8) 0,1:2,3", "A0 4,5,6 2,7,8 1,2,3", "3-4-5-6 1-2-7-8 0-1-2-3"},
        {"(:7,8::9,10||11,12|)", "A0 8,9,10 8,11,12", "7-8-9-10 7-8-11-12"},
        {"( +1, 2:-1,+3|4,-1)", "A0 2,4294967295,3 2,4,65535", "1-2--1-3 1-2-4-65535"},
    };
    for (const auto& [text, calls, added] : cases) {
        Deliver(Last(text));
        EXPECT_EQ(std::exchange(g_calls, ""), calls) << text;
        EXPECT_EQ(g_text, text);
        EXPECT_EQ(*proxy->GetActiveStringBuf(), "");  // cleared once the callback has returned
        EXPECT_EQ(Logged(log), Parsed(text, added));
    }
    // The pieces, the callback's calls, the lines but the added events'.
    const std::tuple<std::vector<Piece>, std::string, Lines> pieceCases[] = {
        {{Full("(1,2:"), Full("3,4|5"), Last(",6)")}, "A0 2,3,4 2,5,6", {Dump("(1,2:3,4|5,6)")}},
        {{Full("(1,2:"),
          {"(9,9:9,9)", 9, 16, 1},
          {"(9,9:9,9)", 9, 16, 0, true},
          {"\0(9,9:9,9)"s, 3},
          {"x", 0, 0},
          Last("3,4)")},
         "A0 2,3,4",
         {kNothing, kNothing, Dump("(1,2:3,4)")}},
        // A zero-length last piece ends the answer with what came before, or with nothing.
        {{Full("(1,2:"), Full("3,4)"), {"x", 0}, {"x", 0}}, "A0 2,3,4; A0", {Dump("(1,2:3,4)")}},
        {{{"(1,2:3,4(9,9:9,9)\0"s, 100, 8},
          {"|5,6)\0"s, 0xFFFFFFFF, 0xFFFFFFFF},
          {"(7,8:9,10)\0"s, 10, 0xFFFFFFFF}},
         "A0 2,3,4 2,5,6 8,9,10",
         {Dump("(1,2:3,4|5,6)(7,8:9,10)")}},
        // With no list the answer is dropped: nothing is parsed and nothing called.
        {{Full("(1,2:"), {"3,4)\0"s, 4, 5, 0, false, true}, Last("(5,6:7,8)")},
         "A0 6,7,8",
         {Dump("(5,6:7,8)")}},
    };
    for (const auto& [pieces, calls, lines] : pieceCases) {
        for (const Piece& p : pieces) Deliver(p);
        EXPECT_EQ(std::exchange(g_calls, ""), calls) << pieces.front().bytes;
        EXPECT_EQ(Logged(log, false), lines);
    }
}

TEST_F(ActiveEvents, RequestIsFixedAndAnAnswerWithinItRunsUnderTheClientLock) {
    start();
    EXPECT_CALL(*engine, Process(NotNull())).WillOnce([&](ZvPldEngInfo* r) {
        EXPECT_EQ(r->reqParam, -6);
        EXPECT_EQ(r->pUserData, &g_events);
        EXPECT_STREQ(r->pUrl, "/httpGetSet/httpGet.htm");
        EXPECT_STREQ(r->pQuery, "evt=vel~eventsWA~or~3");
        EXPECT_EQ(r->pfnCallback, &ZvPldProxy::ProcessActiveEventsCB);
        EXPECT_EQ(r->reqType, 2);
        char piece[16] = "(1,2:3,4)";
        ZvCallbackInfo cbi{r->pUserData, 0, 2, r->reqParam, 0, 0, 16, 9, piece};
        r->pfnCallback(&cbi);
        return 1;
    });
    EXPECT_EQ(proxy->GetActiveEvents(&g_events, Got<'A'>, -6), 2);
    EXPECT_EQ(g_calls, "A1 2,3,4");
    Lines lines = Parsed("(1,2:3,4)", "1-2-3-4", '1');
    lines.push_back("3/0 Process: Failed to process http request -- Y4_Status: 1");
    EXPECT_EQ(Logged(log), lines);
}

TEST_F(ActiveEvents, APieceWithoutAProxyTouchesNothingAndANewRequestDropsTheTextSoFar) {
    ZvPldProxy::ActiveEvent earlier{1, 2, 3};
    g_events = {&earlier};
    Deliver(Last("(1,2:3,4)"));
    EXPECT_EQ(g_events, Events{&earlier});
    start();
    EXPECT_EQ(proxy->GetActiveEvents(nullptr, Got<'C'>, 0), 2);
    EXPECT_EQ(proxy->GetActiveEventsCB(), nullptr);
    EXPECT_EQ(Logged(log), Lines{"3/0 GetActiveEvents: no list for the active events"});
    Request(Got<'A'>);
    Deliver(Full("(9,9:9,9)"));
    Request(Got<'B'>);
    Deliver(Full("(1,2:3,4)"));  // late, of the first answer: the two mix
    Deliver(Last("(5,6:7,8)"));
    EXPECT_EQ(g_calls, "B0 2,3,4 6,7,8");
    EXPECT_EQ(Logged(log, false), Lines{Dump("(1,2:3,4)(5,6:7,8)")});
}

// Sends the next request from within the callback, and gets that answer's first piece.
void Again(Events* events) {
    for (const auto* e : *events) delete e;
    EXPECT_EQ(ZvPldProxy::GetInstance()->GetActiveEvents(&g_events, Got<'B'>, 0), 0);
    Deliver(Full("(7,7:"));
}

TEST_F(ActiveEvents, ARequestFromTheCallbackKeepsItsPiecesAndOneDuringTheStopIsDropped) {
    start();
    EXPECT_CALL(*engine, Process(_)).Times(2).WillRepeatedly(Return(0));
    ASSERT_EQ(proxy->GetActiveEvents(&g_events, Again, 0), 0);
    Deliver(Last("(1,2:3,4)"));
    EXPECT_EQ(*proxy->GetActiveStringBuf(), "(7,7:");
    Deliver(Last("8,9)"));
    EXPECT_EQ(g_calls, "B0 7,8,9");
    // The destruction withdraws the proxy before it stops the message client.
    Request(Got<'C'>);
    EXPECT_CALL(*engine, UnReg(1)).WillOnce([](int) {
        Deliver(Last("(1,2:3,4)"));
        return 0;
    });
    proxy.reset();
    EXPECT_EQ(g_calls, "B0 7,8,9");
}

}  // namespace
