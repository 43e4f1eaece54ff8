#!/usr/bin/env bash
# Runs the example against ynet-echod on an ephemeral loopback port and
# checks what it printed. Run by ctest on native builds.
#
#   run-example.sh ECHOD ECHOCLIENT
set -uo pipefail

ECHOD=$1
EXAMPLE=$2
WORK=$(mktemp -d)
"$ECHOD" --quiet >"$WORK/server.out" 2>&1 &
SERVER=$!
trap 'kill -TERM $SERVER 2>/dev/null; wait $SERVER 2>/dev/null; rm -rf "$WORK"' EXIT

PORT=
for _ in $(seq 200); do
    PORT=$(sed -n '1s/^port \([0-9][0-9]*\)$/\1/p' "$WORK/server.out" 2>/dev/null)
    [ -n "$PORT" ] && break
    sleep 0.05
done
[ -n "$PORT" ] || { echo "ynet-echod printed no port"; exit 1; }

timeout 60 "$EXAMPLE" "127.0.0.1:$PORT" >"$WORK/example.out" 2>&1
STATUS=$?
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
echo "$((6 - FAILED)) passed, $FAILED failed"
[ "$FAILED" -eq 0 ]
