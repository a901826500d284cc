#!/usr/bin/env bash
# The cibuildwheel configuration in pyproject.toml, checked as far as this machine can: for each
# platform, the builds that `cibuildwheel --print-build-identifiers` selects must be exactly the
# ones below. Building them needs those machines (or containers), which CI here does not have.
#
# Usage (from anywhere): bash .ci/cibuildwheel.sh
set -euo pipefail
cd "$(dirname "$0")/.."
. .ci/lib.sh

versions=(cp312 cp313 cp314 cp315)
declare -A expected=(
    [linux]="manylinux_x86_64 manylinux_aarch64 musllinux_x86_64 musllinux_aarch64"
    [macos]="macosx_x86_64 macosx_arm64"
    [windows]="win_amd64"
)

tools=build/cibuildwheel-env
tool_venv "$tools" cibuildwheel

status=0
for platform in linux macos windows; do
    want=$(for v in "${versions[@]}"; do for p in ${expected[$platform]}; do echo "$v-$p"; done; done | sort)
    got=$("$tools/bin/cibuildwheel" --print-build-identifiers --platform "$platform" | sort)
    if [ "$got" != "$want" ]; then
        echo "cibuildwheel: $platform selects other builds than expected:" >&2
        diff <(echo "$want") <(echo "$got") >&2 || true
        status=1
    else
        echo "cibuildwheel: $platform: $(echo $got)"
    fi
done
exit "$status"
