#!/usr/bin/env bash
# Checks the include structure of src/ with grep alone, so it runs before anything is built:
#  1. no include circle: a file pair "dir/name" (its .h and .cpp together) never reaches itself
#     through the quoted includes of the others;
#  2. dependencies point down: each folder includes only the folders listed for it below;
#  3. the Qt-free cores include no Qt header.
# Exit status 0 when all hold; otherwise every finding is printed and the status is 1.
set -euo pipefail
cd "$(dirname "$0")/../src"

status=0

# ---- 1. circles ------------------------------------------------------------------------------
# Every quoted include becomes an edge "includer included" between units (a unit is a path
# without its .h/.cpp ending). tsort reports a loop when the edges contain one.
edges=$(grep -rHoE '^[[:space:]]*#[[:space:]]*include[[:space:]]+"[^"]+"' --include='*.h' --include='*.cpp' . |
    sed -E 's|^\./||; s|\.(h\|cpp):[^"]*"| |; s|"$||; s|\.h$||' |
    awk '$1 != $2')
if loops=$(printf '%s\n' "$edges" | tsort 2>&1 >/dev/null) && [ -z "$loops" ]; then
    :
else
    echo "include circle:" >&2
    printf '%s\n' "$loops" | sed -E 's/^tsort: (-: )?/  /' >&2
    status=1
fi

# ---- 2. layers -------------------------------------------------------------------------------
# folder -> the folders it may include (besides itself).
declare -A allowed=(
    [engine]=""
    [monitor]="engine"
    [logs]="engine"
    [settings]="engine logs"
    [history]="engine monitor logs settings"
    [metrics]="engine monitor"
    [cli]="engine monitor logs settings history metrics"
    [helper]=""
    [platform]="engine settings"
    [ui]="engine monitor logs settings platform history metrics"
    [app]="engine monitor logs settings platform ui history metrics cli"
)
while IFS= read -r line; do
    file=${line%%:*}
    target=${line#*\"}
    target=${target%%\"*}
    from=${file%%/*}
    to=${target%%/*}
    [ "$to" = "$target" ] && continue  # a header beside the file, not a folder path
    [ "$from" = "$to" ] && continue
    if [ -z "${allowed[$from]+set}" ]; then
        echo "unknown folder src/$from (add it to scripts/check-includes.sh)" >&2
        status=1
        continue
    fi
    case " ${allowed[$from]} " in
        *" $to "*) ;;
        *) echo "src/$file includes $target: $from may not depend on $to" >&2; status=1 ;;
    esac
done < <(grep -rHoE '^[[:space:]]*#[[:space:]]*include[[:space:]]+"[^"]+"' --include='*.h' --include='*.cpp' . | sed 's|^\./||')

# ---- 3. Qt-free cores --------------------------------------------------------------------------
for dir in engine monitor logs settings history metrics cli helper; do
    [ -d "$dir" ] || continue
    if found=$(grep -rnE '^[[:space:]]*#[[:space:]]*include[[:space:]]*<Q' --include='*.h' --include='*.cpp' "$dir"); then
        echo "Qt header in a Qt-free folder:" >&2
        printf '%s\n' "$found" >&2
        status=1
    fi
done

[ "$status" -eq 0 ] && echo "includes: no circle, layers hold, cores Qt-free"
exit "$status"
