"""The module object and its import (one module per process, the create and exec slots, failures at
import time, the interpreter and version checks), the init_daz function object and its call checks, and
the traceback entries of failures."""

import builtins
import copy
import gc
import importlib
import inspect
import json
import os
import pickle
import subprocess
import sys
import traceback
import types
import weakref
from pathlib import Path

import pytest

import ferrovane.daz
from ferrovane.cairn.sdk import license_helper
from support import IMPORT_TIME, INIT_DAZ, SOURCE_PATH, cmake_build, module_entries, run_python

NAME = "ferrovane.cairn.utils.login"
NO_ARGS, NO_KEYWORDS = "init_daz() takes no arguments ({} given)", "init_daz() takes no keyword arguments"
NS = types.SimpleNamespace


def test_module_globals_and_function_object(login, monkeypatch):
    assert set(vars(login)) == {"__builtins__", "__doc__", "__file__", "__loader__", "__name__", "__spec__",
                                "__package__", "__test__", "daz", "get_license_info", "os", "sys",
                                "subprocess", "json", "init_daz"}
    assert (login.__name__, login.__package__, login.__doc__, login.__file__, login.__test__) == (
        NAME, "ferrovane.cairn.utils", None, login.__spec__.origin, {}) and type(login.__test__) is dict
    bound = [builtins, ferrovane.daz, license_helper.get_license_info, os, sys, subprocess, json]
    assert all(a is b for a, b in zip([login.__builtins__, login.daz, login.get_license_info, login.os,
                                       login.sys, login.subprocess, login.json], bound))
    f, code = login.init_daz, login.init_daz.__code__
    assert (f.__name__, f.__qualname__, f.__module__, f.__doc__) == ("init_daz", "init_daz", NAME, None)
    assert (f.__defaults__, f.__kwdefaults__, f.__closure__) == (None, None, None)
    assert (f.__self__, repr(f), f.__text_signature__) == (login, "<built-in function init_daz>", "()")
    assert f.__globals__ is vars(login) and str(inspect.signature(f)) == "()" and weakref.ref(f)() is f
    monkeypatch.setattr(f, "marker", "value", raising=False)
    assert f.__dict__ == {"marker": "value"} and copy.copy(f) is f and copy.deepcopy(f) is f
    # A collected type shows the collector every object it holds.
    held = {id(obj) for obj in gc.get_referents(f)}
    assert held >= {id(login), id(f.__module__), id(vars(login)), id(f.__dict__)} and gc.is_tracked(f)
    assert all(pickle.loads(pickle.dumps(f, proto)) is f for proto in range(pickle.HIGHEST_PROTOCOL + 1))
    assert (code.co_name, code.co_qualname, code.co_filename, code.co_firstlineno, code.co_flags) == (
        "init_daz", "init_daz", SOURCE_PATH, 9, inspect.CO_OPTIMIZED | inspect.CO_NEWLOCALS)
    assert (code.co_argcount, code.co_posonlyargcount, code.co_kwonlyargcount) == (0, 0, 0)
    assert code.co_varnames == ("agent", "ps_cmd", "res", "result", "list_values", "dic", "user_id",
                                "app_key", "user", "pw") and code.co_nlocals == 10
    assert (code.co_consts, code.co_names) == ((), ()) and f.__code__ is code


@pytest.mark.parametrize("change", [lambda f: setattr(f, "__doc__", "x"), lambda f: delattr(f, "__doc__")],
                         ids=["set", "delete"])
def test_doc_is_read_only(login, change):
    errors = []
    for f in (login.init_daz, len):
        with pytest.raises(AttributeError) as info:
            change(f)
        errors.append(str(info.value))
    assert errors[0] == errors[1] and login.init_daz.__doc__ is None and "__doc__" not in vars(login.init_daz)


# Ways of running init_daz.__code__, each in a child interpreter, as one that ran past the end of the body
# would end the process; each ends with the AssertionError that the body raises, and what was seen of it.
RUN_CODE = {
    "exec": ("exec(code, {})", []),
    "function": ("types.FunctionType(code, {})()", []),
    "replace": ("types.FunctionType(code.replace(co_name='other'), {})()", []),
    "dis": ("seen.append(len(list(dis.get_instructions(code))) > 0); dis.dis(code); exec(code, {})", [True]),
    "settrace": ("sys.settrace(lambda frame, event, arg: seen.append(event)); exec(code, {})", ["call"]),
    "monitoring": ("mon, events = sys.monitoring, sys.monitoring.events; mon.use_tool_id(3, 'test'); "
                   "mon.register_callback(3, events.PY_START, lambda *args: seen.append('start')); "
                   "mon.register_callback(3, events.LINE, lambda code, line: seen.append(line)); "
                   "mon.set_local_events(3, code, events.PY_START | events.LINE | events.INSTRUCTION); "
                   "exec(code, {})", ["start", 9]),
}


