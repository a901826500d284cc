"""Reference and allocation leaks on every path of init_daz, and what a call leaves behind.

Each scenario installs fakes as the module's globals (os, sys, subprocess, json, daz,
get_license_info) so that one path runs: a credential source wins, nothing is usable, or one
statement fails. A scenario is first run once to check that it takes the path it names (the
outcome and the line of the traceback entry), then warmed up, then run many times while the
interpreter's allocated blocks and the reference counts of every object it passes through are
watched. A leak of one object or one reference per call shows up as growth proportional to the
number of calls; the slack only absorbs the interpreter's own free lists and caches.

The same scenarios then check that nothing outlives a call: once the test drops its own references
(and the exception, for a failure), weak references to the values that went through the call die,
and the frames of the module's traceback entries hold no locals.
"""

from __future__ import annotations

import contextlib
import gc
import json as real_json
import sys
import traceback
import types
import weakref
from dataclasses import dataclass, field
from typing import Any, Callable

import pytest

from support import INIT_DAZ, SOURCE_PATH, module_entries

from ferrovane.cairn.utils import login

WARMUP = 50
ITERATIONS = 200
# Allocated blocks that may come and go between two measurements without any leak (free lists,
# the interpreter's own caches). Far below one block per call.
BLOCK_SLACK = 8

MISSING = object()
GLOBAL_NAMES = ("os", "sys", "subprocess", "json", "daz", "get_license_info")


@contextlib.contextmanager
def rebound(**names: Any):
    """Binds module globals for the duration of the block; MISSING removes a name."""
    saved = {name: login.__dict__.get(name, MISSING) for name in names}
    try:
        for name, value in names.items():
            if value is MISSING:
                login.__dict__.pop(name, None)
            else:
                setattr(login, name, value)
        yield
    finally:
        for name, value in saved.items():
            if value is MISSING:
                login.__dict__.pop(name, None)
            else:
                setattr(login, name, value)


# ---- values that go through a call ----

class Boom(Exception):
    """Raised by the fakes where a scenario makes a statement fail."""


class Token:
    """A truthy value that can be weakly referenced and whose reference count is its own."""

    def __init__(self, label: str = "") -> None:
        self.label = label

    def __repr__(self) -> str:
        return f"<{type(self).__name__} {self.label}>"


class FalseToken(Token):
    def __bool__(self) -> bool:
        return False


class BadTruth(Token):
    def __bool__(self) -> bool:
        raise Boom("truth test")


class Text(str):
    """A str that can be weakly referenced (interned literals are immortal in 3.12)."""


class Doc(dict):
    """A JSON object that can be weakly referenced."""


class Items(list):
    """A JSON array that can be weakly referenced."""


class Completed:
    """What subprocess.run returns: only stdout is read."""

    def __init__(self, stdout: Any) -> None:
        self.stdout = stdout


class NoStdout:
    """A completed-process result without stdout."""


class GetRaises(Doc):
    """A JSON object whose get() fails, for every key or for one."""

    def __init__(self, *args: Any, failing_key: str | None = None) -> None:
        super().__init__(*args)
        self.failing_key = failing_key

    def get(self, key: Any, default: Any = None) -> Any:
        if self.failing_key is None or key == self.failing_key:
            raise Boom(f"get {key}")
        return super().get(key, default)


class ContainsRaises(Doc):
    def __contains__(self, key: object) -> bool:
        raise Boom("in")


class EqRaises(Token):
    """Fails when compared with anything but the texts in `equal_false`."""

    def __init__(self, *equal_false: str) -> None:
        super().__init__("eq")
        self.equal_false = equal_false

    def __eq__(self, other: object) -> bool:
        if other in self.equal_false:
            return False
        raise Boom("==")

    __hash__ = Token.__hash__


class EqBadTruth(Token):
    """Its comparison returns a value whose truth test fails."""

    def __eq__(self, other: object) -> Any:
        return BadTruth("eq result")

    __hash__ = Token.__hash__


