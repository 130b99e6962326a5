#!/usr/bin/env bash
# Builds the libFuzzer targets (preset `fuzz`, clang) and runs every fuzz/fuzz_<name>.cpp target
# for a bounded time: FUZZ_SECONDS each (default 30). Fails when a target finds a crash, a
# sanitizer report or a broken invariant; the input that did it is kept under
# build/fuzz/artifacts/<name>/. Corpora grow in fuzz/corpus-<name>/ (not committed), starting
# from fuzz/seeds/<name>/ when present.
#   scripts/fuzz.sh              all targets
#   scripts/fuzz.sh decode       only fuzz_decode
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${FUZZ_SECONDS:-30}"
case "$seconds" in ''|*[!0-9]*) echo "fuzz: FUZZ_SECONDS must be a whole number" >&2; exit 2;; esac

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

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

failed=()
for t in "${targets[@]}"; do
  name="${t#fuzz_}"
  bin="build/fuzz/fuzz/$t"
  if [ ! -x "$bin" ]; then
    echo "fuzz: $bin was not built" >&2
    failed+=("$t")
    continue
  fi
  corpus="fuzz/corpus-$name"
  artifacts="build/fuzz/artifacts/$name/"
  mkdir -p "$corpus" "$artifacts"
  dirs=("$corpus")
  [ -d "fuzz/seeds/$name" ] && dirs+=("fuzz/seeds/$name")
  echo "== $t for ${seconds}s"
  # -timeout: one input taking longer than 10 s is a finding too (a hang).
  if ! "$bin" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
       -artifact_prefix="$artifacts" "${dirs[@]}"; then
    echo "fuzz: $t FAILED; reproduce with: $bin $artifacts<file>" >&2
    failed+=("$t")
  fi
done

if [ "${#failed[@]}" -gt 0 ]; then
  echo "fuzz: findings or errors in: ${failed[*]}" >&2
  exit 1
fi
echo "fuzz: ${#targets[@]} target(s) ran ${seconds}s each without a finding"
