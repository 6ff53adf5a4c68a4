#!/usr/bin/env bash
# Demonstration of the production-line flow: the station tool connects to the
# factory link service over a veth pair (MTU 1522, so chunks are full), writes
# the serial number, flashes a 2 MiB image, has the device reboot and ends the
# service; then the image is compared with the start of the "Kernel" partition.
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/../../scripts/link-netns.sh"

link_demo_start station 1522

size=$((2 * 1024 * 1024))
head -c "$size" /dev/urandom >"$img"
echo "== mfgstation -i st0 connect write-sn QV2026-004711 flash IMAGE reboot quit"
ip netns exec "$ns" "$bin/mfgstation" -i st0 connect write-sn QV2026-004711 flash "$img" reboot quit
echo "mfgstation exit status: $?"
wait "$svc"
svc=

echo "== nvram get 3 SN"
nvram get 3 SN
kernel=$(awk -F: '/"Kernel"/ {print $1}' "$QV_DEVICE_ROOT/proc/mtd")
if cmp -s -n "$size" "$img" "$QV_DEVICE_ROOT/dev/$kernel"; then
  echo "the Kernel partition ($kernel) starts with the image, byte for byte: CRC-32 $(gzip -c <"$img" | tail -c 8 | od -An -tx4 -N4 | tr -d ' ')"
else
  echo "the Kernel partition does not hold the image" >&2
  exit 1
fi
echo "== platform log (the flash tool, then the reboot)"
cat "$QV_DEVICE_ROOT/var/log/platform.log"
