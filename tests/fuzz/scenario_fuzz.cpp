// Arbitrary text read as a scenario file: the reader refuses it with std::runtime_error or gives a
// scenario that keeps the file's promises (1 to 1000 steps, sorted, each within one day, each
// command a JSON object naming its verb).
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "sim/Scenario.h"

#define CHECK(cond)                                                                          \
    ((cond) ? void()                                                                         \
            : (std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond), \
               std::abort()))

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    zvsim::Scenario scenario;
    try {
        scenario = zvsim::ParseScenario(std::string(reinterpret_cast<const char*>(data), size));
    } catch (const std::runtime_error&) {
        return 0;
    }
    CHECK(!scenario.steps.empty() && scenario.steps.size() <= 1000);
    CHECK(std::is_sorted(scenario.steps.begin(), scenario.steps.end(),
                         [](const auto& a, const auto& b) { return a.atMs < b.atMs; }));
    for (const zvsim::ScenarioStep& step : scenario.steps) {
        CHECK(step.atMs >= 0 && step.atMs <= 86400000);
        CHECK(step.command.front() == '{' && step.command.find("\"do\":") != std::string::npos);
    }
    return 0;
}
