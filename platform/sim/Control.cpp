#include "SimEngine.h"

namespace zvsim {

std::string SimEngine::Control(const std::string&) {
    return R"({"ok": false, "error": "control not built yet"})";
}

void SimEngine::SetHolding(Holding) {}

SimEngine::Hold SimEngine::TakeHold() {
    return {};
}

bool SimEngine::StallReleased(std::uint64_t) const {
    return true;
}

void SimEngine::OnRelease(std::function<void()>) {}

std::shared_ptr<SimEngine> SimEngine::Latest() {
    return nullptr;
}

}  // namespace zvsim
