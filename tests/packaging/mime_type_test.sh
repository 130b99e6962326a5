#!/usr/bin/env bash
# The address-log type as the desktop sees it: `xdg-mime query filetype` gives our type for a
# real address log and leaves every other file ending in ".spl" to the type the system already
# has for that extension. Runs against a MIME database of its own (the system's
# freedesktop.org.xml package plus ours) in a temporary XDG_DATA_DIRS, so the machine's
# database is not touched.
set -euo pipefail
src=${1:?source folder}
ours=application/x-veltrin-spl

for tool in update-mime-database xdg-mime gio; do
  if ! command -v "$tool" >/dev/null; then
    echo "SKIP: $tool is missing (packages shared-mime-info, xdg-utils, libglib2.0-bin)"
    exit 77
  fi
done
system=/usr/share/mime/packages/freedesktop.org.xml
if [ ! -f "$system" ]; then
  echo "SKIP: $system is missing (package shared-mime-info)"
  exit 77
fi

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
mkdir -p "$tmp/share/mime/packages" "$tmp/share/applications" "$tmp/home" "$tmp/files"
cp "$system" "$tmp/share/mime/packages/"
cp "$src/resources/veltrin-ping-mime.xml" "$tmp/share/mime/packages/veltrin-ping.xml"
cp "$src/resources/org.veltrin.VeltrinPing.desktop" "$tmp/share/applications/"
update-mime-database "$tmp/share/mime" 2>/dev/null
grep -q "^50:$ours:\*\.spl$" "$tmp/share/mime/globs2" || { echo "FAIL: the pattern is not in globs2"; exit 1; }

# xdg-mime's generic backend asks file(1), which knows no shared-mime-info package; a GNOME
# session asks GLib, which follows the shared-mime-info rules as every file manager does.
export XDG_DATA_HOME="$tmp/home" XDG_DATA_DIRS="$tmp/share" XDG_CURRENT_DESKTOP=GNOME

cr=$'\r'
f="$tmp/files"
cp "$src/resources/example.spl" "$f/example.spl"                       # the bundled log
printf '127.0.0.1_   TTL 64 Timeout 0  return data length:   32  %s%s\n' "$cr" "$cr" >"$f/answered.spl"
long=$(printf 'h%.0s' $(seq 1 200)).example
printf '%s_   TTL  Timeout   %s%s\n' "$long" "$cr" "$cr" >"$f/long-name.spl"
printf 'HTTP://example.com/index.html_   TTL  Timeout   %s%s\n' "$cr" "$cr" >"$f/web.spl"
printf 'just some notes\nthat end in .spl\n' >"$f/notes.spl"
printf '127.0.0.1\n127.0.0.2\n' >"$f/plain-list.spl"                      # addresses, no log lines
: >"$f/empty.spl"
printf 'FWS\x06\x20\x00\x00\x00' >"$f/movie.spl"                           # the other .spl type
cp "$f/answered.spl" "$f/answered.txt"

failed=0
check() {  # file, expected type, "is" or "not"
  local got
  got=$(xdg-mime query filetype "$f/$1" 2>/dev/null || true)
  if [ "$3" = is ] && [ "$got" != "$2" ]; then
    echo "FAIL: $1 is \"$got\", expected $2"; failed=1
  elif [ "$3" = not ] && [ "$got" = "$2" ]; then
    echo "FAIL: $1 is $got, which it must not be"; failed=1
  else
    echo "ok: $1 -> $got"
  fi
}
check example.spl "$ours" is
check answered.spl "$ours" is
check long-name.spl "$ours" is
check web.spl "$ours" is
check notes.spl "$ours" not
check plain-list.spl "$ours" not
check empty.spl "$ours" not
check movie.spl application/vnd.adobe.flash.movie is
check answered.txt text/plain is

# Opening an address log offers this program.
if command -v update-desktop-database >/dev/null; then
  update-desktop-database "$tmp/share/applications"
  default=$(xdg-mime query default "$ours" 2>/dev/null || true)
  if [ "$default" = org.veltrin.VeltrinPing.desktop ]; then
    echo "ok: $ours opens with $default"
  else
    echo "FAIL: $ours opens with \"$default\""; failed=1
  fi
fi
exit "$failed"
