"""Importing the module: one module object per process, the create and exec slots, import-time
failures and their traceback entries, the interpreter check and the build-version check."""

import importlib
import importlib.machinery
import json
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from support import IMPORT_TIME, SOURCE_PATH, run_python

NAME = "ferrovane.cairn.utils.login"

# Prepended to every script run in a fresh interpreter; the script reports through report().
PRELUDE = f'''
import importlib, importlib.machinery, importlib.util, json, os, subprocess, sys, traceback
import types, warnings
import ferrovane, ferrovane.daz, ferrovane.cairn.utils
import ferrovane.cairn.sdk.license_helper as license_helper
NAME = {NAME!r}
SOURCE = {SOURCE_PATH!r}
PATH = importlib.machinery.PathFinder.find_spec(NAME, ferrovane.cairn.utils.__path__).origin

def tb_entries(exc):
    return [(f.f_code.co_filename, n, f.f_code.co_name)
            for f, n in traceback.walk_tb(exc.__traceback__)]

def own_frames(exc):
    return [f for f, _ in traceback.walk_tb(exc.__traceback__) if f.f_code.co_filename == SOURCE]

def own_entries(exc):
    return [e for e in tb_entries(exc) if e[0] == SOURCE]

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


def run_script(body: str, **kwargs) -> dict:
    proc = run_python(PRELUDE + body, **kwargs)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout.splitlines()[-1])


# ---- one module object ----

@pytest.mark.parametrize("import_again", [
    pytest.param(lambda: importlib.import_module(NAME), id="again"),
    pytest.param(lambda: (sys.modules.pop(NAME), importlib.import_module(NAME))[1], id="removed"),
    pytest.param(lambda: importlib.reload(sys.modules[NAME]), id="reload"),
])
def test_second_import_keeps_module_and_globals(login, monkeypatch, import_again):
    marker = object()
    monkeypatch.setattr(login, "json", marker)
    for attr in ("__spec__", "__loader__", "__file__", "__package__", "__name__"):
        monkeypatch.setattr(login, attr, getattr(login, attr))  # the import machinery rebinds them
    monkeypatch.setitem(sys.modules, NAME, login)
    assert import_again() is login
    assert sys.modules[NAME] is login and login.json is marker
    assert login.init_daz.__globals__ is vars(login)


def test_same_file_under_another_name_gives_the_one_module():
    result = run_script('''
import ferrovane.cairn.utils.login as login
login.json = marker = object()
spec = importlib.util.spec_from_file_location("elsewhere.login", login.__file__)
other = importlib.util.module_from_spec(spec)
spec.loader.exec_module(other)
report(same=other is login, name=login.__name__, kept=login.json is marker,
       registered=sys.modules[NAME] is login, elsewhere="elsewhere.login" in sys.modules,
       calls=log_in_with_fakes(other))
''')
    assert result == {"same": True, "name": NAME, "kept": True, "registered": True,
                      "elsewhere": False, "calls": LOGGED_IN}


# ---- create slot ----

def test_create_copies_spec_attributes():
    result = run_script('''
loader = importlib.machinery.ExtensionFileLoader(NAME, PATH)
class Spec:
    def __init__(self, **attrs):
        self.__dict__.update(name="elsewhere.login", origin=PATH, **attrs)
class FaultySpec(Spec):
    @property
    def parent(self):
        raise ValueError("no parent")
def made(**attrs):
    module = loader.create_module(Spec(**attrs))
    return {k: vars(module).get(k, "<unset>")
            for k in ("__name__", "__loader__", "__file__", "__package__", "__path__")}
faulty = caught(loader.create_module, FaultySpec(loader="L"))
report(full=made(loader="L", parent="P", submodule_search_locations=["S"]),
       nones=made(loader=None, parent=None, submodule_search_locations=None),
       missing=made(), faulty=repr(faulty), path=PATH)
''')
    bare = {"__name__": "elsewhere.login", "__loader__": None, "__file__": result["path"],
            "__package__": None, "__path__": "<unset>"}
    assert result["full"] == {**bare, "__loader__": "L", "__package__": "P", "__path__": ["S"]}
    assert result["nones"] == result["missing"] == bare
    assert result["faulty"] == "ValueError('no parent')"


# ---- exec slot ----

def test_exec_of_another_module_object_is_refused():
    # A module object made by the create slot before the first exec is a second module of this
    # definition; once the real one is initialised, executing the stray one must be refused.
    result = run_script('''
