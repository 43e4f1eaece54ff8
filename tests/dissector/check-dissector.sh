#!/usr/bin/env bash
# Checks the Wireshark dissector (tools/wireshark/ynet.lua) through tshark:
#  - captures written from chosen bytes by ynet-wire-capture, every field of
#    every frame compared with what the capture was built from (once with
#    the dissector's port preferences, once with tshark's -d);
#  - random bodies of every length 0..1436 scrambled by the library's own
#    Encode, unscrambled by the dissector;
#  - the info column and a display filter;
#  - the SOCKS requests to a name and to an IPv6 address, as the library
#    builds them, read by Wireshark's own SOCKS dissector;
#  - a live loopback capture of ynet-cat talking to ynet-echod, where the
#    machine allows capturing: the dissector and ynet-cat --hex must agree
#    byte for byte. Where it does not, the check says it was skipped and why.
# The last line is the summary, "N checks passed, M skipped: ..." when all
# pass. Exit status 1 when any comparison fails.
#
#   check-dissector.sh LUA WIRE_CAPTURE ECHOD CAT
#
# The random bodies come from $YNET_DISSECTOR_SEED, or a new seed each run
# (named in the output: random-seed-N; set the variable to repeat a run).
set -uo pipefail

LUA=$1
CAPTURE=$2
ECHOD=$3
CAT=$4
WORK=$(mktemp -d)
PIDS=()
FAILED=0
PASSED=0
SKIPPED=0
FIELDS=0
FRAMES=0

cleanup() {
    for pid in "${PIDS[@]+"${PIDS[@]}"}"; do
        kill -TERM "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$WORK"
}
trap cleanup EXIT

# An empty personal configuration: nobody's saved preferences change the output.
export WIRESHARK_CONFIG_DIR=$WORK/wireshark-config
mkdir -p "$WIRESHARK_CONFIG_DIR"

fail() {
    FAILED=$((FAILED + 1))
    echo "FAILED: $*"
}
pass() { PASSED=$((PASSED + 1)); }
skip() { # why
    SKIPPED=$((SKIPPED + 1))
    LIVE="live capture skipped: $*"
}

ts() { tshark -X "lua_script:$LUA" "$@" 2>"$WORK/tshark.err"; }

