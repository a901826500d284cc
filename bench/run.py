"""ferrovane.cairn.utils.login against the same logic in plain Python (bench/baseline.py), on pyperf.

Run from the repository root with the project and its bench extra installed in .venv, and valgrind:
    .venv/bin/python bench/run.py          # minutes (docs/maintainers.md: measured); --fast: fewer
    .venv/bin/python bench/run.py --summary build/bench.json        # the summary of a saved run
    .venv/bin/python -m pyperf compare_to old.json new.json --table  # two runs side by side
Results are pyperf JSON (build/bench.json, or -o FILE); pyperf's options apply (--rigorous, ...).

Each target is judged on instructions counted by callgrind (bench/process.py's measure: a fixed hash
seed, so the count repeats on a busy machine), never on time; pyperf's wall-clock medians are shown
beside them as information, and its warnings about unstable timings are counted once, at the end.

call/PATH/{module,baseline}: one init_daz(), both bound to the same fakes, on each path: default
    licence pair; app-key pair; nothing usable; agent pair (fake subprocess.run); a failing call (a
    three-item licence result); and two showing the module's lookup cache: fakes that subclass
    ModuleType (not cached), a daz.init that rebinds a global of daz at each call (as the stand-in).
call/PATH/callees: the fakes' calls on that path, each timed alone in a C loop, summed: the floor
    below which neither side can go ("own" in the summary is a figure less this floor).
agent/{module,bare}: init_daz() running the stand-in tool wrenkit, against a bare subprocess.run
    (counted with the processes they start).
import/{module,baseline,c-extension}: the import statement in a fresh interpreter with the
    dependencies imported: the module; the baseline from cached bytecode; _bisect, the floor of
    loading any C extension.
Allocations per call on the licence paths are counted in this process (blocks kept, tracemalloc's
peak) and kept as metadata of call/PATH/module, as are the instruction counts of each benchmark.

The fakes are C callables, so that neither side pays for Python code in its callees; `os` and `daz`
are module objects, as the real ones are. os.getenv: {"FERROVANE_AGENT": selector}.get;
get_license_info: functools.partial(next, cycle(results of the lookups in call order)); daz.init:
type.__prepare__ (takes any arguments); sys.platform: "linux"; subprocess.run: a SimpleNamespace
subclass with object.__init__, its `stdout` the canned response; json.loads: {response: parsed}.get.
"""

import atexit
import contextlib
import functools
import gc
import importlib.util
import itertools
import json
import os
import py_compile
import re
import shutil
import subprocess
import sys
import tempfile
import time
import tracemalloc
import types
from collections import deque
from pathlib import Path


BENCH = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, BENCH)
import baseline  # noqa: E402
from ferrovane import daz  # noqa: E402
from ferrovane.cairn.utils import login  # noqa: E402

PAIR, APPKEY_PAIR, NONE, AGENT = ("u", "pw"), ("u", "key"), (None, None), ("agent-user", "agent-key")
RESPONSE = json.dumps({"Code": 0, "Result": [{"Key": "KORVEX_ACCOUNT", "Value": AGENT[0]},
                                             {"Key": "KORVEX_CUSTOM_APP_KEY", "Value": AGENT[1]}]})
RUN_KW = {"shell": True, "capture_output": True, "text": True, "encoding": "utf-8"}
IMPLS = {"module": login, "baseline": baseline}
REAL = {impl: {name: getattr(impl, name) for name in ("os", "sys", "subprocess", "json", "daz", "get_license_info")}
        for impl in IMPLS.values()}
LICENCE_PATHS = ("default", "appkey", "nothing")


class Completed(types.SimpleNamespace):
    __init__ = object.__init__  # made in C, whatever the arguments
    stdout = RESPONSE


class SubModule(types.ModuleType):
    """Not exactly ModuleType: the module does not cache attributes read from it."""


