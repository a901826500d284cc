#!/usr/bin/env bash
# The hardening of the module in each wheel, as Debian's hardening-check (from devscripts) reads it:
# the stack protector (__stack_chk_fail), full RELRO and BIND_NOW are required of every module, x86-64
# and aarch64 alike (hardening-check reads both through readelf). Reported and not required:
#   - Fortify Source: CMakeLists.txt compiles with _FORTIFY_SOURCE=3, but the module's calls into
#     libc that have checked variants (memmove, and with newer compilers memcpy and memset) are the
#     compiler's own renderings of loops and copies of objects, over memory whose size it cannot
#     know (the traceback cache's heap array), so no __*_chk variant is chosen and the checker finds
#     "only unprotected functions";
#   - control flow: the code is compiled with -fcf-protection (x86-64) or -mbranch-protection=standard
#     (aarch64), but the linker marks the module only if every object linked in is marked, and the C
#     runtime's start files are not (glibc's crti.o and crtn.o, on the host's 2.36 and Debian testing's
#     2.43 alike; on aarch64 GCC's crtbeginS.o too); hardening-check also knows x86-64 only. The
#     module's GNU property note and the count of the instructions that the compiler placed
#     (endbr64 on x86-64; paciasp, autiasp, bti on aarch64) are printed for each wheel instead.
#
# Usage (from anywhere): bash .ci/hardening.sh prepare    (as root: installs devscripts when missing)
#                        bash .ci/hardening.sh WHEEL...
set -euo pipefail
cd "$(dirname "$0")/.."
. .ci/lib.sh

if [ "${1:-}" = prepare ]; then
    apt_install hardening-check=devscripts
    echo "hardening: $(command -v hardening-check) (devscripts $(dpkg-query -W -f '${Version}' devscripts))"
    exit 0
fi
if [ $# -eq 0 ]; then
    echo "usage: $0 prepare | $0 WHEEL..." >&2
    exit 2
fi
if ! command -v hardening-check > /dev/null; then
    echo "hardening: hardening-check is missing: run bash .ci/hardening.sh prepare (as root)" >&2
    exit 1
fi

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
status=0
for wheel in "$@"; do
    out=$scratch/$(basename "$wheel" .whl)
    mkdir -p "$out"
    python3 -m zipfile -e "$wheel" "$out"
    mapfile -t modules < <(find "$out" -name 'login*.so')
    if [ "${#modules[@]}" -ne 1 ]; then
        echo "hardening: $wheel holds ${#modules[@]} modules, not one" >&2
        status=1
        continue
    fi
    echo "== $(basename "$wheel")"
    # objdump, which the control-flow check runs, cannot disassemble aarch64 here: its complaint is
    # left out, the result stays.
    hardening-check --nofortify --nocfprotection "${modules[0]}" 2>&1 |
        grep -v -e "can't disassemble" -e '^$' | sed "s|^${out}/||" || status=1
    note=$(readelf -n "${modules[0]}" | sed -n 's/^ *Properties: *//p')
    echo " GNU property note: ${note:-none}"
    # The control-flow instructions that the compiler placed, which the note would vouch for.
    case "$(readelf -h "${modules[0]}" | sed -n 's/^ *Machine: *//p')" in
        *X86-64*) objdump=objdump pattern='endbr64' ;;
        *AArch64*) objdump=aarch64-linux-gnu-objdump pattern='paciasp|autiasp|bti' ;;
        *) objdump='' ;;
    esac
    if [ -n "$objdump" ] && command -v "$objdump" > /dev/null; then
        count=$("$objdump" -d "${modules[0]}" | grep -cE "\s($pattern)\b" || true)
        echo " control-flow instructions ($pattern): $count"
    fi
done
if [ "$status" -ne 0 ]; then
    echo "hardening: a module lacks a required hardening feature (above)" >&2
fi
exit "$status"
