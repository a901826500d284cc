"""python -m ferrovane_cairn_login check: its replay ends as a real init_daz() call in the same environment
(the outcome, the source, the failing line), leaves the module's globals as they were and, without --login,
daz uncalled; the agent tool's run as a real shell reports it; no secret the replay met is printed."""

import contextlib
import io
import itertools
import json
import os
import re
import subprocess
import sys
import types

import pytest
from hypothesis import example, given, settings, strategies as st

from conftest import DazRecorder, FakeLicences
from support import module_entries, run_python
from test_chain import (ACCOUNT, APP_KEY, FAILURES, ORDER, UNPACKING, U, agent, module, place, response,
                        truth)

from ferrovane.cairn.utils import login
from ferrovane_cairn_login import _rows
from ferrovane_cairn_login.__main__ import main

WRAPPED, ABSENT = ("daz", "get_license_info", "subprocess"), object()
DAZ_LINES = {39: "agent", 43: "licence", 47: "app-key licence"}


def fresh(mp):
    """What the `c` fixture gives, made anew: fake daz and licences, the agent off."""
    c = types.SimpleNamespace(login=login, daz=DazRecorder(), licences=FakeLicences(), mp=mp)
    mp.setattr(login, "daz", c.daz)
    mp.setattr(login, "get_license_info", c.licences)
    mp.delenv("FERROVANE_AGENT", raising=False)
    return c


def real(c):
    """How a real call ends: (outcome, source, line)."""
    try:
        login.init_daz()
    except Exception as exc:
        line = module_entries(exc)[0][1]
        return "error", DAZ_LINES.get(line), line
    if not c.daz.calls:
        return "nothing", None, None
    return "login", "licence" if not c.daz.calls[0][1] else (
        "app-key licence" if ("FERROVANE_APPKEY_LICENSE",) in c.licences.calls else "agent"), None


def check(*options):
    """Runs the command in this process: (exit status, the report, the report as printed); with "--words"
    among `options`, the report is the text."""
    before = {name: vars(login).get(name, ABSENT) for name in WRAPPED}
    with contextlib.redirect_stdout(io.StringIO()) as out:
        status = main(["check", *(o for o in options if o != "--words"),
                       *(() if "--words" in options else ["--json"])])
    assert {name: vars(login).get(name, ABSENT) for name in WRAPPED} == before  # the very objects
    printed = out.getvalue()
    return status, None if "--words" in options else json.loads(printed), printed


def setup_order(selector, from_agent, default, appkey, *_):
    def setup(c, error):
        from_agent and place(c, "agent", from_agent)
        c.mp.setattr(login, "os", module("os", getenv=lambda *a: selector))
        c.licences.default, c.licences.appkey = default, appkey
    return setup


SCENARIOS = {  # id: setup(c, error), as in the chain's own tests
    **{f"order{i}": setup_order(*case) for i, case in enumerate(ORDER)},
    **{f"{lookup} {name}": (lambda c, e, lookup=lookup, make=make: setattr(c.licences, lookup, make()))
       for name, (make, _) in UNPACKING.items() for lookup in ("default", "appkey")},
    **{f"fails {name}": setup for name, (_, setup) in FAILURES.items()}}


@pytest.mark.parametrize("setup", SCENARIOS.values(), ids=SCENARIOS)
def test_replay_ends_as_the_real_call(setup):
    with pytest.MonkeyPatch.context() as mp:
        setup(c := fresh(mp), Exception())
        expected, calls = real(c), c.daz.calls
    for options in ((), ("--login",)):
        with pytest.MonkeyPatch.context() as mp:
            setup(c := fresh(mp), Exception())
            status, report, _ = check(*options)
            outcome = (report["outcome"], report["source"], report["error"] and report["error"]["line"])
            if options:
                assert (outcome, c.daz.calls) == (expected, calls)
            else:  # a dry run: daz uncalled, so a daz.init that fails cannot fail
                assert c.daz.calls == []
                assert outcome == (("login", expected[1], None) if expected[2] in DAZ_LINES else expected)
            assert status == {"login": 0, "nothing": 1, "error": 2}[outcome[0]]


