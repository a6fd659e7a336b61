"""zvpld: a client of the PLD engine daemon's control protocol for tests (control commands, the
call journal and its waits, the virtual clock, the event feed, scenarios, reads and writes of
points) and, through its pytest plugin, fixtures that start the daemon and the web console."""
import importlib.metadata

from .errors import (ControlRefused, DeadlineMissed, EngineError, EngineGone, EngineStatus,
                     PeerRefused, ProtocolMismatch, WaitTimedOut)

try:
    __version__ = importlib.metadata.version("zvpld")
except importlib.metadata.PackageNotFoundError:  # run from the source tree
    __version__ = "unknown"
__all__ = ["Client", "ControlRefused", "DeadlineMissed", "EngineError", "EngineGone",
           "EngineStatus", "PeerRefused", "ProtocolMismatch", "WaitTimedOut", "PROTOCOL_VERSION"]


def __getattr__(name):
    # The client needs msgpack; zvpld.browser and zvpld.processes do not, and are imported by
    # a Python that may lack it.
    if name == "Client":
        from .client import Client
        return Client
    if name == "PROTOCOL_VERSION":
        from .wire import PROTOCOL_VERSION
        return PROTOCOL_VERSION
    raise AttributeError(f"module 'zvpld' has no attribute {name!r}")
