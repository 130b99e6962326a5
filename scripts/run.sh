#!/usr/bin/env bash
# Builds the program and starts it; without arguments on the bundled example list of loopback
# addresses, so the rows answer at once.
#
# Through sudo: installs what is needed, builds, gives the packet helper its capability and
# opens the window as the user who called sudo, on that user's display. Run by root without
# sudo: the same, with the window as root. As an ordinary user: builds and starts.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "$(id -u)" -eq 0 ]; then bash scripts/install-deps.sh; fi
cmake --preset default >/dev/null
# Only the programs: the test programs are many and not needed to run it.
cmake --build --preset default --target programs
program="$PWD/build/default/src/app/veltrin-ping"
helper="$PWD/build/default/src/app/veltrin-ping-helper"
if [ "$(id -u)" -eq 0 ]; then
  # Every link makes a new file without the capability, so it is given after every build.
  setcap cap_net_raw+ep "$helper"
fi
if [ $# -eq 0 ]; then set -- "$PWD/resources/example.spl"; fi
# The demo keeps the connectivity check on this machine.
export VELTRIN_PROBEHOST="${VELTRIN_PROBEHOST:-127.0.0.1}"

if [ "$(id -u)" -eq 0 ] && [ -n "${SUDO_USER:-}" ] && [ "$SUDO_USER" != root ]; then
  user="$SUDO_USER"
  uid="$(id -u "$user")"
  home="$(getent passwd "$user" | cut -d: -f6)"
  runtime="/run/user/$uid"
  env=(HOME="$home" USER="$user" LOGNAME="$user" VELTRIN_PROBEHOST="$VELTRIN_PROBEHOST"
       DISPLAY="${DISPLAY:-:0}" XAUTHORITY="${XAUTHORITY:-$home/.Xauthority}")
  [ -n "${WAYLAND_DISPLAY:-}" ] && env+=(WAYLAND_DISPLAY="$WAYLAND_DISPLAY")
  if [ -d "$runtime" ]; then
    env+=(XDG_RUNTIME_DIR="$runtime")
    [ -S "$runtime/bus" ] && env+=(DBUS_SESSION_BUS_ADDRESS="unix:path=$runtime/bus")
  fi
  # The window runs with the user's own rights: it pings through the helper (or datagram
  # sockets) and holds no capability.
  exec runuser -u "$user" -- env "${env[@]}" "$program" "$@"
fi
exec "$program" "$@"
