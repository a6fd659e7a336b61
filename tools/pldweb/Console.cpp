// The console's request handler: screening, routing and the page's resources.
#include "Console.h"

#include <cstdlib>
#include <exception>
#include <vector>

#include "Log.h"

extern const char* const kPldwebPage;    // page.html, embedded at build time
extern const char* const kPldwebScript;  // page.js
extern const char* const kPldwebStyle;   // page.css

namespace pldweb {
namespace {

std::vector<std::string> segmentsOf(const std::string& path) {
    std::vector<std::string> segments;
    std::size_t start = 1;
    while (start <= path.size()) {
        const std::size_t end = std::min(path.find('/', start), path.size());
        segments.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return segments;
}

bool isNumber(const std::string& text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

// A device index or GddId from the path; the proxy takes 16 bits.
unsigned short pathNumber(const std::string& text, const char* what) {
    if (text.size() > 5 || std::stoul(text) > 0xFFFF) {
        throw HttpError{404, std::string("no such ") + what + ": " + text};
    }
    return static_cast<unsigned short>(std::stoul(text));
}

unsigned short queryNumber(const Request& req, const char* name, unsigned short fallback,
                           unsigned long min, unsigned long max = 0xFFFF) {
    const auto it = req.query.find(name);
    if (it == req.query.end()) return fallback;
    const std::string& text = it->second;
    char* end = nullptr;
    const unsigned long v = std::strtoul(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || text[0] == '-' || v < min || v > max) {
        throw HttpError{400, std::string("query parameter ") + name + " must be a number from " +
                                 std::to_string(min) + " to " + std::to_string(max)};
    }
    return static_cast<unsigned short>(v);
}

// A refusal of the head's size or the body's length: any client can repeat it, so its line, of
// the kind `kind`, is written at most once a second. A body's refusal names the request in its
// answer too, as it always did.
Response refuse(int status, const char* kind, const Request& head, const std::string& why,
                bool namesRequest = false) {
    LogLimited(kind, "refused " + head.method + " " + head.path.substr(0, 200) + ": " + why);
    return ErrorResponse(status, namesRequest ? why + ": " + head.method + " " + head.path : why);
}

Response resource(const char* text, const char* type) {
    Response r;
    r.contentType = type;
    r.body = text;
    return r;
}

}  // namespace

std::optional<Response> Console::Screen(const Request& head) const {
    // About as received (escapes decoded): "GET /path?name=value HTTP/1.1", "Name: value" lines.
    std::size_t uri = head.path.size();
    for (const auto& [name, value] : head.query) uri += name.size() + value.size() + 2;
    std::size_t bytes = head.method.size() + uri + 11;
    for (const auto& [name, value] : head.headers) bytes += name.size() + value.size() + 4;
    if (uri > m_headLimits.uriBytes) {
        return refuse(
            414, "head", head,
            "the request's address is over " + std::to_string(m_headLimits.uriBytes) + " bytes");
    }
    if (head.headers.size() > m_headLimits.lines) {
        return refuse(431, "head", head,
                      "over " + std::to_string(m_headLimits.lines) + " header lines");
    }
    if (bytes > m_headLimits.bytes) {
        return refuse(
            431, "head", head,
            "the request's head is over " + std::to_string(m_headLimits.bytes) + " bytes");
    }
    if (auto refusal = m_policy.Refusal(head)) return refusal;
    const bool mayHaveBody = head.method == "PUT" || head.method == "POST" ||
                             head.method == "PATCH" || head.method == "DELETE";
    if (head.HasHeader("transfer-encoding") || (mayHaveBody && !head.HasHeader("content-length"))) {
        return refuse(411, "body", head, "a request body must come with its Content-Length", true);
    }
    const std::string& length = head.Header("content-length");
    if (!length.empty() &&
        (!isNumber(length) || length.size() > 9 || std::stoul(length) > kMaxBody)) {
        return refuse(413, "body", head,
                      "the request body is over " + std::to_string(kMaxBody) + " bytes", true);
    }
    return std::nullopt;
}

Response Console::Handle(const Request& request) {
    const ClientLog clientLog;
    Response response;
    if (auto refusal = Screen(request)) {
        response = std::move(*refusal);
    } else {
        try {
            response = route(request);
        } catch (const HttpError& e) {
            nlohmann::json body = e.fields;
            body["error"] = e.message;
            response = JsonResponse(e.status, body);
        } catch (const std::exception& e) {
            response = ErrorResponse(500, std::string("internal error: ") + e.what());
        }
    }
    const auto& security = SecurityHeaders();
    response.headers.insert(response.headers.end(), security.begin(), security.end());
    return response;
}

Response Console::route(const Request& req) {
    const std::string what = req.method + " " + req.path;
    const bool get = req.method == "GET" || req.method == "HEAD";
    const std::vector<std::string> s = segmentsOf(req.path);
    const std::size_t n = s.size();
    auto wrongMethod = [&what] {
        return ErrorResponse(405, "the request was not understood: " + what);
    };

    if (req.path == "/") {
        if (!get) return wrongMethod();
        if (auto exchange = m_policy.TokenExchange(req)) return std::move(*exchange);
        return resource(kPldwebPage, "text/html; charset=utf-8");
    }
    if (req.path == "/page.js") {
        return get ? resource(kPldwebScript, "text/javascript; charset=utf-8") : wrongMethod();
    }
    if (req.path == "/page.css") {
        return get ? resource(kPldwebStyle, "text/css; charset=utf-8") : wrongMethod();
    }
    if (n >= 2 && s[0] == "api") {
        if (n == 2 && s[1] == "stream") {
            if (!get) return wrongMethod();
            Response r;
            r.stream = m_hub.Subscribe();
            if (!r.stream) return ErrorResponse(503, "too many open pages, or stopping");
            r.contentType = "text/event-stream";
            r.headers.emplace_back("Cache-Control", "no-cache");
            return r;
        }
        if (n == 2 && s[1] == "engine") return get ? m_engine.Inventory() : wrongMethod();
        if (s[1] == "sim") return simulation(req, what);
        if (n == 3 && s[1] == "events" && s[2] == "active") {
            if (!get) return wrongMethod();
            const unsigned short ms = queryNumber(req, "timeout", 2000, 1, kMaxActiveEventsWaitMs);
            return m_engine.ActiveEventsWithin(std::chrono::milliseconds(ms));
        }
        if (s[1] == "devices") {
            if (n == 2) return get ? m_engine.Devices() : wrongMethod();
            if (isNumber(s[2])) {
                if (n == 3)
                    return get ? m_engine.Device(pathNumber(s[2], "device")) : wrongMethod();
                if (n >= 5 && s[3] == "points" && isNumber(s[4])) {
                    const unsigned short device = pathNumber(s[2], "device");
                    const unsigned short gddId = pathNumber(s[4], "point");
                    if (n == 5) return get ? m_engine.Point(device, gddId) : wrongMethod();
                    if (n == 6 && s[5] == "value") {
                        return req.method == "PUT" ? m_engine.Write(device, gddId, req.body)
                                                   : wrongMethod();
                    }
                    if (n == 6 && s[5] == "hierarchy") {
                        if (!get) return wrongMethod();
                        return m_engine.Hierarchy(device, gddId, queryNumber(req, "module", 1, 1));
                    }
                }
            }
        }
    }
    return ErrorResponse(404, "no such resource: " + what);
}

Response Console::simulation(const Request& req, const std::string& what) {
    const bool command = req.path == "/api/sim";
    if (!command && req.path != "/api/sim/status") {
        return ErrorResponse(404, "no such resource: " + what);
    }
    if (m_simulation == nullptr) {
        return ErrorResponse(404, "the simulation panel is off (--no-simulation): " + what);
    }
    if (req.method != (command ? "POST" : "GET")) {
        return ErrorResponse(405, "the request was not understood: " + what);
    }
    if (!command) return m_simulation->Status();
    // Every open page hears of the change through the engine's event feed, as of others'.
    return m_simulation->Command(req.body);
}

}  // namespace pldweb
