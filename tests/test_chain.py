"""init_daz(): the order of the credential sources and the daz.init calls, unpacking and truth tests of
the pairs, the agent query (command lines, a real tool run through the shell, the scan of its response),
run-time lookup of module-level names, failure entries and references."""

import builtins
import contextlib
import gc
import json
import os
import shutil
import subprocess
import sys
import sysconfig
import types
from pathlib import Path

import pytest

from support import INIT_DAZ, SOURCE_PATH, freeze_heap, module_entries

NS = types.SimpleNamespace
ACCOUNT, APP_KEY, APPKEY_VAR = "KORVEX_ACCOUNT", "KORVEX_CUSTOM_APP_KEY", "FERROVANE_APPKEY_LICENSE"
DEFAULT, APPKEY = (), (APPKEY_VAR,)  # the argument tuples of the two licence lookups
WINDOWS_ARGV = ["powershell.exe", "-NoProfile", "-ExecutionPolicy", "Bypass", "-Command", "& wrenkit.exe"]
RUN_OPTIONS = [("capture_output", True), ("text", True), ("encoding", "utf-8")]
ROOT, SCRIPTS = Path(__file__).resolve().parent.parent, Path(sysconfig.get_path("scripts"))
TOO_MANY = "too many values to unpack (expected 2)"
TOO_FEW = ["need more than 0 values to unpack", "need more than 1 value to unpack"]
OUT = "the tool's output"


class Boom(Exception):
    """Raised by fakes; tests expect that very instance back."""


def fake(base=object, *args, **methods):
    """An instance of a new subclass of `base` (made with `args`) with these methods."""
    return type("Fake", (base,), {"__hash__": base.__hash__, **methods})(*args)


def raiser(error):
    def raise_it(*args, **kwargs):
        raise error
    return raise_it


def truth(answer, log=None, name=None):
    """A value whose truth tests are logged; it answers `answer`, or raises it if it is an exception."""
    def test(self):
        log is None or log.append(name)
        return raiser(answer)() if isinstance(answer, (BaseException, type)) else answer
    return fake(__bool__=test)


U, P, K, U2, SELECTOR = (NS(name=name) for name in ("user", "pw", "key", "user2", "selector"))  # all true
F, R = truth(False), truth(Boom)


def module(name, **attrs):
    """A plain module object (exactly types.ModuleType) holding `attrs`."""
    made = types.ModuleType(name)
    vars(made).update(attrs)
    return made


def gen(*values, error):
    yield from values
    raise error


def response(*settings, code=0):
    """An agent response; a setting is a dict, (key, value), or (key,) for one without "Value"."""
    return {"Code": code, "Result": [dict(zip(("Key", "Value"), s)) if type(s) is tuple else s
                                     for s in settings]}


def fails_at(login, line, expected, message=None):
    """init_daz() raises `expected` (that very exception, or one of that type) with one entry at `line`;
    returns what it raised."""
    with pytest.raises(BaseException) as info:
        login.init_daz()
    assert info.value is expected if isinstance(expected, BaseException) else type(info.value) is expected
    assert message is None or str(info.value) == message
    assert module_entries(info.value) == [(SOURCE_PATH, line, INIT_DAZ)]
    return info.value


def agent(c, doc=None, platform="linux", error=None):
    """Turns the agent on with fakes of sys, subprocess and json, json.loads giving `doc` (by default the
    settings U and K). Returns the list of the (args, kwargs) that subprocess.run gets."""
    runs, doc = [], response((ACCOUNT, U), (APP_KEY, K)) if doc is None else doc

    def run(*args, **kwargs):
        runs.append((args, kwargs))
        return raiser(error)() if error else NS(stdout=OUT)
    c.mp.setenv("FERROVANE_AGENT", "app_key_daz")
    c.mp.setattr(c.login, "sys", NS(platform=platform))
    c.mp.setattr(c.login, "subprocess", NS(run=run))
    c.mp.setattr(c.login, "json", NS(loads=lambda text: doc if text is OUT else pytest.fail(text)))
    return runs


