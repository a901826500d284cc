"""init_daz called from many threads at once, and module globals rebound while calls run.

Each call performs its own lookups and its own daz.init call on the calling thread, so with fakes
that answer per thread (keyed by threading.get_ident()), every call must log in with the pair its
own thread's inputs give, however the threads interleave. A short switch interval makes the
interpreter hand the lock between threads as often as it can, and the fake agent tool sleeps,
as a real child process would let other threads run while it is waited for.
"""

from __future__ import annotations

import contextlib
import gc
import json
import sys
import threading
import time
import types
from typing import Any, Callable, Iterator

import pytest

from support import INIT_DAZ, SOURCE_PATH, module_entries

from ferrovane.cairn.utils import login

THREADS = 16
CALLS = 40
JOIN_TIMEOUT = 60.0
MISSING = object()


@contextlib.contextmanager
def bound(**names: Any) -> Iterator[None]:
    saved = {name: login.__dict__.get(name, MISSING) for name in names}
    try:
        for name, value in names.items():
            setattr(login, name, value)
        yield
    finally:
        for name, value in saved.items():
            if value is MISSING:
                login.__dict__.pop(name, None)
            else:
                setattr(login, name, value)


@pytest.fixture(autouse=True)
def frequent_switches() -> Iterator[None]:
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    yield
    sys.setswitchinterval(interval)


def run_all(targets: list[Callable[[], None]]) -> list[BaseException]:
    """Starts one thread per target at once; returns what they raised. Fails on a hang."""
    start = threading.Barrier(len(targets))
    errors: list[BaseException] = []

    def main(target: Callable[[], None]) -> None:
        try:
            start.wait(timeout=JOIN_TIMEOUT)
            target()
        except BaseException as exc:  # noqa: BLE001 - reported to the test below
            errors.append(exc)

    threads = [threading.Thread(target=main, args=(t,), daemon=True) for t in targets]
    for thread in threads:
        thread.start()
    deadline = time.monotonic() + JOIN_TIMEOUT
    for thread in threads:
        thread.join(timeout=max(0.0, deadline - time.monotonic()))
    hung = [thread.name for thread in threads if thread.is_alive()]
    assert not hung, f"threads still running: {hung}"
    return errors


class PerThread:
    """The inputs and the logins of each thread, keyed by its ident."""

    KINDS = ("agent", "default", "appkey")

    def __init__(self) -> None:
        self.kind: dict[int, str] = {}
        self.label: dict[int, str] = {}
        self.logins: dict[int, list[tuple[tuple[Any, ...], dict[str, Any]]]] = {}
        self.lookups: dict[int, int] = {}
        self.runs: dict[int, int] = {}

    def register(self, index: int) -> None:
        me = threading.get_ident()
        self.kind[me] = self.KINDS[index % len(self.KINDS)]
        self.label[me] = f"thread{index}"
        self.logins[me] = []
        self.lookups[me] = 0
        self.runs[me] = 0

    # The fakes, each answering for the thread that calls it.

    def getenv(self, name: str) -> str | None:
        return "app_key_daz" if self.kind[threading.get_ident()] == "agent" else None

    def get_license_info(self, *args: Any) -> tuple[Any, Any]:
        me = threading.get_ident()
        self.lookups[me] += 1
        label, kind = self.label[me], self.kind[me]
        if args == ():
            return (f"{label}-user", f"{label}-password") if kind == "default" else (label, "")
        return (f"{label}-user", f"{label}-appkey") if kind == "appkey" else (None, None)

    def run(self, *args: Any, **kwargs: Any) -> types.SimpleNamespace:
        me = threading.get_ident()
        self.runs[me] += 1
        time.sleep(0.0005)  # the tool runs; other threads go on meanwhile
        label = self.label[me]
        response = {"Code": 0, "Result": [
            {"Key": "KORVEX_ACCOUNT", "Value": f"{label}-agent-user"},
            {"Key": "KORVEX_CUSTOM_APP_KEY", "Value": f"{label}-agent-key"}]}
        return types.SimpleNamespace(stdout=json.dumps(response), returncode=0)

    def init(self, *args: Any, **kwargs: Any) -> None:
        self.logins[threading.get_ident()].append((args, kwargs))

    def expected_login(self, me: int) -> tuple[tuple[Any, ...], dict[str, Any]]:
        label, kind = self.label[me], self.kind[me]
        if kind == "agent":
            return (f"{label}-agent-user",), {"appkey": f"{label}-agent-key"}
        if kind == "default":
            return (f"{label}-user", f"{label}-password"), {}
        return (f"{label}-user",), {"appkey": f"{label}-appkey"}


