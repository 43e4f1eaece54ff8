#!/usr/bin/env bash
# The demo: an echo server and a client exchanging framed messages.
#
#   bash scripts/demo.sh
#
# Builds the tools and the example (Release, native) when needed, starts
# ynet-echod on an ephemeral loopback port, sends a few lines through
# ynet-cat, runs the example application against the same server, shows
# what each printed and stops the server. Exits non-zero on any failure.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${YNET_DEMO_BUILD:-$ROOT/build/demo}
JOBS=${YNET_JOBS:-$(nproc)}

# ---------------------------------------------------------------- build
PACKAGES=(cmake ninja-build g++)
missing=()
for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "== installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
if [ ! -f "$BUILD/CMakeCache.txt" ]; then
    echo "== configuring $BUILD (Release)"
    cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DYNET_BUILD_TESTS=OFF -DYNET_BUILD_BENCH=OFF >/dev/null
fi
if [ -x "$BUILD/tools/ynet-cat" ]; then
    echo "== bringing ynet-echod, ynet-cat and the example up to date"
else
    echo "== building the library, ynet-echod, ynet-cat and the example (Release, $JOBS jobs;"
    echo "   about 40 compile steps, a minute or two on a 2-core machine, the first time only)"
fi
cmake --build "$BUILD" -j "$JOBS" --target ynet-echod ynet-cat EchoClient

ECHOD=$BUILD/tools/ynet-echod
CAT=$BUILD/tools/ynet-cat
EXAMPLE=$BUILD/examples/EchoClient

# ---------------------------------------------------------------- run
WORK=$(mktemp -d)
SERVER_PID=
cleanup() {
    if [ -n "$SERVER_PID" ] && kill -0 "$SERVER_PID" 2>/dev/null; then
        kill -TERM "$SERVER_PID" 2>/dev/null || true
        wait "$SERVER_PID" 2>/dev/null || true
    fi
    rm -rf "$WORK"
}
trap cleanup EXIT
fail() { echo "demo FAILED: $*" >&2; exit 1; }

"$ECHOD" >"$WORK/server.out" 2>&1 &
SERVER_PID=$!

# Its first line is "port N". Give it 10 seconds at most.
PORT=
for _ in $(seq 100); do
    PORT=$(sed -n '1s/^port \([0-9][0-9]*\)$/\1/p' "$WORK/server.out" 2>/dev/null)
    [ -n "$PORT" ] && break
    kill -0 "$SERVER_PID" 2>/dev/null || fail "ynet-echod exited: $(cat "$WORK/server.out")"
    sleep 0.1
done
[ -n "$PORT" ] || fail "ynet-echod printed no port"
echo
echo "== ynet-echod listens on 127.0.0.1:$PORT"

echo
printf '%s\n' "\$ printf 'hello, server\\nsecond line\\n\\nlast: caf\\xc3\\xa9\\n' | ynet-cat --main 5 --assist 7 --request 127.0.0.1:$PORT"
printf 'hello, server\nsecond line\n\nlast: caf\xc3\xa9\n' |
    "$CAT" --main 5 --assist 7 --request "127.0.0.1:$PORT" | tee "$WORK/cat.out" ||
    fail "ynet-cat failed"
grep -q 'recv: main=5 assist=7 flags=request size=17 body="hello, server"' "$WORK/cat.out" ||
    fail "the first echo is missing"
grep -q 'notify: connected' "$WORK/cat.out" || fail "no 'connected' notification"
grep -q 'sent 4, received 4' "$WORK/cat.out" || fail "not every line came back"

echo
echo "\$ echo abc | ynet-cat --hex 127.0.0.1:$PORT"
echo abc | "$CAT" --hex "127.0.0.1:$PORT" | tee "$WORK/hex.out" || fail "ynet-cat --hex failed"
grep -q 'hex=61 62 63' "$WORK/hex.out" || fail "the hex echo is missing"

echo
echo "\$ EchoClient 127.0.0.1:$PORT        # examples/EchoClient.cpp"
LD_LIBRARY_PATH="$BUILD${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" "$EXAMPLE" "127.0.0.1:$PORT" ||
    fail "the example failed"

echo
echo "\$ ynet-cat 127.0.0.1:1      # nothing listens there"
if "$CAT" 127.0.0.1:1 </dev/null 2>"$WORK/refused.err"; then
    fail "ynet-cat reported success on a refused connection"
fi
grep 'ynet-cat:' "$WORK/refused.err" || fail "no message for a refused connection"

kill -TERM "$SERVER_PID"
wait "$SERVER_PID" || fail "ynet-echod did not stop cleanly"
SERVER_PID=
echo
echo "== what ynet-echod printed"
cat "$WORK/server.out"
grep -q '^stopped: 3 connection(s), 6 message(s) echoed$' "$WORK/server.out" ||
    fail "the server's summary is not the expected one"
echo
echo "demo ok"
