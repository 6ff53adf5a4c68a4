#!/usr/bin/env bash
# store-economy.sh [SETS]: what the configuration store costs the flash.
#   1. SETS (1000) changes of typical values to the 210 exported settings, on NOR
#      flash with one 64 KiB erase block: erases per set (target: at most 1 in 20).
#   2. One conf_export of those settings, under strace: opens of /proc/mtd and of
#      the Config partition, and bytes read from them (target: each block read
#      once per process).
set -euo pipefail
sets=${1:-1000}
top=$(cd "$(dirname "$0")/.." && pwd)
bin=${QV_BIN_DIR:-$top/build/host/bin}
export QV_BIN_DIR=$bin PATH=$bin:$PATH
command -v strace >/dev/null || { echo "store-economy: strace is needed (scripts/install-deps)" >&2; exit 2; }

root=$(mktemp -d /tmp/qv-economy-XXXXXX)
trap 'rm -rf "$root"' EXIT
"$top/platform/make-device-root" "$root" --boot-version 1.0.2 --product "QV AP 300"
export QV_DEVICE_ROOT=$root

# The exported keys, as conf_export lists them.
conf_export "$root/tmp/keys.conf" >/dev/null
grep -o '^[^#=][^=]*=' "$root/tmp/keys.conf" | tr -d = > "$root/tmp/keys"
echo "== $sets sets"
store_economy "$root/tmp/keys" "$sets"

echo "== one conf_export"
strace -f -e trace=open,openat,close,read,pread64 -o "$root/tmp/trace" conf_export "$root/tmp/out.conf" >/dev/null
awk -v mtd="$root/dev/mtd1" -v table="$root/proc/mtd" '
  function fd_of(s) { sub(/.*= /, "", s); return s + 0 }
  /open(at)?\(/ {
    if (index($0, "\"" mtd "\"")) { opens_mtd++; fds[fd_of($0)] = "mtd" }
    else if (index($0, "\"" table "\"")) { opens_table++; fds[fd_of($0)] = "table" }
    next
  }
  /close\(/ { f = $0; sub(/.*close\(/, "", f); delete fds[f + 0]; next }
  /(pread64|read)\(/ {
    f = $0; sub(/.*read(64)?\(/, "", f); f = f + 0
    n = $0; sub(/.*= /, "", n); n = n + 0
    if (fds[f] == "mtd") { bytes_mtd += n; reads_mtd++ } else if (fds[f] == "table") bytes_table += n
  }
  END {
    printf "opens:            %d of /proc/mtd, %d of the Config partition\n", opens_table, opens_mtd
    printf "flash bytes read: %d in %d reads (a block is 16384 bytes)\n", bytes_mtd, reads_mtd
    printf "/proc/mtd read:   %d bytes\n", bytes_table
  }' "$root/tmp/trace"
