// Notifications of each kind that a stress test sends: the build's count, or fewer where the
// environment's ZVPLD_STRESS_PER_KIND asks for fewer (a run under valgrind is some 50 times
// slower).
#ifndef ZVPLD_TESTS_STRESS_COUNT_H
#define ZVPLD_TESTS_STRESS_COUNT_H

#include <cstdlib>

inline unsigned StressPerKind() {
    const char* text = std::getenv("ZVPLD_STRESS_PER_KIND");
    char* end = nullptr;
    const unsigned long n = text ? std::strtoul(text, &end, 10) : 0;
    return n > 0 && *end == '\0' && n < ZVPLD_STRESS_PER_KIND ? static_cast<unsigned>(n)
                                                              : ZVPLD_STRESS_PER_KIND;
}

#endif
