#!/usr/bin/env bash
# Demonstration of the factory link service: a station connects over a veth pair
# to the bridge br0 of a private network namespace, writes and reads the serial
# number, flashes a small image and quits.
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/../scripts/link-netns.sh"

bin=${QV_BIN_DIR:-build/host/bin}
: "${QV_DEVICE_ROOT:?QV_DEVICE_ROOT must name a simulated device root}"
ns=qvdemo-link-$$
out=$(mktemp)
img=$(mktemp)
svc=

cleanup() {
  if [ -n "$svc" ] && kill -0 "$svc" 2>/dev/null; then kill "$svc" 2>/dev/null || true; wait "$svc" 2>/dev/null || true; fi
  ip netns del "$ns" 2>/dev/null || true
  rm -f "$out" "$img"
}
trap cleanup EXIT

echo "== network namespace $ns: bridge br0 (02:00:00:00:00:01) with port p0, station on st0"
link_netns_up "$ns"

echo "== starting mfglinkd (foreground build) on $QV_DEVICE_ROOT"
ip netns exec "$ns" env QV_DEVICE_ROOT="$QV_DEVICE_ROOT" PATH="$PATH" "$bin/mfglinkd_fg" >"$out" 2>&1 &
svc=$!
sleep 0.3

echo "== station: connect, write-sn QV-DEMO-0001, read-sn"
ip netns exec "$ns" "$bin/mfgprobe" -i st0 connect write-sn QV-DEMO-0001 read-sn
echo "== nvram get 3 SN"
nvram get 3 SN

head -c 65536 /dev/urandom >"$img"
echo "== station: flash a 64 KiB image"
ip netns exec "$ns" "$bin/mfgprobe" -i st0 flash "$img" | tail -n 4
kernel=$(awk -F: '/"Kernel"/ {print $1}' "$QV_DEVICE_ROOT/proc/mtd")
if cmp -s -n 65536 "$img" "$QV_DEVICE_ROOT/dev/$kernel"; then
  echo "Kernel partition ($kernel) holds the image byte for byte"
else
  echo "Kernel partition does not hold the image" >&2
  exit 1
fi

echo "== station: quit"
ip netns exec "$ns" "$bin/mfgprobe" -i st0 quit
wait "$svc"
svc=
echo "== what the service printed"
awk '{ if (match($0, /^\.+/)) { print "[" RLENGTH " progress dots, one per chunk]"; $0 = substr($0, RLENGTH + 1) } print }' "$out"
echo "== platform log"
cat "$QV_DEVICE_ROOT/var/log/platform.log"
