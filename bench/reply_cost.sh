#!/bin/sh
# The window thread's time per pick and per reply at 1,000, 10,000 and 100,000 rows, dotted and
# with names (bench/namerows_bench.cpp). The names come from a hosts file laid over /etc/hosts in a mount
# namespace of the benchmark's own (veltrin-silentdns, which also gives it a name server that
# never answers); the machine's own /etc/hosts is never written. Needs root and a build with
# -DVELTRIN_BUILD_BENCH=ON.
#
#   bench/reply_cost.sh [BUILD_DIR [BENCHMARK_ARGS...]]
#       (VELTRIN_SILENTDNS: the tool, when BUILD_DIR has none; BENCHMARK_ARGS go to the benchmark
#       program after --benchmark_min_time=0.5, e.g. --benchmark_format=csv)
set -eu
build=${1:-$(dirname "$0")/../build/default}
[ $# -gt 0 ] && shift
tool=${VELTRIN_SILENTDNS:-$build/tests/tools/veltrin-silentdns}
bench=$build/bench/namerows_bench
for f in "$tool" "$bench"; do
    [ -x "$f" ] || { echo "reply_cost.sh: $f is not built" >&2; exit 2; }
done
hosts=$(mktemp)
trap 'rm -f "$hosts"' EXIT
{
    echo "127.0.0.1 localhost"
    i=0
    while [ $i -lt 10000 ]; do
        echo "127.$((i / 62500 % 250)).$((i / 250 % 250)).$((i % 250 + 1)) host-$i.bench"
        i=$((i + 1))
    done
} >"$hosts"
# Not exec: the trap removes the hosts file when the benchmark ends.
"$tool" --hosts "$hosts" -- "$bench" --benchmark_min_time=0.5 "$@"
