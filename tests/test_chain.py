"""The credential chain of init_daz(): source order, the calls daz.init receives, unpacking of the
licence lookups, truth tests, run-time name lookup, failure entries and reference handling."""

import builtins
import collections
import gc
import json
import os
import subprocess
import sys
import types
from pathlib import Path

import pytest

from support import INIT_DAZ, SOURCE_PATH, module_entries

NS = types.SimpleNamespace
APPKEY_VAR = "FERROVANE_APPKEY_LICENSE"
DEFAULT, APPKEY = (), (APPKEY_VAR,)  # the argument tuples of the two licence lookups
ROOT = Path(__file__).resolve().parent.parent
TOO_MANY = "too many values to unpack (expected 2)"
TOO_FEW = ["need more than 0 values to unpack", "need more than 1 value to unpack"]


class Boom(Exception):
    """Raised by fakes; tests expect that very instance back."""


class Token(NS):
    """A true value compared by identity."""
    __eq__, __hash__ = object.__eq__, object.__hash__


U, P, K, U2 = (Token(name=name) for name in ("user", "pw", "key", "user2"))


def fake(base=object, *args, **methods):
    """An instance of a new subclass of `base` (made with `args`) with these methods."""
    return type("Fake", (base,), {"__hash__": base.__hash__, **methods})(*args)


def truth(answer, log=None, name=None):
    """A value whose truth tests are logged; it answers `answer` or raises it."""
    def test(self):
        log is None or log.append(name)
        if isinstance(answer, BaseException) or answer is Boom:
            raise answer
        return answer
    return fake(__bool__=test)


def module(name, **attrs):
    """A plain module object (exactly types.ModuleType) holding `attrs`."""
    made = types.ModuleType(name)
    vars(made).update(attrs)
    return made


def raiser(error):
    def raise_it(*args, **kwargs):
        raise error
    return raise_it


def gen(*items, error=None):
    yield from items
    if error:
        raise error


def fails_at(login, line, expected, message=None):
    """init_daz() raises `expected` (that very exception, or of that type) with one entry at `line`."""
    with pytest.raises(BaseException) as info:
        login.init_daz()
    assert info.value is expected if isinstance(expected, BaseException) else type(info.value) is expected
    assert message is None or str(info.value) == message
    assert module_entries(info.value) == [(SOURCE_PATH, line, INIT_DAZ)]
    return info.value


@pytest.fixture
def c(login, daz, licences, monkeypatch, no_agent):
    return NS(login=login, daz=daz, licences=licences, mp=monkeypatch)


def agent_yields(c, user_id, app_key):
    """Turns the agent on, with fakes whose response carries (user_id, app_key)."""
    doc = {"Code": 0, "Result": [{"Key": "KORVEX_ACCOUNT", "Value": user_id},
                                 {"Key": "KORVEX_CUSTOM_APP_KEY", "Value": app_key}]}
    c.mp.setenv("FERROVANE_AGENT", "app_key_daz")
    c.mp.setattr(c.login, "sys", NS(platform="linux"))
    c.mp.setattr(c.login, "subprocess", NS(run=lambda *a, **k: NS(stdout="")))
    c.mp.setattr(c.login, "json", NS(loads=lambda text: doc))


# source: (line of its pair test, line of its daz.init, licence lookups made up to it)
SOURCES = {"agent": (38, 39, []), "default": (42, 43, [DEFAULT]), "appkey": (46, 47, [DEFAULT, APPKEY])}


def place(c, source, pair):
    agent_yields(c, *pair) if source == "agent" else setattr(c.licences, source, pair)


def login_of(source, user, secret):
    return ((user, secret), {}) if source == "default" else ((user,), {"appkey": secret})


