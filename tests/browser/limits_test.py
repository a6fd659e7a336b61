#!/usr/bin/env python3
"""limits_test.py PLDWEB PLD_ENGINED CASE: pldweb on the engine daemon against clients that are
slow, greedy or many, on 127.0.0.1 only. Each case holds a bounded number of sockets for a
bounded time; a normal request must still be answered, and what pldweb holds stays bounded."""
import contextlib
import ctypes
import os
import resource
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from console_test import start, stop  # noqa: E402

GET = "GET /api/engine HTTP/1.1\r\nHost: {}\r\nConnection: close\r\n\r\n"


def connect(address, timeout=5):
    host, port = address.rsplit(":", 1)
    return socket.create_connection((host, int(port)), timeout=timeout)


def status_of(address, request=GET):
    """The status of a normal request; a request left unanswered fails on its timeout."""
    with connect(address) as s:
        s.sendall(request.format(address).encode())
        head = s.recv(4096).decode(errors="replace")
    return int(head.split(" ", 2)[1])


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("VmRSS"))


def closed_by_server(s, within):
    """True when the server closes `s` (or resets it) within `within` seconds."""
    s.settimeout(within)
    try:
        while s.recv(4096):
            pass
        return True
    except ConnectionResetError:
        return True
    except socket.timeout:
        return False


def dripping(sockets, seconds):
    """A thread that sends a request line, then one header byte every half second on each."""
    def drip():
        for i in range(int(seconds * 2)):
            for s in sockets:
                with contextlib.suppress(OSError):
                    s.send(b"X" if i else b"GET /api/engine HTTP/1.1\r\n")
            time.sleep(0.5)
    thread = threading.Thread(target=drip, daemon=True)
    thread.start()
    return thread


def slow_headers(address, web, daemon):
    # More than a pool of workers would have, each sending a header byte at a time.
    slow = [connect(address) for _ in range(30)]
    drip = dripping(slow, 12)
    time.sleep(1)
    assert status_of(address) == 200
    # pldweb's default: a request must come whole within 10 s.
    assert all(closed_by_server(s, 15) for s in slow), "a slow head outlived its deadline"
    drip.join()


def endless_headers(address, web, daemon):
    before = rss_kib(web.pid)
    s = connect(address)
    s.sendall(f"GET /api/engine HTTP/1.1\r\nHost: {address}\r\n".encode())
    sent = 0
    try:
        while sent < 8 << 20:
            s.sendall(b"X-Line-%d: %s\r\n" % (sent, b"a" * 40))
            sent += 60
    except (BrokenPipeError, ConnectionResetError):
        pass
    assert sent < 1 << 20, f"{sent} bytes of header lines taken"
    assert rss_kib(web.pid) - before < 16 << 10, "the head grew the process"
    assert status_of(address) == 200


def idle_connections(address, web, daemon):
    idle = [connect(address) for _ in range(600)]
    assert status_of(address) == 200
    closed = sum(closed_by_server(s, 0.01) for s in idle)
    assert closed >= 600 - 256, f"only {closed} idle connections closed over the cap"


STREAM = "GET /api/stream HTTP/1.1\r\nHost: {}\r\n\r\n"


def streams_and_slow_sockets(address, web, daemon):
    streams = [connect(address) for _ in range(16)]
    for s in streams:
        s.sendall(STREAM.format(address).encode())
        assert s.recv(4096).startswith(b"HTTP/1.1 200")
    slow = [connect(address) for _ in range(8)]
    drip = dripping(slow, 6)
    time.sleep(1)
    assert status_of(address) == 200
    assert status_of(address, STREAM) == 503  # the 17th page
    drip.join()


def cap_reached(address, web, daemon):
    # Every connection streams: none can give way, and a new one is told so.
    streams = [connect(address) for _ in range(8)]
    for s in streams:
        s.sendall(STREAM.format(address).encode())
        assert s.recv(4096).startswith(b"HTTP/1.1 200")
    assert status_of(address) == 503


