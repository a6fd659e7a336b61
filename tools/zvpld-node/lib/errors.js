'use strict';
// What a call of the client can fail with. Every failure is an EngineError, so that a test may
// catch them all; each names the daemon's socket and what was asked where it can.

class EngineError extends Error {
  constructor(message) {
    super(message);
    this.name = this.constructor.name;
  }
}

// The daemon died, closed the connection, sent a frame it should not have, or is not there.
class EngineGone extends EngineError {}

// The daemon answered nothing within the call's deadline.
class DeadlineMissed extends EngineError {}

// The daemon speaks another version of the protocol, or says none.
class ProtocolMismatch extends EngineError {}

// The socket is another user's, who could answer anything.
class PeerRefused extends EngineError {}

// The engine refused a control command; the message is the engine's error.
class ControlRefused extends EngineError {
  constructor(message, command, answer) {
    super(message);
    this.command = command;
    this.answer = answer;
  }
}

// A wait that timed out: the message says what was expected and what the journal holds.
class WaitTimedOut extends ControlRefused {}

// An engine call (a read or a write) answered a status other than 0.
class EngineStatus extends EngineError {
  constructor(message, status) {
    super(message);
    this.status = status;
  }
}

module.exports = {
  EngineError,
  EngineGone,
  DeadlineMissed,
  ProtocolMismatch,
  PeerRefused,
  ControlRefused,
  WaitTimedOut,
  EngineStatus,
};
