"""Shared fixtures: the module under test and fakes installed by rebinding its globals."""

from __future__ import annotations

import types
from dataclasses import dataclass, field
from typing import Any

import pytest
from hypothesis import settings

from support import DEBUG_BUILD

from ferrovane.cairn.utils import login as login_module

# The number of examples of the property tests: 700 on a release build of the interpreter (CI runs
# the suite on one of each version). Fewer where Python code runs slower and each example is there
# for what the run's checks see on its path rather than for the search: 50 on a debug build (some 3
# times slower; loaded by default there), 50 under memcheck (some 50 times; .ci/valgrind.sh passes
# --hypothesis-profile=memcheck), 20 under emulation (some 200 times; .ci/aarch64.sh passes
# --hypothesis-profile=emulated).
settings.register_profile("thorough", max_examples=700)
settings.register_profile("debug", max_examples=50)
settings.register_profile("memcheck", max_examples=50)
settings.register_profile("emulated", max_examples=20)
settings.load_profile("debug" if DEBUG_BUILD else "thorough")


def pytest_addoption(parser):
    parser.addoption("--wheel", metavar="PATH",
                     help="the module's wheel, for the packaging checks (tests/test_packaging.py)")


@pytest.fixture
def login():
    """The module, imported once per process."""
    return login_module


class DazRecorder(types.ModuleType):
    """Stands in for `daz`: records each `init` call as (args, kwargs)."""

    def __init__(self) -> None:
        super().__init__("daz")
        self.calls: list[tuple[tuple[Any, ...], dict[str, Any]]] = []

    def init(self, *args: Any, **kwargs: Any) -> None:
        self.calls.append((args, kwargs))


@pytest.fixture
def daz(monkeypatch) -> DazRecorder:
    recorder = DazRecorder()
    monkeypatch.setattr(login_module, "daz", recorder)
    return recorder


@dataclass
class FakeLicences:
    """Stands in for `get_license_info`: the default lookup and the app-key lookup."""

    default: Any = (None, None)
    appkey: Any = (None, None)
    calls: list[tuple[Any, ...]] = field(default_factory=list)

    def __call__(self, *args: Any) -> Any:
        self.calls.append(args)
        if args == ():
            return self.default
        if args == ("FERROVANE_APPKEY_LICENSE",):
            return self.appkey
        raise AssertionError(f"unexpected lookup {args!r}")


@pytest.fixture
def licences(monkeypatch) -> FakeLicences:
    fake = FakeLicences()
    monkeypatch.setattr(login_module, "get_license_info", fake)
    return fake


@pytest.fixture
def no_agent(monkeypatch) -> None:
    monkeypatch.delenv("FERROVANE_AGENT", raising=False)


@pytest.fixture
def c(login, daz, licences, monkeypatch, no_agent):
    """The module with fake daz and licences, the agent off, and the monkeypatch that installed them."""
    return types.SimpleNamespace(login=login, daz=daz, licences=licences, mp=monkeypatch)
