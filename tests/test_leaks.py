"""Leaks on every path of init_daz, and what a call leaves behind. Each scenario binds fakes as the
module's globals so that one path runs; after a call that checks the path, and a warm-up, many calls
run while the allocated blocks and the reference counts of all the scenario passes through are
watched, and on a debug build of the interpreter the total count of references too. Once the scenario
is dropped, weak references to all of it must die."""

import contextlib
import gc
import json as real_json
import sys
import traceback
import types
import weakref
from functools import partial

import pytest

from support import (DEBUG_BUILD, FATAL_ON_DEBUG, INIT_DAZ, SOURCE_PATH, freeze_heap, misbehaving, misbehaving_callee,
                     module_entries)

from ferrovane.cairn.utils import login

WARMUP, ITERATIONS = 20, 100
BLOCK_SLACK = 8  # blocks that come and go without a leak (free lists, caches)
# A debug build counts every reference of the process: the count that a leak (or an extra release) of
# one reference a call would move by ITERATIONS stays within this of where it was.
REF_SLACK = 8
total_refs = getattr(sys, "gettotalrefcount", lambda: 0)
MISSING = object()
ACC, KEY = "KORVEX_ACCOUNT", "KORVEX_CUSTOM_APP_KEY"


class Boom(Exception):
    pass


class Token:
    """A value of its own (reference count, weak references), shown as its label. Its truth test gives
    `truth` (None: raises Boom). With `eq`, == raises Boom ("bad": gives a value whose truth test
    raises) but is False for the texts in `unequal`. Other keywords become attributes."""
    eq, unequal, __hash__ = None, (), object.__hash__

    def __init__(self, label, truth=True, **attrs):
        self.label, self.truth = label, truth
        vars(self).update(attrs)

    def __bool__(self):
        if self.truth is None:
            raise Boom(self.label)
        return self.truth

    def __eq__(self, other):
        if self.eq is None:
            return NotImplemented
        if other in self.unequal:
            return False
        if self.eq == "bad":
            return B("eq result")
        raise Boom("==")

    def __repr__(self):
        return self.label


T, F, B = Token, partial(Token, truth=False), partial(Token, truth=None)


class Iter(Token):
    """Iterable, neither tuple nor list, over `items`; with `fail`, raises Boom after them."""

    def __init__(self, *items, fail=False):
        super().__init__("iter", items=items, fail=fail)

    def __iter__(self):
        yield from self.items
        if self.fail:
            raise Boom("iteration")


class Text(str):
    """A str of its own: literals are shared and immortal."""


class Doc(dict):
    """A JSON object of its own; get() raises Boom for the key `failing` ("*": any key)."""

    def __init__(self, failing=None, **members):
        super().__init__(members)
        self.failing = failing

    def get(self, key, default=None):
        if self.failing in ("*", key):
            raise Boom(key)
        return super().get(key, default)


def raiser(exc_type=Boom):
    def fail(*args, **kwargs):
        raise exc_type("fake")
    return fail


def module(name, **attrs):
    made = types.ModuleType(name)
    vars(made).update(attrs)
    return made


class World:
    """The module globals of one scenario and how each call ends: "init(...)" as daz.init saw it, None
    for no login, or (exception type, line of the module's entry; 0 for none). A keyword named like a
    global replaces it (MISSING removes it); getenv, copy (os.environ.copy), run, loads and init
    replace the functions of the fake modules."""

    def __init__(self, expect, *, selector=None, platform=None, doc=None, stdout=None, res=None,
                 default=(None, None), appkey=(None, None), call=None, **fakes):
        self.expect, self.seen, self.logins = expect, None, 0
        res = T("res", stdout=Text("{}") if stdout is None else stdout) if res is None else res
        argument, lookups = T("argument"), {(): default, ("FERROVANE_APPKEY_LICENSE",): appkey}
        self.call = (lambda: call(argument)) if call else login.init_daz

        def init(*args, **kwargs):
            shown = [*map(repr, args), *(f"{k}={v!r}" for k, v in kwargs.items())]
            self.seen, self.logins = f"init({', '.join(shown)})", self.logins + 1

        fn = {"getenv": lambda name: selector, "copy": lambda: Doc(PATH="/bin"), "init": init,
              "run": lambda *args, **kwargs: res, "loads": lambda text: doc,
              "get_license_info": lambda *args: lookups[args], **fakes}
        self.globals = {
            "os": module("os", getenv=fn["getenv"], environ=module("environ", copy=fn["copy"])),
            "sys": module("sys", platform=Text("linux") if platform is None else platform),
            "subprocess": module("subprocess", run=fn["run"]), "json": module("json", loads=fn["loads"]),
            "daz": module("daz", init=fn["init"]), "get_license_info": fn["get_license_info"],
            **{k: v for k, v in fakes.items() if k in ("os", "sys", "subprocess", "json", "daz")}}


