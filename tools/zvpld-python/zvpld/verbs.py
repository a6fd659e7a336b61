"""The control verbs as methods, shared by the blocking client and the asyncio one: each method
hands its verb and keyword arguments to the client's `_control`, which sends the command and
returns the answer (or, in the asyncio client, a coroutine of it). Also the texts that tell a
failed wait and an engine call's status."""
from .errors import ControlRefused, EngineGone, EngineStatus

# The journal's filters, which a wait takes too.
FILTERS = ("op", "device", "point", "client", "since")


def checked(command, answer):
    """The answer when the engine took the command; else its refusal as ControlRefused."""
    if answer.get("ok") is True:
        return answer
    raise ControlRefused(str(answer.get("error", "refused, with no error given")), command,
                         answer)


def timed_out(answer):
    return str(answer.get("error", "")).startswith("wait: timed out")


def expected_text(command):
    count = command.get("count", 1)
    text = f"{count} call{'' if count == 1 else 's'} of {command.get('op', 'any op')}"
    for key, word in (("device", "on device"), ("point", "point"), ("client", "by client")):
        if key in command:
            text += f" {word} {command[key]}"
    return text


def entry_text(entry):
    text = f"#{entry.get('seq')} {entry.get('op')}"
    for key in ("device", "point"):
        if key in entry:
            text += f" {key} {entry[key]}"
    return text + f" status {entry.get('status')}"


def wait_story(command, answer, matching, latest):
    """Why a wait timed out: what it awaited, and what the journal holds for the same filters
    (`matching`) or, when nothing matched, its last calls of any op (`latest`); either may be
    the text of the error that kept it from being read."""
    since = command.get("since")
    mark = f"since #{since}" if since is not None else "since the journal began"
    story = (f"waited {command.get('timeout_ms')} ms for {expected_text(command)} {mark}, saw "
             f"{answer.get('seen', '?')}; the journal {mark} holds: ")
    if isinstance(matching, str):
        return story + f"(unreadable: {matching})"
    if matching.get("count"):
        return story + ", ".join(map(entry_text, matching.get("entries", [])))
    if isinstance(latest, str):
        return story + f"nothing that matches (the rest unreadable: {latest})"
    entries = latest.get("entries", [])
    return story + ("nothing that matches; its last calls: " +
                    ", ".join(map(entry_text, entries)) if entries else "no call at all")


def point_record(device, point, module):
    """A ZvVelPntDfn naming module `module` (from 1, as the proxy counts) of a point."""
    if not isinstance(module, int) or module < 1:
        raise ValueError(f"module counts from 1: {module!r}")
    return {"deviceIdx": device, "gddId": point, "mmIdx": module - 1, "auxIdx": 0,
            "auxParam": 0, "auxText": None, "uofm": 0}


def call_status(op, record, reply, path):
    status = reply.get("status")
    if status != 0:
        raise EngineStatus(f"{op} of device {record['deviceIdx']} point {record['gddId']} "
                           f"module {record['mmIdx'] + 1} at {path} answered status {status}",
                           status)


def value_text(reply, size, path):
    """The text of a GetVelPntStr reply: bytes within the room asked, else the daemon's fault."""
    text = reply.get("text")
    if not isinstance(text, bytes) or len(text) > size:
        raise EngineGone(f"the engine daemon at {path} sent a malformed frame: a GetVelPntStr "
                         f"reply's text must be at most {size} bytes, not {type(text).__name__}"
                         f"{f' of {len(text)} bytes' if isinstance(text, bytes) else ''}")
    return text.decode("utf-8", "replace")


class Verbs:
    """One method per control verb, its fields as keyword arguments; each returns the engine's
    answer, or raises ControlRefused with the engine's error."""

    def offline(self, **fields):
        return self._control("offline", fields)

    def online(self, **fields):
        return self._control("online", fields)

    def fail(self, **fields):
        return self._control("fail", fields)

    def delay(self, **fields):
        return self._control("delay", fields)

    def stall(self, **fields):
        return self._control("stall", fields)

    def release(self, **fields):
        return self._control("release", fields)

    def plant(self, **fields):
        return self._control("plant", fields)

    def set(self, **fields):
        return self._control("set", fields)

    def burst(self, **fields):
        return self._control("burst", fields)

    def pld_count(self, **fields):
        return self._control("pld_count", fields)

    def notify(self, **fields):
        return self._control("notify", fields)

    def event(self, **fields):
        return self._control("event", fields)

    def report_parent(self, **fields):
        return self._control("report_parent", fields)

    def clear(self, **fields):
        return self._control("clear", fields)

    def restart(self, **fields):
        return self._control("restart", fields)

    def reset(self, **fields):
        return self._control("reset", fields)

    def status(self, **fields):
        return self._control("status", fields)

    def journal(self, **fields):
        return self._control("journal", fields)

    def journal_clear(self, **fields):
        return self._control("journal_clear", fields)

    def clock(self, **fields):
        return self._control("clock", fields)

    def wait(self, **fields):
        """Until the journal has the calls asked for; WaitTimedOut at `timeout_ms`."""
        return self._wait({"do": "wait", **fields})

    def freeze(self):
        return self._control("clock", {"action": "freeze"})

    def advance(self, ms):
        return self._control("clock", {"action": "advance", "ms": ms})

    def run_clock(self, speed=1):
        return self._control("clock", {"action": "run", "speed": speed})

    def full_reset(self, **fields):
        """The catalogue as loaded, no control, an empty journal: before each test."""
        return self._control("reset", {"catalogue": True, **fields})
