"""The agent query of init_daz(): the command lines, a real tool run through the shell, the scan of
its response, and failures inside the query."""

import builtins
import json
import operator
import os
import shlex
import subprocess
import sys
import sysconfig
import types
from pathlib import Path

import pytest

from support import INIT_DAZ, SOURCE_PATH, module_entries

NS = types.SimpleNamespace
ACCOUNT, APP_KEY = "KORVEX_ACCOUNT", "KORVEX_CUSTOM_APP_KEY"
WINDOWS_ARGV = ["powershell.exe", "-NoProfile", "-ExecutionPolicy", "Bypass", "-Command", "& wrenkit.exe"]
RUN_OPTIONS = [("capture_output", True), ("text", True), ("encoding", "utf-8")]
SCRIPTS = Path(sysconfig.get_path("scripts"))
ROOT = Path(__file__).resolve().parent.parent
LICENCE = ("licence-user", "licence-pw")
AGENT = [(("agent-user",), {"appkey": "agent-key"})]  # daz.init calls for the agent's pair
FALLBACK = [(LICENCE, {})]  # ... and for the licence pair when the agent yields nothing usable
needs_stand_in_tool = pytest.mark.skipif(not (SCRIPTS / "wrenkit").exists(), reason="no stand-in wrenkit")


def s(key, *value):
    """A setting of the response; without a value, one with no "Value" member."""
    return {"Key": key, "Value": value[0]} if value else {"Key": key}


PAIR = [s(ACCOUNT, "agent-user"), s(APP_KEY, "agent-key")]


def ok(*result, **members):
    return {"Code": 0, "Result": list(result), **members}


class Boom(Exception):
    """Raised by fakes; tests expect that very instance back."""


def fake(base=object, *args, **methods):
    """An instance of a new subclass of `base` (made with `args`) with these methods."""
    return type("Fake", (base,), {"__hash__": base.__hash__, **methods})(*args)


def raiser(error):
    def raise_it(*args, **kwargs):
        raise error
    return raise_it


def fails_at(login, line, expected, message=None):
    """init_daz() raises `expected` (that very exception, or of that type) with one entry at `line`."""
    with pytest.raises(BaseException) as info:
        login.init_daz()
    assert info.value is expected if isinstance(expected, BaseException) else type(info.value) is expected
    assert message is None or str(info.value) == message
    assert module_entries(info.value) == [(SOURCE_PATH, line, INIT_DAZ)]
    return info.value


def python_error(operation):
    """The exception type and message the interpreter itself raises for `operation()`."""
    with pytest.raises(Exception) as info:
        operation()
    return type(info.value), str(info.value)


@pytest.fixture(autouse=True)
def c(login, daz, licences, monkeypatch):
    monkeypatch.setenv("FERROVANE_AGENT", "app_key_daz")
    licences.default = LICENCE
    return NS(login=login, daz=daz, licences=licences, mp=monkeypatch)


@pytest.fixture
def tool(tmp_path, monkeypatch):
    """Installs a fake wrenkit first on PATH: it prints the given output and exits with the given status."""
    if os.name != "posix":
        pytest.skip("the fake tool is a POSIX shell script")
    (tmp_path / "bin").mkdir()
    monkeypatch.setenv("PATH", f"{tmp_path / 'bin'}{os.pathsep}{os.environ['PATH']}")

    def install(output, status=0):
        output = output if isinstance(output, (bytes, str)) else json.dumps(output)
        (tmp_path / "out").write_bytes(output.encode() if isinstance(output, str) else output)
        script = tmp_path / "bin" / "wrenkit"
        script.write_text(f"#!/bin/sh\ncat {shlex.quote(str(tmp_path / 'out'))}\n"
                          f"echo 'wrenkit diagnostics' >&2\nexit {status}\n")
        script.chmod(0o755)
    return install


