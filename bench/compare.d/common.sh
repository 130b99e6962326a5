# Helpers every section of bench/compare.sh shares. CPU comes from /proc (no perf): the sum of
# the process's threads' run time in /proc/PID/task/*/schedstat, in nanoseconds.

# cpu_ns PID: CPU time of all threads of PID so far.
cpu_ns() {
    local sum=0 t v
    for t in /proc/"$1"/task/*/schedstat; do
        read -r v _ < "$t" 2>/dev/null || continue
        sum=$((sum + v))
    done
    echo "$sum"
}

# row FIGURE OURS ANCHOR UNIT: one line of the table; ratio = ours / anchor.
row() {
    local ratio
    ratio=$(awk -v a="$2" -v b="$3" 'BEGIN { if (b + 0 > 0 && a != "-") printf "%.2f", a / b; else print "-" }')
    printf '%-58s | %10s %-3s | %10s %-3s | %6s\n' "$1" "$2" "$4" "$3" "$4" "$ratio"
}

note() { printf '# %s\n' "$*"; }

# loopback_hosts N FILE: 127.0.0.1 .. 127.0.0.N, one a line.
loopback_hosts() {
    local i
    : > "$2"
    for ((i = 1; i <= $1; i++)); do echo "127.0.0.$i" >> "$2"; done
}