def make_path(agent, lookups, callees, expect, kind=types.ModuleType, mutating=False):
    """The fakes, the callees as (callable, args) in call order, and the daz.init calls (or the
    exception) that both implementations give on the path (None: not checked)."""
    def module(name, **attrs):
        made = kind(name)
        made.__dict__.update(attrs)
        return made
    fakes = {"os": module("os", getenv=({"FERROVANE_AGENT": "app_key_daz"} if agent else {}).get, environ={}),
             "sys": module("sys", platform="linux"), "subprocess": module("subprocess", run=Completed),
             "json": module("json", loads={RESPONSE: json.loads(RESPONSE)}.get),
             "daz": module("daz", init=type.__prepare__),
             "get_license_info": functools.partial(next, itertools.cycle(lookups))}
    if mutating:  # daz.init(user, pw) stores pw in daz itself, and the passwords alternate
        fakes["daz"].init = fakes["daz"].__dict__.__setitem__
    calls = {"getenv": (fakes["os"].getenv, ("FERROVANE_AGENT",)), "lookup": (fakes["get_license_info"], ()),
             "lookup_appkey": (fakes["get_license_info"], ("FERROVANE_APPKEY_LICENSE",)),
             "init": (fakes["daz"].init, PAIR), "loads": (fakes["json"].loads, (RESPONSE,)),
             "run": (functools.partial(fakes["subprocess"].run, **RUN_KW), ("wrenkit",))}
    return fakes, [calls[name] for name in callees.split()], expect


PATHS = {
    "default": make_path(False, [PAIR], "getenv lookup init", [(PAIR, {})]),
    "appkey": make_path(False, [NONE, APPKEY_PAIR], "getenv lookup lookup_appkey init",
                        [((APPKEY_PAIR[0],), {"appkey": APPKEY_PAIR[1]})]),
    "nothing": make_path(False, [NONE], "getenv lookup lookup_appkey", []),
    "agent": make_path(True, [NONE], "getenv run loads init", [((AGENT[0],), {"appkey": AGENT[1]})]),
    "failing": make_path(False, [PAIR + ("extra",)], "getenv lookup", ValueError),
    "subclass": make_path(False, [PAIR], "getenv lookup init", [(PAIR, {})], kind=SubModule),
    "mutating": make_path(False, [PAIR, (PAIR[0], "pw2")], "getenv lookup init", None, mutating=True),
}


def bind(impl, values):
    for name, value in values.items():
        setattr(impl, name, value)


def call_loop(impl, fakes, failing):
    def time_func(loops):
        bind(impl, fakes)
        f, it = impl.init_daz, itertools.repeat(None, loops)
        t0 = time.perf_counter()
        if failing:
            for _ in it:
                try:
                    f()
                except ValueError:
                    pass
        else:
            for _ in it:  # ten calls a loop keep the loop's own cost under a nanosecond a call
                f(); f(); f(); f(); f(); f(); f(); f(); f(); f()  # noqa: E702
        return time.perf_counter() - t0
    return time_func


def callee_floor(calls):
    def time_func(loops):
        total = 0.0
        for fn, args in calls:  # a C loop per callee; "call/c-loop" is such a loop's own iteration
            t0 = time.perf_counter()
            deque(itertools.starmap(fn, itertools.repeat(args, loops)), 0)
            total += time.perf_counter() - t0
        return total
    return time_func


def c_loop(loops):
    t0 = time.perf_counter()
    deque(itertools.repeat((), loops), 0)
    return time.perf_counter() - t0


@contextlib.contextmanager
def agent_environment():
    """The stand-in tool on PATH, answering with settings from a file, and the agent selected."""
    settings = os.path.join(import_folder(), "settings.json")
    with open(settings, "w", encoding="utf-8") as f:
        json.dump({"KORVEX_ACCOUNT": AGENT[0], "KORVEX_CUSTOM_APP_KEY": AGENT[1]}, f)
    bin_dir, path = os.path.dirname(sys.executable), os.environ.get("PATH", "")
    os.environ.update({"PATH": path if path.startswith(bin_dir + os.pathsep) else bin_dir + os.pathsep + path,
                       "WRENKIT_SETTINGS": settings, "FERROVANE_AGENT": "app_key_daz"})
    try:
        yield
    finally:
        del os.environ["FERROVANE_AGENT"]


