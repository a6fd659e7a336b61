"""What the shared table cannot show: who the client believes, its protocol version, its
deadlines on a daemon gone or stopped, the event feed (blocking and asyncio), reads and writes
of points, a scenario on the frozen clock and the story a wait that timed out tells."""
import asyncio
import json
import os
import pathlib
import shutil
import signal
import struct
import threading
import time

import pytest

import zvpld
import zvpld.aio
import zvpld.wire
from conftest import fake_daemon, frame
from zvpld.processes import Engine, program

OVERHEAT = pathlib.Path(__file__).parents[3] / "examples/scenarios/overheat.json"


# SO_PEERCRED's uid and gid are unsigned: 2^31 and above are users too, not negative ones.
@pytest.mark.parametrize("uid, refused", [(1000, False), (0, False), (1001, True),
                                          (2**31, True), (2**32 - 2, True)])
def test_peer_of_this_user_or_root_is_believed(uid, refused, monkeypatch):
    class Peer:
        def getsockopt(self, *_):
            return struct.pack("iII", 77, uid, uid)
    monkeypatch.setattr(os, "geteuid", lambda: 1000)
    if not refused:
        return zvpld.wire.check_peer(Peer(), "/run/e.sock")
    with pytest.raises(zvpld.PeerRefused) as why:
        zvpld.wire.check_peer(Peer(), "/run/e.sock")
    assert str(why.value) == (f"the engine daemon at /run/e.sock is served by uid {uid} (pid "
                              f"77), neither this user (uid 1000) nor root: refused as an "
                              f"impostor")


# [the sizes of the events come, how many are kept, how many the first read counts lost]
@pytest.mark.parametrize("sizes, kept, lost", [([1] * 10001, 10000, 1), ([1 << 20] * 5, 4, 1),
                                               ([3 << 20, 2 << 20], 1, 1), ([9, 9], 2, 0)])
def test_feed_keeps_the_newest_events_within_its_bounds(sizes, kept, lost):
    feed = zvpld.wire.Feed()
    for n, size in enumerate(sizes):
        feed.append({"n": n}, size)
    assert len(feed) == kept
    assert feed.popleft() == {"n": len(sizes) - kept, **({"lost": lost} if lost else {})}
    assert "lost" not in (feed.popleft() if feed else {})


def test_daemon_of_another_user_is_refused_before_control_is_asked(pld_engine, monkeypatch):
    with zvpld.Client(pld_engine.socket) as watcher:
        before = watcher.mark()
        monkeypatch.setattr(zvpld.wire, "peer_credentials", lambda sock: (77, 4242, 4242))
        with pytest.raises(zvpld.PeerRefused, match="served by uid 4242 .pid 77."):
            zvpld.Client(pld_engine.socket)
        monkeypatch.undo()
        assert watcher.status()["controls"] == [] and watcher.mark() == before


ASKED = {"status": 0, "answer": None, "protocol": 1}
SPEAKS = "the engine daemon at {path} speaks {}; this client speaks protocol 1"
NOT_MAP = "the engine daemon at {path} sent a frame of 2147483647 bytes, not 1 to 1048576"


# [the ask's reply, the read's reply (bytes from its id) or None, the error, its message]
@pytest.mark.parametrize("client", ["blocking", "asyncio"])
@pytest.mark.parametrize("ask, then, error, message", [
    ({"protocol": 2}, None, zvpld.ProtocolMismatch, SPEAKS.format("protocol 2", path="{path}")),
    ({"protocol": None}, None, zvpld.ProtocolMismatch,
     SPEAKS.format("no protocol version", path="{path}")),
    ({"protocol": True}, None, zvpld.ProtocolMismatch, SPEAKS.format("protocol True",
                                                                    path="{path}")),
    ({"protocol": 1.0}, None, zvpld.ProtocolMismatch, SPEAKS.format("protocol 1.0",
                                                                   path="{path}")),
    ({"status": False}, None, zvpld.EngineError,
     "the engine daemon at {path} refused control: status False"),
    ({}, lambda i: frame({"id": i, "status": 0, "text": 400000000}), zvpld.EngineGone,
     "the engine daemon at {path} sent a malformed frame: a GetVelPntStr reply's text must be "
     "at most 256 bytes, not int"),
    ({}, lambda i: frame({"id": i, "status": 0, "text": b"x" * 257}), zvpld.EngineGone,
     "the engine daemon at {path} sent a malformed frame: a GetVelPntStr reply's text must be "
     "at most 256 bytes, not bytes of 257 bytes"),
    ({}, lambda i: struct.pack(">I", 0x7FFFFFFF) + b"\x80" * 10, zvpld.EngineGone, NOT_MAP),
    ({}, lambda i: struct.pack(">I", 3) + b"\xc1\xc1\xc1", zvpld.EngineGone,
     "the engine daemon at {path} sent a frame that is not MessagePack"),
    ({}, lambda i: frame({"id": i, "status": 0, "text": b"1"})[:6], zvpld.DeadlineMissed,
     "the engine daemon at {path} did not answer GetVelPntStr within 0.5 s")])
