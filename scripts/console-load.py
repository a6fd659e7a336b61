#!/usr/bin/env python3
"""console-load.py [PLDWEB [PLD_ENGINED]]: what pldweb costs under hostile load, on loopback only.
It starts the engine daemon and pldweb, then, in a process of its own, holds 1,000 idle
connections, 100 slow-header connections (one byte a second) and 16 open event streams, spread
over the loopback addresses 127.0.0.2 to 127.0.0.9 (so that both the cap per client address and
the cap on all connections are reached), and opens each one again as soon as pldweb closes it.
Meanwhile it times 1,000 GET /api/engine requests, each on a fresh connection from 127.0.0.1
with the console's token; an answer other than 200, or none, is counted, not fatal. It prints
their p50 and p99, the non-200 answers, pldweb's resident memory before, during and after, its
log lines, and the machine's load average. Goal: p99 within 100 ms on an idle machine, RSS under
64 MB, and after the load RSS within 10 MB of where it started. It stops by itself and leaves
nothing running. Defaults: build/host/tools/pldweb/pldweb and
build/host/tools/pld-engined/pld-engined."""
import math
import multiprocessing
import os
import resource
import selectors
import socket
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests",
                                "browser"))
from console_test import TOKENS, start, stop  # noqa: E402

IDLE, SLOW, STREAMS, REQUESTS = 1000, 100, 16, 1000
SOURCES = [f"127.0.0.{i}" for i in range(2, 10)]


def rss_mib(pid):
    with open(f"/proc/{pid}/status") as f:
        kib = next(int(line.split()[1]) for line in f if line.startswith("VmRSS"))
    return kib / 1024


class Load:
    """The hostile sockets; a closed one is opened again at once, from the same address."""

    def __init__(self, address, token):
        host, port = address.rsplit(":", 1)
        self.target = (host, int(port))
        self.stream_request = (f"GET /api/stream HTTP/1.1\r\nHost: {address}\r\n"
                               f"X-Console-Token: {token}\r\n\r\n").encode()
        self.selector = selectors.DefaultSelector()
        self.kinds = {}
        self.reopened = 0
        self.streams = {}  # the statuses of the streams' answers
        # The pages first, as a user's would be open before the crowd comes.
        for n in range(STREAMS):
            self.open("stream", SOURCES[n % len(SOURCES)])
        deadline = time.monotonic() + 5
        while self.streams.get("200", 0) < STREAMS and time.monotonic() < deadline:
            self.turn(0.05)
        for n in range(IDLE + SLOW):
            self.open("idle" if n < IDLE else "slow", SOURCES[n % len(SOURCES)])

    def open(self, kind, source):
        s = socket.socket()
        s.setblocking(False)
        s.bind((source, 0))
        s.connect_ex(self.target)
        self.kinds[s] = (kind, source)
        self.selector.register(s, selectors.EVENT_READ | selectors.EVENT_WRITE)

    def turn(self, timeout):
        for key, events in self.selector.select(timeout):
            s = key.fileobj
            kind, source = self.kinds[s]
            try:
                if events & selectors.EVENT_READ:
                    data = s.recv(65536)
                    if not data:
                        raise ConnectionResetError
                    if kind == "stream" and data.startswith(b"HTTP/1.1 "):
                        self.streams[data[9:12].decode()] = \
                            self.streams.get(data[9:12].decode(), 0) + 1
                if events & selectors.EVENT_WRITE:
                    self.selector.modify(s, selectors.EVENT_READ)
                    if kind == "stream":
                        s.send(self.stream_request)
                    elif kind == "slow":
                        s.send(b"GET /api/engine HTTP/1.1\r\n")
            except OSError:
                self.selector.unregister(s)
                del self.kinds[s]
                s.close()
                self.reopened += 1
                self.open(kind, source)

    def drip(self):
        """One more header byte on every slow connection."""
        for s, (kind, _) in list(self.kinds.items()):
            if kind == "slow":
                try:
                    s.send(b"X")
                except OSError:
                    pass

    def held(self):
        return {k: sum(1 for v in self.kinds.values() if v[0] == k)
                for k in ("idle", "slow", "stream")}


