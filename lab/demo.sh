#!/usr/bin/env bash
# Demonstration of the lab device (the end of scripts/demo): the device build,
# installed, boots on an emulated MIPS Malta board with a fresh flash; the
# host's mfgstation runs the production flow on its tap device (connect,
# write-sn, flash 2 MiB, reboot); after the second boot it reads the serial
# number back, and the host compares the "Kernel" partition's backing file
# with the image. Shows the guest's console lines that matter.
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
cd "$LAB_TOP"

lab/fetch
echo "== building and installing the device build (mipsel)"
cmake --preset mipsel >/dev/null
cmake --build --preset mipsel -j "$(nproc)" >/dev/null

work=$(mktemp -d "$LAB_TOP/build/lab/demo.XXXXXX")
trap 'lab_stop; rm -rf "$work"' EXIT
trap 'exit 1' INT TERM
LAB_TIME_LIMIT=600
lab_flash "$work/flash"
lab_rootfs build/mipsel "$work" "$work/flash"
echo "== root file system: cmake --install of build/mipsel, busybox, the C library, $(du -k "$work/initrd.gz" | cut -f1) KiB; the device's files:"
(cd "$work/root" && find usr lib/modules etc/nvram_default -type f | sort | sed 's|^|   /|')

# console_lines N: what boot N showed that matters: the start-up's lines, the
# service's trace (its progress dots counted), the flash tool, the reboot.
console_lines() {
  tr -d '\r' <"$LAB_CONSOLE" | awk -v n="$1" '/^lab: booted / { b++ } b == n' |
    grep -v -E '^\[ *[0-9.]+\] (Linux|earlycon|printk|CPU0|FPU|MIPS|Software|Problem)|^$' |
    sed 's/^Please press Enter to activate this console\. //' |
    awk '{ if (match($0, /^\.+/)) { print "[" RLENGTH " progress dots, one per chunk]"; $0 = substr($0, RLENGTH + 1) } if ($0 != "") print }' |
    sed 's/^/   | /'
}

echo "== booting Debian's $(cat "$LAB_CACHE/kernel.release") under qemu-system-mipsel -M malta -cpu $LAB_CPU (TCG)"
start=$SECONDS
lab_start "$work" "$work/flash"
lab_wait_ready 1
echo "== boot 1, ready after $((SECONDS - start)) s; the guest's console:"
console_lines 1

head -c $((2 * 1048576)) /dev/urandom >"$work/image"
echo "== station on the host (tap device lab0): connect, write-sn QV-LAB-0001, flash a 2 MiB image, reboot"
lab_station connect write-sn QV-LAB-0001 flash "$work/image" reboot | grep -v -E 'bytes sent \([1-9]0%\)'
lab_wait_ready 2
echo "== the guest's console during the production flow and after the reboot:"
console_lines 1 | sed -n '/create_connection/,$p'
console_lines 2

echo "== station: connect, read-sn, quit"
lab_station connect read-sn quit
if cmp -s -n $((2 * 1048576)) "$work/image" "$work/flash/Kernel.img"; then
  echo "== the \"Kernel\" partition's backing file on the host holds the image byte for byte"
else
  echo "== the \"Kernel\" partition does not hold the image" >&2
  exit 1
fi
lab_poweroff
echo "== the guest powered itself off"
