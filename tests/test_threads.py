"""init_daz on many threads at once, and module globals rebound while calls run. With fakes that
answer per thread, each call must end as its own thread's inputs say however the threads interleave;
a short switch interval hands the interpreter lock around often."""

import gc
import json
import sys
import threading
import time
import types

import pytest

from support import INIT_DAZ, SOURCE_PATH, module_entries

THREADS, CALLS, TIMEOUT = 16, 40, 60.0
MISSING = object()


def run_all(targets):
    """Runs one thread per target, all started together; fails on an error or a hang."""
    start, errors, interval = threading.Barrier(len(targets)), [], sys.getswitchinterval()

    def main(target):
        try:
            start.wait(timeout=TIMEOUT)
            target()
        except BaseException as exc:  # noqa: BLE001 - reported below
            errors.append(exc)

    threads = [threading.Thread(target=main, args=(t,), daemon=True) for t in targets]
    sys.setswitchinterval(1e-5)
    try:
        for thread in threads:
            thread.start()
        deadline = time.monotonic() + TIMEOUT
        for thread in threads:
            thread.join(max(0.0, deadline - time.monotonic()))
    finally:
        sys.setswitchinterval(interval)
    assert not any(t.is_alive() for t in threads), "threads hang"
    assert errors == []


def fake(as_module, name, **attrs):
    # Plain modules take the path where the module remembers attribute reads; namespaces do not.
    made = types.ModuleType(name) if as_module else types.SimpleNamespace()
    vars(made).update(attrs)
    return made


# Per kind of thread: what the default and the app-key lookups give, and the login of each call.
KINDS = {
    "agent": ((None, None), (None, None), "init('{t}-agent', appkey='{t}-agent-key')"),
    "default": (("{t}-user", "{t}-pw"), (None, None), "init('{t}-user', '{t}-pw')"),
    "appkey": (("{t}-user", ""), ("{t}-user", "{t}-key"), "init('{t}-user', appkey='{t}-key')"),
}


@pytest.mark.parametrize("as_module", [False, True], ids=["namespaces", "modules"])
def test_each_call_ends_as_its_own_inputs_say(as_module, login, monkeypatch):
    me, ends = {}, {}  # thread ident -> (label, kind); label -> how its calls ended

    def mine(values):
        label = me[threading.get_ident()][0]
        return tuple(v.format(t=label) if isinstance(v, str) else v for v in values)

    def run(*args, **kwargs):
        time.sleep(0.0005)  # the tool runs; other threads go on meanwhile
        user, key = mine(("{t}-agent", "{t}-agent-key"))
        return types.SimpleNamespace(stdout=json.dumps({"Code": 0, "Result": [
            {"Key": "KORVEX_ACCOUNT", "Value": user}, {"Key": "KORVEX_CUSTOM_APP_KEY", "Value": key}]}))

    def init(*args, **kwargs):
        shown = [*map(repr, args), *(f"{k}={v!r}" for k, v in kwargs.items())]
        ends[me[threading.get_ident()][0]].append(f"init({', '.join(shown)})")

    def worker(index):
        def work():
            label, kind = f"t{index}", list(KINDS)[index % len(KINDS)]
            me[threading.get_ident()], ends[label] = (label, kind), []
            for _ in range(CALLS):
                assert login.init_daz() is None
            assert ends[label] == [KINDS[kind][2].format(t=label)] * CALLS
        return work

    def getenv(name):
        return "app_key_daz" if me[threading.get_ident()][1] == "agent" else None

    for name, value in [("os", fake(as_module, "os", getenv=getenv)),
                        ("subprocess", fake(as_module, "subprocess", run=run)),
                        ("daz", fake(as_module, "daz", init=init)),
                        ("get_license_info", lambda *args: mine(
                            KINDS[me[threading.get_ident()][1]][bool(args)]))]:
        monkeypatch.setattr(login, name, value)
    run_all([worker(i) for i in range(THREADS)])
    assert len(ends) == THREADS