class FailingIterable(Token):
    """A truthy iterable whose iterator fails after `items`."""

    def __init__(self, *items: Any) -> None:
        super().__init__("iterable")
        self.items = items

    def __iter__(self):
        yield from self.items
        raise Boom("iteration")


def raiser(exc_type: type[BaseException] = Boom) -> Callable[..., Any]:
    def fail(*args: Any, **kwargs: Any) -> Any:
        raise exc_type("fake")
    return fail


def setting(key: Any, value: Any = MISSING, doc_type: type = Doc) -> Doc:
    element = doc_type({"Key": key})
    if value is not MISSING:
        element["Value"] = value
    return element


def agent_doc(*elements: Any, code: Any = 0) -> Doc:
    return Doc({"Code": code, "Result": Items(elements)})


@dataclass
class Login:
    """The daz.init call expected: the very objects, or equal ones where `equal` is set."""

    args: tuple[Any, ...]
    kwargs: dict[str, Any]
    equal: bool = False

    def matches(self, args: tuple[Any, ...], kwargs: dict[str, Any]) -> bool:
        if self.equal:
            return args == self.args and kwargs == self.kwargs
        return (len(args) == len(self.args) and all(map(same, args, self.args))
                and kwargs.keys() == self.kwargs.keys()
                and all(kwargs[k] is self.kwargs[k] for k in kwargs))


@dataclass
class Raises:
    exc_type: type[BaseException]
    line: int


def same(a: Any, b: Any) -> bool:
    return a is b


@dataclass
class World:
    """The fakes of one scenario and the outcome it expects of every call."""

    selector: Any = field(default_factory=lambda: Text("unset"))
    platform: Any = field(default_factory=lambda: Text("linux"))
    stdout: Any = field(default_factory=lambda: Text("{}"))
    doc: Any = field(default_factory=lambda: agent_doc(code=1))
    env: Any = field(default_factory=lambda: Doc(PATH="/bin"))
    # get_license_info() and get_license_info("FERROVANE_APPKEY_LICENSE"): a value, or a
    # zero-argument callable that makes a fresh one (an iterator) for every call.
    default: Any = (None, None)
    appkey: Any = (None, None)
    expect: Login | Raises | None = None
    # Callables standing in for the functions the module calls; None keeps the well-behaved one.
    getenv: Callable[..., Any] | None = None
    environ_copy: Callable[..., Any] | None = None
    run: Callable[..., Any] | None = None
    res: Any = None
    loads: Callable[..., Any] | None = None
    lookup: Callable[..., Any] | None = None
    init: Callable[..., Any] | None = None
    # Globals to rebind to something else, or to remove (MISSING).
    replace: dict[str, Any] = field(default_factory=dict)
    # The call itself, for the argument checks.
    call: Callable[[], Any] | None = None
    extra: list[Any] = field(default_factory=list)
    logins: int = 0

    def agent(self, doc: Any = MISSING, *, windows: bool = False) -> World:
        """Selects the agent; its response (what json.loads returns) is `doc`."""
        self.selector = Text("app_key_daz")
        if windows:
            self.platform = Text("win32")
        if doc is not MISSING:
            self.doc = doc
        return self

    def build(self) -> dict[str, Any]:
        """The module globals of this world. Everything made here is kept in `self.extra`."""
        world = self
        if self.res is None:
            self.res = Completed(self.stdout)

        def getenv(name: str) -> Any:
            return world.selector

        def environ_copy() -> Any:
            return world.env

        def run(*args: Any, **kwargs: Any) -> Any:
            return world.res

        def loads(text: Any) -> Any:
            assert text is world.stdout
            return world.doc

        def fresh(result: Any) -> Any:
            return result() if callable(result) else result

        def lookup(*args: Any) -> Any:
            if args == ():
                return fresh(world.default)
            assert args == ("FERROVANE_APPKEY_LICENSE",)
            return fresh(world.appkey)

        def init(*args: Any, **kwargs: Any) -> None:
            expect = world.expect
            assert isinstance(expect, Login), "unexpected daz.init call"
            assert expect.matches(args, kwargs), "daz.init called with other values"
            world.logins += 1

        environ = types.SimpleNamespace(copy=self.environ_copy or environ_copy)
        made = {
            "os": module("os", getenv=self.getenv or getenv, environ=environ),
            "sys": module("sys", platform=self.platform),
            "subprocess": module("subprocess", run=self.run or run),
            "json": module("json", loads=self.loads or loads),
            "daz": module("daz", init=self.init or init),
            "get_license_info": self.lookup or lookup,
        }
        made.update(self.replace)
        own = [value for value in made.values()
               if value is not MISSING and not any(value is m for m in sys.modules.values())]
        self.extra.extend(own)
        self.extra.extend(vars(m)[k] for m in own if isinstance(m, types.ModuleType)
                          for k in ("getenv", "environ", "run", "loads", "init") if k in vars(m))
        return made

    def values(self) -> list[Any]:
        """Every object this world passes through a call (and so must get back intact)."""
        found: list[Any] = []
        seen: set[int] = set()

        def add(obj: Any) -> None:
            if obj is None or obj is MISSING or id(obj) in seen or isinstance(obj, (bool, int)):
                return
            if type(obj) is str:  # literals: shared and immortal, nothing to watch
                return
            seen.add(id(obj))
            found.append(obj)
            if isinstance(obj, (tuple, list)):
                for item in obj:
                    add(item)
            elif isinstance(obj, dict):
                for item in obj.values():
                    add(item)
            elif isinstance(obj, FailingIterable):
                for item in obj.items:
                    add(item)

        for obj in (self.selector, self.platform, self.stdout, self.doc, self.env, self.res,
                    self.default, self.appkey, *self.extra):
            add(obj)
        if isinstance(self.expect, Login):
            for obj in (*self.expect.args, *self.expect.kwargs.values()):
                add(obj)
        return found


