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
#   QV_BIN_DIR          the folder of this link: the host's programs and stand-ins
#   QV_HOST_BIN_DIR     the host build's folder that those are linked from
#   QV_DEVICE_NAMES     the folder of links under which the build is reached
#                       (device-e2e-setup.sh): a working folder that lies in a
#                       folder of the device is run under its name there
#
# Settings that the caller does not give come from device-run.env beside the
# link, so that a test that hands its programs a minimal environment still
# reaches them.
set -euo pipefail
# shellcheck disable=SC1091
if [ -r "${0%/*}/device-run.env" ]; then . "${0%/*}/device-run.env"; fi
prog=$(basename "$0") argv0=$0
if [ "$prog" = device-run.sh ]; then
  prog=$1 argv0=$1
  shift
fi
root=${QV_DEVICE_ROOT:?QV_DEVICE_ROOT is not set}
exe=${QV_DEVICE_BIN_DIR:?}/$prog
view=${QV_DEVICE_VIEW:?}
[ -x "$exe" ] || { echo "device-run: no program $exe" >&2; exit 127; }

# The working folder by the name the build gives it (the closest), if it has
# one: a checkout or build in /tmp is the device's /tmp to the program.
cwd=$PWD
if [ -n "${QV_DEVICE_NAMES:-}" ]; then
  here=$(pwd -P) best=
  for n in "$QV_DEVICE_NAMES"/*; do
    [ -L "$n" ] || continue
    t=$(readlink "$n")
    case $here in "$t" | "$t"/*) [ ${#t} -le ${#best} ] || { best=$t; cwd=$n${here#"$t"}; } ;; esac
  done
fi

# The folders seen at their host paths must not lie inside a folder of the
# device, where their mount points would change the device root.
emulator=$QV_DEVICE_EMULATOR
host_dirs=("$root" "$QV_DEVICE_BIN_DIR" "${QV_BIN_DIR:-}" "${QV_HOST_BIN_DIR:-}" "$cwd")
# Not under a file size limit, which the log would reach before the program.
if [ -n "${QV_DEVICE_STRACE_DIR:-}" ] && [ "$(ulimit -f)" = unlimited ]; then
  emulator+=" -strace -D $QV_DEVICE_STRACE_DIR/$prog.$$.strace"
  host_dirs+=("$QV_DEVICE_STRACE_DIR")
fi
for f in ${QV_DEVICE_LIBS:-}; do host_dirs+=("$(dirname "$f")"); done
for d in "${host_dirs[@]}"; do
  case $d in
    "") ;;
    /etc|/etc/*|/tmp|/tmp/*|/var|/var/*|/dev|/dev/*|/proc|/proc/*|/lib|/lib/*)
      echo "device-run: $d lies where the device has its own folders (give it a name in QV_DEVICE_NAMES)" >&2
      exit 125 ;;
  esac
done

export DEVICE_RUN_CWD=$cwd DEVICE_RUN_EMULATOR=$emulator DEVICE_RUN_ROOT=$root DEVICE_RUN_EXE=$exe DEVICE_RUN_ARGV0=$argv0 DEVICE_RUN_VIEW=$view DEVICE_RUN_DIRS="${host_dirs[*]}"
exec unshare --mount --propagation private -- bash -euo pipefail -c '
  v=$DEVICE_RUN_VIEW root=$DEVICE_RUN_ROOT
  mount -t tmpfs -o mode=0755 device-view "$v"
  bind() { # SOURCE TARGET
    if [ -d "$1" ]; then mkdir -p "$2"; else mkdir -p "$(dirname "$2")"; : > "$2"; fi
    mount --rbind "$1" "$2"
  }
  for e in "$root"/*; do
    case ${e##*/} in dev|lib|usr|bin|sbin|lib64) ;; *) bind "$e" "$v/${e##*/}" ;; esac
  done
  # /dev: the partition images and whatever else the root holds, and the
  # host nodes a shell needs.
  mkdir -p "$v/dev"
  for e in "$root"/dev/*; do [ -e "$e" ] && bind "$e" "$v/dev/${e##*/}"; done
  for n in null zero full random urandom tty; do [ -e "$v/dev/$n" ] || bind "/dev/$n" "$v/dev/$n"; done
  bind /usr "$v/usr"
  for l in bin sbin lib64; do [ -e "/$l" ] && ln -s "usr/$l" "$v/$l"; done
  mkdir -p "$v/lib"
  for m in /usr/lib/*-linux-gnu; do [ -d "$m" ] && ln -s "$m" "$v/lib/${m##*/}"; done
  for f in $QV_DEVICE_LIBS; do ln -sf "$f" "$v/lib/${f##*/}"; done
  for d in $DEVICE_RUN_DIRS; do [ -e "$v$d" ] || bind "$d" "$v$d"; done
  exec chroot "$v" /usr/bin/env --chdir="$DEVICE_RUN_CWD" $DEVICE_RUN_EMULATOR -0 "$DEVICE_RUN_ARGV0" "$DEVICE_RUN_EXE" "$@"
' device-run "$@"
