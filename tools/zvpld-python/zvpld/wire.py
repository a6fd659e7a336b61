"""One connection to the engine daemon: its frames (a 4-byte big-endian length, then one
MessagePack map), the check of who serves the socket, the ask for control with the protocol
version, and requests that each end by a deadline. Event-feed frames that come while a reply is
awaited are queued for the reader of the feed."""
import collections
import json
import os
import socket
import struct
import time

import msgpack

from .errors import DeadlineMissed, EngineError, EngineGone, PeerRefused, ProtocolMismatch

# The version of the control messages this client speaks; a daemon must answer its ask with it.
PROTOCOL_VERSION = 1
MAX_FRAME = 1 << 20
# sun_path's room, less its NUL.
MAX_PATH = 107
# Events kept for a reader of the feed that reads none, in count and in their frames' bytes (one
# event may take a whole frame): past either the oldest go, and the next event read counts them.
FEED_QUEUE = 10000
FEED_BYTES = 4 << 20


def pack_frame(message):
    body = msgpack.packb(message, use_bin_type=True)
    if len(body) > MAX_FRAME:
        raise EngineError(f"a request of {len(body)} bytes is longer than a frame may be "
                          f"({MAX_FRAME}); not sent")
    return struct.pack(">I", len(body)) + body


def unpack_message(body, path):
    try:
        message = msgpack.unpackb(body, raw=False, strict_map_key=False)
    except (ValueError, msgpack.UnpackException) as e:
        raise EngineGone(f"the engine daemon at {path} sent a frame that is not MessagePack "
                         f"({e})") from None
    if not isinstance(message, dict):
        raise EngineGone(f"the engine daemon at {path} sent a message that is not a map")
    return message


def frame_length(head, path):
    (length,) = struct.unpack(">I", head)
    if not 1 <= length <= MAX_FRAME:
        raise EngineGone(f"the engine daemon at {path} sent a frame of {length} bytes, "
                         f"not 1 to {MAX_FRAME}")
    return length


def peer_refusal(path, uid, pid, own_uid):
    """Why a socket served by `uid` is not believed, or None: only this user and root are."""
    if uid in (own_uid, 0):
        return None
    return (f"the engine daemon at {path} is served by uid {uid} (pid {pid}), neither this user "
            f"(uid {own_uid}) nor root: refused as an impostor")


def peer_credentials(sock):
    """The pid, uid and gid of the process that serves the socket (uid_t and gid_t unsigned)."""
    return struct.unpack("iII", sock.getsockopt(socket.SOL_SOCKET, socket.SO_PEERCRED,
                                                struct.calcsize("iII")))


def check_peer(sock, path):
    pid, uid, _ = peer_credentials(sock)
    why = peer_refusal(path, uid, pid, os.geteuid())
    if why:
        raise PeerRefused(why)


def ask_message(request_id, name):
    return {"id": request_id, "op": "Control", "ask": True, "name": name}


def is_int(value, wanted):
    # True == 1 and 1.0 == 1 in Python: a daemon that says either says no version we speak.
    return type(value) is int and value == wanted


def check_ask(reply, path):
    """The daemon's answer to the ask: control granted, in the version this client speaks."""
    if not is_int(reply.get("status"), 0):
        raise EngineError(f"the engine daemon at {path} refused control: status "
                          f"{reply.get('status')!r}")
    version = reply.get("protocol")
    if not is_int(version, PROTOCOL_VERSION):
        spoken = "no protocol version" if version is None else f"protocol {version!r}"
        raise ProtocolMismatch(f"the engine daemon at {path} speaks {spoken}; this client "
                               f"speaks protocol {PROTOCOL_VERSION}")


def describe(message):
    """What a request asked, for an error: its op and, for a control command, the command."""
    if message.get("op") == "Control":
        for key in ("command", "subscribe", "ask"):
            if key in message:
                return f"control {key} {json.dumps(message[key], default=repr)}"
    return str(message.get("op"))


# What a wait's deadline adds to its timeout, so that the daemon's own answer comes first.
WAIT_MARGIN = 2.0


def control_message(command, step, timeout):
    """The Control request of `command` and the time to wait for its reply."""
    message = {"op": "Control", "command": command}
    if step is not None:
        message["step"] = step
    if command.get("do") == "wait" and isinstance(command.get("timeout_ms"), int):
        timeout = command["timeout_ms"] / 1000 + WAIT_MARGIN
    return message, timeout


def control_answer(reply, message, path):
    answer = reply.get("answer")
    if not isinstance(answer, dict):
        raise EngineError(f"the engine daemon at {path} answered status "
                          f"{reply.get('status')} to {describe(message)}")
    return answer


def connect_failure(error, path, timeout):
    """What a connection that could not be made raises."""
    if isinstance(error, (socket.timeout, TimeoutError)):
        return DeadlineMissed(f"the engine daemon at {path} did not accept within {timeout:g} s")
    return EngineGone(f"no engine daemon answers at {path}: {error.strerror or error}")