def module(name: str, **attrs: Any) -> types.ModuleType:
    made = types.ModuleType(name)
    vars(made).update(attrs)
    return made


# ---- the scenarios ----

SCENARIOS: dict[str, Callable[[], World]] = {}


def scenario(name: str):
    def register(make: Callable[[], World]) -> Callable[[], World]:
        assert name not in SCENARIOS
        SCENARIOS[name] = make
        return make
    return register


def pair(label: str) -> tuple[Text, Text]:
    return Text(f"{label}-user"), Text(f"{label}-secret")


def generator_of(*items: Any) -> Callable[[], Any]:
    def make():
        yield from items
    return make


# Credential sources winning, or none.

@scenario("agent wins (shell)")
def _() -> World:
    user_id, app_key = pair("agent")
    w = World().agent(agent_doc(setting("KORVEX_ACCOUNT", user_id),
                                setting("OTHER", Token("other")),
                                setting("KORVEX_CUSTOM_APP_KEY", app_key)))
    w.expect = Login((user_id,), {"appkey": app_key})
    return w


@scenario("agent wins (windows)")
def _() -> World:
    user_id, app_key = pair("agent")
    w = World().agent(agent_doc(setting("KORVEX_CUSTOM_APP_KEY", app_key),
                                setting("KORVEX_ACCOUNT", user_id)), windows=True)
    w.expect = Login((user_id,), {"appkey": app_key})
    return w


@scenario("agent wins (last setting of each key)")
def _() -> World:
    user_id, app_key = pair("agent")
    w = World().agent(agent_doc(setting("KORVEX_ACCOUNT", Token("earlier")),
                                setting("KORVEX_CUSTOM_APP_KEY", Token("earlier")),
                                setting("KORVEX_ACCOUNT", user_id), Doc(Value=Token("no key")),
                                setting("KORVEX_CUSTOM_APP_KEY", app_key)))
    w.expect = Login((user_id,), {"appkey": app_key})
    return w


