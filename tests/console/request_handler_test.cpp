// The console's request handler without a socket: the access policy (Host, Origin,
// Content-Type, token), the head's limits and the headers of every answer, on the simulated
// engine in this process.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "AccessPolicy.h"
#include "Console.h"
#include "Drainer.h"
#include "EngineAccess.h"
#include "EngineStatus.h"
#include "EventHub.h"
#include "Log.h"
#include "Simulation.h"
#include "ZvPldProxy.h"
#include "dlog.h"
#include "sim/SimEngine.h"

namespace {

using pldweb::Request;
using pldweb::Response;

using Header = std::pair<std::string, std::string>;
constexpr const char* kToken = "5ecret";
const std::string kValue = "/api/devices/1/points/101/value", kApi = "/api/engine";
const std::string kTokenCookie = "pldweb-token-8080=5ecret";

struct Case {
    const char* name;
    const char* method;
    std::string path;
    std::vector<std::pair<std::string, std::string>> headers;  // beyond Host 127.0.0.1:8080
    bool tokenAsked;
    int status;
};
// A GET of `path` with nothing more.
Case get(const std::string& path, bool tokenAsked = false) {
    return Case{"", "GET", path, {}, tokenAsked, 0};
}

class ConsoleTest : public ::testing::Test {
  protected:
    Response Handle(const Case& c, const std::string& body = R"({"value": "65.5"})",
                    bool simulation = true) {
        pldweb::AccessOptions options{"127.0.0.1", 8080, {"pld.lab"}, c.tokenAsked ? kToken : ""};
        const pldweb::AccessPolicy policy(options);
        pldweb::Console console(policy, m_engine, m_hub, pldweb::HeadLimits{},
                                simulation ? &m_simulation : nullptr);
        const auto query = c.path.find('?');
        Request request{c.method, c.path.substr(0, query), {}, {{"host", "127.0.0.1:8080"}}, ""};
        if (query != std::string::npos) {  // one field: "?key=value"
            const auto is = c.path.find('=', query);
            request.query[c.path.substr(query + 1, is - query - 1)] = c.path.substr(is + 1);
        }
        if (std::string(c.method) == "PUT" || std::string(c.method) == "POST") {
            request.body = body;
            request.headers.emplace("content-length", std::to_string(request.body.size()));
        }
        for (const auto& [name, value] : c.headers) {
            if (value.empty()) {
                request.headers.erase(name);
            } else {
                request.headers[name] = value;
            }
        }
        return console.Handle(request);
    }

    std::string ValueOf101() {
        std::string text;
        const int rc = m_proxy.GetValueString(text, 1, 101, 1, 0, 0, 0, nullptr);
        return rc == 0 ? text : "failed";
    }