def test_fake_daemon_is_refused(client, ask, then, error, message):
    async def in_asyncio(path):
        async with await zvpld.aio.connect(path, timeout=0.5) as engine:
            await engine.read(1, 100)

    with fake_daemon({**ASKED, **ask}, then) as path:
        with pytest.raises(error) as refused:
            if client == "asyncio":
                asyncio.run(in_asyncio(path))
            else:
                with zvpld.Client(path, timeout=0.5) as engine:
                    engine.read(1, 100)
        assert type(refused.value) is error
        assert str(refused.value).startswith(message.format(path=path))


def test_feed_frames_before_a_subscription_are_not_kept():
    def feed_then_reply(i):
        return frame({"feed": {"do": "offline"}}) * 3 + frame({"id": i, "status": 0,
                                                               "text": b"60.0"})
    with fake_daemon(ASKED, feed_then_reply) as path, zvpld.Client(path) as engine:
        assert engine.read(1, 100) == "60.0" and len(engine._conn.feed) == 0


@pytest.mark.parametrize("sig, pending, error, kind", [
    (signal.SIGKILL, True, zvpld.EngineGone, "blocking"),
    (signal.SIGKILL, True, zvpld.EngineGone, "asyncio"),
    (signal.SIGKILL, False, zvpld.EngineGone, "blocking"),
    (signal.SIGSTOP, False, zvpld.DeadlineMissed, "blocking"),
    (signal.SIGSTOP, False, zvpld.DeadlineMissed, "asyncio")])
def test_daemon_killed_or_stopped_fails_the_call_within_its_deadline(own_engine, sig, pending,
                                                                     error, kind):
    pid = own_engine.daemon.process.pid

    def kill_and_call(client):
        """A wait pending when the signal comes, or a call after it."""
        if pending:
            threading.Timer(0.3, os.kill, (pid, sig)).start()
            return client.wait(op="GetVelPntStr", device=3, timeout_ms=20000)
        os.kill(pid, sig)
        return client.status()

    async def in_asyncio():
        async with await zvpld.aio.connect(own_engine.socket, timeout=1.0) as client:
            await kill_and_call(client)
    with pytest.raises(error, match=own_engine.socket):
        if kind == "asyncio":
            asyncio.run(in_asyncio())
        else:
            with zvpld.Client(own_engine.socket, timeout=1.0) as client:
                kill_and_call(client)


def test_daemon_that_exits_before_it_is_ready_fails_with_its_stderr(pld_engined, tmp_path):
    (tmp_path / "bad.json").write_text("{")
    with pytest.raises(RuntimeError, match=r"exited with status 1; its stderr:\npld-engined: "
                                           r"catalogue: parse error at line 1"):
        Engine(pld_engined, str(tmp_path / "bad.json"))


def other_connection_changes(path, mark):
    """From another connection, after a moment: two changes, then the read a wait awaits, more
    than 0.3 s later."""
    time.sleep(0.3)
    with zvpld.Client(path, name="other") as other:
        other.offline(device=1)
        other.event(id=1, state=1)
        time.sleep(0.3)
        other.read(2, 200)


def test_feed_events_interleaved_with_a_reply_are_kept(pld_engine):
    # A wait outlasts the client's own timeout.
    with zvpld.Client(pld_engine.socket, timeout=0.3) as client:
        with pytest.raises(zvpld.EngineError, match=r"needs subscribe\(\) first"):
            client.events()
        client.subscribe()
        mark = client.mark()
        threading.Thread(target=other_connection_changes, args=(pld_engine.socket, mark)).start()
        assert client.wait(op="GetVelPntStr", since=mark, timeout_ms=5000)["seen"] == 1
        events = client.events(timeout=2)
        assert [(e["do"], e["origin"]["name"]) for e in (next(events), next(events))] == [
            ("offline", "other"), ("event", "other")]
        with pytest.raises(zvpld.DeadlineMissed):  # and the subscription stays
            client.next_event(lambda event: False, timeout=0.1)
        with zvpld.Client(pld_engine.socket, name="later") as later:
            later.online(device=1)  # an event that comes with no reply awaited
        assert next(events)["origin"]["name"] == "later"


def test_asyncio_feed_events_interleaved_with_a_reply_are_kept(pld, pld_engine):
    async def follow():
        async with await zvpld.aio.connect(pld_engine.socket, timeout=0.3) as client:
            await client.subscribe()
            mark = await client.mark()
            other = threading.Thread(target=other_connection_changes,
                                     args=(pld_engine.socket, mark))
            other.start()
            await client.wait(op="GetVelPntStr", since=mark, timeout_ms=5000)
            seen = []
            async for event in client.events(timeout=2):
                seen.append((event["do"], event["origin"]["name"]))
                if len(seen) == 2:
                    return seen
    assert asyncio.run(follow()) == [("offline", "other"), ("event", "other")]


