#!/usr/bin/env bash
# Memcheck: runs the test suite under valgrind against a normal (Release) build of the module in a
# fresh virtual environment, with every Python allocation going through malloc so that memcheck
# sees the objects themselves. Child interpreters that the tests start are traced too; the shell
# and everything it starts (the agent tool) run natively. Any memcheck error fails the run
# (--error-exitcode), as does a failing test. The suite runs as two processes at once (below).
#
# Python code runs some 50 times slower under memcheck, so what runs is what reaches the module's C
# code; left out, with the reason:
#   the tests of Python code alone (python_only_tests in .ci/lib.sh): the module's paths that they
#   reach are those of the tests that run (here, at commit a394d2d, they took six and a half of the
#   nineteen minutes of the whole suite, mypy's check of the stub a minute and a half of it);
#   test_rebinding_globals_while_calls_run: valgrind runs one thread at a time and hands the
#   interpreter lock around so slowly that the rebinding thread barely gets to run; the test
#   then needs minutes instead of a second. The other thread tests run;
#   test_failed_allocations_at_import: it starts a child interpreter for each allocation of the
#   import that may fail and for each of the runs that end its scan, some 25 of them at five
#   seconds each under memcheck (132 s of the 388 s that the tests below took here at commit
#   c98c462); those failure paths run under the sanitizers (.ci/sanitize.sh, which checks the
#   child interpreters too) and on every debug build.
# The property tests take the "memcheck" profile's fewer examples (tests/conftest.py).
#
# Usage (from anywhere): bash .ci/valgrind.sh [extra pytest arguments]
set -euo pipefail
cd "$(dirname "$0")/.."
. .ci/lib.sh

venv=.venv-valgrind
logs="$PWD/build/valgrind-logs"

apt_install valgrind
FERROVANE_WERROR=ON quick_venv python "$venv" . -C install.strip=false

# glibc's vectorised wmemcmp (which CPython's string comparison calls) reads whole 32-byte blocks
# past the end of the shorter string; this valgrind does not replace it with a checked version,
# so memcheck reports reads that the routine discards. Nothing else is suppressed.
supp="$PWD/build/valgrind-python.supp"
mkdir -p build
cat > "$supp" <<'SUPP'
{
   glibc-wmemcmp-avx2-overread
   Memcheck:Addr32
   fun:__wmemcmp_avx2_movbe
}
{
   glibc-wmemcmp-evex-overread
   Memcheck:Addr32
   fun:__wmemcmp_evex_movbe
}
SUPP

# Each process writes its own log (empty when clean), so an error in a child interpreter counts
# even where the test that started it only looks at its exit status.
rm -rf "$logs"
mkdir -p "$logs"
memcheck() {
    PYTHONMALLOC=malloc valgrind --tool=memcheck --quiet --error-exitcode=99 --num-callers=40 \
        --log-file="$logs/memcheck.%p.log" --suppressions="$supp" \
        --trace-children=yes --trace-children-skip='/bin/sh,/bin/bash,/usr/bin/*' \
        "$venv/bin/python" -m pytest -q -p no:cacheprovider \
        --hypothesis-profile=memcheck "${python_only_tests[@]}" \
        -k 'not test_rebinding_globals_while_calls_run and not test_failed_allocations_at_import' "$@"
}
# memcheck runs one thread at a time: the suite runs as two processes at once, about half of its
# time each (the module's tests and the properties, the rest), which on two cores takes about half
# as long. Given pytest arguments, one process runs with them instead.
if [ $# -gt 0 ]; then
    rc=0
    memcheck "$@" || rc=$?
else
    shares=("tests/test_module.py tests/test_properties.py"
        "tests --ignore=tests/test_module.py --ignore=tests/test_properties.py")
    pids=()
    for i in "${!shares[@]}"; do
        # shellcheck disable=SC2086  # each share is a list of pytest arguments without spaces
        memcheck ${shares[$i]} > "$logs/pytest.$i.out" 2>&1 &
        pids+=($!)
    done
    rc=0
    for i in "${!shares[@]}"; do
        share_rc=0
        wait "${pids[$i]}" || share_rc=$?
        echo "== memcheck: ${shares[$i]}"
        cat "$logs/pytest.$i.out"
        rm "$logs/pytest.$i.out"
        # A memcheck error in either (99) wins over a failing test, which wins over a pass.
        if [ "$share_rc" -eq 99 ] || { [ "$share_rc" -ne 0 ] && [ "$rc" -ne 99 ]; }; then
            rc=$share_rc
        fi
    done
fi

if ! show_reports valgrind "$logs"/*.log || [ "$rc" -eq 99 ]; then
    echo "valgrind: memcheck reported errors" >&2
    exit 1
fi
pytest_status "$rc" valgrind
echo "valgrind: no memcheck errors"
