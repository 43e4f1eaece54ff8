#!/usr/bin/env bash
# Writes the consumer project that README.md shows into DIR: each fenced
# block that follows a "<!-- package-check: NAME -->" line becomes DIR/NAME.
# The test command builds exactly these files, so the README cannot drift
# from what works.
#
#   from-readme.sh README.md DIR
set -euo pipefail

readme=${1:?usage: from-readme.sh README.md DIR}
dir=${2:?usage: from-readme.sh README.md DIR}
mkdir -p "$dir"
awk -v dir="$dir" '
    /^<!-- package-check: [^ ]+ -->$/ { name = $3; wanted = 1; next }
    wanted && /^```/ && !inside { inside = 1; file = dir "/" name; printf "" > file; next }
    inside && /^```$/ { inside = 0; wanted = 0; close(file); next }
    inside { print >> file }
    END { if (inside) { print "from-readme.sh: unterminated block " name > "/dev/stderr"; exit 1 } }
' "$readme"
for name in CMakeLists.txt main.cpp pkg-config; do
    if [ ! -s "$dir/$name" ]; then
        echo "from-readme.sh: $readme shows no '$name' block for the package check" >&2
        exit 1
    fi
done
