#!/usr/bin/env python3
"""pld-engined under load, on a Unix socket in a temporary directory: figures, printed.

Baseline: the 16 well-behaved clients alone, for the machine's own figures.
Phase 1: the daemon with its default options, and 2,000 hostile connections of the same user:
1,800 idle, 150 holding a frame begun and never finished, 50 sending the largest frames the
request limits allow (128 elements, 16 KB) over and over; each of the 200 is opened again when
the daemon drops it. Once the crowd is in place, 16 well-behaved clients, each a process of its
own, connect and write a point and read it back through the protocol; like the message client,
a client whose idle connection was closed connects anew before its next call. Printed: the
well-behaved calls made and failed, their latency (median, p99 over at least 1,000 calls, max),
the daemon's resident memory (peak and at the end), its CPU time, whether it is still up, and
the machine's load average before and after.

Phase 2: 8 writers write their points as fast as the daemon acknowledges; the daemon is killed
with SIGKILL in the middle, started again on the same state file, and every point must hold the
last value acknowledged for it (or the one in flight at the kill).

Everything is bounded: each phase runs for a few seconds, and the daemon is killed at the end.

    scripts/daemon-load.py [--daemon build/bench/tools/pld-engined/pld-engined] [--seconds 8]
"""
import argparse
import json
import multiprocessing
import os
import resource
import select
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time

# ---------------------------------------------------------------- MessagePack, as much as needed


def pack(v):
    if v is None:
        return b"\xc0"
    if v is True:
        return b"\xc3"
    if v is False:
        return b"\xc2"
    if isinstance(v, int):
        if 0 <= v < 128:
            return bytes([v])
        if -32 <= v < 0:
            return struct.pack("b", v)
        return b"\xd3" + struct.pack(">q", v)
    if isinstance(v, str):
        b = v.encode()
        return (bytes([0xA0 | len(b)]) if len(b) < 32 else b"\xda" + struct.pack(">H", len(b))) + b
    if isinstance(v, bytes):
        return b"\xc5" + struct.pack(">H", len(v)) + v
    if isinstance(v, list):
        return b"\xdc" + struct.pack(">H", len(v)) + b"".join(pack(x) for x in v)
    if isinstance(v, dict):
        return b"\xde" + struct.pack(">H", len(v)) + b"".join(pack(k) + pack(x) for k, x in v.items())
    raise TypeError(type(v))


def unpack(b, i=0):
    t = b[i]
    if t < 0x80:
        return t, i + 1
    if t >= 0xE0:
        return t - 256, i + 1
    if 0x80 <= t <= 0x8F or t in (0xDE, 0xDF):
        n, i = (t & 0x0F, i + 1) if t <= 0x8F else (
            (struct.unpack(">H", b[i + 1:i + 3])[0], i + 3) if t == 0xDE else (struct.unpack(">I", b[i + 1:i + 5])[0], i + 5))
        d = {}
        for _ in range(n):
            k, i = unpack(b, i)
            d[k], i = unpack(b, i)
        return d, i
    if 0x90 <= t <= 0x9F or t in (0xDC, 0xDD):
        n, i = (t & 0x0F, i + 1) if t <= 0x9F else (
            (struct.unpack(">H", b[i + 1:i + 3])[0], i + 3) if t == 0xDC else (struct.unpack(">I", b[i + 1:i + 5])[0], i + 5))
        out = []
        for _ in range(n):
            x, i = unpack(b, i)
            out.append(x)
        return out, i
    if 0xA0 <= t <= 0xBF:
        n = t & 0x1F
        return b[i + 1:i + 1 + n].decode(), i + 1 + n
    if t == 0xC0:
        return None, i + 1
    if t in (0xC2, 0xC3):
        return t == 0xC3, i + 1
    sizes = {0xCC: ">B", 0xCD: ">H", 0xCE: ">I", 0xCF: ">Q", 0xD0: ">b", 0xD1: ">h", 0xD2: ">i", 0xD3: ">q"}
    if t in sizes:
        f = sizes[t]
        n = struct.calcsize(f)
        return struct.unpack(f, b[i + 1:i + 1 + n])[0], i + 1 + n
    if t in (0xD9, 0xDA, 0xDB, 0xC4, 0xC5, 0xC6):
        f = {0xD9: ">B", 0xDA: ">H", 0xDB: ">I", 0xC4: ">B", 0xC5: ">H", 0xC6: ">I"}[t]
        h = struct.calcsize(f)
        n = struct.unpack(f, b[i + 1:i + 1 + h])[0]
        raw = b[i + 1 + h:i + 1 + h + n]
        return (raw.decode() if t in (0xD9, 0xDA, 0xDB) else raw), i + 1 + h + n
    raise ValueError("type 0x%02x" % t)