@scenario("agent wins (real json)")
def _() -> World:
    # The response is parsed by the json module, so the values are new on every call.
    w = World().agent()
    w.stdout = Text(real_json.dumps({"Code": 0, "Result": [
        {"Key": "KORVEX_ACCOUNT", "Value": "agent-user"},
        {"Key": "KORVEX_CUSTOM_APP_KEY", "Value": "agent-key"}]}))
    w.replace["json"] = real_json
    w.expect = Login(("agent-user",), {"appkey": "agent-key"}, equal=True)
    return w


@scenario("agent without app key, default wins")
def _() -> World:
    user, pw = pair("default")
    w = World().agent(agent_doc(setting("KORVEX_ACCOUNT", Token("agent-user"))))
    w.default = (user, pw)
    w.expect = Login((user, pw), {})
    return w


@scenario("agent with false values, default wins")
def _() -> World:
    user, pw = pair("default")
    w = World().agent(agent_doc(setting("KORVEX_ACCOUNT", Token("agent-user")),
                                setting("KORVEX_CUSTOM_APP_KEY", FalseToken("empty"))))
    w.default = [user, pw]
    w.expect = Login((user, pw), {})
    return w


@scenario("agent code 1, app key wins")
def _() -> World:
    user, key = pair("appkey")
    w = World().agent(agent_doc(setting("KORVEX_ACCOUNT", Token("u")),
                                setting("KORVEX_CUSTOM_APP_KEY", Token("k")), code=1))
    w.appkey = (user, key)
    w.expect = Login((user,), {"appkey": key})
    return w


@scenario("agent with empty result, default wins")
def _() -> World:
    user, pw = pair("default")
    w = World().agent(agent_doc())
    w.default = (user, pw)
    w.expect = Login((user, pw), {})
    return w


@scenario("agent without code, none usable")
def _() -> World:
    return World().agent(Doc(Result=Items([setting("KORVEX_ACCOUNT", Token("u"))])))


@scenario("default wins (tuple)")
def _() -> World:
    user, pw = pair("default")
    w = World(default=(user, pw))
    w.expect = Login((user, pw), {})
    return w


@scenario("default wins (list)")
def _() -> World:
    user, pw = pair("default")
    w = World(default=[user, pw])
    w.expect = Login((user, pw), {})
    return w


@scenario("default wins (iterator)")
def _() -> World:
    user, pw = pair("default")
    w = World(default=generator_of(user, pw))
    w.expect = Login((user, pw), {})
    return w


@scenario("default wins (list subclass)")
def _() -> World:
    user, pw = pair("default")
    w = World(default=Items([user, pw]))
    w.expect = Login((user, pw), {})
    return w


@scenario("app key wins")
def _() -> World:
    user, key = pair("appkey")
    w = World(default=(Token("user"), FalseToken("no password")), appkey=(user, key))
    w.expect = Login((user,), {"appkey": key})
    return w


@scenario("app key wins (iterator)")
def _() -> World:
    user, key = pair("appkey")
    w = World(default=generator_of(FalseToken("no user"), Token("pw")),
              appkey=generator_of(user, key))
    w.expect = Login((user,), {"appkey": key})
    return w


@scenario("none usable")
def _() -> World:
    return World(default=(Token("user"), Text("")), appkey=[FalseToken("no user"), Token("key")])


# The chain's failing statements.

@scenario("line 10: os.getenv raises")
def _() -> World:
    return World(getenv=raiser(), expect=Raises(Boom, 10))


@scenario("line 10: os missing")
def _() -> World:
    return World(replace={"os": MISSING}, expect=Raises(NameError, 10))


@scenario("line 10: os without getenv")
def _() -> World:
    return World(replace={"os": module("os")}, expect=Raises(AttributeError, 10))


@scenario("line 11: comparison raises")
def _() -> World:
    return World(selector=EqRaises(), expect=Raises(Boom, 11))


@scenario("line 11: comparison result's truth test raises")
def _() -> World:
    return World(selector=EqBadTruth("selector"), expect=Raises(Boom, 11))