def place(c, source, pair):
    """Makes `source` ("agent", "default" or "appkey") yield `pair`."""
    if source == "agent":
        return agent(c, response((ACCOUNT, pair[0]), (APP_KEY, pair[1])))
    setattr(c.licences, source, pair)


def login_of(source, user, secret):
    """The daz.init call for a pair from `source`."""
    return ((user, secret), {}) if source == "default" else ((user,), {"appkey": secret})


ORDER = [  # selector, agent pair, default and app-key lookup results, daz.init calls, lookups made
    (None, None, (U, P), (U2, K), [login_of("default", U, P)], [DEFAULT]),
    (None, None, (U, ""), [U2, K], [login_of("appkey", U2, K)], [DEFAULT, APPKEY]),
    (None, None, (None, None), (U2, ()), [], [DEFAULT, APPKEY]),
    (None, None, (U, None), (None, K), [], [DEFAULT, APPKEY]),  # halves of different sources never combine
    ("app_key_daz", (U2, K), None, None, [login_of("agent", U2, K)], []),  # None would fail to unpack
    ("app_key_daz", (U2, None), (U, P), None, [login_of("default", U, P)], [DEFAULT]),
    ("app_key_daz", (U2, ""), (None, K), (None, None), [], [DEFAULT, APPKEY]),
    (fake(__eq__=lambda self, other: other == "app_key_daz"), (U2, K), None, None,  # compared by equality
     [login_of("agent", U2, K)], []),
    *((selector, (U2, K), (U, P), None, [login_of("default", U, P)], [DEFAULT]) for selector in (
        "app_key_daz ", "APP_KEY_DAZ", b"app_key_daz", fake(str, "app_key_daz", __eq__=lambda *a: False)))]


@pytest.mark.parametrize("selector, from_agent, default, appkey, logins, lookups", ORDER)
def test_sources_in_order(c, selector, from_agent, default, appkey, logins, lookups):
    reads = []
    from_agent and place(c, "agent", from_agent)
    c.mp.setattr(c.login, "os", module("os", getenv=lambda *a, **k: reads.append((a, k)) or selector))
    c.licences.default, c.licences.appkey = default, appkey
    assert c.login.init_daz() is None
    assert c.login.init_daz() is None  # nothing is kept: the second call repeats the whole chain
    assert (c.daz.calls, c.licences.calls) == (logins * 2, lookups * 2)
    assert reads == [(("FERROVANE_AGENT",), {})] * 2


@pytest.mark.parametrize("source, line", [("agent", 38), ("default", 42), ("appkey", 46)])
@pytest.mark.parametrize("first, second, tested, outcome", [
    (True, True, ["first", "second"], "login"),
    (False, Boom, ["first"], None),  # the second half is not tested once the first is false
    (True, Boom, ["first", "second"], "raises"), (Boom, True, ["first"], "raises")])
def test_pair_truth_tests(c, source, line, first, second, tested, outcome):
    log, error = [], Boom()
    pair = [truth(error if a is Boom else a, log, name)
            for name, a in (("first", first), ("second", second))]
    place(c, source, pair)
    if outcome == "raises":
        fails_at(c.login, line, error)
    else:
        assert c.login.init_daz() is None
    assert log == tested
    assert c.daz.calls == ([login_of(source, *pair)] if outcome == "login" else [])


UNPACKING = {  # lookup result: the pair unpacked, the ValueError's message, or (exception type, message)
    **{f"{kind}{n}": (lambda make=make, n=n: make((U, P, K, U2, U2)[:n]),
                      [U, P] if n == 2 else TOO_FEW[n] if n < 2 else TOO_MANY)
       for kind, make in (("tuple", tuple), ("list", list), ("iter", lambda items: iter(list(items))))
       for n in (0, 1, 2, 3, 5)},
    "None": (lambda: None, (TypeError, "'NoneType' object is not iterable")),
    "iter raises": (lambda: fake(__iter__=raiser(Boom("no iterator"))), (Boom, "no iterator")),
    **{f"next raises after {n}": (lambda n=n: gen(*(U, P)[:n], error=Boom(n)), (Boom, str(n)))
       for n in range(3)}}