def agent_calls(fn):
    def time_func(loops):
        with agent_environment():
            t0 = time.perf_counter()
            for _ in range(loops):
                fn()
            return time.perf_counter() - t0
    return time_func


IMPORTS = {"module": "ferrovane.cairn.utils.login", "baseline": "baseline", "c-extension": "_bisect"}
PRELUDE = """import os, sys, subprocess, json, time
from ferrovane import daz
from ferrovane.cairn.sdk import license_helper
import ferrovane.cairn.utils
sys.path.insert(0, {folder!r})
"""


@functools.cache
def import_folder():
    """A folder holding the baseline and its bytecode, compiled beforehand."""
    folder = tempfile.mkdtemp(prefix="login-bench-")
    atexit.register(shutil.rmtree, folder, True)
    source = shutil.copy(os.path.join(BENCH, "baseline.py"), folder)
    py_compile.compile(source, doraise=True, invalidation_mode=py_compile.PycInvalidationMode.TIMESTAMP)
    return folder


def child(code, *flags):
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONDONTWRITEBYTECODE", "FERROVANE_AGENT")}
    return subprocess.run([sys.executable, *flags, "-c", PRELUDE.format(folder=import_folder()) + code],
                          env=env, cwd=import_folder(), capture_output=True, text=True, check=True)


def fresh_import(name):
    code = f"t0 = time.perf_counter_ns()\nimport {name}\nprint(time.perf_counter_ns() - t0)"
    return lambda loops: sum(int(child(code).stdout) for _ in range(loops)) / 1e9


def per_process(runner, name, time_func, loops=5):
    # Each loop starts a process: a fixed count of loops (unless --loops gives one) rather than
    # calibrating them to --min-time; pyperf restores its calibrated count the same way.
    saved = runner.args.loops
    runner.args.loops = saved or loops
    try:
        return runner.bench_time_func(name, time_func)
    finally:
        runner.args.loops = saved


def run_all(runner):
    benchmarks = []
    for key, (fakes, calls, expect) in PATHS.items():
        for label, impl in IMPLS.items():
            benchmarks.append(runner.bench_time_func(f"call/{key}/{label}", call_loop(impl, fakes, expect is ValueError),
                                                     inner_loops=1 if expect is ValueError else 10))
        benchmarks.append(runner.bench_time_func(f"call/{key}/callees", callee_floor(calls)))
    benchmarks.append(runner.bench_time_func("call/c-loop", c_loop))
    benchmarks.append(per_process(runner, "agent/module", agent_calls(login.init_daz)))
    benchmarks.append(per_process(runner, "agent/bare", agent_calls(lambda: subprocess.run("wrenkit", **RUN_KW))))
    for label, name in IMPORTS.items():
        benchmarks.append(per_process(runner, f"import/{label}", fresh_import(name)))
    return benchmarks


def check_setup():
    """Both implementations take each path as described; the agent path and the bytecode are used."""
    for key, (fakes, _, expect) in PATHS.items():
        for impl in IMPLS.values():
            recorder, calls = types.ModuleType("daz"), []
            recorder.init = lambda *args, **kwargs: calls.append((args, kwargs))  # noqa: B023
            bind(impl, {**fakes, "daz": recorder})
            try:
                impl.init_daz()
                outcome = calls
            except Exception as exc:  # noqa: BLE001 - compared below
                outcome = type(exc)
            bind(impl, REAL[impl])
            if expect is not None and outcome != expect:
                sys.exit(f"{impl.__name__} on path {key}: {outcome!r}, expected {expect!r}")
    daz.reset()
    agent_calls(login.init_daz)(1)
    if daz.last_login != (AGENT[0], "app_key"):
        sys.exit(f"the agent path did not log in through the agent: {daz.last_login}")
    pyc = importlib.util.cache_from_source(os.path.join(import_folder(), "baseline.py"))
    if f"code object from '{pyc}'" not in child("import baseline", "-v").stderr:
        sys.exit(f"the baseline was not imported from its bytecode {pyc}")