def socket_path(path):
    path = os.fspath(path)
    if not 1 <= len(os.fsencode(path)) <= MAX_PATH:
        raise EngineError(f"socket path must be 1 to {MAX_PATH} bytes: {path!r}")
    return path


class Feed:
    """The events come and not yet read, bounded by FEED_QUEUE and FEED_BYTES."""

    def __init__(self):
        self._events = collections.deque()
        self._bytes = 0
        self.lost = 0

    def __len__(self):
        return len(self._events)

    def append(self, event, size):
        self._events.append((event, size))
        self._bytes += size
        while len(self._events) > FEED_QUEUE or self._bytes > FEED_BYTES:
            self._bytes -= self._events.popleft()[1]
            self.lost += 1

    def extend(self, other):
        self.lost += other.lost
        for event, size in other._events:
            self.append(event, size)

    def popleft(self):
        event, size = self._events.popleft()
        self._bytes -= size
        if self.lost and isinstance(event, dict):
            event["lost"] = event.get("lost", 0) + self.lost
            self.lost = 0
        return event


class Connection:
    """A connection that asked for control under `name`; every failure closes it."""

    def __init__(self, path, name, timeout):
        self.path = socket_path(path)
        self.feed = Feed()
        self.subscribed = False  # a daemon's feed frames before a subscription are dropped
        self._buffer = bytearray()
        self._last_id = 0
        self._sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        try:
            self._sock.settimeout(timeout)
            try:
                self._sock.connect(self.path)
            except OSError as e:
                raise connect_failure(e, self.path, timeout) from None
            check_peer(self._sock, self.path)
            check_ask(self.request(ask_message(self._next_id(), name), timeout), self.path)
        except BaseException:
            self.close()
            raise

    @property
    def closed(self):
        return self._sock is None

    def close(self):
        if self._sock is not None:
            self._sock.close()
            self._sock = None

    def _next_id(self):
        self._last_id = self._last_id % 0xFFFFFFFF + 1
        return self._last_id

    def request(self, message, timeout):
        """The reply to `message` (its `id` set here), within `timeout` seconds."""
        if self._sock is None:
            raise EngineGone(f"the connection to the engine daemon at {self.path} is closed")
        message.setdefault("id", self._next_id())
        deadline = time.monotonic() + timeout
        try:
            self._send(pack_frame(message), message, timeout)
            while True:
                reply = self._read(deadline, message, timeout)
                if reply is not None and reply.get("id") == message["id"]:
                    return reply
        except BaseException:
            self.close()
            raise

    def _send(self, frame, message, timeout):
        self._sock.settimeout(timeout)
        try:
            self._sock.sendall(frame)
        except socket.timeout:
            raise DeadlineMissed(f"the engine daemon at {self.path} took no {describe(message)} "
                                 f"within {timeout:g} s") from None
        except OSError as e:
            raise EngineGone(f"the engine daemon at {self.path} dropped the connection when "
                             f"sent {describe(message)}: {e.strerror or e}") from None

    def next_event(self, timeout):
        """The next event of the feed, within `timeout` seconds."""
        if self.feed:
            return self.feed.popleft()
        if self._sock is None:
            raise EngineGone(f"the connection to the engine daemon at {self.path} is closed")
        deadline = time.monotonic() + timeout
        try:
            while not self.feed:
                self._read(deadline, None, timeout)
            return self.feed.popleft()
        except DeadlineMissed:
            raise  # nothing was asked: the connection and its subscription stay
        except BaseException:
            self.close()
            raise

    def _read(self, deadline, asked, timeout):
        """One message: a feed event is queued (None), a notification dropped."""
        while True:
            while len(self._buffer) < 4 or len(self._buffer) < 4 + frame_length(
                    self._buffer[:4], self.path):
                left = deadline - time.monotonic()
                what = describe(asked) if asked else "the next event of the feed"
                if left <= 0:
                    raise DeadlineMissed(
                        f"the engine daemon at {self.path} did not answer {what} within "
                        f"{timeout:g} s" if asked else
                        f"no event of the feed at {self.path} within {timeout:g} s")
                self._sock.settimeout(left)
                try:
                    chunk = self._sock.recv(1 << 16)
                except socket.timeout:
                    continue
                except OSError as e:
                    raise EngineGone(f"the engine daemon at {self.path} dropped the connection "
                                     f"while asked {what}: {e.strerror or e}") from None
                if not chunk:
                    raise EngineGone(f"the engine daemon at {self.path} closed the connection "
                                     f"while asked {what}")
                self._buffer += chunk
            length = frame_length(self._buffer[:4], self.path)
            message = unpack_message(bytes(self._buffer[4:4 + length]), self.path)
            del self._buffer[:4 + length]
            if "feed" in message:
                if self.subscribed:
                    self.feed.append(message["feed"], length)
                return None
            if "ntf" not in message:
                return message