def agent(expect, *settings, code=0, **kwargs):
    """The agent selected; it answers with these settings ((key, value) or (key,)) and `code`
    (MISSING: none), or with `doc`."""
    result = [Doc(**dict(zip(("Key", "Value"), s))) if type(s) is tuple else s for s in settings]
    doc = Doc(**{k: v for k, v in {"Code": code, "Result": result}.items() if v is not MISSING})
    return World(expect, selector=Text("app_key_daz"), **{"doc": doc, **kwargs})


def both():
    return (ACC, T("au")), (KEY, T("ak"))


def pw():
    return T("du"), T("dp")


def with_get(get, **members):
    doc = Doc(**members)
    doc.get = get
    return doc


AGENT_JSON = real_json.dumps({"Code": 0, "Result": [{"Key": ACC, "Value": "au"},
                                                    {"Key": KEY, "Value": "ak"}]})
SCENARIOS = {
    # A source wins, or none.
    "agent, last setting of each key": lambda: agent(
        "init(au, appkey=ak)", (ACC, T("old")), (KEY, T("old")), ("OTHER", T("x")), Doc(Value=T("v")),
        *both()),
    "agent on windows": lambda: agent("init(au, appkey=ak)", *both(), platform=Text("win32")),
    "agent through json": lambda: agent("init('au', appkey='ak')", json=real_json, stdout=Text(AGENT_JSON)),
    "agent without app key, default": lambda: agent("init(du, dp)", (ACC, T("au")), (KEY,),
                                                    default=[*pw()]),
    "agent code 1, app key": lambda: agent("init(ku, appkey=kk)", *both(), code=1,
                                           appkey=(T("ku"), T("kk"))),
    "agent no Code, none": lambda: agent(None, *both(), code=MISSING),
    "agent no Result, default": lambda: agent("init(du, dp)", doc=Doc(Code=0), default=pw()),
    "default": lambda: World("init(du, dp)", default=pw()),
    "app key, iterated": lambda: World("init(ku, appkey=kk)", default=Iter(F("du"), T("dp")),
                                       appkey=Iter(T("ku"), T("kk"))),
    "none usable": lambda: World(None, default=(T("du"), Text("")), appkey=[F("ku"), T("kk")]),
    # The chain's failing statements.
    "10 getenv raises": lambda: World((Boom, 10), getenv=raiser()),
    "10 os missing": lambda: World((NameError, 10), os=MISSING),
    "11 == result's truth": lambda: World((Boom, 11), selector=T("selector", eq="bad")),
    "38 app key's truth": lambda: agent((Boom, 38), (ACC, T("au")), (KEY, B("ak"))),
    "39 daz.init raises": lambda: agent((Boom, 39), *both(), init=raiser()),
    "41 lookup raises": lambda: World((Boom, 41), get_license_info=raiser()),
    "41 three items": lambda: World((ValueError, 41), default=(T("a"), T("b"), T("c"))),
    "41 not iterable": lambda: World((TypeError, 41), default=T("a")),
    "41 iterator of three": lambda: World((ValueError, 41), default=Iter(T("a"), T("b"), T("c"))),
    "41 iterator fails at 2nd": lambda: World((Boom, 41), default=Iter(T("a"), fail=True)),
    "42 user's truth": lambda: World((Boom, 42), default=(B("du"), T("dp"))),
    "43 daz.init raises": lambda: World((Boom, 43), default=pw(), init=raiser()),
    "43 daz without init": lambda: World((AttributeError, 43), default=pw(), daz=module("daz")),
    "45 one item": lambda: World((ValueError, 45), appkey=[T("a")]),
    "46 app key's truth": lambda: World((Boom, 46), appkey=(T("ku"), B("kk"))),
    "47 daz.init raises": lambda: World((Boom, 47), appkey=(T("ku"), T("kk")), init=raiser()),
    # The agent query's failing statements.
    "12 sys missing": lambda: agent((NameError, 12), sys=MISSING),
    "12 startswith truth": lambda: agent((Boom, 12), platform=T("p", startswith=lambda prefix: B("s"))),
    "14 windows run raises": lambda: agent((OSError, 14), platform=Text("win"), run=raiser(OSError)),
    "16 environ.copy raises": lambda: agent((Boom, 16), platform=Text("win"), copy=raiser()),
    "22 run raises": lambda: agent((OSError, 22), run=raiser(OSError)),
    "29 no stdout": lambda: agent((AttributeError, 29), res=T("res")),
    "29 not JSON": lambda: agent((ValueError, 29), json=real_json, stdout=Text("wrenkit: not found\n")),
    "30 no get()": lambda: agent((AttributeError, 30), doc=[Doc(Key=ACC)]),
    "30 Code == 0's truth": lambda: agent((Boom, 30), doc=Doc(Code=T("code", eq="bad"))),
    "31 get Result raises": lambda: agent((Boom, 31), doc=Doc("Result", Code=0)),
    "32 Result's truth": lambda: agent((Boom, 32), doc=Doc(Code=0, Result=B("result"))),
    "33 Result not iterable": lambda: agent((TypeError, 33), doc=Doc(Code=0, Result=T("result"))),
    "33 iterating raises": lambda: agent((Boom, 33), doc=Doc(Code=0, Result=Iter(
        Doc(Key=ACC, Value=T("au")), Doc(Key=KEY, Value=T("ak")), fail=True))),
    "34 number element": lambda: agent((TypeError, 34), ("OTHER", T("x")), 7),
    "34 text holding Key": lambda: agent((TypeError, 34), Text("KeyRing")),
    "34 == raises": lambda: agent((Boom, 34), (T("key", eq="raise"),)),
    "35 get Value raises": lambda: agent((Boom, 35), Doc("*", Key=ACC, Value=T("au"))),
    "36 == raises": lambda: agent((Boom, 36), (ACC, T("au")), (T("key", eq="raise", unequal=(ACC,)),)),
    "37 get Value raises": lambda: agent((Boom, 37), Doc("*", Key=KEY, Value=T("ak"))),
    # The argument checks.
    "call with an argument": lambda: World((TypeError, 0), call=lambda a: login.init_daz(a)),
    "call unpacking": lambda: World((TypeError, 0), call=lambda a: login.init_daz(*[a], **{"k": a})),
}
# Callees that break the calling convention (which a debug build turns into a fatal error on purpose).
BROKEN_CALLEES = {
    "41 lookup gives NULL, no error": lambda: World(
        (SystemError, 41), get_license_info=misbehaving_callee("null_without_error", "_testcapi")),
    "41 lookup gives a result and an error": lambda: World(
        (SystemError, 41), get_license_info=misbehaving_callee("result_with_error", "_testcapi")),
    "43 daz.init gives NULL, no error": lambda: World((SystemError, 43), default=pw(),
                                                      init=misbehaving_callee("null_without_error")),
    "29 loads gives a result and an error": lambda: agent((SystemError, 29),
                                                          loads=misbehaving_callee("result_with_error")),
    "35 get gives NULL, no error": lambda: agent((SystemError, 35),
                                                 with_get(misbehaving_callee("null_without_error"), Key=ACC)),
}
CASES = [*(pytest.param(make, id=name) for name, make in SCENARIOS.items()),
         *(pytest.param(make, id=name, marks=pytest.mark.skipif(DEBUG_BUILD, reason=FATAL_ON_DEBUG))
           for name, make in BROKEN_CALLEES.items())]


