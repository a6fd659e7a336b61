"""A page in headless Chromium driven over its DevTools pipe (--remote-debugging-pipe: JSON
messages ended by NUL, written to its fd 3 and read from its fd 4), enough for a test to load
the console and read what it shows; every read of the pipe has a deadline. Chromium is
Debian's (`chromium`), or the one named by CHROMIUM."""
import fcntl
import json
import os
import select
import shutil
import subprocess
import tempfile
import time

from .processes import spawn, stop_group

# --disable-dev-shm-usage: a container's /dev/shm is often too small.
FLAGS = ("--headless --no-sandbox --disable-gpu --disable-quic --no-first-run --disable-sync"
         " --disable-background-networking --disable-component-update --disable-dev-shm-usage"
         " --remote-debugging-pipe").split()
CALL_S = 10.0


def chromium_path(given=None):
    path = given or os.environ.get("CHROMIUM") or shutil.which("chromium")
    if not path:
        raise RuntimeError("no Chromium: install Debian's chromium, or name one in CHROMIUM")
    return path


def _above_4(fd):
    # Both pipes above fd 4: moving an end onto 3 or 4 must not clobber the other end.
    moved = fcntl.fcntl(fd, fcntl.F_DUPFD_CLOEXEC, 5)
    os.close(fd)
    return moved


class Page:
    """`url` open in a Chromium of its own; `js(expression)` its value, `wait_for(expression)`
    its first truthy value within a timeout."""

    def __init__(self, url, chromium=None):
        self._profile = tempfile.TemporaryDirectory(prefix="zvpld-chromium-")
        to_r, self._to, self._from, from_w = (_above_4(fd) for fd in (*os.pipe(), *os.pipe()))

        def setup():
            os.dup2(to_r, 3)
            os.dup2(from_w, 4)
        self._child = spawn(
            [chromium_path(chromium), *FLAGS, f"--user-data-dir={self._profile.name}"], setup,
            close_fds=False, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL)
        os.close(to_r)
        os.close(from_w)
        self._buffer, self._last_id, self._session = b"", 0, None
        try:
            target = self.call("Target.createTarget", {"url": url})["targetId"]
            self._session = self.call("Target.attachToTarget",
                                      {"targetId": target, "flatten": True})["sessionId"]
        except BaseException:
            self.close()
            raise

    def call(self, method, params):
        """The result of one DevTools method, within CALL_S seconds."""
        self._last_id += 1
        message = {"id": self._last_id, "method": method, "params": params}
        if self._session:
            message["sessionId"] = self._session
        os.write(self._to, json.dumps(message).encode() + b"\0")
        deadline = time.monotonic() + CALL_S
        while True:
            while b"\0" not in self._buffer:
                left = deadline - time.monotonic()
                if left <= 0 or not select.select([self._from], [], [], left)[0]:
                    raise TimeoutError(f"Chromium did not answer {method} within {CALL_S:g} s")
                chunk = os.read(self._from, 1 << 16)
                if not chunk:
                    raise RuntimeError("Chromium closed its pipe")
                self._buffer += chunk
            raw, self._buffer = self._buffer.split(b"\0", 1)
            answer = json.loads(raw)
            if answer.get("id") == self._last_id:
                if "error" in answer:
                    raise RuntimeError(f"{method}: {answer['error']}")
                return answer["result"]

    def js(self, expression):
        """The value of a JavaScript expression in the page (promises awaited)."""
        result = self.call("Runtime.evaluate", {"expression": expression,
                                                "returnByValue": True, "awaitPromise": True})
        if "exceptionDetails" in result:
            raise RuntimeError(f"{expression}: {result['exceptionDetails']}")
        return result["result"].get("value")

    def wait_for(self, expression, timeout=10.0, what=None):
        """The first truthy value of `expression`, polled; TimeoutError naming it (or `what`)
        and its last value."""
        deadline = time.monotonic() + timeout
        while not (value := self.js(expression)):
            if time.monotonic() > deadline:
                raise TimeoutError(f"waited {timeout:g} s for {what or expression}; "
                                   f"last: {value!r}")
            time.sleep(0.05)
        return value

    def close(self):
        if self._to is None:
            return  # closed already
        stop_group(self._child)  # Chromium's helpers are in its group: they go too
        for fd in (self._to, self._from):
            os.close(fd)
        self._to = self._from = None
        self._profile.cleanup()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
