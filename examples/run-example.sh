#!/usr/bin/env bash
# Runs the example against ynet-echod on an ephemeral loopback port and
# checks what it printed. Run by ctest, natively and (with --run wine64) on
# the Windows build.
#
#   run-example.sh [--run LAUNCHER] ECHOD ECHOCLIENT
set -uo pipefail

RUN=()
if [ "${1:-}" = --run ]; then
    RUN=("$2")
    shift 2
fi
ECHOD=$1
EXAMPLE=$2
WORK=$(mktemp -d)
# The server stops at the end of its input (a Windows program ignores
# SIGTERM), which a process of its own holds open.
mkfifo "$WORK/server.in"
"${RUN[@]}" "$ECHOD" --quiet --stdin-stop <"$WORK/server.in" >"$WORK/server.out" 2>"$WORK/server.err" &
SERVER=$!
sleep 3600 >"$WORK/server.in" &
HOLDER=$!
stop_server() {
    kill "$HOLDER" 2>/dev/null
    wait "$SERVER" 2>/dev/null
    rm -rf "$WORK"
}
trap stop_server EXIT

PORT=
for _ in $(seq 600); do # 30 s: a Wine process may be slow to start
    PORT=$(sed -n '1s/^port \([0-9][0-9]*\)\r\{0,1\}$/\1/p' "$WORK/server.out" 2>/dev/null)
    [ -n "$PORT" ] && break
    sleep 0.05
done
[ -n "$PORT" ] || { echo "ynet-echod printed no port"; exit 1; }

timeout 60 "${RUN[@]}" "$EXAMPLE" "127.0.0.1:$PORT" >"$WORK/example.out" 2>&1
STATUS=$?
sed -i 's/\r$//' "$WORK/example.out" # Windows line ends
cat "$WORK/example.out"
FAILED=0
expect() {
    grep -qxF -- "$1" "$WORK/example.out" || { echo "missing: $1"; FAILED=$((FAILED + 1)); }
}
[ "$STATUS" -eq 0 ] || { echo "the example exited with $STATUS"; FAILED=$((FAILED + 1)); }
expect "notification 1: connected"
expect "notification 2: receive thread started"
expect "echo: main 1, assistant 2, 21 bytes: hello, YonderNetC"
expect "notification 3: receive thread ended"
expect "done"
# In the order they happened: the thread starts before it receives the echo.
if [ "$(grep -n -m1 'notification 2:' "$WORK/example.out" | cut -d: -f1)" -gt \
    "$(grep -n -m1 '^echo:' "$WORK/example.out" | cut -d: -f1)" ]; then
    echo "out of order: the echo printed before the receive thread started"
    FAILED=$((FAILED + 1))
fi
echo "$((7 - FAILED)) passed, $FAILED failed"
[ "$FAILED" -eq 0 ]
