#!/bin/sh
# Runs a Windows program under wine64 in this very process (exec keeps the
# process id), telling the program its host process id in YNET_HOST_PID so
# that it can read its own account in the host's /proc.
export YNET_HOST_PID=$$
exec /usr/lib/wine/wine64 "$@"
