"""init_daz as the standard library's tools see it (a built-in function: pydoc, inspect, the profilers and
sys.monitoring), and callees that break the calling convention: each call the chain and the agent query
make is checked as the interpreter checks it."""

import cProfile
import contextlib
import inspect
import pstats
import pydoc
import signal
import sys
import types
import warnings
from pathlib import Path

import pytest

from support import (DEBUG_BUILD, INIT_DAZ, MISBEHAVING_PATH, SOURCE_PATH, misbehaving, misbehaving_callee,
                     module_entries, run_python)
from test_chain import ACCOUNT, K, P, U, Boom, agent, place, raiser, response

with warnings.catch_warnings():  # deprecated from 3.15 on, and still shipped
    warnings.simplefilter("ignore", DeprecationWarning)
    import profile

NAME = "ferrovane.cairn.utils.login"
NS = types.SimpleNamespace


def test_tools_list_it_as_a_function(login):
    f = login.init_daz
    assert inspect.isbuiltin(f) and inspect.isroutine(f) and isinstance(f, types.BuiltinFunctionType)
    assert ("init_daz", f) in inspect.getmembers(login, inspect.isroutine)
    assert str(inspect.signature(f)) == "()"
    text = pydoc.render_doc(login, renderer=pydoc.plaintext)
    assert "FUNCTIONS\n    init_daz()\n" in text and "init_daz =" not in text
    with pytest.raises(TypeError):
        type(f)()


@pytest.fixture(params=["returns", "raises"])
def outcome(request, c):
    """init_daz() either logs in with the default pair or fails in the default lookup."""
    if request.param == "returns":
        place(c, "default", (U, P))
    else:
        c.mp.setattr(c.login, "get_license_info", raiser(Boom()))
    return request.param


def call_it(login):
    with contextlib.suppress(Boom):
        login.init_daz()


def test_setprofile_events(c, outcome):
    events = []
    sys.setprofile(lambda frame, event, arg: arg is c.login.init_daz and events.append(event))
    try:
        call_it(c.login)
    finally:
        sys.setprofile(None)
    assert events == ["c_call", "c_return" if outcome == "returns" else "c_exception"]


def test_monitoring_events(c, outcome):
    mon = sys.monitoring
    tool = next(i for i in range(6) if mon.get_tool(i) is None)
    events, wanted = [], {"CALL": mon.events.CALL, "C_RETURN": mon.events.C_RETURN, "C_RAISE": mon.events.C_RAISE}
    mon.use_tool_id(tool, "init_daz test")
    try:
        for label, event in wanted.items():
            mon.register_callback(tool, event, lambda code, offset, callable, arg0, label=label:
                                  callable is c.login.init_daz and events.append(label))
        mon.set_events(tool, sum(wanted.values()))
        call_it(c.login)
    finally:
        mon.set_events(tool, 0)
        mon.free_tool_id(tool)
    assert events == ["CALL", "C_RETURN" if outcome == "returns" else "C_RAISE"]


@pytest.mark.parametrize("profiler, key", [
    (cProfile.Profile, ("~", 0, f"<built-in method {NAME}.init_daz>")), (profile.Profile, ("", 0, "init_daz"))])
def test_profilers_list_the_call(c, outcome, profiler, key):
    prof = profiler()
    with contextlib.suppress(Boom):
        prof.runcall(c.login.init_daz)
    assert pstats.Stats(prof).stats[key][:2] == (1, 1)  # primitive and total calls


class Doc(dict):
    """A JSON object whose get() is `get`."""

    def __init__(self, get, **members):
        super().__init__(members)
        self.get = get


