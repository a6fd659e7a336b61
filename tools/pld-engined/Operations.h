// The daemon's operations: for each op name, how its request's fields are read, which engine
// call they make and how the results become the reply. No socket here.
#ifndef PLD_ENGINED_OPERATIONS_H
#define PLD_ENGINED_OPERATIONS_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include <nlohmann/json.hpp>

#include "Connection.h"
#include "FanOut.h"
#include "HeldReplies.h"
#include "Pack.h"
#include "StateFile.h"
#include "Throttle.h"
#include "sim/SimEngine.h"

namespace pldengined {

// What answering one request may reach.
struct Call {
    zvsim::SimEngine& engine;
    FanOut& fanOut;
    const std::shared_ptr<Connection>& connection;
    // The lines of control commands that changed nothing (refused, or asking the status).
    LineBudget& unchangedLines;
    // The replies the loop holds back: a control status counts the stalled calls among them.
    const HeldReplies& held;
};

// A client's write: how it is made on an engine, and the call it is, for the engine's journal
// when the daemon answers it without the engine.
struct ClientWrite {
    Write make;
    zvsim::Op op;
    ZvVelPntDfn pnt;  // its aux text left out
};

struct Answer {
    nlohmann::json reply;
    // A write, to be committed with the others of its batch: its status completes the reply.
    std::optional<ClientWrite> write;
    bool control = false;  // a Control op: never held back by the engine's delay or stall
    bool restart = false;  // a restart was asked for and answered: the daemon re-executes
    // A wait command that is not met yet: the loop holds its reply (HeldWaits) until it is, or
    // until its timeout.
    std::shared_ptr<zvsim::Journal::Wait> wait = nullptr;
    std::chrono::milliseconds waitTimeout{0};
    // A full reset was answered: the state file takes the engine's values, the catalogue's.
    bool saveValues = false;
};

// The hot reads (a point's text or number), answered from the request's MessagePack map with no
// document built: the reply's frame. False, with nothing done, for any other request, which
// AnswerTo answers. Throws zvwire::Malformed for a request that is malformed.
bool AnswerInPlace(Call& call, const zvwire::MapView& request, Frame& reply);

// The answer to any request but the hot reads; an unknown op is answered status 12. Throws
// zvwire::Malformed (or another std::exception for a field of the wrong type) for a request that
// is malformed.
Answer AnswerTo(Call& call, const nlohmann::json& request);

// The reply's frame; a reply too long for one is answered with a status alone, the one its
// operation gives for it.
Frame ReplyFrame(const Connection& c, const nlohmann::json& request, const nlohmann::json& reply);

}  // namespace pldengined

#endif
