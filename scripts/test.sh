#!/usr/bin/env bash
# shellcheck disable=SC2317 # the stages and helpers are called by name (stage_$NAME, traps)
# The whole test suite, in order; stops at the first failure.
#
#   scripts/test.sh              every stage
#   scripts/test.sh asan wine    only the named stages
#   scripts/test.sh --list       the stages, in order
#
# Environment:
#   YNET_BUILD_ROOT    where the build folders go (default: build/ in the tree)
#   YNET_JOBS          parallel build and test jobs (default: the number of cores)
#   YNET_FUZZ_SECONDS  seconds each fuzz harness runs (default: 60)
#   WINEPREFIX         the Wine prefix (default: ~/.wine-ynet)
#
# How the runner works; read this before adding a stage.
# - Adding a stage: write stage_NAME below (the other stages show the
#   pattern), put NAME in ALL_STAGES where it should run, and the Debian
#   packages it needs in PACKAGES.
# - A stage is a function stage_NAME, listed in ALL_STAGES. The runner runs it
#   in a bash process of its own (this script again, with --stage NAME) under
#   `set -eEuo pipefail` and inherit_errexit, outside any `if` or `||`: EVERY
#   command of a stage decides. The first one that fails ends the stage and
#   the whole command, and the summary names the stage, the command and its
#   line. Nothing a caller writes can switch that off.
# - In a stage, then: a command allowed to fail sits in an `if` or says
#   `|| true`; never `local x=$(cmd)` (local hides cmd's status: declare, then
#   assign); never pipe into `grep -q` (it stops reading early, and the writer's
#   broken pipe fails the pipeline); `die "why"` fails with a reason.
# - `step "what"` says what is about to happen before a long silent step.
# - `at_exit CMD ARGS...` runs CMD when the stage ends, however it ends: stop
#   there the servers and proxies a stage starts.
# - A stage ends with `summary "what was measured"`, its line in the summary.
#   A stage that ends without one fails.
# - `run_suite BUILD_DIR` runs a build's ctest suite: first the canary test,
#   which must fail when YNET_CANARY_FAIL=1 asks it to, then every other test,
#   and counts the tests passed, failed and skipped. `start_test_peers` runs
#   before each suite: peers the tests need (proxies) start there.
# - Every Debian package the stages use is in PACKAGES, installed by `deps`.
# - Before the first stage the runner proves itself: a canary stage whose
#   middle command fails must come back failed, with that command named.
set -euo pipefail
shopt -s inherit_errexit

SELF=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/$(basename "${BASH_SOURCE[0]}")
ROOT=$(cd "$(dirname "$SELF")/.." && pwd)
BUILD=${YNET_BUILD_ROOT:-$ROOT/build}
JOBS=${YNET_JOBS:-$(nproc)}
FUZZ_SECONDS=${YNET_FUZZ_SECONDS:-60}
STATE=${YNET_TEST_STATE:-$BUILD/test-state} # the stages' summaries and counts, for this run
export WINEDEBUG=-all
export WINEPREFIX=${WINEPREFIX:-${HOME:-/root}/.wine-ynet}
export CTEST_OUTPUT_ON_FAILURE=1
PYTHON=/usr/bin/python3 # Debian's (python3, python3-pip), whatever else is on PATH

ALL_STAGES=(deps lint native package docs examples python dotnet asan tsan fuzz wine churn i686 windist dissector)
ALL_STAGES+=(m32)

PACKAGES=(cmake ninja-build g++ clang libclang-rt-14-dev clang-format-14 clang-tidy-14 shellcheck git pkg-config
    googletest libgtest-dev libbenchmark-dev libasio-dev
    g++-mingw-w64-x86-64 g++-mingw-w64-i686 binutils-mingw-w64-i686 wine64 tshark
    microsocks dante-server tinyproxy python3 python3-pip python3-setuptools python3-wheel python3-venv lld llvm
    iproute2)
# The documentation stages: Doxygen for the API reference, groff for the
# manual pages.
PACKAGES+=(doxygen groff-base)
# The C# binding's stage: Debian's Mono.
PACKAGES+=(mono-mcs mono-runtime)
# The 32-bit Linux build and its emulator (stage m32).
PACKAGES+=(gcc-multilib g++-multilib qemu-user)

