#!/usr/bin/env bash
# device-run.sh PROGRAM [ARG...], or through a link named after the program:
# runs a program of a device build under qemu user emulation on the simulated
# device root $QV_DEVICE_ROOT, which it sees as its file system. So "/etc/TZ" is
# the root's etc/TZ, and a shell command that writes "/etc/mac_eth0" writes there
# too: qemu's own -L prefix maps only files that already exist, and nothing the
# shell does.
#
# In a private mount namespace, a tmpfs on $QV_DEVICE_VIEW becomes the program's
# "/": the root's own folders, the host's /usr (for the shell and the platform
# stand-ins, which are host programs), the device's /lib (the build's C library
# and libnvram.so), and, at their host paths, the device root itself and the
# folders of the binaries, so that paths the tests hand over mean the same file
# inside and out. Nothing of this outlives the program.
#
#   QV_DEVICE_ROOT      the simulated device root (platform/make-device-root)
#   QV_DEVICE_BIN_DIR   the device build's programs; PROGRAM is looked up there
#   QV_DEVICE_LIBS      the device's /lib: files to link there (ld.so.1, libc.so.6,
#                       libnvram.so), blank-separated; none for a static build
#   QV_DEVICE_EMULATOR  the emulator command, e.g. "qemu-mipsel-static -cpu 24Kf"
#   QV_DEVICE_VIEW      an empty folder to mount the program's "/" on
#   QV_DEVICE_STRACE_DIR  when set, the emulator logs the program's system calls
#                       to PROGRAM.PID.strace there
#   QV_BIN_DIR          the folder of this link: the host's programs and stand-ins;
#                       the program's PATH must find the platform's commands
#                       (reboot, killall, ...) there first, or nothing runs
#   QV_HOST_BIN_DIR     the host build's folder that those are linked from
#   QV_DEVICE_NAMES     the folder of links under which the build is reached
#                       (device-e2e-setup.sh): a working folder that lies in a
#                       folder of the device is run under its name there
#
# Settings that the caller does not give come from device-run.env beside the
# link, so that a test that hands its programs a minimal environment still
# reaches them. The work itself is device_view's, a program of the host build
# ($QV_HOST_BIN_DIR): one process instead of the dozens a shell would start.
set -euo pipefail
# shellcheck disable=SC1091
if [ -r "${0%/*}/device-run.env" ]; then . "${0%/*}/device-run.env"; fi
prog=${0##*/} argv0=$0
if [ "$prog" = device-run.sh ]; then
  prog=$1 argv0=$1
  shift
fi
exec "${QV_HOST_BIN_DIR:?QV_HOST_BIN_DIR is not set}/device_view" "$prog" "$argv0" "$@"
