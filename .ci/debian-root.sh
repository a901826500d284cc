#!/usr/bin/env bash
# The test suite on an interpreter that the host does not have, from Debian's own packages: makes a
# Debian root (debootstrap, minimal variant, default mirror) with a C/C++ compiler, CMake and the
# interpreters below, or reuses the one made by an earlier run, then runs the README's test command
# for the version given, in a fresh copy of this checkout and a fresh virtual environment inside
# the root (made by uv where FERROVANE_UV names its executable, as .ci/run does for the debug
# builds: quick_venv in .ci/lib.sh). The module is built with warnings as errors, as in the rest of CI.
#
# The root lives outside the checkout, so fresh clones share it; it is made again when the package
# list or the suite changes or when it is older than FERROVANE_ROOT_MAX_DAYS days. A lock file
# keeps two runs from making the root at once or from unmounting /proc under each other.
#
# Usage (from anywhere, as root): bash .ci/debian-root.sh VERSION [pytest args]  (3.14, 3.15d ...:
#                                the usage message lists them)
#                                bash .ci/debian-root.sh prepare   (only make or check the root)
#                                bash .ci/debian-root.sh exec DIR SCRIPT [args]
# exec runs `bash SCRIPT args` in the fresh copy of the checkout inside the root instead of the suite
# (SCRIPT relative to the checkout), with the contents of the host's folder DIR copied to /srv/share
# before and what is in /srv/share then copied back into DIR after: files handed in and out.
# Settings: FERROVANE_DEBIAN_SUITE (default testing; unstable carries newer point releases),
#           FERROVANE_DEBIAN_ROOT (default /var/tmp/ferrovane-debian-<suite>),
#           FERROVANE_ROOT_MAX_DAYS (default 7).
set -euo pipefail
cd "$(dirname "$0")/.."
. .ci/lib.sh
checkout=$PWD

