"""The pytest plugin (entry point pytest11): fixtures that run the engine daemon for the test
run, a client of it fully reset before each test, and the web console on it.

    @pytest.mark.pld_engine(catalogue="plant.json", seed=7)
    @pytest.mark.pld_clock("frozen")
    def test_x(pld, pld_console): ...

One daemon per distinct catalogue and seed, started when a test first needs it and stopped at
the end of the run."""
import os

import pytest

from .client import Client
from .processes import Engine, program

CLOCKS = ("run", "frozen")


def pytest_addoption(parser):
    group = parser.getgroup("zvpld", "the PLD engine daemon for tests")
    group.addoption("--pld-engined", metavar="PATH",
                    help="pld-engined to run (default: $PLD_ENGINED, else on PATH)")
    group.addoption("--pldweb", metavar="PATH",
                    help="pldweb to run (default: $PLDWEB, else on PATH)")
    group.addoption("--pld-catalogue", metavar="FILE",
                    help="the engine's catalogue (default: its built-in one)")
    group.addoption("--pld-seed", metavar="N", type=int, default=1, help="the engine's seed (1)")
    group.addoption("--pld-clock", choices=CLOCKS, default="run",
                    help="the engine's clock as each test starts: run (at speed 1) or frozen")


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "pld_engine(catalogue=None, seed=None): the engine daemon this test runs on "
        "(a catalogue relative to the test's file; by default --pld-catalogue and --pld-seed)")
    config.addinivalue_line(
        "markers", "pld_clock(clock): the engine's clock as the test starts, \"run\" (at speed "
        "1) or \"frozen\" (by default --pld-clock, run)")


class Engines:
    """The run's daemons, by catalogue and seed."""

    def __init__(self, config):
        self.config = config
        self.running = {}

    def get(self, catalogue, seed):
        key = (catalogue, seed)
        if key not in self.running:
            option = self.config.getoption
            pldweb = None
            try:
                pldweb = program(option("--pldweb"), "PLDWEB", "pldweb")
            except RuntimeError:
                pass  # only pld_console needs it, and says so
            self.running[key] = Engine(program(option("--pld-engined"), "PLD_ENGINED",
                                               "pld-engined"), catalogue, seed, pldweb)
        return self.running[key]

    def stop(self):
        while self.running:
            self.running.popitem()[1].stop()


@pytest.fixture(scope="session")
def pld_engines(request):
    engines = Engines(request.config)
    yield engines
    engines.stop()


@pytest.fixture
def pld_engine(request, pld_engines):
    """The engine daemon of this test's marker (or the options): `.socket`, `.catalogue`,
    `.seed`, `.console()`."""
    marker = request.node.get_closest_marker("pld_engine")
    kwargs = marker.kwargs if marker else {}
    catalogue = kwargs.get("catalogue")
    if catalogue:
        catalogue = os.path.join(os.path.dirname(str(request.node.path)), catalogue)
    else:
        catalogue = request.config.getoption("--pld-catalogue")
        catalogue = os.path.abspath(catalogue) if catalogue else None
    seed = kwargs.get("seed")
    if seed is None:
        seed = request.config.getoption("--pld-seed")
    try:
        return pld_engines.get(catalogue, seed)
    except RuntimeError as e:
        pytest.fail(str(e), pytrace=False)


@pytest.fixture
def pld(request, pld_engine):
    """A zvpld.Client of the test's engine, after a full reset, its clock as the test's
    pld_clock marker (or --pld-clock) says: a full reset leaves it as the test before left it."""
    marker = request.node.get_closest_marker("pld_clock")
    clock = marker.args[0] if marker and marker.args else request.config.getoption("--pld-clock")
    if clock not in CLOCKS:
        pytest.fail(f"pld_clock({clock!r}): the clock is \"run\" or \"frozen\"", pytrace=False)
    with Client(pld_engine.socket) as client:
        client.full_reset()
        if clock == "frozen":
            client.freeze()
        else:
            client.run_clock(1)
        yield client


@pytest.fixture
def pld_console(pld_engine):
    """pldweb on the test's engine: `.url` (with its token), `.base`, `.token`, `.page()`; the
    pages the test opened are closed as it ends."""
    try:
        console = pld_engine.console()
    except RuntimeError as e:
        pytest.fail(str(e), pytrace=False)
    yield console
    console.close_pages()
