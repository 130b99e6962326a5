# The window thread's time per accepted reply (and per pick) at 1,000, 10,000 and 100,000 rows,
# dotted and with host names: bench/namerows_bench through bench/reply_cost.sh, whose names come
# from a hosts file laid over /etc/hosts inside the namespaces veltrin-silentdns makes (the
# machine's own /etc/hosts is never read nor written). Thread CPU per step, microseconds.
#
# No program does this job beside ours, so the anchor column holds the goal (20 us per reply)
# and the ratio reads as the fraction of the goal used. Picks have neither goal nor anchor.
# Needs root (namespaces) and a build with the benchmarks.

bench=$VELTRIN_BUILD/bench/namerows_bench
tool=${VELTRIN_SILENTDNS:-$VELTRIN_BUILD/tests/tools/veltrin-silentdns}
goal=20

if [ ! -x "$bench" ] || [ ! -x "$tool" ]; then
    note "reply cost: $bench or $tool is not built; configure with -DVELTRIN_BUILD_BENCH=ON" \
        "(cmake --preset default -DVELTRIN_BUILD_BENCH=ON), then" \
        "cmake --build --preset default --target namerows_bench veltrin-silentdns"
    exit 0
fi
if [ "$(id -u)" != 0 ]; then note "reply cost: needs root (network and mount namespaces for the hosts file)"; exit 0; fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
if ! VELTRIN_SILENTDNS=$tool "$VELTRIN_SOURCE/bench/reply_cost.sh" "$VELTRIN_BUILD" --benchmark_format=csv \
        > "$work/out.csv" 2> "$work/err"; then
    note "reply cost: namerows_bench failed: $(tail -1 "$work/err")"
    exit 0
fi

# us NAME: the thread CPU time of one benchmark in microseconds (its unit is us), "-" if missing
# or failed.
us() {
    awk -F, -v n="\"$1\"" '$1 == n { if ($9 == "true") print "-"; else printf "%.2f", $4; found = 1 }
        END { if (!found) print "-" }' "$work/out.csv"
}

# commas N: 100000 -> 100,000 (whatever the locale)
commas() { echo "$1" | sed -e ':a' -e 's/\([0-9]\)\([0-9]\{3\}\)\($\|,\)/\1,\2\3/' -e 'ta'; }

note "reply cost: window-thread CPU per step; anchor = the 20 us goal (ratio = fraction of the goal)"
# listed KIND ROWS: the list a figure is for.
listed() {
    case "$1/$2" in
        0/*) echo "$(commas "$2") dotted rows" ;;
        1/100000) echo "100,000 rows, 10,000 of them names" ;;
        1/*) echo "$(commas "$2") name rows" ;;
    esac
}
for step in Reply Pick; do
    for kind in 0 1; do
        for rows in 1000 10000 100000; do
            if [ "$step" = Reply ]; then
                row "Reply, $(listed "$kind" "$rows") (anchor: goal)" "$(us "BM_Reply/$rows/$kind")" "$goal" "us"
            else
                row "Pick, $(listed "$kind" "$rows") (no anchor)" "$(us "BM_Pick/$rows/$kind")" "-" "us"
            fi
        done
    done
done