@pytest.mark.parametrize("fake_modules", [False, True], ids=["namespaces", "modules"])
def test_each_call_logs_in_with_its_own_inputs(fake_modules: bool) -> None:
    world = PerThread()

    def fake(name: str, **attrs: Any) -> Any:
        # Plain module objects take the module's remembered-lookup path; namespaces do not.
        if fake_modules:
            made = types.ModuleType(name)
            vars(made).update(attrs)
            return made
        return types.SimpleNamespace(**attrs)

    def worker(index: int) -> Callable[[], None]:
        def work() -> None:
            world.register(index)
            for _ in range(CALLS):
                assert login.init_daz() is None
        return work

    with bound(os=fake("os", getenv=world.getenv, environ={}),
               subprocess=fake("subprocess", run=world.run),
               daz=fake("daz", init=world.init),
               get_license_info=world.get_license_info):
        errors = run_all([worker(i) for i in range(THREADS)])
    assert errors == []
    assert len(world.logins) == THREADS
    for me, logins in world.logins.items():
        assert logins == [world.expected_login(me)] * CALLS, world.label[me]
        kind = world.kind[me]
        assert world.runs[me] == (CALLS if kind == "agent" else 0)
        assert world.lookups[me] == {"agent": 0, "default": 1, "appkey": 2}[kind] * CALLS


def test_failures_in_threads_carry_their_own_entries() -> None:
    """Failing calls on many threads: each exception has one entry, at its own thread's line."""
    lines = {0: 41, 1: 43, 2: 45, 3: 47}
    kind: dict[int, int] = {}

    def get_license_info(*args: Any) -> Any:
        k = kind[threading.get_ident()]
        if k == 0:
            return (1, 2, 3)  # too many values: line 41
        if args == ():
            return ("user", "pw") if k == 1 else ("user", None)
        return ["user"] if k == 2 else ("user", "key")  # line 45, or daz.init at 47

    def init(*args: Any, **kwargs: Any) -> None:
        time.sleep(0)  # let another thread fail in between
        raise LookupError("daz refused")

    seen: dict[int, list[tuple[type, list]]] = {}

    def worker(index: int) -> Callable[[], None]:
        def work() -> None:
            me = threading.get_ident()
            kind[me] = index % 4
            seen[me] = []
            for _ in range(CALLS):
                try:
                    login.init_daz()
                except (ValueError, LookupError) as exc:
                    seen[me].append((type(exc), module_entries(exc)))
        return work

    with bound(os=types.SimpleNamespace(getenv=lambda name: None),
               daz=types.SimpleNamespace(init=init), get_license_info=get_license_info):
        errors = run_all([worker(i) for i in range(THREADS)])
    assert errors == []
    for me, failures in seen.items():
        line = lines[kind[me]]
        exc_type = LookupError if line in (43, 47) else ValueError
        assert failures == [(exc_type, [(SOURCE_PATH, line, INIT_DAZ)])] * CALLS


class Rebinder:
    """Rebinds the module's globals, and the attributes of fake modules bound there, over and
    over while calls run on other threads."""

    def __init__(self) -> None:
        self.stop = threading.Event()
        self.rounds = 0
        self.pairs = {label: (f"{label}-user", f"{label}-secret") for label in "ab"}
        self.lookups = {label: self.lookup_for(label) for label in "ab"}
        self.logins: list[tuple[Any, ...]] = []
        self.daz_modules = [types.ModuleType("daz"), types.ModuleType("daz")]
        for module in self.daz_modules:
            module.init = self.init
        self.daz_namespace = types.SimpleNamespace(init=self.init)
        self.os_module = types.ModuleType("os")
        self.os_module.getenv = lambda name: None
        self.os_namespace = types.SimpleNamespace(getenv=lambda name: None)

    def lookup_for(self, label: str) -> Callable[..., Any]:
        pair = self.pairs[label]
        return lambda *args: pair

    def init(self, *args: Any, **kwargs: Any) -> None:
        self.logins.append(args)

    def other_init(self, *args: Any, **kwargs: Any) -> None:
        self.logins.append(args)

    def steps(self) -> list[Callable[[], None]]:
        class SubModule(types.ModuleType):
            pass

        first = self.daz_modules[0]

        def swap_class() -> None:
            first.__class__ = SubModule if type(first) is types.ModuleType else types.ModuleType

        return [
            lambda: setattr(login, "get_license_info", self.lookups["a"]),
            lambda: setattr(login, "daz", self.daz_modules[1]),
            lambda: setattr(login, "get_license_info", self.lookups["b"]),
            lambda: setattr(login, "daz", first),
            lambda: setattr(first, "init", self.other_init),
            lambda: setattr(login, "os", self.os_namespace),
            swap_class,
            lambda: setattr(first, "init", self.init),
            lambda: login.__dict__.pop("daz", None),  # calls meanwhile: NameError
            lambda: setattr(login, "daz", self.daz_namespace),
            lambda: setattr(login, "os", self.os_module),
            lambda: vars(first).pop("init", None),  # AttributeError while missing
            lambda: setattr(login, "daz", first),
            lambda: setattr(first, "init", self.init),
            swap_class,
        ]

    def __call__(self) -> None:
        steps = self.steps()
        try:
            while not self.stop.is_set():
                for step in steps:
                    step()
                    time.sleep(0)
                self.rounds += 1
        finally:
            self.stop.set()


