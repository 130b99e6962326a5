#!/bin/bash
# Side-by-side figures: this program against an anchor (another tool doing the same job, or a
# bare Qt window), both run in this one invocation on this machine, printed as
#   figure | this program | anchor | ratio
# Every section is a file in bench/compare.d/ (run in name order); a section that cannot run
# here (no root, no fping) says why and the others go on.
#
#   bench/compare.sh                     all sections
#   bench/compare.sh pace                only bench/compare.d/*pace*.sh
#
# Environment: VELTRIN_BUILD (default build/default) names the build tree whose programs run;
# VELTRIN_CLI the console program itself. Only loopback is ever pinged. The programs run with a
# temporary HOME (and XDG folders), never the user's settings and history.
set -u
here=$(cd "$(dirname "$0")" && pwd)
export VELTRIN_SOURCE=$(cd "$here/.." && pwd)
export VELTRIN_BUILD=${VELTRIN_BUILD:-$VELTRIN_SOURCE/build/default}
export VELTRIN_CLI=${VELTRIN_CLI:-$VELTRIN_BUILD/src/cli/veltrin-ping-cli}
export VELTRIN_PROBEHOST=127.0.0.1
# A home of its own for the run: the console keeps a history of every result in the user's data
# folder, and a file that other runs have filled makes each echo cost more (and would be filled
# further by this one). Every run starts from the same empty settings and history.
VELTRIN_BENCH_HOME=$(mktemp -d)
trap 'rm -rf "$VELTRIN_BENCH_HOME"' EXIT
export HOME=$VELTRIN_BENCH_HOME XDG_CONFIG_HOME=$VELTRIN_BENCH_HOME/config \
    XDG_DATA_HOME=$VELTRIN_BENCH_HOME/data XDG_CACHE_HOME=$VELTRIN_BENCH_HOME/cache

# shellcheck source=compare.d/common.sh
. "$here/compare.d/common.sh"

printf '%-58s | %14s | %14s | %6s\n' "figure" "this program" "anchor" "ratio"
printf '%s\n' "-----------------------------------------------------------+----------------+----------------+-------"
for section in "$here"/compare.d/[0-9]*.sh; do
    [ -e "$section" ] || continue
    if [ $# -gt 0 ]; then
        case "$(basename "$section")" in *"$1"*) ;; *) continue ;; esac
    fi
    # Each section in a shell of its own, so one that fails leaves the others alone.
    bash -c '. "$1"/compare.d/common.sh; . "$2"' _ "$here" "$section" || echo "# $(basename "$section") failed"
done