@pytest.mark.parametrize("lookup, line", [("default", 41), ("appkey", 45)])
@pytest.mark.parametrize("make, outcome", UNPACKING.values(), ids=UNPACKING)
def test_unpacking(c, lookup, line, make, outcome):
    setattr(c.licences, lookup, result := make())
    unread = result.__length_hint__() if type(result) is type(iter([])) else None
    if isinstance(outcome, list):
        c.login.init_daz()
    else:
        fails_at(c.login, line, *((ValueError, outcome) if isinstance(outcome, str) else outcome))
    assert c.daz.calls == ([login_of(lookup, *outcome)] if isinstance(outcome, list) else [])
    assert c.licences.calls == [DEFAULT, APPKEY][: 1 + (lookup == "appkey")]
    if unread is not None:  # an iterator is not read past a third item
        assert result.__length_hint__() == max(unread - 3, 0)


def world(log, tag, c=None, hook=None):
    """Plain-module fakes of the globals that init_daz uses (bound in their place, given `c`), each use
    logged as (use, tag). A call with them runs the agent query on Windows, which yields nothing, and
    logs in with the default pair."""
    def use(what, result=None):
        return lambda *args, **kwargs: log.append((what, tag)) or result
    made = {"os": module("os", getenv=use("os.getenv", "app_key_daz"),
                         environ=NS(copy=use("os.environ", {}))),
            "sys": module("sys", platform=fake(str, "win32", startswith=use("sys.platform", True))),
            "subprocess": module("subprocess", run=use("subprocess.run", NS(stdout="{}"))),
            "json": module("json", loads=use("json.loads", {"Code": 1})),
            "get_license_info": use("get_license_info", (U, P)),
            "daz": module("daz", init=lambda *a, **k: log.append(("daz.init", tag)) or (hook and hook()))}
    for name, value in made.items() if c else ():
        c.mp.setattr(c.login, name, value)
    return made


USES = {"os.getenv": 10, "sys.platform": 12, "subprocess.run": 14, "os.environ": 16, "json.loads": 29,
        "get_license_info": 41, "daz.init": 43}  # in a call with world(), with their lines


def run_logged(c, log):
    """{use: tag} of the uses that one call makes."""
    log.clear()
    c.login.init_daz()
    return dict(log)


@pytest.mark.parametrize("target, how", [
    (target, how) for target in [*USES, "os", "sys", "subprocess", "json", "daz"]
    for how in (("setattr", "class", "delete") if "." in target else ("setattr", "builtins"))])
def test_a_change_is_seen_by_the_next_call(c, target, how):
    log = []
    a, b = world(log, "a", c), world(log, "b")
    name, _, attr = target.partition(".")
    owner, key, new = (a[name], attr, getattr(b[name], attr)) if attr else (c.login, name, b[name])
    changed = [use for use in USES if use == target or not attr and use.partition(".")[0] == name]
    old, line = getattr(owner, key), min(USES[use] for use in changed)
    assert run_logged(c, log) == dict.fromkeys(USES, "a")
    if how == "delete":
        delattr(owner, key)
        fails_at(c.login, line, AttributeError, f"module '{name}' has no attribute '{attr}'")
        return
    if how == "builtins":  # the builtins module itself, whatever the globals' __builtins__ holds
        c.mp.setitem(vars(owner), "__builtins__", {key: None})
        c.mp.setattr(builtins, key, new, raising=False)
        del vars(owner)[key]
    elif how == "class":  # a property of the module's class wins over the module's dictionary
        owner.__class__ = type("Patched", (types.ModuleType,), {key: property(lambda self: new)})
    else:
        setattr(owner, key, new)
    assert run_logged(c, log) == {**dict.fromkeys(USES, "a"), **dict.fromkeys(changed, "b")}
    if how == "builtins":  # read at each use: once gone from there too, the name is not defined
        c.mp.delattr(builtins, key)
        assert fails_at(c.login, line, NameError, f"name '{name}' is not defined").name == name
        return
    setattr(owner, "__class__", types.ModuleType) if how == "class" else setattr(owner, key, old)
    assert run_logged(c, log) == dict.fromkeys(USES, "a")


