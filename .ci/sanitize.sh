#!/usr/bin/env bash
# Memory errors and undefined behaviour: builds the module with AddressSanitizer and
# UndefinedBehaviorSanitizer (Debug, so the assertions in the CPython headers are live too) into a
# fresh virtual environment, then runs the test suite with the sanitizer runtimes preloaded into
# the interpreter, all but the tests of Python code alone (python_only_tests in .ci/lib.sh: the
# interpreter is not instrumented, only the module). Child processes that the tests start inherit
# the environment and are checked as well. Every report goes to a log file under the report directory; the script fails
# when pytest fails or when any report was written.
#
# Usage (from anywhere): bash .ci/sanitize.sh [extra pytest arguments]
set -euo pipefail
cd "$(dirname "$0")/.."
. .ci/lib.sh

venv=.venv-asan
reports="$PWD/build/sanitize-reports"

asan_rt=$(gcc -print-file-name=libasan.so)
ubsan_rt=$(gcc -print-file-name=libubsan.so)
for rt in "$asan_rt" "$ubsan_rt"; do
    if [ ! -e "$rt" ]; then
        echo "sanitize: sanitizer runtime $rt not found (needs gcc with libasan and libubsan)" >&2
        exit 1
    fi
done

rm -rf "$reports"
mkdir -p "$reports"
FERROVANE_WERROR=ON quick_venv python "$venv" . \
    -C cmake.define.FERROVANE_SANITIZE=ON -C cmake.build-type=Debug -C install.strip=false

# The interpreter itself is not instrumented, so the runtimes must be loaded before anything else.
# PYTHONMALLOC=malloc routes every Python allocation through the sanitizer's allocator, so
# use-after-free and overflows of Python objects are seen too. Leak detection stays off: the
# interpreter keeps process-lifetime allocations that it never frees at exit.
rc=0
env LD_PRELOAD="$asan_rt:$ubsan_rt" \
    PYTHONMALLOC=malloc \
    ASAN_OPTIONS="detect_leaks=0:abort_on_error=0:halt_on_error=1:log_path=$reports/asan" \
    UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$reports/ubsan" \
    "$venv/bin/python" -m pytest -q -p no:cacheprovider "${python_only_tests[@]}" "$@" || rc=$?

if ! show_reports sanitize "$reports"/*; then
    echo "sanitize: sanitizer reports found" >&2
    exit 1
fi
pytest_status "$rc" sanitize
echo "sanitize: no sanitizer reports"