@pytest.mark.parametrize("default, appkey, logins, lookups", [
    ((U, P), (U2, K), [((U, P), {})], [DEFAULT]),
    ([U, P], None, [((U, P), {})], [DEFAULT]),  # None would fail to unpack: never looked up
    ((U, ""), (U2, K), [((U2,), {"appkey": K})], [DEFAULT, APPKEY]),
    ((0, P), [U2, K], [((U2,), {"appkey": K})], [DEFAULT, APPKEY]),
    ((None, None), (None, None), [], [DEFAULT, APPKEY]),
    ((None, None), (U2, ()), [], [DEFAULT, APPKEY]),
    ((U, None), (None, K), [], [DEFAULT, APPKEY]),  # halves of different sources never combine
])
def test_order_and_init_calls(c, default, appkey, logins, lookups):
    c.licences.default, c.licences.appkey = default, appkey
    assert c.login.init_daz() is None
    assert c.login.init_daz() is None  # nothing is kept: the second call repeats the whole chain
    assert (c.daz.calls, c.licences.calls) == (logins * 2, lookups * 2)


@pytest.mark.parametrize("via, selector", [
    *(("environment", text) for text in (None, "app_key_daz ", "APP_KEY_DAZ", "", " app_key_daz", "app")),
    *(("getenv", value) for value in (None, b"app_key_daz", 0, ["app_key_daz"],
                                      fake(str, "app_key_daz", __eq__=lambda self, other: False)))])
def test_agent_runs_only_on_exact_selector(c, via, selector):
    if via == "getenv":
        c.mp.setattr(c.login, "os", module("os", getenv=lambda name: selector))
    elif selector is not None:
        c.mp.setenv("FERROVANE_AGENT", selector)
    for name in ("sys", "subprocess", "json"):
        c.mp.setattr(c.login, name, module(name, __getattr__=lambda attr: pytest.fail(f"agent: {attr}")))
    c.licences.default = (U, P)
    c.login.init_daz()
    assert c.daz.calls == [((U, P), {})]


def test_selector_read_and_compared_by_equality(c):
    reads, selector = [], fake(__eq__=lambda self, other: other == "app_key_daz")
    agent_yields(c, U, K)
    c.mp.setattr(c.login, "os", module("os", getenv=lambda *a, **k: reads.append((a, k)) or selector))
    c.login.init_daz()
    assert reads == [(("FERROVANE_AGENT",), {})]
    assert (c.daz.calls, c.licences.calls) == ([((U,), {"appkey": K})], [])


@pytest.mark.parametrize("source", SOURCES)
@pytest.mark.parametrize("first, second, tested, outcome", [
    (True, True, ["first", "second"], "login"),
    (True, False, ["first", "second"], None),
    (False, True, ["first"], None),
    (False, Boom, ["first"], None),  # the second half is not tested once the first is false
    ([1], Boom, ["first", "second"], "raises"),
    (Boom, True, ["first"], "raises"),
])
def test_pair_truth_tests(c, source, first, second, tested, outcome):
    log, error = [], Boom()
    pair = [truth(error if a is Boom else bool(a), log, name)
            for name, a in zip(("first", "second"), (first, second))]
    place(c, source, pair)
    test_line, _, lookups = SOURCES[source]
    if outcome == "raises":
        fails_at(c.login, test_line, error)
        assert c.licences.calls == lookups
    else:
        assert c.login.init_daz() is None
    assert log == tested
    assert c.daz.calls == ([login_of(source, *pair)] if outcome == "login" else [])


def iter_error(value):
    with pytest.raises(TypeError) as info:
        iter(value)
    return TypeError, str(info.value)


LOOKUP_LINES = {"default": 41, "appkey": 45}