@pytest.mark.parametrize("way, seen", RUN_CODE.values(), ids=RUN_CODE)
def test_code_object_runs_safely(way, seen):
    proc = run_python(f"""
        import dis, sys, types
        from ferrovane.cairn.utils import login
        code, seen = login.init_daz.__code__, []
        try:
            {way}
        except Exception as exc:
            print(type(exc).__name__, seen)
        """)
    assert (proc.returncode, proc.stdout.splitlines()[-1:]) == (0, [f"AssertionError {seen}"]), proc.stderr


@pytest.mark.parametrize("call, message", [
    (lambda f: f(1), NO_ARGS.format(1)), (lambda f: f(*range(3)), NO_ARGS.format(3)),
    (lambda f: f(x=1), NO_KEYWORDS), (lambda f: f(1, x=1), NO_KEYWORDS),  # keywords are checked first
    (lambda f: f.__call__(2, 3), NO_ARGS.format(2)), (lambda f: f.__call__(1, **{"x": 1}), NO_KEYWORDS),
    (lambda f: f(), None), (lambda f: f(*(), **{}), None), (lambda f: f.__call__(**{}), None)])
def test_call_checks(login, daz, licences, no_agent, call, message):
    licences.default = ("alice", "pw-test")
    if message is None:
        assert call(login.init_daz) is None
        assert daz.calls == [(("alice", "pw-test"), {})]
        return
    with pytest.raises(TypeError) as info:
        call(login.init_daz)
    assert (str(info.value), daz.calls, licences.calls) == (message, [], [])


@pytest.mark.parametrize("callee", ["login.init_daz", "functools.partial(login.init_daz)",
                                    "functools.partial(operator.call, login.init_daz)"])
def test_call_loop_without_python_frames(callee):
    """init_daz as its own licence lookup, directly or through native wrappers: no Python frame is in the
    loop, and the depth checks on entry (init_daz's, as native functions make them, and the interpreter's)
    end it in RecursionError before the C stack runs out. Each level that the error passes adds its entry."""
    proc = run_python(f'''
        import functools, operator, traceback
        from ferrovane.cairn.utils import login
        login.get_license_info = {callee}
        try:
            login.init_daz()
        except RecursionError as exc:
            # (frame, line) pairs: extract_tb would look each entry's source line up, thousands of times
            lines = [n for f, n in traceback.walk_tb(exc.__traceback__) if f.f_code.co_filename == "{SOURCE_PATH}"]
            print(type(exc).__name__, set(lines) <= {{10, 41}}, lines.count(41) > 100)
        ''', timeout=300)
    assert (proc.returncode, proc.stdout, proc.stderr) == (0, "RecursionError True True\n", "")


def test_traceback_entry(login, daz, licences, monkeypatch):
    def not_a_document(text):
        raise ValueError("not a document")
    monkeypatch.setenv("FERROVANE_AGENT", "app_key_daz")
    monkeypatch.setattr(login, "sys", NS(platform="linux"))
    monkeypatch.setattr(login, "subprocess", NS(run=lambda *args, **kwargs: NS(stdout="{}")))
    monkeypatch.setattr(login, "json", NS(loads=not_a_document))
    frames = []
    for _ in range(2):
        with pytest.raises(ValueError, match="^not a document$") as info:
            login.init_daz()
        assert module_entries(info.value) == [(SOURCE_PATH, 29, INIT_DAZ)]
        frames.append([frame for frame, _ in traceback.walk_tb(info.value.__traceback__)])
    printed = "".join(traceback.format_exception(info.value)).splitlines()
    assert f'  File "{SOURCE_PATH}", line 29, in {INIT_DAZ}' in printed
    own, raised = frames[0][-2:]  # the module's entry sits right above the frame of the raising function
    assert raised.f_code is not_a_document.__code__ and own.f_code.co_filename == SOURCE_PATH
    assert (own.f_locals, own.f_code.co_firstlineno) == ({}, 29) and own.f_globals is vars(login)
    assert frames[1][-2].f_code is own.f_code  # a second failure at that line reuses the code object


