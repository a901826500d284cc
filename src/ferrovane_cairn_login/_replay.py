"""One call of the installed module's own init_daz(), with recording wrappers bound in place of three of
its globals (daz, get_license_info, subprocess) for that call, and a report of what the call did.

The wrappers pass every call through and return the real results unchanged; they never iterate, unpack
or truth-test what a lookup returns. Where the truth of a pair's half cannot be read without running code
of the caller's (a value of its own type), it is inferred from what the chain did next, or reported as
unknown (None)."""

from __future__ import annotations

import importlib
import importlib.metadata
import json
import os
import re
import shutil
import subprocess
import sys
import traceback
from dataclasses import dataclass, field
from typing import Any

from ._rows import CALL_ROWS, IMPORT_ROWS, cell, init_lines, rows

MODULE = "ferrovane.cairn.utils.login"
ENTRY_FILE = "ferrovane/cairn/utils/login.cpp"  # the file name of the module's traceback entries
CALL, IMPORT = MODULE + ".init_daz", "init " + MODULE
SELECTOR, SELECTS = "FERROVANE_AGENT", "app_key_daz"
APPKEY_LICENCE, APP_KEY = "FERROVANE_APPKEY_LICENSE", "KORVEX_CUSTOM_APP_KEY"
WRAPPED = ("daz", "get_license_info", "subprocess")
TAIL = 5  # lines of the tool's standard error shown
MASK = "***"
PLAIN = (type(None), bool, int, float, str, bytes)  # truth tests and text that run no code of the caller's
UNSET = object()


@dataclass
class Run:
    command: list[str]
    found: str | None
    result: Any = UNSET


@dataclass
class Lookup:
    args: tuple[Any, ...]
    result: Any = UNSET


@dataclass
class Init:
    args: tuple[Any, ...]
    kwargs: dict[str, Any]


@dataclass
class Recorder:
    live: bool  # whether the real daz.init is called
    events: list[Run | Lookup | Init] = field(default_factory=list)

    def wrap(self, name: str, real: Any) -> Any:
        if name == "get_license_info":
            return self.lookup(real)
        return Forward(real, "init", self.init) if name == "daz" else Forward(real, "run", self.run)

    def lookup(self, real: Any) -> Any:
        def get_license_info(*args: Any, **kwargs: Any) -> Any:
            self.events.append(event := Lookup(args))
            event.result = real(*args, **kwargs)
            return event.result
        return get_license_info

    def init(self, real: Any) -> Any:
        def init(*args: Any, **kwargs: Any) -> Any:
            self.events.append(Init(args, kwargs))
            return real(*args, **kwargs) if self.live else None
        return init

    def run(self, real: Any) -> Any:
        def run(*args: Any, **kwargs: Any) -> Any:
            self.events.append(event := described(args, kwargs))
            event.result = real(*args, **kwargs)
            return event.result
        return run


def described(args: tuple[Any, ...], kwargs: dict[str, Any]) -> Run:
    """The command line of a run and the tool that PATH finds for it; never an exception of its own in
    the call it records."""
    command = args[0] if args else kwargs.get("args")
    shell = kwargs.get("shell") is True
    try:
        return Run(["/bin/sh", "-c", command] if shell and type(command) is str
                   else [str(part) for part in command] if type(command) is list else [repr(command)],
                   shutil.which("wrenkit" if shell else "wrenkit.exe"))
    except Exception:
        return Run([], None)


class Forward:
    """Stands for `real`: every attribute is the real object's, read at each use, but `name`'s value is
    handed out wrapped by `wrap`."""
    __slots__ = ("_real", "_name", "_wrap")

    def __init__(self, real: Any, name: str, wrap: Any) -> None:
        object.__setattr__(self, "_real", real)
        object.__setattr__(self, "_name", name)
        object.__setattr__(self, "_wrap", wrap)

    def __getattr__(self, name: str) -> Any:
        value = getattr(self._real, name)
        return self._wrap(value) if name == self._name else value

    def __setattr__(self, name: str, value: Any) -> None:
        setattr(self._real, name, value)

    def __delattr__(self, name: str) -> None:
        delattr(self._real, name)


