#!/usr/bin/env bash
# check-device-syscalls.sh STRACE_DIR BASELINE_LINK [PROGRAM...]: fails when a
# device program asked the kernel for a system call, a flag or an argument that
# Linux 2.6.21 does not have, or when a named PROGRAM was never traced.
# check-device-syscalls.sh --library-logs DIR STRACE_DIR [PROGRAM...]: the same,
# with the baseline's logs as given in DIR (for the checker's own tests).
#
# STRACE_DIR holds the system calls that qemu logged for every device program the
# end-to-end tests ran (device-run.sh, QV_DEVICE_STRACE_DIR). The C library of the
# build turns some classic calls into newer ones and falls back when the kernel
# refuses them (glibc: select as pselect6_time64, fstat as statx); those come from
# the library, not the program. The baseline program, run here the same way
# through its link to device-run.sh, calls the classic functions and shows what
# the library asks by itself: a program's finding is forgiven only when the
# baseline made the same call with the same arguments (addresses and the
# descriptor of a statx aside), not by the call's name. On the device, uClibc
# makes the classic calls.
set -euo pipefail
library_logs=
if [ "${1:-}" = --library-logs ]; then
  library_logs=$2
  shift 2
fi
dir=$1
if [ -z "$library_logs" ]; then
  baseline=$2
  shift 2
else
  shift
fi
# Added after 2.6.21: 2.6.22 to 2.6.39 by name, later ones by name, and every
# 64-bit-time variant of 5.1 (clock_gettime64, timer_settime64, ppoll_time64...).
newer='^(signalfd|signalfd4|timerfd|timerfd_create|timerfd_settime|timerfd_gettime|eventfd|eventfd2|utimensat'
newer+='|fallocate|epoll_create1|dup3|pipe2|inotify_init1|accept4|preadv|pwritev|rt_tgsigqueueinfo'
newer+='|perf_event_open|recvmmsg|fanotify_init|fanotify_mark|prlimit64|name_to_handle_at|open_by_handle_at'
newer+='|clock_adjtime|syncfs|sendmmsg|setns|process_vm_readv|process_vm_writev|kcmp|finit_module'
newer+='|sched_setattr|sched_getattr|renameat2|seccomp|getrandom|memfd_create|bpf|execveat|userfaultfd'
newer+='|membarrier|mlock2|copy_file_range|preadv2|pwritev2|pkey_mprotect|statx|io_pgetevents|rseq'
newer+='|pidfd_send_signal|io_uring_setup|io_uring_enter|open_tree|move_mount|fsopen|pidfd_open|clone3'
newer+='|close_range|openat2|pidfd_getfd|faccessat2|process_madvise|epoll_pwait2|mount_setattr'
newer+='|landlock_create_ruleset|memfd_secret|process_mrelease|futex_waitv|set_mempolicy_home_node'
newer+='|[a-z_0-9]*time64|Unknown syscall [0-9]+)$'