@pytest.mark.parametrize("output, status, logins", [
    (ok(*PAIR), 0, AGENT), (json.dumps(ok(*PAIR), indent=2) + "\n", 0, AGENT),
    ({"Code": 0, "Message": "ok", "Result": [s("OTHER", "x"), *PAIR[::-1]]}, 0, AGENT),
    (ok(*PAIR), 3, AGENT),  # the exit status is not looked at
    ({"Code": 0.0, "Result": PAIR}, 0, AGENT), ({"Code": False, "Result": PAIR}, 0, AGENT),
    ({"Result": PAIR}, 0, FALLBACK), ({"Code": 1, "Result": PAIR}, 1, FALLBACK),
    ({"Code": "0", "Result": PAIR}, 0, FALLBACK), ({"Code": None, "Result": PAIR}, 0, FALLBACK),
    ({"Code": True, "Result": PAIR}, 0, FALLBACK),
    (ok(), 0, FALLBACK), ({"Code": 0, "Result": None}, 0, FALLBACK), ({"Code": 0}, 0, FALLBACK),
    ({"Code": 0, "Result": {}}, 0, FALLBACK), ({"Code": 0, "Result": "KORVEX"}, 0, FALLBACK),
    (ok(s(ACCOUNT, "first"), s(APP_KEY, "k1"), *PAIR), 0, AGENT),  # the last occurrence wins
    (ok(*PAIR, s(ACCOUNT)), 0, FALLBACK), (ok(s(ACCOUNT), *PAIR), 0, AGENT),
    (ok({"Value": "x"}, {"key": ACCOUNT, "Value": "y"}, [], "text", {"Key": None}, *PAIR), 0, AGENT),
    (ok(s(APP_KEY, "agent-key")), 0, FALLBACK), (ok(s(ACCOUNT, "agent-user")), 0, FALLBACK),
    (ok(s(ACCOUNT, ""), s(APP_KEY, "agent-key")), 0, FALLBACK),
    (ok(s(ACCOUNT, "u"), s(APP_KEY, 0)), 0, FALLBACK),
    (ok(s(ACCOUNT.lower(), "agent-user"), s(APP_KEY, "agent-key")), 0, FALLBACK),
    (ok(s(ACCOUNT, 7), s(APP_KEY, [1])), 0, [((7,), {"appkey": [1]})]),
])
def test_response_from_the_tool_through_the_shell(c, tool, capfd, output, status, logins):
    tool(output, status)
    assert c.login.init_daz() is None
    assert c.daz.calls == logins
    assert c.licences.calls == ([()] if logins is FALLBACK else [])
    captured = capfd.readouterr()  # the tool's output and diagnostics are captured, not shown
    assert "wrenkit diagnostics" not in captured.err and "Code" not in captured.out


def test_agent_user_is_not_combined_with_a_licence(c, tool):
    tool(ok(s(ACCOUNT, "agent-user")))
    c.licences.default, c.licences.appkey = ("", ""), (None, "licence-key")
    c.login.init_daz()
    assert (c.daz.calls, c.licences.calls) == ([], [(), ("FERROVANE_APPKEY_LICENSE",)])


@pytest.mark.parametrize("output, line, operation", [
    (b"", 29, lambda: json.loads("")), (b"not json", 29, lambda: json.loads("not json")),
    (b"\xff\xfe{}", 22, lambda: b"\xff\xfe{}".decode("utf-8")),
    ("[]", 30, lambda: [].get), ('"Code"', 30, lambda: "Code".get), ("0", 30, lambda: (0).get),
    ({"Code": 0, "Result": 5}, 33, lambda: iter(5)), ({"Code": 0, "Result": True}, 33, lambda: iter(True)),
    (ok(*PAIR, 5), 34, lambda: "Key" in 5), (ok(*PAIR, None), 34, lambda: "Key" in None),
    (ok(*PAIR, "Keyboard"), 34, lambda: operator.getitem("Keyboard", "Key")),
    (ok(["Key"]), 34, lambda: operator.getitem(["Key"], "Key")),
    ({"Code": 0, "Result": {"Key": ACCOUNT}}, 34, lambda: operator.getitem("Key", "Key")),
])
def test_response_errors_end_the_call(c, tool, output, line, operation):
    tool(output)
    fails_at(c.login, line, *python_error(operation))
    assert (c.daz.calls, c.licences.calls) == ([], [])


def test_tool_missing_from_path(c, tool, tmp_path, capfd):
    c.mp.setenv("PATH", str(tmp_path))
    fails_at(c.login, 29, *python_error(lambda: json.loads("")))
    assert (c.daz.calls, c.licences.calls, capfd.readouterr().err) == ([], [], "")


@needs_stand_in_tool
@pytest.mark.parametrize("settings, made", [
    ({ACCOUNT: "agent-user", "OTHER": "x", APP_KEY: "agent-key"}, ("agent-user", "app_key")),
    ({ACCOUNT: "agent-user"}, ("licence-user", "password")),
    (None, ("licence-user", "password")),  # no settings: the tool answers "Code" 1 and exits 1
])
def test_installed_stand_in_tool(c, tmp_path, settings, made):
    from ferrovane import daz
    c.mp.setattr(c.login, "daz", daz)
    daz.reset()
    c.mp.setattr(daz, "last_login", None)  # and forgotten again afterwards
    c.mp.setenv("PATH", f"{SCRIPTS}{os.pathsep}{os.environ['PATH']}")
    c.mp.delenv("WRENKIT_SETTINGS", raising=False)
    if settings is not None:
        (tmp_path / "settings.json").write_text(json.dumps(settings))
        c.mp.setenv("WRENKIT_SETTINGS", str(tmp_path / "settings.json"))
    c.login.init_daz()
    assert daz.last_login == daz.Login(*made)


