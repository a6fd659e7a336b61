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

// The page and its script and style carry no data: they load without the token, which the
// page then reads from its own address.
bool isPageResource(const std::string& path) {
    return path == "/" || path == "/page.js" || path == "/page.css";
}

Response refuse(int status, const Request& head, const std::string& why) {
    LogLine("refused " + head.method + " " + head.path + ": " + why);
    return ErrorResponse(status, "refused: " + why);
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
        return refuse(403, head,
                      "the console does not answer to the host name '" + host +
                          "' (start it with --allow-host to add one)");
    }
    if (!m_options.token.empty() && !isPageResource(head.path) && !tokenGiven(head)) {
        return refuse(401, head, "the console's token is missing or wrong");
    }
    if (!isWrite(head.method)) return std::nullopt;
    if (head.HasHeader("origin") && lower(head.Header("origin")) != "http://" + lower(host)) {
        return refuse(403, head,
                      "a write from another site's page ('" + head.Header("origin") + "')");
    }
    const std::string& type = head.Header("content-type");
    std::string media = lower(type.substr(0, type.find(';')));
    media.erase(media.find_last_not_of(" \t") + 1);
    if (media != "application/json") {
        return refuse(403, head, "a write must be sent as application/json");
    }
    return std::nullopt;
}

bool AccessPolicy::hostAllowed(const std::string& host) const {
    return std::find(m_hosts.begin(), m_hosts.end(), lower(host)) != m_hosts.end();
}

bool AccessPolicy::tokenGiven(const Request& head) const {
    if (head.HasHeader(kTokenHeader)) return SameSecret(head.Header(kTokenHeader), m_options.token);
    const auto query = head.query.find("token");
    return head.path == "/api/stream" && query != head.query.end() &&
           SameSecret(query->second, m_options.token);
}

bool AccessPolicy::IsLoopback(const std::string& address) {
    return address == "localhost" || address == "::1" || address == "[::1]" ||
           address.rfind("127.", 0) == 0;
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