def replay(live: bool) -> tuple[dict[str, Any], Masker]:
    """Imports the module, calls its init_daz() once through the recorders, and reports what it did; with
    the masker of the secrets it met, for the output's last pass."""
    value = os.environ.get(SELECTOR)
    report: dict[str, Any] = {
        "outcome": None, "source": None, "user": None, "secret_kind": None, "agent": None, "lookups": [],
        "error": None, "dry_run": not live,
        "interpreter": {"executable": sys.executable, "version": sys.version.split()[0]},
        "module": None, SELECTOR: {"value": value, "selects_agent": value == SELECTS}}
    try:
        login = importlib.import_module(MODULE)
    except Exception as exc:
        report.update(outcome="error", error=describe(exc, IMPORT, rows(IMPORT_ROWS)))
        return report, Masker([])
    try:
        version = importlib.metadata.version("ferrovane-cairn-login")
    except importlib.metadata.PackageNotFoundError:
        version = None
    report["module"] = {"file": getattr(login, "__file__", None), "version": version}

    recorder, failure = Recorder(live), None
    g = vars(login)
    saved = {name: g[name] for name in WRAPPED if name in g}
    try:
        for name, real in saved.items():
            g[name] = recorder.wrap(name, real)
        login.init_daz()
    except (Exception, KeyboardInterrupt) as exc:  # Ctrl-C during the wait for a hung tool is reported too
        failure = exc
    finally:  # exactly the objects that were there, or none where there was none
        for name in WRAPPED:
            if name in saved:
                g[name] = saved[name]
            else:
                g.pop(name, None)
    mask = Masker(secrets(recorder.events))
    return mask_all(analyse(report, recorder.events, failure, mask), mask), mask


def analyse(report: dict[str, Any], events: list[Any], failure: BaseException | None,
            mask: Masker) -> dict[str, Any]:
    error = failure and describe(failure, CALL, rows(CALL_ROWS))
    line = error and error["line"]
    seen: list[Lookup] = []
    for i, event in enumerate(events):
        after = events[i + 1] if i + 1 < len(events) else None
        if isinstance(event, Run) and report["agent"] is None:  # the chain runs the tool once
            report["agent"] = agent(event, mask)
        elif isinstance(event, Lookup):
            seen.append(event)
            report["lookups"].append(lookup(event, after, went_on=after is not None or failure is None))
        elif isinstance(event, Init):
            secret = "app key" if "appkey" in event.kwargs else "password"
            source = ("licence" if seen[-1].args == () else "app-key licence") if seen else (
                "agent" if secret == "app key" else "licence")
            report.update(source=source, user=shown(event.args[0]) if event.args else None,
                          secret_kind=secret)
    if failure is not None:
        report.update(outcome="error", error=error)
        if line not in init_lines():  # only a failing daz.init leaves the source it was given
            report.update(source=None, user=None, secret_kind=None)
    else:
        report["outcome"] = "login" if any(isinstance(e, Init) for e in events) else "nothing"
    return report


def agent(run: Run, mask: Masker) -> dict[str, Any]:
    made: dict[str, Any] = {"command": run.command, "found": run.found, "exit_status": None, "stderr_tail": [],
                            "parsed": None}
    res = run.result
    if type(res) is not subprocess.CompletedProcess:  # the run failed, or gave what a fake makes
        return made
    made["exit_status"] = res.returncode if type(res.returncode) is int else None
    if type(res.stderr) is str:
        made["stderr_tail"] = mask(res.stderr).splitlines()[-TAIL:]  # a secret may span lines
    doc = parse(res.stdout)
    if doc is not UNSET:
        made["parsed"] = {"Code": shown(doc.get("Code")) if type(doc) is dict else None,
                          "settings": list(dict.fromkeys(key for key, _ in settings(doc)))}
    else:
        made["parsed"] = False
    return made


def parse(stdout: Any) -> Any:
    """The tool's output as the standard JSON decoder reads it, or UNSET where it does not parse."""
    if type(stdout) is not str:
        return UNSET
    try:
        return json.loads(stdout)
    except (ValueError, RecursionError):
        return UNSET


def settings(doc: Any) -> list[tuple[str, Any]]:
    """(name, value) of each setting of a response, in order; values are read, never shown."""
    result = doc.get("Result") if type(doc) is dict else None
    return [(e["Key"], e.get("Value")) for e in result if type(e) is dict and type(e.get("Key")) is str] \
        if type(result) is list else []


def pair(result: Any) -> tuple[Any, Any] | None:
    """The two halves of a lookup's result where they can be read without running code of the caller's."""
    if type(result) in (tuple, list) and len(result) == 2:
        return result[0], result[1]
    return None


def truth(value: Any) -> bool | None:
    return bool(value) if type(value) in PLAIN else None


