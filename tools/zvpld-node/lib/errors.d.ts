// What a call of the client can fail with; every failure is an EngineError.
export class EngineError extends Error {}
/** The daemon died, closed the connection, sent a malformed frame, or is not there. */
export class EngineGone extends EngineError {}
/** The daemon answered nothing within the call's deadline. */
export class DeadlineMissed extends EngineError {}
/** The daemon speaks another protocol version, or states none. */
export class ProtocolMismatch extends EngineError {}
/** The socket file belongs to a user who is neither this one nor root. */
export class PeerRefused extends EngineError {}
/** The engine refused a control command; `message` is the engine's error. */
export class ControlRefused extends EngineError {
  constructor(message: string, command: Record<string, unknown>, answer: Record<string, unknown>);
  command: Record<string, unknown>;
  answer: Record<string, unknown>;
}
/** A wait that timed out; `message` says what was expected and what the journal holds. */
export class WaitTimedOut extends ControlRefused {}
/** A read or a write answered a status other than 0. */
export class EngineStatus extends EngineError {
  constructor(message: string, status: number);
  status: number;
}
