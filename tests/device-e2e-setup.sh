#!/usr/bin/env bash
# device-e2e-setup.sh DIR NAMES HOST_BIN_DIR DEVICE_BIN_DIR LIB_DIR PROGRAM...: the folder of binaries that the
# host build's end-to-end tests run when they check a device build: DIR/bin holds
# every host binary and stand-in, except that each named PROGRAM runs the device
# build's program under qemu (device-run.sh). DIR/bin/device-run.env is the
# build's, written by CMake; DIR/tmp takes the device roots, DIR/view is the
# mount point of the programs' file system, DIR/strace their system calls.
#
# NAMES, a folder in /run, holds the names under which the tests and the
# programs reach the build: links tmp (DIR/tmp, the tests' TMPDIR), bin (DIR/bin),
# strace, host-bin, device-bin (the device build's programs), lib (its
# libnvram.so), build (the device build) and source (the checkout). The programs see the device's own /tmp,
# /etc and /var, so the folders they are handed go by these names, wherever the
# checkout and the build lie; a short TMPDIR also keeps the roots' paths as short
# as in /tmp, which some tests size paths to the programs' limits from.
set -euo pipefail
dir=$1 names=$2 host=$3 device=$4 lib=$5; shift 5
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
if [ ! -d "$host" ]; then
  echo "device e2e: no host build in $host (cmake --preset host && cmake --build --preset host)" >&2
  exit 1
fi
find "$dir/bin" -mindepth 1 -maxdepth 1 ! -name device-run.env -delete 2>/dev/null || true
rm -rf "$dir/tmp" "$dir/strace"
mkdir -p "$dir/bin" "$dir/tmp" "$dir/view" "$dir/strace"
# An earlier build made NAMES a link to its tmp.
if [ -L "$names" ]; then rm -f "$names"; fi
mkdir -p "$names"
link() { ln -sfn "$(cd "$1" && pwd -P)" "$names/$2"; }
link "$dir/tmp" tmp
link "$dir/bin" bin
link "$dir/strace" strace
link "$host" host-bin
link "$device" device-bin
link "$lib" lib
link "$here/.." source
link "$device/.." build
for f in "$host"/*; do ln -s "$names/host-bin/${f##*/}" "$dir/bin/${f##*/}"; done
for p in "$@"; do ln -sfn "$names/source/tests/device-run.sh" "$dir/bin/$p"; done
# Host commands that Debian names through /etc/alternatives (awk for the
# stand-ins) lead nowhere in the programs' file system, whose /etc is the
# device's: the links here lead straight to the program.
while IFS= read -r c; do
  [ -e "$dir/bin/${c##*/}" ] || ln -s "$(readlink -f "$c")" "$dir/bin/${c##*/}"
done < <(find /usr/bin -maxdepth 1 -lname '/etc/alternatives/*')
