#!/usr/bin/env bash
# Holds each tool's manual page to its --help, so that neither can drift:
# the long options the usage lists are exactly the tags of the page's
# OPTIONS entries (the line after each .TP), and groff reads the page
# without a warning. --help itself, which prints the list, may be on the
# page without being in it.
#
#   check-manpages.sh TOOL PAGE [TOOL PAGE]...
set -euo pipefail

failures=0
fail() {
    echo "$*"
    failures=$((failures + 1))
}

long_options() { # the --words of standard input, one a line, sorted
    sed 's/\\-/-/g' | { grep -o -- '--[a-z][a-z0-9-]*' || true; } | { grep -vx -- --help || true; } | sort -u
}

while [ $# -gt 0 ]; do
    tool=$1 page=$2
    shift 2
    name=$(basename "$page")
    if ! usage=$("$tool" --help 2>&1); then
        fail "$name: $tool --help failed: $usage"
        continue
    fi
    listed=$(long_options <<<"$usage")
    [ -n "$listed" ] || fail "$name: $tool --help lists no option"
    documented=$(awk '/^\.SH / {section = $2} section == "OPTIONS" && tag {print; tag = 0} /^\.TP/ {tag = 1}' \
        "$page" | long_options)
    missing=$(comm -23 <(echo "$listed") <(echo "$documented") | paste -sd' ' -)
    extra=$(comm -13 <(echo "$listed") <(echo "$documented") | paste -sd' ' -)
    [ -z "$missing" ] || fail "$name: options of $(basename "$tool") --help without an entry under OPTIONS: $missing"
    [ -z "$extra" ] || fail "$name: entries under OPTIONS that $(basename "$tool") --help does not list: $extra"
    warnings=$(groff -man -ww -z "$page" 2>&1)
    [ -z "$warnings" ] || fail "$name: groff warns: $warnings"
    echo "$name: $(wc -w <<<"$listed") options, as $(basename "$tool") --help lists them"
done
[ "$failures" -eq 0 ] || {
    echo "$failures manual page check(s) failed"
    exit 1
}
