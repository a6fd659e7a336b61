// A result code in words. The proxy gives the engine's status n as the result 0x1000 + n - 1.
#include "ProxyWords.h"

#include "sim/SimEngine.h"

namespace proxywords {

std::string Describe(int rc, const char* failed) {
    if (rc == 0) return "0 (ok)";
    if (rc == 2) return std::string("2 (") + failed + ")";
    if (rc >= 0x1000 && rc <= 0x1004) {
        const int status = rc - 0x1000 + 1;
        return std::to_string(rc) + " (engine status " + std::to_string(status) + ": " +
               zvsim::StatusText(status) + ")";
    }
    return std::to_string(rc) + " (unexpected result)";
}

}  // namespace proxywords