def repeat(world, times):
    for _ in range(times):
        with contextlib.suppress(world.expect[0] if isinstance(world.expect, tuple) else ()):
            world.call()
    settle()


def settle():
    sys.last_exc = sys.last_type = sys.last_value = sys.last_traceback = None
    gc.collect()
    gc.collect()


@pytest.mark.parametrize("make", CASES)
def test_no_leaks(make, monkeypatch, request):
    misbehaving()  # loaded before the scenario, so that its objects are not taken for the scenario's
    with contextlib.suppress(ImportError):
        import _testcapi  # noqa: F401
    freeze_heap(request)
    # Every object the scenario makes goes through the calls or holds what does.
    world = make()
    values = gc.get_objects()
    for name, value in world.globals.items():
        if value is MISSING:
            monkeypatch.delattr(login, name, raising=False)
        else:
            monkeypatch.setattr(login, name, value)
    # One call ends as the scenario says, the module's frames in its traceback holding no locals;
    # their code objects, which the module keeps for later failures, are watched too.
    codes, logins = [], world.logins
    if isinstance(world.expect, tuple):
        with pytest.raises(world.expect[0]) as info:
            world.call()
        line = world.expect[1]
        assert module_entries(info.value) == ([(SOURCE_PATH, line, INIT_DAZ)] if line else [])
        frames = [f for f, _ in traceback.walk_tb(info.tb) if f.f_code.co_filename == SOURCE_PATH]
        assert all(frame.f_locals == {} for frame in frames)
        codes = [frame.f_code for frame in frames]
        del info, frames
    else:
        assert world.call() is None
        assert (world.seen, world.logins - logins) == (world.expect, 1 if world.expect else 0)
    watched = [*values, *codes, vars(login)]
    repeat(world, WARMUP)
    refs, logins, blocks = [sys.getrefcount(v) for v in watched], world.logins, sys.getallocatedblocks()
    total = total_refs()
    repeat(world, ITERATIONS)
    total = total_refs() - total
    blocks = sys.getallocatedblocks() - blocks
    after = [sys.getrefcount(v) for v in watched]
    monkeypatch.undo()
    assert world.logins - logins == (ITERATIONS if isinstance(world.expect, str) else 0)
    assert {repr(v)[:60]: a - r for v, r, a in zip(watched, refs, after) if a != r} == {}
    assert blocks <= BLOCK_SLACK, f"{blocks} blocks more after {ITERATIONS} calls"
    assert abs(total) <= REF_SLACK, f"{total:+} references in all after {ITERATIONS} calls"
    # Once dropped, nothing of the scenario is left.
    weak = []
    for value in values:
        with contextlib.suppress(TypeError):  # no weak references: reference counts checked
            weak.append((repr(value), weakref.ref(value)))
    del world, values, watched, codes, value
    settle()
    assert [label for label, ref in weak if ref() is not None] == []
