#!/usr/bin/env bash
# The Windows release archive, what a Windows developer downloads, made from
# the x64 (Wine stage) and x86 (i686 stage) MinGW builds:
#
#   YonderNetC-VERSION-windows/
#     README-Windows.md   the Windows section of docs/bindings.md
#     LICENSE             the project's licence, when the tree has one
#     include/            YNet2.h and the headers it includes, ynet.h, ynet.hpp
#     x64/, x86/          YonderNetC.dll, YonderNetC.lib (MSVC-style linkers),
#                         libYonderNetC.dll.a (MinGW-w64)
#     dotnet/             YonderNet.cs
#     python/             the module (ynet/) and the wheels carrying each DLL
#
#   windows-archive.sh X64_BUILD X86_BUILD OUT_DIR    writes OUT_DIR/NAME and OUT_DIR/NAME.zip
#   windows-archive.sh --check ZIP                    lists ZIP and fails when an entry is missing
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
version=$(sed -n 's/^project(YonderNetC VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
name=YonderNetC-$version-windows
python=/usr/bin/python3

# The entries every archive holds, beside what include/ needs (the check
# compiles against it).
expected() {
    local arch module
    echo README-Windows.md include/YNet2.h include/ynet.h include/ynet.hpp dotnet/YonderNet.cs
    for arch in x64 x86; do
        echo "$arch/YonderNetC.dll $arch/YonderNetC.lib $arch/libYonderNetC.dll.a"
    done
    for module in __init__.py _native.py _client.py _aio.py py.typed; do
        echo "python/ynet/$module"
    done
    echo "python/ynet-$version-py3-none-win_amd64.whl python/ynet-$version-py3-none-win32.whl"
    if [ -f "$root/LICENSE" ]; then echo LICENSE; fi
}

check() { # zip
    local zip=$1 listing entry missing=()
    listing=$("$python" -c 'import sys, zipfile; print("\n".join(zipfile.ZipFile(sys.argv[1]).namelist()))' "$zip")
    echo "$listing" | sed "s|^$name/||" | grep -v '/$' | sort | paste -sd' ' - | sed "s|^|$(basename "$zip"): |"
    for entry in $(expected); do
        grep -qxF "$name/$entry" <<<"$listing" || missing+=("$entry")
    done
    if [ ${#missing[@]} -gt 0 ]; then
        echo "windows-archive.sh: $zip lacks: ${missing[*]}" >&2
        exit 1
    fi
}

if [ "${1:-}" = --check ]; then
    check "${2:?usage: windows-archive.sh --check ZIP}"
    exit 0
fi

x64=${1:?usage: windows-archive.sh X64_BUILD X86_BUILD OUT_DIR}
x86=${2:?usage: windows-archive.sh X64_BUILD X86_BUILD OUT_DIR}
out=${3:?usage: windows-archive.sh X64_BUILD X86_BUILD OUT_DIR}
tree=$out/$name
rm -rf "$tree" "$tree.zip" "$out/prefix-x64" "$out/prefix-x86"
mkdir -p "$tree/dotnet" "$tree/python"
for arch in x64 x86; do
    build=$x64
    [ "$arch" = x86 ] && build=$x86
    cmake --install "$build" --prefix "$out/prefix-$arch" >"$out/install-$arch.log"
    mkdir -p "$tree/$arch"
    cp "$out/prefix-$arch/bin/YonderNetC.dll" "$out/prefix-$arch/lib/YonderNetC.lib" \
        "$out/prefix-$arch/lib/libYonderNetC.dll.a" "$tree/$arch/"
done
# The DLLs as shipped: without their debugging sections.
x86_64-w64-mingw32-strip --strip-debug "$tree/x64/YonderNetC.dll"
i686-w64-mingw32-strip --strip-debug "$tree/x86/YonderNetC.dll"
cp -r "$out/prefix-x64/include/YNet2" "$tree/include"
cp "$root/dotnet/YonderNet.cs" "$tree/dotnet/"
cp -r "$root/python/ynet" "$tree/python/"
rm -rf "$tree/python/ynet/__pycache__"
if [ -f "$root/LICENSE" ]; then cp "$root/LICENSE" "$tree/"; fi
sed -n '/^<!-- windows-archive: begin -->$/,/^<!-- windows-archive: end -->$/p' "$root/docs/bindings.md" |
    sed '1d;$d' >"$tree/README-Windows.md"
[ -s "$tree/README-Windows.md" ] || { echo "windows-archive.sh: docs/bindings.md has no Windows section" >&2 && exit 1; }

# The wheels: the module with the DLL of each architecture.
for arch in x64 x86; do
    platform=win_amd64
    [ "$arch" = x86 ] && platform=win32
    (cd "$root" && YNET_WHEEL_LIBRARY=$tree/$arch/YonderNetC.dll YNET_WHEEL_PLATFORM=$platform \
        "$python" -m pip wheel -q --no-build-isolation --no-deps --no-index -w "$tree/python" ./python) \
        >"$out/wheel-$arch.log" 2>&1 || {
        cat "$out/wheel-$arch.log" >&2
        exit 1
    }
    "$python" "$root/python/tests/wheel_check.py" "$tree/python/ynet-$version-py3-none-$platform.whl" \
        ynet/YonderNetC.dll >/dev/null
done

(cd "$out" && "$python" -c '
import os, sys, zipfile
with zipfile.ZipFile(sys.argv[1] + ".zip", "w", zipfile.ZIP_DEFLATED) as archive:
    for folder, _, files in sorted(os.walk(sys.argv[1])):
        for name in sorted(files):
            archive.write(os.path.join(folder, name))
' "$name")
check "$tree.zip"
