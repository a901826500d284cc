"""Agent tool: prints the host's agent settings as one JSON document.

Installed as the console script `wrenkit` (`wrenkit.exe` on Windows, where the login module runs it
through PowerShell), so the same tool runs wherever the suite does, with or without a shell that reads
`#!` lines.

The settings come from the JSON object in the file named by WRENKIT_SETTINGS
(setting name -> value). On success it prints
    {"Code": 0, "Result": [{"Key": name, "Value": value}, ...]}
in the file's order and exits 0. Without usable settings it prints
    {"Code": 1, "Message": reason, "Result": []}
and exits 1. The reason never includes setting values.
"""

import json
import os
import sys

SETTINGS_ENV_VAR = "WRENKIT_SETTINGS"


def load_settings() -> tuple[dict[str, object] | None, str]:
    """Return (settings, "") or (None, reason) when there are no usable settings."""
    path = os.environ.get(SETTINGS_ENV_VAR)
    if not path:
        return None, f"{SETTINGS_ENV_VAR} is not set"
    try:
        with open(path, "rb") as f:
            raw = f.read()
    except OSError as exc:
        return None, f"cannot read settings file {path!r} ({exc.strerror or type(exc).__name__})"
    try:
        data = json.loads(raw.decode("utf-8-sig"))
    except UnicodeDecodeError:
        return None, f"settings file {path!r} is not UTF-8 text"
    except (ValueError, RecursionError):
        return None, f"settings file {path!r} is not valid JSON"
    if not isinstance(data, dict):
        return None, f"settings file {path!r} does not hold a JSON object"
    if not data:
        return None, f"settings file {path!r} holds no settings"
    return data, ""


def main() -> int:
    """Print the agent response; return the exit status."""
    settings, reason = load_settings()
    if settings is None:
        response: dict[str, object] = {"Code": 1, "Message": reason, "Result": []}
    else:
        result = [{"Key": key, "Value": value} for key, value in settings.items()]
        response = {"Code": 0, "Result": result}
    # ASCII-only output reads the same whatever the console's encoding is.
    print(json.dumps(response))
    return 0 if settings is not None else 1


if __name__ == "__main__":
    sys.exit(main())