@pytest.mark.parametrize("lookup", LOOKUP_LINES)
@pytest.mark.parametrize("make, outcome", [
    (lambda: (U, P, K), TOO_MANY), (lambda: [U, P, K, U2], TOO_MANY), (lambda: (U,), TOO_FEW[1]),
    (lambda: [U], TOO_FEW[1]), (lambda: (), TOO_FEW[0]), (lambda: [], TOO_FEW[0]),
    (lambda: gen(), TOO_FEW[0]), (lambda: gen(U), TOO_FEW[1]), (lambda: gen(U, P, K), TOO_MANY),
    (lambda: {U: 1, P: 2, K: 3}, TOO_MANY), (lambda: "u", TOO_FEW[1]),
    (lambda: collections.deque([U]), TOO_FEW[1]), (lambda: None, iter_error(None)),
    (lambda: 42, iter_error(42)), (lambda: object(), iter_error(object())),
    (lambda: fake(__iter__=raiser(Boom("no iterator"))), (Boom, "no iterator")),
    *((lambda n=n: gen(*(U, P)[:n], error=Boom(f"after {n}")), (Boom, f"after {n}")) for n in range(3)),
    (lambda: gen(U, P), (U, P)), (lambda: "up", ("u", "p")), (lambda: {U: 1, P: 2}, (U, P)),
    (lambda: collections.deque([U, P]), (U, P)), (lambda: os.terminal_size((U, P)), (U, P)),
], ids=["tuple3", "list4", "tuple1", "list1", "tuple0", "list0", "gen0", "gen1", "gen3", "dict3", "str1",
        "deque1", "None", "int", "object", "iter-raises", "next-raises-0", "next-raises-1", "next-raises-2",
        "gen2", "str2", "dict2", "deque2", "tuple-subclass"])
def test_unpacking(c, lookup, make, outcome):
    setattr(c.licences, lookup, make())
    if isinstance(outcome, str) or type(outcome[0]) is type:
        outcome = (ValueError, outcome) if isinstance(outcome, str) else outcome
        fails_at(c.login, LOOKUP_LINES[lookup], *outcome)
        assert c.daz.calls == []
    else:
        c.login.init_daz()
        assert c.daz.calls == [login_of(lookup, *outcome)]
    assert c.licences.calls == [DEFAULT, APPKEY][: 1 + (lookup == "appkey")]


@pytest.mark.parametrize("lookup", LOOKUP_LINES)
@pytest.mark.parametrize("count, message", [(0, TOO_FEW[0]), (1, TOO_FEW[1]), (2, None), (3, TOO_MANY),
                                            (5, TOO_MANY)])
def test_iterator_gives_at_most_three_items(c, lookup, count, message):
    items, taken = [Token(name=str(i)) for i in range(count)], []
    setattr(c.licences, lookup, map(lambda item: taken.append(item) or item, items))
    if message:
        fails_at(c.login, LOOKUP_LINES[lookup], ValueError, message)
    else:
        c.login.init_daz()
    assert c.daz.calls == ([] if message else [login_of(lookup, *items)])
    assert taken == items[:3]


@pytest.mark.parametrize("name, line, source", [
    ("os", 10, None), ("get_license_info", 41, None),
    ("daz", 39, "agent"), ("daz", 43, "default"), ("daz", 47, "appkey")])
def test_missing_global_raises_name_error(c, name, line, source):
    source and place(c, source, (U, K))
    c.mp.delattr(c.login, name)
    fails_at(c.login, line, NameError, f"name '{name}' is not defined")


def test_lookup_name_is_looked_up_again_for_the_second_lookup(c):
    def vanishing(*args):
        c.mp.delattr(builtins, "get_license_info")
        return (None, None)

    c.mp.delattr(c.login, "get_license_info")
    c.mp.setattr(builtins, "get_license_info", vanishing, raising=False)
    fails_at(c.login, 45, NameError, "name 'get_license_info' is not defined")


@pytest.mark.parametrize("name, line", [("os", 10), ("daz", 43), ("get_license_info", 41)])
def test_builtins_fallback_is_consulted_at_each_use(c, name, line):
    reads = []
    stand_in = {"os": module("os", getenv=lambda *a: reads.append(a)), "daz": c.daz,
                "get_license_info": c.licences}[name]
    c.licences.default = (U, P)
    c.mp.delattr(c.login, name)
    c.mp.setattr(builtins, name, stand_in, raising=False)
    c.login.init_daz()
    assert (c.daz.calls, reads) == ([((U, P), {})], [("FERROVANE_AGENT",)] if name == "os" else [])
    c.mp.delattr(builtins, name)
    fails_at(c.login, line, NameError, f"name '{name}' is not defined")


REBIND = {
    "setattr": lambda c, name, value: setattr(c.login, name, value),
    "item": lambda c, name, value: vars(c.login).__setitem__(name, value),
    "update": lambda c, name, value: vars(c.login).update({name: value}),
    "builtins only": lambda c, name, value: (vars(c.login).pop(name, None),
                                             c.mp.setattr(builtins, name, value, raising=False)),
}


