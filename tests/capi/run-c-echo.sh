#!/usr/bin/env bash
# For ctest: ynet-c-echo against a ynet-echod of its own, directly and
# through the microsocks that YNET_MICROSOCKS_PORT names (scripts/proxies.sh;
# missing, the test fails as the other proxy tests do).
#
#   run-c-echo.sh YNET-ECHOD YNET-C-ECHO
set -euo pipefail

echod=${1:?usage: run-c-echo.sh YNET-ECHOD YNET-C-ECHO}
program=${2:?usage: run-c-echo.sh YNET-ECHOD YNET-C-ECHO}
[ -n "${YNET_MICROSOCKS_PORT:-}" ] || {
    echo "run-c-echo.sh: YNET_MICROSOCKS_PORT is not set (run under scripts/proxies.sh)" >&2
    exit 1
}
coproc ECHOD { exec "$echod" --quiet; }
trap 'kill "$ECHOD_PID" 2>/dev/null || true; wait "$ECHOD_PID" 2>/dev/null || true' EXIT
read -r -t 30 line <&"${ECHOD[0]}"
[[ $line =~ ^port\ ([0-9]+) ]] || { echo "run-c-echo.sh: no port line from $echod" >&2 && exit 1; }
"$program" "127.0.0.1:${BASH_REMATCH[1]}"
"$program" "127.0.0.1:${BASH_REMATCH[1]}" "127.0.0.1:$YNET_MICROSOCKS_PORT"
