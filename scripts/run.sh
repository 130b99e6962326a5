#!/usr/bin/env bash
# Builds the program and starts it on the bundled example list of loopback addresses.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "$(id -u)" -eq 0 ]; then bash scripts/install-deps.sh; fi
cmake --preset default >/dev/null
cmake --build --preset default
exec build/default/src/app/veltrin-ping "$@"
