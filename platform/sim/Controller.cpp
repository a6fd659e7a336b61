#include "Controller.h"

namespace zvsim {

std::unique_ptr<Controller> Controller::Open(const std::string&, std::string& error) {
    error = "control not built yet";
    return nullptr;
}

Controller::~Controller() = default;

}  // namespace zvsim
