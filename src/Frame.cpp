#include "Frame.h"

#include <new>

namespace zvpld {

int noClient(const char* op) {
    __dlog_printf(kError, kTag, "%s: no engine message client (proxy not constructed, or stopped)",
                  op);
    return kFailed;
}

int noMemory(const char* op) {
    __dlog_printf(kError, kTag, "%s Allocate memory space failed", op);
    return kFailed;
}

int deliverText(const char* op, const char* tag, const char* reply, std::size_t size,
                unsigned int gddId, std::string& out) {
    // One pass finds the end of the text and its first byte that is not 7-bit ASCII.
    std::size_t length = 0;
    for (; length < size && reply[length] != '\0'; ++length) {
        const auto byte = static_cast<unsigned char>(reply[length]);
        if (byte >= 0x80) {
            __dlog_printf(kError, tag, "%s - non-ASCII character (%X) in string value - GddId: %d",
                          op, static_cast<unsigned int>(byte), static_cast<int>(gddId));
            return kFailed;
        }
    }
    try {
        out.assign(reply, length);
    } catch (const std::bad_alloc&) {
        return noMemory(op);
    }
    return kOk;
}

}  // namespace zvpld
