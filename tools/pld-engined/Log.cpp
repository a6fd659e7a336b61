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
    std::fprintf(stderr, "pld-engined: %s\n", line);
}

}  // namespace pldengined
