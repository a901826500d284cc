"""The module object, the init_daz function object, its call checks, and the traceback entries
that failures inside init_daz carry."""

import builtins
import copy
import functools
import inspect
import json
import os
import pickle
import subprocess
import sys
import traceback
import types
import weakref

import pytest

import ferrovane.daz
from ferrovane.cairn.sdk import license_helper
from support import INIT_DAZ, SOURCE_PATH, module_entries

NAME = "ferrovane.cairn.utils.login"
LOCALS = ("agent", "ps_cmd", "res", "result", "list_values", "dic", "user_id", "app_key", "user",
          "pw")
NO_ARGS = "init_daz() takes no arguments ({} given)"
NO_KEYWORDS = "init_daz() takes no keyword arguments"


def test_module_binds_exactly_its_globals(login):
    assert set(vars(login)) == {
        "__builtins__", "__doc__", "__file__", "__loader__", "__name__", "__package__",
        "__spec__", "__test__", "daz", "get_license_info", "os", "sys", "subprocess", "json",
        "init_daz"}
    assert login.__name__ == NAME and login.__doc__ is None and login.__builtins__ is builtins
    assert login.daz is ferrovane.daz and login.get_license_info is license_helper.get_license_info
    assert login.os is os and login.sys is sys and login.subprocess is subprocess
    assert login.json is json and type(login.__test__) is dict and login.__test__ == {}
    assert login.__package__ == "ferrovane.cairn.utils"
    assert login.__file__ == login.__spec__.origin


def test_function_attributes(login, monkeypatch):
    f = login.init_daz
    assert (f.__name__, f.__qualname__, f.__module__) == ("init_daz", "init_daz", NAME)
    assert f.__doc__ is None
    assert f.__defaults__ is None and f.__kwdefaults__ is None and f.__closure__ is None
    assert f.__globals__ is vars(login)
    assert str(inspect.signature(f)) == "()"
    monkeypatch.setattr(f, "marker", "value", raising=False)
    assert f.__dict__ == {"marker": "value"} and f.marker == "value"
    assert weakref.ref(f)() is f


def test_code_object(login):
    code = login.init_daz.__code__
    assert code.co_name == code.co_qualname == "init_daz"
    assert code.co_filename == SOURCE_PATH and code.co_firstlineno == 9
    assert (code.co_argcount, code.co_posonlyargcount, code.co_kwonlyargcount) == (0, 0, 0)
    assert code.co_flags == inspect.CO_OPTIMIZED | inspect.CO_NEWLOCALS
    assert code.co_varnames == LOCALS and code.co_nlocals == len(LOCALS)
    assert (code.co_code, code.co_consts, code.co_names) == (b"", (), ())


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_function_pickles_by_reference(login, protocol):
    f = login.init_daz
    assert pickle.loads(pickle.dumps(f, protocol)) is f
    assert copy.copy(f) is f and copy.deepcopy(f) is f


# ---- call checks ----

@pytest.mark.parametrize("call, message", [
    pytest.param(lambda f: f(1), NO_ARGS.format(1), id="one"),
    pytest.param(lambda f: f(1, 2), NO_ARGS.format(2), id="two"),
    pytest.param(lambda f: f(*range(3)), NO_ARGS.format(3), id="star"),
    pytest.param(lambda f: f(x=1), NO_KEYWORDS, id="keyword"),
    pytest.param(lambda f: f(1, x=1), NO_KEYWORDS, id="both"),
    pytest.param(lambda f: f(**{"x": 1}), NO_KEYWORDS, id="double-star"),
    pytest.param(lambda f: f.__call__(1), NO_ARGS.format(1), id="dunder-call"),
    pytest.param(lambda f: f.__call__(1, x=1), NO_KEYWORDS, id="dunder-call-keyword"),
    pytest.param(lambda f: functools.partial(f, 1)(), NO_ARGS.format(1), id="partial"),
    pytest.param(lambda f: functools.partial(f, x=1)(), NO_KEYWORDS, id="partial-keyword"),
    pytest.param(lambda f: list(map(f, [1])), NO_ARGS.format(1), id="map"),
    pytest.param(lambda f: list(map(f, "a", "b")), NO_ARGS.format(2), id="map-two"),
])
def test_arguments_are_refused(login, daz, licences, no_agent, call, message):
    with pytest.raises(TypeError) as info:
        call(login.init_daz)
    assert str(info.value) == message
    assert licences.calls == [] and daz.calls == []