def test_changes_made_inside_daz_init_are_seen_by_the_next_call(c):
    # Each call's daz.init makes the next change, to names that the calls use and to others beside them,
    # in the daz module and in the globals.
    log, steps, g = [], [], vars(c.login)
    a, b = world(log, "a", c, hook=lambda: steps.pop(0)()), world(log, "b", hook=lambda: steps.pop(0)())
    c.mp.setitem(g, "spare", None)
    steps += [lambda: (setattr(a["daz"], "spare", 1), g.update(spare=1)),
              lambda: (setattr(a["daz"], "init", b["daz"].init),
                       g.update(get_license_info=b["get_license_info"])),
              lambda: (setattr(a["os"], "getenv", b["os"].getenv), g.update(json=b["json"], spare=3)),
              lambda: None]
    seen = [{use for use, tag in run_logged(c, log).items() if tag == "b"} for _ in range(4)]
    assert seen == [set(), set(), {"daz.init", "get_license_info"},
                    {"daz.init", "get_license_info", "os.getenv", "json.loads"}]


class Counting:
    """Gives `answers` to its comparisons in turn (the last one from then on), and counts them."""
    answers, compared = (False,), 0

    def __eq__(self, other):
        self.compared += 1
        return self.answers[min(self.compared, len(self.answers)) - 1]

    def arm(self, *answers):
        self.answers, self.compared = answers, 0


class Collider(Counting):
    def __init__(self, like):
        self.like = like

    def __hash__(self):
        return hash(self.like)


class StrKey(Counting, str):
    __hash__ = str.__hash__


# The default path of init_daz in plain Python: run in the module's globals, it shows what the
# interpreter's own lookups find and how often they compare keys.
MODEL = """
def init_daz():
    agent = os.getenv("FERROVANE_AGENT")
    user, pw = get_license_info()
    daz.init(user, pw)
"""


@pytest.mark.parametrize("kind", [Collider, StrKey])
@pytest.mark.parametrize("where", ["globals", "daz"])
def test_keys_compared_by_code_are_compared_at_every_use(c, kind, where):
    # A key that hashes like "os" (in the globals) or like "init" (in the dictionary of the module
    # bound as daz) and is equal to it once: the first use finds the key's value, later uses what
    # comes after it (builtins.os, or the "init" entry). Nothing changes any dictionary meanwhile.
    log, g, scratch = [], vars(c.login), {}
    def use(tag):
        return lambda *args: log.append(tag)
    c.licences.default = (U, P)
    if where == "globals":  # the module has remembered `os` before the key comes
        key, daz = kind("os"), module("daz", init=use("init"))
        c.mp.delitem(g, "os")
        c.mp.setitem(g, key, module("os", getenv=use("os a")))
        c.mp.setattr(builtins, "os", module("os", getenv=use("os b")), raising=False)
    else:  # the module meets the dictionary with the key already in it
        key, daz = kind("init"), module("daz")
        vars(daz)[key] = use("init a")
        daz.init = use("init b")  # after the key, so that a lookup of "init" meets the key first
        c.mp.setattr(c.login, "os", module("os", getenv=use("os")))
    c.mp.setattr(c.login, "daz", daz)
    exec(MODEL, scratch)
    model = types.FunctionType(scratch["init_daz"].__code__, g)
    seen = []
    for f in (c.login.init_daz, model):
        key.arm(True, False)
        log.clear()
        for _ in range(3):
            f()
        seen.append((log[:], key.compared))
    a, b = (["os a", "init"], ["os b", "init"]) if where == "globals" else (["os", "init a"], ["os", "init b"])
    assert seen[0] == seen[1] and seen[1][0] == a + b + b


def doc_raising(data, member, error):
    """A JSON object whose get() raises `error` for `member`."""
    return fake(dict, data, get=lambda self, key, default=None:
                raiser(error)() if key == member else dict.get(self, key, default))


