#!/usr/bin/env bash
# Usage: bench/wine-scale.sh NATIVE_BUILD MINGW_BUILD [ScaleBench arguments]
#
# The scale benchmark of the x86_64 Windows build under Wine (WINEPREFIX as
# set by the caller), against the native holding server (ScaleBench
# --serve from NATIVE_BUILD): the Windows build has no server of its own.
set -euo pipefail
native=$(cd "${1:?usage: bench/wine-scale.sh NATIVE_BUILD MINGW_BUILD [arguments]}" && pwd)
mingw=$(cd "${2:?usage: bench/wine-scale.sh NATIVE_BUILD MINGW_BUILD [arguments]}" && pwd)
shift 2
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

coproc SERVER { exec "$native/bench/ScaleBench" --serve; }
# shellcheck disable=SC2153 # set by coproc
server_pid=$SERVER_PID
server_input=${SERVER[1]}
read -r _ port <&"${SERVER[0]}"
export WINEDEBUG=${WINEDEBUG:--all} WINEPATH="Z:$mingw"
status=0
"$here/cmake/wine-run.sh" "$mingw/bench/ScaleBench.exe" --port "$port" "$@" || status=$?
exec {server_input}>&- # the server ends with its input
wait "$server_pid" || true
exit $status
