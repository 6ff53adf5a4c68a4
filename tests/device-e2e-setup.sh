#!/usr/bin/env bash
# device-e2e-setup.sh DIR TMP_LINK HOST_BIN_DIR PROGRAM...: the folder of binaries that the
# host build's end-to-end tests run when they check a device build: DIR/bin holds
# every host binary and stand-in, except that each named PROGRAM runs the device
# build's program under qemu (device-run.sh). DIR/bin/device-run.env is the
# build's, written by CMake; DIR/tmp takes the device roots, DIR/view is the
# mount point of the programs' file system, DIR/strace their system calls.
#
# TMP_LINK, a short path outside the build, links to DIR/tmp and is the tests'
# TMPDIR: some tests size paths to the programs' limits from the length of the
# root's own path, which is short in /tmp on the host.
set -euo pipefail
dir=$1 link=$2 host=$3; shift 3
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
if [ ! -d "$host" ]; then
  echo "device e2e: no host build in $host (cmake --preset host && cmake --build --preset host)" >&2
  exit 1
fi
find "$dir/bin" -mindepth 1 -maxdepth 1 ! -name device-run.env -delete 2>/dev/null || true
rm -rf "$dir/tmp" "$dir/strace"
mkdir -p "$dir/bin" "$dir/tmp" "$dir/view" "$dir/strace"
ln -sfn "$dir/tmp" "$link"
for f in "$host"/*; do ln -s "$f" "$dir/bin/${f##*/}"; done
for p in "$@"; do ln -sfn "$here/device-run.sh" "$dir/bin/$p"; done
# Host commands that Debian names through /etc/alternatives (awk for the
# stand-ins) lead nowhere in the programs' file system, whose /etc is the
# device's: the links here lead straight to the program.
for c in /usr/bin/*; do
  case $(readlink "$c") in
    /etc/alternatives/*) [ -e "$dir/bin/${c##*/}" ] || ln -s "$(readlink -f "$c")" "$dir/bin/${c##*/}" ;;
  esac
done
