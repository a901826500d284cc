"""Helpers shared by the test modules."""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap
import traceback

SOURCE_PATH = "ferrovane/cairn/utils/login.cpp"
INIT_DAZ = "ferrovane.cairn.utils.login.init_daz"
IMPORT_TIME = "init ferrovane.cairn.utils.login"


def module_entries(exc: BaseException) -> list[tuple[str, int, str]]:
    """The traceback entries that the module added: (file, line, function)."""
    return [
        (frame.f_code.co_filename, lineno, frame.f_code.co_name)
        for frame, lineno in traceback.walk_tb(exc.__traceback__)
        if frame.f_code.co_filename == SOURCE_PATH
    ]


def run_python(code: str, *, env: dict[str, str] | None = None, cwd: str | os.PathLike | None = None,
               timeout: float = 60) -> subprocess.CompletedProcess[str]:
    """Runs `code` in a fresh interpreter of the one running the tests."""
    full_env = dict(os.environ)
    full_env.pop("FERROVANE_AGENT", None)
    if env:
        full_env.update(env)
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, env=full_env, cwd=cwd, timeout=timeout)
