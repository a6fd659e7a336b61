#!/usr/bin/env python3
"""console-load.py PLDWEB PLD_ENGINED: what pldweb costs under hostile load, on 127.0.0.1 only.
It starts the engine daemon and pldweb, then holds 1,000 idle connections, 100 slow-header
connections (one byte a second) and 16 open event streams, reopening what pldweb closes, while
it times 200 normal GET /api/engine requests; it prints their p50 and p99 and pldweb's resident
memory before, during and after. Goal: p99 within 100 ms, RSS under 64 MB, and after the load
RSS within 10 MB of where it started. It stops by itself (about 20 s) and leaves nothing running.
Defaults: build/host/tools/pldweb/pldweb and build/host/tools/pld-engined/pld-engined."""
import os
import resource
import selectors
import socket
import statistics
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests",
                                "browser"))
from console_test import start, stop  # noqa: E402

IDLE, SLOW, STREAMS, REQUESTS = 1000, 100, 16, 200


def rss_mib(pid):
    with open(f"/proc/{pid}/status") as f:
        kib = next(int(line.split()[1]) for line in f if line.startswith("VmRSS"))
    return kib / 1024


def connect(address):
    host, port = address.rsplit(":", 1)
    s = socket.socket()
    s.setblocking(False)
    s.connect_ex((host, int(port)))
    return s


class Load:
    """The hostile sockets; a closed one is opened again on the next turn."""

    def __init__(self, address):
        self.address = address
        self.selector = selectors.DefaultSelector()
        self.kinds = {}
        self.reopened = 0
        for kind, count in (("idle", IDLE), ("slow", SLOW), ("stream", STREAMS)):
            for _ in range(count):
                self.open(kind)

    def open(self, kind):
        s = connect(self.address)
        self.kinds[s] = [kind, 0]
        self.selector.register(s, selectors.EVENT_READ | selectors.EVENT_WRITE)

    def turn(self, timeout=0.05):
        for key, events in self.selector.select(timeout):
            s = key.fileobj
            kind, sent = self.kinds[s]
            try:
                if events & selectors.EVENT_READ and not s.recv(65536):
                    raise ConnectionResetError
                if events & selectors.EVENT_WRITE:
                    self.selector.modify(s, selectors.EVENT_READ)
                    if kind == "stream":
                        s.send(f"GET /api/stream HTTP/1.1\r\nHost: {self.address}\r\n\r\n"
                               .encode())
                    elif kind == "slow":
                        s.send(b"GET /api/engine HTTP/1.1\r\n")
            except OSError:
                self.selector.unregister(s)
                del self.kinds[s]
                s.close()
                self.reopened += 1
                self.open(kind)

    def drip(self):
        """One more header byte on every slow connection."""
        for s, (kind, sent) in list(self.kinds.items()):
            if kind == "slow":
                try:
                    s.send(b"X")
                except OSError:
                    pass

    def close(self):
        for s in list(self.kinds):
            s.close()
        self.selector.close()


def timed_get(address):
    host, port = address.rsplit(":", 1)
    began = time.monotonic()
    with socket.create_connection((host, int(port)), timeout=10) as s:
        s.sendall(f"GET /api/engine HTTP/1.1\r\nHost: {address}\r\nConnection: close\r\n\r\n"
                  .encode())
        answer = b""
        while chunk := s.recv(65536):
            answer += chunk
    assert answer.startswith(b"HTTP/1.1 200"), answer[:80]
    return (time.monotonic() - began) * 1000


def main():
    root = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "build", "host", "tools")
    pldweb = sys.argv[1] if len(sys.argv) > 1 else os.path.join(root, "pldweb", "pldweb")
    daemon_exe = sys.argv[2] if len(sys.argv) > 2 else os.path.join(root, "pld-engined",
                                                                     "pld-engined")
    resource.setrlimit(resource.RLIMIT_NOFILE, (8192, 8192))
    with tempfile.TemporaryDirectory(prefix="pldweb-load-") as scratch:
        import subprocess
        web, daemon, address = start(pldweb, daemon_exe, scratch, stderr=subprocess.DEVNULL)
        try:
            time.sleep(0.5)
            base = rss_mib(web.pid)
            load = Load(address)
            for _ in range(40):  # let the load settle: two seconds
                load.turn()
            latencies, peak, last_drip = [], base, time.monotonic()
            for _ in range(REQUESTS):
                load.turn(0.01)
                if time.monotonic() - last_drip >= 1:
                    load.drip()
                    last_drip = time.monotonic()
                latencies.append(timed_get(address))
                peak = max(peak, rss_mib(web.pid))
            held = {k: sum(1 for v in load.kinds.values() if v[0] == k)
                    for k in ("idle", "slow", "stream")}
            reopened = load.reopened
            load.close()
            time.sleep(2)
            after = rss_mib(web.pid)
        finally:
            stop(web)
            stop(daemon)
    latencies.sort()
    p50 = statistics.median(latencies)
    p99 = latencies[int(len(latencies) * 0.99) - 1]
    print(f"load: {IDLE} idle, {SLOW} slow-header, {STREAMS} stream connections kept open "
          f"(sockets held at the end {held}; {reopened} reopened after pldweb closed them)")
    print(f"GET /api/engine over {REQUESTS} requests: p50 {p50:.1f} ms, p99 {p99:.1f} ms, "
          f"max {latencies[-1]:.1f} ms (goal: p99 within 100 ms)")
    print(f"pldweb VmRSS: {base:.1f} MiB before, {peak:.1f} MiB at most during (goal: under 64), "
          f"{after:.1f} MiB after (goal: within 10 of before)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
