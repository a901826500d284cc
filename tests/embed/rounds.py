"""Run in every round of embed.cpp, with ROUND set. Rounds 1 to 3 and 5 import the module in the main
interpreter, log in, fail once on purpose (for the traceback entry) and leave calls of init_daz for
late in finalization: an atexit handler, and objects whose __del__ calls it while modules are torn
down, or later. Round 4 loads it into a subinterpreter first; the main interpreter is refused then.
Everything is reported on standard output through os.write, which works until the very end."""

import atexit
import os
import traceback
import types

write = os.write


def say(text):
    write(1, (text + "\n").encode())


def log_in(login):
    calls = []
    login.daz = types.SimpleNamespace(init=lambda *args, **kwargs: calls.append([list(args), kwargs]))
    login.get_license_info = lambda *args: ("alice", "pw-test")
    login.init_daz()
    return calls


class Late:
    """Calls init_daz from __del__ and says how that went. The first, in __main__, dies while modules
    are torn down and leaves the second in the module's dictionary, which the module's own reference
    keeps until the module releases what it holds, after which the second dies. It uses no global or
    built-in name, as either may be gone by then."""

    catch = BaseException

    def __init__(self, login, call, number, last):
        self.login, self.call, self.write, self.number, self.last = login, call, write, number, last

    def __del__(self):
        try:
            outcome = "returned %r" % (self.call(),)
        except self.catch as exc:
            outcome = "%s: %s" % (exc.__class__.__name__, exc)
        self.write(1, ("late call %d: %s\n" % (self.number, outcome)).encode())
        if self.number < self.last:
            self.login.__dict__["late"] = self.__class__(self.login, self.call, self.number + 1, self.last)


SUB = """
import os, types
from ferrovane.cairn.utils import login
calls = []
login.daz = types.SimpleNamespace(init=lambda *args, **kwargs: calls.append(list(args)))
login.get_license_info = lambda *args: ("alice", "pw-test")
login.init_daz()
os.write(1, ("subinterpreter: %r\\n" % calls).encode())
"""

if ROUND == 4:  # noqa: F821 (set by embed.cpp)
    try:
        import _testcapi
    except ImportError:
        say("subinterpreter: no _testcapi")
    else:
        _testcapi.run_in_subinterp(SUB)
    try:
        from ferrovane.cairn.utils import login
    except ImportError as exc:
        say(f"round 4: {exc}")
    else:
        say(f"round 4: imported {log_in(login)}")
else:
    from ferrovane.cairn.utils import login

    calls = log_in(login)
    login.get_license_info = lambda *args: (1, 2, 3)
    try:
        login.init_daz()
    except ValueError as exc:
        entry = traceback.extract_tb(exc.__traceback__)[-1]
        failed = [str(exc), entry.filename, entry.lineno, entry.name]
    say(f"round {ROUND}: {calls} {failed} {login.init_daz.__code__.co_firstlineno}")  # noqa: F821
    atexit.register(lambda: say(f"atexit: {log_in(login)}"))
    late = Late(login, login.init_daz, 1, 2)