@scenario("line 38: agent user id's truth test raises")
def _() -> World:
    w = World().agent(agent_doc(setting("KORVEX_ACCOUNT", BadTruth("user")),
                                setting("KORVEX_CUSTOM_APP_KEY", Token("key"))))
    w.expect = Raises(Boom, 38)
    return w


@scenario("line 38: agent app key's truth test raises")
def _() -> World:
    w = World().agent(agent_doc(setting("KORVEX_ACCOUNT", Token("user")),
                                setting("KORVEX_CUSTOM_APP_KEY", BadTruth("key"))))
    w.expect = Raises(Boom, 38)
    return w


@scenario("line 39: daz.init raises")
def _() -> World:
    user_id, app_key = pair("agent")
    w = World().agent(agent_doc(setting("KORVEX_ACCOUNT", user_id),
                                setting("KORVEX_CUSTOM_APP_KEY", app_key)))
    w.init = raiser()
    w.expect = Raises(Boom, 39)
    return w


@scenario("line 39: daz missing")
def _() -> World:
    user_id, app_key = pair("agent")
    w = World().agent(agent_doc(setting("KORVEX_ACCOUNT", user_id),
                                setting("KORVEX_CUSTOM_APP_KEY", app_key)))
    w.replace["daz"] = MISSING
    w.expect = Raises(NameError, 39)
    return w


def licence_failure(line: int, result: Callable[[], Any],
                    exc_type: type[BaseException]) -> Callable[[], World]:
    """A scenario whose lookup at `line` returns what `result()` makes."""
    def make() -> World:
        if line == 41:
            return World(default=result(), expect=Raises(exc_type, 41))
        return World(default=(FalseToken("user"), Token("pw")), appkey=result(),
                     expect=Raises(exc_type, 45))
    return make


for _line in (41, 45):
    _lookup = "default" if _line == 41 else "app-key"
    for _label, _result, _exc_type in [
        ("returns three items", lambda: (Token("a"), Token("b"), Token("c")), ValueError),
        ("returns one item", lambda: [Token("a")], ValueError),
        ("returns nothing iterable", lambda: Token("not iterable"), TypeError),
        ("returns an empty iterator", lambda: generator_of(), ValueError),
        ("returns an iterator of one", lambda: generator_of(Token("a")), ValueError),
        ("returns an iterator of three",
         lambda: generator_of(Token("a"), Token("b"), Token("c")), ValueError),
        ("'s iterator raises on the first item", lambda: FailingIterable(), Boom),
        ("'s iterator raises on the second item", lambda: FailingIterable(Token("a")), Boom),
        ("'s iterator raises on the third item",
         lambda: FailingIterable(Token("a"), Token("b")), Boom),
    ]:
        _sep = "" if _label.startswith("'") else " "
        scenario(f"line {_line}: {_lookup} lookup{_sep}{_label}")(
            licence_failure(_line, _result, _exc_type))


@scenario("line 41: get_license_info raises")
def _() -> World:
    return World(lookup=raiser(), expect=Raises(Boom, 41))


@scenario("line 41: get_license_info missing")
def _() -> World:
    return World(replace={"get_license_info": MISSING}, expect=Raises(NameError, 41))


@scenario("line 42: user's truth test raises")
def _() -> World:
    return World(default=(BadTruth("user"), Token("pw")), expect=Raises(Boom, 42))


@scenario("line 42: password's truth test raises")
def _() -> World:
    return World(default=[Token("user"), BadTruth("pw")], expect=Raises(Boom, 42))


@scenario("line 43: daz.init raises")
def _() -> World:
    return World(default=pair("default"), init=raiser(), expect=Raises(Boom, 43))


@scenario("line 43: daz missing")
def _() -> World:
    return World(default=pair("default"), replace={"daz": MISSING},
                 expect=Raises(NameError, 43))


@scenario("line 43: daz without init")
def _() -> World:
    return World(default=pair("default"), replace={"daz": module("daz")},
                 expect=Raises(AttributeError, 43))


