#!/usr/bin/env bash
# End-to-end check of the installed programs: ynet-echod and ynet-cat run as
# processes against each other on ephemeral loopback ports, through their
# options, exit statuses and messages. Run by ctest, natively and (with
# --run wine64) on the Windows build.
#
#   check-tools.sh [--run LAUNCHER] ECHOD CAT
set -uo pipefail

RUN=()
if [ "${1:-}" = --run ]; then
    RUN=("$2")
    shift 2
fi
ECHOD=$1
CAT=$2
WORK=$(mktemp -d)
PIDS=()
declare -A PID   # by server name
declare -A HOLDER # by server name, under --run: the process that keeps its input open
FAILED=0
PASSED=0

cleanup() {
    for pid in "${HOLDER[@]+"${HOLDER[@]}"}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${PIDS[@]+"${PIDS[@]}"}"; do
        kill -TERM "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$WORK"
}
trap cleanup EXIT

check() { # name, condition...
    local name=$1
    shift
    if "$@"; then
        PASSED=$((PASSED + 1))
    else
        FAILED=$((FAILED + 1))
        echo "FAILED: $name"
    fi
}

# start_server NAME ARGS... : starts ynet-echod, sets PORT and PID[NAME].
start_server() {
    local name=$1 pid
    shift
    if [ ${#RUN[@]} -gt 0 ]; then
        # A Windows program ignores SIGTERM: it stops at the end of its
        # input, which a process of its own holds open (this shell does not,
        # so the programs it starts later cannot hold it open either).
        mkfifo "$WORK/$name.in"
        "${RUN[@]}" "$ECHOD" --stdin-stop "$@" <"$WORK/$name.in" >"$WORK/$name.out" 2>"$WORK/$name.err" &
        pid=$!
        sleep 3600 >"$WORK/$name.in" &
        HOLDER[$name]=$!
    else
        "$ECHOD" "$@" >"$WORK/$name.out" 2>"$WORK/$name.err" &
        pid=$!
    fi
    PIDS+=("$pid")
    PID[$name]=$pid
    PORT=
    for _ in $(seq 600); do # 30 s: a Wine process may be slow to start
        PORT=$(sed -n '1s/^port \([0-9][0-9]*\)\r\{0,1\}$/\1/p' "$WORK/$name.out" 2>/dev/null)
        [ -n "$PORT" ] && return 0
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.05
    done
    echo "ynet-echod $* printed no port:"
    cat "$WORK/$name.out" "$WORK/$name.err"
    exit 1
}

# cat_run NAME INPUT ARGS... : runs ynet-cat, sets STATUS; output in NAME.out/.err.
cat_run() {
    local name=$1 input=$2
    shift 2
    printf '%b' "$input" | timeout 60 "${RUN[@]}" "$CAT" "$@" >"$WORK/$name.out" 2>"$WORK/$name.err"
    STATUS=$?
    sed -i 's/\r$//' "$WORK/$name.out" "$WORK/$name.err" # Windows line ends
}
has() { grep -qF -- "$2" "$WORK/$1"; }
lacks() { ! grep -qF -- "$2" "$WORK/$1"; }

# -------------------------------------------------------------- plain echo
start_server plain
cat_run echo 'hello\nsecond line\n\n' --main 5 --assist 7 --request "127.0.0.1:$PORT"
check "echo: exit 0" test "$STATUS" -eq 0
check "echo: first line" has echo.out 'recv: main=5 assist=7 flags=request size=9 body="hello"'
check "echo: second line" has echo.out 'recv: main=5 assist=7 flags=request size=15 body="second line"'
check "echo: empty line is a head-only message" has echo.out 'recv: main=5 assist=7 flags=request size=4 body=""'
check "echo: connected" has echo.out 'notify: connected'
check "echo: thread started" has echo.out 'notify: receive thread started'
check "echo: thread ended" has echo.out 'notify: receive thread ended'
check "echo: counts" has echo.out 'sent 3, received 3'
check "echo: server saw it plain" has plain.out 'main=5 assist=7 flags=request size=9 body="hello"'

cat_run hex 'abc\n' --hex --respond "localhost:$PORT"
check "hex: exit 0" test "$STATUS" -eq 0
check "hex: body in hex" has hex.out 'recv: main=1 assist=0 flags=respond size=7 hex=61 62 63'

LONG_LINE=$(head -c 1437 /dev/zero | tr '\0' x)
cat_run long "$LONG_LINE\nfits\n" "127.0.0.1:$PORT"
check "long line: exit 1, a line was not sent" test "$STATUS" -eq 1
check "long line: refused with a reason" has long.err 'line 1 has 1437 bytes'
check "long line: the next one goes" has long.out 'sent 1, received 1'
check "long line: counted as a failure" has long.err 'ynet-cat: 1 line(s) too long to send'

# Events in the order they happened: the thread starts before it receives.
cat_run order 'one\ntwo\n' "127.0.0.1:$PORT"
check "order: started before the first message" \
    test "$(grep -n -m1 'notify: receive thread started' "$WORK/order.out" | cut -d: -f1)" \
    -lt "$(grep -n -m1 '^recv:' "$WORK/order.out" | cut -d: -f1)"

# ------------------------------------------------------- connection faults
cat_run refused 'x\n' 127.0.0.1:1
check "refused: exit 2" test "$STATUS" -eq 2
check "refused: says so" has refused.err 'ynet-cat: cannot connect to 127.0.0.1:1: connection refused (error 10061)'
check "refused: the library's log line in the tool's form" has refused.err 'ynet-cat: library: TCPClient::Init() connect fail(0x274d)!'
check "refused: no raw library line" lacks refused.err '[YNet2]'

cat_run badtarget '' not-an-address
check "bad target: exit 2" test "$STATUS" -eq 2
check "bad target: says so" has badtarget.err 'is not HOST:PORT'

cat_run notarget '' --main 3
check "no target: exit 2" test "$STATUS" -eq 2
check "no target: says it is missing" has notarget.err 'ynet-cat: no target: give the server as HOST:PORT'

# Names and IPv6: a name that cannot exist (RFC 6761), and an IPv6 target,
# which a direct connection (IPv4) refuses before it connects.
cat_run notfound 'x\n' "nonexistent.invalid:$PORT"
check "name not found: exit 2" test "$STATUS" -eq 2
check "name not found: says so" has notfound.err 'TCPClient::Init() nonexistent.invalid: host not found (0x2af9)!'
cat_run v6direct 'x\n' "[::1]:$PORT"
check "[::1] directly: exit 2" test "$STATUS" -eq 2
check "[::1] directly: refused with the reason" has v6direct.err 'a direct connection is IPv4'

start_server closing --close-after 2
cat_run cut 'one\ntwo\nthree\n' "127.0.0.1:$PORT"
check "cut: exit 1" test "$STATUS" -eq 1
check "cut: says the connection was cut" has cut.err 'the connection was cut'
check "cut: thread ended" has cut.out 'notify: receive thread ended'

cat_run exact 'one\ntwo\n' "127.0.0.1:$PORT"
check "close after everything answered: exit 0" test "$STATUS" -eq 0
check "close after everything answered: counts" has exact.out 'sent 2, received 2'

start_server resetting --close-after 1 --reset
cat_run reset 'one\ntwo\n' "127.0.0.1:$PORT"
check "reset: exit 1" test "$STATUS" -eq 1
check "reset: says the connection was cut" has reset.err 'the connection was cut'

start_server oversized --oversized
cat_run oversized 'x\n' "127.0.0.1:$PORT"
check "oversized head: exit 1" test "$STATUS" -eq 1
check "oversized head: no message handed over" lacks oversized.out 'recv:'
check "oversized head: says what happened" has oversized.err \
    'the server sent a message head announcing more than the 1440-byte limit; the client refused it and cut the connection'
check "oversized head: not blamed on the peer" lacks oversized.err 'cut by the peer'

start_server headonly --head-only --quiet
cat_run headonly-cat 'x\n' "127.0.0.1:$PORT"
check "head-only: exit 0" test "$STATUS" -eq 0
check "head-only: shown" has headonly-cat.out 'recv: main=1 assist=0 flags=respond size=4 body=""'
check "quiet server: port line only" test "$(wc -l <"$WORK/headonly.out")" -eq 1

# ---------------------------------------------------- through proxies
# microsocks, danted and tinyproxy, started by scripts/proxies.sh
# (YNET_MICROSOCKS_*, YNET_DANTE_PORT, YNET_TINYPROXY_*).
if [ -z "${YNET_MICROSOCKS_AUTH_PORT:-}" ] || [ -z "${YNET_TINYPROXY_AUTH_PORT:-}" ]; then
    check "proxy: run through scripts/proxies.sh (YNET_MICROSOCKS_AUTH_PORT or YNET_TINYPROXY_AUTH_PORT is not set)" false
else
    start_server proxied
    PROXY="127.0.0.1:$YNET_MICROSOCKS_AUTH_PORT"
    cat_run viaproxy 'over the proxy\n' --proxy "socks5://$YNET_MICROSOCKS_USER:$YNET_MICROSOCKS_PASSWORD@$PROXY" \
        "127.0.0.1:$PORT"
    check "proxy: exit 0" test "$STATUS" -eq 0
    check "proxy: connected through it" has viaproxy.out "connected to 127.0.0.1:$PORT through the SOCKS5 proxy $PROXY"
    check "proxy: echo" has viaproxy.out 'recv: main=1 assist=0 flags=- size=18 body="over the proxy"'
    cat_run byname 'by name\n' --proxy "socks5h://$YNET_MICROSOCKS_USER:$YNET_MICROSOCKS_PASSWORD@$PROXY" \
        "localhost:$PORT"
    check "proxy resolves the name (socks5h): echo" has byname.out 'recv: main=1 assist=0 flags=- size=11 body="by name"'
    cat_run wrongpw 'x\n' --proxy "socks5://$PROXY" --proxy-user "$YNET_MICROSOCKS_USER:wrong" "127.0.0.1:$PORT"
    check "proxy, wrong password: exit 2" test "$STATUS" -eq 2
    check "proxy, wrong password: says so" has wrongpw.err \
        "through the SOCKS5 proxy $PROXY: socks5 user name/password fail! (refused, status 2)"
    cat_run nocreds 'x\n' --proxy "socks5://$PROXY" "127.0.0.1:$PORT"
    check "proxy, no credentials: exit 2" test "$STATUS" -eq 2
    check "proxy, no credentials: says so" has nocreds.err 'socks5 method reply fail! (no acceptable method)'
    cat_run badproxy '' --proxy "ftp://$PROXY" "127.0.0.1:$PORT"
    check "proxy, unknown scheme: exit 2" test "$STATUS" -eq 2
    check "proxy, unknown scheme: says so" has badproxy.err \
        'ynet-cat: --proxy: the proxy URL does not start with socks4://, socks4a://, socks5://, socks5h:// or http://'

    # Every kind of proxy, a server by name and one by IPv6 literal (a
    # second server on ::1, where the machine has IPv6 loopback).
    SERVER4=$PORT
    TINY="$YNET_TINYPROXY_USER:$YNET_TINYPROXY_PASSWORD@127.0.0.1:$YNET_TINYPROXY_AUTH_PORT"
    routes=("socks4://127.0.0.1:$YNET_DANTE_PORT localhost:$SERVER4"
        "socks5://localhost:$YNET_DANTE_PORT localhost:$SERVER4"
        "http://$TINY localhost:$SERVER4"
        "HTTP://127.0.0.1:$YNET_TINYPROXY_PORT/ 127.0.0.1:$SERVER4")
    if grep -q '^0\{31\}1 ' /proc/net/if_inet6 2>/dev/null; then
        start_server six --listen ::1
        routes+=("socks5h://127.0.0.1:$YNET_MICROSOCKS_PORT [::1]:$PORT" "http://$TINY [::1]:$PORT")
    fi
    for route in "${routes[@]}"; do
        cat_run route 'each route\n' --proxy "${route% *}" "${route#* }"
        check "route $route: exit 0" test "$STATUS" -eq 0
        check "route $route: echo" has route.out 'recv: main=1 assist=0 flags=- size=14 body="each route"'
    done
    cat_run http407 'x\n' --proxy "http://127.0.0.1:$YNET_TINYPROXY_AUTH_PORT" "127.0.0.1:$SERVER4"
    check "http, no credentials: exit 2" test "$STATUS" -eq 2
    check "http, no credentials: says so" has http407.err \
        "through the HTTP proxy 127.0.0.1:$YNET_TINYPROXY_AUTH_PORT: http connect fail! (status 407"

    # The last --proxy replaces the one before, credentials included.
    cat_run lastproxy 'last\n' --proxy "socks5://$YNET_MICROSOCKS_USER:$YNET_MICROSOCKS_PASSWORD@$PROXY" \
        --proxy "socks5://127.0.0.1:$YNET_MICROSOCKS_PORT" "127.0.0.1:$SERVER4"
    check "the last --proxy, without credentials: exit 0" test "$STATUS" -eq 0
    # A NUL byte (%00) in credentials is refused before anything is sent.
    cat_run nul 'x\n' --proxy "socks5h://$YNET_MICROSOCKS_USER:$YNET_MICROSOCKS_PASSWORD%00tail@$PROXY" \
        "127.0.0.1:$SERVER4"
    check "NUL in the password: exit 2" test "$STATUS" -eq 2
    check "NUL in the password: says so" has nul.err 'ynet-cat: --proxy: the password holds a NUL byte (%00)'
    cat_run nuluser 'x\n' --proxy "socks5://$PROXY" --proxy-user "al%00ice:pw" "127.0.0.1:$SERVER4"
    check "NUL in --proxy-user: says so" has nuluser.err 'ynet-cat: --proxy-user: the user name holds a NUL byte (%00)'
    # A proxy that takes the connection and never answers: a plain server
    # reads the greeting as the start of a head and waits for the rest.
    cat_run silent 'x\n' --connect-timeout 0.5 --proxy "socks5://127.0.0.1:$SERVER4" "127.0.0.1:$SERVER4"
    check "silent proxy: exit 2" test "$STATUS" -eq 2
    check "silent proxy: says it timed out" has silent.err '(timed out: see --connect-timeout)'
    cat_run badbound '' --connect-timeout 1.x "127.0.0.1:$SERVER4"
    check "bad --connect-timeout: exit 2" test "$STATUS" -eq 2
fi

cat_run octal '' "010.0.0.1:80"
check "leading zero: exit 2" test "$STATUS" -eq 2
check "leading zero: says so" has octal.err 'ynet-cat: 010.0.0.1: an IPv4 address is written a.b.c.d (0-255, no leading zeros)'

# ---------------------------------------------------------- server ending
echo | "${RUN[@]}" "$ECHOD" --stdin-stop --quiet >"$WORK/stdin.out" 2>&1
check "stdin-stop: exit 0" test $? -eq 0
sed -i 's/\r$//' "$WORK/stdin.out"
check "stdin-stop: summary" has stdin.out 'stopped: 0 connection(s), 0 message(s) echoed'

if [ ${#RUN[@]} -gt 0 ]; then
    kill "${HOLDER[plain]}"
    STOP=input
else
    kill -TERM "${PID[plain]}"
    STOP=SIGTERM
fi
wait "${PID[plain]}"
check "$STOP: exit 0" test $? -eq 0
sed -i 's/\r$//' "$WORK/plain.out"
check "$STOP: summary" has plain.out 'stopped: 4 connection(s), 7 message(s) echoed'

"${RUN[@]}" "$ECHOD" --bogus >/dev/null 2>"$WORK/usage.err"
check "bad option: exit 2" test $? -eq 2
check "bad option: usage" has usage.err 'usage: ynet-echod'

echo "$PASSED passed, $FAILED failed"
[ "$FAILED" -eq 0 ]
