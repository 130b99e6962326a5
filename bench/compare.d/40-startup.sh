# The window's start-up and idle: the empty window against a plain Qt widgets window with the
# same kinds of widgets (bench/startup_anchor.cpp, built with the bench targets), what a
# 100,000-row address file adds, and the CPU the window uses while it sits with those rows and
# the monitor running. All from bench/startup_idle.py under a private Xvfb and a temporary HOME
# (loopback rows only). Wall times on a shared machine move with its load; both sides of a
# ratio come from the same run, their starts taken in turn.
#
# Environment: VELTRIN_WINDOW (default: the build's veltrin-ping), VELTRIN_ANCHOR (default: the
# build's bench/veltrin-startup-anchor), STARTUP_RUNS (5), STARTUP_IDLE (seconds, 20).

window=${VELTRIN_WINDOW:-$VELTRIN_BUILD/src/app/veltrin-ping}
anchor=${VELTRIN_ANCHOR:-$VELTRIN_BUILD/bench/veltrin-startup-anchor}
runs=${STARTUP_RUNS:-5}
idle=${STARTUP_IDLE:-20}

missing=""
for tool in Xvfb xdotool xdpyinfo python3; do
    command -v "$tool" >/dev/null || missing="$missing $tool"
done
if [ -n "$missing" ]; then note "startup: needs$missing (apt-get install -y xvfb xdotool x11-utils)"; exit 0; fi
if [ ! -x "$window" ]; then note "startup: $window is not built"; exit 0; fi
if [ ! -x "$anchor" ]; then
    note "startup: no anchor at $anchor (configure with -DVELTRIN_BUILD_BENCH=ON, build veltrin-startup-anchor)"
    anchor=/nonexistent
fi

out=$(mktemp)
trap 'rm -f "$out"' EXIT
if ! python3 "$VELTRIN_SOURCE/bench/startup_idle.py" --program "$window" --anchor "$anchor" --runs "$runs" \
    --idle "$idle" --machine > "$out" 2>&1; then
    note "startup: bench/startup_idle.py failed:"
    sed 's/^/#   /' "$out" | tail -5
    exit 0
fi
get() { awk -v k="=$1" '$1 == k { print $2 }' "$out"; }
figure() { local v; v=$(get "$1"); echo "${v:--}"; }

row "Start-up to mapped, empty (median of $runs | Qt anchor)" "$(figure empty_ms)" "$(figure anchor_ms)" "ms"
row "Start-up CPU, empty (median of $runs | Qt anchor)" "$(figure empty_cpu_ms)" "$(figure anchor_cpu_ms)" "ms"
row "Start-up to mapped, 100,000-row file (| empty)" "$(figure rows_ms)" "$(figure empty_ms)" "ms"
row "100,000 rows add to start-up (wall | goal 50)" "$(figure rows_add_ms)" "50" "ms"
row "100,000 rows add to start-up CPU" "$(figure rows_add_cpu_ms)" "-" "ms"
row "Idle CPU, 100,000 rows, monitor running, ${idle} s (| goal 0.3)" "$(figure idle_pct)" "0.3" "%"
