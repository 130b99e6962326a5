#!/usr/bin/env bash
# Builds the Debian package and tries it as a user would, on this machine:
#   apt install ./veltrin-ping_*.deb, veltrin-ping --version, the installed console run by an
#   unprivileged user against loopback (the rows answer through the packet helper), the
#   helper's capability, the address-log type in the system's MIME database, and dpkg -r,
#   after which nothing but configuration may be left.
# It installs into the machine itself, so it runs as root, and CI runs it (.ci/run). Each step
# that lacks a tool says so and is skipped.
set -euo pipefail
cd "$(dirname "$0")/.."

skip() { echo "package-test: SKIP: $*"; exit 0; }
step() { echo; echo "== package-test: $*"; }
failed=0
fail() { echo "package-test: FAIL: $*"; failed=1; }

[ "$(id -u)" -eq 0 ] || skip "needs root (it installs the package into this machine)"
for tool in dpkg apt dpkg-deb dpkg-shlibdeps cpack; do
  command -v "$tool" >/dev/null || skip "$tool is missing (scripts/install-deps.sh installs dpkg-dev and cmake)"
done

step "build the package (cmake --preset package, cpack --preset package)"
cmake --preset package >/dev/null
cmake --build --preset package
rm -f build/package/veltrin-ping_*.deb build/package/veltrin-ping-dbgsym_*.ddeb
cpack --preset package
deb=$(ls build/package/veltrin-ping_*.deb)
ls -l build/package/*.deb build/package/*.ddeb 2>/dev/null || true
dpkg-deb --info "$deb" | sed -n '/Package:/,$p'

step "lintian"
if command -v lintian >/dev/null; then
  # Errors fail the step; the warnings we accept are listed in README.md (Install).
  # (lintian says it would rather not run as root; it only reads the files.)
  lintian --fail-on error --info "$deb" build/package/veltrin-ping-dbgsym_*.ddeb || fail "lintian found errors"
else
  echo "lintian is missing (package lintian); not checked"
fi

step "apt install ./$(basename "$deb")"
export DEBIAN_FRONTEND=noninteractive
if dpkg-query -W -f='${Status}' veltrin-ping 2>/dev/null | grep -q 'install ok installed'; then
  echo "an earlier veltrin-ping is installed; the new one replaces it"
fi
# apt takes a file when its name has a slash.
apt install -y -q "./$deb" 2>&1 | grep -v 'WARNING: apt does not have a stable CLI' || true
dpkg-query -W -f='${Status}\n' veltrin-ping | grep -q 'install ok installed' || { fail "not installed"; exit 1; }

step "veltrin-ping --version"
version=$(veltrin-ping --version) || fail "--version failed"
echo "$version"
grep -q "$(dpkg-query -W -f='${Version}' veltrin-ping | sed 's/-[^-]*$//')" <<<"$version" ||
  fail "--version does not name the packaged version"

helper=/usr/libexec/veltrin-ping/veltrin-ping-helper
step "the helper's capability"
if [ -e "$helper" ]; then
  if command -v getcap >/dev/null; then
    caps=$(getcap "$helper")
    echo "$caps"
    grep -q 'cap_net_raw[=+]ep' <<<"$caps" || fail "$helper lacks cap_net_raw (see the postinst message above)"
  else
    fail "getcap is missing, although the package depends on libcap2-bin"
  fi
else
  echo "this build has no packet helper; the capability is not checked"
fi

step "the installed console as an unprivileged user, against loopback"
user=nobody
home=$(mktemp -d)
chown "$user" "$home"
list=/usr/share/veltrin-ping/example.spl
console=(env -i PATH=/usr/bin:/bin HOME="$home" VELTRIN_PROBEHOST=127.0.0.1
         veltrin-ping --console "$list" --seconds 6)
# A console that can say which way ICMP goes is asked to.
verbose=no
if veltrin-ping --help 2>&1 | grep -q -- '--verbose'; then console+=(--verbose); verbose=yes; fi
# In a network namespace of its own the user may not use ICMP datagram sockets (the
# namespace's ping_group_range is empty) and has no raw socket: only the helper can answer.
if command -v unshare >/dev/null && command -v ip >/dev/null && unshare -n true 2>/dev/null; then
  runner=(unshare -n sh -c 'ip link set lo up && exec runuser -u "$0" -- "$@"' "$user" "${console[@]}")
else
  echo "no network namespace here; the console runs in this machine's namespace"
  runner=(runuser -u "$user" -- "${console[@]}")
fi
set +e
output=$("${runner[@]}" 2>"$home/stderr" </dev/null)
status=$?
set -e
echo "$output" | tail -n 8
cat "$home/stderr"
echo "exit status $status"
rows=$(grep -c '_   TTL ' <<<"$output" || true)
answered=$(grep -cE '_   TTL [0-9]+ Timeout [0-9]+' <<<"$output" || true)
expected=$(grep -c '_   TTL ' "$list")
if [ -e "$helper" ]; then
  [ "$rows" -eq "$expected" ] || fail "the console printed $rows rows, expected $expected"
  [ "$answered" -eq "$expected" ] || fail "only $answered of $expected rows answered through the helper"
  [ "$status" -eq 0 ] || fail "the console exited with $status"
  if [ "$verbose" = yes ]; then
    grep -q 'packet helper' "$home/stderr" || fail "the console did not send through the packet helper"
  fi
else
  echo "no packet helper: rows answered $answered of $expected (not judged)"
fi
rm -rf "$home"

step "the address-log type in the system's MIME database"
if command -v xdg-mime >/dev/null && command -v gio >/dev/null; then
  type=$(XDG_CURRENT_DESKTOP=GNOME xdg-mime query filetype "$list")
  echo "$list: $type"
  [ "$type" = application/x-veltrin-spl ] || fail "$list is $type"
  grep -q 'application/x-veltrin-spl=org.veltrin.VeltrinPing.desktop' /usr/share/applications/mimeinfo.cache ||
    fail "the desktop database does not open address logs with the program"
else
  echo "xdg-mime or gio is missing (xdg-utils, libglib2.0-bin); not checked"
fi

step "dpkg -r veltrin-ping"
files=$(dpkg-query -L veltrin-ping)
dpkg -r veltrin-ping
status=$(dpkg-query -W -f='${Status}' veltrin-ping 2>/dev/null || true)
echo "status after removal: ${status:-unknown to dpkg}"
case "$status" in
  ""|"unknown ok not-installed"|"deinstall ok not-installed"|"deinstall ok config-files") ;;
  *) fail "status after dpkg -r: $status" ;;
esac
left=0
while IFS= read -r path; do
  [ -n "$path" ] && [ ! -d "$path" ] && [ -e "$path" ] && { echo "left behind: $path"; left=1; }
done <<<"$files"
for dir in /usr/libexec/veltrin-ping /usr/share/veltrin-ping /usr/share/doc/veltrin-ping; do
  [ ! -e "$dir" ] || { echo "left behind: $dir"; left=1; }
done
[ "$left" -eq 0 ] || fail "files were left behind"
if grep -q application/x-veltrin-spl /usr/share/mime/globs2 2>/dev/null; then
  fail "the MIME database still knows the address-log type"
fi

echo
if [ "$failed" -eq 0 ]; then
  echo "package-test: all checks passed"
else
  echo "package-test: some checks failed"
fi
exit "$failed"