    bool m_keeping = (pldweb::KeepEngineStatuses(), true);  // before the proxy is made
    ZvPldProxy m_proxy{"sim", "console-test"};
    zvsim::Catalogue m_catalogue = zvsim::Catalogue::BuiltIn();
    pldweb::EventHub m_hub{2};
    pldweb::EngineAccess m_engine{m_proxy, m_catalogue};
    pldweb::Simulation m_simulation{"sim", &m_hub};
};

const Header kJson{"content-type", "application/json"}, kEvil{"host", "evil.example:8080"};
const Header kJsonUtf8{"content-type", "Application/JSON; charset=utf-8"};
const Header kForm{"content-type", "application/x-www-form-urlencoded"};
const Header kEvilOrigin{"origin", "http://evil.example:8080"};
const Header kTokenGiven{"x-console-token", kToken};
const Header kCookie{"cookie", kTokenCookie};
// Every answer, refusals included: no framing by another page, no sniffing, no referrer.
const Header kSecurityHeaders[] = {
    {"Content-Security-Policy", "frame-ancestors 'none'; default-src 'self'"},
    {"X-Frame-Options", "DENY"},
    {"X-Content-Type-Options", "nosniff"},
    {"Referrer-Policy", "no-referrer"}};

const Case kCases[] = {
    {"OwnAddress", "GET", kApi, {}, false, 200},
    {"Localhost", "GET", kApi, {{"host", "localhost:8080"}}, false, 200},
    {"Ipv6Loopback", "GET", kApi, {{"host", "[::1]:8080"}}, false, 200},
    {"AllowedName", "GET", kApi, {{"host", "PLD.lab:8080"}}, false, 200},
    {"ForeignName", "GET", kApi, {kEvil}, false, 403},
    {"OtherPort", "GET", kApi, {{"host", "127.0.0.1:9999"}}, false, 403},
    {"NoHost", "GET", kApi, {{"host", ""}}, false, 403},
    {"DoubledHost", "GET", kApi, {{"host", "127.0.0.1:8080,evil.example"}}, false, 403},
    {"ForeignPageOfPage", "GET", "/", {kEvil}, false, 403},
    {"WriteAsJson", "PUT", kValue, {kJson}, false, 200},
    {"WriteJsonCharset", "PUT", kValue, {kJsonUtf8}, false, 200},
    {"WriteOwnOrigin", "PUT", kValue, {kJson, {"origin", "http://127.0.0.1:8080"}}, false, 200},
    {"WriteForeignOrigin", "PUT", kValue, {kJson, {"origin", "http://evil.example"}}, false, 403},
    {"WriteNullOrigin", "PUT", kValue, {kJson, {"origin", "null"}}, false, 403},
    {"WriteRebound", "PUT", kValue, {kJson, kEvil, kEvilOrigin}, false, 403},
    {"WriteAsFormText", "PUT", kValue, {{"content-type", "text/plain"}}, false, 403},
    {"WriteAsForm", "PUT", kValue, {kForm}, false, 403},
    {"WriteUntyped", "PUT", kValue, {}, false, 403},
    {"TokenMissing", "GET", kApi, {}, true, 401},
    {"TokenWrong", "GET", kApi, {{"x-console-token", "5ecreT"}}, true, 401},
    {"TokenGiven", "GET", kApi, {kTokenGiven}, true, 200},
    {"TokenOfWrite", "PUT", kValue, {kJson, kTokenGiven}, true, 200},
    {"WriteWithoutToken", "PUT", kValue, {kJson}, true, 401},
    {"TokenInStreamQuery", "GET", "/api/stream?token=5ecret", {}, true, 401},
    {"TokenInOtherQuery", "GET", "/api/engine?token=5ecret", {}, true, 401},
    {"Cookie", "GET", kApi, {{"cookie", "a=1; " + kTokenCookie + ", b=2"}}, true, 200},
    {"CookieOfStream", "GET", "/api/stream", {kCookie}, true, 200},
    {"CookieOfWrite", "PUT", kValue, {kJson, kCookie}, true, 200},
    {"CookieWrong", "GET", kApi, {{"cookie", "pldweb-token-8080=5ecre"}}, true, 401},
    // Set by another server on 127.0.0.1 (cookies ignore ports) with a longer Path: sent first.
    {"CookieShadowed",
     "GET",
     kApi,
     {{"cookie", "pldweb-token-8080=x; " + kTokenCookie}},
     true,
     200},
    {"CookieOfOtherPort", "GET", kApi, {{"cookie", "pldweb-token-9090=5ecret"}}, true, 401},
    {"CookieNameInValue", "GET", kApi, {{"cookie", "x=pldweb-token-8080=5ecret"}}, true, 401},
    // What a page on another port of 127.0.0.1 makes the browser send, and its own page.
    {"SameSiteStream", "GET", "/api/stream", {kCookie, {"sec-fetch-site", "same-site"}}, true, 403},
    {"CrossSiteRead", "GET", kApi, {{"sec-fetch-site", "Cross-Site"}}, false, 403},
    {"OwnPageRead", "GET", kApi, {kCookie, {"sec-fetch-site", "same-origin"}}, true, 200},
    {"PageFromOtherSite", "GET", "/", {{"sec-fetch-site", "cross-site"}}, true, 200},
    {"PageExchangesToken", "GET", "/?token=5ecret", {}, true, 303},
    {"PageWithWrongToken", "GET", "/?token=5ecreX", {}, true, 401},
    {"PageWithTokenUnasked", "GET", "/?token=5ecret", {}, false, 200},
    {"PageWithoutToken", "GET", "/", {}, true, 200},
    {"ScriptWithoutToken", "GET", "/page.js", {}, true, 200},
    {"BodyAtLimit", "PUT", kValue, {kJson, {"content-length", "65536"}}, false, 200},
    {"BodyOverLimit", "PUT", kValue, {kJson, {"content-length", "65537"}}, false, 413},
    {"ChunkedBody", "PUT", kValue, {kJson, {"transfer-encoding", "chunked"}}, false, 411},
    {"UnknownPath", "GET", "/api/nothing", {}, false, 404},
    {"PostWithoutLength", "POST", kApi, {kJson, {"content-length", ""}}, false, 411},
    {"WrongMethod", "DELETE", kApi, {kJson, {"content-length", "0"}}, false, 405},
};

void PrintTo(const Case& c, std::ostream* os) {
    *os << c.method << " " << c.path;
}

class Policy : public ConsoleTest, public ::testing::WithParamInterface<Case> {};

TEST_P(Policy, AnswersWithTheStatusAndTheSecurityHeaders) {
    ::testing::internal::CaptureStderr();
    const Response r = Handle(GetParam());
    const std::string log = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(r.status, GetParam().status) << r.body;
    // A refusal writes its line; an unknown path or method is only answered.
    if (r.status == 401 || r.status == 403 || r.status == 411 || r.status == 413) {
        const std::string line = std::string("pldweb: refused ") + GetParam().method + " ";
        EXPECT_NE(log.find(line), std::string::npos) << log;
    }
    if (r.status >= 400) {
        EXPECT_TRUE(nlohmann::json::parse(r.body)["error"].is_string()) << r.body;
    }
    const auto has = [&](const Header& h) {
        return std::find(r.headers.begin(), r.headers.end(), h) != r.headers.end();
    };
    for (const Header& header : kSecurityHeaders) EXPECT_TRUE(has(header)) << header.first;
    // The token exchanged for a cookie that only this console's own pages send, and that no
    // script reads; the address without it replaces the one with it.
    if (r.status == 303) {
        EXPECT_TRUE(has({"Set-Cookie", kTokenCookie + "; Path=/; HttpOnly; SameSite=Strict"}));
        EXPECT_TRUE(has({"Location", "/"}));
    }
    // A refused write leaves the value as it was; an allowed one changes it.
    if (std::string(GetParam().method) == "PUT") {
        EXPECT_EQ(ValueOf101(), r.status == 200 ? "65.5" : "60.0");
    }
}

INSTANTIATE_TEST_SUITE_P(Requests, Policy, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

// The Simulation panel's command: checked by the access policy and against the verbs offered
// before the engine sees it. After each, device 1's value reads as shown ("failed": offline).
struct SimCase {
    Case request;
    std::string body;
    const char* value;
};

const std::string kOffline1 = R"({"do": "offline", "device": 1})";
const std::string kSet1 = R"({"do": "set", "device": 1, "point": 101, "value": 70})";
const Case kSim{"", "POST", "/api/sim", {kJson}, false, 200};
const Case kWrite{"", "PUT", kValue, {kJson}, false, 200};

Case simCase(const char* name, int status, std::vector<Header> headers = {kJson},
             bool tokenAsked = false, const char* method = "POST") {
    return Case{name, method, "/api/sim", std::move(headers), tokenAsked, status};
}

const SimCase kSimCases[] = {
    {simCase("Offline", 200), kOffline1, "failed"},
    {simCase("OfflineWithToken", 200, {kJson, kTokenGiven}, true), kOffline1, "failed"},
    {simCase("EngineRefuses", 422), R"({"do": "offline", "device": "1"})", "60.0"},
    {simCase("Notify", 200), R"({"do": "notify", "action": "drop", "kind": "value"})", "60.0"},
    {simCase("NotOffered", 403), kSet1, "60.0"},
    {simCase("Restart", 403), R"({"do": "restart"})", "60.0"},
    {simCase("Journal", 200), R"({"do": "journal", "op": "GetVelPntStr", "limit": 50})", "60.0"},
    {simCase("JournalClear", 200), R"({"do": "journal_clear"})", "60.0"},
    {simCase("Wait", 403), R"({"do": "wait", "device": 1, "timeout_ms": 1000})", "60.0"},
    {simCase("NotJson", 400), "offline 1", "60.0"},
    {simCase("NoVerb", 400), R"({"device": 1})", "60.0"},
    {simCase("VerbNotText", 400), R"({"do": ["offline"], "device": 1})", "60.0"},
    {simCase("NotAnObject", 400), "[" + kOffline1 + "]", "60.0"},
    {simCase("AtSizeLimit", 200), kOffline1 + std::string(4096 - kOffline1.size(), ' '), "failed"},
    {simCase("OverSize", 413), kOffline1 + std::string(4097 - kOffline1.size(), ' '), "60.0"},
    {simCase("ForeignOrigin", 403, {kJson, kEvilOrigin}), kOffline1, "60.0"},
    {simCase("AsForm", 403, {kForm}), kOffline1, "60.0"},
    {simCase("WithoutToken", 401, {kJson}, true), kOffline1, "60.0"},
    {simCase("ForeignHost", 403, {kJson, kEvil}), kOffline1, "60.0"},
    {simCase("WrongMethod", 405, {kJson}, false, "PUT"), kOffline1, "60.0"},
};

void PrintTo(const SimCase& c, std::ostream* os) {
    *os << c.request.method << " " << c.body.substr(0, 60);
}

class Sim : public ConsoleTest, public ::testing::WithParamInterface<SimCase> {};

TEST_P(Sim, PassesOnlyAnOfferedCommandThatPassedTheChecks) {
    const Response r = Handle(GetParam().request, GetParam().body);
    EXPECT_EQ(r.status, GetParam().request.status) << r.body;
    EXPECT_EQ(ValueOf101(), GetParam().value);
    const auto answer = nlohmann::json::parse(r.body);
    EXPECT_TRUE(r.status == 200 ? answer["ok"] == true : answer["error"].is_string()) << r.body;
}

INSTANTIATE_TEST_SUITE_P(Commands, Sim, ::testing::ValuesIn(kSimCases),
                         [](const auto& info) { return std::string(info.param.request.name); });

// The API's answers, in order (the write stays): status, and fields the answer holds.
TEST_F(ConsoleTest, AnswersTheApiWithTheEnginesValuesAndItsRefusals) {
    const std::string p101 = "/api/devices/1/points/101";
    const struct {
        const char* method;
        std::string path, body;
        int status;
        const char* fields;
    } cases[] = {
        {"GET", p101, "", 200,
         R"({"label": "Supply setpoint", "unit": "degC", "values": [{"module": 1, "value": "60.0"}]})"},
        {"PUT", p101 + "/value", R"({"value": "65.5"})", 200,
         R"j({"result": "0 (ok)", "value": "65.5"})j"},
        {"PUT", p101 + "/value", R"({"value": "99"})", 422, R"({"rc": 2})"},  // above its maximum
        {"PUT", "/api/devices/9/points/101/value", R"({"value": "1"})", 404, R"({"rc": 4096})"},
        {"PUT", "/api/devices/1/points/999/value", R"({"value": "1"})", 404, R"({"rc": 4097})"},
        {"PUT", "/api/devices/1/points/70000/value", R"({"value": "1"})", 404, "{}"},
        {"PUT", p101 + "/value", R"({"value": "21", "module": 2})", 422, R"({"rc": 4098})"},
        {"PUT", p101 + "/value", R"({"value":)", 400, "{}"},
        {"PUT", p101 + "/value", R"({"valu": "21"})", 400, "{}"},
        {"PUT", p101 + "/value", R"({"value": 21})", 400, "{}"},
        {"PUT", p101 + "/value", R"({"value": "21", "module": 0})", 400, "{}"},
        {"GET", p101 + "/hierarchy", "", 200, R"({"report": 1020, "levels": [
            {"auxValue": 2, "gddId": 1020, "label": "Supply line", "module": 1},
            {"auxValue": 70000, "gddId": 1010, "label": "Heating circuit", "module": 1},
            {"auxValue": 1, "gddId": 1000, "label": "Boiler", "module": 1}]})"},
        {"GET", "/api/devices/1/points/103/hierarchy", "", 404, "{}"},
        {"GET", p101 + "/hierarchy?module=x", "", 400, "{}"},
        {"GET", "/api/devices/7", "", 404, "{}"},
        {"GET", "/api/devices/1/points/999", "", 404, "{}"},
        {"GET", "/api/events/active?timeout=10001", "", 400, "{}"},
        {"GET", "/api/events/active?timeout=x", "", 400, "{}"},
        {"GET", "/api/events/active?timeout=10000", "", 200, R"({"events": [
            {"eventId": 3, "groupId": 1, "label": "Remote sensor not answering", "state": 1},
            {"eventId": 4, "groupId": 3, "label": "Pump 3 stopped", "state": 2},
            {"eventId": 5, "groupId": 3, "label": "System pressure low", "state": 1}]})"},
    };
    for (const auto& c : cases) {
        const Response r = Handle(Case{"", c.method, c.path, {kJson}, false, 0}, c.body);
        const auto answer = nlohmann::json::parse(r.body);
        EXPECT_EQ(r.status, c.status)
            << c.method << " " << c.path << " " << c.body << ": " << r.body;
        EXPECT_TRUE(c.status < 400 || answer["error"].is_string()) << r.body;
        const auto fields = nlohmann::json::parse(c.fields);
        for (const auto& [key, value] : fields.items())
            EXPECT_EQ(answer.value(key, nlohmann::json()), value)
                << c.method << " " << c.path << " " << c.body;
    }
}

