"""The troubleshooting guide keeps up with the sources: every line that the module can put in a traceback
entry, at import and in a call of init_daz, has a row in docs/troubleshooting.md, and no row names a line
that the module cannot give. The lines are read from the C++ sources, not from a copy of the table."""

import re
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
SOURCES, GUIDE = ROOT / "src" / "login", ROOT / "docs" / "troubleshooting.md"
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


def import_lines(text):
    """Lines of the import's entries: what module_exec gives add_traceback, a kLine constant or the result
    of run_statements (its returns, the loop over the plain imports counting up from `int line = N`)."""
    const = {name: int(n) for name, n in re.findall(r"constexpr int (kLine\w+) = (\d+);", text)}
    body = re.search(r"\nint run_statements\(\) noexcept \{\n(.*?)\n\}", text, re.S)[1]
    lines = {const[name] for name in re.findall(r"\bline = (kLine\w+);", text)}
    for value in re.findall(r"return (\w+);", body):
        if value == "line":
            start, loop = int(re.search(r"int line = (\d+);", body)[1]), re.search(r"\[\] = \{(.*?)\};", body)
            lines |= set(range(start, start + loop[1].count("N::")))
        elif value != "0":
            lines.add(const.get(value) or int(value))
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
    ("While importing", lambda files: import_lines(files["module.cpp"])),
    ("While calling `init_daz()`", call_lines)])
def test_every_line_has_a_row(heading, lines):
    expected, rows = lines(sources()), guide_rows(heading)
    assert expected, "no lines found in the sources"
    assert sorted(rows) == sorted(expected), f"rows for {sorted(set(rows) - expected)} but not for " \
                                             f"{sorted(expected - set(rows))}"
    assert all(len([cell for cell in row.split("|") if cell.strip()]) >= 3 for row in rows.values())
