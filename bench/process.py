"""A whole process (start, dependencies, import, three logins against the stand-ins with the sample
licence, exit) with the module against one with bench/baseline.py from cached bytecode, in instructions
by callgrind (steady on a busy machine, the hash seed fixed). Target: at most 1.005 times the baseline."""
import os
import py_compile
import re
import subprocess
import sys
import tempfile
from pathlib import Path

BENCH = os.path.dirname(os.path.abspath(__file__))
LICENCE = os.path.join(BENCH, os.pardir, "examples", "licence.json")
IMPORTS = ("from ferrovane.cairn.utils import login as impl", "import baseline as impl")
SCRIPT = """import sys; sys.path.insert(0, {bench!r})
import os, subprocess, json; from ferrovane import daz
from ferrovane.cairn.sdk.license_helper import get_license_info; {statement}
for _ in range(3): impl.init_daz()
assert daz.last_login.secret_kind == 'password'"""


def instructions(statement: str) -> int:
    env = {**os.environ, "FERROVANE_LICENSE": LICENCE, "FERROVANE_AGENT": "", "PYTHONHASHSEED": "0"}
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "callgrind.out")
        subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", sys.executable, "-c",
                        SCRIPT.format(bench=BENCH, statement=statement)], env=env, check=True, capture_output=True)
        return int(re.search(r"^(?:summary|totals): (\d+)", Path(out).read_text(), re.MULTILINE)[1])


if __name__ == "__main__":
    py_compile.compile(os.path.join(BENCH, "baseline.py"))
    module, baseline = (instructions(statement) for statement in IMPORTS)
    print(f"whole process, instructions: module {module:,}, baseline {baseline:,}, ratio {module / baseline:.4f} "
          f"(target <= 1.005: {'PASS' if module <= 1.005 * baseline else 'FAIL'})")
