"""A scenario file played once through a client, as the engine's own player plays it: a reset
with the file's seed, then each step when the engine's clock comes to its time (a frozen clock
is advanced there, in smaller steps while the engine finds one too large), sent with its place
so that the event feed tells the step. Repeated passes are left to the engine's own player."""
import json
import os
import stat
import time

MAX_FILE = 1 << 20
MAX_DEPTH = 32
MAX_AT_MS = 86400000
# How long a running clock is slept on at once, to see a change of its speed.
SLICE_S = 0.1


def _depth(text):
    """The deepest nesting of arrays and objects in a JSON text."""
    depth = deepest = 0
    in_text = escaped = False
    for c in text:
        if in_text:
            escaped, in_text = (False, True) if escaped else (c == "\\", c != '"')
        elif c == '"':
            in_text = True
        elif c in "[{":
            depth += 1
            deepest = max(deepest, depth)
        elif c in "]}":
            depth -= 1
    return deepest


def read_file(path, limit=MAX_FILE):
    """A regular file's text, of at most `limit` bytes: a FIFO or a device is not opened for
    reading, a larger file not read."""
    fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    with os.fdopen(fd, "rb") as f:
        info = os.fstat(fd)
        if not stat.S_ISREG(info.st_mode):
            raise ValueError(f"{path}: not a regular file")
        data = f.read(limit + 1)
    if len(data) > limit:
        raise ValueError(f"{path}: more than {limit} bytes")
    return data.decode("utf-8")


def load(path):
    """The scenario in `path`: {"name", "seed", "steps": [{"step", "at_ms", "note",
    "command"}]}, the steps in the order they play."""
    text = read_file(path)
    if _depth(text) > MAX_DEPTH:
        raise ValueError(f"{path}: nested more than {MAX_DEPTH} levels deep")
    root = json.loads(text)
    if not isinstance(root, dict) or not isinstance(root.get("steps"), list):
        raise ValueError(f"{path}: a scenario is an object with a list of steps")
    unknown = set(root) - {"name", "seed", "repeat", "steps"}
    if unknown:
        raise ValueError(f"{path}: unknown field {sorted(unknown)[0]!r}")
    if root.get("repeat", 1) != 1:
        raise ValueError(f"{path}: repeat {root['repeat']}: this player plays one pass; "
                         f"pld-engined --scenario or pldctl scenario run repeat")
    name = root.get("name", os.path.splitext(os.path.basename(path))[0])
    steps, at = [], 0
    for place, step in enumerate(root["steps"], 1):
        if not isinstance(step, dict) or ("at" in step) == ("after" in step):
            raise ValueError(f"{path}: step {place}: exactly one of at and after is needed")
        given = step["at"] if "at" in step else step["after"]
        # JSON's true is no time, though Python takes it for 1.
        if type(given) is not int:
            raise ValueError(f"{path}: step {place}: its {'at' if 'at' in step else 'after'} "
                             f"must be a whole number of ms, not {json.dumps(given)}")
        at = given if "at" in step else at + given
        if not 0 <= at <= MAX_AT_MS:
            raise ValueError(f"{path}: step {place}: its time must be 0 to {MAX_AT_MS} ms")
        if not isinstance(step.get("note", ""), str):
            raise ValueError(f"{path}: step {place}: its note must be a text")
        command = {k: v for k, v in step.items() if k not in ("at", "after", "note")}
        steps.append({"step": place, "at_ms": at, "note": step.get("note", ""),
                      "command": command})
    steps.sort(key=lambda s: s["at_ms"])  # stable: steps at one time in the file's order
    return {"name": name, "seed": root.get("seed", 1), "steps": steps}


def _clock(client):
    clock = client.status()["clock"]
    return clock["ms"], clock["frozen"], clock.get("speed", 1)


def _until(client, due_ms):
    """Until the engine's clock is at `due_ms`."""
    step_ms = 0  # the longest advance to try; 0: the whole way
    while True:
        now, frozen, speed = _clock(client)
        if now >= due_ms:
            return
        if not frozen:
            time.sleep(min((due_ms - now) / 1000 / speed, SLICE_S))
            continue
        ms = min(step_ms, due_ms - now) if step_ms else due_ms - now
        answer = client.command({"do": "clock", "action": "advance", "ms": ms})
        if answer.get("ok") is True:
            step_ms = ms * 2 if step_ms else 0
        elif ms > 1 and "take smaller steps" in str(answer.get("error")):
            step_ms = ms // 2
        else:
            client.advance(ms)  # raises the engine's refusal


def play(client, scenario, until_ms=None):
    """Each step with the engine's answer, as played: those due by `until_ms`, if given."""
    client.reset(seed=scenario["seed"])
    start, _, _ = _clock(client)
    played = []
    for step in scenario["steps"]:
        if until_ms is not None and step["at_ms"] > until_ms:
            break
        _until(client, start + step["at_ms"])
        place = {"scenario": scenario["name"], "pass": 1, "step": step["step"],
                 "at_ms": step["at_ms"], "note": step["note"]}
        played.append({**step, "answer": client.command(step["command"], step=place)})
    return played
