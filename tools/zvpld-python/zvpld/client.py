"""The blocking client: control commands, engine calls a test needs (read and write a point),
the event feed and the scenario player, over one connection that a later call opens again
when the daemon dropped it (a `restart`, a failure)."""
import time

from . import scenario
from .errors import ControlRefused, DeadlineMissed, EngineError, WaitTimedOut
from .verbs import (FILTERS, Verbs, call_status, checked, point_record, timed_out, value_text,
                    wait_story)
from .wire import Connection, control_answer, control_message

# Room for a point's value text: a text point holds at most 255 characters, and the NUL.
TEXT_SIZE = 256


class Client(Verbs):
    """A control connection to the engine daemon at `socket_path`, named `name` in the event
    feed; each call fails after `timeout` seconds without an answer."""

    def __init__(self, socket_path, *, name="zvpld-pytest", timeout=5.0):
        self.name = name
        self.timeout = timeout
        self._subscribed = False
        self._conn = Connection(socket_path, name, timeout)
        self.socket_path = self._conn.path

    def close(self):
        self._conn.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def _connection(self):
        if self._conn.closed:
            old = self._conn
            self._conn = Connection(self.socket_path, self.name, self.timeout)
            self._conn.feed.extend(old.feed)
            if self._subscribed:
                self._subscribe(True)
        return self._conn

    def _request(self, message, timeout=None):
        return self._connection().request(message, timeout or self.timeout)

    def command(self, command, *, step=None):
        """The engine's answer to a control command (a dict), whatever it says; `step` tells
        the event feed which scenario step the command plays."""
        message, timeout = control_message(command, step, self.timeout)
        return control_answer(self._request(message, timeout), message, self.socket_path)

    def _control(self, do, fields):
        command = {"do": do, **fields}
        return checked(command, self.command(command))

    def _wait(self, command):
        answer = self.command(command)
        if answer.get("ok") is True or not timed_out(answer):
            return checked(command, answer)
        raise WaitTimedOut(self._wait_story(command, answer), command, answer)

    def _wait_story(self, command, answer):
        filters = {k: command[k] for k in FILTERS if k in command}
        matching, latest = None, ""
        try:
            matching = self.journal(**filters, limit=8)
            if not matching.get("count"):
                since = max(command.get("since", 0), matching["last"] - 5)
                latest = self.journal(since=since, limit=5)
        except EngineError as e:
            matching = str(e) if matching is None else matching
            latest = str(e)
        return wait_story(command, answer, matching, latest)

    def mark(self):
        """The journal's last sequence number: wait `since` it for calls made after now."""
        return self.journal(limit=0)["last"]

    def read(self, device, point, module=1):
        """The point's value text as the engine gives it; EngineStatus when it answers one."""
        record = point_record(device, point, module)
        reply = self._request({"op": "GetVelPntStr", "pnt": record, "size": TEXT_SIZE})
        call_status("GetVelPntStr", record, reply, self.socket_path)
        return value_text(reply, TEXT_SIZE, self.socket_path)

    def write(self, device, point, value, module=1):
        """SetVelPntStr of `value` (a text); EngineStatus when the engine answers a status."""
        record = point_record(device, point, module)
        reply = self._request({"op": "SetVelPntStr", "pnt": record, "value": str(value),
                               "setParam": 0})
        call_status("SetVelPntStr", record, reply, self.socket_path)

    def restart(self, **fields):
        """The daemon drops every connection as it restarts: the next call connects again."""
        answer = self._control("restart", fields)
        self._conn.close()
        return answer

    def _subscribe(self, on):
        self._conn.subscribed = on
        reply = self._conn.request({"op": "Control", "subscribe": on}, self.timeout)
        if reply.get("status") != 0:
            raise EngineError(f"the engine daemon at {self.socket_path} answered status "
                              f"{reply.get('status')} to a subscription to its event feed")

    def subscribe(self):
        """From now on the engine's event feed comes to this client: events(), next_event()."""
        self._connection()
        self._subscribe(True)
        self._subscribed = True

    def unsubscribe(self):
        self._subscribed = False
        self._connection()
        self._subscribe(False)

    def _check_subscribed(self):
        if not self._subscribed:
            raise EngineError("events() needs subscribe() first, before the changes to see")

    def events(self, timeout=5.0):
        """The feed's events, each within `timeout` seconds or DeadlineMissed."""
        self._check_subscribed()  # now, not at the first next()
        return (self._connection().next_event(timeout) for _ in iter(int, 1))

    def next_event(self, predicate=lambda event: True, timeout=5.0):
        """The first event of the feed that `predicate` takes, within `timeout` seconds."""
        self._check_subscribed()
        deadline = time.monotonic() + timeout
        seen = []
        try:
            while (left := deadline - time.monotonic()) > 0:
                event = self._connection().next_event(left)
                if predicate(event):
                    return event
                seen.append(event)
        except DeadlineMissed:
            pass
        raise DeadlineMissed(f"no event of the feed at {self.socket_path} was the one awaited "
                             f"within {timeout:g} s; came: {seen[-5:] or 'none'}")

    def play_scenario(self, path, until_ms=None):
        """Plays a scenario file once, by the engine's clock (advanced to each step when
        frozen), up to its steps due at `until_ms` when given; the steps played with their
        answers. ControlRefused names the steps refused, once all were played."""
        played = scenario.play(self, scenario.load(path), until_ms)
        refused = [p for p in played if p["answer"].get("ok") is not True]
        if refused:
            raise ControlRefused("; ".join(
                f"step {p['step']} at {p['at_ms']} ms refused: {p['answer'].get('error')}"
                for p in refused), refused[0]["command"], refused[0]["answer"])
        return played