# ============================================================ stage helpers
STAGE=
step() { printf -- '-- %s\n' "$*"; }
die() {
    printf '%s\n' "$*" >"$STATE/failed-$STAGE"
    printf 'FAILED: %s\n' "$*" >&2
    exit 1
}
summary() {
    printf '%s\n' "$*" >"$STATE/summary-$STAGE"
    printf -- '-- %s: %s\n' "$STAGE" "$*"
}
AT_EXIT=()
at_exit() { AT_EXIT+=("$(printf '%q ' "$@")"); }
run_at_exit() {
    local i
    for ((i = ${#AT_EXIT[@]} - 1; i >= 0; i--)); do eval "${AT_EXIT[i]}" || true; done
}
# The first failure is the innermost one (a command substitution reports
# before the assignment holding it): keep that.
on_error() { # status, command, line, functions
    [ -s "$STATE/failed-$STAGE" ] && return
    # The line as written names the command even when the failure surfaced
    # as a function's `return`.
    local text
    text=$(sed -n "$3{s/^[[:space:]]*//;p;}" "$SELF")
    case "$2" in return* | "$text") ;; *) text="$text [running: $2]" ;; esac
    printf 'command "%s" exited with %s (scripts/test.sh line %s, in %s)\n' "$text" "$1" "$3" "${4% main}" \
        >"$STATE/failed-$STAGE"
}
# Adds one suite's counts to the run's totals.
count_tests() { # passed failed skipped
    echo "$1 $2 $3" >>"$STATE/counts"
}

configure_and_build() { # dir, cmake args... (the source is the project unless -S is given)
    local dir=$1
    shift
    # Our own tree builds with warnings as errors; a consumer project (-S) as given.
    local source=(-S "$ROOT" -DYNET_WERROR=ON)
    [[ " $* " == *" -S "* ]] && source=()
    step "configuring and building $dir"
    cmake "${source[@]}" -B "$dir" -G Ninja "$@" >"$dir.configure.log" 2>&1 || {
        cat "$dir.configure.log"
        die "cmake could not configure $dir"
    }
    cmake --build "$dir" -j "$JOBS"
}

# Real peers some tests need (proxies): start them here, export where they
# listen, and stop them with at_exit. Runs before each suite.
source "$ROOT/scripts/proxies.sh"
start_test_peers() {
    step "starting the proxies (microsocks, danted, tinyproxy)"
    proxies_start
    at_exit proxies_stop
}

# start_echod COMMAND...: an echo server (ynet-echod, native or under Wine)
# that runs until the stage ends; ECHOD_PORT is where it listens.
ECHOD_PORT=
start_echod() {
    local line
    coproc ECHOD { exec "$@" --quiet 2>>"$BUILD/echod-$STAGE.log"; }
    at_exit stop_echod "$ECHOD_PID"
    read -r -t 60 line <&"${ECHOD[0]}" || die "no port line from: $*"
    [[ $line =~ ^port\ ([0-9]+) ]] || die "'$line' is not a port line, from: $*"
    ECHOD_PORT=${BASH_REMATCH[1]}
}
stop_echod() {
    kill "$1" 2>/dev/null || true
    wait "$1" 2>/dev/null || true
}

# junit_count FILE ATTRIBUTE: one attribute of the junit report's testsuite.
junit_count() {
    local value
    value=$(sed -n "s/^[[:space:]]*$2=\"\([0-9]*\)\".*/\1/p" "$1")
    value=${value%%$'\n'*}
    [ -n "$value" ] || die "no $2 count in $1"
    echo "$value"
}

# run_suite DIR [--gtest-inside]: the canary, then the suite, with counts.
# With --gtest-inside the counts are those of the GoogleTest program that
# ctest runs as a single test (cross builds).
SUITE_LINE=
run_suite() {
    local dir=$1 inside=${2:-}
    local canary_log=$dir/canary.log
    step "canary: the test that fails on request must fail this suite"
    if YNET_CANARY_FAIL=1 ctest --test-dir "$dir" -L canary --no-tests=error --output-on-failure \
        --timeout 600 >"$canary_log" 2>&1; then
        cat "$canary_log"
        die "the canary test passed although asked to fail: this suite could not report a failing test"
    fi
    if ! grep -q 'canary: failing as asked' "$canary_log"; then
        cat "$canary_log"
        die "the canary run failed without running the canary test (see $canary_log)"
    fi

    start_test_peers
    step "running the suite of $dir (ctest, $JOBS jobs)"
    local log=$dir/ctest.log junit=$dir/ctest-junit.xml
    rm -f "$junit"
    if ! ctest --test-dir "$dir" -LE canary --no-tests=error -j "$JOBS" --timeout 1500 \
        --output-junit "$junit" >"$log" 2>&1; then
        tail -n 80 "$log"
        if [ -s "$junit" ]; then
            count_tests "$(($(junit_count "$junit" tests) - $(junit_count "$junit" failures) - \
                $(junit_count "$junit" skipped)))" "$(junit_count "$junit" failures)" "$(junit_count "$junit" skipped)"
        fi
        die "ctest in $dir: $(grep -E 'tests passed|tests failed' "$log" | tail -n 1) (log: $log)"
    fi
    local total failed skipped disabled
    total=$(junit_count "$junit" tests)
    failed=$(junit_count "$junit" failures)
    skipped=$(junit_count "$junit" skipped)
    disabled=$(junit_count "$junit" disabled)
    [ "$failed" -eq 0 ] || die "ctest exited 0 but its report counts $failed failure(s)"
    local passed=$((total - skipped - disabled))
    [ "$passed" -gt 0 ] || die "no test ran in $dir"
    if [ "$inside" = --gtest-inside ]; then
        local gtest_log=$dir/Testing/Temporary/LastTest.log
        local inner_passed inner_skipped names
        inner_passed=$(sed -n 's/^\[  PASSED  \] \([0-9]*\) tests\?\.$/\1/p' "$gtest_log" | tail -n 1)
        [ -n "$inner_passed" ] || die "the test program's own count is missing from $gtest_log"
        inner_skipped=$(sed -n 's/^\[  SKIPPED \] \([0-9]*\) tests\?, listed below:$/\1/p' "$gtest_log" | tail -n 1)
        inner_skipped=${inner_skipped:-0}
        names=$(sed -n 's/^\[  SKIPPED \] \([A-Za-z0-9_]*\.[A-Za-z0-9_]*\)$/\1/p' "$gtest_log" | sort -u | paste -sd, -)
        count_tests "$((passed - 1 + inner_passed))" 0 "$((skipped + inner_skipped))"
        SUITE_LINE="ynet_tests.exe: $inner_passed passed, $inner_skipped skipped${names:+ ($names)}"
        local others
        others=$(grep -o '<testcase name="[^"]*"[^>]*status="run"' "$junit" | sed 's/<testcase name="\([^"]*\)".*/\1/' |
            grep -vx ynet_tests | paste -sd, - || true)
        [ -z "$others" ] || SUITE_LINE+="; also passed: $others"
    else
        count_tests "$passed" 0 "$skipped"
        SUITE_LINE="$passed passed, $skipped skipped"
    fi
    echo "$SUITE_LINE"
}

# ============================================================ stages
stage_deps() {
    local missing=() p
    for p in "${PACKAGES[@]}"; do
        if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep 'install ok installed' >/dev/null; then
            missing+=("$p")
        fi
    done
    if [ ${#missing[@]} -gt 0 ]; then
        step "installing ${#missing[@]} Debian package(s) with apt-get (a few minutes on a fresh machine): ${missing[*]}"
        export DEBIAN_FRONTEND=noninteractive
        apt-get update -qq
        apt-get install -y -qq --no-install-recommends "${missing[@]}" >"$BUILD/apt-install.log" 2>&1 || {
            tail -n 40 "$BUILD/apt-install.log"
            die "apt-get could not install: ${missing[*]}"
        }
    fi
    summary "${#PACKAGES[@]} packages required, ${#missing[@]} installed now"
}

# Fast, and first among the builds: the tree is formatted as .clang-format
# says, clang-tidy (.clang-tidy) finds nothing in the library and the tools,
# and shellcheck finds nothing in the scripts.
stage_lint() {
    local dir=$BUILD/lint
    local sources=() scripts=() file
    cd "$ROOT"
    if [ -d .git ] || [ -f .git ]; then
        mapfile -t sources < <(git ls-files '*.cpp' '*.h')
        mapfile -t scripts < <(git ls-files '*.sh' .ci/run)
    else
        mapfile -t sources < <(find . -path ./build -prune -o \( -name '*.cpp' -o -name '*.h' \) -print)
        mapfile -t scripts < <(find . -path ./build -prune -o \( -name '*.sh' -o -path ./.ci/run \) -print)
    fi
    [ ${#sources[@]} -gt 0 ] || die "no source file found"
    step "clang-format: ${#sources[@]} files"
    local unformatted=()
    for file in "${sources[@]}"; do
        if ! clang-format-14 --dry-run -Werror "$file" 2>/dev/null; then
            unformatted+=("$file")
        fi
    done
    if [ ${#unformatted[@]} -gt 0 ]; then
        clang-format-14 --dry-run "${unformatted[@]}" 2>&1 | head -n 40 || true
        die "${#unformatted[@]} file(s) differ from .clang-format (clang-format-14 -i FILE fixes them): ${unformatted[*]}"
    fi

    step "shellcheck: ${#scripts[@]} scripts"
    shellcheck -x "${scripts[@]}"

    # clang-tidy reads the compile commands of a configured (not built) tree.
    local tidy_log=$dir/clang-tidy.log
    mkdir -p "$dir"
    cmake -S "$ROOT" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
        -DYNET_BUILD_TESTS=OFF >"$dir.configure.log" 2>&1 || {
        cat "$dir.configure.log"
        die "cmake could not configure $dir"
    }
    local units
    units=$(grep -cE '"file": ".*/(message|stream|socket|client|framework|platform|tools)/[^"]*\.cpp"' \
        "$dir/compile_commands.json" || true)
    step "clang-tidy: $units files of the library and the tools, $JOBS at a time (a minute or two)"
    if ! run-clang-tidy-14 -quiet -j "$JOBS" -p "$dir" \
        "$ROOT/(message|stream|socket|client|framework|platform|tools)/.*\.cpp\$" >"$tidy_log" 2>&1; then
        sed 's/\x1b\[[0-9;]*m//g' "$tidy_log" | grep -E 'warning:|error:' | sort -u | head -n 60 || true
        die "clang-tidy found $(grep -cE '(warning|error):.*\[[a-z]' "$tidy_log" || true) finding(s) (log: $tidy_log)"
    fi
    local findings
    findings=$(grep -cE '(warning|error):.*\[[a-z]' "$tidy_log" || true)
    if [ "$findings" -ne 0 ]; then
        sed 's/\x1b\[[0-9;]*m//g' "$tidy_log" | grep -E '(warning|error):.*\[[a-z]' | sort -u | head -n 60 || true
        die "clang-tidy found $findings finding(s) (log: $tidy_log)"
    fi
    summary "clang-format: ${#sources[@]} files formatted; clang-tidy: $units files, 0 findings; shellcheck: ${#scripts[@]} scripts, 0 findings"
}

stage_native() {
    local dir=$BUILD/native
    # The Release configuration, built once: the other stages build RelWithDebInfo.
    configure_and_build "$dir" -DCMAKE_BUILD_TYPE=Release -DYNET_BUILD_BENCH=ON
    run_suite "$dir"
    summary "$SUITE_LINE"
}

# The installed package must be usable by a consumer written exactly as the
# README shows it (tests/package/from-readme.sh takes it from there), which
# sets no language standard: with CMake's config package and with pkg-config,
# against a prefix the tools do not search by themselves.
stage_package() {
    local native=$BUILD/native work=$BUILD/package
    local prefix=$work/prefix
    # The wire bytes of the README's message: head 07 00 05 02, body "abc" scrambled.
    local expected="07 00 05 02 61 AB 6B"
    [ -f "$native/build.ninja" ] || die "the package stage installs the native build: run the native stage first"
    rm -rf "$work"
    mkdir -p "$work/pkg-config"
    step "installing the native build into $prefix"
    cmake --install "$native" --prefix "$prefix" >"$work/install.log"
    "$ROOT/tests/package/from-readme.sh" "$ROOT/README.md" "$ROOT"/docs/*.md "$work/src"

    configure_and_build "$work/cmake" -S "$work/src" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_BUILD_TYPE=Release
    local out
    out=$(env -u LD_LIBRARY_PATH "$work/cmake/app")
    [ "${out% }" = "$expected" ] || die "the CMake consumer printed '$out', not '$expected'"

    step "building and running the README's pkg-config consumer"
    cp "$work/src/main.cpp" "$work/pkg-config/"
    out=$(cd "$work/pkg-config" && env -u LD_LIBRARY_PATH -u PKG_CONFIG_PATH PREFIX="$prefix" \
        bash -euo pipefail "$work/src/pkg-config")
    [ "${out% }" = "$expected" ] || die "the pkg-config consumer printed '$out', not '$expected'"
    step "a C++23 consumer keeps its standard with pkg-config's flags"
    printf '#include <YNet2.h>\nstatic_assert(__cplusplus > 202002L, "the standard was lowered");\nint main() {}\n' \
        >"$work/pkg-config/cxx23.cpp"
    # shellcheck disable=SC2046 # the flags are words
    g++ -std=c++23 -Wall -Wextra -Werror -fsyntax-only "$work/pkg-config/cxx23.cpp" \
        $(PKG_CONFIG_PATH=$prefix/lib/pkgconfig pkg-config --cflags YonderNetC)
    [ -f "$prefix/share/YonderNetC/wireshark/ynet.lua" ] || die "the Wireshark dissector is not installed"

    # The C interface from ISO C99 (tests/capi/ynet-c-echo.c), against the same
    # install: CMake's package and pkg-config's YonderNetC-C; each runs its
    # bad-argument table and the echo exchange, directly and through microsocks.
    configure_and_build "$work/c-cmake" -S "$ROOT/tests/capi" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_BUILD_TYPE=Release
    step "building the C consumer with pkg-config"
    local c_flags
    c_flags=$(PKG_CONFIG_PATH=$prefix/lib/pkgconfig pkg-config --cflags --libs YonderNetC-C)
    # shellcheck disable=SC2086 # the flags are words
    gcc -std=c99 -pedantic -Wall -Wextra -Werror -o "$work/pkg-config/ynet-c-echo" "$ROOT/tests/capi/ynet-c-echo.c" \
        $c_flags -pthread -Wl,-rpath,"$prefix/lib"
    start_echod "$native/tools/ynet-echod"
    proxies_start
    at_exit proxies_stop
    local consumer runs=0
    for consumer in "$work/c-cmake/ynet-c-echo" "$work/pkg-config/ynet-c-echo"; do
        step "$consumer: direct, then through microsocks"
        env -u LD_LIBRARY_PATH timeout 60 "$consumer" "127.0.0.1:$ECHOD_PORT"
        env -u LD_LIBRARY_PATH timeout 60 "$consumer" "127.0.0.1:$ECHOD_PORT" "127.0.0.1:$YNET_MICROSOCKS_PORT"
        runs=$((runs + 2))
    done

    # The ynet.hpp example of docs/bindings.md, as C++17 with the C interface's flags
    # (the Python and C# ones: the python and dotnet stages).
    step "building and running the ynet.hpp example of docs/bindings.md"
    # shellcheck disable=SC2086 # the flags are words
    g++ -std=c++17 -Wall -Wextra -Werror -o "$work/pkg-config/echo-hpp" "$work/src/echo.cpp" $c_flags -pthread \
        -Wl,-rpath,"$prefix/lib"
    local out echoes
    out=$(env -u LD_LIBRARY_PATH timeout 60 "$work/pkg-config/echo-hpp" "127.0.0.1:$ECHOD_PORT")
    echoes=$(grep -c '^echo 1/' <<<"$out" || true)
    [ "$echoes" -eq 3 ] || die "the ynet.hpp example printed $echoes echoes, not 3: $out"
    # The static library (-DBUILD_SHARED_LIBS=OFF, the library alone), installed
    # on its own: the README's consumer with find_package and with pkg-config
    # --static, and the C99 consumer with pkg-config --static.
    local static=$work/static
    mkdir -p "$static/pkg-config"
    configure_and_build "$static/build" -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=OFF -DYNET_BUILD_TESTS=OFF \
        -DYNET_BUILD_TOOLS=OFF -DYNET_BUILD_EXAMPLES=OFF
    cmake --install "$static/build" --prefix "$static/prefix" >"$static/install.log"
    if [ ! -f "$static/prefix/lib/libYonderNetC.a" ] || compgen -G "$static/prefix/lib/libYonderNetC.so*" >/dev/null; then
        die "the static install holds no libYonderNetC.a, or a shared library too"
    fi
    configure_and_build "$static/cmake" -S "$work/src" -DCMAKE_PREFIX_PATH="$static/prefix" -DCMAKE_BUILD_TYPE=Release
    out=$("$static/cmake/app")
    [ "${out% }" = "$expected" ] || die "the CMake consumer of the static library printed '$out', not '$expected'"
    step "the README's consumer and the C99 consumer, static, with pkg-config --static"
    # shellcheck disable=SC2046 # the flags are words
    (cd "$static/pkg-config" && export PKG_CONFIG_PATH=$static/prefix/lib/pkgconfig &&
        g++ -std=c++20 -o app "$work/src/main.cpp" $(pkg-config --static --cflags --libs YonderNetC) &&
        gcc -std=c99 -pedantic -Wall -Wextra -Werror -o ynet-c-echo "$ROOT/tests/capi/ynet-c-echo.c" \
            $(pkg-config --static --cflags --libs YonderNetC-C))
    out=$("$static/pkg-config/app")
    [ "${out% }" = "$expected" ] || die "the pkg-config consumer of the static library printed '$out', not '$expected'"
    timeout 60 "$static/pkg-config/ynet-c-echo" "127.0.0.1:$ECHOD_PORT"
    runs=$((runs + 1))
    step "uninstalling: the install's manifest names every file it wrote"
    xargs -d '\n' rm -f <"$native/install_manifest.txt"
    local left
    left=$(find "$prefix" \( -type f -o -type l \) -print | head -n 5)
    [ -z "$left" ] || die "left in $prefix once the files of install_manifest.txt were removed: $left"
    count_tests "$((runs + 1))" 0 0 # and the C runs, the example
    summary "the README's consumer (CMake: no standard set; pkg-config: -std=c++20), built against the installed package with find_package and with pkg-config; both print $expected; the C99 consumer (CMake, pkg-config): $runs runs of its bad-argument table and echo exchange, direct and through microsocks; the ynet.hpp (C++17) example of docs/bindings.md prints its 3 echoes; the static library (-DBUILD_SHARED_LIBS=OFF): the README's consumer with find_package and pkg-config --static, the C99 consumer's echo; a C++23 consumer keeps its standard; removing the files of the install's manifest leaves none"
}

# ---------------------------------------------------------------- bindings
# README and docs/ examples run as written: from-readme.sh writes each block marked
# "<!-- package-check: NAME -->" into DIR; run_echo_example counts the
# "echo 1/" lines that an example prints against ECHOD_PORT.
run_echo_example() { # name, command...
    local name=$1 out echoes
    shift
    out=$(timeout 60 "$@" "127.0.0.1:$ECHOD_PORT") || die "the $name example failed: $out"
    echoes=$(grep -c '^echo 1/' <<<"$out" || true)
    [ "$echoes" -eq 3 ] || die "the $name example printed $echoes echoes, not 3: $out"
}

# The Python module as a user gets it: the platform wheel `pip wheel
# ./python` builds (CMake compiles the library into it; Debian's setuptools
# and wheel, no index), installed into a fresh venv where nothing but the
# wheel says where the library is. There: the module's tests, the three
# examples of README.md and docs/bindings.md, and 200 exits with 16 busy
# clients left open. Then the copy `cmake --install` puts under share/ runs
# the README's echo.py.
stage_python() {
    local native=$BUILD/native work=$BUILD/python
    [ -x "$native/tools/ynet-echod" ] || die "the python stage uses the native build: run the native stage first"
    rm -rf "$work"
    mkdir -p "$work/dist"
    step "pip wheel ./python (builds the library with CMake)"
    (cd "$ROOT" && CMAKE_BUILD_PARALLEL_LEVEL=$JOBS "$PYTHON" -m pip wheel -q --no-build-isolation --no-deps \
        --no-index -w "$work/dist" ./python) >"$work/wheel.log" 2>&1 || {
        tail -n 40 "$work/wheel.log"
        die "pip wheel ./python failed"
    }
    local wheel=$work/dist/ynet-1.0.0-py3-none-linux_x86_64.whl
    [ -f "$wheel" ] || die "no $wheel, but: $(ls "$work/dist")"
    "$PYTHON" "$ROOT/python/tests/wheel_check.py" "$wheel" ynet/libYonderNetC.so

    step "a fresh venv with the wheel"
    "$PYTHON" -m venv "$work/venv"
    "$work/venv/bin/pip" install -q --no-index --no-deps "$wheel" >"$work/install.log" 2>&1 || {
        cat "$work/install.log"
        die "pip could not install $wheel into a fresh venv"
    }
    local python=(env -u YNET_LIBRARY -u LD_LIBRARY_PATH -u PYTHONPATH PYTHONDONTWRITEBYTECODE=1 "$work/venv/bin/python")
    local from
    from=$(cd "$work" && "${python[@]}" -c 'import ynet; print(ynet._native.lib._name)')
    [[ $from == "$work"/venv/lib/python3.*/site-packages/ynet/libYonderNetC.so ]] ||
        die "ynet in the venv loaded $from, not the library of its wheel"

    start_echod "$native/tools/ynet-echod"
    proxies_start
    at_exit proxies_stop
    step "the module's tests, in the venv"
    local log=$work/tests.log ran
    (cd "$work" && YNET_ECHOD=$native/tools/ynet-echod timeout 300 "${python[@]}" -m unittest discover \
        -s "$ROOT/python/tests" -p 'test_*.py' >"$log" 2>&1) || {
        cat "$log"
        die "the Python module's tests failed"
    }
    ran=$(sed -n 's/^Ran \([0-9]*\) tests\?.*/\1/p' "$log")
    [ "${ran:-0}" -gt 0 ] || die "no Python test ran (see $log)"

    step "the Python examples of README.md and docs/bindings.md"
    "$ROOT/tests/package/from-readme.sh" "$ROOT/README.md" "$ROOT"/docs/*.md "$work/readme"
    local example
    for example in echo.py recv.py echo_async.py; do
        [ -s "$work/readme/$example" ] || die "README.md and docs/ show no $example"
        run_echo_example "$example" "${python[@]}" "$work/readme/$example"
    done

    step "200 exits with 16 busy clients left open"
    (cd "$work" && YNET_ECHOD=$native/tools/ynet-echod timeout 600 "${python[@]}" \
        "$ROOT/python/tests/exit_check.py" 200 "$JOBS") >"$work/exits.log" 2>&1 || {
        cat "$work/exits.log"
        die "the interpreter did not exit cleanly with clients open"
    }

    step "the module cmake --install puts under share/"
    cmake --install "$native" --prefix "$work/prefix" >"$work/cmake-install.log"
    run_echo_example "installed module's echo.py" env -u YNET_LIBRARY -u LD_LIBRARY_PATH PYTHONDONTWRITEBYTECODE=1 \
        PYTHONPATH="$work/prefix/share/YonderNetC/python" "$PYTHON" "$work/readme/echo.py"
    count_tests "$((ran + 5))" 0 0 # and the examples, the exits, the wheel
    summary "wheel $(basename "$wheel") with the library, in a fresh venv: $ran unittest tests passed, the 3 Python examples of README.md and docs/bindings.md print their echoes; $(tail -n 1 "$work/exits.log"); the cmake-installed module runs the README's echo.py"
}

# The C# binding (dotnet/YonderNet.cs) with Debian's Mono: its test program
# against ynet-echod directly and through microsocks, and the example of
# docs/bindings.md.
stage_dotnet() {
    local native=$BUILD/native work=$BUILD/dotnet
    [ -f "$native/libYonderNetC.so" ] || die "the dotnet stage uses the native build: run the native stage first"
    rm -rf "$work"
    mkdir -p "$work"
    "$ROOT/tests/package/from-readme.sh" "$ROOT/README.md" "$ROOT"/docs/*.md "$work/readme"
    [ -s "$work/readme/Echo.cs" ] || die "README.md and docs/ show no Echo.cs"
    step "compiling with mcs (warnings are errors)"
    mcs -warn:4 -warnaserror -out:"$work/YonderNetTest.exe" "$ROOT/dotnet/YonderNet.cs" \
        "$ROOT/dotnet/tests/YonderNetTest.cs"
    mcs -warn:4 -warnaserror -out:"$work/Echo.exe" "$ROOT/dotnet/YonderNet.cs" "$work/readme/Echo.cs"
    start_echod "$native/tools/ynet-echod"
    proxies_start
    at_exit proxies_stop
    step "the test program"
    local log=$work/test.log line passed
    LD_LIBRARY_PATH=$native timeout 300 mono "$work/YonderNetTest.exe" "$ECHOD_PORT" "$YNET_MICROSOCKS_PORT" \
        >"$log" 2>&1 || {
        cat "$log"
        die "the C# binding's tests failed"
    }
    line=$(tail -n 1 "$log")
    [[ $line =~ ^([0-9]+)\ passed,\ 0\ failed$ ]] || die "the C# test program ended with '$line'"
    passed=${BASH_REMATCH[1]}
    cat "$log"
    run_echo_example Echo.cs env LD_LIBRARY_PATH="$native" mono "$work/Echo.exe"
    count_tests "$((passed + 1))" 0 0
    summary "mono $(mono --version | sed -n '1s/.*version \([0-9.]*\).*/\1/p'): the test program's $passed checks passed (echo direct, through microsocks and by name through a proxy URL, a throwing handler cuts, 100 create/destroy cycles, half collecting from the handler, with no thread or descriptor left); the C# example of docs/bindings.md prints its 3 echoes"
}

# ============================================================ documentation
# The API reference: Doxygen (docs/Doxyfile) over the installed headers,
# built by the reference target of a tree of its own, without a warning,
# every header described and every function of ynet.h giving its result
# codes and threads (tests/docs/check-reference.py --c-interface). The
# manual pages (tools/man/): each lists exactly the options its tool's
# --help lists (the native build's tools), groff reads it without a
# warning, and cmake --install puts it under share/man/man1.
stage_docs() {
    local dir=$BUILD/docs native=$BUILD/native
    [ -x "$native/tools/ynet-cat" ] || die "the docs stage reads the native build's tools: run the native stage first"
    rm -rf "$dir"
    mkdir -p "$dir"
    step "configuring $dir/tree and building the API reference (Doxygen)"
    cmake -S "$ROOT" -B "$dir/tree" -G Ninja -DYNET_BUILD_TESTS=OFF -DYNET_BUILD_TOOLS=OFF \
        -DYNET_BUILD_EXAMPLES=OFF >"$dir/configure.log" 2>&1 || {
        cat "$dir/configure.log"
        die "cmake could not configure $dir/tree"
    }
    cmake --build "$dir/tree" --target reference >"$dir/doxygen.log" 2>&1 || {
        cat "$dir/doxygen.log"
        die "Doxygen could not build the API reference"
    }
    local reference
    if ! reference=$("$PYTHON" "$ROOT/tests/docs/check-reference.py" "$dir/tree/reference" --c-interface include/ynet.h); then
        echo "$reference"
        die "the API reference: $(tail -n 1 <<<"$reference") (log: $dir/tree/reference/warnings.log)"
    fi
    echo "$reference"

    step "the manual pages against each tool's --help"
    local pages
    if ! pages=$(bash "$ROOT/tests/docs/check-manpages.sh" "$native/tools/ynet-cat" "$ROOT/tools/man/ynet-cat.1" \
        "$native/tools/ynet-echod" "$ROOT/tools/man/ynet-echod.1"); then
        echo "$pages"
        die "the manual pages differ from the tools: $(tail -n 1 <<<"$pages")"
    fi
    echo "$pages"
    step "installing the native build into $dir/prefix: the manual pages"
    cmake --install "$native" --prefix "$dir/prefix" >"$dir/install.log"
    local page
    for page in ynet-cat.1 ynet-echod.1; do
        cmp "$ROOT/tools/man/$page" "$dir/prefix/share/man/man1/$page" >/dev/null ||
            die "cmake --install did not install tools/man/$page as share/man/man1/$page"
    done
    summary "API reference: $(tail -n 1 <<<"$reference"); manual pages: $(sed -z 's/\n\(.\)/; \1/g' <<<"$pages"), installed"
}

# The examples of README.md and docs/*.md marked runnable, run by
# tests/docs/run-examples.py against a fresh installation of the native
# build, ynet-echod and the real proxies; quoted output is compared. Every
# block of docs/*.md and of the documents listed here carries a marker
# (runnable, or why not): an unmarked block fails the stage.
EXAMPLES_ALL_MARKED=(README.md)
stage_examples() {
    local dir=$BUILD/examples native=$BUILD/native
    [ -f "$native/build.ninja" ] || die "the examples stage installs the native build: run the native stage first"
    rm -rf "$dir"
    mkdir -p "$dir"
    step "installing the native build into $dir/prefix"
    cmake --install "$native" --prefix "$dir/prefix" >"$dir/install.log"
    step "starting the SOCKS proxies (microsocks, danted)"
    proxies_start
    at_exit proxies_stop
    local documents marked=() document out=$dir/examples.out
    cd "$ROOT"
    documents=(README.md docs/*.md)
    for document in docs/*.md "${EXAMPLES_ALL_MARKED[@]}"; do marked+=(--all-marked "$document"); done
    step "running the examples of ${documents[*]}"
    "$PYTHON" "$ROOT/tests/docs/run-examples.py" --prefix "$dir/prefix" --examples "$native/examples" \
        --work "$dir/work" "${marked[@]}" "${documents[@]}" >"$out" 2>&1 || {
        cat "$out"
        die "the examples: $(tail -n 1 "$out")"
    }
    cat "$out"
    local ran
    ran=$(sed -n '$s/^\([0-9]*\) examples run.*/\1/p' "$out")
    [ "${ran:-0}" -gt 0 ] || die "no example ran (see $out)"
    count_tests "$ran" 0 0
    summary "$(tail -n 1 "$out")"
}

stage_asan() {
    local dir=$BUILD/asan
    configure_and_build "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DYNET_SANITIZE=address,undefined
    export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
    run_suite "$dir"
    summary "$SUITE_LINE"
}

stage_tsan() {
    local dir=$BUILD/tsan
    configure_and_build "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DYNET_SANITIZE=thread
    export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
    run_suite "$dir"
    summary "$SUITE_LINE"
}

stage_fuzz() {
    local dir=$BUILD/fuzz
    configure_and_build "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
        -DYNET_BUILD_FUZZ=ON -DYNET_BUILD_TESTS=OFF -DYNET_BUILD_TOOLS=OFF -DYNET_BUILD_EXAMPLES=OFF
    step "fuzzing each harness for $FUZZ_SECONDS seconds"
    "$ROOT/fuzz/run.sh" "$dir" "$FUZZ_SECONDS" >"$dir/fuzz.out"
    cat "$dir/fuzz.out"
    summary "$(tail -n 1 "$dir/fuzz.out")"
}

# The Wine prefix, made on the first run.
wine_prefix() {
    if [ ! -d "$WINEPREFIX/drive_c" ]; then
        step "creating the Wine prefix $WINEPREFIX (first run only, about a minute)"
        /usr/lib/wine/wine64 wineboot --init >"$BUILD/wineboot.log" 2>&1
        /usr/lib/wine/wineserver -w
        [ -d "$WINEPREFIX/drive_c" ] || die "wineboot left no prefix in $WINEPREFIX"
    fi
}

stage_wine() {
    local dir=$BUILD/wine
    # Import libraries of programs left by an older build are not ours to judge.
    if [ -d "$dir" ]; then
        find "$dir" \( -name '*.exe.a' -o -name 'lib*.dll.a' \) ! -name libYonderNetC.dll.a -delete
    fi
    configure_and_build "$dir" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/toolchain-mingw-x86_64.cmake" \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo
    wine_prefix
    # Only the DLL exports: the programs have no export table and no import library.
    local exe exported=()
    for exe in "$dir"/tools/*.exe "$dir"/examples/*.exe; do
        if x86_64-w64-mingw32-objdump -p "$exe" | grep 'Export Address Table' >/dev/null; then
            exported+=("$(basename "$exe")")
        fi
    done
    [ ${#exported[@]} -eq 0 ] || die "these programs export symbols: ${exported[*]}"
    local implibs
    implibs=$(find "$dir" -name '*.exe.a' -o -name 'lib*.dll.a' ! -name libYonderNetC.dll.a ! -name YonderNetC.dll.a)
    [ -z "$implibs" ] || die "import libraries of programs: $implibs"
    run_suite "$dir" --gtest-inside
    # The C interface from the MSVC ABI runs in the windist stage, against
    # the release archive's files.
    summary "$SUITE_LINE; the .exe programs export nothing and have no import library"
}

# Connection churn (tests/churn/ynet-churn): connect, exchange one message,
# release, over and over in one process; it fails when a descriptor, a
# thread or resident memory beyond noise is left over. Uses the native and
# Wine builds of the stages before.
churn() { # name, output file, command...
    local name=$1 out=$2
    shift 2
    step "churn, $name: $*"
    if ! "$@" >"$out" 2>&1; then
        cat "$out"
        die "ynet-churn $name failed or left something behind (see $out)"
    fi
    cat "$out"
}

stage_churn() {
    local native=$BUILD/native/tests/ynet-churn wine=$BUILD/wine/tests/ynet-churn.exe
    [ -x "$native" ] || die "no $native: run the native stage first"
    [ -f "$wine" ] || die "no $wine: run the wine stage first"
    churn direct "$BUILD/churn-direct.out" "$native" --cycles 10000
    step "starting the proxies (microsocks, danted, tinyproxy)"
    proxies_start
    at_exit proxies_stop
    churn "through microsocks" "$BUILD/churn-microsocks.out" "$native" --cycles 10000 --proxy "$YNET_MICROSOCKS_PORT"
    churn "through tinyproxy" "$BUILD/churn-tinyproxy.out" "$native" --cycles 10000 \
        --proxy "http://127.0.0.1:$YNET_TINYPROXY_PORT"
    churn wine "$BUILD/churn-wine.out" "$ROOT/cmake/wine-run.sh" "$wine" --cycles 1000
    summary "direct: $(tail -n 1 "$BUILD/churn-direct.out"); through microsocks: $(tail -n 1 \
        "$BUILD/churn-microsocks.out"); through tinyproxy: $(tail -n 1 "$BUILD/churn-tinyproxy.out");" \
        "under Wine: $(tail -n 1 "$BUILD/churn-wine.out")"
}

stage_i686() {
    # The real target: a 32-bit DLL. This machine cannot run it; compiling
    # it checks the layouts (static assertions in the library) and linking
    # checks that every symbol resolves.
    local dir=$BUILD/i686
    configure_and_build "$dir" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/toolchain-mingw-i686.cmake" \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo -DYNET_BUILD_TESTS=OFF
    local dll=$dir/YonderNetC.dll
    [ -f "$dll" ] || die "no $dll"
    # The PE header: its offset at 0x3c, then "PE\0\0" and the machine type.
    local offset signature machine
    offset=$(od -An -tu4 -j 60 -N 4 "$dll" | tr -d ' ')
    signature=$(od -An -tx1 -j "$offset" -N 4 "$dll" | tr -d ' ')
    [ "$signature" = 50450000 ] || die "$dll has no PE header (found '$signature' at offset $offset)"
    machine=$(od -An -tx1 -j $((offset + 4)) -N 2 "$dll" | awk '{print $2 $1}')
    [ "$machine" = 014c ] || die "$dll is for machine 0x$machine, not i386 (0x014c)"
    local dump=$dir/YonderNetC.dll.objdump exports imports
    i686-w64-mingw32-objdump -p "$dll" >"$dump"
    exports=$(sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' "$dump" | grep -c '\]' || true)
    [ "$exports" -gt 0 ] || die "$dll exports nothing"
    imports=$(sed -n 's/^\tDLL Name: //p' "$dump" | paste -sd' ' -)
    # The C interface for 32-bit MSVC-style linkers: the names, and the
    # MSVC-ABI C program compiled and linked against YonderNetC.lib.
    local names msvc_line
    names=$(bash "$ROOT/tests/capi/check-exports.sh" "$dir")
    msvc_line=$(bash "$ROOT/tests/capi/msvc-abi.sh" i686 "$dir")
    summary "YonderNetC.dll: PE machine 0x$machine (i386), $exports exports, imports: $imports; $names; $msvc_line (links, not run)"
}

# ============================================================ 32-bit Linux
# The library, its tests and tools built with -m32 (cmake/toolchain-linux-
# i686.cmake) and run under qemu-i386: pointers of 4 bytes, the layouts'
# 32-bit branch, 64-bit atomics on a 32-bit CPU, every wire byte written and
# read by 32-bit code. The kernel hands 32-bit x86 programs to qemu-i386
# through binfmt_misc, so that they run, and start one another, as any
# program does. Debian ships no i386 entry on an x86_64 host: the stage
# registers one when 32-bit programs do not run (root only).
I386_BINFMT=/proc/sys/fs/binfmt_misc
i386_register() {
    if [ ! -e "$I386_BINFMT/register" ]; then
        step "mounting binfmt_misc on $I386_BINFMT"
        mount -t binfmt_misc binfmt_misc "$I386_BINFMT" || die "cannot mount binfmt_misc (needs root)"
    fi
    if [ -e "$I386_BINFMT/qemu-i386" ]; then
        echo 1 >"$I386_BINFMT/qemu-i386"
    else
        step "registering /usr/bin/qemu-i386 for 32-bit x86 programs"
        # The kernel reads the \x escapes itself: written as they stand.
        printf '%s\n' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386:F' \
            >"$I386_BINFMT/register"
    fi
}

# elf_i386 FILE...: each is a 32-bit little-endian ELF for the i386 machine
# (class 1, data 1 at offset 4; machine 3 at offset 18).
elf_i386() {
    local file ident
    for file in "$@"; do
        ident=$(od -An -tx1 -N 20 "$file" | tr -d ' \n')
        if [ "${ident:0:12}" != 7f454c460101 ] || [ "${ident:36:4}" != 0300 ]; then
            die "$file is not a 32-bit i386 ELF file (header $ident)"
        fi
    done
}

stage_m32() {
    local dir=$BUILD/m32
    configure_and_build "$dir" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/toolchain-linux-i686.cmake" \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo -DYNET_BUILD_BENCH=ON
    local programs=("$dir/tests/ynet_tests" "$dir/tools/ynet-echod" "$dir/tools/ynet-cat" "$dir/tests/ynet-c-echo"
        "$dir/tests/dissector/ynet-wire-capture" "$dir/bench/ScaleBench")
    elf_i386 "$(readlink -f "$dir/libYonderNetC.so")" "${programs[@]}"
    local how="by the kernel"
    if ! "$dir/tests/ynet_tests" --gtest_list_tests >/dev/null 2>&1; then
        i386_register
    fi
    if [ -e "$I386_BINFMT/qemu-i386" ]; then
        how="by $(sed -n 's/^interpreter //p' "$I386_BINFMT/qemu-i386") through binfmt_misc"
    fi
    "$dir/tests/ynet_tests" --gtest_list_tests >/dev/null || die "32-bit programs do not run here"
    run_suite "$dir"
    local suite=$SUITE_LINE
    # The wire bytes of 32-bit code read by Wireshark: the captures written
    # by the 32-bit ynet-wire-capture, and a live session of the 32-bit tools.
    local out=$dir/dissector.out
    step "checking the 32-bit programs' bytes through tshark"
    bash "$ROOT/tests/dissector/check-dissector.sh" "$ROOT/tools/wireshark/ynet.lua" \
        "$dir/tests/dissector/ynet-wire-capture" "$dir/tools/ynet-echod" "$dir/tools/ynet-cat" >"$out" 2>&1 || {
        cat "$out"
        die "the dissector's checks of the 32-bit programs failed: $(tail -n 1 "$out")"
    }
    local passed skipped
    passed=$(sed -n '$s/^\([0-9]*\) checks passed, \([0-9]*\) skipped.*/\1/p' "$out")
    skipped=$(sed -n '$s/^\([0-9]*\) checks passed, \([0-9]*\) skipped.*/\2/p' "$out")
    [ -n "$passed" ] || die "no count in the last line of $out"
    count_tests "$passed" 0 "$skipped"
    summary "32-bit i386 ELF, run $how: $suite; dissector on their bytes: $(tail -n 1 "$out")"
}

# The Windows release archive (scripts/windows-archive.sh) from the wine
# stage's x64 build and the i686 stage's x86 one: listed, and checked entry
# by entry; its headers compile with nothing else (MinGW-w64, both
# architectures). The C interface from the MSVC ABI against the archive's
# files: tests/capi/ynet-c-echo.c built by clang for *-pc-windows-msvc
# without a C runtime, linked by lld-link against the archive's x64 and x86
# YonderNetC.lib, its import table checked (tests/capi/msvc-abi.sh); the x64
# program runs under Wine with the archive's DLL against the Windows
# ynet-echod (bad-argument table, echo exchange).
stage_windist() {
    local x64=$BUILD/wine x86=$BUILD/i686 work=$BUILD/windist
    [ -f "$x64/tools/ynet-echod.exe" ] || die "no $x64/tools/ynet-echod.exe: run the wine stage first"
    [ -f "$x86/YonderNetC.dll" ] || die "no $x86/YonderNetC.dll: run the i686 stage first"
    rm -rf "$work"
    mkdir -p "$work"
    step "making the archive and checking its entries"
    local listing tree compiler
    listing=$(bash "$ROOT/scripts/windows-archive.sh" "$x64" "$x86" "$work")
    echo "$listing"
    tree=$(find "$work" -maxdepth 1 -type d -name 'YonderNetC-*-windows')
    [ -d "$tree" ] || die "no archive folder in $work"
    step "its headers compile alone"
    for compiler in x86_64-w64-mingw32-g++ i686-w64-mingw32-g++; do
        printf '#include <YNet2.h>\n#include <ynet.hpp>\n' |
            "$compiler" -std=c++20 -fsyntax-only -Wall -Wextra -Werror -I "$tree/include" -x c++ -
    done
    step "the MSVC-ABI C program against the archive's files"
    local msvc_line
    msvc_line=$(bash "$ROOT/tests/capi/msvc-abi.sh" x86_64 "$work/msvc-x64" "$tree/x64" "$tree/include")
    bash "$ROOT/tests/capi/msvc-abi.sh" i686 "$work/msvc-x86" "$tree/x86" "$tree/include" >/dev/null
    cp "$tree/x64/YonderNetC.dll" "$work/msvc-x64/"
    wine_prefix
    start_echod "$ROOT/cmake/wine-run.sh" "$x64/tools/ynet-echod.exe"
    (cd "$work/msvc-x64" && timeout 120 "$ROOT/cmake/wine-run.sh" ./ynet-c-echo-msvc.exe "127.0.0.1:$ECHOD_PORT")
    count_tests 3 0 0 # the archive's entries, its headers, the program's run
    summary "$(basename "$tree").zip: $(sed -n '1s/^[^:]*: //p' <<<"$listing" | wc -w) files, every expected one there; its headers compile alone (x64, x86); $msvc_line, linked against the archive's x64 and x86 YonderNetC.lib, ran its bad-argument table and echo exchange under Wine with the archive's DLL"
}

# The Wireshark dissector through tshark: captures written from chosen bytes
# and, where loopback capture is allowed, a live session. Needs only the
# capture writer and the two tools.
stage_dissector() {
    local dir=$BUILD/dissector out=$BUILD/dissector/check.out
    step "configuring $dir and building ynet-wire-capture, ynet-echod and ynet-cat"
    cmake -S "$ROOT" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DYNET_BUILD_EXAMPLES=OFF \
        >"$dir.configure.log" 2>&1 || {
        cat "$dir.configure.log"
        die "cmake could not configure $dir"
    }
    cmake --build "$dir" -j "$JOBS" --target ynet-wire-capture ynet-echod ynet-cat
    step "checking tools/wireshark/ynet.lua through tshark"
    bash "$ROOT/tests/dissector/check-dissector.sh" "$ROOT/tools/wireshark/ynet.lua" \
        "$dir/tests/dissector/ynet-wire-capture" "$dir/tools/ynet-echod" "$dir/tools/ynet-cat" >"$out" 2>&1 || {
        cat "$out"
        die "the dissector's checks failed: $(tail -n 1 "$out")"
    }
    cat "$out"
    # The last line starts "N checks passed, M skipped".
    local passed skipped
    passed=$(sed -n '$s/^\([0-9]*\) checks passed, \([0-9]*\) skipped.*/\1/p' "$out")
    skipped=$(sed -n '$s/^\([0-9]*\) checks passed, \([0-9]*\) skipped.*/\2/p' "$out")
    [ -n "$passed" ] || die "no count in the last line of $out"
    count_tests "$passed" 0 "$skipped"
    summary "$(tail -n 1 "$out")"
}

# The runner's own proof: a stage whose middle command fails.
canary_fails_here() { return 3; }
stage_canary_middle() {
    echo "canary: the first command runs"
    canary_fails_here
    summary "canary: not stopped by a failing command"
}
stage_canary_pipe() {
    local out
    out=$(canary_fails_here | cat)
    summary "canary: not stopped by a failing command in a pipeline ($out)"
}

# ============================================================ the runner
if [ "${1:-}" = --stage ]; then
    STAGE=$2
    set -E
    trap 'on_error $? "$BASH_COMMAND" "$LINENO" "${FUNCNAME[*]:-}"' ERR
    trap run_at_exit EXIT
    "stage_$STAGE"
    [ -s "$STATE/summary-$STAGE" ] || die "stage $STAGE ended without a summary line"
    exit 0
fi

# Everything below runs from one function, read whole before it starts: an
# edit of this file during a run cannot change the run.
main() {
    if [ "${1:-}" = --list ]; then
        echo "${ALL_STAGES[*]}"
        exit 0
    fi
    STAGES=("$@")
    [ ${#STAGES[@]} -eq 0 ] && STAGES=("${ALL_STAGES[@]}")
    for s in "${STAGES[@]}"; do
        case " ${ALL_STAGES[*]} " in *" $s "*) ;; *)
            echo "unknown stage: $s (stages: ${ALL_STAGES[*]})" >&2
            exit 2
            ;;
        esac
    done

    mkdir -p "$BUILD"
    rm -rf "$STATE"
    mkdir -p "$STATE"
    export YNET_TEST_STATE=$STATE YNET_BUILD_ROOT=$BUILD YNET_JOBS=$JOBS YNET_FUZZ_SECONDS=$FUZZ_SECONDS

    # run_stage NAME [LOG]: runs a stage in its own process; sets STAGE_RC and
    # never fails itself. Output goes to the terminal and to the log.
    STAGE_RC=0
    run_stage() {
        local name=$1 log=${2:-$BUILD/stage-$1.log}
        rm -f "$STATE/summary-$name" "$STATE/failed-$name"
        set +e
        if [ -n "${2:-}" ]; then
            bash "$SELF" --stage "$name" >"$log" 2>&1
            STAGE_RC=$?
        else
            bash "$SELF" --stage "$name" 2>&1 | tee "$log"
            STAGE_RC=${PIPESTATUS[0]}
        fi
        set -e
        if [ "$STAGE_RC" -eq 0 ] && [ ! -s "$STATE/summary-$name" ]; then
            STAGE_RC=1
            echo "stage $name ended without a summary line" >"$STATE/failed-$name"
        fi
    }

    SUMMARY=()
    CURRENT_STAGE=
    on_exit() {
        local rc=$?
        echo
        echo "==== summary"
        for line in "${SUMMARY[@]+"${SUMMARY[@]}"}"; do echo "$line"; done
        if [ -n "$CURRENT_STAGE" ]; then
            printf '%-8s FAILED: %s\n' "$CURRENT_STAGE" \
                "$(cat "$STATE/failed-$CURRENT_STAGE" 2>/dev/null || echo "exit $rc, no command recorded")"
            echo "         its whole output: $BUILD/stage-$CURRENT_STAGE.log"
        fi
        if [ -s "$STATE/counts" ]; then
            awk '{p += $1; f += $2; s += $3} END {printf "tests: %d passed, %d failed, %d skipped\n", p, f, s}' "$STATE/counts"
        fi
    }

    # The runner proves, on every run, that a failing command fails its stage
    # and is named.
    for canary in canary_middle canary_pipe; do
        run_stage "$canary" "$STATE/$canary.log"
        if [ "$STAGE_RC" -eq 0 ] || ! grep -q canary_fails_here "$STATE/failed-$canary" 2>/dev/null; then
            echo "the stage runner let a failing command through ($canary, exit $STAGE_RC):" >&2
            cat "$STATE/$canary.log" >&2
            exit 1
        fi
    done
    echo "==== the stage runner stops a stage at a failing command and names it (checked)"

    trap on_exit EXIT
    for s in "${STAGES[@]}"; do
        CURRENT_STAGE=$s
        printf '\n==== stage %s\n' "$s"
        start=$SECONDS
        run_stage "$s"
        [ "$STAGE_RC" -eq 0 ] || exit 1
        SUMMARY+=("$(printf '%-8s ok %5ss  %s' "$s" $((SECONDS - start)) "$(cat "$STATE/summary-$s")")")
        CURRENT_STAGE=
    done
}
main "$@"
exit $?