// The engine's status and its word beside a failure the proxy maps to one result code: an
// offline device, a failing point and an engine that did not answer are told apart. Null: the
// answer holds no status there.
struct EngineStatusCase {
    const char* name;
    std::string control;  // sent first, if any
    const char* method;
    std::string path;
    const char* at;  // JSON pointer to the object holding the status
    nlohmann::json status, word;
};

const std::string kP101 = "/api/devices/1/points/101";
const std::string kFail777 = R"({"do": "fail", "device": 1, "point": 101, "status": 777})";
const EngineStatusCase kEngineStatusCases[] = {
    {"ReadOfOffline", kOffline1, "GET", kP101, "/values/0", 1007, "offline"},
    {"WriteOfOffline", kOffline1, "PUT", kP101 + "/value", "", 1007, "offline"},
    {"ReadOfFailing", kFail777, "GET", kP101, "/values/0", 777, "failed"},
    {"WriteOfFailing", kFail777, "PUT", kP101 + "/value", "", 777, "failed"},
    {"FailingAsStatus5", R"({"do": "fail", "device": 1, "point": 101, "status": 5})", "PUT",
     kP101 + "/value", "", 5, "rejected"},
    {"UnitOfUnknownPoint", "", "PUT", "/api/devices/1/points/999/value", "", 2, "unknown point"},
    {"ReadThatWorks", "", "GET", kP101, "/values/0", nullptr, nullptr},
    {"WriteThatWorks", "", "PUT", kP101 + "/value", "", nullptr, nullptr},
    {"NoAncestorRecord", "", "GET", "/api/devices/1/points/103/hierarchy", "", 85,
     "no ancestor record"},
    {"NoReportHoldsIt", "", "GET", "/api/devices/1/points/104/hierarchy", "", nullptr, nullptr},
};

