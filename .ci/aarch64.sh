#!/usr/bin/env bash
# Linux on aarch64 without an aarch64 machine: Debian's arm64 interpreters run under qemu-aarch64
# (user-mode emulation: no root filesystem to enter, no binfmt registration), and the module is
# cross-compiled for them by Debian's g++-aarch64-linux-gnu (cmake/aarch64-linux-gnu.cmake).
#
#   prepare                 installs qemu-user and the cross compiler on the host if missing, and
#                           makes (or reuses) the arm64 userland: Debian testing's python3.X-dev and
#                           python3.X-venv of each of debian_versions (.ci/lib.sh) with what they
#                           depend on, unpacked into a folder of its own (debootstrap --foreign
#                           downloads and resolves them; nothing in it is configured or run natively);
#   host-tools              only the host's part of prepare (.ci/run installs it before anything
#                           else starts, so that no two installs meet);
#   python VERSION          prints the path of that version's interpreter, run under emulation;
#   build VERSION SDIST DIR that version's wheel, built from SDIST into DIR by .ci/wheel.sh build
#                           with that interpreter and the toolchain file (.ci/release.sh runs it);
#   test WHEEL... [-- pytest args]
#                           each aarch64 wheel tested as .ci/wheel.sh tests every wheel, on the
#                           interpreter of its own version under emulation, running the suite's
#                           emulated subset (below) instead of the whole suite.
#
# The interpreter of version X is the script FOLDER/usr/bin/python3.X-emulated: it runs
# qemu-aarch64 -L FOLDER on FOLDER/usr/bin/python3.X with its own path as argv[0], which the
# interpreter takes as sys.executable. A virtual environment made from it links to that script, and
# a child interpreter started from sys.executable (as the tests start them) runs under emulation too;
# every other program (the shell, the agent tool, cmake and the compiler in the tests that build
# extensions) runs natively.
#
# The emulated subset. Python code runs about 200 times slower under emulation and each interpreter
# takes a second or more to start, so the whole suite does not fit; what an architecture can break does:
# the signedness of char, type sizes and alignment, varargs calls (PyOS_snprintf,
# PyUnicode_FromFormat) and the calling convention at each C-API call. Every call of the module's
# code is covered by:
#   tests/test_chain.py       the credential chain and the agent query with fakes;
#   tests/test_module.py      the module object, its import rules (child interpreters), the function
#                             object, its call checks and traceback entries, the version check
#                             (a cross-built variant of the module);
#   tests/test_builtin.py     the function as the standard library's tools see it, and callees that
#                             break the calling convention (the test-only extension, cross-built);
#   tests/test_properties.py  the properties, with the "emulated" profile's fewer examples (20).
# pytest runs with --assert=plain: rewriting the test modules' asserts takes about a minute per
# interpreter under emulation; a failure there shows the failing assert without the values compared
# (run the test on the host, or here with --assert=rewrite, for those).
# Left out: tests/test_leaks.py and tests/test_threads.py (thousands of calls or thread switches
# per test, minutes each under emulation; the code paths are those of the files above),
# tests/test_packaging.py (installs and type-checks the wheel, nothing architecture-specific; the
# wheel's contents are checked by auditwheel and twine), tests/test_standins.py (pure Python),
# tests/test_lifecycle.py (restarts the runtime in an embedding program, which the host's compiler
# cannot build for arm64; nothing there depends on the architecture beyond what the files above
# reach) and, of tests/test_module.py, the check of the type stub against the module (mypy reads
# names and signatures; 40 s under emulation), the code object's runs in child interpreters (the
# interpreter reading bytes that the module wrote, the same on every architecture; 16 s) and the
# call loops through wrappers (the direct loop, which runs, checks the module's own stack use per
# level; each loop takes about 9 s there). The direct loop and the version check (11 s and 21 s
# there, alone, at commit 42206a8) run with the last wheel given only ("once" below).
#
# Settings: FERROVANE_AARCH64_ROOT (default /var/tmp/ferrovane-aarch64-<suite>),
#           FERROVANE_DEBIAN_SUITE (default testing), FERROVANE_ROOT_MAX_DAYS (default 7).
# Usage (from anywhere, as root for prepare): bash .ci/aarch64.sh prepare|host-tools|python|build|test ...
set -euo pipefail
cd "$(dirname "$0")/.."
. .ci/lib.sh

subset=(tests/test_chain.py tests/test_module.py tests/test_builtin.py tests/test_properties.py
    --deselect tests/test_module.py::test_stub_matches_the_module
    --deselect tests/test_module.py::test_code_object_runs_safely
    --deselect "tests/test_module.py::test_call_loop_without_python_frames[functools.partial(login.init_daz)]"
    --deselect "tests/test_module.py::test_call_loop_without_python_frames[functools.partial(operator.call, login.init_daz)]")
