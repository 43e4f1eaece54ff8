#!/usr/bin/env bash
# Real SOCKS and HTTP proxies on 127.0.0.1 for the proxy tests, on free ports.
#
#   microsocks, no authentication      YNET_MICROSOCKS_PORT
#   microsocks, user name/password     YNET_MICROSOCKS_AUTH_PORT, YNET_MICROSOCKS_USER, YNET_MICROSOCKS_PASSWORD
#   danted, SOCKS4 and SOCKS5, no auth YNET_DANTE_PORT
#   tinyproxy (HTTP CONNECT), no auth  YNET_TINYPROXY_PORT
#   tinyproxy, Basic credentials       YNET_TINYPROXY_AUTH_PORT, YNET_TINYPROXY_USER, YNET_TINYPROXY_PASSWORD
#                                      (configuration: scripts/tinyproxy.conf)
#
# By hand: run any command with the proxies up, e.g.
#   bash scripts/proxies.sh build/native/tests/ynet_tests --gtest_filter='Socks5*'
# or, in a shell: source scripts/proxies.sh; proxies_start; ...; proxies_stop
# The proxy tests fail (they are not skipped) when these variables are missing.
# Installs microsocks, dante-server and tinyproxy when missing (needs root, as apt-get does).

YNET_PROXY_PIDS=()
YNET_PROXY_DIR=

proxies_install() {
    local missing=()
    command -v microsocks >/dev/null || missing+=(microsocks)
    command -v danted >/dev/null || missing+=(dante-server)
    command -v tinyproxy >/dev/null || missing+=(tinyproxy)
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    # dante-server and tinyproxy try to start a system service at install; that may fail harmlessly.
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null || true
    command -v microsocks >/dev/null && command -v danted >/dev/null && command -v tinyproxy >/dev/null
}

# A port no socket uses now (in any state), above Linux's default range for
# outgoing connections (32768-60999), so that none takes it meanwhile.
proxies_free_port() {
    local port
    while :; do
        port=$((61000 + RANDOM % 4500))
        # grep reads everything (no -q): an early exit would fail the pipeline.
        if ! awk '{print $2}' /proc/net/tcp /proc/net/tcp6 2>/dev/null |
            grep -i ":$(printf '%04X' "$port")\$" >/dev/null; then
            echo "$port"
            return
        fi
    done
}

# Whether the proxy on port answers: a SOCKS proxy a SOCKS5 greeting with
# 05 00 or 05 02, an HTTP proxy (kind http) a request line with a status line.
proxies_ready() { # port [http]
    local reply probe='\x05\x02\x00\x02' want='0500 0502'
    if [ "${2:-}" = http ]; then
        probe='GET / HTTP/1.0\r\n\r\n' want=4854 # "HT"
    fi
    reply=$(timeout 2 bash -c "exec 3<>/dev/tcp/127.0.0.1/$1 && printf '$probe' >&3 &&
        head -c 2 <&3 | od -An -tx1" 2>/dev/null | tr -d ' \n') || true
    [ -n "$reply" ] && [[ " $want " == *" $reply "* ]]
}

# proxies_spawn VAR NAME COMMAND...: starts COMMAND with every @PORT@ replaced
# by a free port (and NAME.conf written from NAME.conf.in likewise, if there
# is one), waits at most 10 s until it answers, exports VAR=port. Tries other
# ports when the process ends early (a port taken in between).
proxies_spawn() {
    local var=$1 name=$2 port pid arg args
    shift 2
    for _ in 1 2 3 4 5; do
        port=$(proxies_free_port)
        args=()
        for arg in "$@"; do args+=("${arg//@PORT@/$port}"); done
        if [ -f "$YNET_PROXY_DIR/$name.conf.in" ]; then
            sed "s/@PORT@/$port/" "$YNET_PROXY_DIR/$name.conf.in" >"$YNET_PROXY_DIR/$name.conf"
        fi
        "${args[@]}" 2>>"$YNET_PROXY_DIR/$name.log" &
        pid=$!
        for _ in $(seq 100); do
            if proxies_ready "$port" "$(case $name in tinyproxy*) echo http ;; esac)"; then
                YNET_PROXY_PIDS+=("$pid")
                export "$var=$port"
                return 0
            fi
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.1
        done
        kill -TERM "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    echo "$name did not start; its log:" >&2
    cat "$YNET_PROXY_DIR/$name.log" >&2
    return 1
}

proxies_write_dante_config() {
    cat >"$YNET_PROXY_DIR/danted.conf.in" <<'EOF'
logoutput: stderr
internal: 127.0.0.1 port = @PORT@
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
    sed 's/@PORT@/1080/' "$YNET_PROXY_DIR/danted.conf.in" >"$YNET_PROXY_DIR/check.conf"
    danted -V -f "$YNET_PROXY_DIR/check.conf" >/dev/null 2>&1
}

proxies_start() {
    [ ${#YNET_PROXY_PIDS[@]} -gt 0 ] && return 0 # already up
    proxies_install || { echo "microsocks or danted missing" >&2; return 1; }
    YNET_PROXY_DIR=$(mktemp -d)
    export YNET_MICROSOCKS_USER=ynet YNET_MICROSOCKS_PASSWORD=s3cret-pw
    proxies_write_dante_config || { echo "danted refused its configuration" >&2; proxies_stop; return 1; }
    export YNET_TINYPROXY_USER=ynet-http YNET_TINYPROXY_PASSWORD=s3cret-http
    local here
    here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
    cp "$here/tinyproxy.conf" "$YNET_PROXY_DIR/tinyproxy.conf.in"
    { cat "$here/tinyproxy.conf" && echo "BasicAuth $YNET_TINYPROXY_USER $YNET_TINYPROXY_PASSWORD"; } \
        >"$YNET_PROXY_DIR/tinyproxy-auth.conf.in"
    if ! proxies_spawn YNET_MICROSOCKS_PORT microsocks microsocks -i 127.0.0.1 -p @PORT@ ||
        ! proxies_spawn YNET_MICROSOCKS_AUTH_PORT microsocks-auth microsocks -i 127.0.0.1 -p @PORT@ \
            -u "$YNET_MICROSOCKS_USER" -P "$YNET_MICROSOCKS_PASSWORD" ||
        ! proxies_spawn YNET_DANTE_PORT danted danted -f "$YNET_PROXY_DIR/danted.conf" -N 1 \
            -p "$YNET_PROXY_DIR/danted.pid" ||
        ! proxies_spawn YNET_TINYPROXY_PORT tinyproxy tinyproxy -d -c "$YNET_PROXY_DIR/tinyproxy.conf" ||
        ! proxies_spawn YNET_TINYPROXY_AUTH_PORT tinyproxy-auth tinyproxy -d -c "$YNET_PROXY_DIR/tinyproxy-auth.conf"; then
        proxies_stop
        return 1
    fi
    echo "proxies: microsocks :$YNET_MICROSOCKS_PORT, microsocks with credentials :$YNET_MICROSOCKS_AUTH_PORT," \
        "danted :$YNET_DANTE_PORT, tinyproxy :$YNET_TINYPROXY_PORT, tinyproxy with credentials :$YNET_TINYPROXY_AUTH_PORT"
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
    unset YNET_MICROSOCKS_PORT YNET_MICROSOCKS_AUTH_PORT YNET_DANTE_PORT YNET_TINYPROXY_PORT YNET_TINYPROXY_AUTH_PORT
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
    set -euo pipefail
    [ $# -gt 0 ] || { echo "usage: $0 COMMAND [ARGS...]" >&2; exit 2; }
    trap proxies_stop EXIT
    proxies_start
    "$@"
fi
