// The engine's own status behind a proxy call's result. The proxy maps it onto its result codes
// (an offline device, a failing point and a daemon that did not answer all read as 2); the
// console's answers carry it beside them, and a word for it, so that a page's automated test can
// tell one from the other.
#pragma once

#include <nlohmann/json.hpp>

namespace pldweb {

// From now on each message client of this process keeps, per thread, the status its engine
// answered the last call with: its engine is the one it would have made, wrapped. Called before
// the proxy is made; the message client's own path is left as it is.
void KeepEngineStatuses();

// The engine's word for a status: "offline" for 1007, "no answer" for 13 (the daemon stalled,
// died or missed the deadline), ...; "failed" for a status of no meaning to the engine, such as
// one a `fail` control gave.
const char* EngineWord(int status);

// Forgets the calling thread's last engine status: a proxy call that fails before it reaches the
// engine must not show the status of an earlier one.
void ForgetEngineStatus();

// Puts "engine_status" and "engine_word" in `into` when the calling thread's last engine call
// answered a status (not a count), and forgets it.
void PutEngineStatus(nlohmann::json& into);

// Makes a proxy call (a result code, 0 for success) and, when it fails, puts the status of the
// engine call behind it in `into`.
template <typename Call>
int WithEngineStatus(nlohmann::json& into, Call call) {
    ForgetEngineStatus();
    const int rc = call();
    if (rc != 0) PutEngineStatus(into);
    return rc;
}

}  // namespace pldweb
