// The console's requests and answers as plain values: what the server adapter hands to the
// request handler and takes back, with no socket in between, so that tests reach the handler
// without a process.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace pldweb {

class EventHub;
struct Subscriber;

struct Request {
    std::string method;
    std::string path;  // without the query
    std::map<std::string, std::string> query;
    std::map<std::string, std::string> headers;  // names in lower case
    std::string body;

    // The header's value, or empty when it is absent.
    const std::string& Header(const std::string& lowerName) const;
    bool HasHeader(const std::string& lowerName) const { return headers.count(lowerName) != 0; }
};

struct Response {
    int status = 200;
    std::string contentType = "application/json";
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    // Set for an event stream: the adapter sends what the hub queues for it until it closes.
    std::shared_ptr<Subscriber> stream;
};

// Bad input found while answering: the status and the words of its JSON error.
struct HttpError {
    int status;
    std::string message;
    nlohmann::json fields = nlohmann::json::object();  // beside the error in the answer
};

// Engine texts are not always UTF-8 (a label cut in a character, a Latin-1 catalogue): such
// bytes are replaced rather than let the dump throw.
std::string DumpJson(const nlohmann::json& body);
Response JsonResponse(int status, const nlohmann::json& body);
Response ErrorResponse(int status, const std::string& message);

// The headers every answer carries, the page's included: no framing, no other origin's
// scripts, no guessed content types, no address leaked to other sites.
const std::vector<std::pair<std::string, std::string>>& SecurityHeaders();

}  // namespace pldweb
