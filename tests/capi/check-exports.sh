#!/usr/bin/env bash
# Every C function ynet.h declares must be, by the same name, in the .def
# file, exported by the 32-bit DLL under its plain name, and in both import
# libraries under the cdecl name a 32-bit linker looks for (_name, and
# __imp__name for dllimport): YonderNetC.lib (MSVC-style linkers) and
# libYonderNetC.dll.a (MinGW). Nothing more, nothing less.
#
#   check-exports.sh BUILD_DIR      (an i686 build: YonderNetC.dll and both import libraries)
set -euo pipefail

build=${1:?usage: check-exports.sh BUILD_DIR}
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
declared=$(grep -o 'YNET_CALL ynet_[a-z_0-9]*(' "$root/include/ynet.h" | sed 's/YNET_CALL //; s/($//' | sort -u)
[ -n "$declared" ] || { echo "check-exports.sh: ynet.h declares no function" >&2 && exit 1; }

# name, list: fails unless the list is exactly the declared functions.
same() {
    local diff
    diff=$(diff <(echo "$declared") <(echo "$2" | sort -u) | sed -n 's/^\([<>]\) /\1/p' | paste -sd' ' -) || true
    [ -z "$diff" ] || {
        echo "check-exports.sh: $1 differs from ynet.h (< only in ynet.h, > only there): $diff" >&2
        exit 1
    }
}
same client/ynet.def "$(sed -n '/^EXPORTS/,$p' "$root/client/ynet.def" | awk 'NF && $1 != "EXPORTS" && $1 !~ /^;/ {print $1}')"
same "YonderNetC.dll's exports" "$(i686-w64-mingw32-objdump -p "$build/YonderNetC.dll" |
    sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | sed -n 's/^[[:space:]]*\[ *[0-9]*\] \(ynet_[a-z_0-9]*\)$/\1/p')"
for lib in YonderNetC.lib libYonderNetC.dll.a; do
    symbols=$(llvm-nm "$build/$lib" 2>/dev/null | awk '$2 == "T" || $2 == "I" {print $3}')
    same "$lib (__imp__name)" "$(echo "$symbols" | sed -n 's/^__imp__\(ynet_[a-z_0-9]*\)$/\1/p')"
    same "$lib (_name)" "$(echo "$symbols" | sed -n 's/^_\(ynet_[a-z_0-9]*\)$/\1/p')"
done
echo "$(echo "$declared" | wc -l) C functions of ynet.h: in client/ynet.def, exported by plain name, as _name and __imp__name in YonderNetC.lib and libYonderNetC.dll.a"
