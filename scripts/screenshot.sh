#!/usr/bin/env bash
# Takes docs/screenshot.png: the main window on the bundled example list, under Xvfb with the
# openbox window manager, after the first replies came in (root needed for the raw sockets).
# Usage: scripts/screenshot.sh [program] [output.png]
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "${1:-}" = "--inside-x" ]; then
  program=$2 out=$3
  openbox >/dev/null 2>&1 &
  wm=$!
  sleep 1
  "$program" "$PWD/resources/example.spl" >/dev/null 2>&1 &
  app=$!
  window=""
  for _ in $(seq 50); do
    window=$(xdotool search --onlyvisible --name '^Veltrin Ping Utility$' 2>/dev/null | head -n 1 || true)
    [ -n "$window" ] && break
    sleep 0.2
  done
  if [ -z "$window" ]; then
    echo "screenshot: the main window did not show up" >&2
    kill "$app" "$wm" 2>/dev/null || true
    exit 1
  fi
  sleep 4  # a few ping cycles over the example list
  import -window "$window" -frame "$out"
  kill "$app" "$wm" 2>/dev/null || true
  wait "$app" 2>/dev/null || true
  exit 0
fi

program=${1:-build/default/src/app/veltrin-ping}
out=${2:-docs/screenshot.png}
mkdir -p "$(dirname "$out")"
home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
# Desktop files the program writes at start-up go to a throw-away home.
HOME=$home XDG_CONFIG_HOME=$home/config XDG_DATA_HOME=$home/data \
  xvfb-run -a -s "-screen 0 1024x768x24" "$0" --inside-x "$(realpath "$program")" "$(realpath -m "$out")"
echo "screenshot: $out"