void PrintTo(const EngineStatusCase& c, std::ostream* os) {
    *os << c.method << " " << c.path << " after " << c.control;
}

class EngineStatus : public ConsoleTest, public ::testing::WithParamInterface<EngineStatusCase> {};

TEST_P(EngineStatus, StandsBesideTheFailureInWords) {
    const EngineStatusCase& c = GetParam();
    if (!c.control.empty()) {
        ASSERT_EQ(Handle(kSim, c.control).status, 200);
    }
    const Response r = Handle(Case{"", c.method, c.path, {kJson}, false, 0});
    const auto answer = nlohmann::json::parse(r.body);
    const auto at = nlohmann::json::json_pointer(c.at);
    const auto held = answer.contains(at) ? answer[at] : nlohmann::json::object();
    EXPECT_EQ(held.value("engine_status", nlohmann::json()), c.status) << r.body;
    EXPECT_EQ(held.value("engine_word", nlohmann::json()), c.word) << r.body;
}

INSTANTIATE_TEST_SUITE_P(Answers, EngineStatus, ::testing::ValuesIn(kEngineStatusCases),
                         [](const auto& info) { return std::string(info.param.name); });

// No daemon at the socket: every engine call answers 13, and each answer that asks the engine
// first says so.
TEST(EngineStatusOfDaemon, IsNoAnswerWhenNoneAnswers) {
    pldweb::KeepEngineStatuses();
    ZvPldProxy proxy{"unix:/nonexistent/pld-engined.sock", "console-test"};
    const zvsim::Catalogue catalogue = zvsim::Catalogue::BuiltIn();
    pldweb::EventHub hub{1};
    pldweb::EngineAccess engine{proxy, catalogue};
    const pldweb::AccessPolicy policy({"127.0.0.1", 8080, {}, ""});
    pldweb::Console console(policy, engine, hub, pldweb::HeadLimits{}, nullptr);
    for (const std::string& path : {kApi, std::string("/api/devices"), kP101}) {
        const Response r =
            console.Handle(Request{"GET", path, {}, {{"host", "127.0.0.1:8080"}}, ""});
        const auto answer = nlohmann::json::parse(r.body);
        EXPECT_EQ(r.status, 502) << path;
        EXPECT_EQ(answer.value("engine_status", 0), 13) << path << r.body;
        EXPECT_EQ(answer.value("engine_word", ""), "no answer") << path << r.body;
    }
}

