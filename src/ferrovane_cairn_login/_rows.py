"""The troubleshooting guide's tables of traceback lines, as the guide prints them: one row per line that
the module can put in a traceback entry (| line | statement | what typically fails there | what to check |).
docs/troubleshooting.md holds the same rows, character for character (tests/test_docs.py compares them),
so that the check command's advice and the guide never differ."""

from __future__ import annotations

import re
from typing import NamedTuple

# Entries of the import ("init ferrovane.cairn.utils.login").
IMPORT_ROWS = """\
| 1 | `from ferrovane import daz`; also registering the module in `sys.modules` and binding `__test__` | `ImportError: cannot import name daz`: no package `ferrovane` with `daz` in this environment (the module was installed without the SDK, or into another environment); or any exception raised while the SDK's package imports | `python -c "from ferrovane import daz; print(daz)"` with the same interpreter; `python -m pip list` shows the SDK (or `ferrovane-standins`) |
| 2 | `from ferrovane.cairn.sdk.license_helper import get_license_info` | `ModuleNotFoundError: No module named 'ferrovane.cairn.sdk'` (the SDK is missing or incomplete), `ImportError: cannot import name get_license_info`, or an exception raised while the licence helper imports | `python -c "from ferrovane.cairn.sdk.license_helper import get_license_info"` |
| 3 | `import os` | Nothing in a working interpreter. Code that has put `None` in `sys.modules["os"]` makes the SDK's own imports fail first, with `ModuleNotFoundError: import of os halted; None in sys.modules` and no entry of the module at all (where the package `ferrovane` is not imported yet: the stand-ins import `os` through `typing`) or an entry at line 2 (the licence helper's imports); the error shows at this line only when the SDK's modules were all imported before `os` was removed | the interpreter's installation; code that changes `sys.modules` |
| 4 | `import sys` | as line 3, for `sys`: with `None` in `sys.modules["sys"]`, the SDK's imports fail first, without an entry of the module or at line 2; this line shows it only when the SDK was imported before | as line 3 |
| 5 | `import subprocess` | a file or package named `subprocess` in the script's folder (or the current folder, with `python -c` or `-m`) that fails to import: it is found before the standard module | `python -c "import subprocess; print(subprocess.__file__)"` from the same folder |
| 6 | `import json` | Nothing once line 2 has passed. A `json.py` or `json/` of your own in the script's folder (or the current folder, with `python -c` or `-m`) that fails to import fails at line 2 first, since the licence helper imports `json` (the stand-in does): its error under an entry at line 2. It shows at this line only with a licence helper that does not import `json` | `python -c "import json; print(json.__file__)"` from the same folder |
| 9 | `def init_daz():` (making the function object) | `MemoryError`; otherwise a fault of the module | report it, with the traceback and `python -VV` |
"""