def tool(c, tmp_path, script):
    """A fake wrenkit first on PATH (none for script None), run by a real shell."""
    (path := tmp_path / "bin").mkdir()
    if script is not None:
        (path / "wrenkit").write_text("#!/bin/sh\n" + script)
        (path / "wrenkit").chmod(0o755)
    c.mp.setenv("PATH", str(path) + ("" if script is None else os.pathsep + os.environ["PATH"]))
    c.mp.setenv("FERROVANE_AGENT", "app_key_daz")
    c.licences.default = ("licence-user", "pw")
    return str(path / "wrenkit") if script else None


GOOD = json.dumps(response((ACCOUNT, "agent-user"), (APP_KEY, "agent-key")))


@pytest.mark.skipif(os.name != "posix", reason="the fake tools are POSIX shell scripts")
@pytest.mark.parametrize("script, status, tail, parsed, outcome", [
    (f"echo '{GOOD}'\necho 'a warning' >&2\nexit 3\n", 3, ["a warning"], True, ("login", "agent", None)),
    ("echo 'token expired' >&2\nexit 3\n", 3, ["token expired"], False, ("error", None, 29)),
    (None, 127, ["wrenkit: not found"], False, ("error", None, 29)),
    (f"echo 'update available'\necho '{GOOD}'\n", 0, [], False, ("error", None, 29))])
def test_agent_tool_run_by_a_real_shell(c, tmp_path, script, status, tail, parsed, outcome):
    found = tool(c, tmp_path, script)
    (_, report, printed), (*_, words) = check(), check("--words")
    assert (report["outcome"], report["source"], report["error"] and report["error"]["line"]) == outcome
    assert outcome == real(c)
    run = report["agent"]
    assert (run["command"], run["found"], run["exit_status"]) == (["/bin/sh", "-c", "wrenkit"], found, status)
    assert len(run["stderr_tail"]) == len(tail) and all(map(str.__contains__, run["stderr_tail"], tail))
    assert run["parsed"] == (parsed and {"Code": 0, "settings": [ACCOUNT, APP_KEY]})
    assert "agent-key" not in printed + words
    assert f"exit status: {status}" in words and ("at line 29: result = json.loads" in words) == bool(outcome[2])


@pytest.mark.parametrize("platform, command", [
    ("win32", 'agent tool: powershell.exe -NoProfile -ExecutionPolicy Bypass -Command "& wrenkit.exe"\n'),
    ("linux", "agent tool: /bin/sh -c wrenkit\n")])
def test_command_line_as_the_platform_writes_it(c, platform, command):
    agent(c, platform=platform)
    (_, report, _), (*_, words) = check(), check("--words")
    assert (report["outcome"], report["source"], report["user"]) == ("login", "agent", repr(U))
    assert command in words and "exit status: none" in words  # a fake's result is not read


def test_login_logs_in_with_the_stand_ins_and_a_dry_run_does_not(monkeypatch, tmp_path, no_agent):
    from ferrovane import daz
    (licence := tmp_path / "licence.json").write_text('{"user": "alice", "password": "pw-a"}')
    monkeypatch.setenv("FERROVANE_LICENSE", str(licence))
    monkeypatch.setattr(daz, "last_login", None)
    (status, dry, printed), (*_, words) = check(), check("--words")
    assert (status, daz.last_login, "pw-a" in printed + words) == (0, None, False)
    assert check("--login")[1] == dry | {"dry_run": False}
    assert daz.last_login == daz.Login("alice", "password")


HALVES = [  # default and app-key lookup results; (user, secret) truth of each lookup made (None: unknown)
    (("u", "pw"), None, [(True, True)]),
    (("u", ""), ["u2", "key"], [(True, False), (True, True)]),
    ((None, None), (U, None), [(False, False), (None, False)]),  # U's truth would run code: unknown
    ((truth(False), "pw"), ("u", b""), [(False, True), (True, False)]),  # inferred: the chain went on
    (("u", truth(False)), None, [(True, False), (False, False)]),
    (iter(["u", "pw"]), None, [(True, True)]),  # daz.init got the pair: both true
    (iter(["u", ""]), None, [(None, None), (False, False)])]  # an iterator is not read


