#!/usr/bin/env bash
# Static checks: clang-tidy 14 over the module's C++ sources with the checks of .clang-tidy,
# against the headers of the interpreter the module is built for. Any warning fails the run.
#
# Usage (from anywhere): bash .ci/tidy.sh
set -euo pipefail
cd "$(dirname "$0")/.."
. .ci/lib.sh

apt_install clang-tidy-14

include=$(python -c "import sysconfig; print(sysconfig.get_paths()['include'])")
if [ ! -e "$include/Python.h" ]; then
    echo "tidy: Python.h not found in $include" >&2
    exit 1
fi

status=0
for source in src/login/*.cpp; do
    clang-tidy-14 --quiet --warnings-as-errors='*' "$source" -- \
        -std=c++20 -x c++ -I"$include" -Isrc/login -fno-exceptions -fno-rtti || status=1
done
if [ "$status" -ne 0 ]; then
    echo "tidy: clang-tidy reported findings" >&2
    exit 1
fi
echo "tidy: no findings"
