#!/usr/bin/env bash
# Demonstration of the factory link service: a station connects over a veth pair
# to the bridge br0 of a private network namespace, writes and reads the serial
# number, flashes a small image and quits.
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/../scripts/link-netns.sh"

link_demo_start link

echo "== station: connect, write-sn QV-DEMO-0001, read-sn"
ip netns exec "$ns" "$bin/mfgprobe" -i st0 connect write-sn QV-DEMO-0001 read-sn
echo "== nvram get 3 SN"
nvram get 3 SN

head -c 65536 /dev/urandom >"$img"
echo "== station: flash a 64 KiB image"
ip netns exec "$ns" "$bin/mfgstation" -i st0 flash "$img" | tail -n 4
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