# Prepended to every script run in a fresh interpreter; the script reports through report().
PRELUDE = f'''
import importlib, importlib.machinery, importlib.util, json, os, subprocess, sys, traceback, types, warnings
import ferrovane, ferrovane.daz, ferrovane.cairn.utils
import ferrovane.cairn.sdk.license_helper as license_helper
warnings.simplefilter("error")  # an import that warns fails the script
NAME, SOURCE = {NAME!r}, {SOURCE_PATH!r}
PATH = importlib.machinery.PathFinder.find_spec(NAME, ferrovane.cairn.utils.__path__).origin

def entries(exc, own=True):
    return [(f.f_code.co_filename, n, f.f_code.co_name) for f, n in traceback.walk_tb(exc.__traceback__)
            if f.f_code.co_filename == SOURCE or not own]

def log_in_with_fakes(module):
    calls = []
    module.daz = types.SimpleNamespace(init=lambda *a, **k: calls.append([list(a), k]))
    module.get_license_info = lambda *a: ("alice", "pw-test")
    assert module.init_daz() is None
    return calls

def caught(call, *args):
    try:
        call(*args)
    except Exception as exc:
        return exc

def report(**values):
    print(json.dumps(values))
'''
LOGGED_IN = [[["alice", "pw-test"], {}]]


def run_script(body: str) -> dict:
    proc = run_python(PRELUDE + body)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout.splitlines()[-1])


BREAKAGES = [  # for lines 1 to 6: how the import there is made to fail, how that is undone, what is raised
    # ferrovane without daz, and no ferrovane.daz to import or to find in sys.modules; the repair leaves
    # the attribute missing, so only the sys.modules entry can supply daz from then on.
    ("del ferrovane.daz; del sys.modules['ferrovane.daz']; ferrovane.__path__ = []",
     "sys.modules['ferrovane.daz'] = types.ModuleType('ferrovane.daz')", "ImportError",
     "cannot import name daz"),
    *((f"sys.modules[{name!r}] = None", f"sys.modules[{name!r}] = {value}", "ModuleNotFoundError",
       f"import of {name} halted; None in sys.modules") for name, value in (
        ("ferrovane.cairn.sdk.license_helper", "license_helper"), ("os", "os"), ("sys", "sys"),
        ("subprocess", "subprocess"), ("json", "json")))]


def test_import(tmp_path):
    pytest.importorskip("_testcapi")
    result = run_script(f'''
import _testcapi
failures = []
for breakage, repair, _, _ in {BREAKAGES!r}:
    exec(breakage)
    first, second = [caught(importlib.import_module, NAME) for _ in range(2)]
    own = [[f for f, _ in traceback.walk_tb(exc.__traceback__) if f.f_code.co_filename == SOURCE][0]
           for exc in (first, second)]
    failures.append([type(first).__name__, str(first), entries(first, own=False)[-1:], entries(first),
                     own[0].f_code.co_firstlineno, own[0].f_code is own[1].f_code, NAME in sys.modules])
    exec(repair)
# Loaded through its loader alone, only the module itself touches sys.modules: it adds itself where there
# is no entry and takes that away again when it fails; an entry that was there stays.
spec = importlib.util.spec_from_file_location(NAME, PATH)
holder = sys.modules[NAME] = types.ModuleType("placeholder")
sys.modules["json"] = None
kept = [type(caught(spec.loader.exec_module, importlib.util.module_from_spec(spec))).__name__,
        sys.modules.pop(NAME) is holder]
removed = [type(caught(spec.loader.exec_module, importlib.util.module_from_spec(spec))).__name__,
           NAME in sys.modules]
sys.modules["json"] = json
def made(**attrs):  # until an import succeeds, the create slot makes new modules from the spec
    module = spec.loader.create_module(types.SimpleNamespace(name="elsewhere.login", origin=PATH, **attrs))
    keys = ("__name__", "__loader__", "__file__", "__package__", "__path__")
    return module, {{k: vars(module).get(k, "-") for k in keys}}
class Faulty:
    name, origin, loader = "elsewhere.login", PATH, "L"
    parent = property(lambda self: 1 / 0)
stray, full = made(loader="L", parent="P", submodule_search_locations=["S"])
nones, missing = made(loader=None, parent=None, submodule_search_locations=None)[1], made()[1]
faulty = caught(spec.loader.create_module, Faulty())
spec.loader.exec_module(module := importlib.util.module_from_spec(spec))
registered = sys.modules[NAME] is module
bound = [getattr(module, name) is value for name, value in [
    ("daz", sys.modules["ferrovane.daz"]), ("get_license_info", license_helper.get_license_info),
    ("os", os), ("sys", sys), ("subprocess", subprocess), ("json", json)]]
module.json = marker = object()
spec.loader.exec_module(module)  # the same object again: nothing to do
again = [importlib.import_module(NAME) is module, importlib.reload(module) is module,
         (sys.modules.pop(NAME), importlib.import_module(NAME))[1] is module]
refused = caught(spec.loader.exec_module, stray)
elsewhere = importlib.util.spec_from_file_location("elsewhere.login", module.__file__)
elsewhere.loader.exec_module(other := importlib.util.module_from_spec(elsewhere))
sub = """
try:
    import ferrovane.cairn.utils.login
except ImportError as exc:
    outcome = type(exc).__name__ + ": " + str(exc)
else:
    outcome = "imported"
with open({str(tmp_path / "sub.txt")!r}, "a", encoding="utf-8") as f:
    f.write(outcome + "\\\\n")
"""
report(failures=failures, kept=kept, removed=removed, registered=registered, full=full, nones=nones,
       missing=missing, faulty=repr(faulty), path=PATH, fresh=vars(module) is not own[0].f_globals,
       bound=bound, ferrovane_has_daz=hasattr(ferrovane, "daz"), again=again,
       refused=[type(refused).__name__, str(refused), entries(refused)],
       stray_bound="init_daz" in vars(stray), other=other is module, kept_global=module.json is marker,
       name=module.__name__,
       sub=[_testcapi.run_in_subinterp(sub) for _ in range(2)], elsewhere="elsewhere.login" in sys.modules,
       calls=log_in_with_fakes(other))
''')
    failures = []
    for line, (_, _, error, message) in enumerate(BREAKAGES, start=1):
        entry = [SOURCE_PATH, line, IMPORT_TIME]  # innermost; a second failure reuses its code object
        failures.append([error, message, [entry], [entry], line, True, False])
    bare = {"__name__": "elsewhere.login", "__loader__": None, "__file__": result.pop("path"),
            "__package__": None, "__path__": "-"}
    assert result == {
        "failures": failures, "kept": ["ModuleNotFoundError", True],
        "removed": ["ModuleNotFoundError", False], "registered": True,
        "full": {**bare, "__loader__": "L", "__package__": "P", "__path__": ["S"]},
        "nones": bare, "missing": bare, "faulty": "ZeroDivisionError('division by zero')", "fresh": True,
        "bound": [True] * 6, "ferrovane_has_daz": False, "again": [True] * 3,
        "refused": ["RuntimeError", "Module 'login' has already been imported. Re-initialisation is not "
                    "supported.", []], "stray_bound": False, "other": True, "kept_global": True,
        "name": NAME, "sub": [0, 0], "elsewhere": False, "calls": LOGGED_IN}
    refused = ("ImportError: Interpreter change detected - this module can only be loaded into one "
               "interpreter per process.")
    assert (tmp_path / "sub.txt").read_text(encoding="utf-8").splitlines() == [refused, refused]