FAILURES = {  # id: line, setup(c, error) returning what is raised if not that error
    "getenv": (10, lambda c, e: c.mp.setattr(c.login, "os", NS(getenv=raiser(e)))),
    "selector ==": (11, lambda c, e: c.mp.setattr(c.login, "os",
                                                   NS(getenv=lambda n: fake(__eq__=raiser(e))))),
    "startswith": (12, lambda c, e: agent(c, platform=fake(startswith=raiser(e)))),
    "startswith truth": (12, lambda c, e: agent(c, platform=fake(startswith=lambda self, p: truth(e)))),
    "windows run": (14, lambda c, e: agent(c, platform="win32", error=e)),
    "environ copy": (16, lambda c, e: agent(c, platform="win32") or c.mp.setattr(
        c.login, "os", NS(getenv=lambda n: "app_key_daz", environ=NS(copy=raiser(e))))),
    "shell run": (22, lambda c, e: agent(c, error=e)),
    "no subprocess": (22, lambda c, e: agent(c) or c.mp.delattr(c.login, "subprocess") or
                      (NameError, "name 'subprocess' is not defined")),
    "loads": (29, lambda c, e: agent(c) or c.mp.setattr(c.login, "json", NS(loads=raiser(e)))),
    "get Code": (30, lambda c, e: agent(c, doc_raising(response(), "Code", e))),
    "Code ==": (30, lambda c, e: agent(c, {"Code": fake(__eq__=raiser(e))})),
    "Code == truth": (30, lambda c, e: agent(c, {"Code": fake(__eq__=lambda self, o: truth(e))})),
    "get Result": (31, lambda c, e: agent(c, doc_raising(response(), "Result", e))),
    "Result truth": (32, lambda c, e: agent(c, {"Code": 0, "Result": truth(e)})),
    "Result iteration": (33, lambda c, e: agent(c, {"Code": 0, "Result": gen({"Key": ACCOUNT}, error=e)})),
    "in": (34, lambda c, e: agent(c, response(fake(__contains__=raiser(e))))),
    "item": (34, lambda c, e: agent(c, response(fake(dict, {"Key": 1}, __getitem__=raiser(e))))),
    "Key == account": (34, lambda c, e: agent(c, response({"Key": fake(__eq__=raiser(e))}))),
    "account Value": (35, lambda c, e: agent(c, response(doc_raising({"Key": ACCOUNT}, "Value", e)))),
    "Key == app key": (36, lambda c, e: agent(c, response(
        {"Key": fake(__eq__=lambda self, o: o == APP_KEY and raiser(e)())}))),
    "app key Value": (37, lambda c, e: agent(c, response(doc_raising({"Key": APP_KEY}, "Value", e)))),
    "agent init": (39, lambda c, e: place(c, "agent", (U, K)) or c.mp.setattr(c.daz, "init", raiser(e))),
    "default lookup": (41, lambda c, e: c.mp.setattr(c.login, "get_license_info", raiser(e))),
    "default init": (43, lambda c, e: place(c, "default", (U, P)) or
                     c.mp.setattr(c.daz, "init", raiser(e))),
    "lookup name read again": (45, lambda c, e: c.mp.delattr(c.login, "get_license_info") or c.mp.setattr(
        builtins, "get_license_info", lambda *a: c.mp.delattr(builtins, "get_license_info") or
        c.licences(*a), raising=False) or (NameError, "name 'get_license_info' is not defined")),
    "app-key init": (47, lambda c, e: place(c, "appkey", (U, K)) or c.mp.setattr(c.daz, "init", raiser(e)))}


@pytest.mark.parametrize("line, setup", FAILURES.values(), ids=FAILURES)
def test_failure_at_each_statement_ends_the_call_with_its_line(c, line, setup):
    expected = setup(c, error := Boom()) or (error,)
    fails_at(c.login, line, *expected)
    assert (c.licences.calls, c.daz.calls) == ([DEFAULT, APPKEY][: (line > 41) + (line > 45)], [])


PAIR = [(ACCOUNT, "agent-user"), (APP_KEY, "agent-key")]
AGENT_LOGIN, FALLBACK = [(("agent-user",), {"appkey": "agent-key"})], [(("licence-user", "pw"), {})]


@pytest.mark.skipif(os.name != "posix", reason=(
    "the fake tool is a POSIX shell script; on Windows the module runs wrenkit.exe through PowerShell, "
    "which test_command_line checks with a fake subprocess.run and test_stand_ins_end_to_end with the "
    "installed stand-in wrenkit.exe"))
