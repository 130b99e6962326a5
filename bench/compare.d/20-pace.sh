# Sending and pace: CPU per echo and syscalls per echo against ping and fping, and how often
# each of 254 hosts is refreshed at the fastest pace. Loopback only (127.0.0.0/8 answers on
# every address). Needs root (raw sockets for all three tools), fping and ping.
#
# CPU per echo: the CPU the process used between 2 s and 2 + SPAN s of its run (thread run
# times from /proc), divided by the echoes it sent in that span (its own count of the run,
# scaled to the span). Start-up is left out on both sides.

SPAN=${PACE_SPAN:-8}
RUN=$((SPAN + 3))
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

if [ ! -x "$VELTRIN_CLI" ]; then note "pace: $VELTRIN_CLI is not built"; exit 0; fi
if [ "$(id -u)" != 0 ]; then note "pace: needs root (raw ICMP sockets for every tool)"; exit 0; fi
have_fping=1; command -v fping >/dev/null || { have_fping=0; note "pace: fping is not installed (apt-get install -y fping)"; }
have_ping=1; command -v ping >/dev/null || { have_ping=0; note "pace: ping is not installed (apt-get install -y iputils-ping)"; }
loopback_hosts 254 "$work/hosts"

# Whether this build has the sweep pace (a build from before it says "unknown option").
sweep=1
"$VELTRIN_CLI" --seconds 0 --sweep 10 --format csv 127.0.0.1 >/dev/null 2>"$work/probe" || true
grep -q 'unknown option' "$work/probe" && sweep=0

# window_cpu PID: CPU ns the process used from 2 s to 2 + SPAN s after now.
window_cpu() {
    local a b
    sleep 2; a=$(cpu_ns "$1")
    sleep "$SPAN"; b=$(cpu_ns "$1")
    echo $((b - a))
}

# ours ARGS...: runs the console for RUN s; sets ours_cpu (ns in the span), ours_sent (whole run).
ours() {
    "$VELTRIN_CLI" --seconds "$RUN" --format csv "$@" > "$work/ours.csv" 2>/dev/null &
    local pid=$!
    ours_cpu=$(window_cpu "$pid")
    wait "$pid"
    ours_sent=$(awk -F, 'NR > 1 { s += $3 } END { print s + 0 }' "$work/ours.csv")
    ours_rows=$(awk -F, 'NR > 1 && $4 > 0 { n++ } END { print n + 0 }' "$work/ours.csv")
    ours_recv=$(awk -F, 'NR > 1 { s += $4 } END { print s + 0 }' "$work/ours.csv")
}

# strace_calls FILE: the calls column of strace -c's total line.
strace_calls() { awk '$NF == "total" { print $4 }' "$1" | tail -1; }

# per_echo CPU_NS SENT RUN_S: microseconds of CPU per echo in the span.
per_echo() { awk -v c="$1" -v s="$2" -v r="$3" -v span="$SPAN" 'BEGIN { e = s * span / r; if (e > 0) printf "%.1f", c / e / 1000; else print "-" }'; }

# ---- 10 echoes a second to one host ------------------------------------------------------------
ours --interval 1 127.0.0.1
a=$(per_echo "$ours_cpu" "$ours_sent" "$RUN")
b="-"
if [ $have_ping = 1 ]; then
    ping -q -i 0.1 -w "$RUN" 127.0.0.1 > "$work/ping.txt" 2>&1 &
    pid=$!
    pcpu=$(window_cpu "$pid")
    wait "$pid"
    psent=$(awk '/packets transmitted/ { print $1 }' "$work/ping.txt")
    b=$(per_echo "$pcpu" "${psent:-0}" "$RUN")
fi
row "CPU/echo, 1 host at 10/s (--interval 1 | ping -i 0.1)" "$a" "$b" "us"

# ---- 254 hosts, each once a second -------------------------------------------------------------
if [ $sweep = 1 ]; then
    ours --sweep 10 "$work/hosts"; label="--sweep 10"
else
    ours --interval 1 "$work/hosts"; label="--interval 1"
fi
a=$(per_echo "$ours_cpu" "$ours_sent" "$RUN")
b="-"
if [ $have_fping = 1 ]; then
    fping -q -l -p 1000 -i 2 -f "$work/hosts" > /dev/null 2> "$work/fping.txt" &
    pid=$!
    fcpu=$(window_cpu "$pid")
    sleep 1
    kill -INT "$pid"; wait "$pid"
    fsent=$(awk -F'[ /=,]+' '/xmt\/rcv/ { for (i = 1; i < NF; i++) if ($i == "%loss") { s += $(i + 1); break } } END { print s + 0 }' "$work/fping.txt")
    b=$(per_echo "$fcpu" "$fsent" "$((RUN))")
