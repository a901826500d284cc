#!/usr/bin/env bash
# The cibuildwheel configuration in pyproject.toml, checked as far as this machine can: for each
# platform, the builds that `cibuildwheel --print-build-identifiers` selects must be exactly the
# ones below, for the CPython versions of .ci/lib.sh, which the project's version classifiers and
# requires-python must name too. Building them needs those machines (or containers), which CI here
# does not have.
#
# Usage (from anywhere): bash .ci/cibuildwheel.sh
set -euo pipefail
cd "$(dirname "$0")/.."
. .ci/lib.sh

declare -A expected=(
    [linux]="manylinux_x86_64 manylinux_aarch64 musllinux_x86_64 musllinux_aarch64"
    [macos]="macosx_x86_64 macosx_arm64"
    [windows]="win_amd64"
)

tools=build/cibuildwheel-env
tool_venv "$tools" cibuildwheel

status=0
named=$(python -c 'import tomllib
project = tomllib.load(open("pyproject.toml", "rb"))["project"]
prefix = "Programming Language :: Python :: 3."
print(*(c.rpartition(" ")[2] for c in project["classifiers"] if c.startswith(prefix)),
      "requires-python", project["requires-python"])')
if [ "$named" != "${versions[*]} requires-python >=${versions[0]}" ]; then
    echo "cibuildwheel: pyproject.toml names other versions than ${versions[*]}: $named" >&2
    status=1
fi
for platform in linux macos windows; do
    want=$(for v in "${versions[@]}"; do
        for p in ${expected[$platform]}; do echo "$(cp_tag "$v")-$p"; done
    done | sort)
    got=$("$tools/bin/cibuildwheel" --print-build-identifiers --platform "$platform" | sort)
    if [ "$got" != "$want" ]; then
        echo "cibuildwheel: $platform selects other builds than expected:" >&2
        diff <(echo "$want") <(echo "$got") >&2 || true
        status=1
    else
        echo "cibuildwheel: $platform: ${got//$'\n'/ }"
    fi
done
exit "$status"