# compare NAME PCAP EXPECTED TSHARK_ARGS... : the fields named in EXPECTED's
# header, for every frame holding a message, compared value by value.
compare() {
    local name=$1 pcap=$2 expected=$3
    shift 3
    local args=()
    local field
    for field in $(head -n 1 "$expected"); do args+=(-e "$field"); done
    if ! ts "$@" -r "$pcap" -Y ynet -T fields -E aggregator='|' "${args[@]}" >"$WORK/fields.out"; then
        fail "$name: tshark failed: $(head -n 3 "$WORK/tshark.err")"
        return
    fi
    local report
    report=$(awk -F '\t' -v name="$name" '
        function cut(s) { return length(s) > 60 ? substr(s, 1, 60) "..." : s }
        NR == FNR { if (FNR == 1) { for (i = 1; i <= NF; i++) field[i] = $i; width = NF }
                    else { want[$1] = $0; order[++frames] = $1 } next }
        { got[$1] = $0 }
        END {
            bad = 0; compared = 0
            for (k = 1; k <= frames; k++) {
                f = order[k]
                if (!(f in got)) { print name ": frame " f ": no message found"; bad++; continue }
                split(want[f], w, "\t"); split(got[f], g, "\t")
                for (i = 2; i <= width; i++) {
                    compared++
                    if (w[i] != g[i]) { print name ": frame " f " " field[i] ": expected \"" cut(w[i]) "\", got \"" cut(g[i]) "\""; bad++ }
                }
            }
            for (f in got) if (!(f in want)) { print name ": frame " f ": unexpected " cut(got[f]); bad++ }
            print "compared " compared " " frames " " bad
        }' "$expected" "$WORK/fields.out")
    local summary
    summary=$(tail -n 1 <<<"$report")
    local compared frames bad
    read -r _ compared frames bad <<<"$summary"
    if [ "$bad" -ne 0 ]; then
        head -n 20 <<<"$report" | grep -v '^compared ' | sed 's/^/  /'
        fail "$name: $bad mismatch(es)"
    else
        pass
    fi
    FIELDS=$((FIELDS + compared))
    FRAMES=$((FRAMES + frames))
}

# --------------------------------------------------------- chosen bytes
SERVER=7000
PROXY=9050
HANDSHAKES=$("$CAPTURE" cases "$WORK/cases.pcap" "$WORK/cases.expected" $SERVER $PROXY) ||
    { echo "ynet-wire-capture failed"; exit 1; }
compare cases "$WORK/cases.pcap" "$WORK/cases.expected" -o "ynet.ports:$SERVER" -o "ynet.socks_ports:$PROXY"
compare cases-decode-as "$WORK/cases.pcap" "$WORK/cases.expected" -d "tcp.port==$SERVER,ynet" -d "tcp.port==$PROXY,socks"

# The SOCKS handshakes belong to Wireshark's SOCKS dissector (compare has
# checked that no message is found in them); the first half of a split
# message after them is socks's too, until reassembly completes it.
socks_frames=$(ts -2 -o "ynet.ports:$SERVER" -o "ynet.socks_ports:$PROXY" -r "$WORK/cases.pcap" \
    -Y 'socks && tcp.len > 0 && !tcp.reassembled_in && !ynet' -T fields -e frame.number | tr '\n' ' ')
if [ "$socks_frames" = "$HANDSHAKES" ]; then
    pass
else
    fail "socks: expected the handshakes in frames $HANDSHAKES""shown by the SOCKS dissector, got $socks_frames"
fi

# The info column, and a display filter on a field.
ts -o "ynet.ports:$SERVER" -r "$WORK/cases.pcap" -Y 'frame.number in {5, 36, 40, 67}' -T fields \
    -e frame.number -e _ws.col.Info >"$WORK/info.out"
cat >"$WORK/info.expected" <<'EOF'
5	main 5 assist 1 request, 13 bytes: hello, server
36	main 1 assist 1, 3 bytes: one | main 2 assist 2 respond, 3 bytes: two | main 3 assist 3 request respond ordinal, 5 bytes: three
40	main 9 assist 0 request, head only (size 0) | main 9 assist 1 request, head only (size 1) | main 9 assist 2 request, head only (size 2) | main 9 assist 3 request, head only (size 3) | main 9 assist 4 request, head only
67	main 8 assist 2 respond, head announces 1441 bytes: connection cut
EOF
if diff "$WORK/info.expected" "$WORK/info.out" >"$WORK/info.diff"; then
    pass
else
    sed 's/^/  /' "$WORK/info.diff"
    fail "info column"
fi
want=$(awk -F '\t' 'NR == 1 { for (i = 1; i <= NF; i++) if ($i == "ynet.main") m = i; next }
                    { n = split($m, v, "|"); for (i = 1; i <= n; i++) if (v[i] == 5) { print $1; break } }' \
    "$WORK/cases.expected" | tr '\n' ' ')
got=$(ts -o "ynet.ports:$SERVER" -o "ynet.socks_ports:$PROXY" -r "$WORK/cases.pcap" -Y 'ynet.main == 5' \
    -T fields -e frame.number | tr '\n' ' ')
if [ -n "$want" ] && [ "$want" = "$got" ]; then
    pass
else
    fail "filter ynet.main == 5: expected frames $want, got $got"
fi

# --------------------------------------------------------- targets by name and IPv6
# The requests the library builds for a name (SOCKS5 address type 3,
# SOCKS4a) and an IPv6 address (type 4), as Wireshark's SOCKS dissector
# reads them, and the messages behind them. They get a capture of their
# own: in one file after the SOCKS5 connection above, whose first message
# is reassembled, Wireshark 4.0's SOCKS dissector reports the next SOCKS
# connections' first client segment as a reassembly error, our dissector
# loaded or not.
NAMES=$("$CAPTURE" names "$WORK/names.pcap" "$WORK/names.expected" $SERVER $PROXY) ||
    { echo "ynet-wire-capture names failed"; exit 1; }
NAME_REQUESTS=${NAMES#*$'\t'}
compare names "$WORK/names.pcap" "$WORK/names.expected" -o "ynet.ports:$SERVER" -o "ynet.socks_ports:$PROXY"
ts -o "ynet.ports:$SERVER" -o "ynet.socks_ports:$PROXY" -r "$WORK/names.pcap" -Y "frame.number in {$NAME_REQUESTS}" \
    -T fields -e socks.version -e socks.address_type -e socks.remote_name -e socks.dstV6 -e socks.v4a_dns_name \
    -e socks.dst -e socks.port -e socks.dstport >"$WORK/names.out"
printf '%s\n' "5	3	example.test				$SERVER	" "5	4		2001:db8::7			$SERVER	" \
    "4				example.test	0.0.0.1		$SERVER" >"$WORK/names.want"
if diff "$WORK/names.want" "$WORK/names.out" >"$WORK/names.diff"; then
    pass
else
    sed 's/^/  /' "$WORK/names.diff"
    fail "SOCKS requests to a name and to IPv6 as Wireshark's SOCKS dissector reads them"
fi

# --------------------------------------------------------- the scrambler
SEED=${YNET_DISSECTOR_SEED:-$RANDOM}
"$CAPTURE" random "$WORK/random.pcap" "$WORK/random.expected" "$SEED" || { echo "ynet-wire-capture failed"; exit 1; }
compare "random-seed-$SEED" "$WORK/random.pcap" "$WORK/random.expected" -o "ynet.ports:7000"

# --------------------------------------------------------- live capture
# ynet-cat's received messages, in its --hex form, against the dissector's
# reading of the same connection, in both directions (the server echoes).
live() {
    if ! command -v dumpcap >/dev/null; then
        skip "no dumpcap"
        return
    fi
    "$ECHOD" --quiet >"$WORK/echod.out" 2>&1 &
    PIDS+=($!)
    local port=
    for _ in $(seq 200); do
        port=$(sed -n '1s/^port \([0-9][0-9]*\)$/\1/p' "$WORK/echod.out")
        [ -n "$port" ] && break
        sleep 0.05
    done
    [ -n "$port" ] || { fail "live: ynet-echod printed no port"; return; }

    dumpcap -i lo -f "tcp port $port" -w "$WORK/live.pcapng" >"$WORK/dumpcap.err" 2>&1 &
    local dumpcap=$!
    # dumpcap names its file once the interface is open and the filter set
    # (it says "Capturing on" even when the open then fails).
    local ready=
    for _ in $(seq 200); do
        grep -q '^File: ' "$WORK/dumpcap.err" && { ready=1; break; }
        kill -0 "$dumpcap" 2>/dev/null || break
        sleep 0.05
    done
    if [ -z "$ready" ]; then
        kill -TERM "$dumpcap" 2>/dev/null
        wait "$dumpcap" 2>/dev/null
        skip "cannot capture on loopback here ($(grep -m 1 '^dumpcap: [^c]' "$WORK/dumpcap.err" ||
            head -n 1 "$WORK/dumpcap.err"))"
        return
    fi
    PIDS+=("$dumpcap")

    local long
    long=$(head -c 1436 /dev/zero | tr '\0' 'L')
    printf 'hello, server\nsecond line\n\n\001\177\200\377 binary\n%s\n' "$long" |
        timeout 60 "$CAT" --main 5 --assist 7 --request --hex "127.0.0.1:$port" >"$WORK/cat.out" 2>&1 ||
        { fail "live: ynet-cat failed: $(tail -n 2 "$WORK/cat.out")"; return; }
    # dumpcap hands packets to its file in batches and drops a batch not
    # yet handed over when it stops: wait until the file shows both sides'
    # FIN, the connection's end.
    local fins=0
    for _ in $(seq 100); do
        fins=$(tshark -r "$WORK/live.pcapng" -Y 'tcp.flags.fin == 1' -T fields -e frame.number 2>/dev/null | wc -l)
        [ "$fins" -ge 2 ] && break
        sleep 0.1
    done
    kill -INT "$dumpcap"
    wait "$dumpcap"
    [ "$fins" -ge 2 ] || { fail "live: the capture never showed the connection's end"; return; }

    sed -n 's/^recv: //p' "$WORK/cat.out" >"$WORK/cat.messages"
    local direction
    for direction in "tcp.srcport == $port" "tcp.dstport == $port"; do
        ts -d "tcp.port==$port,ynet" -r "$WORK/live.pcapng" -Y "ynet && $direction" -T fields -E aggregator='|' \
            -e ynet.main -e ynet.assist -e ynet.request -e ynet.respond -e ynet.ordinal -e ynet.size -e ynet.body |
            awk -F '\t' '{
                n = split($1, main, "|"); split($2, assist, "|"); split($3, rq, "|"); split($4, rs, "|")
                split($5, ord, "|"); split($6, size, "|"); split($7, body, "|"); b = 0
                for (i = 1; i <= n; i++) {
                    flags = (rq[i] == 1 ? "request" : "")
                    if (rs[i] == 1) flags = flags (flags == "" ? "" : ",") "respond"
                    if (ord[i] == 1) flags = flags (flags == "" ? "" : ",") "ordinal"
                    hex = ""
                    if (size[i] > 4) { h = body[++b]; for (j = 1; j < length(h); j += 2) hex = hex (j == 1 ? "" : " ") substr(h, j, 2) }
                    printf "main=%s assist=%s flags=%s size=%s hex=%s\n", main[i], assist[i], flags == "" ? "-" : flags, size[i], hex
                }
            }' >"$WORK/live.messages"
        if [ ! -s "$WORK/cat.messages" ] || ! diff "$WORK/cat.messages" "$WORK/live.messages" >"$WORK/live.diff"; then
            head -n 10 "$WORK/live.diff" | cut -c 1-120 | sed 's/^/  /'
            fail "live ($direction): the dissector and ynet-cat --hex disagree"
            return
        fi
        pass
    done
    LIVE="live capture: $(wc -l <"$WORK/cat.messages") messages each way agree with ynet-cat --hex"
}
LIVE=
live

if [ "$FAILED" -ne 0 ]; then
    echo "$FAILED check(s) failed, $PASSED passed"
    exit 1
fi
echo "$PASSED checks passed, $SKIPPED skipped: $FIELDS fields in $FRAMES frames as built (random bodies of 0..1436 bytes, seed $SEED), SOCKS (names and IPv6 too), info column and filter ok; $LIVE"