fi
row "CPU/echo, 254 hosts 1/s ($label | fping -p1000 -i2)" "$a" "$b" "us"

# ---- per-host refresh, 254 hosts, fastest pace ---------------------------------------------------
if [ $sweep = 1 ]; then
    ours --sweep 1 "$work/hosts"; label="--sweep 1"
else
    ours --interval 1 "$work/hosts"; label="--interval 1"
fi
a=$(awk -v r="$RUN" -v n="$ours_recv" 'BEGIN { if (n > 0) printf "%.0f", r * 1000 * 254 / n; else print "-" }')
ar=$ours_rows
b="-"; br="-"
if [ $have_fping = 1 ]; then
    timeout -s INT "$RUN" fping -q -l -p 100 -i 1 -f "$work/hosts" > /dev/null 2> "$work/fping.txt"
    frecv=$(awk -F'[ /=,]+' '/xmt\/rcv/ { for (i = 1; i < NF; i++) if ($i == "%loss") { s += $(i + 2); break } } END { print s + 0 }' "$work/fping.txt")
    b=$(awk -v r="$RUN" -v n="$frecv" 'BEGIN { if (n > 0) printf "%.0f", r * 1000 * 254 / n; else print "-" }')
    br=$(grep -c 'xmt/rcv' "$work/fping.txt")
fi
row "Per-host refresh, 254 hosts ($label | fping -p100 -i1)" "$a" "$b" "ms"
# Every row within a short run: the ordinary pace picks at random and misses rows for minutes.
if [ $sweep = 1 ]; then
    "$VELTRIN_CLI" --seconds 2 --sweep 10 --format csv "$work/hosts" > "$work/ours.csv" 2>/dev/null; label="--sweep 10"
else
    "$VELTRIN_CLI" --seconds 2 --interval 1 --format csv "$work/hosts" > "$work/ours.csv" 2>/dev/null; label="--interval 1"
fi
rows=$(awk -F, 'NR > 1 && $4 > 0 { n++ } END { print n + 0 }' "$work/ours.csv")
row "Rows of 254 answered in a 2 s run ($label | all)" "$rows" "254" ""

# ---- syscalls per echo ---------------------------------------------------------------------------
if command -v strace >/dev/null; then
    strace -c -f -o "$work/strace" "$VELTRIN_CLI" --seconds 5 --interval 1 --format csv 127.0.0.1 > "$work/ours.csv" 2>/dev/null
    sent=$(awk -F, 'NR > 1 { s += $3 } END { print s + 0 }' "$work/ours.csv")
    calls=$(strace_calls "$work/strace")
    a=$(awk -v c="$calls" -v s="$sent" 'BEGIN { if (s > 0) printf "%.1f", c / s; else print "-" }')
    b="-"
    if [ $have_ping = 1 ]; then
        strace -c -f -o "$work/strace" ping -q -i 0.1 -w 5 127.0.0.1 > "$work/ping.txt" 2>&1
        psent=$(awk '/packets transmitted/ { print $1 }' "$work/ping.txt")
        calls=$(strace_calls "$work/strace")
        b=$(awk -v c="$calls" -v s="${psent:-0}" 'BEGIN { if (s > 0) printf "%.1f", c / s; else print "-" }')
    fi
    row "Syscalls/echo, 1 host at 10/s (whole run | ping)" "$a" "$b" ""
    if [ $sweep = 1 ]; then
        strace -c -f -o "$work/strace" "$VELTRIN_CLI" --seconds 5 --sweep 10 --format csv "$work/hosts" > "$work/ours.csv" 2>/dev/null
        sent=$(awk -F, 'NR > 1 { s += $3 } END { print s + 0 }' "$work/ours.csv")
        calls=$(strace_calls "$work/strace")
        a=$(awk -v c="$calls" -v s="$sent" 'BEGIN { if (s > 0) printf "%.1f", c / s; else print "-" }')
        b="-"
        if [ $have_fping = 1 ]; then
            timeout -s INT 5 strace -c -f -o "$work/strace" fping -q -l -p 1000 -i 2 -f "$work/hosts" > /dev/null 2> "$work/fping.txt"
            fsent=$(awk -F'[ /=,]+' '/xmt\/rcv/ { for (i = 1; i < NF; i++) if ($i == "%loss") { s += $(i + 1); break } } END { print s + 0 }' "$work/fping.txt")
            calls=$(strace_calls "$work/strace")
            b=$(awk -v c="$calls" -v s="$fsent" 'BEGIN { if (s > 0) printf "%.1f", c / s; else print "-" }')
        fi
        row "Syscalls/echo, 254 hosts 1/s (--sweep 10 | fping)" "$a" "$b" ""
    fi
fi