# The name of each call ("Unknown syscall 4367" for those qemu cannot name).
calls() { pieces "$@" | LC_ALL=C sed -nE 's/^[0-9]+ (Unknown syscall [0-9]+|[a-z_0-9]+)\(?.*/\1/p' | sort -u; }
# The logs' lines, each as far as it can be read. qemu writes a call in pieces
# (the process id with the call's name, then each argument, then the result),
# and all processes of a run (the service's fork, the shell of system()) write
# to one log: when two run at once, their pieces share lines, and an argument
# or a result may sit in another process's call. A line that holds the start of
# a second call (a process id of the log and a name), and the line after it
# where the tail of a cut call lands, are read for the names of their calls
# only: each start becomes "PID name(?". Other lines are whole calls.
pieces() {
  local pids
  pids=$(LC_ALL=C sed -nE 's/^([0-9]+) .*/\1/p' "$@" | LC_ALL=C sort -u | paste -sd'|')
  LC_ALL=C awk -v pids="$pids" '
    BEGIN { start = "(" pids ") (Unknown syscall [0-9]+|[a-z_0-9]+\\()" }
    FNR == 1 { after = 0 }
    {
      line = $0
      body = match(line, /^[0-9]+ /) ? substr(line, RLENGTH + 1) : line
      cut = RLENGTH < 0 || (pids != "" && match(body, start))
      if (!cut && !after) { print; next }
      after = cut
      while (pids != "" && match(line, start)) {
        call = substr(line, RSTART, RLENGTH)
        print call (call ~ /\($/ ? "?" : "")
        line = substr(line, RSTART + RLENGTH)
      }
    }' "$@"
}
# Flags of 2.6.23 and later. The dynamic loader opens the shared libraries and
# its cache with O_CLOEXEC: those opens are the library's.
flags() {
  grep -ahE 'O_CLOEXEC|SOCK_CLOEXEC|SOCK_NONBLOCK|F_DUPFD_CLOEXEC|MSG_CMSG_CLOEXEC|EPOLL_CLOEXEC|O_PATH|O_TMPFILE' "$@" |
    grep -vE '^[0-9]+ openat?\(([A-Z_]+,)?"[^"]*(\.so(\.[0-9]+)*|/ld\.so\.cache)",' || true
}
# Arguments that 2.6.21 does not take, in the calls the programs make: clocks
# (CLOCK_MONOTONIC_RAW is 2.6.28, the _COARSE ones 2.6.32, CLOCK_BOOTTIME 2.6.39),
# fcntl commands (F_DUPFD_CLOEXEC 2.6.24, F_SETOWN_EX 2.6.32, F_SETPIPE_SZ 2.6.35,
# F_OFD_* 3.15, seals 3.17), socket families, and socket options (MIPS numbers as
# qemu shows them, or their names: SO_TIMESTAMPNS 2.6.22, SO_MARK 2.6.25,
# SO_REUSEPORT 3.9 and the rest of the later ones). A number qemu cannot name is
# taken as newer. A call read by its name only ("(?"), and an argument that its
# line lost (the pieces of another call in its place), are not judged.
arguments() {
  LC_ALL=C sed -nE 's/^[0-9]+ ([a-z_0-9]+)\(([^,) ]*),?([^,) ]*),?([^,) ]*).*/\1 \2 \3 \4/p' "$@" | awk '
    BEGIN {
      n = split("CLOCK_REALTIME CLOCK_MONOTONIC CLOCK_PROCESS_CPUTIME_ID CLOCK_THREAD_CPUTIME_ID 0 1 2 3", a, " ")
      for (i = 1; i <= n; i++) clock[a[i]] = 1
      n = split("F_DUPFD F_GETFD F_SETFD F_GETFL F_SETFL F_GETLK F_SETLK F_SETLKW F_GETLK64 F_SETLK64 F_SETLKW64 " \
                "F_SETOWN F_GETOWN F_SETSIG F_GETSIG F_SETLEASE F_GETLEASE F_NOTIFY 0 1 2 3 4", a, " ")
      for (i = 1; i <= n; i++) fcntl_cmd[a[i]] = 1
      n = split("PF_UNIX PF_LOCAL PF_INET PF_INET6 PF_PACKET PF_NETLINK AF_UNIX AF_LOCAL AF_INET AF_INET6 " \
                "AF_PACKET AF_NETLINK 1 2 10 16 17", a, " ")
      for (i = 1; i <= n; i++) family[a[i]] = 1
      n = split("SO_DEBUG SO_REUSEADDR SO_KEEPALIVE SO_DONTROUTE SO_BROADCAST SO_LINGER SO_OOBINLINE SO_SNDBUF " \
                "SO_RCVBUF SO_SNDLOWAT SO_RCVLOWAT SO_SNDTIMEO SO_RCVTIMEO SO_ERROR SO_TYPE SO_ACCEPTCONN " \
                "SO_PRIORITY SO_NO_CHECK SO_BSDCOMPAT SO_PASSCRED SO_PEERCRED SO_BINDTODEVICE SO_ATTACH_FILTER " \
                "SO_DETACH_FILTER SO_PEERNAME SO_TIMESTAMP SO_PEERSEC SO_SNDBUFFORCE SO_RCVBUFFORCE SO_PASSSEC " \
                "1 4 8 16 32 128 256 4097 4098 4099 4100 4101 4102 4103 4104 4105 11 12 14 17 18 19 20 21 22 " \
                "25 26 27 28 29 30 31 33 34", a, " ")
      for (i = 1; i <= n; i++) sockopt[a[i]] = 1
    }
    $2 == "?" { next }
    $1 ~ /^clock_(gettime|settime|getres|nanosleep)/ || $1 == "timer_create" { if ($2 != "" && !($2 in clock)) print $1 "(" $2 }
    $1 ~ /^fcntl(64)?$/ { if ($3 != "" && !($3 in fcntl_cmd)) print $1 "(" $2 "," $3 }
    $1 == "socket" { if ($2 != "" && !($2 in family)) print $1 "(" $2 }
    ($1 == "setsockopt" || $1 == "getsockopt") && ($3 == "SOL_SOCKET" || $3 == "65535") { if ($4 != "" && !($4 in sockopt)) print $1 "(FD," $3 "," $4 }
  '
}
# What a log holds that 2.6.21 lacks, one finding a line, in a form that the
# same call of another run has too: no process id, result, addresses (in hex,
# or decimal ones of 7 digits and more) or times, and no path of a statx (the
# library's stat of any file). A call read by its name only is "name(?)".
# The dynamic loader's look at the folders it searches for libraries (its own
# and each program's RUNPATH, with their tls folders) is the library's wherever
# they lie.
findings() {
  local text
  text=$(mktemp)
  pieces "$@" >"$text"
  {
    grep -ahE "^[0-9]+ ${newer:1:${#newer}-2}(\(|\$)" "$text" |
      grep -vE '^[0-9]+ statx\(AT_FDCWD,"[^"]*/(lib|lib/[a-z0-9_]+-linux-gnu)(/tls)?",AT_NO_AUTOMOUNT,' |
      sed -E 's/^[0-9]+ (Unknown syscall [0-9]+).*/\1/; t
        s/^[0-9]+ ([a-z_0-9]+)\(\?$/\1(?)/; t
        s/^[0-9]+ ([a-z_0-9]+)\(([^)]*)\).*/\1(\2)/; s/^[0-9]+ //' || true
    flags "$text" | sed -E 's/^[0-9]+ ([^)]*\)).*/\1/'
    arguments "$text"
  } | sed -E 's/0x[0-9a-f]+/ADDR/g; s/([(,])[0-9]{7,}/\1ADDR/g; s/\{[^}]*\}/{}/g; s/^statx\([0-9]+,/statx(FD,/
    s/^statx\(AT_FDCWD,"[^"]+"/statx(AT_FDCWD,PATH/' | LC_ALL=C sort -u
  rm -f "$text"
}

shopt -s nullglob
logs=("$dir"/*.strace)
[ ${#logs[@]} -gt 0 ] || { echo "FAIL no system calls logged in $dir: run the end-to-end tests first"; exit 1; }

# The library's own, from the baseline on a device root of its own.
if [ -z "$library_logs" ]; then
  base=$dir/baseline
  rm -rf "$base"
  mkdir -p "$base/log"
  "$QV_SOURCE_DIR/platform/make-device-root" "$base/root"
  QV_DEVICE_ROOT=$base/root QV_DEVICE_STRACE_DIR=$base/log "$baseline" >/dev/null
  library_logs=$base/log
fi
library=$(findings "$library_logs"/*.strace)
[ -z "$library" ] || echo "the C library's own: $(echo "$library" | tr '\n' ';')"
# A program's call read by its name only is forgiven when the library makes
# that call at all.
forgiven=$({ echo "$library"; echo "$library" | sed -nE 's/^([a-z_0-9]+)\(.*/\1(?)/p'; } | LC_ALL=C sort -u)

status=0
for prog in "$@"; do
  files=("$dir/$prog".*.strace)
  [ ${#files[@]} -gt 0 ] || { echo "FAIL $prog: never traced (no run of it in the end-to-end flows)"; status=1; }
done
for prog in $(printf '%s\n' "${logs[@]##*/}" | sed 's/\.[0-9]*\.strace$//' | sort -u); do
  files=("$dir/$prog".*.strace)
  own=$(LC_ALL=C comm -23 <(findings "${files[@]}") <(echo "$forgiven") | head -n 8 | tr '\n' ';')
  if [ -n "$own" ]; then
    echo "FAIL $prog (${#files[@]} runs): $own"
    status=1
  else
    echo "ok   $prog (${#files[@]} runs): $(calls "${files[@]}" | wc -l) different calls"
  fi
done
exit $status
