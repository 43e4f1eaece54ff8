#!/usr/bin/env bash
# Usage: fuzz/run.sh BUILD_DIR SECONDS [HARNESS...]
#
# Runs every harness of BUILD_DIR (configured with clang++ and
# -DYNET_BUILD_FUZZ=ON), or the ones named, one after the other, each for
# SECONDS on a scratch copy of its seed corpus fuzz/corpus/HARNESS/, so the
# tree's corpus stays as committed. Any crash, sanitizer report, leak, hang
# (10 s per input) or failed check fails the run; the input that caused it
# is kept in BUILD_DIR/fuzz-artifacts/ for `HARNESS FILE`. The last line
# sums up every harness.
set -euo pipefail

build=${1:?usage: fuzz/run.sh BUILD_DIR SECONDS [HARNESS...]}
seconds=${2:?usage: fuzz/run.sh BUILD_DIR SECONDS [HARNESS...]}
shift 2
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
build=$(cd "$build" && pwd)

harnesses=("$@")
if [ ${#harnesses[@]} -eq 0 ]; then
    for corpus in "$here"/corpus/*/; do harnesses+=("$(basename "$corpus")"); done
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
summary=()
for name in "${harnesses[@]}"; do
    fuzzer=$build/fuzz/$name
    if [ ! -x "$fuzzer" ]; then
        echo "fuzz/run.sh: FAILED: no harness at $fuzzer (configure with -DCMAKE_CXX_COMPILER=clang++ -DYNET_BUILD_FUZZ=ON)" >&2
        exit 2
    fi
    mkdir -p "$work/$name/artifacts"
    cp -r "$here/corpus/$name" "$work/$name/corpus"
    status=0
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
        "$fuzzer" "$work/$name/corpus" -max_total_time="$seconds" -timeout=10 -max_len=16384 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$work/$name/artifacts/" >"$work/$name/log" 2>&1 || status=$?
    runs=$(grep -Eo 'stat::number_of_executed_units: *[0-9]+' "$work/$name/log" | grep -Eo '[0-9]+$' || true)
    if [ "$status" -ne 0 ] || ls "$work/$name"/artifacts/* >/dev/null 2>&1; then
        tail -n 60 "$work/$name/log" >&2
        mkdir -p "$build/fuzz-artifacts"
        cp "$work/$name"/artifacts/* "$build/fuzz-artifacts/" 2>/dev/null || true
        echo "fuzz/run.sh: FAILED: $name exited with $status; inputs kept in $build/fuzz-artifacts/" >&2
        exit 1
    fi
    line="$name: ${runs:-?} inputs in ${seconds}s (corpus $(find "$work/$name/corpus" -type f | wc -l) entries)"
    echo "$line"
    summary+=("$line")
done
all=$(printf '%s; ' "${summary[@]}")
echo "${all}no failure"
