#!/usr/bin/env bash
# Builds the libFuzzer targets (preset `fuzz`, clang) and runs every fuzz/fuzz_<name>.cpp target
# in turn, bounded by time, by an execution count, or both (whichever comes first):
#   FUZZ_SECONDS   seconds per target (default 30 when FUZZ_RUNS is not given)
#   FUZZ_RUNS      executions per target (libFuzzer's -runs)
# Fails when a target finds a crash, a sanitizer report or a broken invariant, or (with FUZZ_RUNS)
# stops short of the count; the input that did it is kept under build/fuzz/artifacts/<name>/.
# Each target's output goes to build/fuzz/logs/<name>.log; one summary line per target gives the
# executions done, and a table of them ends the run. Corpora grow in fuzz/corpus-<name>/ (not
# committed), starting from fuzz/seeds/<name>/ when present.
#   scripts/fuzz.sh                          all targets, 30 s each
#   FUZZ_RUNS=2000000 scripts/fuzz.sh        all targets, 2,000,000 executions each
#   FUZZ_SECONDS=60 scripts/fuzz.sh decode   only fuzz_decode, for a minute
set -euo pipefail
cd "$(dirname "$0")/.."

whole() { case "$1" in ''|*[!0-9]*) return 1;; esac; }
runs="${FUZZ_RUNS:-}"
seconds="${FUZZ_SECONDS:-}"
if [ -n "$runs" ] && ! whole "$runs"; then echo "fuzz: FUZZ_RUNS must be a whole number" >&2; exit 2; fi
if [ -n "$seconds" ] && ! whole "$seconds"; then echo "fuzz: FUZZ_SECONDS must be a whole number" >&2; exit 2; fi
[ -z "$runs" ] && [ -z "$seconds" ] && seconds=30

bound=()
limit=""
if [ -n "$runs" ]; then bound+=(-runs="$runs"); limit="$runs runs"; fi
if [ -n "$seconds" ]; then
  bound+=(-max_total_time="$seconds")
  limit="${limit:+$limit or }${seconds}s"
fi

# A 16 MB quarantine instead of 256 MB: freed memory is reused sooner, which spares the page
# faults of ever-fresh memory (half the time of some targets), and a use after free within a
# run of small inputs is still caught. An ASAN_OPTIONS of the caller's own wins.
export ASAN_OPTIONS="${ASAN_OPTIONS:-quarantine_size_mb=16}"

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target veltrin_fuzzers

targets=()
if [ "$#" -gt 0 ]; then
  for n in "$@"; do targets+=("fuzz_${n#fuzz_}"); done
else
  for src in fuzz/fuzz_*.cpp; do
    [ -e "$src" ] || continue
    n="$(basename "$src" .cpp)"
    targets+=("$n")
  done
fi
if [ "${#targets[@]}" -eq 0 ]; then
  echo "fuzz: no fuzz targets" >&2
  exit 1
fi

# The executions a finished libFuzzer run reports: "Done N runs in S second(s)", or the final
# statistics when it ended on a finding.
executions() {
  local n
  n="$(sed -n 's/^Done \([0-9][0-9]*\) runs in .*/\1/p' "$1" | tail -n 1)"
  [ -n "$n" ] || n="$(sed -n 's/^stat::number_of_executed_units: *\([0-9][0-9]*\).*/\1/p' "$1" | tail -n 1)"
  echo "${n:-0}"
}

mkdir -p build/fuzz/logs
failed=()
summary=()
for t in "${targets[@]}"; do
  name="${t#fuzz_}"
  bin="build/fuzz/fuzz/$t"
  if [ ! -x "$bin" ]; then
    echo "fuzz: $bin was not built" >&2
    failed+=("$t")
    summary+=("$(printf '%-20s %12s  %s' "$t" "-" "not built")")
    continue
  fi
  corpus="fuzz/corpus-$name"
  artifacts="build/fuzz/artifacts/$name/"
  log="build/fuzz/logs/$name.log"
  mkdir -p "$corpus" "$artifacts"
  dirs=("$corpus")
  [ -d "fuzz/seeds/$name" ] && dirs+=("fuzz/seeds/$name")
  echo "== $t for $limit (log: $log)"
  started="$(date +%s)"
  status=0
  # -timeout: one input taking longer than 10 s is a finding too (a hang).
  "$bin" "${bound[@]}" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$artifacts" "${dirs[@]}" >"$log" 2>&1 || status=$?
  took=$(( $(date +%s) - started ))
  done_runs="$(executions "$log")"
  result="ok"
  if [ "$status" -ne 0 ]; then
    result="FAILED (status $status)"
    tail -n 40 "$log" >&2
    echo "fuzz: $t FAILED; reproduce with: $bin $artifacts<file>" >&2
    failed+=("$t")
  elif [ -n "$runs" ] && [ -z "$seconds" ] && [ "$done_runs" -lt "$runs" ]; then
    result="SHORT (wanted $runs)"
    failed+=("$t")
  fi
  line="$(printf '%-20s %12s executions in %6ss  %s' "$t" "$done_runs" "$took" "$result")"
  echo "fuzz: $line"
  summary+=("$line")
done

echo "fuzz: summary ($limit per target, $(date -u '+%Y-%m-%d %H:%M UTC'))"
for line in "${summary[@]}"; do echo "  $line"; done
if [ "${#failed[@]}" -gt 0 ]; then
  echo "fuzz: findings or errors in: ${failed[*]}" >&2
  exit 1
fi
echo "fuzz: ${#targets[@]} target(s) ran $limit each without a finding"
