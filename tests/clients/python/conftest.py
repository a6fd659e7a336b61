"""The client's own suite: pld-engined from --pld-engined, as the plugin takes it; helpers that
run a daemon of a test's own (to kill) and a fake daemon (to answer what no daemon does)."""
import contextlib
import os
import socket
import struct
import tempfile
import threading

import msgpack
import pytest

from zvpld.processes import Engine, program


@pytest.fixture
def pld_engined(request):
    return program(request.config.getoption("--pld-engined"), "PLD_ENGINED", "pld-engined")


@pytest.fixture
def own_engine(pld_engined):
    """A daemon of this test alone, which it may stop or kill."""
    engine = Engine(pld_engined)
    yield engine
    with contextlib.suppress(ProcessLookupError):
        os.kill(engine.daemon.process.pid, 18)  # SIGCONT: a stopped daemon takes the SIGTERM
    engine.stop()


def frame(message):
    body = msgpack.packb(message, use_bin_type=True)
    return struct.pack(">I", len(body)) + body


@contextlib.contextmanager
def fake_daemon(reply, then=None):
    """A socket whose server answers the first request with `reply` (its id the request's), the
    second with `then(its id)` (bytes) if given, and then holds the connection until the client
    closes it."""
    with tempfile.TemporaryDirectory() as scratch:
        path = os.path.join(scratch, "fake.sock")
        server = socket.socket(socket.AF_UNIX)
        server.bind(path)
        server.listen()
        server.settimeout(10)

        def serve():
            connection, _ = server.accept()
            with connection:
                for answer in (lambda i: frame({"id": i, **reply}), then):
                    if answer is None:
                        break
                    (length,) = struct.unpack(">I", connection.recv(4, socket.MSG_WAITALL))
                    asked = msgpack.unpackb(connection.recv(length, socket.MSG_WAITALL))
                    connection.sendall(answer(asked["id"]))
                connection.recv(1)
        thread = threading.Thread(target=serve)
        thread.start()
        try:
            yield path
        finally:
            thread.join(10)
            server.close()