@pytest.mark.parametrize("how", REBIND)
@pytest.mark.parametrize("name", ["os", "daz", "get_license_info"])
def test_rebinding_a_global_changes_the_next_call(c, name, how):
    log = []

    def stand_ins(tag):
        return {"os": module("os", getenv=lambda *a: log.append(("os", tag))),
                "daz": module("daz", init=lambda *a, **k: log.append(("daz", tag))),
                "get_license_info": lambda *a: log.append(("get_license_info", tag)) or (U, P)}

    first, second = stand_ins("a"), stand_ins("b")
    for each, value in first.items():
        c.mp.setattr(c.login, each, value)
    for value in (first[name], second[name], first[name], second[name]):
        REBIND[how](c, name, value)
        c.login.init_daz()
    assert [tag for each, tag in log if each == name] == ["a", "b", "a", "b"]
    assert len(log) == 12


@pytest.mark.parametrize("name, attr, line", [("daz", "init", 43), ("os", "getenv", 10)])
@pytest.mark.parametrize("change", ["setattr", "dict", "monkeypatch", "class with property", "delete"])
def test_attribute_of_a_module_global_changes_the_next_call(c, name, attr, line, change):
    log, new = [], (lambda *a, **k: log.append("new"))
    c.licences.default = (U, P)
    c.mp.setattr(c.login, name, fake_module := module(name, **{attr: lambda *a, **k: log.append("old")}))
    c.login.init_daz()
    if change == "delete":
        delattr(fake_module, attr)
        fails_at(c.login, line, AttributeError, f"module '{name}' has no attribute '{attr}'")
        return
    if change == "class with property":
        fake_module.__class__ = type("Patched", (types.ModuleType,), {attr: property(lambda self: new)})
    elif change == "dict":
        vars(fake_module)[attr] = new
    else:
        (setattr if change == "setattr" else c.mp.setattr)(fake_module, attr, new)
    c.login.init_daz()
    fake_module.__class__ = types.ModuleType
    c.login.init_daz()
    assert log == ["old", "new", "old" if change == "class with property" else "new"]


def test_attribute_of_the_real_os_module_changes_the_next_call(c):
    c.login.init_daz()
    reads, real_getenv = [], os.getenv
    c.mp.setattr(os, "getenv", lambda *a: reads.append(a) or real_getenv(*a))
    c.login.init_daz()
    assert reads == [("FERROVANE_AGENT",)]


def set_daz_init(c, error):
    c.mp.setattr(c.login, "daz", module("daz", init=raiser(error)))


FAILURES = {  # line: (setup, licence lookups made)
    10: (lambda c, e: c.mp.setattr(c.login, "os", module("os", getenv=raiser(e))), []),
    11: (lambda c, e: c.mp.setattr(c.login, "os", module("os", getenv=lambda n: fake(__eq__=raiser(e)))),
         []),
    38: (lambda c, e: agent_yields(c, truth(e), K), []),
    39: (lambda c, e: (agent_yields(c, U, K), set_daz_init(c, e)), []),
    41: (lambda c, e: c.mp.setattr(c.login, "get_license_info", raiser(e)), []),
    42: (lambda c, e: setattr(c.licences, "default", (U, truth(e))), [DEFAULT]),
    43: (lambda c, e: (setattr(c.licences, "default", (U, P)), set_daz_init(c, e)), [DEFAULT]),
    45: (lambda c, e: c.mp.setattr(c.login, "get_license_info",
                                   lambda *a: raiser(e)() if a else c.licences(*a)), [DEFAULT]),
    46: (lambda c, e: setattr(c.licences, "appkey", (U, truth(e))), [DEFAULT, APPKEY]),
    47: (lambda c, e: (setattr(c.licences, "appkey", (U, K)), set_daz_init(c, e)), [DEFAULT, APPKEY]),
}


@pytest.mark.parametrize("line", FAILURES)
def test_failure_at_each_statement_passes_through_with_its_line(c, line):
    setup, lookups = FAILURES[line]
    setup(c, error := Boom())
    assert fails_at(c.login, line, error).args == ()
    assert (c.licences.calls, c.daz.calls) == (lookups, [])