class FakeSubprocess:
    """Stands in for `subprocess`: run() records its arguments and returns `stdout` (or raises `error`)."""

    def __init__(self, stdout=json.dumps(ok(*PAIR)), error=None):
        self.stdout, self.error, self.calls = stdout, error, []

    def run(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        if self.error:
            raise self.error
        return NS(stdout=self.stdout)


def fake_agent(c, platform="linux", doc=None, error=None):
    """Rebinds sys and subprocess; with `doc`, also json, whose loads then returns that object."""
    run = FakeSubprocess(error=error)
    c.mp.setattr(c.login, "sys", NS(platform=platform))
    c.mp.setattr(c.login, "subprocess", run)
    if doc is not None:
        c.mp.setattr(c.login, "json", NS(loads=lambda text: doc if text is run.stdout else pytest.fail()))
    return run


def test_windows_command_line(c):
    run = fake_agent(c, "win32")
    before = dict(os.environ)
    c.login.init_daz()
    run.calls[0][0][0].append("changed by the callee")
    c.mp.setenv("WRENKIT_TEST_MARK", "1")
    c.login.init_daz()
    assert (c.daz.calls, c.licences.calls) == (AGENT * 2, [])
    (args1, kw1), (args2, kw2) = run.calls
    assert args2 == (WINDOWS_ARGV,) and type(args2[0]) is list and args1[0] is not args2[0]
    for kw in (kw1, kw2):
        assert list(kw) == ["env", "capture_output", "text", "encoding"]
        assert list(kw.items())[1:] == RUN_OPTIONS and kw["capture_output"] is True and kw["text"] is True
        assert type(kw["env"]) is dict and kw["env"] is not os.environ
    assert kw1["env"] is not kw2["env"]
    # Compared first so that a failure does not show the values: the environment may hold secrets.
    copied, copied_at_call = kw1["env"] == before, kw2["env"] == {**before, "WRENKIT_TEST_MARK": "1"}
    assert copied, "the first env is not a copy of os.environ"
    assert copied_at_call, "the env is not copied at the call"


@pytest.mark.parametrize("platform, windows", [
    ("win32", True), ("win", True), ("windows", True), (fake(str, "win32"), True), ("linux", False),
    ("darwin", False), ("cygwin", False), ("Win32", False), ("", False),
    *((fake(startswith=lambda self, *a, answer=answer: a == ("win",) and answer), windows)
      for answer, windows in ((1, True), ([0], True), (0, False), ("", False), (None, False)))])
def test_platform_chooses_the_command_line(c, platform, windows):
    run = fake_agent(c, platform)
    c.login.init_daz()
    [(args, kwargs)] = run.calls
    if windows:
        assert args == (WINDOWS_ARGV,) and list(kwargs)[0] == "env"
    else:
        assert (args, list(kwargs.items())) == (("wrenkit",), [("shell", True), *RUN_OPTIONS])
        assert all(kwargs[name] is True for name in ("shell", "capture_output", "text"))
    assert c.daz.calls == AGENT


def eq(error, on=None, gives=False):
    """Unequal to everything, but comparing with `on` (or anything) raises `error`, or gives it."""
    def compare(self, other):
        if on is None or other == on:
            return error if gives else raiser(error)()
        return False
    return fake(__eq__=compare)


def doc(data, fail, error):
    """A JSON object whose get() raises `error` for the member `fail`."""
    return fake(dict, data, get=lambda self, key, default=None: raiser(error)() if key == fail else
                dict.get(self, key, default))


def gen_raising(error):
    yield from PAIR
    raise error


def parsed(make):
    return lambda c, e: fake_agent(c, doc=make(e))


def rebinding(name, value, platform="linux"):
    return lambda c, e: (fake_agent(c, platform), c.mp.setattr(c.login, name, value(e)))


AGENT_FAILURES = {
    "startswith raises": (12, rebinding("sys", lambda e: NS(platform=fake(startswith=raiser(e))))),
    "platform truth raises": (12, rebinding("sys", lambda e: NS(
        platform=fake(startswith=lambda self, p: fake(__bool__=raiser(e)))))),
    "windows run raises": (14, lambda c, e: fake_agent(c, "win32", error=e)),
    "environ copy raises": (16, rebinding("os", lambda e: NS(getenv=lambda n: "app_key_daz",
                                                              environ=NS(copy=raiser(e))), "win32")),
    "shell run raises": (22, lambda c, e: fake_agent(c, error=e)),
    "loads raises": (29, rebinding("json", lambda e: NS(loads=raiser(e)))),
    "get Code raises": (30, parsed(lambda e: doc(ok(*PAIR), "Code", e))),
    "Code == 0 raises": (30, parsed(lambda e: {"Code": eq(e), "Result": PAIR})),
    "truth of Code == 0 raises": (30, parsed(lambda e: {"Code": eq(fake(__bool__=raiser(e)), gives=True)})),
    "get Result raises": (31, parsed(lambda e: doc(ok(*PAIR), "Result", e))),
    "Result truth raises": (32, parsed(lambda e: {"Code": 0, "Result": fake(__bool__=raiser(e))})),
    "Result iteration raises": (33, parsed(lambda e: {"Code": 0, "Result": gen_raising(e)})),
    "in raises": (34, parsed(lambda e: ok(*PAIR, fake(__contains__=raiser(e))))),
    "item raises": (34, parsed(lambda e: ok(*PAIR, fake(dict, {"Key": ACCOUNT}, __getitem__=raiser(e))))),
    "Key == account raises": (34, parsed(lambda e: ok(*PAIR, {"Key": eq(e, ACCOUNT)}))),
    "account Value raises": (35, parsed(lambda e: ok(*PAIR, doc(s(ACCOUNT), "Value", e)))),
    "Key == app key raises": (36, parsed(lambda e: ok(*PAIR, {"Key": eq(e, APP_KEY)}))),
    "app key Value raises": (37, parsed(lambda e: ok(*PAIR, doc(s(APP_KEY), "Value", e)))),
}


@pytest.mark.parametrize("line, setup", AGENT_FAILURES.values(), ids=AGENT_FAILURES)
def test_failure_in_the_agent_query_ends_the_call(c, line, setup):
    setup(c, error := Boom())
    fails_at(c.login, line, error)
    assert (c.daz.calls, c.licences.calls) == ([], [])


@pytest.mark.parametrize("name, line, platform", [
    ("sys", 12, "linux"), ("subprocess", 14, "win32"), ("subprocess", 22, "linux"), ("json", 29, "linux"),
    ("os", 16, "win32")])
def test_missing_global_in_the_agent_query(c, name, line, platform):
    fake_agent(c, platform)
    if name == "os":  # present for the selector, gone by the time the environment is copied
        c.mp.setattr(c.login, "os", NS(getenv=lambda n: c.mp.delattr(c.login, "os") or "app_key_daz"))
    else:
        c.mp.delattr(c.login, name)
    fails_at(c.login, line, NameError, f"name '{name}' is not defined")
    assert (c.daz.calls, c.licences.calls) == ([], [])


@pytest.mark.parametrize("name", ["sys", "subprocess", "json"])
def test_builtins_fallback_in_the_agent_query(c, name):
    run = fake_agent(c, doc=ok(*PAIR))
    c.mp.setattr(builtins, name, vars(c.login)[name], raising=False)
    c.mp.delattr(c.login, name)
    c.login.init_daz()
    assert (len(run.calls), c.daz.calls) == (1, AGENT)


def test_attributes_of_module_globals_are_read_at_each_call(c):
    first, second = FakeSubprocess(), FakeSubprocess()
    fake_sys, fake_subprocess, fake_json = map(types.ModuleType, ("sys", "subprocess", "json"))
    fake_sys.platform, fake_subprocess.run, fake_json.loads = "linux", first.run, json.loads
    for name, value in (("sys", fake_sys), ("subprocess", fake_subprocess), ("json", fake_json)):
        c.mp.setattr(c.login, name, value)
    c.login.init_daz()
    fake_sys.platform, fake_subprocess.run = "win32", second.run
    c.login.init_daz()
    fake_json.loads = lambda text: ok(s(ACCOUNT, "agent-user"))
    c.login.init_daz()
    del fake_json.loads
    fails_at(c.login, 29, AttributeError, "module 'json' has no attribute 'loads'")
    assert [args for args, _ in first.calls + second.calls] == [("wrenkit",)] + [(WINDOWS_ARGV,)] * 3
    assert c.daz.calls == AGENT * 2 + FALLBACK
