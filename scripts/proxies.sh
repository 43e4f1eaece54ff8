#!/usr/bin/env bash
# Real SOCKS proxies on 127.0.0.1 for the proxy tests, on free ephemeral ports.
#
#   microsocks, no authentication      YNET_MICROSOCKS_PORT
#   microsocks, user name/password     YNET_MICROSOCKS_AUTH_PORT, YNET_MICROSOCKS_USER, YNET_MICROSOCKS_PASSWORD
#   danted, SOCKS4 and SOCKS5, no auth YNET_DANTE_PORT
#
# By hand: run any command with the proxies up, e.g.
#   bash scripts/proxies.sh build/native/tests/ynet_tests --gtest_filter='Socks5*'
# or, in a shell: source scripts/proxies.sh; proxies_start; ...; proxies_stop
# The proxy tests fail (they are not skipped) when these variables are missing.
# Installs microsocks and dante-server when missing (needs root, as apt-get does).

YNET_PROXY_PIDS=()
YNET_PROXY_DIR=

proxies_install() {
    local missing=()
    command -v microsocks >/dev/null || missing+=(microsocks)
    command -v danted >/dev/null || missing+=(dante-server)
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    # dante-server tries to start a system service at install; that may fail harmlessly.
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null || true
    command -v microsocks >/dev/null && command -v danted >/dev/null
}

# A port nothing listens on now, from the ephemeral range.
proxies_free_port() {
    local port
    while :; do
        port=$((49152 + RANDOM % 16000))
        (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null || { echo "$port"; return; }
    done
}

# Waits (at most 10 s) until a proxy on port answers a SOCKS5 greeting with 05 00 or 05 02.
proxies_wait_ready() {
    local port=$1 reply
    for _ in $(seq 100); do
        reply=$(timeout 2 bash -c "exec 3<>/dev/tcp/127.0.0.1/$port && printf '\\x05\\x02\\x00\\x02' >&3 &&
            head -c 2 <&3 | od -An -tx1" 2>/dev/null | tr -d ' \n') || true
        case $reply in 0500 | 0502) return 0 ;; esac
        sleep 0.1
    done
    echo "proxy on port $port did not answer" >&2
    return 1
}

proxies_start() {
    [ -n "${YNET_DANTE_PORT:-}" ] && [ ${#YNET_PROXY_PIDS[@]} -gt 0 ] && return 0 # already up
    proxies_install || { echo "microsocks or danted missing" >&2; return 1; }
    YNET_PROXY_DIR=$(mktemp -d)
    export YNET_MICROSOCKS_USER=ynet YNET_MICROSOCKS_PASSWORD=s3cret-pw

    YNET_MICROSOCKS_PORT=$(proxies_free_port)
    microsocks -i 127.0.0.1 -p "$YNET_MICROSOCKS_PORT" 2>"$YNET_PROXY_DIR/microsocks.log" &
    YNET_PROXY_PIDS+=($!)
    YNET_MICROSOCKS_AUTH_PORT=$(proxies_free_port)
    microsocks -i 127.0.0.1 -p "$YNET_MICROSOCKS_AUTH_PORT" -u "$YNET_MICROSOCKS_USER" \
        -P "$YNET_MICROSOCKS_PASSWORD" 2>"$YNET_PROXY_DIR/microsocks-auth.log" &
    YNET_PROXY_PIDS+=($!)

    YNET_DANTE_PORT=$(proxies_free_port)
    cat >"$YNET_PROXY_DIR/danted.conf" <<EOF
logoutput: stderr
internal: 127.0.0.1 port = $YNET_DANTE_PORT
external: 127.0.0.1
clientmethod: none
socksmethod: none
user.privileged: root
user.unprivileged: nobody
client pass { from: 127.0.0.0/8 to: 127.0.0.0/8
    log: error }
socks pass { from: 127.0.0.0/8 to: 127.0.0.0/8
    command: connect
    log: error connect }
socks block { from: 0.0.0.0/0 to: 0.0.0.0/0
    log: error connect }
EOF
    danted -V -f "$YNET_PROXY_DIR/danted.conf" >/dev/null 2>&1 || { echo "danted refused its configuration" >&2; return 1; }
    danted -f "$YNET_PROXY_DIR/danted.conf" -N 1 -p "$YNET_PROXY_DIR/danted.pid" 2>"$YNET_PROXY_DIR/danted.log" &
    YNET_PROXY_PIDS+=($!)
    export YNET_MICROSOCKS_PORT YNET_MICROSOCKS_AUTH_PORT YNET_DANTE_PORT

    local port
    for port in "$YNET_MICROSOCKS_PORT" "$YNET_MICROSOCKS_AUTH_PORT" "$YNET_DANTE_PORT"; do
        proxies_wait_ready "$port" || { proxies_stop; return 1; }
    done
    echo "proxies: microsocks :$YNET_MICROSOCKS_PORT, microsocks with credentials :$YNET_MICROSOCKS_AUTH_PORT," \
        "danted :$YNET_DANTE_PORT"
}

proxies_stop() {
    local pid
    for pid in "${YNET_PROXY_PIDS[@]+"${YNET_PROXY_PIDS[@]}"}"; do
        kill -TERM "$pid" 2>/dev/null || true
    done
    for pid in "${YNET_PROXY_PIDS[@]+"${YNET_PROXY_PIDS[@]}"}"; do
        wait "$pid" 2>/dev/null || true
    done
    YNET_PROXY_PIDS=()
    [ -n "$YNET_PROXY_DIR" ] && rm -rf "$YNET_PROXY_DIR"
    YNET_PROXY_DIR=
    unset YNET_MICROSOCKS_PORT YNET_MICROSOCKS_AUTH_PORT YNET_DANTE_PORT
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
    set -euo pipefail
    [ $# -gt 0 ] || { echo "usage: $0 COMMAND [ARGS...]" >&2; exit 2; }
    trap proxies_stop EXIT
    proxies_start
    "$@"
fi
