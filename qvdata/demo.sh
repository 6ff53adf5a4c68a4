#!/usr/bin/env bash
# qvdata and factory_bytes on the simulated device in $QV_DEVICE_ROOT: sample
# factory data, published into /etc, then the LAN MAC changed and published again.
set -euo pipefail
: "${QV_DEVICE_ROOT:?run with QV_DEVICE_ROOT set to a device root}"
bin=${QV_BIN_DIR:-build/host/bin}
root=$QV_DEVICE_ROOT
factory=$root/dev/mtd2

show() { printf '$ %s\n' "$*"; "$@" 2>&1; }
# poke OFFSET HEXBYTES...: writes bytes into the Factory image.
poke() {
  local offset=$1; shift
  printf "$(printf '\\x%s' "$@")" | dd of="$factory" bs=1 seek=$((offset)) conv=notrunc status=none
}
files() {
  for f in bootromVer product mac_eth0 mac_eth1 mac_ra0 wlanRegion wlanVer; do
    printf '  /etc/%-11s %s\n' "$f" "$(cat "$root/etc/$f" 2>/dev/null || echo '(not written)')"
  done
}

echo "Sample factory data: WLAN MAC at 0x04, LAN MAC at 0x28, WAN MAC at 0x2E, region at 0x39"
poke 0x04 00 0c 43 30 52 01
poke 0x28 00 0c 43 30 52 02
poke 0x2e 00 0c 43 30 52 03
poke 0x39 01
echo "Boot loader version and product name, in the store's factory block since the factory:"
show nvram show 1

echo
show "$bin/qvdata"
echo "Published:"
files

echo
show "$bin/factory_bytes" g 28 c
show "$bin/factory_bytes" s 28 00 0c 43 aa bb cc
show "$bin/factory_bytes" s 28 00 0c 43 aa bb cc
show "$bin/factory_bytes" s 39 1ff || echo "(exit $?: nothing read or written)"

echo
show "$bin/qvdata"
files

echo
echo "A product name that looks like shell code is published as text:"
show nvram set 1 qvsig 'x;reboot'
show "$bin/qvdata" -l "$root/tmp/lan mac"
printf '  /etc/product     %s\n  /tmp/lan mac     %s\n' "$(cat "$root/etc/product")" "$(cat "$root/tmp/lan mac")"
echo "platform log (a reboot would be listed here): $(wc -l < "$root/var/log/platform.log") lines"
