"""Logs this process in to the daz service with the host's credentials.

`init_daz()` is the one function. `FERROVANE_AGENT` is the one setting: set to exactly
"app_key_daz", it makes the agent tool `wrenkit` the first source of credentials. The module is
compiled and carries no docstrings at run time; `help()` shows none. Traceback entries in
"ferrovane/cairn/utils/login.cpp" are the module's: that file name is not a file to look for, and
the line names the failing statement: init_daz's "Raises" below names the lines of the usual
failures (the troubleshooting guide, docs/troubleshooting.md in the source distribution, every one).
"""

def init_daz() -> None:
    """Choose a credential pair and log in to daz with it; always returns None.

    The first source that gives two true values wins:

    1. only when FERROVANE_AGENT is exactly "app_key_daz": the agent tool, run as
       `/bin/sh -c wrenkit` (Windows: `powershell.exe ... "& wrenkit.exe"`), whose JSON output
       gives KORVEX_ACCOUNT and KORVEX_CUSTOM_APP_KEY: `daz.init(user_id, appkey=app_key)`;
    2. `get_license_info()`: `daz.init(user, password)`;
    3. `get_license_info("FERROVANE_APPKEY_LICENSE")`: `daz.init(user, appkey=app_key)`.

    Limits: the call waits for the agent tool with no timeout; the tool's exit status and standard
    error are not looked at. When no source gives a usable pair, nothing is initialised and the
    call still returns None, without an error: ask daz whether it is initialised (the stand-ins:
    `daz.last_login is None`).

    Raises, unchanged, whatever its sources raise; nothing is caught:
    - json.JSONDecodeError (line 29): the agent tool's output is not one JSON document alone
      (the tool missing from PATH, a warning line before the JSON, only an error message);
    - AttributeError / TypeError (lines 30, 33, 34): the tool's JSON is not an object, or its
      "Result" is not an array of objects;
    - OSError, UnicodeDecodeError, KeyboardInterrupt (line 22; Windows: 14): from subprocess.run;
    - the licence helper's exceptions (lines 41, 45), and ValueError or TypeError when a lookup
      does not return two values;
    - the exceptions of daz.init (lines 39, 43, 47);
    - NameError / AttributeError when a global of the module (os, sys, subprocess, json, daz,
      get_license_info) was deleted or replaced;
    - TypeError when called with any argument.
    """
    ...

__test__: dict[str, object]
"""An empty table of doctests, bound at import: doctest reads a module's `__test__`, and the module
has no doctests. help() and pydoc list it as `__test__ = {}`."""
