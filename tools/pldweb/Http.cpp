// Plain request and answer values, and the JSON answers built from them.
#include "Http.h"

namespace pldweb {

const std::string& Request::Header(const std::string& lowerName) const {
    static const std::string kNone;
    const auto it = headers.find(lowerName);
    return it == headers.end() ? kNone : it->second;
}

std::string DumpJson(const nlohmann::json& body) {
    return body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

Response JsonResponse(int status, const nlohmann::json& body) {
    Response r;
    r.status = status;
    r.body = DumpJson(body) + "\n";
    return r;
}

Response ErrorResponse(int status, const std::string& message) {
    return JsonResponse(status, nlohmann::json{{"error", message}});
}

const std::vector<std::pair<std::string, std::string>>& SecurityHeaders() {
    static const std::vector<std::pair<std::string, std::string>> kHeaders = {
        {"Content-Security-Policy", "frame-ancestors 'none'; default-src 'self'"},
        {"X-Frame-Options", "DENY"},
        {"X-Content-Type-Options", "nosniff"},
        {"Referrer-Policy", "no-referrer"},
    };
    return kHeaders;
}

}  // namespace pldweb
