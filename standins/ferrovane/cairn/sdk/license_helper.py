"""Licence lookup: reads a credential pair from the licence file an env var names.

`FERROVANE_LICENSE` names the default licence, holding "user" and "password".
Any other variable names an app-key licence, holding "user" and "app_key".
Errors describe the variable, the file and the fault, never the file's
contents, and carry no chained exception that could hold them.
"""

import json
import os
from pathlib import Path

__all__ = ["DEFAULT_ENV_VAR", "LicenseError", "get_license_info"]

DEFAULT_ENV_VAR = "FERROVANE_LICENSE"

_JSON_TYPE_NAMES = {list: "an array", str: "a string", int: "a number",
                    float: "a number", bool: "a boolean", type(None): "null"}


class LicenseError(ValueError):
    """The licence file named by an environment variable cannot be used."""

    def __init__(self, env_var: str, path: str, problem: str) -> None:
        self.env_var = env_var
        self.path = path
        self.problem = problem
        super().__init__(f"licence file {path!r} (from {env_var}): {problem}")

    def __reduce__(self) -> tuple[type, tuple[str, str, str]]:
        return type(self), (self.env_var, self.path, self.problem)


def _load(path: str) -> tuple[object, str]:
    """Read and parse a licence file: (data, "") on success, (None, problem) on failure.

    Failures are returned rather than raised so that the decoder's exception,
    which holds the raw text, never becomes the context of a LicenseError.
    """
    try:
        raw = Path(path).read_bytes()
    except OSError as exc:
        return None, f"cannot be read ({exc.strerror or type(exc).__name__})"
    try:
        text = raw.decode("utf-8-sig")  # tolerate a BOM left by Windows editors
    except UnicodeDecodeError as exc:
        return None, f"is not UTF-8 text (invalid byte at offset {exc.start})"
    try:
        return json.loads(text), ""
    except json.JSONDecodeError as exc:
        return None, f"is not valid JSON (line {exc.lineno}, column {exc.colno})"
    except (ValueError, RecursionError) as exc:
        return None, f"is not valid JSON ({type(exc).__name__})"


def get_license_info(env_var: str = DEFAULT_ENV_VAR) -> tuple[str | None, str | None]:
    """Return (user, password) for the default licence, (user, app_key) for any other.

    An unset or empty variable gives (None, None); a member missing from the
    file gives None in its place. A malformed file raises LicenseError.
    """
    path = os.environ.get(env_var)
    if not path:
        return None, None
    secret_key = "password" if env_var == DEFAULT_ENV_VAR else "app_key"
    data, problem = _load(path)
    if problem:
        raise LicenseError(env_var, path, problem)
    if not isinstance(data, dict):
        kind = _JSON_TYPE_NAMES.get(type(data), "a non-object value")
        raise LicenseError(env_var, path, f"holds {kind}, not a JSON object")
    for key in ("user", secret_key):
        if key in data and not isinstance(data[key], str):
            raise LicenseError(env_var, path, f'member "{key}" is not a string')
    return data.get("user"), data.get(secret_key)