@scenario("line 45: get_license_info raises on the app-key lookup")
def _() -> World:
    def lookup(*args: Any) -> Any:
        if args:
            raise Boom("app-key lookup")
        return (Token("user"), None)
    return World(lookup=lookup, expect=Raises(Boom, 45))


@scenario("line 46: app-key user's truth test raises")
def _() -> World:
    return World(appkey=(BadTruth("user"), Token("key")), expect=Raises(Boom, 46))


@scenario("line 46: app key's truth test raises")
def _() -> World:
    return World(appkey=generator_of(Token("user"), BadTruth("key")), expect=Raises(Boom, 46))


@scenario("line 47: daz.init raises")
def _() -> World:
    return World(appkey=pair("appkey"), init=raiser(), expect=Raises(Boom, 47))


@scenario("line 47: daz missing")
def _() -> World:
    return World(appkey=pair("appkey"), replace={"daz": MISSING}, expect=Raises(NameError, 47))


# The agent query's failing statements.

@scenario("line 12: sys missing")
def _() -> World:
    w = World().agent()
    w.replace["sys"] = MISSING
    w.expect = Raises(NameError, 12)
    return w


@scenario("line 12: startswith raises")
def _() -> World:
    w = World().agent()
    w.platform = types.SimpleNamespace(startswith=raiser())
    w.expect = Raises(Boom, 12)
    return w


@scenario("line 12: startswith result's truth test raises")
def _() -> World:
    w = World().agent()
    bad = BadTruth("starts")
    w.platform = types.SimpleNamespace(startswith=lambda prefix: bad)
    w.extra.append(bad)
    w.expect = Raises(Boom, 12)
    return w


@scenario("line 14: subprocess.run raises (windows)")
def _() -> World:
    w = World().agent(windows=True)
    w.run = raiser(OSError)
    w.expect = Raises(OSError, 14)
    return w


@scenario("line 14: subprocess missing (windows)")
def _() -> World:
    w = World().agent(windows=True)
    w.replace["subprocess"] = MISSING
    w.expect = Raises(NameError, 14)
    return w


@scenario("line 16: os.environ.copy raises (windows)")
def _() -> World:
    w = World().agent(windows=True)
    w.environ_copy = raiser()
    w.expect = Raises(Boom, 16)
    return w


@scenario("line 16: os without environ (windows)")
def _() -> World:
    w = World().agent(windows=True)
    w.replace["os"] = module("os", getenv=lambda name: w.selector)
    w.expect = Raises(AttributeError, 16)
    return w


@scenario("line 22: subprocess.run raises")
def _() -> World:
    w = World().agent()
    w.run = raiser(OSError)
    w.expect = Raises(OSError, 22)
    return w


@scenario("line 22: subprocess without run")
def _() -> World:
    w = World().agent()
    w.replace["subprocess"] = module("subprocess")
    w.expect = Raises(AttributeError, 22)
    return w


@scenario("line 29: json.loads raises")
def _() -> World:
    w = World().agent()
    w.loads = raiser()
    w.expect = Raises(Boom, 29)
    return w


@scenario("line 29: result without stdout")
def _() -> World:
    w = World().agent()
    w.res = NoStdout()
    w.expect = Raises(AttributeError, 29)
    return w


@scenario("line 29: json missing")
def _() -> World:
    w = World().agent()
    w.replace["json"] = MISSING
    w.expect = Raises(NameError, 29)
    return w


@scenario("line 29: output is not JSON (real json)")
def _() -> World:
    w = World().agent()
    w.stdout = Text("wrenkit: not found\n")
    w.replace["json"] = real_json
    w.expect = Raises(ValueError, 29)
    return w


@scenario("line 30: response without get")
def _() -> World:
    w = World().agent(Items([setting("KORVEX_ACCOUNT", Token("u"))]))
    w.expect = Raises(AttributeError, 30)
    return w


@scenario("line 30: get raises")
def _() -> World:
    w = World().agent(GetRaises({"Code": 0}))
    w.expect = Raises(Boom, 30)
    return w