@pytest.fixture(scope="module")
def declared_311_build(tmp_path_factory) -> Path:
    """The module built to declare 3.11 as the Python version it was made for."""
    built = cmake_build(Path(__file__).resolve().parents[1], tmp_path_factory.mktemp("declared-3.11"),
                        "-DFERROVANE_DECLARED_VERSION=3.11")
    if built is None:
        pytest.skip("needs cmake and the source tree")
    return built


@pytest.mark.parametrize("mode", ["always", "error"])
def test_version_check(declared_311_build, mode):
    result = run_script(f'''
with warnings.catch_warnings(record=True) as warned:
    warnings.simplefilter({mode!r})
    spec = importlib.util.spec_from_file_location(NAME, {str(declared_311_build)!r})
    exc = caught(spec.loader.exec_module, module := importlib.util.module_from_spec(spec))
result = dict(warnings=[[w.category.__name__, str(w.message)] for w in warned],
              raised=exc and [type(exc).__name__, str(exc), entries(exc)],
              registered=sys.modules.get(NAME) is module)
if exc:  # a failed import leaves nothing behind: loading again starts afresh
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        spec.loader.exec_module(module := importlib.util.module_from_spec(spec))
report(**result, calls=log_in_with_fakes(module))
''')
    warning = ["RuntimeWarning", f"compile time Python version 3.11 of module '{NAME}' does not match "
               "runtime version {}.{}".format(*sys.version_info[:2])]
    # As an error, the warning refuses the import before the module registers itself or adds an entry.
    assert result == ({"warnings": [warning], "raised": None, "registered": True, "calls": LOGGED_IN}
                      if mode == "always" else
                      {"warnings": [], "raised": [*warning, []], "registered": False, "calls": LOGGED_IN})


def test_stub_matches_the_module():
    pytest.importorskip("mypy")
    proc = subprocess.run([sys.executable, "-m", "mypy.stubtest", NAME], capture_output=True, text=True)
    assert proc.returncode == 0, proc.stdout + proc.stderr