PLACES = {  # id: line, setup(c, callee) that makes that statement's call reach `callee`
    "os.getenv": (10, lambda c, f: c.mp.setattr(c.login, "os", NS(getenv=f))),
    "startswith": (12, lambda c, f: agent(c, platform=NS(startswith=f))),
    "windows run": (14, lambda c, f: agent(c, platform="win32") or c.mp.setattr(c.login.subprocess, "run", f)),
    "environ.copy": (16, lambda c, f: agent(c, platform="win32") or c.mp.setattr(
        c.login, "os", NS(getenv=lambda n: "app_key_daz", environ=NS(copy=f)))),
    "shell run": (22, lambda c, f: agent(c) or c.mp.setattr(c.login.subprocess, "run", f)),
    "json.loads": (29, lambda c, f: agent(c) or c.mp.setattr(c.login.json, "loads", f)),
    "get Code": (30, lambda c, f: agent(c, Doc(f))),
    "get Value": (35, lambda c, f: agent(c, response(Doc(f, Key=ACCOUNT)))),
    "agent daz.init": (39, lambda c, f: place(c, "agent", (U, K)) or c.mp.setattr(c.daz, "init", f)),
    "get_license_info": (41, lambda c, f: c.mp.setattr(c.login, "get_license_info", f)),
    "daz.init": (43, lambda c, f: place(c, "default", (U, P)) or c.mp.setattr(c.daz, "init", f)),
    "app-key daz.init": (47, lambda c, f: place(c, "appkey", (U, K)) or c.mp.setattr(c.daz, "init", f)),
}
# The interpreter's message for each way of misbehaving, and the cause it chains.
MISBEHAVIOUR = {"null_without_error": ("returned NULL without setting an exception", None),
                "result_with_error": ("returned a result with an exception set", ValueError)}


# Run in a child interpreter of a debug build: the same fakes as the `c` fixture, the callee put in its
# place, one call.
IN_CHILD = """
import sys, types
sys.path.insert(0, {tests!r})
import pytest
from conftest import DazRecorder, FakeLicences
from support import misbehaving_callee
from test_builtin import PLACES
from ferrovane.cairn.utils import login
c = types.SimpleNamespace(login=login, daz=DazRecorder(), licences=FakeLicences(), mp=pytest.MonkeyPatch())
c.mp.setattr(login, "daz", c.daz)
c.mp.setattr(login, "get_license_info", c.licences)
PLACES[{place!r}][1](c, misbehaving_callee({kind!r}, {source!r}))
login.init_daz()
"""


@pytest.mark.parametrize("kind", MISBEHAVIOUR)
@pytest.mark.parametrize("place, source", [*((p, "extension") for p in PLACES), ("get_license_info", "_testcapi")])
def test_misbehaving_callee_gives_systemerror_at_its_line(c, place, source, kind):
    line, setup = PLACES[place]
    f = misbehaving_callee(kind, source)
    message, cause = MISBEHAVIOUR[kind]
    if DEBUG_BUILD:
        # The same check, made by a debug build, ends the process with the interpreter's own report.
        child = IN_CHILD.format(tests=str(Path(__file__).parent), place=place, kind=kind, source=source)
        proc = run_python(child, env={MISBEHAVING_PATH: misbehaving().__file__} if source == "extension" else None)
        assert proc.returncode == -signal.SIGABRT, proc.stderr
        assert f"Fatal Python error: _Py_CheckFunctionResult: a function {message}\n" in proc.stderr
        assert f"\nSystemError: {f!r} {message}\n" in proc.stderr
        return
    setup(c, f)
    with pytest.raises(SystemError) as info:
        c.login.init_daz()
    assert (str(info.value), type(info.value.__cause__)) == (f"{f!r} {message}", cause or type(None))
    assert module_entries(info.value) == [(SOURCE_PATH, line, INIT_DAZ)]
    # Nothing is left pending: the next call runs normally.
    c.mp.undo()
    logins = []
    with pytest.MonkeyPatch.context() as mp:
        mp.setattr(c.login, "get_license_info", lambda *args: ("user", "pw"))
        mp.setattr(c.login, "daz", NS(init=lambda *args: logins.append(args)))
        assert c.login.init_daz() is None and logins == [("user", "pw")]