@pytest.mark.parametrize("call", [
    pytest.param(lambda f: f(), id="plain"),
    pytest.param(lambda f: f(*[]), id="empty-star"),
    pytest.param(lambda f: f(**{}), id="empty-double-star"),
    pytest.param(lambda f: f(*(), **{}), id="both-empty"),
    pytest.param(lambda f: f.__call__(), id="dunder-call"),
    pytest.param(lambda f: functools.partial(f)(), id="partial"),
])
def test_calls_without_arguments_run(login, daz, licences, no_agent, call):
    licences.default = ("alice", "pw-test")
    assert call(login.init_daz) is None
    assert licences.calls == [()]
    assert daz.calls == [(("alice", "pw-test"), {})]


# ---- traceback entries ----

def _raise_not_a_document(text):
    raise ValueError("not a document")


def _via_agent(monkeypatch, login, loads):
    """Makes init_daz reach json.loads (line 29) through the agent step, with fakes only."""
    monkeypatch.setenv("FERROVANE_AGENT", "app_key_daz")
    monkeypatch.setattr(login, "sys", types.SimpleNamespace(platform="linux"))
    completed = types.SimpleNamespace(stdout="{}")
    monkeypatch.setattr(login, "subprocess",
                        types.SimpleNamespace(run=lambda *args, **kwargs: completed))
    monkeypatch.setattr(login, "json", types.SimpleNamespace(loads=loads))


# Failures raised by the module itself, so its entry is the innermost one.
@pytest.mark.parametrize("inject, error, message, line", [
    pytest.param(lambda mp, login, _: mp.delattr(login, "os"), NameError,
                 "name 'os' is not defined", 10, id="name-error"),
    pytest.param(lambda mp, login, _: _via_agent(mp, login, None), TypeError,
                 "'NoneType' object is not callable", 29, id="loads-not-callable"),
    pytest.param(lambda mp, login, licences: setattr(licences, "appkey", ("u", "k", "extra")),
                 ValueError, "too many values to unpack (expected 2)", 45, id="unpack"),
])
def test_failure_carries_one_innermost_entry(login, daz, licences, no_agent, monkeypatch, inject,
                                             error, message, line):
    inject(monkeypatch, login, licences)
    with pytest.raises(error) as first:
        login.init_daz()
    assert str(first.value) == message
    assert module_entries(first.value) == [(SOURCE_PATH, line, INIT_DAZ)]
    frame, lineno = list(traceback.walk_tb(first.value.__traceback__))[-1]
    assert (frame.f_code.co_filename, lineno, frame.f_code.co_name) == (SOURCE_PATH, line, INIT_DAZ)
    assert frame.f_code.co_firstlineno == line
    assert frame.f_locals == {} and frame.f_globals is vars(login)
    # A second failure at the same line gets the code object made for the first one.
    with pytest.raises(error) as second:
        login.init_daz()
    assert list(traceback.walk_tb(second.value.__traceback__))[-1][0].f_code is frame.f_code
    assert daz.calls == []


def test_printed_traceback_of_a_json_failure(login, daz, licences, no_agent, monkeypatch):
    _via_agent(monkeypatch, login, _raise_not_a_document)
    with pytest.raises(ValueError, match="^not a document$") as info:
        login.init_daz()
    lines = "".join(traceback.format_exception(info.value)).splitlines()
    assert f'  File "{SOURCE_PATH}", line 29, in {INIT_DAZ}' in lines
    assert module_entries(info.value) == [(SOURCE_PATH, 29, INIT_DAZ)]
    # The module's entry sits right above the frame of the function that raised.
    codes = [frame.f_code for frame, _ in traceback.walk_tb(info.value.__traceback__)]
    assert codes[-1] is _raise_not_a_document.__code__
    assert codes[-2].co_filename == SOURCE_PATH
    assert licences.calls == [] and daz.calls == []


@pytest.mark.parametrize("globals_builtins", ["kept", "deleted", "other-dict"])
def test_unbound_global_falls_back_to_builtins_module(login, daz, licences, no_agent, monkeypatch,
                                                      globals_builtins):
    # The fallback is the builtins module itself, whatever the globals' __builtins__ holds.
    if globals_builtins == "deleted":
        monkeypatch.delitem(vars(login), "__builtins__")
    elif globals_builtins == "other-dict":
        monkeypatch.setitem(vars(login), "__builtins__", {"os": None})
    asked = []
    monkeypatch.delattr(login, "os")
    monkeypatch.setattr(builtins, "os", types.SimpleNamespace(getenv=asked.append),
                        raising=False)
    assert login.init_daz() is None and asked == ["FERROVANE_AGENT"]
    monkeypatch.delattr(builtins, "os")
    with pytest.raises(NameError) as info:
        login.init_daz()
    assert str(info.value) == "name 'os' is not defined"
    assert module_entries(info.value) == [(SOURCE_PATH, 10, INIT_DAZ)]
    assert list(traceback.walk_tb(info.value.__traceback__))[-1][0].f_globals is vars(login)
