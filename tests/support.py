"""Helpers shared by the test modules."""

from __future__ import annotations

import atexit
import functools
import gc
import importlib.machinery
import importlib.util
import os
import shutil
import subprocess
import sys
import tempfile
import textwrap
import traceback
from pathlib import Path

import pytest

# A debug build of the interpreter (one that counts references) checks what a release build trusts.
DEBUG_BUILD = hasattr(sys, "gettotalrefcount")
# Where a debug build ends the process on purpose: a callee that broke the calling convention.
FATAL_ON_DEBUG = ("a debug build of the interpreter ends the process when a callee returns NULL without "
                  "an exception or a result with one set")

SOURCE_PATH = "ferrovane/cairn/utils/login.cpp"
INIT_DAZ = "ferrovane.cairn.utils.login.init_daz"
IMPORT_TIME = "init ferrovane.cairn.utils.login"


def freeze_heap(request: pytest.FixtureRequest) -> None:
    """Puts what exists now into the collector's permanent generation until the test ends: gc.get_objects()
    then lists only what the test makes, and each collection passes over the young objects alone instead
    of the whole heap of the test run (a second or more per collection under emulation or memcheck)."""
    request.addfinalizer(gc.unfreeze)
    gc.collect()
    gc.freeze()


def module_entries(exc: BaseException) -> list[tuple[str, int, str]]:
    """The traceback entries that the module added: (file, line, function)."""
    return [
        (frame.f_code.co_filename, lineno, frame.f_code.co_name)
        for frame, lineno in traceback.walk_tb(exc.__traceback__)
        if frame.f_code.co_filename == SOURCE_PATH
    ]


def run_python(code: str, *, env: dict[str, str] | None = None, cwd: str | os.PathLike | None = None,
               timeout: float = 60, options: tuple[str, ...] = ()) -> subprocess.CompletedProcess[str]:
    """Runs `code` in a fresh interpreter of the one running the tests, given the interpreter's
    `options` (such as -X settings)."""
    full_env = dict(os.environ)
    full_env.pop("FERROVANE_AGENT", None)
    if env:
        full_env.update(env)
    return subprocess.run([sys.executable, *options, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, env=full_env, cwd=cwd, timeout=timeout)


def cmake_build(source: Path, build: Path, *defines: str) -> Path | None:
    """Builds the extension project in `source` for the running interpreter; the built module's path,
    or None without cmake."""
    cmake = shutil.which("cmake")
    if cmake is None or not (source / "CMakeLists.txt").is_file():
        return None
    for command in ([cmake, "-S", source, "-B", build, f"-DPython_EXECUTABLE={sys.executable}",
                     "-DCMAKE_BUILD_TYPE=Release", *defines], [cmake, "--build", build, "--config", "Release"]):
        proc = subprocess.run(command, capture_output=True, text=True)
        assert proc.returncode == 0, proc.stdout + proc.stderr
    return next(build.rglob("*" + importlib.machinery.EXTENSION_SUFFIXES[0]))


MISBEHAVING_PATH = "FERROVANE_MISBEHAVING"  # names a built copy of it, for child interpreters


@functools.cache
def misbehaving():
    """The test-only extension whose callables break the calling convention (built once per run, or
    the copy that the environment names), or None where it cannot be built."""
    path = os.environ.get(MISBEHAVING_PATH)
    if not path:
        build = Path(tempfile.mkdtemp(prefix="misbehaving-"))
        atexit.register(shutil.rmtree, build, True)
        path = cmake_build(Path(__file__).parent / "misbehaving", build)
    if path is None:
        return None
    spec = importlib.util.spec_from_file_location("misbehaving", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def misbehaving_callee(kind, source="extension"):
    """A callee that returns NULL without an exception ("null_without_error") or a result with one set
    ("result_with_error"): from the test-only extension (any arguments), or from _testcapi (none)."""
    if source == "_testcapi":
        return getattr(pytest.importorskip("_testcapi"), "return_" + kind)
    module = misbehaving()
    if module is None:
        pytest.skip("needs cmake to build the test-only extension")
    return getattr(module, kind)
