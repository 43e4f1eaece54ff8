#!/usr/bin/env bash
# Writes the consumer project and the examples that README.md and the pages
# of docs/ show into DIR: each fenced block that follows a
# "<!-- package-check: NAME -->" line becomes DIR/NAME. The test command
# builds exactly these files, so the documents cannot drift from what works.
#
#   from-readme.sh README.md [docs/PAGE.md...] DIR
set -euo pipefail

[ $# -ge 2 ] || { echo "usage: from-readme.sh README.md [docs/PAGE.md...] DIR" >&2 && exit 2; }
dir=${!#}
documents=("${@:1:$#-1}")
mkdir -p "$dir"
awk -v dir="$dir" '
    FNR == 1 && inside { print "from-readme.sh: unterminated block " name > "/dev/stderr"; exit 1 }
    /^<!-- package-check: [^ ]+ -->$/ { name = $3; wanted = 1; next }
    wanted && /^```/ && !inside { inside = 1; file = dir "/" name; printf "" > file; next }
    inside && /^```$/ { inside = 0; wanted = 0; close(file); next }
    inside { print >> file }
    END { if (inside) { print "from-readme.sh: unterminated block " name > "/dev/stderr"; exit 1 } }
' "${documents[@]}"
for name in CMakeLists.txt main.cpp pkg-config; do
    if [ ! -s "$dir/$name" ]; then
        echo "from-readme.sh: ${documents[*]} show no '$name' block for the package check" >&2
        exit 1
    fi
done