@scenario("line 30: comparison of code raises")
def _() -> World:
    w = World().agent(Doc(Code=EqRaises(), Result=Items()))
    w.expect = Raises(Boom, 30)
    return w


@scenario("line 30: code comparison's truth test raises")
def _() -> World:
    w = World().agent(Doc(Code=EqBadTruth("code"), Result=Items()))
    w.expect = Raises(Boom, 30)
    return w


@scenario("line 31: reading Result raises")
def _() -> World:
    w = World().agent(GetRaises({"Code": 0}, failing_key="Result"))
    w.expect = Raises(Boom, 31)
    return w


@scenario("line 32: Result's truth test raises")
def _() -> World:
    w = World().agent(Doc(Code=0, Result=BadTruth("result")))
    w.expect = Raises(Boom, 32)
    return w


@scenario("line 33: Result not iterable")
def _() -> World:
    w = World().agent(Doc(Code=0, Result=Token("not iterable")))
    w.expect = Raises(TypeError, 33)
    return w


@scenario("line 33: iterating Result raises")
def _() -> World:
    w = World().agent(Doc(Code=0, Result=FailingIterable(
        setting("KORVEX_ACCOUNT", Token("u")), setting("KORVEX_CUSTOM_APP_KEY", Token("k")))))
    w.expect = Raises(Boom, 33)
    return w


for _label, _element in [("a number", 7), ("null", None), ("a string holding Key", "KeyRing"),
                         ("an array holding Key", ["Key"])]:
    def _make(element: Any = _element) -> World:
        value = Items(element) if isinstance(element, list) else element
        if isinstance(value, str):
            value = Text(value)
        w = World().agent(agent_doc(setting("OTHER", Token("x")), value))
        w.expect = Raises(TypeError, 34)
        return w
    scenario(f"line 34: element is {_label}")(_make)


@scenario("line 34: membership test raises")
def _() -> World:
    w = World().agent(agent_doc(ContainsRaises(Key="KORVEX_ACCOUNT")))
    w.expect = Raises(Boom, 34)
    return w


@scenario("line 34: comparison of Key raises")
def _() -> World:
    w = World().agent(agent_doc(setting(EqRaises())))
    w.expect = Raises(Boom, 34)
    return w


@scenario("line 35: reading the user id's Value raises")
def _() -> World:
    w = World().agent(agent_doc(GetRaises({"Key": "KORVEX_ACCOUNT", "Value": Token("u")})))
    w.expect = Raises(Boom, 35)
    return w


@scenario("line 36: second comparison of Key raises")
def _() -> World:
    w = World().agent(agent_doc(setting("KORVEX_ACCOUNT", Token("u")),
                                setting(EqRaises("KORVEX_ACCOUNT"))))
    w.expect = Raises(Boom, 36)
    return w


@scenario("line 37: reading the app key's Value raises")
def _() -> World:
    w = World().agent(agent_doc(
        GetRaises({"Key": "KORVEX_CUSTOM_APP_KEY", "Value": Token("k")})))
    w.expect = Raises(Boom, 37)
    return w


# The argument checks.

for _label, _call in [
    ("one positional argument", lambda t: login.init_daz(t)),
    ("two positional arguments", lambda t: login.init_daz(t, t)),
    ("a keyword argument", lambda t: login.init_daz(k=t)),
    ("positional and keyword arguments", lambda t: login.init_daz(t, k=t)),
    ("unpacked positional arguments", lambda t: login.init_daz(*(t,))),
    ("unpacked keyword arguments", lambda t: login.init_daz(**{"k": t})),
]:
    def _make(call: Callable[[Any], Any] = _call) -> World:
        argument = Token("argument")
        w = World(default=pair("default"))
        w.call = lambda: call(argument)
        w.extra.append(argument)
        w.expect = Raises(TypeError, 0)
        return w
    scenario(f"call with {_label}")(_make)

del _make, _label, _line, _lookup, _element, _call, _result, _exc_type, _sep


# ---- running them ----

def expected_type(world: World) -> type[BaseException] | tuple[()]:
    return world.expect.exc_type if isinstance(world.expect, Raises) else ()