@pytest.mark.parametrize("output, status, outcome", [
    (response(*PAIR), 0, AGENT_LOGIN), (response(*PAIR), 3, AGENT_LOGIN),  # the exit status is unread
    ({"Result": PAIR}, 0, FALLBACK), (response(*PAIR, code=1), 1, FALLBACK),  # "Code" missing or not 0
    (response(*PAIR, code=0.0), 0, AGENT_LOGIN), (response(*PAIR, code="0"), 0, FALLBACK),  # == 0
    (response(), 0, FALLBACK), ({"Code": 0, "Result": 5}, 0, (TypeError, 33)),
    (response((ACCOUNT, "first"), (APP_KEY, "k1"), *PAIR), 0, AGENT_LOGIN),  # the last occurrence wins
    (response(*PAIR, (ACCOUNT,)), 0, FALLBACK),  # a setting without "Value" makes it absent
    (response({"Value": "x"}, *PAIR), 0, AGENT_LOGIN),  # an element without "Key" is skipped
    (response(PAIR[1]), 0, FALLBACK),  # only the app key
    (response((ACCOUNT, 7), (APP_KEY, [1])), 0, [((7,), {"appkey": [1]})]),
    (None, 0, (json.JSONDecodeError, 29)),  # no tool: the shell's complaint goes to standard error
    (b"\xff\xfe{}", 0, (UnicodeDecodeError, 22)), ([], 0, (AttributeError, 30)),
    *((response(*PAIR, bad), 0, (TypeError, 34)) for bad in (5, None, "Keyboard"))])
def test_tool_run_through_the_shell(c, tmp_path, capfd, output, status, outcome):
    # A fake wrenkit first on PATH (none at all for output None) prints `output`, writes to standard error
    # and exits with `status`.
    (path := tmp_path / "bin").mkdir()
    if output is not None:
        (path / "wrenkit.out").write_bytes(output if type(output) is bytes else json.dumps(output).encode())
        (path / "wrenkit").write_text(f'#!/bin/sh\ncat "$0.out"\necho diagnostics >&2\nexit {status}\n')
        (path / "wrenkit").chmod(0o755)
    c.mp.setenv("PATH", str(path) + ("" if output is None else os.pathsep + os.environ["PATH"]))
    c.mp.setenv("FERROVANE_AGENT", "app_key_daz")
    c.licences.default = FALLBACK[0][0]
    if isinstance(outcome, tuple):
        fails_at(c.login, outcome[1], outcome[0])
    else:
        assert c.login.init_daz() is None
    assert c.daz.calls == ([] if isinstance(outcome, tuple) else outcome)
    assert c.licences.calls == ([DEFAULT] if outcome is FALLBACK else [])
    assert capfd.readouterr() == ("", "")  # the tool's output and diagnostics are captured, not shown


@pytest.mark.parametrize("platform, windows", [
    ("win32", True), ("cygwin", False), ("Win32", False),  # the shell unless the name starts with "win"
    (fake(startswith=lambda self, prefix: prefix == "win" and 1), True),  # its answer is truth-tested
    (fake(startswith=lambda self, prefix: prefix == "win" and ""), False)])
def test_command_line(c, platform, windows):
    runs, before = agent(c, platform=platform), dict(os.environ)
    c.login.init_daz()
    windows and runs[0][0][0].append("changed by the callee")
    c.mp.setenv("WRENKIT_TEST_MARK", "1")
    c.login.init_daz()
    assert c.daz.calls == [login_of("agent", U, K)] * 2
    (args, kw), (args2, kw2) = runs
    if not windows:
        assert (args2, list(kw2.items())) == (("wrenkit",), [("shell", True), *RUN_OPTIONS])
        assert all(kw2[name] is True for name in ("shell", "capture_output", "text"))
        return
    assert args2 == (WINDOWS_ARGV,) and type(args2[0]) is list and args[0] is not args2[0]
    assert list(kw2) == ["env", "capture_output", "text", "encoding"]
    assert list(kw2.items())[1:] == RUN_OPTIONS
    assert kw2["capture_output"] is True and kw2["text"] is True and type(kw["env"]) is dict
    # Compared first so that a failure does not show the values: the environment may hold secrets.
    copied, copied_at_call = kw["env"] == before, kw2["env"] == {**before, "WRENKIT_TEST_MARK": "1"}
    assert copied and copied_at_call and kw["env"] is not kw2["env"], "env is not a copy made at the call"


