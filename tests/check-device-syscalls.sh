#!/usr/bin/env bash
# check-device-syscalls.sh STRACE_DIR BASELINE_LINK: fails when a device program
# asked the kernel for a system call or a flag that Linux 2.6.21 does not have.
#
# STRACE_DIR holds the system calls that qemu logged for every device program the
# end-to-end tests ran (device-run.sh, QV_DEVICE_STRACE_DIR). The C library of the
# build turns some classic calls into newer ones and falls back when the kernel
# refuses them (glibc: select as pselect6_time64, fstat as statx); those come from
# the library, not the program. The baseline program, run here the same way
# through its link to device-run.sh, calls the
# classic functions and shows which ones the library makes by itself: those are
# reported, not failed. On the device, uClibc makes the classic calls.
set -euo pipefail
dir=$1 baseline=$2

# Added after 2.6.21: 2.6.22 to 2.6.39 by name, later ones by name, and every
# 64-bit-time variant of 5.1.
newer='^(signalfd|signalfd4|timerfd|timerfd_create|timerfd_settime|timerfd_gettime|eventfd|eventfd2|utimensat'
newer+='|fallocate|epoll_create1|dup3|pipe2|inotify_init1|accept4|preadv|pwritev|rt_tgsigqueueinfo'
newer+='|perf_event_open|recvmmsg|fanotify_init|fanotify_mark|prlimit64|name_to_handle_at|open_by_handle_at'
newer+='|clock_adjtime|syncfs|sendmmsg|setns|process_vm_readv|process_vm_writev|kcmp|finit_module'
newer+='|sched_setattr|sched_getattr|renameat2|seccomp|getrandom|memfd_create|bpf|execveat|userfaultfd'
newer+='|membarrier|mlock2|copy_file_range|preadv2|pwritev2|pkey_mprotect|statx|io_pgetevents|rseq'
newer+='|pidfd_send_signal|io_uring_setup|io_uring_enter|open_tree|move_mount|fsopen|pidfd_open|clone3'
newer+='|close_range|openat2|pidfd_getfd|faccessat2|process_madvise|epoll_pwait2|mount_setattr'
newer+='|landlock_create_ruleset|memfd_secret|process_mrelease|futex_waitv|set_mempolicy_home_node'
newer+='|.*_time64|Unknown syscall [0-9]+)$'

# The name of each call ("Unknown syscall 4367" for those qemu cannot name).
calls() { LC_ALL=C sed -nE 's/^[0-9]+ (Unknown syscall [0-9]+|[a-z_0-9]+)\(?.*/\1/p' "$@" | sort -u; }
# Flags of 2.6.23 and later. The dynamic loader opens the shared libraries and
# its cache with O_CLOEXEC: those opens are the library's.
flags() {
  grep -ahE 'O_CLOEXEC|SOCK_CLOEXEC|SOCK_NONBLOCK|F_DUPFD_CLOEXEC|MSG_CMSG_CLOEXEC|EPOLL_CLOEXEC|O_PATH|O_TMPFILE' "$@" |
    grep -vE '^[0-9]+ openat?\(([A-Z_]+,)?"[^"]*(\.so(\.[0-9]+)*|/ld\.so\.cache)",' || true
}

shopt -s nullglob
logs=("$dir"/*.strace)
[ ${#logs[@]} -gt 0 ] || { echo "FAIL no system calls logged in $dir: run the end-to-end tests first"; exit 1; }

# The library's own calls, from the baseline on a device root of its own.
base=$dir/baseline
rm -rf "$base"
mkdir -p "$base/log"
"$QV_SOURCE_DIR/platform/make-device-root" "$base/root"
QV_DEVICE_ROOT=$base/root QV_DEVICE_STRACE_DIR=$base/log "$baseline" >/dev/null
library=$(calls "$base"/log/*.strace | grep -E "$newer" || true)
library_flags=$(flags "$base"/log/*.strace | sed -E 's/^[0-9]+ ([^)]*\)).*/\1/' | sort -u)
[ -z "$library" ] || echo "the C library's own, with fallbacks: $(echo "$library" | tr '\n' ' ')"
[ -z "$library_flags" ] || echo "the C library's own flags: $(echo "$library_flags" | tr '\n' ' ')"

status=0
for prog in $(printf '%s\n' "${logs[@]##*/}" | sed 's/\.[0-9]*\.strace$//' | sort -u); do
  files=("$dir/$prog".*.strace)
  own=$(comm -23 <(calls "${files[@]}" | grep -E "$newer" || true) <(echo "$library" | sort -u) | tr '\n' ' ')
  bad_flags=$(comm -23 <(flags "${files[@]}" | sed -E 's/^[0-9]+ ([^)]*\)).*/\1/' | sort -u) \
    <(echo "$library_flags") | head -n 5)
  if [ -n "$own" ] || [ -n "$bad_flags" ]; then
    echo "FAIL $prog (${#files[@]} runs): ${own:+calls $own}${bad_flags:+flags in: $(echo "$bad_flags" | tr '\n' ';')}"
    status=1
  else
    echo "ok   $prog (${#files[@]} runs): $(calls "${files[@]}" | wc -l) different calls"
  fi
done
exit $status
