"""The module across runs of the interpreter: an application that embeds Python and starts it again
imports and logs in every time, calls of init_daz late in finalization end in a Python exception or
work, and what the module leaves behind at exit."""

import os
import re
import shlex
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

from support import DEBUG_BUILD, INIT_DAZ, SOURCE_PATH, run_python

EMBED = Path(__file__).parent / "embed"


@pytest.fixture(scope="module")
def embedder(tmp_path_factory) -> Path:
    """embed.cpp, built with the running interpreter's embedding flags (its pythonX.Y-config)."""
    version, libdir, library = (sysconfig.get_config_var(name) for name in ("LDVERSION", "LIBDIR", "LDLIBRARY"))
    config = Path(sysconfig.get_config_var("BINDIR") or "") / f"python{version}-config"
    if not (config.is_file() and libdir and library and (Path(libdir) / library).exists()):
        pytest.skip(f"the interpreter has no embedding library ({config}, {library} in {libdir})")
    compiler = shutil.which("c++") or shutil.which("g++")
    if compiler is None:
        pytest.skip("needs a C++ compiler")
    flags = []
    for args in (["--cflags"], ["--ldflags", "--embed"]):
        flags += shlex.split(subprocess.run([config, *args], capture_output=True, text=True, check=True).stdout)
    program = tmp_path_factory.mktemp("embed") / "embed"
    proc = subprocess.run([compiler, EMBED / "embed.cpp", "-o", program, *flags, f"-Wl,-rpath,{libdir}"],
                          capture_output=True, text=True)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    return program


def test_restarted_runtime(embedder):
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(p for p in sys.path if p)}
    env.pop("FERROVANE_AGENT", None)
    proc = subprocess.run([embedder, "5", EMBED / "rounds.py"], capture_output=True, text=True, env=env,
                          timeout=600)
    assert (proc.returncode, proc.stderr) == (0, "")
    logged_in = "[[['alice', 'pw-test'], {}]]"
    failed = ["too many values to unpack (expected 2)", SOURCE_PATH, 41, INIT_DAZ]
    main_round = [
        f"round #: {logged_in} {failed} 9", f"atexit: {logged_in}",
        # While modules are torn down, the module's globals are None; after the module has released
        # its state, a call finds it uninitialised.
        "late call 1: AttributeError: 'NoneType' object has no attribute 'getenv'",
        "late call 2: RuntimeError: ferrovane.cairn.utils.login is not initialised"]
    try:
        import _testcapi  # noqa: F401
        sub = "subinterpreter: [['alice', 'pw-test']]"
    except ImportError:
        sub = "subinterpreter: no _testcapi"
    # Round 4: a subinterpreter loads it first; once that has ended, others stay refused until the
    # runtime ends, and round 5 imports afresh.
    expected = [line.replace("#", str(n)) for n in (1, 2, 3) for line in main_round] + [
        sub, "round 4: Interpreter change detected - this module can only be loaded into one interpreter per "
        "process."] + [line.replace("#", "5") for line in main_round]
    assert proc.stdout.splitlines() == expected


REFS = re.compile(r"^\[(-?\d+) refs, (-?\d+) blocks\]$", re.MULTILINE)


@pytest.mark.skipif(not DEBUG_BUILD, reason="-X showrefcount counts references on a debug build only")
def test_left_at_exit():
    """After an import, a login and a failed call, the module leaves nothing at exit: neither its own
    objects nor what readying its function type made."""
    def left(importing: bool) -> tuple[int, int]:
        proc = run_python(f'''
            import sys, types
            import ferrovane.cairn.sdk.license_helper, ferrovane.daz
            if {importing}:
                from ferrovane.cairn.utils import login
                login.daz = types.SimpleNamespace(init=lambda *args, **kwargs: None)
                login.get_license_info = lambda *args: ("alice", "pw-test")
                login.init_daz()
                login.init_daz.__code__
                login.get_license_info = lambda *args: ()
                try:
                    login.init_daz()
                except ValueError:
                    pass
            ''', options=("-X", "showrefcount"))
        assert proc.returncode == 0, proc.stderr
        refs, blocks = REFS.findall(proc.stderr)[-1]
        return int(refs), int(blocks)
    base_refs, base_blocks = left(False)
    refs, blocks = left(True)
    assert (refs, blocks) == (base_refs, base_blocks)