def hung_engine(address, web, daemon):
    # A daemon that keeps its connection but answers nothing: every request is answered 502 or
    # 504 within about two of the client's deadlines (500 ms here).
    os.kill(daemon.pid, signal.SIGSTOP)
    try:
        for method, path, body in [("GET", "/api/engine", None), ("GET", "/api/devices", None),
                                   ("GET", "/api/devices/1", None),
                                   ("GET", "/api/devices/1/points/101", None),
                                   ("GET", "/api/devices/1/points/101/hierarchy", None),
                                   ("PUT", "/api/devices/1/points/101/value", '{"value": "1"}'),
                                   ("GET", "/api/events/active", None)]:
            head = f"{method} {path} HTTP/1.1\r\nHost: {{}}\r\nConnection: close\r\n"
            if body:
                head += f"Content-Type: application/json\r\nContent-Length: {len(body)}\r\n"
            request = head + "\r\n" + (body or "").replace("{", "{{").replace("}", "}}")
            started = time.monotonic()
            status = status_of(address, request)
            assert status in (502, 504), f"{method} {path}: {status}"
            assert time.monotonic() - started < 1.5, f"{method} {path}: answered late"
    finally:
        os.kill(daemon.pid, signal.SIGCONT)


def peer_socket_option(pid, ours, level, option):
    """`option` of the socket that process `pid` holds for our connected socket `ours`, read
    through a copy of its descriptor (pidfd_getfd); None when this process may not copy it."""
    libc = ctypes.CDLL(None, use_errno=True)
    pidfd = os.pidfd_open(pid)
    try:
        for name in os.listdir(f"/proc/{pid}/fd"):
            with contextlib.suppress(OSError):
                if not os.readlink(f"/proc/{pid}/fd/{name}").startswith("socket:"):
                    continue
            fd = libc.syscall(438, pidfd, int(name), 0)  # SYS_pidfd_getfd
            if fd < 0:
                return None
            with socket.socket(fileno=fd) as theirs:
                with contextlib.suppress(OSError):
                    if theirs.getpeername() == ours.getsockname():
                        return theirs.getsockopt(level, option)
        raise AssertionError("no socket of pldweb's is connected to ours")
    finally:
        os.close(pidfd)


def kept_alive(address, web, daemon):
    # An answer is sent at once, not held back until the client acknowledges the last one: a
    # second request on a kept-alive connection is as quick as a first.
    with connect(address) as s:
        s.sendall(f"GET /api/engine HTTP/1.1\r\nHost: {address}\r\n\r\n".encode())
        assert s.recv(4096).startswith(b"HTTP/1.1 200")
        nodelay = peer_socket_option(web.pid, s, socket.IPPROTO_TCP, socket.TCP_NODELAY)
    if nodelay is None:
        raise Skipped("this process may not copy pldweb's descriptors")
    assert nodelay, "pldweb's side of the connection waits for acknowledgements (Nagle)"


class Skipped(Exception):
    pass


# name: pldweb's options, the check
CASES = {
    "slow_headers": ([], slow_headers),
    "endless_headers": ([], endless_headers),
    "idle_connections": ([], idle_connections),
    "streams_and_slow_sockets": ([], streams_and_slow_sockets),
    "cap_reached": (["--max-connections", "8"], cap_reached),
    "hung_engine": ([], hung_engine),
    "kept_alive": ([], kept_alive),
}
DEADLINE_MS = {"hung_engine": 500}


def main():
    pldweb, pld_engined, case = sys.argv[1:]
    options, check = CASES[case]
    resource.setrlimit(resource.RLIMIT_NOFILE, (4096, 4096))
    signal.signal(signal.SIGALRM, lambda *_: (_ for _ in ()).throw(AssertionError("timed out")))
    signal.alarm(60)
    with tempfile.TemporaryDirectory(prefix="pldweb-limits-") as scratch:
        web, daemon, address = start(pldweb, pld_engined, scratch, options,
                                     stderr=subprocess.DEVNULL, deadline_ms=DEADLINE_MS.get(case))
        try:
            check(address, web, daemon)
        except Skipped as why:
            print(f"skipped: {why}")
            return 77
        finally:
            codes = [stop(web), stop(daemon)]
        assert codes == [0, 0], f"exit statuses after SIGTERM: {codes}"
    print("ok")
    return 0


if __name__ == "__main__":
    sys.exit(main())
