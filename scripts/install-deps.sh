#!/usr/bin/env bash
# Installs the Debian 12 packages needed to build, test and demo the program.
# Safe to run again: apt-get skips what is already present.
set -euo pipefail
if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: run as root (apt-get needs it)" >&2
  exit 1
fi
pkgs=(
  build-essential cmake ninja-build pkg-config clang
  qt6-base-dev qt6-base-dev-tools libqt6svg6 qt6-qpa-plugins
  # the detail graph; Debian 12's Qt Charts CMake files also need the OpenGL module's
  qt6-charts-dev libqt6opengl6-dev
  libcurl4-openssl-dev libmicrohttpd-dev libsqlite3-dev
  libcap-dev libcap2-bin util-linux
  libxcb1-dev libxcb-keysyms1-dev
  libgtest-dev googletest libgmock-dev libbenchmark-dev
  python3-aiosmtpd iproute2 iputils-ping prometheus
  xvfb xauth xdotool x11-utils openbox trayer
  dbus dunst
  shared-mime-info desktop-file-utils traceroute imagemagick
  fonts-dejavu-core
  # bench/compare.sh: the yardsticks it runs beside the program, and syscall counts
  fping strace
  # packaging: the .deb (cpack, dpkg-shlibdeps needs dpkg-dev and file), its checks and its test
  dpkg-dev file lintian appstream xdg-utils libglib2.0-bin libcap2-bin man-db
)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