def frame(message):
    body = pack(message)
    return struct.pack(">I", len(body)) + body


def nil_frame(count):
    body = b"\x83" + pack("id") + pack(1) + pack("op") + pack("X") + pack("pad") + b"\xdd" + struct.pack(">I", count) + b"\xc0" * count
    return struct.pack(">I", len(body)) + body


def largest_frame():
    """{"id", "op", "pad": [nil x 120, a text of 15,900 bytes]}: 128 elements, the most a request
    may hold, in nearly the 16 KiB a request may take."""
    body = (b"\x83" + pack("id") + pack(1) + pack("op") + pack("X") + pack("pad") + b"\xdc" + struct.pack(">H", 121)
            + b"\xc0" * 120 + b"\xdb" + struct.pack(">I", 15_900) + b"x" * 15_900)
    assert len(body) <= 16384
    return struct.pack(">I", len(body)) + body


class Client:
    def __init__(self, path, timeout=5.0):
        self.s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.s.settimeout(timeout)
        self.s.connect(path)
        self.buf = b""
        self.id = 0

    def stale(self):
        """The daemon closed the connection while it was idle (as the message client, checked
        before a call: it then connects anew)."""
        poller = select.poll()
        poller.register(self.s, select.POLLIN)
        return bool(poller.poll(0)) and not self.buf and self.s.recv(1, socket.MSG_PEEK) == b""

    def call(self, request):
        self.id += 1
        request = dict(request, id=self.id)
        self.s.sendall(frame(request))
        while True:
            while len(self.buf) < 4 or len(self.buf) < 4 + struct.unpack(">I", self.buf[:4])[0]:
                got = self.s.recv(65536)
                if not got:
                    raise ConnectionError("closed by the daemon")
                self.buf += got
            n = struct.unpack(">I", self.buf[:4])[0]
            m, _ = unpack(self.buf[4:4 + n])
            self.buf = self.buf[4 + n:]
            if m.get("id") == self.id:
                return m

    def close(self):
        self.s.close()


def point(gdd):
    return {"deviceIdx": 1, "gddId": gdd, "mmIdx": 0, "auxIdx": 0, "auxParam": 0, "auxText": None, "uofm": 0}


# ---------------------------------------------------------------- the daemon