def test_rebinding_globals_while_calls_run() -> None:
    rebinder = Rebinder()
    outcomes: list[str] = []
    min_rounds = 2

    def worker() -> None:
        # At least CALLS calls, and on until the rebinder has been round its steps a few times
        # (with a cap, should the scheduler starve it).
        calls = 0
        while calls < CALLS or (rebinder.rounds < min_rounds and calls < CALLS * 100
                                and not rebinder.stop.is_set()):
            calls += 1
            try:
                login.init_daz()
            except NameError as exc:  # login.daz removed for a moment
                assert str(exc) == "name 'daz' is not defined"
                assert module_entries(exc) == [(SOURCE_PATH, 43, INIT_DAZ)]
                outcomes.append("NameError")
            except AttributeError as exc:  # daz.init removed for a moment
                assert module_entries(exc) == [(SOURCE_PATH, 43, INIT_DAZ)]
                outcomes.append("AttributeError")
            else:
                outcomes.append("ok")

    with bound(os=rebinder.os_module, daz=rebinder.daz_modules[0],
               get_license_info=rebinder.lookups["a"]):
        rebinding = threading.Thread(target=rebinder, daemon=True)
        rebinding.start()
        try:
            errors = run_all([worker] * (THREADS // 2))
        finally:
            rebinder.stop.set()
            rebinding.join(JOIN_TIMEOUT)
    assert not rebinding.is_alive()
    assert errors == []
    assert rebinder.rounds >= 1
    assert outcomes.count("ok") == len(rebinder.logins) > 0
    # Each login used one lookup's result, both halves from the same pair.
    assert set(rebinder.logins) <= set(rebinder.pairs.values())


class Collider:
    """A dictionary key that hashes like "init": looking "init" up in the dictionary holding it
    compares with this key. At the chosen comparison it has another thread rebind login.daz and
    waits for that to be done, so the rebinding happens while a call is inside its lookup of
    daz.init."""

    def __init__(self, rebind: Callable[[], None]) -> None:
        self.rebind = rebind
        self.compared = 0
        self.armed_at = 0

    def __hash__(self) -> int:
        return hash("init")

    def __eq__(self, other: object) -> bool:
        self.compared += 1
        if self.compared == self.armed_at:
            other_thread = threading.Thread(target=self.rebind)
            other_thread.start()
            other_thread.join(JOIN_TIMEOUT)
        return False


def test_rebinding_during_a_lookup_is_seen_by_the_next_call() -> None:
    calls: list[str] = []
    first = types.ModuleType("daz")
    second = types.SimpleNamespace(init=lambda *args, **kwargs: calls.append("second"))
    collider = Collider(lambda: setattr(login, "daz", second))
    vars(first)[collider] = None
    first.init = lambda *args, **kwargs: calls.append("first")
    # No collection meanwhile: freeing an unrelated dictionary that the module watches would
    # make it forget what it remembered, and hide the fault.
    gc.collect()
    gc.disable()
    try:
        with bound(daz=first, get_license_info=lambda *args: ("user", "pw"),
                   os=types.SimpleNamespace(getenv=lambda name: None)):
            # A look-up of "init" compares with the collider once or more, depending on where
            # the hash places both keys. The call reads daz.init, checks that login.daz is still
            # `first`, and looks "init" up once more: the rebinding is made at that look-up.
            collider.compared = 0
            assert vars(first)["init"] is not None
            per_lookup = collider.compared
            collider.compared, collider.armed_at = 0, per_lookup + 1
            login.init_daz()
            assert collider.compared == 2 * per_lookup
            assert login.daz is second
            calls.clear()
            login.init_daz()
            assert calls == ["second"]
    finally:
        gc.enable()