loader = importlib.machinery.ExtensionFileLoader(NAME, PATH)
stray = loader.create_module(importlib.util.spec_from_file_location(NAME, PATH))
module = importlib.import_module(NAME)
loader.exec_module(module)  # the same object again: nothing to do
exc = caught(loader.exec_module, stray)
refused = [type(exc).__name__, str(exc), own_entries(exc)]
report(distinct=stray is not module, refused=refused, stray_bound="init_daz" in vars(stray),
       registered=sys.modules[NAME] is module, calls=log_in_with_fakes(module))
''')
    assert result == {
        "distinct": True, "stray_bound": False, "registered": True, "calls": LOGGED_IN,
        "refused": ["RuntimeError", "Module 'login' has already been imported. Re-initialisation is not "
                    "supported.", []]}


@pytest.mark.parametrize("placeholder", [False, True], ids=["no-entry", "placeholder"])
@pytest.mark.parametrize("broken", [False, True], ids=["ok", "failing"])
def test_exec_registers_itself_only_when_absent(placeholder, broken):
    # Loaded through its loader alone, so only the module itself touches sys.modules: it adds
    # itself where there is no entry and takes it away when it fails; other entries stay.
    result = run_script(f'''
holder = types.ModuleType("placeholder")
if {placeholder}:
    sys.modules[NAME] = holder
if {broken}:
    sys.modules["json"] = None
spec = importlib.util.spec_from_file_location(NAME, PATH)
module = importlib.util.module_from_spec(spec)
failed = caught(spec.loader.exec_module, module)
entry = sys.modules.get(NAME)
report(failed=type(failed).__name__, entry="placeholder" if entry is holder else
       "module" if entry is module else repr(entry))
''')
    expected = "placeholder" if placeholder else "None" if broken else "module"
    assert result == {"failed": "ModuleNotFoundError" if broken else "NoneType",
                      "entry": expected}


# ---- import-time failures ----

def _blocked(line, module):
    return pytest.param(line, f"sys.modules[{module!r}] = None", f"sys.modules[{module!r}] = {module}",
                        "ModuleNotFoundError", f"import of {module} halted; None in sys.modules",
                        id=f"line{line}-{module}")


@pytest.mark.parametrize("line, breakage, repair, error, message", [
    # ferrovane without daz, and no ferrovane.daz to import or to find in sys.modules; the repair
    # leaves the attribute missing, so only the sys.modules entry can supply daz.
    pytest.param(1, "del ferrovane.daz; del sys.modules['ferrovane.daz']; ferrovane.__path__ = []",
                 "sys.modules['ferrovane.daz'] = types.ModuleType('ferrovane.daz')",
                 "ImportError", "cannot import name daz", id="line1-daz"),
    pytest.param(2, "sys.modules['ferrovane.cairn.sdk.license_helper'] = None",
                 "sys.modules['ferrovane.cairn.sdk.license_helper'] = license_helper",
                 "ModuleNotFoundError",
                 "import of ferrovane.cairn.sdk.license_helper halted; None in sys.modules",
                 id="line2-license_helper"),
    *(_blocked(line, module) for line, module in
      enumerate(("os", "sys", "subprocess", "json"), start=3)),
])
def test_import_failure(line, breakage, repair, error, message):
    result = run_script(f'''
{breakage}
first, second = [caught(importlib.import_module, NAME) for _ in range(2)]
failed_globals = own_frames(first)[0].f_globals
after_failure = NAME in sys.modules
{repair}
module = importlib.import_module(NAME)
bound = {{name: getattr(module, name) is value for name, value in [
    ("daz", sys.modules["ferrovane.daz"]), ("get_license_info", license_helper.get_license_info),
    ("os", os), ("sys", sys), ("subprocess", subprocess), ("json", json)]}}
report(error=[type(first).__name__, str(first)], entries=tb_entries(first)[-1:],
       own=own_entries(first),
       first_line=own_frames(first)[0].f_code.co_firstlineno,
       same_code=own_frames(first)[0].f_code is own_frames(second)[0].f_code,
       after_failure=after_failure, fresh=vars(module) is not failed_globals,
       registered=sys.modules[NAME] is module, bound=bound,
       ferrovane_has_daz=hasattr(ferrovane, "daz"), calls=log_in_with_fakes(module))
