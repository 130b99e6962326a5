# The console beside a name server that drops every query (bench/dns_stall.py, run under
# veltrin-silentdns: network and mount namespaces of its own, so the machine's resolv.conf and
# hosts file are never touched): 200 loopback rows pinged every 100 ms (`--sweep 1`, a reply
# every half millisecond: the heartbeat), one hosts-file name and 20 names that never resolve,
# against the same list without the 20 names in this same invocation.
#
# The receiver hands replies to the loop at most once per 50 ms, so the longest gap between two
# bursts of output is about 50 ms even without DNS: the list without the silent names is the
# anchor, and what DNS adds to it (the difference) goes against the goal of a stall of at most
# 50 ms. The end after --seconds is counted from the program's launch, so its start-up (some
# 40 ms, more under load) is in both lists: what DNS adds goes against the goal of 100 ms. The
# end after SIGTERM goes against it as it is. Each figure is the median of three runs of each
# list. Needs root, python3 and a build of veltrin-silentdns. DNS_SECONDS sets the length of
# each timed run (default 10).

tool=${VELTRIN_SILENTDNS:-$VELTRIN_BUILD/tests/tools/veltrin-silentdns}
seconds=${DNS_SECONDS:-10}

if [ ! -x "$VELTRIN_CLI" ]; then note "dns stall: $VELTRIN_CLI is not built"; exit 0; fi
if [ ! -x "$tool" ]; then
    note "dns stall: $tool is not built (cmake --build --preset default --target veltrin-silentdns)"
    exit 0
fi
if [ "$(id -u)" != 0 ]; then note "dns stall: needs root (network and mount namespaces)"; exit 0; fi
command -v python3 >/dev/null || { note "dns stall: python3 is not installed"; exit 0; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A build from before the sweep pace says "unknown option": its heartbeat is the ordinary pace,
# which cannot see a stall below about 0.25 s.
pace=sweep
"$VELTRIN_CLI" --seconds 0 --sweep 10 --format csv 127.0.0.1 >/dev/null 2>"$work/probe" || true
if grep -q 'unknown option' "$work/probe"; then
    pace=interval
    note "dns stall: this build has no sweep pace; heartbeat is --interval 1 (sees stalls above ~0.25 s only)"
fi

if ! python3 "$VELTRIN_SOURCE/bench/dns_stall.py" --cli "$VELTRIN_CLI" --tool "$tool" --seconds "$seconds" \
        --pace "$pace" --table > "$work/out" 2> "$work/err"; then
    note "dns stall: dns_stall.py failed: $(tail -1 "$work/err")"
    exit 0
fi

# get KEY: a value (ms) of dns_stall.py's table.
get() { awk -v k="$1" '$1 == k { print $2 }' "$work/out"; }
# minus A B: A - B, or "-" when either is missing.
minus() { awk -v a="$1" -v b="$2" 'BEGIN { if (a == "-" || b == "-" || a == "" || b == "") print "-"; else printf "%.1f", a - b }'; }

note "dns stall: 20 silent names | the same list without them; indented rows against the goal"
row "Longest loop pause, 20 silent names (| none)" "$(get stall_with)" "$(get stall_without)" "ms"
row "  what DNS adds (anchor: goal 50 ms)" "$(minus "$(get stall_with)" "$(get stall_without)")" "50" "ms"
row "End after --seconds $seconds, 20 silent names (| none)" "$(get late_with)" "$(get late_without)" "ms"
row "  what DNS adds (anchor: goal 100 ms)" "$(minus "$(get late_with)" "$(get late_without)")" "100" "ms"
row "End after SIGTERM, 20 silent names (| none)" "$(get term_with)" "$(get term_without)" "ms"
row "  same, 20 silent names (anchor: goal 100 ms)" "$(get term_with)" "100" "ms"