def test_rebinding_globals_while_calls_run(login, monkeypatch):
    """A thread rebinds globals, attributes of the fake modules bound there and their classes
    while calls run on others: no crash, and each login uses one whole pair."""
    pairs, logins = [("a-user", "a-secret"), ("b-user", "b-secret")], []
    init, other_init = (lambda *args: logins.append(args)), (lambda *args: logins.append(args))
    first, second = fake(True, "daz", init=init), fake(True, "daz", init=init)
    os_module = fake(True, "os", getenv=lambda name: None)

    class SubModule(types.ModuleType):
        pass

    # (object, attribute, value), MISSING to remove it: calls meanwhile raise NameError or
    # AttributeError at line 43.
    steps = [(login, "get_license_info", lambda *args: pairs[0]), (login, "daz", second),
             (login, "get_license_info", lambda *args: pairs[1]), (login, "daz", first),
             (first, "init", other_init), (login, "os", fake(False, "os", getenv=lambda n: None)),
             (first, "__class__", SubModule), (first, "init", init), (login, "daz", MISSING),
             (login, "daz", fake(False, "daz", init=init)), (login, "os", os_module),
             (first, "init", MISSING), (login, "daz", first), (first, "init", init),
             (first, "__class__", types.ModuleType)]
    stop, rounds, oks = threading.Event(), [0], []

    def rebind():
        while not stop.is_set():
            for obj, name, value in steps:
                if value is MISSING:
                    vars(obj).pop(name, None)
                else:
                    setattr(obj, name, value)
                time.sleep(0)
            rounds[0] += 1

    def worker():
        # CALLS calls at least, and on until the rebinder has gone round twice (with a cap).
        calls = 0
        while calls < CALLS or (rounds[0] < 2 and calls < CALLS * 100):
            calls += 1
            try:
                login.init_daz()
                oks.append(1)
            except (NameError, AttributeError) as exc:
                assert module_entries(exc) == [(SOURCE_PATH, 43, INIT_DAZ)]

    for name, value in [("os", os_module), ("daz", first), ("get_license_info", steps[0][2])]:
        monkeypatch.setattr(login, name, value)
    rebinding = threading.Thread(target=rebind, daemon=True)
    rebinding.start()
    try:
        run_all([worker] * (THREADS // 2))
    finally:
        stop.set()
        rebinding.join(TIMEOUT)
    assert not rebinding.is_alive() and rounds[0] >= 1
    assert len(oks) == len(logins) > 0 and set(logins) <= set(pairs)


def test_rebinding_during_a_lookup_is_seen_by_the_next_call(login, monkeypatch):
    """login.daz is rebound while a call reads daz.init: the next call must use the new daz,
    not an attribute of the old one that the module remembered meanwhile."""
    calls = []
    second = types.SimpleNamespace(init=lambda *args: calls.append("second"))

    class Collider:
        """Hashes like "init", so a look-up of "init" in the dictionary holding it compares with
        it; the comparison numbered `armed_at` rebinds login.daz."""
        compared, armed_at = 0, 0

        def __hash__(self):
            return hash("init")

        def __eq__(self, other):
            Collider.compared += 1
            if Collider.compared == Collider.armed_at:
                login.daz = second
            return False

    first = fake(True, "daz")
    vars(first)[Collider()] = None  # before "init", so that look-ups of "init" meet it first
    first.init = lambda *args: calls.append("first")
    monkeypatch.setattr(login, "daz", first)
    monkeypatch.setattr(login, "get_license_info", lambda *args: ("user", "pw"))
    monkeypatch.setattr(login, "os", types.SimpleNamespace(getenv=lambda name: None))
    # A look-up of "init" compares with the collider once or more, as the hash places both keys.
    # The call's read of daz.init makes just those comparisons, as the interpreter's would; the
    # rebinding comes at the last of them. No collection meanwhile: freeing a dictionary that the
    # module watches makes it forget all it remembered, hiding the fault.
    gc.collect()
    gc.disable()
    try:
        Collider.compared = 0
        assert vars(first)["init"] is not None
        Collider.armed_at, Collider.compared = Collider.compared, 0
        login.init_daz()
        assert Collider.compared == Collider.armed_at and login.daz is second
        assert calls == ["first"]
        calls.clear()
        login.init_daz()
        assert calls == ["second"]
    finally:
        gc.enable()
