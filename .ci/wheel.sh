#!/usr/bin/env bash
# One interpreter's wheel, built and checked the same way on the host and inside the Debian root
# (.ci/release.sh runs it in both places):
#   build PYTHON SDIST DIR   the module's wheel for PYTHON, built from the sdist alone (so a file
#                            missing from the sdist fails here), written into DIR;
#   test PYTHON WHEEL [pytest args]
#                            WHEEL with its test extras and the stand-ins' distribution in a fresh
#                            environment of PYTHON; the module, the stand-ins and wrenkit must come
#                            from that environment, the module must log in when run from outside the
#                            checkout, and then the suite runs from the checkout against it, the
#                            packaging checks included.
# pip builds (`pip wheel`, an isolated PEP 517 build) and makes the environments; with FERROVANE_UV
# naming a uv executable, uv does (`uv build --wheel`, the same isolated build), natively and in a
# fraction of pip's time: .ci/release.sh sets it for every wheel. For the interpreters that run under
# emulation, .ci/aarch64.sh also sets FERROVANE_NATIVE_PYTHON where it has a native interpreter of
# the wheel's version (and FERROVANE_BACKEND_PLATFORM, the wheels' platform): that one then compiles
# the bytecode of the build's backend and of the test environment (below), which the emulated
# interpreter would otherwise compile itself.
#
# Usage (from anywhere): bash .ci/wheel.sh build|test ...
set -euo pipefail
cd "$(dirname "$0")/.."
. .ci/lib.sh
checkout=$PWD

