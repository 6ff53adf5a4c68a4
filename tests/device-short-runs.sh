#!/usr/bin/env bash
# device-short-runs.sh NAMES: a short run under qemu, traced like the end-to-end
# flows, of each device program that those flows do not run: mtd_write (the
# flows keep the host's stand-in), ledctl (its flows preload a host library) and
# the forking mfglinkd (the flows run it in the foreground). Each is handed what
# the simulated device cannot do for it, and must say so. And a run that could
# reach the host's own platform commands is refused.
set -uo pipefail
names=$1
root=$(mktemp -d "${TMPDIR:-/tmp}/qv-device-XXXXXX")
trap 'rm -rf "$root"' EXIT
"$names/source/platform/make-device-root" "$root" >/dev/null || exit 1
export QV_DEVICE_ROOT=$root
# The settings of the programs' runs, which device-run.sh finds beside the links.
# shellcheck disable=SC1091
. "$names/bin/device-run.env"
status=0
expect() { # NAME STATUS TEXT COMMAND...
  local name=$1 want=$2 text=$3 out rc
  shift 3
  out=$("$@" 2>&1); rc=$?
  if [ "$rc" = "$want" ] && grep -qF -- "$text" <<<"$out"; then
    echo "ok   $name"
  else
    echo "FAIL $name: status $rc, said: $out"; status=1
  fi
}
# The partition is an image file, not MTD: its MEMGETINFO fails.
expect "mtd_write on a partition that is no flash device" 1 "is not a flash device" \
  env QV_DEVICE_BIN_DIR="$names/build/mtd_write" "$names/source/tests/device-run.sh" mtd_write write /etc/nvram_default Kernel
# ledctl reports the failed open and ends with status 0, as after any step that
# failed once its message is out.
expect "ledctl without its GPIO device" 0 "/dev/gpio: No such file or directory" "$names/bin/ledctl" l 13 1 0 1 0 1
# A PATH that would reach this machine's own reboot and killall before the
# stand-ins: refused before the program runs.
expect "a PATH without the platform's stand-ins first is refused" 125 \
  "the stand-in $names/bin/reboot" env PATH=/usr/sbin:/usr/bin:/sbin:/bin "$names/bin/ledctl" l 13 1 0 1 0 1
# The service forks; the starter returns at once, the service ends without br0.
expect "the forking mfglinkd starts" 0 "" "$names/bin/mfglinkd"
sleep 2
exit $status
