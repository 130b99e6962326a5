#!/bin/sh
# Stand-in for a terminal emulator or a trace route program in tests: writes its own name and
# every argument it got, each followed by a zero byte, to the file named by $VELTRIN_ARGV_LOG
# (written to a temporary name first, then renamed, so a reader never sees half of it).
log="${VELTRIN_ARGV_LOG:?VELTRIN_ARGV_LOG not set}"
{
  printf '%s\0' "$0"
  for a in "$@"; do printf '%s\0' "$a"; done
} > "$log.tmp" && mv -f "$log.tmp" "$log"