if [ $# -lt 3 ] || [[ ! "$1" =~ ^(build|test)$ ]]; then
    echo "usage: $0 build PYTHON SDIST DIR | $0 test PYTHON WHEEL [pytest arguments]" >&2
    exit 2
fi
mode=$1 python=$2 artifact=$(realpath "$3")
shift 3

uv=${FERROVANE_UV:-}
if [ -n "$uv" ]; then
    uv_settings
fi
# A fresh environment of $python in folder $1, with pip (which the packaging checks run) also where
# uv makes it and is to install into it.
fresh_env() {
    rm -rf "$1"
    if [ -n "$uv" ]; then
        "$uv" venv -q --seed --python "$python" "$1"
    else
        "$python" -m venv "$1"
    fi
}

if [ "$mode" = build ]; then
    # The build dependencies (scikit-build-core and what it needs) at the versions that the release
    # pins, here and inside the Debian root alike; SOURCE_DATE_EPOCH, where given, sets the wheel's
    # timestamps.
    export PIP_CONSTRAINT=$checkout/.ci/release-tools.txt UV_BUILD_CONSTRAINT=$checkout/.ci/release-tools.txt
    out=$(realpath -m "$1")
    tools=$(mktemp -d)
    trap 'rm -rf "$tools"' EXIT
    mkdir -p "$out"
    log=$tools/build.log
    if [ -n "$uv" ] && [ -n "${FERROVANE_NATIVE_PYTHON:-}" ]; then
        # Under emulation, an isolated build's fresh environment took some 45 s of the 87 s that the
        # 3.15 wheel took: uv asks the emulated interpreter what it is for each command (6 s each
        # time), and that interpreter compiles the backend's imports. Instead uv installs the
        # backend, at the same pins, natively into a folder for FERROVANE_BACKEND_PLATFORM and this
        # version, the native interpreter of the version compiles its bytecode, and the wheel is
        # built with that folder on the path, without isolation. What goes in: the requirements of
        # [build-system] and those that the backend adds (asked by the native interpreter: they
        # depend on the tools on the system, not on the architecture). The wheel holds the same
        # files as an isolated build's (43 s for that wheel).
        native=$FERROVANE_NATIVE_PYTHON backend=$tools/backend
        mkdir "$tools/sdist"
        tar -xzf "$artifact" -C "$tools/sdist" --strip-components=1
        version=$("$native" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
        for asked in requires get_requires_for_build_wheel; do
            (cd "$tools/sdist" && PYTHONPATH=$backend "$native" -c 'import sys, tomllib
from importlib import import_module
system = tomllib.load(open("pyproject.toml", "rb"))["build-system"]
if sys.argv[1] == "requires":
    wanted = system["requires"]
else:
    wanted = import_module(system["build-backend"]).get_requires_for_build_wheel()
print(*wanted, sep="\n")' "$asked") > "$tools/requires.txt"
            if [ -n "$(tr -d '[:space:]' < "$tools/requires.txt")" ]; then
                "$uv" pip install -q --python "$native" --target "$backend" --python-version "$version" \
                    --python-platform "$FERROVANE_BACKEND_PLATFORM" -c "$PIP_CONSTRAINT" -r "$tools/requires.txt"
            fi
        done
        "$native" -m compileall -q --invalidation-mode timestamp "$backend" > /dev/null 2>&1 || true
        export PYTHONPATH=$backend
        build=("$uv" build --wheel --no-cache --no-build-isolation --python "$python" --out-dir "$out"
            "$tools/sdist")
    elif [ -n "$uv" ]; then
        build=("$uv" build --wheel --no-cache --python "$python" --out-dir "$out" "$artifact")
    else
        fresh_env "$tools/env"
        build=("$tools/env/bin/pip" wheel --no-deps --no-cache-dir -w "$out" "$artifact")
    fi
    "${build[@]}" > "$log" 2>&1 || {
        cat "$log" >&2
        echo "wheel: building from $artifact with $("$python" --version) failed" >&2
        exit 1
    }
    echo "wheel: built for $("$python" --version) from $(basename "$artifact")"
    exit 0
fi

# The test environments take the latest test extras, as a user's would.
unset PIP_CONSTRAINT UV_BUILD_CONSTRAINT
# Python code that fails unless the module, the stand-ins and wrenkit are the installed ones.
from_environment='
import os, shutil, sys
import ferrovane.cairn.utils.login, ferrovane.daz, ferrovane.cairn.sdk.license_helper
prefix = os.path.realpath(sys.prefix)
for module in (ferrovane.cairn.utils.login, ferrovane.daz, ferrovane.cairn.sdk.license_helper):
    where = os.path.realpath(module.__file__)
    assert where.startswith(prefix + os.sep), f"{module.__name__} imported from {where}, not {prefix}"
    print(f"{module.__name__}: {os.path.relpath(where, prefix)}")
tool = shutil.which("wrenkit", path=os.path.join(sys.prefix, "bin"))
assert tool, "wrenkit is not installed in the environment"
'

venv=$checkout/.venv-wheel-$(basename "$python")
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
echo "== $(basename "$artifact") with $("$python" --version)"
if [ -n "$uv" ]; then
    # The stand-ins are pure Python: their wheel, built by the host's python3, installs what their
    # source would, without running their build backend under emulation (half a minute each time).
    "$uv" build -q --wheel --python python3 --out-dir "$scratch/standins" ./standins
    fresh_env "$venv"
    "$uv" pip install -q --python "$venv/bin/python" "${artifact}[test]" "$scratch"/standins/*.whl
    if [ -n "${FERROVANE_NATIVE_PYTHON:-}" ]; then
        # Bytecode is the same on every architecture: what the suite imports (the environment's
        # packages, the checkout's tests) is compiled by a native interpreter of the same version
        # rather than by the emulated one on first import (about 40 s for pytest and hypothesis).
        # A file that it cannot compile (a package's module for another version) is compiled, or
        # fails, on import as before.
        "$FERROVANE_NATIVE_PYTHON" -m compileall -q --invalidation-mode timestamp \
            "$venv"/lib/python*/site-packages "$checkout/tests" > /dev/null 2>&1 ||
            echo "wheel: $FERROVANE_NATIVE_PYTHON did not compile every file; the rest compile on import"
    fi
else
    suite_venv "$python" "$venv" "$artifact"
fi
# From the checkout, as the suite below runs: the same sys.path.
"$venv/bin/python" -c "$from_environment"
(
    cd "$scratch"
    "$venv/bin/python" -c "$from_environment" > /dev/null
    env -u FERROVANE_AGENT FERROVANE_LICENSE="$checkout/examples/licence.json" "$venv/bin/python" -c '
from ferrovane import daz
from ferrovane.cairn.utils import login
login.init_daz()
assert daz.last_login == daz.Login("demo-user", "password"), daz.last_login
print("wheel: logged in from the installed wheel, outside the checkout")'
)
rc=0
"$venv/bin/python" -m pytest -q --wheel="$artifact" "$@" || rc=$?
pytest_status "$rc" wheel
