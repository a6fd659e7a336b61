#!/usr/bin/env python3
"""pldweb in a real headless Chromium, driven over its DevTools pipe; and pldweb's answers to bad
requests. Everything started here runs in a process group of its own, dies with this script,
and is stopped before it returns; only 127.0.0.1 and a Unix socket are used."""
import argparse
import ctypes
import http.client
import json
import os
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.request

SKIP = 77
HERE = os.path.dirname(os.path.abspath(__file__))
CATALOGUE = os.path.join(HERE, "catalogue.json")
CHROMIUM_FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                  "--no-first-run", "--disable-background-networking",
                  "--disable-component-update", "--disable-sync", "--remote-debugging-pipe",
                  "--disable-dev-shm-usage"]  # a container's /dev/shm is often too small

# The catalogue's table as the page shows it: device, GddId, label, module, value, access.
TABLE = [
    ["1", "101", "Supply setpoint", "1", "60.0 degC", "rw"],
    ["1", "102", "Operating mode", "1", "Comfort", "rw"],
    ["1", "103", "Burner starts", "1", "1234", "r"],
    ["2", "200", "Pump speed", "1", "40 %", "rw"],
    ["2", "200", "Pump speed", "2", "55 %", "rw"],
]
ACTIVE_EVENTS = [
    "event 3 (Remote sensor not answering), group 1: state 1",
    "event 4 (Pump 2 stopped), group 3: state 2",
]
P101 = "/api/devices/1/points/101"
CHUNKED = "a body in chunks, of no stated length: refused on its headers, before any of it is sent"
OVERSIZED = "a body stated as over 64 KiB: refused on its headers, before any of it is sent"
# The headers each of these bodies is announced with; none of the body follows them.
UNSENT = {CHUNKED: ("Transfer-Encoding", "chunked"),
          OVERSIZED: ("Content-Length", str(64 * 1024 + 1))}
# method, path, body, HTTP status, fields the answer holds
API_CASES = [
    ("GET", P101, None, 200, {"label": "Supply setpoint", "unit": "degC",
                              "values": [{"module": 1, "value": "60.0"}]}),
    ("PUT", P101 + "/value", {"value": "65.5"}, 200, {"result": "0 (ok)", "value": "65.5"}),
    ("PUT", P101 + "/value", {"value": "99"}, 422, {"rc": 2}),  # below the point's minimum
    ("PUT", "/api/devices/1/points/103/value", {"value": "1"}, 422, {"rc": 2}),  # read-only
    ("PUT", "/api/devices/9/points/101/value", {"value": "1"}, 404, {"rc": 4096}),
    ("PUT", "/api/devices/1/points/999/value", {"value": "1"}, 404, {"rc": 4097}),
    ("PUT", "/api/devices/1/points/70000/value", {"value": "1"}, 404, {}),
    ("PUT", P101 + "/value", {"value": "21", "module": 2}, 422, {"rc": 4098}),
    ("PUT", P101 + "/value", b'{"value":', 400, {}),
    ("PUT", P101 + "/value", {"valu": "21"}, 400, {}),
    ("PUT", P101 + "/value", {"value": 21}, 400, {}),
    ("PUT", P101 + "/value", {"value": "21", "module": 0}, 400, {}),
    ("PUT", P101 + "/value", OVERSIZED, 413, {}),
    ("PUT", P101 + "/value", CHUNKED, 411, {}),
    ("GET", P101, None, 200, {"values": [{"module": 1, "value": "65.5"}]}),
    ("GET", P101 + "/hierarchy", None, 200, {"report": 1020, "levels": [
        {"gddId": 1020, "module": 1, "auxValue": 2, "label": "Supply line"},
        {"gddId": 1000, "module": 1, "auxValue": 1, "label": "Boiler"}]}),
    ("GET", "/api/devices/1/points/103/hierarchy", None, 404, {}),
    ("GET", P101 + "/hierarchy?module=x", None, 400, {}),
    ("GET", "/api/devices/7", None, 404, {}),
    ("GET", "/api/devices/1/points/104", None, 404, {}),
    ("GET", "/api/events/active?timeout=10001", None, 400, {}),
    ("GET", "/api/events/active?timeout=10000", None, 200, {"events": [
        {"groupId": 1, "eventId": 3, "state": 1, "label": "Remote sensor not answering"},
        {"groupId": 3, "eventId": 4, "state": 2, "label": "Pump 2 stopped"}]}),
]


