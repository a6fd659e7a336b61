// The Control op: `ask: true` opens a connection to control commands (a `name` with it names the
// client in the event feed); `command` is one, passed to the engine, but for `restart`, which the
// daemon makes itself once it has answered, with the scenario `step` it plays if any, which the
// feed tells; `subscribe` starts or ends the feed's frames to the connection. Every command
// applied is logged.
#ifndef PLD_ENGINED_CONTROL_H
#define PLD_ENGINED_CONTROL_H

#include <nlohmann/json.hpp>

#include "Operations.h"

namespace pldengined {

void AnswerControl(Call& call, const nlohmann::json& request, Answer& answer);

}  // namespace pldengined

#endif
