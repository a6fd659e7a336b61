"""The errors of the zvpld client: every failure of a call is an EngineError, and the kind says
whether the daemon is gone, late, of another protocol or user, or refused what was asked."""


class EngineError(Exception):
    """Any failure to get an answer from the engine daemon, or an answer that says no."""


class EngineGone(EngineError):
    """The daemon is not there, closed the connection or sent what no daemon sends."""


class DeadlineMissed(EngineError):
    """No answer within the call's deadline."""


class ProtocolMismatch(EngineError):
    """The daemon speaks another version of the control protocol, or says none."""


class PeerRefused(EngineError):
    """The socket is served by a process of another user, which could answer anything."""


class ControlRefused(EngineError):
    """The engine refused a control command: the message is its error; nothing changed."""

    def __init__(self, message, command=None, answer=None):
        super().__init__(message)
        self.command = command
        self.answer = answer


class WaitTimedOut(ControlRefused):
    """A wait's timeout came first: the message names what was awaited and what came."""


class EngineStatus(EngineError):
    """An engine call answered a status other than 0."""

    def __init__(self, message, status):
        super().__init__(message)
        self.status = status
