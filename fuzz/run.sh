#!/usr/bin/env bash
# Usage: fuzz/run.sh BUILD_DIR SECONDS
#
# Runs every harness of BUILD_DIR (configured with clang++ and
# -DYNET_BUILD_FUZZ=ON) for SECONDS on a scratch copy of its seed corpus, so
# the tree's corpus stays as committed. Any crash, sanitizer report, leak,
# hang (10 s per input) or failed check fails the run; the input that caused
# it is kept in BUILD_DIR/fuzz-artifacts/ for `NetStreamFuzzer FILE`.
set -euo pipefail

build=${1:?usage: fuzz/run.sh BUILD_DIR SECONDS}
seconds=${2:?usage: fuzz/run.sh BUILD_DIR SECONDS}
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
build=$(cd "$build" && pwd)

fuzzer=$build/fuzz/NetStreamFuzzer
if [ ! -x "$fuzzer" ]; then
    echo "fuzz/run.sh: FAILED: no harness at $fuzzer (configure with -DCMAKE_CXX_COMPILER=clang++ -DYNET_BUILD_FUZZ=ON)" >&2
    exit 2
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp -r "$here/corpus" "$work/corpus"
mkdir -p "$work/artifacts"

status=0
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    "$fuzzer" "$work/corpus" -max_total_time="$seconds" -timeout=10 -max_len=16384 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$work/artifacts/" >"$work/log" 2>&1 || status=$?

runs=$(grep -Eo 'stat::number_of_executed_units: *[0-9]+' "$work/log" | grep -Eo '[0-9]+$' || true)
if [ "$status" -ne 0 ] || ls "$work"/artifacts/* >/dev/null 2>&1; then
    tail -n 60 "$work/log" >&2
    mkdir -p "$build/fuzz-artifacts"
    cp "$work"/artifacts/* "$build/fuzz-artifacts/" 2>/dev/null || true
    echo "fuzz/run.sh: FAILED: NetStreamFuzzer exited with $status; inputs kept in $build/fuzz-artifacts/" >&2
    exit 1
fi
echo "NetStreamFuzzer: ${runs:-?} inputs in ${seconds}s, no failure (corpus $(ls "$work/corpus" | wc -l) entries)"
