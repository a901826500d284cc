"""The troubleshooting guide keeps up with the sources: every line that the module can put in a traceback
entry, at import and in a call of init_daz, has a row in docs/troubleshooting.md, and no row names a line
that the module cannot give. The lines are read from the C++ sources, not from a copy of the table. The
check command's advice comes from the same rows: its tables (ferrovane_cairn_login/_rows.py) and the guide's
are the same text, row for row. And the commands of docs/reference.md that use the examples work as written
and print what it says."""

import os
import re
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

from ferrovane_cairn_login import _rows

ROOT = Path(__file__).resolve().parent.parent
SOURCES, GUIDE = ROOT / "src" / "login", ROOT / "docs" / "troubleshooting.md"
REFERENCE = ROOT / "docs" / "reference.md"
pytestmark = pytest.mark.skipif(not (SOURCES / "module.cpp").is_file() or not GUIDE.is_file(),
                                reason="needs the checkout's sources and docs")


def sources():
    """{file name: its text without // comments} of the module's C++ sources."""
    return {path.name: re.sub(r"//[^\n]*", "", path.read_text(encoding="utf-8"))
            for path in sorted(SOURCES.glob("*.[ch]*"))}


def call_lines(files):
    """Lines of init_daz's entries: the argument of each fail()/fail_status(), a literal or `row.line + k`
    over a table `for (const T& row : TABLE)` whose entries end in their line."""
    lines = set()
    for name, text in files.items():
        for arg in re.findall(r"\bfail(?:_status)?\(([^()]*)\)", text):
            if arg.isdigit():
                lines.add(int(arg))
            elif arg != "int line":  # the helpers' own definitions
                use = re.fullmatch(r"(\w+)\.line(?: \+ (\d+))?", arg)
                assert use, f"{name}: fail({arg}): a line that this test cannot read"
                row, k = use.groups()
                table = re.search(rf"for \(const \w+& {row} : (\w+)\)", text)[1]
                entries = re.search(rf"\b{table}\[\] = \{{(.*?)\}};", text, re.S)[1]
                lines |= {int(n) + int(k or 0) for n in re.findall(r"(\d+)\}", entries)}
    return lines


def body(text, function):
    """The body of the C++ function `function` (defined at the start of a line, closed by a `}` there)."""
    return re.search(rf"\n\w+ {function}\([^)]*\) noexcept \{{\n(.*?)\n\}}", text, re.S)[1]


def import_lines(files):
    """Lines of the import's entries: what module_exec (module.cpp) sets `line` to, a kLine constant (of any
    source) or the result of run_statements (its returns, the loop over the plain imports counting up from
    `int line = N`)."""
    const = {name: int(n) for text in files.values()
             for name, n in re.findall(r"constexpr int (kLine\w+) = (\d+);", text)}
    text = files["module.cpp"]
    statements, lines = body(text, "run_statements"), set()
    for value in [*re.findall(r"\bline = (\w+);", body(text, "module_exec")),
                  *re.findall(r"return (\w+);", statements)]:
        if value == "line":
            start = int(re.search(r"int line = (\d+);", statements)[1])
            lines |= set(range(start, start + re.search(r"\[\] = \{(.*?)\};", statements)[1].count("N::")))
        elif value != "0":
            lines.add(const[value] if value in const else int(value))
    return lines


def guide_rows(heading):
    """{line: row} of the table under the guide's `## heading`."""
    section = re.search(rf"^## {re.escape(heading)}\n(.*?)(?=^## |\Z)", GUIDE.read_text(encoding="utf-8"),
                        re.S | re.M)[1]
    return {int(n): row for n, row in re.findall(r"^\| (\d+) \|(.*)\|$", section, re.M)}


def test_traceback_calls_are_the_ones_read_here():
    # Entries come only through fail()/fail_status() (init_daz) and module_exec (the import); an entry
    # added any other way needs this test to learn to read it.
    calls = {(name, call) for name, text in sources().items()
             for call in re.findall(r"\badd_traceback\(Func::\w+, \w+\)", text)}
    assert calls == {("ops.h", "add_traceback(Func::init_daz, line)"),
                     ("module.cpp", "add_traceback(Func::import_time, line)")}


@pytest.mark.parametrize("heading, lines", [
    ("While importing", import_lines),
    ("While calling `init_daz()`", call_lines)])
def test_every_line_has_a_row(heading, lines):
    expected, rows = lines(sources()), guide_rows(heading)
    assert expected, "no lines found in the sources"
    missing, stale = sorted(expected - set(rows)), sorted(set(rows) - expected)
    assert not missing and not stale, f"lines without a row: {missing}; rows of other lines: {stale}"
    assert all(len([cell for cell in row.split("|") if cell.strip()]) >= 3 for row in rows.values())


def example_commands():
    """(command, what it prints) of each item of docs/reference.md that says what its sh block prints."""
    text = REFERENCE.read_text(encoding="utf-8")
    return re.findall(r"prints `([^`]+)`\.(?:(?!```).)*?```sh\n(.*?)```", text, re.S)


def test_every_example_is_used_by_a_documented_command():
    commands = "".join(command for _, command in example_commands())
    unused = [p.name for p in (ROOT / "examples").iterdir() if f"examples/{p.name}" not in commands
              and p.name not in ("login_demo.py", "licence.json")]  # the README's main job uses these two
    assert len(example_commands()) >= 2 and not unused, unused


@pytest.mark.skipif(os.name == "nt", reason="the commands are POSIX shell")
@pytest.mark.parametrize("printed, command", [pytest.param(*example, id=example[0].split(" as ")[-1].replace(" ", "-"))
                                               for example in example_commands()])
def test_example_command_works_as_written(printed, command):
    # The command as written, with this environment in place of .venv (the release tests a wheel in
    # an environment of its own).
    scripts = sysconfig.get_path("scripts")
    if not shutil.which("wrenkit", path=scripts):
        pytest.skip("no stand-in wrenkit in this environment")
    command = command.replace("$PWD/.venv/bin", scripts).replace(".venv/bin/python", sys.executable)
    env = {k: v for k, v in os.environ.items() if not k.startswith(("FERROVANE_", "WRENKIT_"))}
    done = subprocess.run(["/bin/sh", "-c", command], capture_output=True, text=True, env=env, cwd=ROOT,
                          timeout=60)
    assert (done.returncode, done.stdout, done.stderr) == (0, printed + "\n", "")


@pytest.mark.parametrize("heading, table", [("While importing", _rows.IMPORT_ROWS),
                                            ("While calling `init_daz()`", _rows.CALL_ROWS)])
def test_the_check_commands_rows_are_the_guides(heading, table):
    guide = {n: f"| {n} |{row}|" for n, row in guide_rows(heading).items()}
    ours = {int(text.split(" | ")[0][2:]): text for text in table.splitlines()}
    differ = [n for n in sorted(guide.keys() | ours.keys()) if guide.get(n) != ours.get(n)]
    assert not differ, (
        f"under '## {heading}', the rows of lines {differ} differ between docs/troubleshooting.md and "
        f"src/ferrovane_cairn_login/_rows.py; the first, in the guide:\n{guide.get(differ[0])}\n"
        f"and in _rows.py:\n{ours.get(differ[0])}")
