"""python -m ferrovane_cairn_login check [--json] [--login]: which credentials init_daz() uses here, and why
it fails. Exit status: 0 for a login, 1 when no source gives a usable pair, 2 for an error."""

from __future__ import annotations

import argparse
import json
import shlex
import subprocess
import sys
import textwrap
from typing import Any

from ._replay import SELECTOR, Masker, replay

STATUS = {"login": 0, "nothing": 1, "error": 2}


def words(report: dict[str, Any]) -> str:
    """The report as lines of text."""
    out = [f"interpreter: {report['interpreter']['executable']} ({report['interpreter']['version']})"]
    module = report["module"]
    if module:
        version = module["version"] or "of unknown version"
        out.append(f"module: {module['file']} (ferrovane-cairn-login {version})")
    selector = report[SELECTOR]
    out.append(f"{SELECTOR}: " + ("unset" if selector["value"] is None else repr(selector["value"])) + (
        " (selects the agent tool)" if selector["selects_agent"] else " (the agent tool is not run)"))
    if agent := report["agent"]:
        status = "none (the run failed)" if agent["exit_status"] is None else agent["exit_status"]
        command = agent["command"]
        shown = subprocess.list2cmdline(command) if command[:1] == ["powershell.exe"] else shlex.join(command)
        out += [f"agent tool: {shown}", f"  found: {agent['found'] or 'none on PATH'}",
                f"  exit status: {status}"]
        out += ["  standard error, last lines:", *("    " + line for line in agent["stderr_tail"])] \
            if agent["stderr_tail"] else ["  standard error: empty"]
        parsed = agent["parsed"]
        out.append("  standard output: " + (
            "not read" if parsed is None else "not JSON" if parsed is False else
            f"JSON, \"Code\" {json.dumps(parsed['Code'])}, settings: {', '.join(parsed['settings']) or 'none'}"
        ))
    for made in report["lookups"]:
        halves = [f"{half} {({True: 'true', False: 'false', None: 'unknown'})[made[half + '_true']]}"
                  for half in ("user", "secret")]
        out.append(f"{made['source']} lookup {made['call']}: {', '.join(halves)}")
    outcome = report["outcome"]
    if outcome != "error" and report["dry_run"]:
        out.append("dry run: daz.init was not called (--login calls it)")
    if outcome == "login":
        article = "an" if report["secret_kind"] == "app key" else "a"
        out.append(f"login: from the {report['source']}, user {report['user']!r}, with {article} "
                   f"{report['secret_kind']}")
    elif outcome == "nothing":
        out.append("nothing: no source gave a usable pair; init_daz() initialises nothing")
    else:
        error = report["error"]
        out.append(f"error: {error['type']}: {error['message']}")
        if error["line"] is None:
            out.append("  no entry of the module: the failure came before or outside its statements")
        else:
            out.append(f"  at line {error['line']}: {error['statement']}")
            out += textwrap.wrap(error["advice"], 100, initial_indent="  ", subsequent_indent="  ")
        if report["source"]:
            out.append(f"  daz.init refused the {report['source']}'s pair for user {report['user']!r}")
        elif agent and not report["lookups"]:
            out.append("  a failure ends the call: the licence lookups were not tried")
    return "\n".join(out) + "\n"


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m ferrovane_cairn_login",
                                     description="Replays init_daz() once and reports what it does.")
    commands = parser.add_subparsers(dest="command", required=True)
    check = commands.add_parser("check", help="which credentials init_daz() uses here, and why it fails",
                                description="Calls init_daz() once, recording its calls; without --login, "
                                            "daz.init is not called.")
    check.add_argument("--json", action="store_true", help="print the report as one JSON object")
    check.add_argument("--login", action="store_true", help="call daz.init: log the process in")
    args = parser.parse_args(argv)
    report, mask = replay(live=args.login)
    text = json.dumps(report, indent=2, default=repr) + "\n" if args.json else words(report)
    sys.stdout.write(last_pass(text, mask))
    sys.stdout.flush()
    return STATUS[report["outcome"]]


def last_pass(text: str, mask: Masker) -> str:
    """Masks what the rendering itself may have made of a secret (escapes, or text around a value)."""
    return mask(text, mask.texts)


if __name__ == "__main__":
    if hasattr(sys.stdout, "reconfigure"):  # a tool's text that the terminal's encoding cannot show
        sys.stdout.reconfigure(errors="backslashreplace")
    sys.exit(main())
