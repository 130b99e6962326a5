#!/usr/bin/env bash
# `cmake --install` of this build tree into a temporary prefix: the GNU layout, files that the
# desktop's own checkers accept, a man page that renders cleanly, and an installed program that
# starts without writing desktop files into the home.
set -euo pipefail
src=${1:?source folder}
bin=${2:?build folder}
id=org.veltrin.VeltrinPing

if [ ! -x "$bin/src/app/veltrin-ping" ]; then
  echo "SKIP: build the program first (cmake --build --preset default --target veltrin-ping)"
  exit 77
fi
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
prefix="$tmp/usr"
cmake --install "$bin" --prefix "$prefix" >"$tmp/install.log"

failed=0
fail() { echo "FAIL: $*"; failed=1; }
expect=(
  bin/veltrin-ping
  share/veltrin-ping/address.dat share/veltrin-ping/help.html share/veltrin-ping/example.spl
  share/applications/$id.desktop share/metainfo/$id.metainfo.xml share/mime/packages/veltrin-ping.xml
  share/icons/hicolor/scalable/apps/$id.svg
  share/man/man1/veltrin-ping.1.gz
  share/doc/veltrin-ping/copyright share/doc/veltrin-ping/changelog.Debian.gz
)
for size in 16 24 32 48 64 128 256; do expect+=(share/icons/hicolor/${size}x${size}/apps/$id.png); done
[ -x "$bin/src/app/veltrin-ping-helper" ] && expect+=(libexec/veltrin-ping/veltrin-ping-helper)
[ -x "$bin/src/cli/veltrin-ping-cli" ] && expect+=(bin/veltrin-ping-cli share/man/man1/veltrin-ping-cli.1.gz)
for file in "${expect[@]}"; do
  [ -e "$prefix/$file" ] || fail "$file was not installed"
done
for size in 16 24 32 48 64 128 256; do
  png="$prefix/share/icons/hicolor/${size}x${size}/apps/$id.png"
  if command -v identify >/dev/null && [ -f "$png" ]; then
    got=$(identify -format '%wx%h' "$png")
    [ "$got" = "${size}x${size}" ] || fail "$png is $got"
  fi
done

if command -v desktop-file-validate >/dev/null; then
  desktop-file-validate "$prefix/share/applications/$id.desktop" || fail "desktop-file-validate"
else
  echo "note: desktop-file-validate is missing (package desktop-file-utils); not checked"
fi
if command -v appstreamcli >/dev/null; then
  appstreamcli validate --no-net "$prefix/share/metainfo/$id.metainfo.xml" || fail "appstreamcli validate"
else
  echo "note: appstreamcli is missing (package appstream); not checked"
fi
if command -v man >/dev/null; then
  warnings=$(MANWIDTH=80 man --warnings -l "$prefix/share/man/man1/veltrin-ping.1.gz" 2>&1 >/dev/null || true)
  [ -z "$warnings" ] || fail "man page warnings: $warnings"
  page=$(MANWIDTH=80 man -l "$prefix/share/man/man1/veltrin-ping.1.gz" 2>/dev/null)
  for section in NAME SYNOPSIS DESCRIPTION OPTIONS "EXIT STATUS" FILES ENVIRONMENT; do
    grep -q "^$section" <<<"$page" || fail "man page has no $section section"
  done
fi

"$prefix/bin/veltrin-ping" --version | grep -q '[0-9]\.[0-9]' || fail "--version"

# The installed window starts (offscreen, a fresh home) and writes no desktop entry, icon or
# MIME data there.
home="$tmp/home"
mkdir -p "$home"
env -i PATH="$PATH" HOME="$home" XDG_DATA_HOME="$home/.local/share" XDG_CONFIG_HOME="$home/.config" \
  QT_QPA_PLATFORM=offscreen VELTRIN_PROBEHOST=127.0.0.1 \
  timeout -s TERM 6 "$prefix/bin/veltrin-ping" >"$tmp/run.log" 2>&1 || true
for dir in applications mime icons; do
  [ ! -e "$home/.local/share/$dir" ] || fail "the installed program wrote $home/.local/share/$dir"
done
[ -e "$home/.config/veltrin-ping" ] || fail "the installed program did not start (no settings folder); log: $(cat "$tmp/run.log")"

[ "$failed" = 0 ] && echo "install tree: all checks passed"
exit "$failed"
