#!/usr/bin/env bash
# Builds the program and starts it; without arguments on the bundled example list of loopback
# addresses, so the rows answer at once.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "$(id -u)" -eq 0 ]; then bash scripts/install-deps.sh; fi
cmake --preset default >/dev/null
# Only the programs: the test programs are many and not needed to run it.
cmake --build --preset default --target programs
if [ $# -eq 0 ]; then set -- "$PWD/resources/example.spl"; fi
# The demo keeps the connectivity check on this machine.
export VELTRIN_PROBEHOST="${VELTRIN_PROBEHOST:-127.0.0.1}"
exec build/default/src/app/veltrin-ping "$@"