def hold(address, token, stop_event, result):
    """The load's process: turns until told to stop, then reports what it held."""
    load = Load(address, token)
    last_drip = time.monotonic()
    while not stop_event.is_set():
        load.turn(0.05)
        if time.monotonic() - last_drip >= 1:
            load.drip()
            last_drip = time.monotonic()
    result.send((load.held(), load.reopened, load.streams))


def timed_get(address, token):
    """The milliseconds of one request on a fresh connection, and its status (0: none)."""
    host, port = address.rsplit(":", 1)
    began = time.monotonic()
    answer = b""
    try:
        with socket.create_connection((host, int(port)), timeout=10) as s:
            s.sendall(f"GET /api/engine HTTP/1.1\r\nHost: {address}\r\nX-Console-Token: {token}"
                      "\r\nConnection: close\r\n\r\n".encode())
            while chunk := s.recv(65536):
                answer += chunk
    except OSError:
        pass
    status = int(answer[9:12]) if answer.startswith(b"HTTP/1.1 ") else 0
    return (time.monotonic() - began) * 1000, status


def main():
    root = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "build", "host", "tools")
    pldweb = sys.argv[1] if len(sys.argv) > 1 else os.path.join(root, "pldweb", "pldweb")
    daemon_exe = sys.argv[2] if len(sys.argv) > 2 else os.path.join(root, "pld-engined",
                                                                     "pld-engined")
    resource.setrlimit(resource.RLIMIT_NOFILE, (8192, 8192))
    load_before = os.getloadavg()
    # pldweb's stderr: it appends whatever this reads.
    with tempfile.TemporaryDirectory(prefix="pldweb-load-") as scratch, \
            tempfile.TemporaryFile("a+b") as log:
        web, daemon, address = start(pldweb, daemon_exe, scratch, stderr=log)
        token = TOKENS[address]
        try:
            time.sleep(0.5)
            base = rss_mib(web.pid)
            stop_event = multiprocessing.Event()
            result, result_end = multiprocessing.Pipe(duplex=False)
            loader = multiprocessing.Process(target=hold,
                                             args=(address, token, stop_event, result_end))
            loader.start()
            time.sleep(2)  # let the load settle
            log_start = log.seek(0, os.SEEK_END)
            samples, peak = [], base
            began = time.monotonic()
            for _ in range(REQUESTS):
                samples.append(timed_get(address, token))
                peak = max(peak, rss_mib(web.pid))
            seconds = time.monotonic() - began
            load_during = os.getloadavg()
            log.seek(log_start)
            log_lines = sum(1 for line in log if line.startswith(b"pldweb: "))
            stop_event.set()
            held, reopened, streams = result.recv()
            loader.join()
            time.sleep(2)
            after = rss_mib(web.pid)
        finally:
            stop(web)
            stop(daemon)
    latencies = sorted(ms for ms, _ in samples)
    failed = {}
    for _, status in samples:
        if status != 200:
            failed[status] = failed.get(status, 0) + 1
    p50 = statistics.median(latencies)
    p99 = latencies[math.ceil(len(latencies) * 0.99) - 1]
    print(f"pldweb: {os.path.realpath(pldweb)}")
    print(f"load: {IDLE} idle, {SLOW} slow-header, {STREAMS} stream connections from "
          f"{SOURCES[0]} to {SOURCES[-1]}, each reopened as soon as pldweb closed it "
          f"({reopened} reopened; held at the end {held}; the streams' answers {streams})")
    print(f"GET /api/engine on a fresh connection from 127.0.0.1, {len(latencies)} requests in "
          f"{seconds:.1f} s: p50 {p50:.1f} ms, p99 {p99:.1f} ms, max {latencies[-1]:.1f} ms "
          f"(goal: p99 within 100 ms); answers not 200: {sum(failed.values())} "
          f"{failed or ''}(status 0: no answer)")
    print(f"pldweb VmRSS: {base:.1f} MiB before, {peak:.1f} MiB at most during (goal: under 64), "
          f"{after:.1f} MiB after (goal: within 10 of before)")
    print(f"pldweb's log lines during the timed requests: {log_lines}")
    print("load average (1, 5, 15 min): before " + " ".join(f"{x:.2f}" for x in load_before) +
          ", at the end of the timed requests " + " ".join(f"{x:.2f}" for x in load_during) +
          f", {os.cpu_count()} CPUs")
    return 0


if __name__ == "__main__":
    sys.exit(main())
