#!/usr/bin/env python3
"""console_test.py PLDWEB PLD_ENGINED page|simulation|api: pldweb over the engine daemon, its page in a real
headless Chromium driven over the DevTools pipe, or its answers to bad requests. Everything
started here runs in a process group of its own, dies with this script and is stopped before it
returns; only 127.0.0.1 and a Unix socket are used."""
import http.client
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
# The Python client's process and browser helpers, from the tree (they need no msgpack).
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools", "zvpld-python"))
from zvpld.browser import Page  # noqa: E402
from zvpld.processes import spawn, stop_group as stop  # noqa: E402

CATALOGUE = os.path.join(HERE, "catalogue.json")

# The catalogue's table as the page shows it: device, GddId, label, module, value, access.
TABLE = [row.split("|") for row in [
    "1|101|Supply setpoint|1|60.0 degC|rw", "1|102|Operating mode|1|Comfort|rw",
    "1|103|Burner starts|1|1234|r", "2|200|Pump speed|1|40 %|rw", "2|200|Pump speed|2|55 %|rw"]]
ACTIVE_EVENTS = [
    "event 3 (Remote sensor not answering), group 1: state 1",
    "event 4 (Pump 2 stopped), group 3: state 2",
]
P101 = "/api/devices/1/points/101"

# Without the console's token (any other local user), nothing is read and nothing changes; a
# wrong token in the page's address is refused too.
WITHOUT_TOKEN = [("POST", "/api/sim", {"do": "stall"}), ("POST", "/api/sim", {"do": "reset"}),
                 ("PUT", P101 + "/value", {"value": "70"}), ("GET", "/api/devices", None),
                 ("GET", "/api/stream", None), ("GET", "/?token=" + "0" * 64, None)]
# What every answer carries, refusals included.
SECURITY_HEADERS = {
    "content-security-policy": "frame-ancestors 'none'; default-src 'self'",
    "x-frame-options": "DENY", "x-content-type-options": "nosniff",
    "referrer-policy": "no-referrer"}


def wait_for(what, check):
    deadline = time.monotonic() + 15
    while not (value := check()):
        assert time.monotonic() < deadline, f"timed out waiting for {what}"
        time.sleep(0.05)
    return value


# Each console's token, by address, as it printed it.
TOKENS = {}


def request(address, method, path, body=None, timeout=10, headers=None, answer=None):
    """The status and the JSON answer of one request on a connection of its own, with the
    console's token unless `headers` are given; `answer` takes the response's headers."""
    connection = http.client.HTTPConnection(address, timeout=timeout)
    try:
        if headers is None:
            headers = {"X-Console-Token": TOKENS[address]} if address in TOKENS else {}
        if method != "GET":
            headers = {**headers, "Content-Type": "application/json"}
        if isinstance(body, tuple):
            connection.putrequest(method, path)
            for header in (body, *headers.items()):
                connection.putheader(*header)
            connection.endheaders()
        else:
            connection.request(method, path, body if body is None or isinstance(body, bytes)
                               else json.dumps(body), headers)
        response = connection.getresponse()
        if answer is not None:
            answer.update((k.lower(), v) for k, v in response.getheaders())
        return response.status, json.loads(response.read())
    finally:
        connection.close()


def start(pldweb, pld_engined, scratch, extra=(), deadline_ms=None, **kwargs):
    """The engine daemon, once it accepts, and pldweb on it (with `extra` options, and the message
    client's deadline if given); and pldweb's address."""
    path = os.path.join(scratch, "engine.sock")
    daemon = spawn([pld_engined, "--socket", path, "--catalogue", CATALOGUE,
                    "--state", os.path.join(scratch, "state.json")], stdout=subprocess.DEVNULL)
    with socket.socket(socket.AF_UNIX) as s:
        wait_for("the engine daemon to accept", lambda: s.connect_ex(path) == 0)
    engine = f"unix:{path}" + (f"?deadline_ms={deadline_ms}" if deadline_ms else "")
    web = spawn([pldweb, "--engine", engine, "--catalogue", CATALOGUE,
                 "--port", "0", *extra], stdout=subprocess.PIPE, **kwargs)
    return web, daemon, address_of(web)