TEST_F(ConsoleTest, StatusShowsWhatIsInForceAndIsOffWithoutSimulation) {
    const Case status{"", "GET", "/api/sim/status", {}, false, 0};
    ASSERT_EQ(Handle(kSim, kOffline1).status, 200);
    const Response r = Handle(status);
    ASSERT_EQ(r.status, 200) << r.body;
    EXPECT_EQ(nlohmann::json::parse(r.body)["offline"], nlohmann::json::array({1, 3}));
    EXPECT_EQ(Handle(status, "", false).status, 404);
    EXPECT_EQ(Handle(kSim, R"({"do": "online", "device": 1})", false).status, 404);
    EXPECT_EQ(ValueOf101(), "failed");
}

TEST_F(ConsoleTest, RefusesAHeadOverItsLimits) {
    Case c{"", "GET", kApi, {}, false, 0};
    for (int i = 0; i < 64; ++i) c.headers.emplace_back("x-line-" + std::to_string(i), "1");
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(Handle(c).status, 431);
    EXPECT_NE(::testing::internal::GetCapturedStderr().find("pldweb: refused GET /api/engine: "),
              std::string::npos);
    c.headers.pop_back();
    EXPECT_EQ(Handle(c).status, 200);
    // 16 KiB of head, "GET /api/engine HTTP/1.1" and "Name: value" lines; 8 KiB of address.
    c.headers = {{"x-big", std::string(16384 - 56, 'a')}};
    EXPECT_EQ(Handle(c).status, 200);
    c.headers = {{"x-big", std::string(16384 - 55, 'a')}};
    EXPECT_EQ(Handle(c).status, 431);
    EXPECT_EQ(Handle(get("/api/" + std::string(8 * 1024 - 4, 'a'))).status, 414);
    EXPECT_EQ(Handle(get("/api/" + std::string(8 * 1024 - 5, 'a'))).status, 404);
}