@pytest.mark.parametrize("default, appkey, halves", HALVES)
def test_each_lookup_reports_the_truth_of_its_halves(c, default, appkey, halves):
    c.licences.default, c.licences.appkey = default, appkey or (None, None)
    report = check()[1]
    assert [(made["user_true"], made["secret_true"]) for made in report["lookups"]] == halves
    assert [made["call"] for made in report["lookups"]] == [
        "get_license_info()", 'get_license_info("FERROVANE_APPKEY_LICENSE")'][:len(halves)]
    assert "user true, secret false" in check("--words")[2] or (True, False) not in halves


@pytest.mark.parametrize("code, status, expected", [
    ("import ferrovane; del ferrovane.daz; sys.modules['ferrovane.daz'] = None", 2,
     ["ModuleNotFoundError", 1, "from ferrovane import daz"]),
    ("pass", 1, None)])  # no licence: nothing
def test_run_as_a_command(tmp_path, code, status, expected):
    done = run_python(f"import runpy, sys; {code}; sys.argv[1:] = ['check', '--json']; "
                      "runpy.run_module('ferrovane_cairn_login', run_name='__main__')",
                      env={"FERROVANE_LICENSE": "", "FERROVANE_APPKEY_LICENSE": ""}, cwd=tmp_path)
    error = json.loads(done.stdout)["error"]
    assert (done.returncode, error and [error["type"], error["line"], error["statement"].split(";")[0]]) == (
        status, expected)
    assert expected is None or "python -m pip list" in error["advice"]


def refuse(*args, **kwargs):
    raise ValueError(f"refused {args!r} {kwargs!r} {' '.join(map(str, [*args, *kwargs.values()]))}")


TEXT = st.text(min_size=6).filter(lambda s: s.strip() == s)


# Each example replays four times: at most 100 examples, fewer where the profile asks for fewer.
@settings(max_examples=min(100, settings.default.max_examples), deadline=None)
@example(secrets=("password", "two\nlines", "agent\nkey\n\\x"), live=True, refused=True, source="agent")
@given(secrets=st.tuples(TEXT, TEXT, TEXT), live=st.booleans(), refused=st.booleans(),
       source=st.sampled_from(["agent", "warned agent", "default", "appkey"]))
def test_no_secret_is_printed(secrets, source, live, refused):
    password, key, agent_key = secrets
    with pytest.MonkeyPatch.context() as mp:
        c = fresh(mp)
        c.licences.default, c.licences.appkey = ("user", "" if source == "appkey" else password), ("user", key)
        if "agent" in source:  # the tool's standard error holds its app key, as it is and as repr gives it
            out = ("warning\n" if source == "warned agent" else "") + json.dumps(
                response((ACCOUNT, "agent-user"), (APP_KEY, agent_key)))
            done = subprocess.CompletedProcess("wrenkit", 3, out, f"{agent_key}\n{agent_key!r} {json.dumps(agent_key)}")
            agent(c)
            mp.setattr(login, "subprocess", module("subprocess", run=lambda *a, **k: done))
            mp.setattr(login, "json", json)
        if refused:
            mp.setattr(c.daz, "init", refuse)
        login_option = ("--login",) if live else ()
        (*_, printed), (*_, words) = check(*login_option), check("--words", *login_option)
    for secret in secrets:
        assert all(form not in printed + words for form in (secret, repr(secret)[1:-1], json.dumps(secret)[1:-1]))


@pytest.mark.parametrize("table", [_rows.IMPORT_ROWS, _rows.CALL_ROWS])
def test_advice_stands_alone(table):
    # The guide's rows refer to earlier rows ("as line 5"); the command's reader has no guide to look in.
    table = _rows.rows(table)
    for line, name in itertools.product(table, ("statement", "fails", "check")):
        text = _rows.cell(table, line, name)
        assert not re.search(r"as line \d+(?!\d| \()", text) and "`" not in text and "](#" not in text, (line, text)