def allocations(fn, calls=20_000):
    """Blocks kept per call of fn(), and tracemalloc's peak (bytes) above the start while called."""
    for _ in range(1000):
        fn()
    gc.collect()
    before, it = sys.getallocatedblocks(), itertools.repeat(None, calls)
    for _ in it:
        fn()
    kept, it = (sys.getallocatedblocks() - before) / calls, itertools.repeat(None, calls // 10)
    tracemalloc.start()
    start = tracemalloc.get_traced_memory()[0]
    for _ in it:
        fn()
    peak = tracemalloc.get_traced_memory()[1] - start
    tracemalloc.stop()
    return kept, peak


def count_allocations(suite):
    for key in LICENCE_PATHS:
        fakes, calls, _ = PATHS[key]
        names = {f"c{i}": call for i, call in enumerate(calls)}  # the callees, a statement each
        exec("def callees():\n" + "".join(f"    {c}[0](*{c}[1])\n" for c in names), names)
        (floor_kept, floor_peak) = allocations(names["callees"])
        bind(login, fakes)
        kept, peak = allocations(login.init_daz)
        bind(login, REAL[login])
        suite.get_benchmark(f"call/{key}/module").update_metadata({
            "alloc": f"{kept:+.4f} blocks kept, peak {peak} B (callees: {floor_kept:+.4f}, {floor_peak} B)",
            "alloc_ok": int(kept <= max(floor_kept, 0) + 0.001 and peak <= floor_peak)})


# ---- instruction counts, under callgrind ----
MARK = os.getppid  # callgrind (--dump-before=getppid) dumps its counts at each call: the bounds of a phase


def phase(work):
    MARK()
    work()
    MARK()


def python_loop(f, calls, failing):
    """calls calls of f() from a Python loop, as a caller makes them; f None: the loop alone."""
    def work():
        it = itertools.repeat(None, calls)
        if f is None:
            for _ in it:
                pass
        elif failing:
            for _ in it:
                try:
                    f()
                except ValueError:
                    pass
        else:
            for _ in it:
                f()
    return work


def call_phases(calls):
    """The phases counted in one interpreter, in order: {name: run it}. Each binds its fakes and warms
    up before its first mark and puts the real names back after its last."""
    def bound(impl, fakes, failing):
        def run():
            bind(impl, fakes)
            python_loop(impl.init_daz, 100, failing)()
            phase(python_loop(impl.init_daz, calls, failing))
            bind(impl, REAL[impl])
        return run
    phases = {"loop": functools.partial(phase, python_loop(None, calls, False)),
              "c-loop": functools.partial(phase, lambda: deque(itertools.repeat((), calls), 0))}
    for key, (fakes, callees, expect) in PATHS.items():
        for label, impl in IMPLS.items():
            phases[f"call/{key}/{label}"] = bound(impl, fakes, expect is ValueError)
        for i, (fn, args) in enumerate(callees):
            phases[f"call/{key}/callee{i}"] = functools.partial(
                phase, lambda fn=fn, args=args: deque(itertools.starmap(fn, itertools.repeat(args, calls)), 0))
    return phases


def agent_phase(label):
    """One call on the real agent path: the module's, or a bare subprocess.run; both warm up alike."""
    bind(login, PATHS["agent"][0])
    login.init_daz()
    bind(login, REAL[login])
    with agent_environment():
        phase(login.init_daz if label == "module" else lambda: subprocess.run("wrenkit", **RUN_KW))


def callgrind(code):
    """Runs code in a fresh interpreter under callgrind: the instructions of each of its phases (from
    one mark to the next) and those of all the processes it started, summed. The hash seed is fixed:
    the counts repeat from run to run, however busy the machine."""
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONDONTWRITEBYTECODE", "FERROVANE_AGENT")}
    with tempfile.TemporaryDirectory() as tmp:
        proc = subprocess.Popen(["valgrind", "--tool=callgrind", "--trace-children=yes", "--dump-before=getppid",
                                 f"--callgrind-out-file={tmp}/%p", sys.executable, "-c", code],
                                env={**env, "PYTHONHASHSEED": "0"}, cwd=import_folder(),
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        out, err = proc.communicate()
        if proc.returncode:
            sys.exit(f"under callgrind: {code}\n{out}{err}")
        counts = {}
        for name in os.listdir(tmp):  # PID (what ran after the last dump) and PID.N (the dumps)
            pid, _, part = name.partition(".")
            text = Path(tmp, name).read_text()
            counts[int(pid), int(part or 1 << 30)] = int(re.search(r"^totals: (\d+)", text, re.M)[1])
    mine = [n for (pid, _), n in sorted(counts.items()) if pid == proc.pid]
    return mine[1:-1:2], sum(n for (pid, _), n in counts.items() if pid != proc.pid)


def count_instructions(suite, calls):
    """The instructions of each benchmark, as its metadata "instructions": per call (less the loop's
    own), per agent call (with the tool's processes), per import. False without valgrind."""
    if not shutil.which("valgrind"):
        return False
    prelude = f"import sys; sys.path.insert(0, {BENCH!r}); import run; "
    jobs = {"calls": prelude + f"[run() for run in run.call_phases({calls}).values()]",
            **{f"agent/{label}": prelude + f"run.agent_phase({label!r})" for label in ("module", "bare")},
            **{f"import/{label}": PRELUDE.format(folder=import_folder()) + f"os.getppid(); import {name}; os.getppid()"
               for label, name in IMPORTS.items()}}
    import concurrent.futures  # here: the interpreters run under callgrind import this file, not it

    with concurrent.futures.ThreadPoolExecutor(os.cpu_count()) as pool:
        done = dict(zip(jobs, pool.map(callgrind, jobs.values())))
    phases = dict(zip(call_phases(calls), done.pop("calls")[0]))
    per_call = {name: (n - phases["loop"]) / calls for name, n in phases.items() if name.endswith(("/module", "/baseline"))}
    for key, (_, callees, _) in PATHS.items():
        per_call[f"call/{key}/callees"] = sum(phases[f"call/{key}/callee{i}"] - phases["c-loop"]
                                              for i in range(len(callees))) / calls
    counted = {**per_call, **{name: sum(parts) + children for name, (parts, children) in done.items()}}
    for name, n in counted.items():
        suite.get_benchmark(name).update_metadata({"instructions": round(n, 1)})
    return True


def pyperf_warnings(suite):
    """The benchmarks that pyperf's checks find unstable, named once rather than warned about one by one."""
    from pyperf._cli import format_checks  # the checks pyperf prints after each timing

    unstable = [b.get_name() for b in suite.get_benchmarks() if format_checks(b)]
    if unstable:
        print(f"\npyperf: {len(unstable)} of {len(suite)} timings may be unstable (their spread or outliers; "
              f"`python -m pyperf check FILE` says why): {', '.join(unstable)}. Times are information only.")


def table(title, header, rows):
    widths = [max(len(str(row[i])) for row in [header, *rows]) for i in range(len(header))]
    print(f"\n{title}")
    for row in [header, *rows]:
        print("  ".join(str(c).ljust(w) if i == 0 else str(c).rjust(w) for i, (c, w) in enumerate(zip(row, widths))))


def summary(suite):
    bench = {b.get_name(): b for b in suite.get_benchmarks()}
    med = {name: b.median() for name, b in bench.items()}
    ins = {name: b.get_metadata().get("instructions") for name, b in bench.items()}
    counted = ins["import/module"] is not None
    targets, rows = [], []

    def target(what, ok_if, measured, wall):
        if counted:
            targets.append((what, measured, "PASS" if ok_if else "FAIL", wall))
    for key, (_, callees, _) in PATHS.items():
        m, b, c = (med[f"call/{key}/{x}"] * 1e9 for x in ("module", "baseline", "callees"))
        c -= len(callees) * med.get("call/c-loop", 0) * 1e9  # runs before the loop was its own benchmark: 0
        row = [key, f"{m:.1f}", f"{b:.1f}", f"{b / m:.2f}", f"{m - c:.1f}", f"{b - c:.1f}"]
        if counted:
            im, ib, ic = (ins[f"call/{key}/{x}"] for x in ("module", "baseline", "callees"))
            row += [f"{im:.0f}", f"{ib:.0f}", f"{ib / im:.2f}", f"{im - ic:.0f}", f"{ib - ic:.0f}"]
            if key in LICENCE_PATHS:
                target(f"per call, {key}: module >= 1.5x faster than baseline", ib / im >= 1.5,
                       f"{ib / im:.2f}x", f"{b / m:.2f}x")
        rows.append(row)
        meta = bench[f"call/{key}/module"].get_metadata()
        if "alloc_ok" in meta:  # counted blocks and bytes: as steady as instructions
            targets.append((f"no allocation beyond the callees', {key}", meta["alloc"],
                            "PASS" if meta["alloc_ok"] else "FAIL", ""))
    table("Per call: time (ns, medians) and instructions (ratio = baseline / module; own = less the callees)",
          ["path", "module", "baseline", "ratio", "own: module", "own: baseline"]
          + ["instr: module", "baseline", "ratio", "own: module", "own: baseline"] * counted, rows)
    m, b = med["agent/module"], med["agent/bare"]
    rows = [["module", f"{m * 1e3:.3f}"], ["bare", f"{b * 1e3:.3f}"]]
    if counted:
        im, ib = ins["agent/module"], ins["agent/bare"]
        rows = [row + [f"{n:,.0f}"] for row, n in zip(rows, (im, ib))]
        target("real agent path within 2% of a bare subprocess.run", im <= 1.02 * ib,
               f"{(im / ib - 1) * 100:+.2f}%", f"{(m / b - 1) * 100:+.2f}%")
    table("Real agent path, one call with the processes it starts", ["what", "ms (median)"]
          + ["instructions"] * counted, rows)
    imports = {label: med[f"import/{label}"] for label in IMPORTS}
    rows = [[label, f"{value * 1e6:.1f}"] + ([f"{ins[f'import/{label}']:,.0f}"] if counted else [])
            for label, value in imports.items()]
    table("Import in a fresh interpreter", ["what", "us (median)"] + ["instructions"] * counted, rows)
    if counted:
        ratio = ins["import/module"] / ins["import/c-extension"]
        target("import within 1.25x of the C-extension floor", ratio <= 1.25, f"{ratio:.2f}x",
               f"{imports['module'] / imports['c-extension']:.2f}x")
    else:
        print("\nNo instruction counts (valgrind not found): no target judged on time alone.")
    table("Targets (judged on instructions and counted allocations; time beside, as information)",
          ["target", "measured", "result", "time"], targets)


def main():
    # pyperf is imported here, not above: each interpreter run under callgrind imports this file for
    # its phases, and importing pyperf there took most of its time.
    import pyperf

    runner = pyperf.Runner(processes=4, values=3, min_time=0.04)
    runner.argparser.add_argument("--summary", metavar="JSON", help="print the summary of a saved run and exit")
    args = runner.parse_args()
    if args.summary:
        return summary(pyperf.BenchmarkSuite.load(args.summary))
    if not args.worker:
        check_setup()
        quiet, args.quiet = args.quiet, True  # pyperf's warnings: counted once, below
    benchmarks = run_all(runner)
    if args.worker:
        return None
    suite = pyperf.BenchmarkSuite(benchmarks)
    count_allocations(suite)
    count_instructions(suite, 100 if args.debug_single_value else 2000)
    output = args.output or os.path.join(os.path.dirname(BENCH), "build", "bench.json")
    os.makedirs(os.path.dirname(os.path.abspath(output)), exist_ok=True)
    suite.dump(output, replace=True)
    print(f"\nresults: {output}")
    if not quiet:
        pyperf_warnings(suite)
    return summary(suite)


if __name__ == "__main__":
    main()
