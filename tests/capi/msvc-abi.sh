#!/usr/bin/env bash
# Builds tests/capi/ynet-c-echo.c as a Windows program of the MSVC ABI, not
# MinGW's: clang for the *-pc-windows-msvc target, no C runtime (its own
# entry point, Win32 declared in the source), linked by lld-link against
# YonderNetC.lib and a KERNEL32 import library made here. Then checks the
# program's import table: YonderNetC.dll by the C names of ynet.h,
# KERNEL32.dll, and nothing else (no MinGW or C runtime DLL).
#
#   msvc-abi.sh x86_64|i686 BUILD_DIR [LIB_DIR INCLUDE_DIR]
# Writes BUILD_DIR/ynet-c-echo-msvc.exe, linked against LIB_DIR/YonderNetC.lib
# (default: BUILD_DIR's) and compiled with INCLUDE_DIR/ynet.h (default: the
# tree's), e.g. those of the Windows release archive.
set -euo pipefail

arch=${1:?usage: msvc-abi.sh x86_64|i686 BUILD_DIR}
build=${2:?usage: msvc-abi.sh x86_64|i686 BUILD_DIR}
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/../.." && pwd)
lib=${3:-$build}
include=${4:-$root/include}
work=$build/msvc-abi
mkdir -p "$work"
case $arch in
x86_64) target=x86_64-pc-windows-msvc machine=x64 dllmachine=i386:x86-64 ;;
i686) target=i686-pc-windows-msvc machine=x86 dllmachine=i386 ;;
*) echo "msvc-abi.sh: unknown architecture $arch" >&2 && exit 2 ;;
esac
[ -f "$lib/YonderNetC.lib" ] || { echo "msvc-abi.sh: no $lib/YonderNetC.lib" >&2 && exit 1; }

if [ "$arch" = x86_64 ]; then
    sed 's/@[0-9]*$//' "$here/kernel32.def" >"$work/kernel32.def" # no decoration on x64
else
    cp "$here/kernel32.def" "$work/kernel32.def"
fi
llvm-dlltool -m "$dllmachine" -k -d "$work/kernel32.def" -l "$work/kernel32.lib"
clang-14 --target="$target" -std=c99 -ffreestanding -fno-builtin -fno-stack-protector -O2 \
    -Wall -Wextra -Werror -DYNET_NO_CRT -I "$include" -c "$here/ynet-c-echo.c" -o "$work/ynet-c-echo.obj"
lld-link /nologo /machine:"$machine" /subsystem:console /entry:Start /nodefaultlib \
    /out:"$build/ynet-c-echo-msvc.exe" "$work/ynet-c-echo.obj" "$lib/YonderNetC.lib" "$work/kernel32.lib"

# The import table: DLL names, and the functions taken from YonderNetC.dll.
llvm-readobj --coff-imports "$build/ynet-c-echo-msvc.exe" >"$work/imports.txt"
dlls=$(sed -n 's/^ *Name: \(.*\.dll\)$/\1/Ip' "$work/imports.txt" | sort -u | paste -sd' ' -)
[ "$dlls" = "KERNEL32.dll YonderNetC.dll" ] || {
    echo "msvc-abi.sh: the program imports from '$dlls', not exactly KERNEL32.dll and YonderNetC.dll" >&2
    exit 1
}
ynet=$(awk '/Name: YonderNetC.dll/ {on = 1; next} /^}/ {on = 0} on && /Symbol:/ {print $2}' "$work/imports.txt" |
    sort -u)
declared=$(grep -o 'YNET_CALL ynet_[a-z_0-9]*(' "$root/include/ynet.h" | sed 's/YNET_CALL //; s/($//' | sort -u)
stray=$(comm -23 <(echo "$ynet") <(echo "$declared"))
if [ -z "$ynet" ] || [ -n "$stray" ]; then
    echo "msvc-abi.sh: YonderNetC.dll imports that are not C functions of ynet.h: '${stray:-none at all}'" >&2
    exit 1
fi
echo "ynet-c-echo-msvc.exe ($target, lld-link): imports $dlls; $(echo "$ynet" | wc -l) C functions of YonderNetC.dll"
