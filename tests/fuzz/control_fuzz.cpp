// Arbitrary text as a run-time control command: nothing may crash or leak; the engine refuses
// exactly what the decoder refuses, with the same error, and a refused command changes nothing.
// Each command's effect is undone by a reset before the next, and the clock frozen again.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "sim/Command.h"
#include "sim/SimEngine.h"

#define CHECK(cond)                                                                          \
    ((cond) ? void()                                                                         \
            : (std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond), \
               std::abort()))

namespace {

zvsim::SimEngine& engine() {
    static const std::shared_ptr<zvsim::SimEngine> e = [] {
        zvsim::Catalogue catalogue = zvsim::Catalogue::BuiltIn();
        catalogue.tickMs = 0;
        const auto made = std::make_shared<zvsim::SimEngine>(catalogue);
        made->Control(R"({"do": "clock", "action": "freeze"})");  // a status that stays put
        return made;
    }();
    return *e;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string command(reinterpret_cast<const char*>(data), size);
    const std::string error = zvsim::CheckCommand(command);
    // A well-formed wait waits out its timeout (up to 10 minutes) on an engine no one calls.
    if (error.empty() && nlohmann::json::parse(command).value("do", "") == "wait") return 0;
    zvsim::SimEngine& e = engine();
    const std::string before = e.Control(R"({"do": "status"})");
    const std::string answer = e.Control(command);
    const nlohmann::json parsed = nlohmann::json::parse(answer);
    CHECK(parsed.at("ok").is_boolean());
    if (!error.empty()) {
        CHECK(parsed == nlohmann::json({{"ok", false}, {"error", error}}));
        CHECK(e.Control(R"({"do": "status"})") == before);
    }
    e.Control(R"({"do": "reset"})");
    e.Control(R"({"do": "clock", "action": "freeze"})");
    return 0;
}