AGENT_UK, AGENT_UF = (response((ACCOUNT, U), (APP_KEY, secret)) for secret in (K, F))
LEAKS = {  # id: default result, app-key result, agent response, daz.init raises
    "default": ((U, P), None, None, False), "app-key list": ([U, F], [U, K], None, False),
    "iterable too many": (fake(list, [U, P, K]), None, None, False),
    "truth raises": ((U, R), None, None, False), "init raises": ((U, P), None, None, True),
    "agent": (None, None, AGENT_UK, False), "agent unusable": ((U, P), None, AGENT_UF, False),
    "agent init raises": (None, None, AGENT_UK, True)}


@pytest.mark.parametrize("default, appkey, doc, init_raises", LEAKS.values(), ids=LEAKS)
def test_no_references_are_kept(c, default, appkey, doc, init_raises, request):
    freeze_heap(request)
    selector = "app_key_daz" if doc else SELECTOR
    doc and agent(c, doc)
    c.mp.setattr(c.login, "os", module("os", getenv=lambda name: selector))
    c.mp.setattr(c.login, "get_license_info", lambda *a: appkey if a else default)
    c.mp.setattr(c.login, "daz", module("daz", init=raiser(Boom) if init_raises else lambda *a, **k: None))
    watched = [x for x in (selector, default, appkey, doc, U, P, K, F, R)
               if x is not None and type(x) is not str]

    counts = []
    for times in (10, 100):  # the first round warms up
        for _ in range(times):
            with contextlib.suppress(Boom, ValueError):
                c.login.init_daz()
        gc.collect()
        counts.append([sys.getrefcount(obj) for obj in watched])
    assert counts[0] == counts[1]


@pytest.mark.parametrize("settings, default, appkey, made", [
    (None, {"user": "alice", "password": "pw-a"}, "not json", ("alice", "password")),  # app-key file unread
    (None, {"user": "alice", "password": ""}, {"user": "bob", "app_key": "key-b"}, ("bob", "app_key")),
    (None, None, {"user": "bob"}, None),
    ({ACCOUNT: "agent-user", "OTHER": "x", APP_KEY: "agent-key"}, "not json", None,
     ("agent-user", "app_key")),
    ({}, {"user": "alice", "password": "pw-a"}, None, ("alice", "password"))])  # the tool answers "Code" 1
def test_stand_ins_end_to_end(login, monkeypatch, tmp_path, no_agent, settings, default, appkey, made):
    from ferrovane import daz
    if settings is not None:  # the installed stand-in wrenkit (wrenkit.exe on Windows), run as the module runs it
        if not shutil.which("wrenkit", path=str(SCRIPTS)):
            pytest.skip("no stand-in wrenkit")
        monkeypatch.setenv("FERROVANE_AGENT", "app_key_daz")
        monkeypatch.setenv("PATH", f"{SCRIPTS}{os.pathsep}{os.environ['PATH']}")
    for var, content in (("FERROVANE_LICENSE", default), (APPKEY_VAR, appkey),
                         ("WRENKIT_SETTINGS", settings)):
        monkeypatch.delenv(var, raising=False)
        if content is not None:
            (tmp_path / var).write_text(content if isinstance(content, str) else json.dumps(content))
            monkeypatch.setenv(var, str(tmp_path / var))
    monkeypatch.setattr(daz, "last_login", None)
    assert login.init_daz() is None
    assert daz.last_login == (made and daz.Login(*made))


def test_demo_logs_in_with_the_bundled_licence():
    drop = ("FERROVANE_LICENSE", APPKEY_VAR, "FERROVANE_AGENT")
    env = {name: value for name, value in os.environ.items() if name not in drop}
    done = subprocess.run([sys.executable, str(ROOT / "examples" / "login_demo.py")], capture_output=True,
                          text=True, env=env, cwd=ROOT, timeout=60)
    assert (done.returncode, done.stderr) == (0, "")
    assert done.stdout == "logged in as demo-user with a password\n"
