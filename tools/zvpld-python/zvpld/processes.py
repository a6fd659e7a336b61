"""The engine daemon and the web console as a test run's children: each in a process group of
its own that dies with the run (PR_SET_PDEATHSIG), its line of readiness awaited with a deadline,
one that exits first failing with its stderr, and each stopped by SIGTERM, then SIGKILL.

The kernel sends PR_SET_PDEATHSIG when the thread that started the child ends, not the process:
start them from the thread that runs the tests (pytest's main thread), not from a passing one."""
import contextlib
import ctypes
import os
import re
import secrets
import shutil
import signal
import subprocess
import tempfile
import time

START_S = 10.0
STOP_S = 5.0
PR_SET_PDEATHSIG = 1


def _die_with_parent():
    ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGKILL)


def spawn(args, setup=None, **kwargs):
    """`args` in a process group of its own, killed when its starter dies; `setup` runs in the
    child before the program."""
    def prepare():
        _die_with_parent()
        if setup:
            setup()
    return subprocess.Popen(args, start_new_session=True, preexec_fn=prepare, **kwargs)


def stop_group(child):
    """SIGTERM, then the exit status; what is left of its process group (a program's helpers,
    one that ignored the SIGTERM for STOP_S) is killed."""
    with contextlib.suppress(ProcessLookupError, subprocess.TimeoutExpired):
        os.killpg(child.pid, signal.SIGTERM)
        child.wait(STOP_S)
    with contextlib.suppress(ProcessLookupError):
        os.killpg(child.pid, signal.SIGKILL)
    return child.wait()


class Child:
    """A program run until it prints a line matching `ready` on stdout (the match is kept)."""

    def __init__(self, args, scratch, ready, what, env=None):
        self.what = what
        out, err = (os.path.join(scratch, f"{what}.{n}") for n in ("out", "err"))
        with open(out, "wb") as stdout, open(err, "wb") as stderr:
            self.process = spawn(args, stdin=subprocess.DEVNULL, stdout=stdout, stderr=stderr,
                                 env=env)
        deadline = time.monotonic() + START_S
        while True:
            with open(out, encoding="utf-8", errors="replace") as f:
                self.ready = re.search(ready, f.read())
            if self.ready:
                return
            if self.process.poll() is not None or time.monotonic() > deadline:
                with open(err, encoding="utf-8", errors="replace") as f:
                    log = f.read()[-4000:]
                why = (f"exited with status {self.process.returncode}"
                       if self.process.returncode is not None else
                       f"was not ready within {START_S:g} s")
                self.stop()
                raise RuntimeError(f"{what} ({' '.join(args)}) {why}; its stderr:\n{log}")
            time.sleep(0.02)

    def stop(self):
        """SIGTERM, then SIGKILL after a bound; the exit status."""
        if self.process.poll() is None:
            try:
                os.killpg(self.process.pid, signal.SIGTERM)
                return self.process.wait(STOP_S)
            except subprocess.TimeoutExpired:
                os.killpg(self.process.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        return self.process.wait()


def program(given, variable, name):
    """The path of a program: as given, else the environment variable, else on PATH."""
    path = given or os.environ.get(variable) or shutil.which(name)
    if not path:
        raise RuntimeError(f"{name} not found: give its path (--{name} PATH or {variable}), or "
                           f"put it on PATH")
    if not os.access(path, os.X_OK):
        raise RuntimeError(f"{name} given as {path} (from {os.getcwd()}) is not a program that "
                           f"can be run")
    return os.path.abspath(path)


class Engine:
    """pld-engined on a socket in a private directory, with a catalogue (None: the built-in
    one) and a seed; `console()` starts pldweb on it, once."""

    def __init__(self, pld_engined, catalogue=None, seed=1, pldweb=None):
        self.catalogue, self.seed, self.pldweb = catalogue, seed, pldweb
        self.scratch = tempfile.mkdtemp(prefix="zvpld-")  # mode 0700
        self.socket = os.path.join(self.scratch, "engine.sock")
        args = [pld_engined, "--socket", self.socket, "--seed", str(seed)]
        if catalogue:
            args += ["--catalogue", catalogue]
        self._console = None
        try:
            self.daemon = Child(args, self.scratch, r"READY .* seed=\d+", "pld-engined")
        except BaseException:
            shutil.rmtree(self.scratch, ignore_errors=True)
            raise

    def console(self):
        if self._console is None:
            self._console = Console(self)
        return self._console

    def stop(self):
        try:
            if self._console is not None:
                self._console.stop()
            return self.daemon.stop()
        finally:
            shutil.rmtree(self.scratch, ignore_errors=True)


class Console:
    """pldweb on an engine, on a free port of 127.0.0.1: `url` (with the token), `base`,
    `token`; `page()` opens it in headless Chromium."""

    def __init__(self, engine):
        if not engine.pldweb:
            raise RuntimeError("pldweb not found: give --pldweb PATH or PLDWEB, or put it on PATH")
        # A token of its own, in the private folder (a command line is anyone's to read): one
        # the user keeps in PLDWEB_TOKEN is not the fixture's to serve, nor to show in a report.
        token_file = os.path.join(engine.scratch, "pldweb.token")
        fd = os.open(token_file, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_EXCL, 0o600)
        with os.fdopen(fd, "w") as f:
            f.write(secrets.token_urlsafe(24))
        args = [engine.pldweb, "--engine", f"unix:{engine.socket}", "--port", "0",
                "--token-file", token_file]
        if engine.catalogue:
            args += ["--catalogue", engine.catalogue]
        env = {k: v for k, v in os.environ.items() if k != "PLDWEB_TOKEN"}
        self.web = Child(args, engine.scratch, r"listening on (?P<url>(?P<base>http://[^/ ]+)/"
                         r"\?token=(?P<token>[A-Za-z0-9._~-]+))", "pldweb", env)
        self.url, self.base, self.token = self.web.ready.group("url", "base", "token")
        self.scratch = engine.scratch
        self._pages = []

    def page(self, chromium=None):
        """The console's page in a headless Chromium of its own: a zvpld.browser.Page, closed at
        the end of the test at the latest."""
        from .browser import Page
        page = Page(self.url, chromium)
        self._pages.append(page)
        return page

    def close_pages(self):
        """Closes the pages opened and not closed (their Chromium, their profile folder)."""
        while self._pages:
            self._pages.pop().close()

    def stop(self):
        self.close_pages()
        return self.web.stop()
