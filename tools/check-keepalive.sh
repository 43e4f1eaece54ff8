#!/usr/bin/env bash
# A server that vanishes without a word is noticed through TCP keepalive:
# in a private network namespace (its own loopback), ynet-cat connects to
# ynet-echod, then loopback goes down, so that nothing more reaches either
# side. With keepalive at 1 s idle, 1 s between probes and 2 probes the
# client must report the cut (the library's line saying the peer stopped
# answering, the receive thread's end, ynet-cat's exit) within 1 + 1 x 2
# seconds and a margin; with --no-keepalive it must still be waiting then.
# Needs root (unshare -n) and ip(8); exits 77 (skipped) with the reason
# where a namespace cannot be made.
#
#   check-keepalive.sh ECHOD CAT
set -uo pipefail

ECHOD=$1
CAT=$2
BOUND=3    # idle + interval x count, seconds
MARGIN=5   # what the bound may be late by on a loaded machine, seconds

if [ "${3:-}" != --inside ]; then
    if ! command -v ip >/dev/null; then
        echo "SKIPPED: ip(8) is not installed (Debian's iproute2)"
        exit 77
    fi
    if ! unshare -n true 2>/dev/null; then
        echo "SKIPPED: no private network namespace can be made here (unshare -n needs root or CAP_SYS_ADMIN)"
        exit 77
    fi
    exec unshare -n bash "$0" "$ECHOD" "$CAT" --inside
fi

WORK=$(mktemp -d)
PIDS=()
cleanup() {
    # ynet-echod stops by connecting to itself: loopback must be up again.
    ip link set lo up 2>/dev/null
    for pid in "${PIDS[@]+"${PIDS[@]}"}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null
    rm -rf "$WORK"
}
trap cleanup EXIT
fail() {
    echo "FAILED: $*"
    for f in "$WORK"/*.out "$WORK"/*.err; do [ -f "$f" ] && sed "s|^|  $(basename "$f"): |" "$f"; done
    exit 1
}
# wait_for TENTHS COMMAND...: until the command succeeds, at most TENTHS tenths of a second.
wait_for() {
    local tenths=$1
    shift
    for _ in $(seq "$tenths"); do
        "$@" && return 0
        sleep 0.1
    done
    "$@"
}
# A process that ended stays a zombie until this shell waits for it.
dead() { ! kill -0 "$1" 2>/dev/null || grep '^State:[[:space:]]*Z' "/proc/$1/status" >/dev/null 2>&1; }
alive() { ! dead "$1"; }

ip link set lo up || fail "cannot bring up loopback in the namespace"
"$ECHOD" --quiet >"$WORK/echod.out" 2>"$WORK/echod.err" &
PIDS+=($!)
wait_for 100 grep '^port ' "$WORK/echod.out" >/dev/null || fail "ynet-echod printed no port"
PORT=$(sed -n 's/^port \([0-9]*\)$/\1/p' "$WORK/echod.out")

# connect NAME OPTIONS...: ynet-cat with its input held open; sets CAT_PID once
# its receive thread runs.
connect() {
    local name=$1
    shift
    mkfifo "$WORK/$name.in"
    "$CAT" --wait-ms 0 "$@" "127.0.0.1:$PORT" <"$WORK/$name.in" >"$WORK/$name.out" 2>"$WORK/$name.err" &
    CAT_PID=$!
    PIDS+=("$CAT_PID")
    sleep 3600 >"$WORK/$name.in" &
    PIDS+=($!)
    wait_for 100 grep -x 'notify: receive thread started' "$WORK/$name.out" >/dev/null ||
        fail "$name: ynet-cat did not connect"
}

connect keepalive --keepalive-time 1 --keepalive-cnt 2
KEEPALIVE_PID=$CAT_PID
connect without --no-keepalive
ip link set lo down || fail "cannot bring loopback down"
start=$EPOCHREALTIME
wait_for $(((BOUND + MARGIN) * 10)) dead "$KEEPALIVE_PID" ||
    fail "with keepalive, ynet-cat still waits $((BOUND + MARGIN)) s after the peer vanished"
seconds=$(awk -v a="$start" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.1f", b - a }')
grep -x 'ynet-cat: library: TCPClient::RecvMsg() the peer stopped answering: connection cut' \
    "$WORK/keepalive.err" >/dev/null || fail "with keepalive, no line saying that the peer stopped answering"
grep -x 'notify: receive thread ended' "$WORK/keepalive.out" >/dev/null || fail "with keepalive, the thread did not end"
alive "$CAT_PID" || fail "without keepalive, ynet-cat ended although nothing told it the peer was gone"
echo "keepalive 1 s idle, 1 s between probes, 2 probes: the cut came ${seconds} s after loopback went down" \
    "(bound ${BOUND} s + ${MARGIN} s); without keepalive the client was still waiting"