def check_outcome(world: World) -> None:
    """One call takes the path the scenario names."""
    call = world.call or login.init_daz
    expect = world.expect
    logins = world.logins
    if isinstance(expect, Raises):
        with pytest.raises(expect.exc_type) as info:
            call()
        entries = module_entries(info.value)
        if expect.line:
            assert entries == [(SOURCE_PATH, expect.line, INIT_DAZ)]
        else:
            assert entries == []
        del info
    else:
        assert call() is None
        assert world.logins == logins + (1 if expect else 0)


def repeat(call: Callable[[], Any], catch: Any, times: int) -> None:
    for _ in range(times):
        try:
            call()
        except catch:
            pass


def settle() -> None:
    sys.last_exc = sys.last_type = sys.last_value = sys.last_traceback = None
    gc.collect()
    gc.collect()


@pytest.mark.parametrize("name", list(SCENARIOS))
def test_no_leaks(name: str) -> None:
    world = SCENARIOS[name]()
    fakes = world.build()
    values = world.values()
    call = world.call or login.init_daz
    catch = expected_type(world)
    with rebound(**fakes):
        check_outcome(world)
        repeat(call, catch, WARMUP)
        settle()
        refs_before = [sys.getrefcount(v) for v in values]
        logins_before = world.logins
        blocks_before = sys.getallocatedblocks()
        repeat(call, catch, ITERATIONS)
        settle()
        blocks_after = sys.getallocatedblocks()
        refs_after = [sys.getrefcount(v) for v in values]
    if isinstance(world.expect, Login):
        assert world.logins - logins_before == ITERATIONS
    grown = {repr(v): after - before
             for v, before, after in zip(values, refs_before, refs_after) if after != before}
    assert grown == {}, "reference counts changed"
    assert blocks_after - blocks_before <= BLOCK_SLACK, (
        f"{blocks_after - blocks_before} blocks more after {ITERATIONS} calls")


def test_leak_check_sees_a_leak() -> None:
    """The measurement above flags one kept reference per call."""
    user, pw = pair("default")
    kept: list[Any] = []
    with rebound(get_license_info=lambda *args: (user, pw),
                 daz=module("daz", init=lambda *args: kept.append(args))):
        repeat(login.init_daz, (), WARMUP)
        settle()
        blocks_before = sys.getallocatedblocks()
        refs_before = sys.getrefcount(user)
        repeat(login.init_daz, (), ITERATIONS)
        settle()
        assert sys.getrefcount(user) - refs_before == ITERATIONS
        if blocks_before:  # 0 when the interpreter's own allocator is not in use
            assert sys.getallocatedblocks() - blocks_before > BLOCK_SLACK


def weak_refs(values: list[Any]) -> list[tuple[str, weakref.ref]]:
    """(label, weak reference) of each value that supports weak references."""
    refs = []
    for value in values:
        try:
            refs.append((repr(value), weakref.ref(value)))
        except TypeError:  # tuples and the like: covered by the reference counts above
            pass
    return refs


@pytest.mark.parametrize("name", list(SCENARIOS))
def test_nothing_outlives_the_call(name: str) -> None:
    world = SCENARIOS[name]()
    fakes = world.build()
    refs = weak_refs(world.values())
    assert refs
    call = world.call or login.init_daz
    with rebound(**fakes):
        try:
            call()
        except BaseException as exc:  # noqa: BLE001 - checked against the scenario below
            assert isinstance(world.expect, Raises) and isinstance(exc, world.expect.exc_type)
            frames = [frame for frame, _ in traceback.walk_tb(exc.__traceback__)
                      if frame.f_code.co_filename == SOURCE_PATH]
            assert len(frames) == (1 if world.expect.line else 0)
            assert all(frame.f_locals == {} for frame in frames)
            del frames, exc
        else:
            assert not isinstance(world.expect, Raises)
    del fakes, world, call
    settle()
    alive = [label for label, ref in refs if ref() is not None]
    assert alive == []