def address_of(web):
    """The address pldweb printed at its start; its token goes to TOKENS."""
    line = web.stdout.readline().decode()
    assert "http://" in line, f"pldweb: {line!r}"
    address, _, rest = line.split("http://", 1)[1].partition("/")
    if rest.startswith("?token="):
        TOKENS[address] = rest[len("?token="):].split()[0]
    return address


def open_page(address, browser):
    # The address pldweb printed (the page's): its token is exchanged for the cookie and leaves
    # the address.
    wait_for("the table and the event stream", lambda: browser.js(
        "document.body?.dataset.stream === 'open' && document.body.dataset.loaded === 'yes'"))
    assert browser.js("location.href") == f"http://{address}/", browser.js("location.href")


def check_page(address, browser):
    open_page(address, browser)
    rows = browser.js("[...document.querySelectorAll('#points tbody tr')]"
                      ".map(tr => [...tr.cells].map(c => c.textContent))")
    assert rows == TABLE, f"table: {rows}"

    browser.js("window.sameDocument = true")
    status, answer = request(address, "PUT", "/api/devices/2/points/200/value",
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


def check_simulation(address, browser):
    # A device taken offline from the panel: its rows show the error, with no reload; and back.
    open_page(address, browser)
    wait_for("the Simulation panel", lambda: browser.js("!document.getElementById('sim').hidden"))
    browser.js("window.sameDocument = true")
    row = ("(() => { const tr = document.getElementById('row-1-101-1');"
           " return window.sameDocument === true && [tr.className, tr.cells[0].textContent,"
           " tr.cells[4].textContent].join('|'); })()")
    for button, shown in [("offline", "offline|1 (offline)|2 (failed)"),
                          ("online", "|1|60.0 degC")]:
        browser.js(f"document.querySelector('#simDevice button[value={button}]').click()")
        wait_for(f"the device {button} in the table", lambda: browser.js(row) == shown)

    # Each further form's command as sent, and the engine's answer shown: "ok", or for the full
    # reset, which an engine may not have yet, any answer.
    browser.js("window.sent = []; const send = window.fetch; window.fetch = (path, init) =>"
               " { if (init && init.body) window.sent.push(JSON.parse(init.body));"
               " return send(path, init); }")
    for form, fields, button, sent, shown in [
            ("simDelay", {"ms": "", "min_ms": "5", "max_ms": "9"}, "delayRange",
             {"do": "delay", "min_ms": 5, "max_ms": 9}, "ok"),
            ("simNotify", {"action": "repeat", "count": "2", "kind": "event"}, "notify",
             {"do": "notify", "action": "repeat", "kind": "event", "count": 2}, "ok"),
            ("simPlant", {"update_ms": "1000", "steps": ""}, "plant",
             {"do": "plant", "device": 1, "point": 101, "module": 0, "signal": "ramp", "min": 50,
              "max": 70, "period_ms": 10000, "update_ms": 1000}, "ok"),
            ("simReset", {}, "reset", {"do": "reset"}, "ok")]:
        browser.js("document.getElementById('simResult').className = 'waiting'; " + "".join(
            f"document.querySelector('#{form} [name={name}]').value = {json.dumps(value)}; "
            for name, value in fields.items()) +
            f"document.querySelector('#{form} button[value={button}]').click()")
        result = wait_for(f"the answer to {button}", lambda: browser.js(
            "document.getElementById('simResult').className !== 'waiting' &&"
            " [document.getElementById('simResult').className, window.sent.at(-1)]"))
        assert result[1] == sent, f"{button} sent {result[1]}, not {sent}"
        assert shown is None or result[0] == shown, f"{button}: {result}"
    assert browser.js("document.querySelector('#simEvent button[value=reset]')") is None
    check_journal(address, browser)


def journal_shown(browser):
    return browser.js(
        "[document.getElementById('journalSummary').textContent,"
        " [...document.querySelectorAll('#journalCounts li')].map(li => li.textContent),"
        " [...document.querySelectorAll('#journal tbody tr')].map(tr =>"
        " [tr.dataset.seq, ...[...tr.cells].map(c => c.textContent)])]")


def write_through_page(browser, value):
    browser.js(f"{{ const f = document.getElementById('write'); f.value.value = '{value}';"
               " f.querySelector('button').click(); }")
    result = "document.getElementById('writeResult').textContent"
    wait_for("the write", lambda: browser.js(result) == "result 0 (ok), read back " + value)


def check_journal(address, browser):
    # The journal view: emptied from the page, then a write read back through the page appears
    # in it, newest first, with its counts; the table's reloads may add reads of their own.
    browser.js("document.querySelector('#journalView summary').click()")
    newest = wait_for("the journal view", lambda: (
        rows := journal_shown(browser)[2]) and int(rows[0][0]))
    browser.js("document.getElementById('journalClear').click()")
    wait_for("the journal cleared", lambda: browser.js(
        "document.getElementById('simResult').textContent") == "journal cleared" and all(
        int(row[0]) > newest for row in journal_shown(browser)[2]))
    write_through_page(browser, "61.5")
    browser.js("document.getElementById('journalRefresh').click()")
    summary, counts, rows = wait_for("the write in the journal", lambda: (
        shown := journal_shown(browser)) and "SetVelPntStr: 1" in shown[1] and shown)
    seqs = [int(r[0]) for r in rows]
    assert seqs == sorted(seqs, reverse=True), f"not newest first: {rows}"
    ops = {op: int(n) for op, n in (c.split(": ") for c in counts)}
    assert summary.startswith(f"the last {sum(ops.values())} calls: p50 "), (summary, counts)
    assert len(rows) == min(50, sum(ops.values())) and ops["GetVelPntStr"] >= 1, (counts, rows)
    write = next(r for r in rows if r[3] == "SetVelPntStr")
    read = next(r for r in rows if r[3] == "GetVelPntStr" and r[4] == "1/101/0/0")
    assert int(read[0]) > int(write[0]) and write[4:6] == read[4:6] == ["1/101/0/0", "0"], rows
    # Refreshed every two seconds when asked, with no click.
    browser.js("document.getElementById('journalAuto').click()")
    write_through_page(browser, "62.5")
    wait_for("the refresh", lambda: "SetVelPntStr: 2" in journal_shown(browser)[1])

    # The full reset: the catalogue's value again and an empty journal; an engine without it
    # refuses the command, and then there is nothing to check.
    browser.js("document.getElementById('simResult').className = 'waiting';"
               " document.querySelector('#simReset button[value=resetCatalogue]').click()")
    result = wait_for("the answer to the full reset", lambda: browser.js(
        "document.getElementById('simResult').className !== 'waiting' &&"
        " [document.getElementById('simResult').textContent, window.sent.at(-1)]"))
    assert result[1] == {"do": "reset", "catalogue": True}, result
    if result[0] == 'reset: unknown field "catalogue"':
        print("the engine has no full reset: its check skipped")
        return
    assert request(address, "GET", P101)[1]["values"][0]["value"] == "60.0", result
    browser.js("document.getElementById('journalRefresh').click()")
    wait_for("the journal emptied", lambda: not any(
        c.startswith("SetVelPntStr") for c in journal_shown(browser)[1]))


def check_api(address, web, daemon):
    for method, path, body in WITHOUT_TOKEN:
        headers = {}
        got, answer = request(address, method, path, body, headers={}, answer=headers)
        assert got == 401, f"{method} {path} without the token: HTTP {got}: {answer}"
        assert SECURITY_HEADERS.items() <= headers.items(), f"{method} {path}: {headers}"
    # Nothing changed: the value is the catalogue's, and the engine answers (no stall).
    got, answer = request(address, "GET", P101, timeout=3)
    assert (got, answer["values"][0]["value"]) == (200, "60.0"), answer

    # The printed address's token, exchanged for a cookie that then opens the API.
    headers = {}
    got, _ = request(address, "GET", "/?token=" + TOKENS[address], headers={}, answer=headers)
    cookie = f"pldweb-token-{address.rsplit(':', 1)[1]}={TOKENS[address]}"
    assert (got, headers.get("location")) == (303, "/"), (got, headers)
    assert headers.get("set-cookie") == cookie + "; Path=/; HttpOnly; SameSite=Strict", headers
    assert request(address, "GET", "/api/engine", headers={"Cookie": cookie})[0] == 200

    # The heads the HTTP library would answer by itself below its own limits, with none of the
    # console's headers: the console answers them first.
    for status, path, extra in [(414, "/api/" + "a" * 9000, {}),
                                (431, "/api/engine", {"X-Big": "a" * 17000}),
                                (431, "/api/engine", {f"X-Line-{i}": "1" for i in range(70)}),
                                (400, "/api/events/active?timeout=x", {})]:
        headers = {}
        got, answer = request(address, "GET", path, headers={
            "X-Console-Token": TOKENS[address], **extra}, answer=headers)
        assert got == status, f"{path[:40]}: HTTP {got}, expected {status}: {str(answer)[:80]}"
        assert {**SECURITY_HEADERS, "content-type": "application/json"}.items() <= \
            headers.items(), f"{path[:40]}: {headers}"

    os.kill(daemon.pid, signal.SIGSTOP)  # the first request then waits; another is turned away
    first = threading.Thread(target=request, args=(address, "GET", "/api/events/active"))
    first.start()
    time.sleep(0.3)
    got = request(address, "GET", "/api/events/active")
    os.kill(daemon.pid, signal.SIGCONT)
    first.join()
    assert got[0] == 503, f"a request while another waits: {got}"

    # A stalled engine: the answer says so once the message client's deadline (2 s) has passed.
    assert request(address, "POST", "/api/sim", {"do": "stall"})[0] == 200
    got, answer = request(address, "GET", P101)
    assert request(address, "POST", "/api/sim", {"do": "release"})[0] == 200
    assert (got, answer.get("engine_status"), answer.get("engine_word")) == \
        (502, 13, "no answer"), f"a read while the engine stalls: {got} {answer}"


class Skipped(Exception):
    pass


def run(pldweb, pld_engined, check, seconds, extra=(), **kwargs):
    """check(address, web, daemon) on pldweb over an engine daemon of its own, within `seconds`;
    both must then stop cleanly on SIGTERM. The exit status: 0, or 77 when skipped."""
    # The reads from the children block: this bounds them all.
    signal.signal(signal.SIGALRM, lambda *_: (_ for _ in ()).throw(AssertionError("timed out")))
    signal.alarm(seconds)
    with tempfile.TemporaryDirectory(prefix="pldweb-test-") as scratch:
        web, daemon, address = start(pldweb, pld_engined, scratch, extra, **kwargs)
        try:
            check(address, web, daemon)
        except Skipped as why:
            print(f"skipped: {why}")
            return 77
        finally:
            codes = [stop(web), stop(daemon)]
        assert codes == [0, 0], f"pldweb's and the daemon's exit statuses after SIGTERM: {codes}"
    print("ok")
    return 0


def main():
    pldweb, pld_engined, check = sys.argv[1:]
    chromium = shutil.which("chromium")
    if check != "api" and chromium is None:
        print("no chromium on this machine (scripts/ensure-packages browser installs it)")
        return 77  # skipped

    def page(address, web, daemon):
        with Page(f"http://{address}/?token={TOKENS[address]}", chromium) as browser:
            (check_simulation if check == "simulation" else check_page)(address, browser)
    return run(pldweb, pld_engined, check_api if check == "api" else page, 90)


if __name__ == "__main__":
    sys.exit(main())
