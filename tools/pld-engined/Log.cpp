#include "Log.h"

#include <cstdarg>
#include <cstdio>

namespace pldengined {

void Log(const char* format, ...) {
    char line[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    // Texts a client sent (a verb, a name) are logged: none may start a line of its own.
    for (char* c = line; *c != '\0'; ++c) {
        if (static_cast<unsigned char>(*c) < 0x20 || *c == 0x7f) *c = '?';
    }
    std::fprintf(stderr, "pld-engined: %s\n", line);
}

std::string Loggable(std::string text) {
    for (char& c : text) {
        if (c == '\0') c = '?';
    }
    return text;
}

}  // namespace pldengined