''')
    entry = [SOURCE_PATH, line, IMPORT_TIME]
    assert result.pop("bound") == dict.fromkeys(
        ["daz", "get_license_info", "os", "sys", "subprocess", "json"], True)
    # One entry, the innermost; a second failure at that line reuses its code object.
    assert result == {"error": [error, message], "own": [entry], "entries": [entry],
                      "first_line": line, "same_code": True, "after_failure": False,
                      "fresh": True, "registered": True, "ferrovane_has_daz": line != 1,
                      "calls": LOGGED_IN}


# ---- interpreter check ----

def test_import_from_a_subinterpreter_is_refused(tmp_path):
    pytest.importorskip("_testcapi")
    out = tmp_path / "outcome.txt"
    result = run_script(f'''
import _testcapi
module = importlib.import_module(NAME)
sub = """
try:
    import ferrovane.cairn.utils.login
except ImportError as exc:
    outcome = type(exc).__name__ + ": " + str(exc)
else:
    outcome = "imported"
with open({str(out)!r}, "a", encoding="utf-8") as f:
    f.write(outcome + "\\\\n")
"""
status = [_testcapi.run_in_subinterp(sub) for _ in range(2)]
report(status=status, registered=sys.modules[NAME] is module, calls=log_in_with_fakes(module))
''')
    assert result == {"status": [0, 0], "registered": True, "calls": LOGGED_IN}
    refused = ("ImportError: Interpreter change detected - this module can only be loaded into "
               "one interpreter per process.")
    assert out.read_text(encoding="utf-8").splitlines() == [refused, refused]


# ---- build-version check ----

@pytest.fixture(scope="module")
def declared_311_build(tmp_path_factory) -> Path:
    """The module built to declare 3.11 as the Python version it was made for."""
    root = Path(__file__).resolve().parents[1]
    cmake = shutil.which("cmake")
    if cmake is None or not (root / "CMakeLists.txt").is_file():
        pytest.skip("needs cmake and the source tree")
    build = tmp_path_factory.mktemp("declared-3.11")
    for command in ([cmake, "-S", root, "-B", build, f"-DPython_EXECUTABLE={sys.executable}",
                     "-DFERROVANE_DECLARED_VERSION=3.11", "-DCMAKE_BUILD_TYPE=Release"],
                    [cmake, "--build", build, "--config", "Release"]):
        proc = subprocess.run(command, capture_output=True, text=True)
        assert proc.returncode == 0, proc.stdout + proc.stderr
    return next(build.rglob("login" + importlib.machinery.EXTENSION_SUFFIXES[0]))


LOAD_WITH_WARNINGS = '''
with warnings.catch_warnings(record=True) as warned:
    warnings.simplefilter(MODE)
    spec = importlib.util.spec_from_file_location(NAME, BUILT or PATH)
    module = importlib.util.module_from_spec(spec)
    exc = caught(spec.loader.exec_module, module)
result = dict(warnings=[[w.category.__name__, str(w.message)] for w in warned],
              raised=exc and [type(exc).__name__, str(exc), own_entries(exc)],
              registered=sys.modules.get(NAME) is module)
if exc:  # a failed import leaves nothing behind: loading again starts afresh
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        spec.loader.exec_module(module := importlib.util.module_from_spec(spec))
result["calls"] = log_in_with_fakes(module)
report(**result)
'''


@pytest.mark.parametrize("declared, mode", [("3.11", "always"), ("3.11", "error"), (None, "always")],
                         ids=["mismatch", "mismatch-as-error", "installed"])
def test_version_check(request, declared, mode):
    built = str(request.getfixturevalue("declared_311_build")) if declared else None
    result = run_script(f"MODE = {mode!r}\nBUILT = {built!r}\n" + LOAD_WITH_WARNINGS)
    runtime = "{}.{}".format(*sys.version_info[:2])
    text = (f"compile time Python version 3.11 of module '{NAME}' does not match runtime "
            f"version {runtime}")
    expected = {"warnings": [], "raised": None, "registered": True, "calls": LOGGED_IN}
    if declared and mode == "always":
        expected["warnings"] = [["RuntimeWarning", text]]
    elif declared:  # refused before the module registers itself or adds any traceback entry
        expected.update(raised=["RuntimeWarning", text, []], registered=False)
    assert result == expected