def lookup(event: Lookup, after: Any, went_on: bool) -> dict[str, Any]:
    made: dict[str, Any] = {"source": "licence" if event.args == () else "app-key licence",
            "call": "get_license_info(" + ", ".join(map(shown_arg, event.args)) + ")",
            "user_true": None, "secret_true": None}
    halves = pair(event.result)
    if isinstance(after, Init):  # the pair was usable: daz.init got it
        made.update(user_true=True, secret_true=True)
    elif halves is not None:
        user, secret = truth(halves[0]), truth(halves[1])
        if went_on and user is True and secret is None:  # the chain went on: the pair was not usable
            secret = False
        if went_on and secret is True and user is None:
            user = False
        made.update(user_true=user, secret_true=secret)
    return made


def shown_arg(arg: Any) -> str:
    return json.dumps(arg) if type(arg) is str else repr(arg)


def shown(value: Any) -> Any:
    """A value as the report carries it: JSON's own kinds as they are, anything else as its repr."""
    return value if type(value) in (type(None), bool, int, float, str) else repr(value)


def describe(exc: BaseException, function: str, table: dict[int, Any]) -> dict[str, Any]:
    """The exception's type and message, the line of the module's entry and that line's row."""
    kind = type(exc)
    try:
        message = str(exc)
    except Exception:
        message = "<the exception's str() failed>"
    line = next((n for frame, n in traceback.walk_tb(exc.__traceback__)
                 if frame.f_code.co_filename == ENTRY_FILE and frame.f_code.co_name == function), None)
    name = kind.__qualname__ if kind.__module__ == "builtins" else f"{kind.__module__}.{kind.__qualname__}"
    made = {"type": name, "message": message, "line": line, "statement": None, "advice": None}
    if line is not None and line in table:
        made.update(statement=cell(table, line, "statement"),
                    advice=f"What typically fails there: {cell(table, line, 'fails')}. "
                           f"What to check: {cell(table, line, 'check')}.")
    return made


def secrets(events: list[Any]) -> list[Any]:
    """Every secret the call met: the second (and later) items of the lookups' results, what daz.init was
    given as a password or app key, and the app keys of the agent's response."""
    found: list[Any] = []
    for event in events:
        if isinstance(event, Lookup) and type(event.result) in (tuple, list):
            found += event.result[1:]
        elif isinstance(event, Init):
            found += [*event.args[1:], *event.kwargs.values()]
        elif isinstance(event, Run) and type(event.result) is subprocess.CompletedProcess:
            found += [value for doc in responses(event.result.stdout)
                      for key, value in settings(doc) if key == APP_KEY]
    return found


def responses(stdout: Any) -> list[Any]:
    """The tool's output as it parses, and each JSON object that starts one of its lines: a response that
    a warning line precedes does not parse, but its app key is still a secret."""
    found = [] if (whole := parse(stdout)) is UNSET else [whole]
    decoder = json.JSONDecoder()
    for start in re.finditer(r"^[ \t]*\{", stdout if type(stdout) is str else "", re.M):
        try:
            found.append(decoder.raw_decode(stdout, start.end() - 1)[0])
        except (ValueError, RecursionError):
            pass
    return found


class Masker:
    """Replaces each secret (a text, and the forms repr, ascii and JSON give it; a number) with MASK."""

    def __init__(self, found: list[Any]) -> None:
        forms, numbers = set(), set()
        for secret in found:
            if type(secret) not in PLAIN or not secret:  # a false one is no secret; others cannot be shown
                continue
            if type(secret) is bytes:
                forms |= {repr(secret)[2:-1], secret.decode("utf-8", "replace")}
            elif type(secret) is str:
                forms |= {secret, repr(secret)[1:-1], ascii(secret)[1:-1], json.dumps(secret)[1:-1],
                          json.dumps(secret, ensure_ascii=False)[1:-1]}
            elif type(secret) in (int, float):
                numbers.add(repr(secret))
        # Text forms longest first, so that a secret holding another is masked whole; numbers are masked
        # in texts only, never in the output's own digits.
        self.texts = sorted((form for form in forms if form), key=len, reverse=True)
        self.forms = self.texts + sorted(numbers - forms, key=len, reverse=True)

    def __call__(self, text: str, forms: list[str] | None = None) -> str:
        for form in self.forms if forms is None else forms:
            text = text.replace(form, MASK)
        return text


def mask_all(value: Any, mask: Masker) -> Any:
    """`value` with every text in it masked."""
    if type(value) is str:
        return mask(value)
    if type(value) is list:
        return [mask_all(item, mask) for item in value]
    if type(value) is dict:
        return {key: mask_all(item, mask) for key, item in value.items()}
    return value
