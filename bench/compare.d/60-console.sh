# Console start-up: the CPU of `veltrin-ping-cli --version` against `ping -V` (both start, print
# their version and end), user + system time from the finished child's rusage, the median of
# CONSOLE_RUNS runs each (default 21, the two taking turns); and the shared libraries each
# loads (ldd: every object but the kernel's vDSO, the dynamic loader included). When the window
# program is built, its `--console --version` too, against the same anchor. Needs python3 and
# ping (apt-get install -y iputils-ping); runs nothing on the network.

runs=${CONSOLE_RUNS:-21}

if [ ! -x "$VELTRIN_CLI" ]; then note "console: $VELTRIN_CLI is not built"; exit 0; fi
command -v python3 >/dev/null || { note "console: python3 is not installed"; exit 0; }
anchor=$(command -v ping) || { note "console: ping is not installed (apt-get install -y iputils-ping)"; anchor=""; }
window=$VELTRIN_BUILD/src/app/veltrin-ping
[ -x "$window" ] || window=""

# Medians in ms, one line per command (each given as one shell word, its arguments split by tabs).
medians() {
    python3 - "$runs" "$@" <<'EOF'
import resource, statistics, subprocess, sys
runs = int(sys.argv[1])
commands = [c.split("\t") for c in sys.argv[2:]]
times = [[] for _ in commands]
for _ in range(runs):
    for k, args in enumerate(commands):
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        subprocess.run(args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        times[k].append((after.ru_utime - before.ru_utime + after.ru_stime - before.ru_stime) * 1000)
for t in times:
    print("%.1f" % statistics.median(t))
EOF
}

# libraries PROGRAM: shared objects it loads at start, the loader included, the vDSO left out.
libraries() {
    ldd "$1" 2>/dev/null | awk '/\.so/ && !/linux-vdso|linux-gate/ { n++ } END { print n + 0 }'
}

tab=$'\t'
set -- "$VELTRIN_CLI$tab--version"
[ -n "$anchor" ] && set -- "$@" "$anchor$tab-V"
[ -n "$window" ] && set -- "$@" "$window$tab--console$tab--version"
mapfile -t ms < <(medians "$@")
cli_ms=${ms[0]:--}
ping_ms="-"; [ -n "$anchor" ] && ping_ms=${ms[1]:--}
win_ms="-"; [ -n "$window" ] && win_ms=${ms[-1]:--}
ping_libs="-"; [ -n "$anchor" ] && ping_libs=$(libraries "$anchor")

note "console: start-up CPU (rusage, median of $runs) and shared libraries loaded (ldd)"
row "Console start-up CPU (cli --version | ping -V)" "$cli_ms" "$ping_ms" "ms"
row "Shared libraries loaded (cli | ping)" "$(libraries "$VELTRIN_CLI")" "$ping_libs" ""
if [ -n "$window" ]; then
    row "Console start-up CPU (veltrin-ping --console | ping -V)" "$win_ms" "$ping_ms" "ms"
    row "Shared libraries loaded (veltrin-ping | ping)" "$(libraries "$window")" "$ping_libs" ""
fi