# Entries of a call of init_daz ("ferrovane.cairn.utils.login.init_daz").
CALL_ROWS = """\
| 10 | `agent = os.getenv("FERROVANE_AGENT")` (the first call also makes the strings that calls use) | nothing in a normal setup; `MemoryError`; `NameError`/`AttributeError` when `os` was deleted or replaced | code that changes `login.os` |
| 11 | `if agent == "app_key_daz":` | nothing with the standard `os.getenv`, whose result is a string or `None` | code that replaces `os.getenv` |
| 12 | `if sys.platform.startswith("win"):` | nothing with the standard `sys` | code that replaces `login.sys` |
| 14 | Windows: `res = subprocess.run(["powershell.exe", ...], env=..., capture_output=True, text=True, encoding="utf-8")` | `FileNotFoundError` when `powershell.exe` cannot be started; `UnicodeDecodeError` when the output or the error output is not UTF-8; `KeyboardInterrupt` when the wait for a hung tool is interrupted | [the agent tool](#the-agent-tool), run by hand |
| 15 | Windows: the argument list `["powershell.exe", "-NoProfile", "-ExecutionPolicy", "Bypass", "-Command", "& wrenkit.exe"]` | `MemoryError` only | the process's memory |
| 16 | Windows: `env=os.environ.copy()` | `MemoryError`; `NameError`/`AttributeError` when `os` was deleted or replaced | code that changes `login.os` |
| 22 | other platforms: `res = subprocess.run("wrenkit", shell=True, capture_output=True, text=True, encoding="utf-8")` | `UnicodeDecodeError` when the tool's output or error output is not UTF-8; `OSError` when the shell cannot be started (no `/bin/sh`, no processes or memory left); `KeyboardInterrupt` when the wait for a hung tool is interrupted. A missing tool does **not** fail here: the shell starts, says so on standard error (dropped) and exits with 127 | [the agent tool](#the-agent-tool), run by hand |
| 29 | `result = json.loads(res.stdout)` | `json.decoder.JSONDecodeError`. `Expecting value: line 1 column 1 (char 0)`: empty output (the tool was not found, could not run, crashed, or wrote only to standard error) or output that does not start with JSON (a warning line before it). `Extra data`: text after the JSON. `Unterminated string` and the like: output cut short | [run the tool by hand](#the-agent-tool): its exit status, standard error, and whether standard output is JSON alone |
| 30 | `if result.get("Code", 1) == 0:` | `AttributeError: 'list' object has no attribute 'get'` (`'str'`, `'int'`, `'NoneType'`): the output is JSON but not an object | the tool must print a JSON object |
| 31 | `list_values = result.get("Result", None)` | nothing with the standard `json` | code that replaces `login.json` |
| 32 | `if list_values:` | nothing with the standard `json` | as line 31 |
| 33 | `for dic in list_values:` | `TypeError: 'int' object is not iterable` (`'bool'`, `'float'`): `"Result"` is a number or `true` | `"Result"` must be an array |
| 34 | `if "Key" in dic and dic["Key"] == "KORVEX_ACCOUNT":` | `TypeError: argument of type 'int' is not iterable` (`'NoneType'`, `'bool'`, `'float'`; the wording varies a little between Python versions): an element of `"Result"` is not an object; `TypeError: string indices must be integers, not 'str'` (or `list indices ...`): an element is a string or array holding `"Key"`, or `"Result"` is an object | every element must be an object with `"Key"` and `"Value"` |
| 35 | `user_id = dic.get("Value", None)` | nothing with the standard `json` (an element that passes line 34 is an object) | as line 31 |
| 36 | `elif "Key" in dic and dic["Key"] == "KORVEX_CUSTOM_APP_KEY":` | as line 34; with the standard `json`, such an element fails at line 34 first | as line 34 |
| 37 | `app_key = dic.get("Value", None)` | as line 35 | as line 31 |
| 38 | `if user_id and app_key:` | nothing with JSON values (only a value whose truth test raises) | as line 31 |
| 39 | `daz.init(user_id, appkey=app_key)` | whatever `daz.init` raises for the agent's pair (the service refusing it, a value of the wrong type: the values come as the tool printed them) | the agent's `KORVEX_ACCOUNT` and `KORVEX_CUSTOM_APP_KEY` settings; the SDK's documentation of `daz.init` |
| 41 | `user, pw = get_license_info()` | the licence helper's own errors (the stand-in raises `LicenseError` naming `FERROVANE_LICENSE` and the file: unreadable, not JSON, not an object, a member not a string); `ValueError: too many values to unpack (expected 2)` or `need more than 1 value to unpack`: it returned other than two values; `TypeError: 'NoneType' object is not iterable`: it returned `None` | the licence the helper reads (with the stand-ins: the file named by `FERROVANE_LICENSE`); what `get_license_info()` returns when called by hand |
| 42 | `if user and pw:` | nothing with strings and `None` (only a value whose truth test raises) | what `get_license_info()` returns |
| 43 | `daz.init(user, pw)` | whatever `daz.init` raises for the licence's user and password | the licence; the SDK's documentation of `daz.init` |
| 45 | `user, app_key = get_license_info("FERROVANE_APPKEY_LICENSE")` | as line 41, for the app-key lookup (the stand-in: the file named by `FERROVANE_APPKEY_LICENSE`) | as line 41, with `get_license_info("FERROVANE_APPKEY_LICENSE")` |
| 46 | `if user and app_key:` | as line 42 | as line 42 |
| 47 | `daz.init(user, appkey=app_key)` | whatever `daz.init` raises for the app-key pair | the app-key licence; the SDK's documentation of `daz.init` |
"""


class Row(NamedTuple):
    line: int
    statement: str
    fails: str
    check: str


def rows(table: str) -> dict[int, Row]:
    """{line: row} of one of the tables above."""
    made = {}
    for text in table.splitlines():
        line, statement, fails, check = text[2:-2].split(" | ")
        made[int(line)] = Row(int(line), statement, fails, check)
    return made


def init_lines() -> frozenset[int]:
    """The lines of a call that hand a pair to daz.init."""
    return frozenset(line for line, row in rows(CALL_ROWS).items() if row.statement.startswith("`daz.init("))


def cell(table: dict[int, Row], line: int, name: str) -> str:
    """A row's cell (name: "statement", "fails" or "check") as text, with a reference to another row of
    the table ("as line 5", "as line 41, for ...") followed: the command's reader has no table."""
    text = getattr(table[line], name)
    ref = re.match(r"as line (\d+)", text)
    if ref and int(ref[1]) in table and int(ref[1]) < line:  # rows refer to earlier rows only
        inner = cell(table, int(ref[1]), name)
        text = inner if text == ref[0] else f"{ref[0]} ({inner}){text[ref.end():]}"
    return plain(text)


def plain(markdown: str) -> str:
    """A cell as a terminal shows it: links as their text, without code spans' backticks or bold marks."""
    return re.sub(r"\[([^]]*)\]\([^)]*\)", r"\1", markdown).replace("`", "").replace("**", "")