# The costliest tests of the subset, a module built by the test or a long loop each, run with the
# last wheel given alone: the same code of the module, compiled for the same architecture.
once=(--deselect tests/test_module.py::test_call_loop_without_python_frames
    --deselect tests/test_module.py::test_version_check)
suite=$debian_suite
root=${FERROVANE_AARCH64_ROOT:-/var/tmp/ferrovane-aarch64-$suite}
packages=()
for v in "${debian_versions[@]}"; do
    packages+=("python$v-dev" "python$v-venv")
done
recipe="suite=$suite arch=arm64 compiled packages=${packages[*]}"
stamp=etc/ferrovane-aarch64

usage() {
    echo "usage: $0 prepare | $0 host-tools | $0 python VERSION | $0 build VERSION SDIST DIR" \
        "| $0 test WHEEL... [-- pytest arguments]" >&2
    exit 2
}

host_tools() {
    apt_install debootstrap qemu-aarch64=qemu-user aarch64-linux-gnu-g++=g++-aarch64-linux-gnu
}

# The arm64 userland in $1: debootstrap's first stage resolves the packages and downloads them for
# arm64, and every downloaded package is unpacked as it is (maintainer scripts need an arm64 machine).
make_userland() {
    local new=$1 deb
    rm -rf "$new"
    if ! debootstrap --arch=arm64 --foreign --variant=minbase \
            --include="$(IFS=,; echo "${packages[*]}")" "$suite" "$new" > "$root.log" 2>&1; then
        tail -n 30 "$root.log" >&2
        echo "aarch64: debootstrap failed (full log: $root.log)" >&2
        exit 1
    fi
    for deb in "$new"/var/cache/apt/archives/*.deb; do
        dpkg-deb -x "$deb" "$new"
    done
    rm -f "$new"/var/cache/apt/archives/*.deb
    for v in "${debian_versions[@]}"; do
        # qemu's -L serves the folder's files for most system calls that take a path, not for
        # listxattr, which copying a file with shutil.copy2 calls: ensurepip would fail to copy
        # Debian's bundled pip from /usr/share/python-wheels. The folder's own path works for all.
        sed -i "s|'WHEEL_PKG_DIR': '/usr/share/python-wheels/'|'WHEEL_PKG_DIR': '$root/usr/share/python-wheels/'|" \
            "$new/usr/lib/python$v"/_sysconfigdata_*.py
        cat > "$new/usr/bin/python$v-emulated" <<EOF
#!/bin/sh
# The arm64 python$v beside this script, under qemu-aarch64, with the path it was started as
# (this script, or a virtual environment's link to it) as its argv[0] and so its sys.executable.
here=\$(dirname "\$(readlink -f "\$0")")
exec qemu-aarch64 -L "\${here%/usr/bin}" -0 "\$0" "\$here/python$v" "\$@"
EOF
        chmod +x "$new/usr/bin/python$v-emulated"
        # The interpreters' multiarch headers alone (cmake/aarch64-linux-gnu.cmake says why).
        mkdir -p "$new/opt/ferrovane/include/aarch64-linux-gnu"
        ln -s "../../../../usr/include/aarch64-linux-gnu/python$v" \
            "$new/opt/ferrovane/include/aarch64-linux-gnu/python$v"
        # Debian compiles the standard library when the package is configured, which it is not
        # here; compiled once (under emulation, about a minute), it spares every interpreter start
        # the compiling of what it imports, which under emulation takes most of the time.
        "$new/usr/bin/python$v-emulated" -m compileall -q -j 0 "$new/usr/lib/python$v" > /dev/null
    done
}

prepare() {
    if [ "$(id -u)" -ne 0 ]; then
        echo "aarch64: prepare needs root (apt-get, debootstrap)" >&2
        exit 1
    fi
    host_tools
    mkdir -p "$(dirname "$root")"
    exec 9>"$root.lock"
    flock 9
    if fresh_enough "$root/$stamp" "$recipe"; then
        echo "aarch64: reusing $root ($suite, arm64)"
    else
        echo "aarch64: making $root ($suite, arm64: ${packages[*]})"
        local started=$SECONDS
        # The folder's own path is written into it (the sysconfig data above): made in place.
        rm -rf "$root"
        make_userland "$root"
        echo "$recipe" > "$root/$stamp"
        echo "aarch64: made in $((SECONDS - started)) s"
    fi
    for v in "${debian_versions[@]}"; do
        echo "aarch64: $("$root/usr/bin/python$v-emulated" -c 'import platform, sys
print(sys.version.split()[0], platform.machine())')"
    done
    flock -u 9
}

# The path of version $1's emulated interpreter.
interpreter() {
    if [[ ! " ${debian_versions[*]} " == *" $1 "* ]]; then
        echo "aarch64: no arm64 interpreter $1 (there are ${debian_versions[*]})" >&2
        exit 2
    fi
    if ! fresh_enough "$root/$stamp" "$recipe"; then
        echo "aarch64: $root is missing or stale; run: bash .ci/aarch64.sh prepare" >&2
        exit 1
    fi
    echo "$root/usr/bin/python$1-emulated"
}

# The environment that builds and tests aarch64 wheels: the toolchain file, the folder, and uv
# (from the environment $FERROVANE_TOOLS, or installed into a new one), which makes environments
# and installs into them natively, where pip, run under emulation, takes minutes for each.
export FERROVANE_AARCH64_ROOT=$root
export CMAKE_TOOLCHAIN_FILE=$PWD/cmake/aarch64-linux-gnu.cmake
# What the environments' interpreters import is compiled once and kept: compiling it under
# emulation costs more than running it.
unset PYTHONDONTWRITEBYTECODE
use_uv() {
    if [ -z "${FERROVANE_UV:-}" ]; then
        local tools=${FERROVANE_TOOLS:-.venv-aarch64}
        if [ ! -x "$tools/bin/uv" ]; then
            tool_venv "$tools" uv
        fi
        FERROVANE_UV=$(realpath "$tools/bin/uv")
    fi
    export FERROVANE_UV
}

# A native (x86-64) interpreter of version $1, written as a script into folder $2 and its path
# printed, or nothing: the Debian root's (.ci/debian-root.sh), run by the root's own dynamic loader
# on the root's libraries, without entering it. wheel.sh compiles the test environments' bytecode
# with it, which then is the same as the emulated interpreter's own.
native_python() {
    local droot=$debian_root
    local loader=$droot/lib64/ld-linux-x86-64.so.2 lib=x86_64-linux-gnu
    if [ -f "$droot/$debian_root_stamp" ] && [ -x "$loader" ] && [ -x "$droot/usr/bin/python$1" ]; then
        cat > "$2/python$1-native" <<EOF
#!/bin/sh
exec "$loader" --library-path "$droot/lib/$lib:$droot/usr/lib/$lib" "$droot/usr/bin/python$1" "\$@"
EOF
        chmod +x "$2/python$1-native"
        if [ "$("$2/python$1-native" -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null)" = "$1" ]; then
            echo "$2/python$1-native"
        fi
    fi
}

mode=${1:-}
shift || true
case "$mode" in
    prepare)
        prepare
        ;;
    host-tools)
        host_tools
        ;;
    python)
        [ $# -eq 1 ] || usage
        interpreter "$1"
        ;;
    build)
        # build VERSION SDIST DIR: the wheel for that version, through .ci/wheel.sh build.
        [ $# -eq 3 ] || usage
        python=$(interpreter "$1")
        use_uv
        natives=$(mktemp -d)
        trap 'rm -rf "$natives"' EXIT
        FERROVANE_NATIVE_PYTHON=$(native_python "$1" "$natives") FERROVANE_BACKEND_PLATFORM=aarch64-manylinux_2_17 \
            bash .ci/wheel.sh build "$python" "$2" "$3"
        ;;
    test)
        wheels=()
        while [ $# -gt 0 ] && [ "$1" != -- ]; do
            wheels+=("$1")
            shift
        done
        [ $# -eq 0 ] || shift
        [ "${#wheels[@]}" -gt 0 ] || usage
        use_uv
        natives=$(mktemp -d)
        trap 'rm -rf "$natives"' EXIT
        rc=0
        for wheel in "${wheels[@]}"; do
            tag=$(basename "$wheel" | cut -d- -f3)  # cp314
            if [[ "$(basename "$wheel")" != *aarch64.whl ]]; then
                echo "aarch64: $wheel is not an aarch64 wheel" >&2
                exit 2
            fi
            python=$(interpreter "${tag:2:1}.${tag:3}")
            started=$SECONDS
            skipped=()
            [ "$wheel" = "${wheels[-1]}" ] || skipped=("${once[@]}")
            FERROVANE_NATIVE_PYTHON=$(native_python "${tag:2:1}.${tag:3}" "$natives") \
                bash .ci/wheel.sh test "$python" "$wheel" --hypothesis-profile=emulated --assert=plain \
                "${subset[@]}" "${skipped[@]}" "$@" ||
                rc=1
            echo "aarch64: $(basename "$wheel") tested under emulation in $((SECONDS - started)) s"
        done
        exit "$rc"
        ;;
    *)
        usage
        ;;
esac
