// The Control op: `ask: true` opens a connection to control commands; `command` is one, passed
// to the engine, but for `restart`, which the daemon makes itself once it has answered. Every
// command applied is logged.
#ifndef PLD_ENGINED_CONTROL_H
#define PLD_ENGINED_CONTROL_H

#include <nlohmann/json.hpp>

#include "Operations.h"

namespace pldengined {

void AnswerControl(Call& call, const nlohmann::json& request, Answer& answer);

}  // namespace pldengined

#endif