@pytest.mark.parametrize("setup, call, expect", [
    ([], (1, 101), "60.0"),
    ([], (2, 200, 2), "55"),
    ([("write", (1, 101, "61.5"))], (1, 101), "61.5"),
    ([("write", (2, 200, "77", 2))], (2, 200, 2), "77"),
    ([("offline", {"device": 1})], (1, 101), 1007),
    ([("fail", {"device": 1, "point": 101, "status": 1010, "on": "writes"}),
      ("write", (1, 101, "61.5"))], (1, 101), 1010),
])
def test_read_and_write_of_a_point(pld, setup, call, expect):
    try:
        for method, args in setup:
            getattr(pld, method)(**args) if isinstance(args, dict) else getattr(pld, method)(*args)
        assert pld.read(*call) == expect
    except zvpld.EngineStatus as e:
        assert e.status == expect, e


def test_scenario_plays_on_the_frozen_clock(pld):
    pld.freeze()
    pld.subscribe()
    at = pld.status()["clock"]["ms"]
    played = pld.play_scenario(OVERHEAT)
    assert [(p["step"], p["at_ms"]) for p in played] == [(1, 0), (2, 24000), (3, 54000),
                                                         (4, 60000), (5, 60000)]
    assert pld.status()["clock"]["ms"] == at + 60000
    step = pld.next_event(lambda e: e["event"] == "step" and e["step"] == 2)
    assert (step["scenario"], step["at_ms"], step["answer"]["done"]) == (
        "overheat", 24000, "event 1 in state 1")


@pytest.mark.parametrize("reads, count, holds", [
    ([(1, 100)], 1, "nothing that matches; its last calls: #{1} GetVelPntStr device 1 point "
                    "100 status 0"),
    ([(2, 200), (1, 100)], 2, "#{1} GetVelPntStr device 2 point 200 status 0"),
    ([], 1, "no call at all")])
def test_wait_that_times_out_tells_what_came(pld, reads, count, holds):
    mark = pld.mark()
    for read in reads:
        pld.read(*read)
    with pytest.raises(zvpld.WaitTimedOut) as timed_out:
        pld.wait(op="GetVelPntStr", device=2, count=count, since=mark, timeout_ms=100)
    calls = "1 call" if count == 1 else f"{count} calls"
    assert str(timed_out.value) == (
        f"waited 100 ms for {calls} of GetVelPntStr on device 2 since #{mark}, saw "
        f"{len(reads) - 1 if count == 2 else 0}; the journal since #{mark} holds: " +
        holds.replace("{1}", str(mark + 1)))


def test_after_a_restart_it_asked_for_the_client_connects_again(own_engine):
    with zvpld.Client(own_engine.socket) as client:
        client.subscribe()
        assert client.restart()["ok"] is True
        assert client.status()["ok"] is True
        with zvpld.Client(own_engine.socket, name="after") as other:
            other.offline(device=1)
        assert client.next_event(lambda e: e["do"] == "offline")["origin"]["name"] == "after"


BAD_SCENARIOS = json.loads((pathlib.Path(__file__).parents[1] / "bad-scenarios.json").read_text())


@pytest.mark.parametrize("case", BAD_SCENARIOS["cases"], ids=lambda case: case["name"])
def test_bad_scenario_file_is_refused_before_anything_is_sent(pld, tmp_path, case):
    path = tmp_path / "bad.json"
    path.write_text(json.dumps(case["file"]))
    with pytest.raises(ValueError) as refused:
        pld.play_scenario(path)
    assert all(part in str(refused.value) for part in (str(path), f"step {case['step']}",
                                                       case["field"])), refused.value


def test_console_serves_a_token_of_its_own_whatever_the_environment_holds(
        pld_engined, request, monkeypatch):
    monkeypatch.setenv("PLDWEB_TOKEN", "an-inherited.token~of_the_user")
    engine = Engine(pld_engined, pldweb=program(request.config.getoption("--pldweb"), "PLDWEB",
                                                "pldweb"))
    try:
        console = engine.console()
        assert console.url == f"{console.base}/?token={console.token}"
        assert len(console.token) >= 16 and "inherited" not in console.token
    finally:
        engine.stop()


# Each row leaves the clock otherwise than the next one wants it.
@pytest.mark.parametrize("frozen", [pytest.param(True, marks=pytest.mark.pld_clock("frozen")),
                                    False,
                                    pytest.param(True, marks=pytest.mark.pld_clock("frozen")),
                                    pytest.param(False, marks=pytest.mark.pld_clock("run"))])
@pytest.mark.pld_engine(seed=None)
def test_clock_as_each_test_starts(pld, pld_engine, frozen):
    assert pld_engine.seed == 1
    assert pld.status()["clock"]["frozen"] is frozen
    assert frozen or pld.status()["clock"]["speed"] == 1
    pld.run_clock(speed=3) if frozen else pld.freeze()


LEFT_OPEN = []


# The first row leaves its page open; the second finds it closed, its profile folder gone.
@pytest.mark.skipif(not shutil.which(os.environ.get("CHROMIUM", "chromium")),
                    reason="no chromium")
@pytest.mark.parametrize("row", ["opens", "finds"])
def test_page_left_open_is_closed_as_the_test_ends(pld_console, row):
    if row == "opens":
        page = pld_console.page()
        LEFT_OPEN.append((page._child, page._profile.name))
        return
    child, profile = LEFT_OPEN.pop()
    assert child.poll() is not None and not os.path.exists(profile)
