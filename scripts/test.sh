#!/usr/bin/env bash
# Builds the program and runs the whole test suite (unit, real ICMP on loopback and test hosts,
# SMTP against a local server, windows offscreen). Run as root on Debian 12: it installs what it
# needs, and the raw-socket and network-namespace tests need root.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "$(id -u)" -eq 0 ]; then bash scripts/install-deps.sh; fi
bash scripts/check-includes.sh
cmake --preset default >/dev/null
cmake --build --preset default
ctest --preset default "$@"
