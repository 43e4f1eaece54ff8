#!/usr/bin/env bash
# A server that vanishes without a word is noticed through TCP keepalive:
# in a network namespace of its own, two ynet-cat connect to ynet-echod,
# then loopback goes down and nothing more reaches either side. The one with
# keepalive at 1 s idle, 1 s between probes and 2 probes must report the
# cut (the library's line, the thread's end, its exit) within 1 + 1 x 2 s
# and a margin; the one with --no-keepalive must still be waiting then.
# Needs root and ip(8); exits 77 (skipped) with the reason where a namespace
# cannot be made.
#
#   check-keepalive.sh ECHOD CAT
set -uo pipefail

ECHOD=$1 CAT=$2
BOUND=3 MARGIN=5 # seconds: idle + interval x count, and what the cut may be late by on a loaded machine
if [ "${3:-}" != --inside ]; then
    command -v ip >/dev/null || { echo "SKIPPED: ip(8) is not installed (Debian's iproute2)" && exit 77; }
    unshare -n true 2>/dev/null || {
        echo "SKIPPED: no network namespace can be made here (unshare -n needs root or CAP_SYS_ADMIN)"
        exit 77
    }
    exec unshare -n bash "$0" "$ECHOD" "$CAT" --inside
fi

WORK=$(mktemp -d)
PIDS=()
cleanup() {
    ip link set lo up 2>/dev/null # ynet-echod stops by connecting to itself
    for pid in "${PIDS[@]+"${PIDS[@]}"}"; do kill "$pid" 2>/dev/null; done
    wait 2>/dev/null
    rm -rf "$WORK"
}
trap cleanup EXIT
fail() {
    echo "FAILED: $*"
    for f in "$WORK"/*.out "$WORK"/*.err; do sed "s|^|  $(basename "$f"): |" "$f"; done
    exit 1
}
now_us() { echo "${EPOCHREALTIME/./}"; }
# within TENTHS COMMAND...: true once the command is, at most TENTHS tenths of a second from now
# (by the clock: each try takes its own time on a loaded machine).
within() {
    local deadline=$(($(now_us) + $1 * 100000))
    shift
    while [ "$(now_us)" -lt "$deadline" ]; do
        if "$@"; then return 0; fi
        sleep 0.1
    done
    "$@"
}
# A process that ended stays a zombie until this shell waits for it.
ended() { ! kill -0 "$1" 2>/dev/null || grep '^State:[[:space:]]*Z' "/proc/$1/status" >/dev/null 2>&1; }

ip link set lo up || fail "cannot bring up loopback in the namespace"
"$ECHOD" --quiet >"$WORK/echod.out" 2>"$WORK/echod.err" &
PIDS+=($!)
within 300 grep '^port ' "$WORK/echod.out" >/dev/null || fail "ynet-echod printed no port"
PORT=$(sed -n 's/^port \([0-9]*\)$/\1/p' "$WORK/echod.out")

# connect NAME OPTIONS...: ynet-cat, its input held open, its receive thread running; CAT_PID.
connect() {
    local name=$1
    shift
    mkfifo "$WORK/$name.in"
    "$CAT" --wait-ms 0 "$@" "127.0.0.1:$PORT" <"$WORK/$name.in" >"$WORK/$name.out" 2>"$WORK/$name.err" &
    CAT_PID=$!
    sleep 3600 >"$WORK/$name.in" &
    PIDS+=("$CAT_PID" $!)
    within 300 grep -x 'notify: receive thread started' "$WORK/$name.out" >/dev/null || fail "$name: no connection"
}
connect keepalive --keepalive-time 1 --keepalive-cnt 2
KEEPALIVE_PID=$CAT_PID
connect without --no-keepalive
ip link set lo down || fail "cannot bring loopback down"
start=$(now_us)
within $(((BOUND + MARGIN) * 10)) ended "$KEEPALIVE_PID" || fail "keepalive: still waiting after $((BOUND + MARGIN)) s"
elapsed=$(($(now_us) - start))
seconds=$(awk -v us="$elapsed" 'BEGIN { printf "%.1f", us / 1e6 }')
[ "$elapsed" -le $(((BOUND + MARGIN) * 1000000)) ] || fail "keepalive: the cut came ${seconds} s after loopback went down"
grep -x 'ynet-cat: library: TCPClient::RecvMsg() the peer stopped answering: connection cut' \
    "$WORK/keepalive.err" >/dev/null || fail "keepalive: no line saying that the peer stopped answering"
grep -x 'notify: receive thread ended' "$WORK/keepalive.out" >/dev/null || fail "keepalive: the thread did not end"
ended "$CAT_PID" && fail "without keepalive: ended although nothing told it that the peer was gone"
echo "keepalive 1 s idle, 1 s between probes, 2 probes: the cut came ${seconds} s after loopback went down" \
    "(bound ${BOUND} s + ${MARGIN} s); without keepalive the client was still waiting"
