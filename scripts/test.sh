#!/usr/bin/env bash
# The whole test suite, in order; stops at the first failure.
#
#   scripts/test.sh            every stage
#   scripts/test.sh asan wine  only the named stages
#
# Stages: deps native asan tsan fuzz wine i686. Every stage prints one
# summary line; a stage that cannot run fails, it is never skipped quietly.
set -euo pipefail
shopt -s inherit_errexit

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${YNET_BUILD_ROOT:-$ROOT/build}
JOBS=${YNET_JOBS:-$(nproc)}
FUZZ_SECONDS=${YNET_FUZZ_SECONDS:-60}
export WINEDEBUG=-all
export WINEPREFIX=${WINEPREFIX:-${HOME:-/root}/.wine-ynet}
export CTEST_OUTPUT_ON_FAILURE=1

SUMMARY=()
say() { printf '\n==== %s\n' "$*"; }
stage_done() { SUMMARY+=("$(printf '%-7s ok   %4ss  %s' "$1" "$2" "$3")"); printf '==== %s ok (%ss): %s\n' "$1" "$2" "$3"; }
on_exit() {
    local rc=$?
    echo
    echo "==== summary"
    for line in "${SUMMARY[@]+"${SUMMARY[@]}"}"; do echo "$line"; done
    if [ $rc -ne 0 ]; then echo "FAILED in stage: ${CURRENT_STAGE:-setup} (exit $rc)"; fi
}
trap on_exit EXIT

PACKAGES=(cmake ninja-build g++ clang libclang-rt-14-dev pkg-config googletest libgtest-dev libbenchmark-dev
          g++-mingw-w64-x86-64 g++-mingw-w64-i686 wine64)

stage_deps() {
    local missing=()
    for p in "${PACKAGES[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    if [ ${#missing[@]} -gt 0 ]; then
        echo "installing: ${missing[*]}"
        export DEBIAN_FRONTEND=noninteractive
        apt-get update -qq
        apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
    fi
    echo "${#missing[@]} package(s) installed, ${#PACKAGES[@]} required"
}

configure_and_build() { # dir, cmake args... (the source is the project unless -S is given)
    local dir=$1; shift
    local source=(-S "$ROOT")
    [[ " $* " == *" -S "* ]] && source=()
    cmake "${source[@]}" -B "$dir" -G Ninja "$@" >/dev/null
    cmake --build "$dir" -j "$JOBS"
}

run_ctest() { # dir; ends with ctest's own count line
    local log=$1/ctest.log
    (cd "$1" && ctest -j "$JOBS" --timeout 900 >"$log" 2>&1) || { tail -n 60 "$log"; return 1; }
    grep -E 'tests passed|tests failed' "$log" | tail -n 1
}

stage_native() {
    local dir=$BUILD/native
    configure_and_build "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DYNET_BUILD_BENCH=ON
    local tests
    tests=$(run_ctest "$dir")
    echo "$tests"
    # The installed package must be usable by a plain consumer project,
    # through CMake's config package and through pkg-config.
    rm -rf "$dir/stage"
    cmake --install "$dir" --prefix "$dir/stage" >/dev/null
    configure_and_build "$dir/consumer" -DCMAKE_PREFIX_PATH="$dir/stage" -S "$ROOT/tests/package" \
        -DCMAKE_BUILD_TYPE=Release
    LD_LIBRARY_PATH="$dir/stage/lib" "$dir/consumer/package_consumer"
    PKG_CONFIG_PATH="$dir/stage/lib/pkgconfig" \
        g++ -std=c++20 -o "$dir/consumer/pc_consumer" "$ROOT/tests/package/consumer.cpp" \
        $(PKG_CONFIG_PATH="$dir/stage/lib/pkgconfig" pkg-config --cflags --libs YonderNetC)
    LD_LIBRARY_PATH="$dir/stage/lib" "$dir/consumer/pc_consumer"
    echo "$tests; the installed package builds with find_package and pkg-config"
}

stage_asan() {
    local dir=$BUILD/asan
    configure_and_build "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DYNET_SANITIZE=address,undefined
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 run_ctest "$dir"
}

stage_tsan() {
    local dir=$BUILD/tsan
    configure_and_build "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DYNET_SANITIZE=thread
    TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 run_ctest "$dir"
}

stage_fuzz() {
    local dir=$BUILD/fuzz
    configure_and_build "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
        -DYNET_BUILD_FUZZ=ON -DYNET_BUILD_TESTS=OFF -DYNET_BUILD_TOOLS=OFF -DYNET_BUILD_EXAMPLES=OFF
    "$ROOT/fuzz/run.sh" "$dir" "$FUZZ_SECONDS"
}

stage_wine() {
    local dir=$BUILD/wine
    configure_and_build "$dir" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/toolchain-mingw-x86_64.cmake" \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo
    /usr/lib/wine/wine64 cmd /c exit 0 >/dev/null 2>&1 || true # first start creates the prefix
    # Under Wine ctest runs the whole test program as one test: show its own count too.
    local tests
    tests=$(run_ctest "$dir")
    echo "$tests ($(grep -ho '\[  PASSED  \] [0-9]* tests\?' "$dir/Testing/Temporary/LastTest.log" | tail -n 1 |
        sed 's/.*] //') passed inside it)"
}

stage_i686() {
    # The real target: a 32-bit DLL. This machine cannot run it; compiling
    # it checks the layouts (static assertions in the library) and linking
    # checks that every symbol resolves.
    local dir=$BUILD/i686
    configure_and_build "$dir" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/toolchain-mingw-i686.cmake" \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo -DYNET_BUILD_TESTS=OFF
    local dll=$dir/YonderNetC.dll
    test -f "$dll"
    i686-w64-mingw32-objdump -f "$dll" | grep -q 'file format pei-i386'
    local exports
    exports=$(i686-w64-mingw32-objdump -p "$dll" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | grep -c '\]')
    local imports
    imports=$(i686-w64-mingw32-objdump -p "$dll" | sed -n 's/^\tDLL Name: //p' | tr '\n' ' ')
    echo "YonderNetC.dll: 32-bit PE, $exports exported symbols, imports: $imports"
}

ALL=(deps native asan tsan fuzz wine i686)
STAGES=("$@")
[ ${#STAGES[@]} -eq 0 ] && STAGES=("${ALL[@]}")
for s in "${STAGES[@]}"; do
    case " ${ALL[*]} " in *" $s "*) ;; *) echo "unknown stage: $s (stages: ${ALL[*]})"; exit 2 ;; esac
done

for s in "${STAGES[@]}"; do
    CURRENT_STAGE=$s
    say "stage $s"
    start=$SECONDS
    mkdir -p "$BUILD"
    "stage_$s" 2>&1 | tee "$BUILD/stage-$s.log" || exit 1
    out=$(tail -n 1 "$BUILD/stage-$s.log")
    stage_done "$s" $((SECONDS - start)) "$out"
done
CURRENT_STAGE=
