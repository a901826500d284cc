# shellcheck shell=bash disable=SC2034  # the variables below are for the scripts that source this
# What the CI scripts share, sourced by each of them after it has changed to the checkout's root:
# the environments they make, the installs from Debian's packages, the check of a made folder's
# stamp, and how reports and pytest's exit status fail a run; and the CPython versions.

# The CPython versions that CI builds and tests, the one list of them that every script and the
# release read: a wheel of each for x86-64, as for the platforms that only cibuildwheel builds
# (.ci/cibuildwheel.sh checks pyproject.toml's selection and classifiers against it). The host has
# host_versions (pythonX.Y on PATH); the wheels of the others are built and tested in the Debian root
# (root_versions, below). Debian testing packages debian_versions: the Debian root holds each one's
# debug build, and their arm64 packages give the aarch64 wheels (.ci/aarch64.sh).
versions=(3.12 3.13 3.14 3.15)
host_versions=(3.12 3.13)
debian_versions=(3.13 3.14 3.15)
root_versions=()
for _version in "${versions[@]}"; do
    [[ " ${host_versions[*]} " == *" $_version "* ]] || root_versions+=("$_version")
done
unset _version

# The Debian suite that the Debian root and the arm64 folder take their packages from, the Debian
# root's folder (.ci/debian-root.sh makes it; .ci/aarch64.sh runs its native interpreters) and the
# stamp file in it that holds the recipe it was made from, written once it is complete.
debian_suite=${FERROVANE_DEBIAN_SUITE:-testing}
debian_root=${FERROVANE_DEBIAN_ROOT:-/var/tmp/ferrovane-debian-$debian_suite}
debian_root_stamp=etc/ferrovane-root

# pytest's options that leave out the tests of Python code alone (the check command, the docs'
# examples, the stand-ins, the packaging checks, mypy's check of the type stub), for the runs whose
# checks see only what reaches the module's C code and where Python code runs slower: memcheck
# (.ci/valgrind.sh), the sanitizers (.ci/sanitize.sh) and the debug builds (.ci/run). The module's
# paths that those tests reach are those of the tests that run; each release build runs them all.
python_only_tests=(--ignore=tests/test_check.py --ignore=tests/test_docs.py --ignore=tests/test_standins.py
    --ignore=tests/test_packaging.py --deselect=tests/test_module.py::test_stub_matches_the_module)

# The wheel tag of CPython version $1 (3.14: cp314).
cp_tag() {
    echo "cp${1/./}"
}

# Makes a fresh virtual environment of interpreter $1 in folder $2, with the latest pip, the
# stand-ins and the project $3 (a folder, or a wheel) with its test extras: the README's test
# command, or a wheel's. Further arguments are pip's options for the project's install alone (a
# build's config settings), which then is a second install after the stand-ins'.
suite_venv() {
    local python=$1 venv=$2 project=$3
    shift 3
    rm -rf "$venv"
    "$python" -m venv "$venv"
    "$venv/bin/pip" install -q --upgrade pip
    if [ $# -eq 0 ]; then
        "$venv/bin/pip" install -q ./standins "${project}[test]"
    else
        "$venv/bin/pip" install -q ./standins
        "$venv/bin/pip" install -q "${project}[test]" "$@"
    fi
}

# uv reads neither pip's configuration files nor its variables: exports the same CA bundle, index and
# local wheels as pip's, where those are given in the environment, for the uv commands that follow;
# an interpreter that is not found fails them instead of being downloaded.
uv_settings() {
    export UV_PYTHON_DOWNLOADS=never
    [ -z "${PIP_CERT:-}" ] || export SSL_CERT_FILE=${SSL_CERT_FILE:-$PIP_CERT}
    [ -z "${PIP_INDEX_URL:-}" ] || export UV_DEFAULT_INDEX=${UV_DEFAULT_INDEX:-$PIP_INDEX_URL}
    [ -z "${PIP_FIND_LINKS:-}" ] || export UV_FIND_LINKS=${UV_FIND_LINKS:-$PIP_FIND_LINKS}
}

# suite_venv's environment (the same arguments, the same packages, pip among them) made by uv, the
# executable that FERROVANE_UV names, or by suite_venv itself where it names none. For the runs that
# check the module rather than the README's command (memcheck, the sanitizers, the debug builds):
# uv installs natively what pip, run by the interpreter under test, takes a minute or more for (on
# a debug build, 90 s against 25 s). The checkout's two projects are built afresh each time
# (uv would otherwise reuse a build of a folder whose pyproject.toml has not changed).
quick_venv() {
    if [ -z "${FERROVANE_UV:-}" ]; then
        suite_venv "$@"
        return
    fi
    local python=$1 venv=$2 project=$3 uv=$FERROVANE_UV
    shift 3
    uv_settings
    rm -rf "$venv"
    "$uv" venv -q --seed --python "$(command -v "$python")" "$venv"
    local install=("$uv" pip install -q --python "$venv/bin/python" --refresh-package ferrovane-standins
        --refresh-package ferrovane-cairn-login)
    "${install[@]}" ./standins
    "${install[@]}" "${project}[test]" "$@"
}

# Makes a fresh virtual environment of the host's python in folder $1, with the latest pip and the
# packages (or pip's options, such as -r FILE) after $1 at the versions that the release pins.
tool_venv() {
    local venv=$1
    shift
    rm -rf "$venv"
    python -m venv "$venv"
    "$venv/bin/pip" install -q --upgrade pip
    "$venv/bin/pip" install -q -c .ci/release-tools.txt "$@"
}

# Installs, from Debian's packages, whatever the host lacks of the commands given, each as COMMAND
# or COMMAND=PACKAGE (where the package is named otherwise). Other parts of CI may be installing
# at the same time: apt-get waits for the package lock instead of failing on it.
apt_install() {
    local wanted missing=()
    for wanted in "$@"; do
        command -v "${wanted%%=*}" >/dev/null || missing+=("${wanted#*=}")
    done
    if [ "${#missing[@]}" -eq 0 ]; then
        return 0
    fi
    if [ "$(id -u)" -ne 0 ]; then
        echo "apt_install: ${missing[*]} missing, and installing needs root" >&2
        return 1
    fi
    apt-get -o DPkg::Lock::Timeout=300 update -qq
    DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=300 install -y -qq \
        --no-install-recommends "${missing[@]}" >/dev/null
}

# Whether the folder that stamp file $1 belongs to was made from recipe $2 (the stamp holds it) no
# more than FERROVANE_ROOT_MAX_DAYS days ago (default 7).
fresh_enough() {
    [ -f "$1" ] && [ "$(cat "$1")" = "$2" ] &&
        [ -z "$(find "$1" -mtime "+${FERROVANE_ROOT_MAX_DAYS:-7}")" ]
}

# Shows each non-empty file among those after $1 on standard error, under the name $1, and fails
# when there was one: a checker's reports (one file per process), which must all be empty.
show_reports() {
    local who=$1 report found=0
    shift
    for report in "$@"; do
        [ -s "$report" ] || continue
        found=1
        echo "$who: report $report:" >&2
        cat "$report" >&2
    done
    return "$found"
}

# Returns pytest's exit status $1 as CI takes it, under the name $2: 5 (no tests collected) is a
# failure of the suite's own making, not a pass.
pytest_status() {
    local rc=$1 who=$2
    if [ "$rc" -eq 5 ]; then
        echo "$who: pytest collected no tests" >&2
        return 1
    fi
    if [ "$rc" -ne 0 ]; then
        echo "$who: pytest exited with status $rc" >&2
    fi
    return "$rc"
}
