#!/usr/bin/env bash
# Takes the README's pictures under Xvfb with the openbox window manager (root needed for the raw
# sockets and the network namespace):
#   docs/screenshot.png    the main window on a list of loopback addresses, with the History
#                          column's strips after a minute of pinging;
#   docs/detail-graph.png  the detail window of the first row with its round-trip graph.
# The program runs in a network namespace of its own that has nothing but loopback; for a few
# moments now and then that loopback stops answering echoes, so lost echoes show too.
# Usage: scripts/screenshot.sh [program] [list.png] [graph.png]
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "${1:-}" = "--inside-x" ]; then
  program=$2 listout=$3 graphout=$4 spl=$5
  # Inside the namespace: loopback up, and the only addresses pinged are 127.0.0.x.
  ip link set lo up
  openbox >/dev/null 2>&1 &
  wm=$!
  # Echo answers off for 0.6 s every 9 s, at most 30 times, then on for good.
  (
    for _ in $(seq 30); do
      sleep 8.4
      echo 1 >/proc/sys/net/ipv4/icmp_echo_ignore_all
      sleep 0.6
      echo 0 >/proc/sys/net/ipv4/icmp_echo_ignore_all
    done
  ) &
  flapper=$!
  sleep 1
  "$program" "$spl" >/dev/null 2>&1 &
  app=$!
  cleanup() {
    kill "$app" "$wm" "$flapper" 2>/dev/null || true
    echo 0 >/proc/sys/net/ipv4/icmp_echo_ignore_all
  }
  trap cleanup EXIT
  # The largest visible window that xdotool finds with these search options (the main window's
  # title follows the connectivity check, and the top window is a small square of the same class).
  find_window() {
    local found="" best=0 id WIDTH HEIGHT
    for _ in $(seq 100); do
      for id in $(xdotool search --onlyvisible "$@" 2>/dev/null || true); do
        eval "$(xdotool getwindowgeometry --shell "$id" | grep -E '^(WIDTH|HEIGHT)=')"
        if [ $((WIDTH * HEIGHT)) -gt "$best" ]; then best=$((WIDTH * HEIGHT)) found=$id; fi
      done
      [ -n "$found" ] && break
      sleep 0.2
    done
    echo "$found"
  }
  window=$(find_window --classname '^veltrin-ping$')
  if [ -z "$window" ]; then
    echo "screenshot: the main window did not show up" >&2
    exit 1
  fi
  xdotool windowsize "$window" 1180 430
  xdotool windowmove "$window" 40 20
  xdotool mousemove 1275 795  # no tooltip over the pictures
  sleep 55  # the strips fill: 100 ms between echoes over eight rows
  xdotool windowactivate --sync "$window" 2>/dev/null || true
  xdotool windowraise "$window"
  sleep 0.5
  import -window "$window" -frame "$listout"

  # The first row's detail window: a double-click on it.
  xdotool mousemove --window "$window" 80 140 click --repeat 2 --delay 80 1
  detail=$(find_window --name '^Details$')
  if [ -z "$detail" ]; then
    echo "screenshot: the detail window did not show up" >&2
    exit 1
  fi
  xdotool windowmove "$detail" 300 10
  sleep 45
  xdotool windowactivate --sync "$detail" 2>/dev/null || true
  xdotool windowraise "$detail"
  xdotool mousemove 1275 795
  sleep 0.5
  import -window "$detail" -frame "$graphout"
  exit 0
fi

if [ "${1:-}" = "--in-namespace" ]; then
  shift
  exec xvfb-run -a -s "-screen 0 1280x800x24" "$0" --inside-x "$@"
fi

program=${1:-build/default/src/app/veltrin-ping}
listout=${2:-docs/screenshot.png}
graphout=${3:-docs/detail-graph.png}
mkdir -p "$(dirname "$listout")" "$(dirname "$graphout")"
home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
# Desktop files the program writes at start-up go to a throw-away home, and so does its
# settings file: 100 ms between echoes.
mkdir -p "$home/config/veltrin-ping"
printf '[Ping setting]\r\ninterval=1\r\n' >"$home/config/veltrin-ping/korbel setting.ini"
spl=$home/loopback.spl
for i in 1 2 3 4 5 6 7 8; do printf '127.0.0.%s_   TTL  Timeout     \r\r\n' "$i"; done >"$spl"
HOME=$home XDG_CONFIG_HOME=$home/config XDG_DATA_HOME=$home/data \
  unshare --net -- "$0" --in-namespace "$(realpath "$program")" "$(realpath -m "$listout")" \
  "$(realpath -m "$graphout")" "$spl"
echo "screenshot: $listout $graphout"
