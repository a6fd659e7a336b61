// The access policy: Host, Origin, Content-Type and token checks on a request's head.
#include "AccessPolicy.h"

#include <sys/random.h>

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "Log.h"

namespace pldweb {
namespace {

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// A bare IPv6 address becomes the bracketed name a Host header gives.
std::string hostName(const std::string& address) {
    return address.find(':') != std::string::npos && address.front() != '[' ? "[" + address + "]"
                                                                            : address;
}

bool isWrite(const std::string& method) {
    return method != "GET" && method != "HEAD" && method != "OPTIONS";
}

// The page and its script and style carry no data: they load without the token, and the page
// then reads nothing without the cookie.
bool isPageResource(const std::string& path) {
    return path == "/" || path == "/page.js" || path == "/page.css";
}

// `kind` names the refusal's line: any client can repeat it, so it is written at most once a
// second.
Response refuse(int status, const char* kind, const Request& head, const std::string& why) {
    LogLimited(kind, "refused " + head.method + " " + head.path.substr(0, 200) + ": " + why);
    return ErrorResponse(status, "refused: " + why);
}

// Whether a cookie `name` holds `secret`. A browser joins its cookies with "; ", and the server
// joins repeated Cookie headers with ",". Any server on the same host name may set a cookie of
// that name, whatever its port, and one with a longer Path comes first: each is tried.
bool cookieHolds(const std::string& header, const std::string& name, const std::string& secret) {
    bool holds = false;
    std::size_t start = 0;
    while (start < header.size()) {
        std::size_t end = header.find_first_of(";,", start);
        if (end == std::string::npos) end = header.size();
        const std::size_t from = header.find_first_not_of(' ', start);
        if (from < end && header.compare(from, name.size() + 1, name + "=") == 0) {
            const std::size_t value = from + name.size() + 1;
            holds |= AccessPolicy::SameSecret(header.substr(value, end - value), secret);
        }
        start = end + 1;
    }
    return holds;
}

}  // namespace

AccessPolicy::AccessPolicy(AccessOptions options) : m_options(std::move(options)) {
    std::vector<std::string> names = {m_options.listen, "localhost", "127.0.0.1", "::1"};
    names.insert(names.end(), m_options.allowedHosts.begin(), m_options.allowedHosts.end());
    for (const std::string& name : names) {
        const std::string host = lower(hostName(name));
        m_hosts.push_back(host + ":" + std::to_string(m_options.port));
        // Port 80 is left out of the Host header by browsers.
        if (m_options.port == 80) m_hosts.push_back(host);
    }
}

std::optional<Response> AccessPolicy::Refusal(const Request& head) const {
    const std::string& host = head.Header("host");
    if (!hostAllowed(host)) {
        return refuse(403, "host", head,
                      "the console does not answer to the host name '" + host.substr(0, 100) +
                          "' (start it with --allow-host to add one)");
    }
    // The page's own address may carry the token, to be exchanged for the cookie: a wrong one
    // is refused there too, so that guesses are logged and answered alike everywhere.
    const bool exchange = head.path == "/" && head.query.count("token") != 0;
    if (!m_options.token.empty() && (exchange || !isPageResource(head.path)) && !tokenGiven(head)) {
        return refuse(401, "token", head,
                      "the console's token is missing or wrong: open the address pldweb printed "
                      "at its start, or send the header X-Console-Token");
    }
    // Browsers name whose page sent a request: the console's own page is the same origin, an
    // address opened from the terminal none. A page served from another port of the host is
    // the same site, so its requests carry the cookie; it reads none of the answers, but its
    // event streams and long waits would take those of the console's own page.
    const std::string site = lower(head.Header("sec-fetch-site"));
    if (!isPageResource(head.path) && !site.empty() && site != "same-origin" && site != "none") {
        return refuse(
            403, "site", head,
            "a request from another origin's page (Sec-Fetch-Site: " + site.substr(0, 20) + ")");
    }
    if (!isWrite(head.method)) return std::nullopt;
    if (head.HasHeader("origin") && lower(head.Header("origin")) != "http://" + lower(host)) {
        return refuse(
            403, "origin", head,
            "a write from another site's page ('" + head.Header("origin").substr(0, 100) + "')");
    }
    const std::string& type = head.Header("content-type");
    std::string media = lower(type.substr(0, type.find(';')));
    media.erase(media.find_last_not_of(" \t") + 1);
    if (media != "application/json") {
        return refuse(403, "type", head, "a write must be sent as application/json");
    }
    return std::nullopt;
}

bool AccessPolicy::hostAllowed(const std::string& host) const {
    return std::find(m_hosts.begin(), m_hosts.end(), lower(host)) != m_hosts.end();
}

std::optional<Response> AccessPolicy::TokenExchange(const Request& request) const {
    if (m_options.token.empty() || request.path != "/" || request.query.count("token") == 0 ||
        !tokenGiven(request)) {
        return std::nullopt;
    }
    Response r = JsonResponse(303, nlohmann::json{{"location", "/"}});
    // HttpOnly: no script reads it; SameSite=Strict: no other site's page or link sends it.
    r.headers = {{"Set-Cookie",
                  cookieName() + "=" + m_options.token + "; Path=/; HttpOnly; SameSite=Strict"},
                 {"Location", "/"},
                 {"Cache-Control", "no-store"}};
    return r;
}

bool AccessPolicy::tokenGiven(const Request& head) const {
    if (head.HasHeader(kTokenHeader)) return SameSecret(head.Header(kTokenHeader), m_options.token);
    // Only the page's address takes it as a query, once, to set the cookie: elsewhere it would
    // stay in histories and logs.
    const auto query = head.query.find("token");
    if (query != head.query.end()) {
        return head.path == "/" && SameSecret(query->second, m_options.token);
    }
    return cookieHolds(head.Header("cookie"), cookieName(), m_options.token);
}

// Cookies are kept per host name, not per port: each console's has its port in its name.
std::string AccessPolicy::cookieName() const {
    return "pldweb-token-" + std::to_string(m_options.port);
}

bool AccessPolicy::IsLoopback(const std::string& address) {
    // Digits and dots only: a DNS name may begin with "127." too and point anywhere.
    return address == "localhost" || address == "::1" || address == "[::1]" ||
           (address.rfind("127.", 0) == 0 &&
            address.find_first_not_of("0123456789.") == std::string::npos);
}

std::string AccessPolicy::NewToken() {
    unsigned char bytes[32];
    std::size_t got = 0;
    while (got < sizeof bytes) {
        const ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
        if (n <= 0) return "";
        got += static_cast<std::size_t>(n);
    }
    std::string token;
    char hex[3];
    for (const unsigned char b : bytes) {
        std::snprintf(hex, sizeof hex, "%02x", b);
        token += hex;
    }
    return token;
}

std::string AccessPolicy::TokenFault(const std::string& token) {
    if (token.size() < 16 || token.size() > kMaxTokenLength) {
        return "a token must have 16 to " + std::to_string(kMaxTokenLength) + " characters";
    }
    if (token.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789"
                                "-._~") != std::string::npos) {
        return "a token may hold only letters, digits and - . _ ~";
    }
    return "";
}

bool AccessPolicy::SameSecret(const std::string& given, const std::string& secret) {
    // Every byte of the given text is compared, whatever the length of the secret.
    unsigned char differ = given.size() == secret.size() ? 0 : 1;
    for (std::size_t i = 0; i < given.size(); ++i) {
        const char s = secret.empty() ? '\0' : secret[i % secret.size()];
        differ |= static_cast<unsigned char>(given[i] ^ s);
    }
    return differ == 0 && !secret.empty();
}

}  // namespace pldweb