// Two streams at most, one again once one goes; each kind of message the page's stream carries,
// with its data (sequence numbers left out): a value change, an event change and a PLD count as
// the engine notifies them, and the engine's event of a command of the Simulation panel.
TEST_F(ConsoleTest, ServesStreamsUpToTheCapWithEveryKindOfMessage) {
    pldweb::Drainer drainer(m_proxy, m_catalogue, m_hub);
    const Case c = get("/api/stream");
    const Response first = Handle(c), stream = Handle(c);
    EXPECT_TRUE(first.stream && stream.stream);
    EXPECT_EQ(first.contentType, "text/event-stream");
    EXPECT_EQ(Handle(c).status, 503);
    m_hub.Unsubscribe(first.stream);
    EXPECT_EQ(Handle(c).status, 200);
    ASSERT_TRUE(stream.stream);
    ASSERT_EQ(Handle(kWrite, R"({"value": "71.5"})").status, 200);
    ASSERT_EQ(Handle(kSim, R"({"do": "event", "id": 4, "state": 6})").status, 200);
    zvsim::SimEngine::Latest()->Control(R"({"do": "pld_count"})");
    std::map<std::string, nlohmann::json> expected = {
        {"value", {{"device", 1}, {"gddId", 101}, {"module", 1}, {"value", "71.5"}}},
        {"event",
         {{"eventId", 4},
          {"groupId", 3},
          {"device", 2},
          {"state", 6},
          {"label", "Pump 3 stopped"}}},
        {"count", {{"count", 2}}},
        {"sim",
         {{"event", "control"},
          {"seq", 1},
          {"do", "event"},
          {"command", {{"do", "event"}, {"id", 4}, {"state", 6}}},
          {"done", "event 4 in state 6"},
          {"origin", {{"client", "in-process"}, {"name", "pldweb"}}}}}};
    for (int waited = 0; !expected.empty() && waited < 5000; waited += 10) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::lock_guard<std::mutex> lock(stream.stream->mutex);
        for (; !stream.stream->queue.empty(); stream.stream->queue.pop_front()) {
            const std::string& m = stream.stream->queue.front();  // "event: K\ndata: D\n\n"
            if (m.rfind("event: ", 0) != 0) continue;             // a comment
            const std::string kind = m.substr(7, m.find('\n') - 7);
            nlohmann::json data = nlohmann::json::parse(m.substr(m.find("data: ") + 6));
            data.erase("sequence");
            if (expected.count(kind) && expected[kind] == data) expected.erase(kind);
        }
    }
    for (const auto& [kind, data] : expected) ADD_FAILURE() << "not streamed: " << kind << data;
}