class Daemon:
    def __init__(self, binary, directory, extra=()):
        self.directory = directory
        self.socket = os.path.join(directory, "engine.sock")
        self.log = open(os.path.join(directory, "log"), "ab")
        self.p = subprocess.Popen([binary, "--socket", self.socket, "--catalogue", os.path.join(directory, "catalogue.json"),
                                   "--state", os.path.join(directory, "state.json"), *extra],
                                  stdout=subprocess.DEVNULL, stderr=self.log)
        for _ in range(500):
            try:
                s = socket.socket(socket.AF_UNIX)
                s.connect(self.socket)
                s.close()
                return
            except OSError:
                time.sleep(0.01)
        raise RuntimeError("the daemon does not listen")

    def status_kb(self, field):
        with open("/proc/%d/status" % self.p.pid) as f:
            for line in f:
                if line.startswith(field + ":"):
                    return int(line.split()[1])
        return -1

    def cpu_seconds(self):
        with open("/proc/%d/stat" % self.p.pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def alive(self):
        return self.p.poll() is None

    def kill(self):
        if self.alive():
            self.p.kill()
        self.p.wait()
        self.log.close()


# ---------------------------------------------------------------- phase 1


def well_behaved(path, gdd, seconds, out):
    """Writes its point and reads it back until the time is up; sends its latencies (s), its
    failures and how many times it found its idle connection closed."""
    latencies, failures, value, reconnects = [], 0, 0, 0
    try:
        c = Client(path)
    except OSError:
        out.send(([], 1, 0))
        return
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        value = (value + 1) % 100
        for kind, request, check in (("write", dict(op="SetVelPntInt32", pnt=point(gdd), value=value, setParam=0), lambda r: r.get("status") == 0),
                                     ("read", dict(op="GetVelPntInt32", pnt=point(gdd)), lambda r, v=value: r.get("value") == v)):
            t = time.monotonic()
            try:
                if c.stale():
                    reconnects += 1
                    c.close()
                    c = Client(path)
                ok = check(c.call(request))
            except (OSError, ConnectionError, ValueError):
                ok = False
            latencies.append((kind, time.monotonic() - t))
            if not ok:
                failures += 1
                try:
                    c.close()
                    c = Client(path)
                except OSError:
                    pass
    out.send((latencies, failures, reconnects))


def hostile(path, idle, partial, senders, seconds, ready):
    """The crowd: `idle` connections that ask nothing, `partial` that hold a frame begun, `senders`
    that send the largest frames the limits allow over and over (reading what comes back); a
    partial or sending one dropped is opened again. Sends (opened, dropped) at the end."""
    big = largest_frame()
    begun = struct.pack(">I", 16_000) + b"\x82" + b"\xc0" * 15_900  # within 16 KiB, never finished
    opened, dropped, held = 0, 0, []

    def connect(kind):
        nonlocal opened
        s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        try:
            s.connect(path)
            s.setblocking(False)
            if kind == "partial":
                s.send(begun)
        except OSError:
            pass
        opened += 1
        return [kind, s, 0]  # kind, socket, bytes of `big` sent

    for i in range(idle + partial + senders):
        held.append(connect("idle" if i < idle else "partial" if i < idle + partial else "sender"))
    ready.send(True)
    end = time.monotonic() + seconds
    active = [h for h in held if h[0] != "idle"]
    while time.monotonic() < end:
        socks = {h[1].fileno(): h for h in active}
        poller = select.poll()
        for fd, h in socks.items():
            poller.register(fd, select.POLLIN | (select.POLLOUT if h[0] == "sender" else 0))
        events = poller.poll(50)
        r = [socks[fd][1] for fd, e in events if e & (select.POLLIN | select.POLLHUP | select.POLLERR)]
        w = [socks[fd][1] for fd, e in events if e & select.POLLOUT]
        socks = {h[1]: h for h in active}
        gone = set()
        for s in r:
            try:
                if s.recv(65536) == b"":
                    gone.add(s)
            except BlockingIOError:
                pass
            except OSError:
                gone.add(s)
        for s in w:
            h = socks[s]
            if s in gone:
                continue
            try:
                h[2] = (h[2] + s.send(big[h[2]:] if h[2] else big)) % len(big)
            except BlockingIOError:
                pass
            except OSError:
                gone.add(s)
        for s in gone:
            h = socks[s]
            s.close()
            dropped += 1
            new = connect(h[0])
            h[1], h[2] = new[1], 0
    for h in held:
        h[1].close()
    return opened, dropped


def crowd(path, idle, partial, senders, seconds, ready, out):
    out.send(hostile(path, idle, partial, senders, seconds, ready))


def percentile(values, p):
    values = sorted(values)
    return values[min(len(values) - 1, int(len(values) * p))] if values else float("nan")


def latency_line(latencies):
    out = []
    for kind in ("all", "read", "write"):
        t = [x for k, x in latencies if kind in ("all", k)]
        out.append("%s: median %.2f ms, p99 %.2f ms, max %.2f ms" % (
            kind, 1000 * percentile(t, 0.5), 1000 * percentile(t, 0.99), 1000 * max(t or [0])))
    return "; ".join(out)


def phase1(binary, directory, seconds, connections, clients):
    """With `connections` 0, the well-behaved clients alone: the machine's own figures."""
    load_before = os.getloadavg()
    d = Daemon(binary, directory)
    crowd_proc = None
    if connections:
        senders, partial = 50, 150
        idle = connections - senders - partial
        ready_r, ready_w = multiprocessing.Pipe(False)
        crowd_r, crowd_w = multiprocessing.Pipe(False)
        crowd_proc = multiprocessing.Process(target=crowd, args=(d.socket, idle, partial, senders, seconds + 2, ready_w, crowd_w))
        crowd_proc.start()
        ready_r.recv()  # the good clients come after the crowd
        time.sleep(1)
    cpu_start, start = d.cpu_seconds(), time.monotonic()
    pipes, procs = [], []
    for k in range(clients):
        r, w = multiprocessing.Pipe(False)
        p = multiprocessing.Process(target=well_behaved, args=(d.socket, 100 + k, seconds, w))
        p.start()
        pipes.append(r)
        procs.append(p)
    latencies, failures, reconnects = [], 0, 0
    for r, p in zip(pipes, procs):
        got, failed, again = r.recv()
        latencies += got
        failures += failed
        reconnects += again
        p.join()
    hwm, rss, up, cpu = d.status_kb("VmHWM"), d.status_kb("VmRSS"), d.alive(), d.cpu_seconds() - cpu_start
    elapsed = time.monotonic() - start
    opened, dropped = 0, 0
    if crowd_proc:
        opened, dropped = crowd_r.recv()
        crowd_proc.join()
    d.kill()
    with open(os.path.join(directory, "log"), "rb") as f:
        log = f.read().decode(errors="replace")
    os.truncate(os.path.join(directory, "log"), 0)
    load_after = os.getloadavg()
    print("%s: %d hostile connections (%d opened in all, %d dropped and opened again), %d well-behaved clients, %.0f s"
          % ("phase 1" if connections else "baseline", connections, opened, dropped, clients, seconds))
    print("  load average before %.2f %.2f %.2f, after %.2f %.2f %.2f" % (load_before + load_after))
    print("  well-behaved calls: %d, failed: %d (idle connections found closed and opened anew: %d)"
          % (len(latencies), failures, reconnects))
    print("  latency " + latency_line(latencies))
    print("  daemon: up %s, VmHWM %.1f MB, VmRSS %.1f MB, CPU %.1f s in %.1f s (%.0f %%)"
          % (up, hwm / 1024, rss / 1024, cpu, elapsed, 100 * cpu / elapsed))
    print("  log: %d lines; %d malformed, %d unfinished frames, %d lines of refusals, %d of idle connections closed to make room"
          % (log.count("\n"), log.count("dropped: malformed"), log.count("left unfinished"), log.count(": refused"), log.count("to make room")))
    enough = len(latencies) >= 1000
    if not enough:
        print("  fewer than 1,000 calls: the p99 means little; give more --seconds")
    return failures == 0 and up and enough


# ---------------------------------------------------------------- phase 2


def writer(path, gdd, seconds, out):
    """Writes 1, 2, 3... to its point until the daemon goes; sends the last acknowledged."""
    acked, c = 0, Client(path, timeout=2.0)
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        try:
            if c.call(dict(op="SetVelPntInt32", pnt=point(gdd), value=acked + 1, setParam=0)).get("status") != 0:
                break
        except (OSError, ConnectionError, ValueError):
            break
        acked += 1
    out.send(acked)


def phase2(binary, directory, writers):
    d = Daemon(binary, directory)
    pipes, procs = [], []
    for k in range(writers):
        r, w = multiprocessing.Pipe(False)
        p = multiprocessing.Process(target=writer, args=(d.socket, 100 + k, 10.0, w))
        p.start()
        pipes.append(r)
        procs.append(p)
    time.sleep(1.5)
    os.kill(d.p.pid, signal.SIGKILL)
    d.kill()
    acked = [r.recv() for r in pipes]
    for p in procs:
        p.join()
    d = Daemon(binary, directory)
    c = Client(d.socket)
    found = [c.call(dict(op="GetVelPntInt32", pnt=point(100 + k))).get("value") for k in range(writers)]
    c.close()
    d.kill()
    lost = [(a, f) for a, f in zip(acked, found) if f not in (a, a + 1)]
    print("phase 2: %d writers, SIGKILL after 1.5 s: %d writes acknowledged, after the restart %d points hold their last"
          " acknowledged value (or the one in flight), %d do not%s"
          % (writers, sum(acked), writers - len(lost), len(lost), (": " + str(lost)) if lost else ""))
    return not lost


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--daemon", default=os.path.join(here, "..", "build", "bench", "tools", "pld-engined", "pld-engined"))
    ap.add_argument("--seconds", type=float, default=8.0)
    ap.add_argument("--connections", type=int, default=2000)
    ap.add_argument("--clients", type=int, default=16)
    args = ap.parse_args()
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    directory = tempfile.mkdtemp(prefix="pld-load-")
    try:
        with open(os.path.join(directory, "catalogue.json"), "w") as f:
            json.dump({"tickMs": 0, "devices": [{"index": 1, "points": [
                {"gddId": 100 + k, "label": "P%d" % k, "access": "rw", "min": -1, "max": 1 << 30, "values": [0]}
                for k in range(max(args.clients, 8))]}]}, f)
        print("machine: %d cores; %s" % (os.cpu_count(), subprocess.run(["free", "-h"], capture_output=True, text=True).stdout.splitlines()[1]))
        phase1(args.daemon, directory, args.seconds, 0, args.clients)
        ok = phase1(args.daemon, directory, args.seconds, args.connections, args.clients)
        ok = phase2(args.daemon, directory, 8) and ok
    finally:
        shutil.rmtree(directory, ignore_errors=True)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
