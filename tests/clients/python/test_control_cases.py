"""The shared table of control commands and the daemon's answers (tests/clients/
control-cases.json), each sent through the client's method for its verb."""
import json
import pathlib

import pytest

import zvpld

CASES = json.loads((pathlib.Path(__file__).parents[1] / "control-cases.json").read_text())["cases"]


@pytest.mark.parametrize("case", CASES, ids=[case["name"] for case in CASES])
def test_control_case(pld, case):
    for before in case.get("before", []):
        assert pld.command(before)["ok"] is True, before
    fields = dict(case["command"])
    verb = fields.pop("do")
    if not hasattr(zvpld.Client, verb):  # no method: the raw command answers whatever it says
        answer = pld.command(case["command"])
    elif case["expect"]["ok"]:
        answer = getattr(pld, verb)(**fields)
    else:
        with pytest.raises(zvpld.ControlRefused) as refused:
            getattr(pld, verb)(**fields)
        assert str(refused.value) == case["expect"]["error"]
        assert refused.value.command == case["command"]
        answer = refused.value.answer
    assert {key: answer.get(key, "(absent)") for key in case["expect"]} == case["expect"]
