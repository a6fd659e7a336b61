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
import threading
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from console_test import (CATALOGUE, P101, TOKENS, Skipped, address_of, request, run,  # noqa: E402
                          spawn, stop)


LOG = tempfile.TemporaryFile("a+b")  # pldweb's stderr: it appends whatever this reads


def connect(address, timeout=5):
    host, port = address.rsplit(":", 1)
    return socket.create_connection((host, int(port)), timeout=timeout)


def status(address, method="GET", path="/api/engine", **kwargs):
    """The status of a request; one left unanswered fails on its timeout."""
    return request(address, method, path, **kwargs)[0]


def open_streams(address, count):
    streams = [connect(address) for _ in range(count)]
    for s in streams:
        s.sendall(f"GET /api/stream HTTP/1.1\r\nHost: {address}\r\n"
                  f"X-Console-Token: {TOKENS[address]}\r\n\r\n".encode())
        assert s.recv(4096).startswith(b"HTTP/1.1 200")
    return streams


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
    assert status(address) == 200
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
    assert status(address) == 200


def logged(what):
    """pldweb's lines on stderr so far that hold `what`."""
    LOG.seek(0)
    return [line for line in LOG.read().decode().splitlines() if what in line]


def idle_connections(address, web, daemon):
    idle = [connect(address) for _ in range(600)]
    assert status(address) == 200
    closed = sum(closed_by_server(s, 0.01) for s in idle)
    assert closed >= 600 - 256, f"only {closed} idle connections closed over the cap"
    # As many refusals: each kind of line is written at most once a second, with a count.
    for _ in range(200):
        assert status(address, headers={}) == 401
    time.sleep(1.5)
    for what, count in [("with no whole request", closed), ("token is missing", 200)]:
        lines = logged(what)
        assert 1 <= len(lines) <= 4, f"{len(lines)} lines for {count} times {what!r}"


def streams_and_slow_sockets(address, web, daemon):
    streams = open_streams(address, 16)
    slow = [connect(address) for _ in range(8)]
    drip = dripping(slow, 6)
    time.sleep(1)
    assert status(address) == 200
    assert status(address, path="/api/stream") == 503, f"page {len(streams) + 1} was served"
    drip.join()


def cap_reached(address, web, daemon):
    # Every connection streams: none can give way, and a new one is told so.
    streams = open_streams(address, 8)
    assert status(address) == 503, f"a connection beyond {len(streams)} was served"


def hung_engine(address, web, daemon):
    # A daemon that keeps its connection but answers nothing: every request is answered 502 or
    # 504 within about two of the client's deadlines (500 ms here), or fails on its timeout.
    os.kill(daemon.pid, signal.SIGSTOP)
    try:
        for path in ["/api/engine", "/api/devices", "/api/devices/1", P101, P101 + "/hierarchy",
                     P101 + "/value", "/api/events/active"]:
            method = "PUT" if path.endswith("/value") else "GET"
            got = status(address, method, path, body={"value": "1"} if method == "PUT" else None,
                         timeout=1.5)
            assert got in (502, 504), f"{method} {path}: {got}"
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
        s.sendall(f"GET /api/engine HTTP/1.1\r\nHost: {address}\r\n"
                  f"X-Console-Token: {TOKENS[address]}\r\n\r\n".encode())
        assert s.recv(4096).startswith(b"HTTP/1.1 200")
        nodelay = peer_socket_option(web.pid, s, socket.IPPROTO_TCP, socket.TCP_NODELAY)
    if nodelay is None:
        raise Skipped("this process may not copy pldweb's descriptors")
    assert nodelay, "pldweb's side of the connection waits for acknowledgements (Nagle)"


def stall_in_process(address, web, daemon):
    # With the engine in pldweb's own process, a stall holds each engine call's worker until
    # released: more calls than workers, and the release still comes through; a stop while
    # calls are held ends pldweb all the same.
    own = spawn([sys.argv[1], "--engine", "sim:" + CATALOGUE, "--port", "0"],
                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    try:
        own_address = address_of(own)
        for end in ["release", "stop"]:
            assert status(own_address, "POST", "/api/sim", body={"do": "stall"}) == 200
            got = []
            held = [threading.Thread(target=lambda: got.append(
                status(own_address, path="/api/devices", timeout=30))) for _ in range(6)]
            for thread in held:
                thread.start()
            time.sleep(0.5)
            assert got == [], f"answered during the stall: {got}"
            if end == "release":
                assert status(own_address, "POST", "/api/sim", body={"do": "release"}) == 200
                for thread in held:
                    thread.join()
                assert got == [200] * 6, f"after the release: {got}"
    finally:
        code = stop(own)
    assert code == 0, f"pldweb's exit status after SIGTERM with calls held: {code}"


def token_sources(address, web, daemon):
    # The token from a file or the environment; the one given with --token is wiped from the
    # arguments that every user reads. A FIFO, a file others may read or that another user owns
    # (root reads it all the same), a short token and --no-token beyond loopback stop pldweb at
    # once.
    with tempfile.TemporaryDirectory() as scratch:
        fifo, loose, good, others = (os.path.join(scratch, name)
                                     for name in ("fifo", "loose", "good", "others"))
        os.mkfifo(fifo, 0o600)
        for path, mode in ((loose, 0o644), (good, 0o600), (others, 0o600)):
            with open(path, "w") as f:
                f.write("t" * 32 + "\n")
            os.chmod(path, mode)
        if os.geteuid() == 0:
            os.chown(others, 65534, 65534)
        for options, environment, token in [
                (["--token-file", fifo], {}, None), (["--token-file", loose], {}, None),
                *([(["--token-file", others], {}, None)] if os.geteuid() == 0 else []),
                (["--token", "t" * 15], {}, None),
                (["--listen", "0.0.0.0", "--no-token"], {}, None),
                (["--token-file", good], {}, "t" * 32), ([], {"PLDWEB_TOKEN": "e" * 40}, "e" * 40),
                (["--token", "a" * 32], {}, "a" * 32)]:
            own = spawn([sys.argv[1], "--engine", "sim", "--port", "0", *options],
                        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                        env={**os.environ, **environment})
            try:
                if token is None:
                    assert own.wait(5) == 2, f"{options}: not refused"
                    continue
                own_address = address_of(own)
                assert TOKENS[own_address] == token, f"{options}: {TOKENS[own_address]}"
                with open(f"/proc/{own.pid}/cmdline", "rb") as f:
                    assert token.encode() not in f.read(), f"{options}: in the arguments"
                assert status(own_address) == 200
            finally:
                if own.poll() is None:
                    stop(own)


# name: pldweb's options, the message client's deadline, the check
CASES = {
    "slow_headers": ([], None, slow_headers),
    "endless_headers": ([], None, endless_headers),
    "idle_connections": ([], None, idle_connections),
    "streams_and_slow_sockets": ([], None, streams_and_slow_sockets),
    "cap_reached": (["--max-connections", "8"], None, cap_reached),
    "hung_engine": ([], 500, hung_engine),
    "kept_alive": ([], None, kept_alive),
    "stall_in_process": ([], None, stall_in_process),
    "token_sources": ([], None, token_sources),
}


def main():
    pldweb, pld_engined, case = sys.argv[1:]
    options, deadline_ms, check = CASES[case]
    resource.setrlimit(resource.RLIMIT_NOFILE, (4096, 4096))
    return run(pldweb, pld_engined, check, 60, options, deadline_ms=deadline_ms, stderr=LOG)


if __name__ == "__main__":
    sys.exit(main())
