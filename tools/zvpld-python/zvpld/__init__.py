"""zvpld: a client of the PLD engine daemon's control protocol for tests (control commands, the
call journal and its waits, the virtual clock, the event feed, scenarios, reads and writes of
points) and, through its pytest plugin, fixtures that start the daemon and the web console."""
import importlib.metadata

from .client import Client
from .errors import (ControlRefused, DeadlineMissed, EngineError, EngineGone, EngineStatus,
                     PeerRefused, ProtocolMismatch, WaitTimedOut)
from .wire import PROTOCOL_VERSION

try:
    __version__ = importlib.metadata.version("zvpld")
except importlib.metadata.PackageNotFoundError:  # run from the source tree
    __version__ = "unknown"
__all__ = ["Client", "ControlRefused", "DeadlineMissed", "EngineError", "EngineGone",
           "EngineStatus", "PeerRefused", "ProtocolMismatch", "WaitTimedOut", "PROTOCOL_VERSION"]