TEST_F(ConsoleTest, WritesARepeatedRefusalAtMostOnceASecond) {
    const Case c{"", "GET", kApi, {}, true, 0};
    ::testing::internal::CaptureStderr();
    for (int i = 0; i < 100; ++i) Handle(c);
    pldweb::FlushLimited(true);
    const std::string log = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 2) << log;
    EXPECT_NE(log.find("pldweb: 99 like this in the last "), std::string::npos) << log;
}

// A read of an offline device fails on each of its points, and the proxy logs each failure:
// a client that asks over and over must not make a line of each.
TEST_F(ConsoleTest, WritesTheEngineLinesOfRepeatedReadsAtMostOnceASecond) {
    dlog_set_sink(pldweb::LogSink, nullptr);
    ASSERT_EQ(Handle(kSim, kOffline1).status, 200);
    ::testing::internal::CaptureStderr();
    for (int i = 0; i < 20; ++i) Handle(get("/api/devices"));
    const std::string log = ::testing::internal::GetCapturedStderr();
    dlog_set_sink(nullptr, nullptr);
    // One read alone logs 9 lines.
    EXPECT_LT(std::count(log.begin(), log.end(), '\n'), 10) << log;
}

// A path or Host that a client chose is written with its control characters as '?': a decoded
// %0a cannot start a forged line, nor an escape sequence reach the terminal.
TEST_F(ConsoleTest, LogsAClientsControlCharactersAsQuestionMarks) {
    ::testing::internal::CaptureStderr();
    Handle(get("/api/x\npldweb: forged\x1b[2J\x7f", true));
    Handle(Case{"", "GET", "/", {{"host", "evil\r\x01:8080"}}, false, 0});
    const std::string log = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 2) << log;
    EXPECT_NE(log.find("refused GET /api/x?pldweb: forged?[2J?: "), std::string::npos) << log;
    EXPECT_NE(log.find("host name 'evil??:8080'"), std::string::npos) << log;
}

// --no-token is taken on these only. A DNS name may begin with "127." and point anywhere.
TEST(IsLoopback, TakesLoopbackAddressesOnly) {
    for (const char* address : {"127.0.0.1", "127.1.2.3", "::1", "[::1]", "localhost"}) {
        EXPECT_TRUE(pldweb::AccessPolicy::IsLoopback(address)) << address;
    }
    for (const char* address : {"127.evil.example", "127.0.0.1.evil.example", "0.0.0.0", "::"}) {
        EXPECT_FALSE(pldweb::AccessPolicy::IsLoopback(address)) << address;
    }
}

TEST(SameSecret, ComparesWholeTexts) {
    using pldweb::AccessPolicy;
    EXPECT_TRUE(AccessPolicy::SameSecret("abc", "abc"));
    EXPECT_FALSE(AccessPolicy::SameSecret("abd", "abc"));
    EXPECT_FALSE(AccessPolicy::SameSecret("ab", "abc"));
    EXPECT_FALSE(AccessPolicy::SameSecret("abcabc", "abc"));
    EXPECT_FALSE(AccessPolicy::SameSecret("", ""));
    EXPECT_EQ(AccessPolicy::NewToken().size(), 64u);
    EXPECT_NE(AccessPolicy::NewToken(), AccessPolicy::NewToken());
    EXPECT_EQ(AccessPolicy::TokenFault(AccessPolicy::NewToken()), "");
    EXPECT_EQ(AccessPolicy::TokenFault("0123456789abcdef-._~"), "");
    for (const std::string& bad : std::vector<std::string>{
             "0123456789abcde", "0123456789abcdef;", "0123456789 abcdef", std::string(257, 'a')}) {
        EXPECT_NE(AccessPolicy::TokenFault(bad), "") << bad;
    }
}

}  // namespace