def _leak_cases():
    u, p, k, f, r = Token(), Token(), Token(), truth(False), truth(Boom)
    return {  # id: (default result, app-key result, daz.init raises, agent pair)
        "default": ((u, p), None, False, None), "appkey list": ([u, f], [u, k], False, None),
        "unusable": ((f, p), (u, f), False, None),
        "iterable": (collections.deque([u, p]), None, False, None),
        "too many": ((u, p, k), None, False, None), "too few": ([u], None, False, None),
        "iterable too many": (collections.deque([u, p, k]), None, False, None),
        "truth raises": ((u, r), None, False, None), "init raises": ((u, p), None, True, None),
        "agent": (None, None, False, (u, k)), "agent unusable": ((u, p), None, False, (u, f)),
        "agent init raises": (None, None, True, (u, k)),
    }


@pytest.mark.parametrize("case", _leak_cases().values(), ids=_leak_cases())
def test_no_references_are_kept(c, case):
    default, appkey, init_raises, agent = case
    selector = "app_key_daz" if agent else Token()
    agent and agent_yields(c, *agent)
    c.mp.setattr(c.login, "os", module("os", getenv=lambda name: selector))
    c.mp.setattr(c.login, "get_license_info", lambda *a: appkey if a else default)
    c.mp.setattr(c.login, "daz", module("daz", init=lambda *a, **k: init_raises and raiser(Boom())()))
    watched = [selector, *(agent or ())]
    for result in (default, appkey):
        watched += [result, *result] if result is not None else []
    watched = [obj for obj in watched if not isinstance(obj, str)]

    def run(times):
        for _ in range(times):
            try:
                c.login.init_daz()
            except (Boom, ValueError):
                pass
        gc.collect()

    run(10)
    before = [sys.getrefcount(obj) for obj in watched]
    run(200)
    assert [sys.getrefcount(obj) for obj in watched] == before


@pytest.mark.parametrize("default, appkey, made", [
    ({"user": "alice", "password": "pw-a"}, {"user": "bob", "app_key": "key-b"}, ("alice", "password")),
    ({"user": "alice", "password": "pw-a"}, "not json", ("alice", "password")),  # never read
    (None, {"user": "bob", "app_key": "key-b"}, ("bob", "app_key")),
    ({"user": "alice", "password": ""}, {"user": "bob", "app_key": "key-b"}, ("bob", "app_key")),
    ({"password": "x"}, {"user": "bob"}, None), (None, None, None),
    ("not json", {"user": "bob", "app_key": "key-b"}, 41), (None, "[1, 2]", 45),
])
def test_stand_in_sdk_end_to_end(login, monkeypatch, tmp_path, no_agent, default, appkey, made):
    from ferrovane import daz
    from ferrovane.cairn.sdk.license_helper import LicenseError, get_license_info
    assert login.daz is daz and login.get_license_info is get_license_info
    for var, content in (("FERROVANE_LICENSE", default), (APPKEY_VAR, appkey)):
        monkeypatch.delenv(var, raising=False)
        if content is not None:
            (tmp_path / var).write_text(content if isinstance(content, str) else json.dumps(content))
            monkeypatch.setenv(var, str(tmp_path / var))
    daz.reset()
    monkeypatch.setattr(daz, "last_login", None)  # and forgotten again afterwards
    if isinstance(made, int):
        fails_at(login, made, LicenseError)
        assert daz.last_login is None
    else:
        assert login.init_daz() is None
        assert daz.last_login == (daz.Login(*made) if made else None)


def test_main_job_logs_in_with_the_bundled_licence():
    drop = ("FERROVANE_LICENSE", APPKEY_VAR, "FERROVANE_AGENT")
    env = {name: value for name, value in os.environ.items() if name not in drop}
    done = subprocess.run([sys.executable, str(ROOT / "examples" / "login_demo.py")], capture_output=True,
                          text=True, env=env, cwd=ROOT, timeout=60)
    assert (done.returncode, done.stderr) == (0, "")
    assert done.stdout == "logged in as demo-user with a password\n"
