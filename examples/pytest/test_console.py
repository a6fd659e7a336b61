"""Tests of the shipped web console against the simulated engine, as a UI team would write them
with the zvpld pytest plugin: no conftest, no sleeping. Run them with the package installed:

    PLD_ENGINED=... PLDWEB=... python3 -m pytest examples/pytest
"""
import pathlib
import time

OVERHEAT = pathlib.Path(__file__).parents[1] / "scenarios" / "overheat.json"
LOADED = "document.body?.dataset.loaded === 'yes' && document.body.dataset.stream === 'open'"


def rows_of(device):
    """The table's rows of a device: [class, first cell]."""
    return (f"[...document.querySelectorAll('#points tbody tr[id^=\"row-{device}-\"]')]"
            ".map(tr => [tr.className, tr.cells[0].textContent])")


def test_a_device_taken_offline_has_its_rows_marked(pld, pld_console):
    with pld_console.page() as page:
        page.wait_for(LOADED)
        assert all(cls == "" for cls, _ in page.js(rows_of(1)))
        pld.offline(device=1)
        rows = page.wait_for(f"{rows_of(1)}.every(([cls]) => cls === 'offline') && {rows_of(1)}",
                             what="device 1's rows marked offline")
        assert {cell for _, cell in rows} == {"1 (offline)"}
        assert all(cls == "" for cls, _ in page.js(rows_of(2)))


def test_overheat_on_the_frozen_clock_raises_the_burner_lockout(pld, pld_console,
                                                                record_property):
    pld.freeze()
    pld.subscribe()
    with pld_console.page() as page:
        page.wait_for(LOADED)
        start = time.monotonic()
        pld.play_scenario(OVERHEAT, until_ms=24000)  # 24 s of the plant, up to the lockout
        # How fast is told, not asserted: a loaded machine must not fail the test.
        record_property("scenario_played_s", round(time.monotonic() - start, 3))
        step = pld.next_event(lambda e: e["event"] == "step" and e["step"] == 2)
        assert step["answer"] == {"ok": True, "done": "event 1 in state 1"}
        shown = page.wait_for("[...document.querySelectorAll('#events li')]"
                              ".map(li => li.textContent).find(t => t.startsWith('event 1 '))",
                              what="the lockout among the active events")
        assert shown.endswith(": state 1")


def test_the_page_reads_a_device_once_after_it_drops_off(pld, pld_console):
    with pld_console.page() as page:
        page.wait_for(LOADED)
        mark = pld.mark()
        pld.offline(device=1)
        pld.wait(op="GetVelPntStr", device=1, point=101, since=mark, timeout_ms=5000)
        page.wait_for(f"{rows_of(1)}.every(([cls]) => cls === 'offline')")
        reads = pld.journal(op="GetVelPntStr", device=1, since=mark)
    # Those answered 1007 came after it dropped off: one read of each of its values, no retry.
    assert [e["point"] for e in reads["entries"] if e["status"] == 1007] == [
        100, 101, 102, 103, 104, 105, 106]
