"""What a whole process that uses the module costs, against the same process with bench/baseline.py
(from cached bytecode) in its place: start, the dependencies, the import, three logins against the
stand-ins with the sample licence, exit. Counted in instructions by callgrind, which gives the same
figure on a busy machine; the target is at most 1.005 times the baseline's.
    .venv/bin/python bench/process.py        # needs valgrind; about half a minute
"""

import os
import py_compile
import re
import subprocess
import sys
import tempfile

BENCH = os.path.dirname(os.path.abspath(__file__))
LICENCE = os.path.join(BENCH, os.pardir, "examples", "licence.json")
IMPORTS = {"module": "from ferrovane.cairn.utils import login as impl", "baseline": "import baseline as impl"}
SCRIPT = """import sys; sys.path.insert(0, {bench!r})
import os, subprocess, json
from ferrovane import daz
from ferrovane.cairn.sdk.license_helper import get_license_info
{statement}
for _ in range(3):
    impl.init_daz()
assert daz.last_login.secret_kind == "password"
"""


def instructions(statement: str) -> int:
    env = {**os.environ, "FERROVANE_LICENSE": LICENCE, "PYTHONHASHSEED": "0"}  # the same dict layouts each run
    env.pop("FERROVANE_AGENT", None)
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "callgrind.out")
        subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", sys.executable, "-c",
                        SCRIPT.format(bench=BENCH, statement=statement)], env=env, check=True, capture_output=True)
        with open(out) as f:
            return int(re.search(r"^(?:summary|totals): (\d+)", f.read(), re.MULTILINE)[1])


if __name__ == "__main__":
    py_compile.compile(os.path.join(BENCH, "baseline.py"))
    counts = {name: instructions(statement) for name, statement in IMPORTS.items()}
    ratio = counts["module"] / counts["baseline"]
    print(f"whole process, instructions: module {counts['module']:,}, baseline {counts['baseline']:,}, "
          f"ratio {ratio:.4f} (target <= 1.005: {'PASS' if ratio <= 1.005 else 'FAIL'})")
