// The access policy: who may talk to the console. A web page of any site can make the browser
// send requests to the console's address, and a DNS name it controls can be made to point at
// 127.0.0.1: the Host header tells a page that reached the console under a name of its own, the
// Origin header a write sent from another site's page, and a write that is not JSON is one a
// form of any site could send without asking first. Any local user may connect to loopback, so
// every request for data needs the console's token too, unless started with --no-token: a page
// gets it once in its address and keeps it as a cookie that only this site's requests carry.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "Http.h"

namespace pldweb {

// The header that carries the token, for scripts; a page sends the cookie instead.
constexpr const char* kTokenHeader = "x-console-token";
// The longest token taken: it goes into a header, a cookie and an address.
constexpr std::size_t kMaxTokenLength = 256;

struct AccessOptions {
    std::string listen;  // the address listened on
    int port = 0;
    std::vector<std::string> allowedHosts;  // further names the console may be reached by
    std::string token;                      // empty: no token asked (--no-token)
};

class AccessPolicy {
  public:
    explicit AccessPolicy(AccessOptions options);

    // The refusal (JSON error) of a request this policy does not allow, after logging it; none
    // when it is allowed. Judges the head only: method, path, query and headers.
    std::optional<Response> Refusal(const Request& head) const;
    // For the page's address with the right token (`/?token=`): the answer that sets the cookie
    // and sends the browser on to the address without it, out of the address bar and history.
    std::optional<Response> TokenExchange(const Request& request) const;

    const std::string& Token() const { return m_options.token; }

    // 127.0.0.0/8, ::1 and localhost: only local processes can connect.
    static bool IsLoopback(const std::string& address);
    // 32 random bytes in hex; empty when the system gave no randomness.
    static std::string NewToken();
    // Why `token` cannot be the console's (too short or long, characters that an address or a
    // cookie would need escaped); empty when it can.
    static std::string TokenFault(const std::string& token);
    // Equal texts, in a time that does not tell how much of the secret matched.
    static bool SameSecret(const std::string& given, const std::string& secret);

  private:
    bool hostAllowed(const std::string& host) const;
    bool tokenGiven(const Request& head) const;
    std::string cookieName() const;

    AccessOptions m_options;
    std::vector<std::string> m_hosts;  // "name:port", in lower case
};

}  // namespace pldweb