# The interpreters run here (the versions are in .ci/lib.sh): the release builds that the host lacks
# and the debug builds (pythonX.Yd) of every version taken from Debian.
runs=("${root_versions[@]}" "${debian_versions[@]/%/d}")
version=${1:-}
if [ "$version" = exec ] && [ $# -ge 3 ]; then
    share=$(realpath "$2")
    shift
elif [[ ! " ${runs[*]} prepare " == *" $version "* ]]; then
    echo "usage: $0 $(IFS='|'; echo "${runs[*]}") [pytest arguments] | $0 prepare" \
        "| $0 exec DIR SCRIPT [arguments]" >&2
    exit 2
fi
shift

suite=$debian_suite root=$debian_root

# The fixtures build variants of the module with CMake and the compiler; _testcapi, which the
# subinterpreter and error-path tests use, ships in Debian's libpythonX.Y-stdlib (not in the
# -testsuite package), named here so that the dependency is on record. The debug interpreters
# (pythonX.Yd, with their own headers and extension modules) come with pythonX.Y-dbg.
packages=(g++ make cmake)
for v in "${debian_versions[@]}"; do
    packages+=("python$v-dev" "python$v-venv" "libpython$v-stdlib" "python$v-dbg")
done
recipe="suite=$suite packages=${packages[*]}"
stamp=$debian_root_stamp

if [ "$(id -u)" -ne 0 ]; then
    echo "debian-root: needs root (debootstrap, chroot, mount)" >&2
    exit 1
fi

mkdir -p "$(dirname "$root")"
exec 9>"$root.lock"
flock 9

# Unmounts everything mounted below folder $1, deepest first.
unmount_below() {
    awk -v top="$1/" 'index($2, top) == 1 { print $2 }' /proc/self/mounts | sort -r |
        while read -r target; do
            umount "$target" || umount -l "$target"
        done
}
# Whatever happens from here on, /proc inside the root (and whatever debootstrap mounted in a root
# being made) is unmounted before the script ends.
release_mounts() {
    unmount_below "$root"
    unmount_below "$root.new"
}
trap release_mounts EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP
release_mounts  # left mounted by a run that was killed outright

if fresh_enough "$root/$stamp" "$recipe"; then
    echo "debian-root: reusing $root ($suite)"
else
    apt_install debootstrap
    echo "debian-root: making $root ($suite, ${packages[*]})"
    started=$SECONDS
    rm -rf "$root.new"
    if ! debootstrap --variant=minbase --include="$(IFS=,; echo "${packages[*]}")" \
            "$suite" "$root.new" > "$root.log" 2>&1; then
        tail -n 30 "$root.log" >&2
        echo "debian-root: debootstrap failed (full log: $root.log)" >&2
        exit 1
    fi
    echo "$recipe" > "$root.new/$stamp"
    rm -rf "$root"
    mv "$root.new" "$root"
    echo "debian-root: made in $((SECONDS - started)) s"
fi
if [ "$version" = prepare ]; then
    exit 0
fi

# pip inside reaches the package index as it does outside: the same resolver settings and the same
# CA bundle (which may hold a local authority that the root's own bundle lacks).
cp -L /etc/resolv.conf "$root/etc/resolv.conf"
ca=${PIP_CERT:-${SSL_CERT_FILE:-/etc/ssl/certs/ca-certificates.crt}}
mkdir -p "$root/etc/ssl/certs"
cp -L "$ca" "$root/etc/ssl/certs/ca-certificates.crt"
if [ -f /etc/pip.conf ]; then
    cp /etc/pip.conf "$root/etc/pip.conf"
fi
passed=()
for name in SOURCE_DATE_EPOCH PIP_INDEX_URL PIP_EXTRA_INDEX_URL PIP_TRUSTED_HOST PIP_DEFAULT_TIMEOUT \
        http_proxy https_proxy no_proxy HTTP_PROXY HTTPS_PROXY NO_PROXY; do
    if [ -n "${!name:-}" ]; then
        passed+=("$name=${!name}")
    fi
done

# The copy below has no git metadata, from which a build takes its version: the checkout's version,
# as setuptools-scm's own code (vcs-versioning, at its pin in .ci/release-tools.txt) reads it from git
# here, is handed in (exec builds from an sdist, which carries its version). The two packages that
# read it are kept beside the root, fetched by the first run that needs them.
if [ "$version" != exec ]; then
    pins=$(grep -E '^(vcs-versioning|packaging)==' .ci/release-tools.txt)
    scm=$root.$(echo $pins | tr ' =' '-_')
    if [ ! -d "$scm" ]; then
        rm -rf "$scm.new"
        python3 -m pip install -q --no-deps --no-compile --disable-pip-version-check \
            --root-user-action=ignore --target "$scm.new" $pins
        mv "$scm.new" "$scm"
    fi
    passed+=("SETUPTOOLS_SCM_PRETEND_VERSION_FOR_FERROVANE_CAIRN_LOGIN=$(PYTHONPATH=$scm python3 -m vcs_versioning)")
fi

# A fresh copy of the checkout (without environments, build output or git metadata).
work=/srv/ferrovane
rm -rf "${root:?}$work"
mkdir -p "$root$work"
tar -C "$checkout" --exclude=./.git --exclude='./.venv*' --exclude=./build --exclude=./dist \
    --exclude=__pycache__ --exclude=.pytest_cache --exclude=.hypothesis -cf - . |
    tar -C "$root$work" -xf -

if [ "$version" = exec ]; then
    rm -rf "$root/srv/share"
    cp -a "$share/." "$root/srv/share"
fi
# The uv executable that FERROVANE_UV names, where it names one, goes in beside the copy: the test
# environment (quick_venv in .ci/lib.sh) and the scripts that exec runs use it there.
rm -rf "$root/srv/ferrovane-uv"
if [ -n "${FERROVANE_UV:-}" ]; then
    mkdir -p "$root/srv/ferrovane-uv"
    cp "$FERROVANE_UV" "$root/srv/ferrovane-uv/uv"
    passed+=(FERROVANE_UV=/srv/ferrovane-uv/uv)
fi

mount -t proc proc "$root/proc"

rc=0
# shellcheck disable=SC2016  # the script below runs inside the root, expanding its own variables
chroot "$root" /usr/bin/env -i \
    HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 \
    TMPDIR=/tmp FERROVANE_WERROR=ON PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_ROOT_USER_ACTION=ignore \
    PIP_CERT=/etc/ssl/certs/ca-certificates.crt SSL_CERT_FILE=/etc/ssl/certs/ca-certificates.crt \
    REQUESTS_CA_BUNDLE=/etc/ssl/certs/ca-certificates.crt "${passed[@]}" \
    /bin/bash -euo pipefail -c '
        version=$1
        shift
        cd /srv/ferrovane
        if [ "$version" = exec ]; then
            exec bash "$@"
        fi
        echo "== test suite with $("python$version" --version) ($(. /etc/os-release; echo "$PRETTY_NAME"),"\
             "$(g++ --version | head -n 1), $(cmake --version | head -n 1)) in a Debian root"
        . .ci/lib.sh
        quick_venv "python$version" .venv .
        .venv/bin/python -m pytest -q "$@"
    ' debian-root "$version" "$@" || rc=$?
if [ "$version" = exec ]; then
    cp -a "$root/srv/share/." "$share"
    exit "$rc"
fi
pytest_status "$rc" debian-root