def wait_for(what, check, timeout=15.0):
    deadline = time.monotonic() + timeout
    while True:
        value = check()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out waiting for {what}")
        time.sleep(0.05)


def die_with_parent():
    # PR_SET_PDEATHSIG: a test killed on its timeout takes its children with it.
    ctypes.CDLL(None).prctl(1, signal.SIGKILL)


class Child:
    def __init__(self, args, setup=None, **kwargs):
        def prepare():
            die_with_parent()
            if setup:
                setup()
        self.name = os.path.basename(args[0])
        self.proc = subprocess.Popen(args, start_new_session=True, preexec_fn=prepare, **kwargs)

    def stop(self, timeout=5.0):
        """SIGTERM, then the exit status; the whole group is killed whatever happens."""
        try:
            if self.proc.poll() is None:
                os.killpg(self.proc.pid, signal.SIGTERM)
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            raise AssertionError(f"{self.name} did not stop within {timeout} s of SIGTERM")
        finally:
            try:
                os.killpg(self.proc.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            self.proc.wait()


class Browser:
    """Chromium's DevTools protocol over --remote-debugging-pipe: JSON messages ended by NUL,
    read from its fd 4, written to its fd 3."""

    def __init__(self, chromium, profile):
        to_r, self.to_chrome = os.pipe()
        self.from_chrome, from_w = os.pipe()

        def fds():
            os.dup2(to_r, 3)
            os.dup2(from_w, 4)
        self.child = Child([chromium, *CHROMIUM_FLAGS, f"--user-data-dir={profile}"], fds,
                           close_fds=False, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
        os.close(to_r)
        os.close(from_w)
        self.buffer = b""
        self.last_id = 0
        self.session = None

    def call(self, method, params=None, session=None, timeout=15.0):
        self.last_id += 1
        message = {"id": self.last_id, "method": method, "params": params or {}}
        if session:
            message["sessionId"] = session
        os.write(self.to_chrome, json.dumps(message).encode() + b"\0")
        deadline = time.monotonic() + timeout
        while True:
            while b"\0" in self.buffer:
                raw, self.buffer = self.buffer.split(b"\0", 1)
                answer = json.loads(raw)
                if answer.get("id") == self.last_id:
                    if "error" in answer:
                        raise AssertionError(f"{method}: {answer['error']}")
                    return answer["result"]
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                raise AssertionError(f"no answer from Chromium to {method}")
            if select.select([self.from_chrome], [], [], remaining)[0]:
                chunk = os.read(self.from_chrome, 1 << 16)
                if not chunk:
                    raise AssertionError("Chromium closed its pipe")
                self.buffer += chunk

    def open(self, url):
        target = self.call("Target.createTarget", {"url": url})["targetId"]
        self.session = self.call("Target.attachToTarget",
                                 {"targetId": target, "flatten": True})["sessionId"]

    def js(self, expression):
        result = self.call("Runtime.evaluate", {"expression": expression, "returnByValue": True},
                           self.session)
        if "exceptionDetails" in result:
            raise AssertionError(f"{expression}: {result['exceptionDetails']}")
        return result["result"].get("value")

    def close(self):
        try:
            self.call("Browser.close", timeout=5)
        except (AssertionError, OSError):
            pass
        os.close(self.to_chrome)
        os.close(self.from_chrome)
        self.child.stop()


def request(base, method, path, body=None):
    if isinstance(body, str) and body in UNSENT:
        connection = http.client.HTTPConnection(base.split("//", 1)[1], timeout=10)
        try:
            connection.putrequest(method, path)
            connection.putheader(*UNSENT[body])
            connection.endheaders()
            res = connection.getresponse()
            return res.status, json.loads(res.read())
        finally:
            connection.close()
    data = body if isinstance(body, bytes) or body is None else json.dumps(body).encode()
    req = urllib.request.Request(base + path, data=data, method=method,
                                 headers={"Content-Type": "application/json"})
    try:
        with urllib.request.urlopen(req, timeout=10) as res:
            return res.status, json.loads(res.read())
    except urllib.error.HTTPError as e:
        return e.code, json.loads(e.read())


def accepts(path):
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
        try:
            s.connect(path)
            return True
        except OSError:
            return False


def start_pldweb(args, scratch):
    engine = f"sim:{CATALOGUE}"
    children = []
    if args.daemon:
        path = os.path.join(scratch, "engine.sock")
        children.append(Child([args.daemon, "--socket", path, "--catalogue", CATALOGUE,
                               "--state", os.path.join(scratch, "state.json")],
                              stdout=subprocess.DEVNULL))
        # The socket file exists from bind(), before the daemon listens.
        wait_for("the engine daemon to accept", lambda: accepts(path))
        engine = f"unix:{path}"
    web = Child([args.pldweb, "--engine", engine, "--catalogue", CATALOGUE, "--port", "0"],
                stdout=subprocess.PIPE)
    children.insert(0, web)
    if not select.select([web.proc.stdout], [], [], 15)[0]:
        raise AssertionError("pldweb did not say where it listens")
    line = web.proc.stdout.readline().decode()
    if "http://" not in line:
        raise AssertionError(f"pldweb: {line!r}")
    return children, line.split("http://", 1)[1].split("/", 1)[0]


def check_page(base, browser):
    browser.open(base + "/")
    wait_for("the table and the event stream", lambda: browser.js(
        "document.body?.dataset.stream === 'open' && document.body.dataset.loaded === 'yes'"))
    rows = browser.js("[...document.querySelectorAll('#points tbody tr')]"
                      ".map(tr => [...tr.cells].map(c => c.textContent))")
    assert rows == TABLE, f"table: {rows}"

    browser.js("window.sameDocument = true")
    status, answer = request(base, "PUT", "/api/devices/2/points/200/value",
                             {"value": "77", "module": 2})
    assert (status, answer.get("result")) == (200, "0 (ok)"), answer
    # Only a value change pushed to the page marks the cell as changed; a reload would lose
    # the marker set above.
    wait_for("the write on the page", lambda: browser.js(
        "window.sameDocument === true && document.getElementById('v-2-200-2').textContent"
        " === '77 %' && document.getElementById('v-2-200-2').classList.contains('changed')"))

    shown = wait_for("the active events", lambda: browser.js(
        "[...document.querySelectorAll('#events li')].map(li => li.textContent)"))
    assert shown == ACTIVE_EVENTS, f"active events: {shown}"


def check_api(base):
    for method, path, body, status, fields in API_CASES:
        got, answer = request(base, method, path, body)
        case = f"{method} {path} {body!r:.60}"
        assert got == status, f"{case}: HTTP {got}, expected {status}: {answer}"
        assert status < 400 or isinstance(answer.get("error"), str), f"{case}: no error: {answer}"
        for key, value in fields.items():
            assert answer.get(key) == value, f"{case}: {key} is {answer.get(key)!r}"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--pldweb", required=True)
    parser.add_argument("--daemon", help="pld-engined: the console reaches the engine through it")
    parser.add_argument("--check", choices=["page", "api"], required=True)
    args = parser.parse_args()
    if args.daemon == "":
        print("no engine daemon in this build")
        return SKIP
    chromium = shutil.which("chromium")
    if args.check == "page" and chromium is None:
        print("no chromium on this machine (scripts/ensure-packages browser installs it)")
        return SKIP

    signal.signal(signal.SIGALRM, lambda *_: (_ for _ in ()).throw(AssertionError("timed out")))
    signal.alarm(90)
    with tempfile.TemporaryDirectory(prefix="pldweb-test-") as scratch:
        children, address = start_pldweb(args, scratch)
        browser = None
        try:
            base = "http://" + address
            if args.check == "api":
                check_api(base)
            else:
                browser = Browser(chromium, os.path.join(scratch, "profile"))
                check_page(base, browser)
        finally:
            if browser:
                browser.close()
            codes = [(c.name, c.stop()) for c in children]
        assert all(code == 0 for _, code in codes), f"exit statuses after SIGTERM: {codes}"
    print("ok")
    return 0


if __name__ == "__main__":
    sys.exit(main())
