#!/usr/bin/env bash
# syscall_check_test.sh: check-device-syscalls.sh on logs written here, one
# program a case, against a baseline of the C library's own calls (one run for
# start-up, one for each library function): what 2.6.21 lacks must fail, the
# library's own calls and the classic ones must pass. Then the same logs with no
# baseline, as for a C library that makes the classic calls: the library's
# newer calls fail there too.
set -uo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/logs" "$work/bin"
# The baseline's runs: the function each stands for, the logged lines.
runs=(
  "start 7 Unknown syscall 4367\n7 getrandom(0x4a2578,4,1) = 4"
  "fstat 7 statx(0,\"\",AT_EMPTY_PATH,0x7ff,0x40800640) = 0"
  "clock_gettime 7 clock_gettime64(CLOCK_MONOTONIC,0x408006c8) = 0 ({tv_sec = 4824,tv_nsec = 253681552})"
  "time 7 clock_gettime64(CLOCK_REALTIME_COARSE,0x408006c8) = 0 ({tv_sec = 4824,tv_nsec = 253681552})"
  "stat 7 statx(AT_FDCWD,\"/\",0,STATX_BASIC_STATS,0x40800640) = 0"
  "popen 7 pipe2(1082122072,524288,1082122080,0,0,0) = 0"
  "setsockopt 7 setsockopt(3,65535,66,1082132248,16,0) = -1 errno=92 (Protocol not available)\n7 setsockopt(3,65535,4102,1082132248,8,0) = 0"
)
for r in "${runs[@]}"; do
  read -r f line <<<"$r"
  mkdir -p "$work/library/$f"
  printf '%b\n' "$line" >"$work/library/$f/baseline.1.strace"
done
# The programs' binaries are lists of the functions they import, which this nm
# prints as its real one does.
cat >"$work/nm" <<'NM'
#!/bin/sh
for file; do :; done
case " $* " in *" --undefined-only "*) sed 's/^/         U /' "$file" ;; esac
NM
chmod +x "$work/nm"
# program, expected (FAIL or ok), the functions it links (- for none), the
# logged lines (\n between them)
cases=(
  "boottime FAIL - 9 clock_gettime64(CLOCK_BOOTTIME,0x408006c8) = 0 ({tv_sec = 1,tv_nsec = 2})"
  "coarse FAIL - 9 clock_gettime(CLOCK_MONOTONIC_COARSE,0x408006c8) = 0"
  "ofd_lock FAIL - 9 fcntl64(3,F_OFD_GETLK,0x408006b0) = 0"
  "dupfd_cloexec FAIL - 9 fcntl64(3,F_DUPFD_CLOEXEC,0) = 4"
  "reuseport FAIL - 9 setsockopt(3,65535,512,1082132248,4,0) = 0"
  "reuseport_named FAIL - 9 setsockopt(3,SOL_SOCKET,SO_REUSEPORT,1082132248,4) = 0"
  "timestampns FAIL - 9 setsockopt(3,65535,35,1082132248,4,0) = 0"
  "ip_multicast_all FAIL - 9 setsockopt(3,0,49,1082132248,4,0) = 0"
  "tcp_user_timeout FAIL - 9 setsockopt(3,6,18,1082132248,4,0) = 0"
  "packet_ignore_outgoing FAIL - 9 setsockopt(3,263,23,1082132248,4,0) = 0"
  "family FAIL - 9 socket(38,SOCK_SEQPACKET,0) = 3"
  "sock_cloexec FAIL - 9 socket(PF_INET,SOCK_DGRAM|SOCK_CLOEXEC,IPPROTO_IP) = 3"
  "cmsg_cloexec FAIL - 9 recvmsg(3,1082132248,1073741824,0,0,0) = 12"
  "fastopen FAIL - 9 sendto(3,1082132248,24,536870912,1082132248,16) = 24"
  "dontwait ok - 9 recv(3,1082132248,1536,64,0,0) = -1 errno=11 (Resource temporarily unavailable)"
  "memerase64 FAIL - 9 ioctl(5,0x80104d14,0x3ffff078) = -1 errno=89 (Function not implemented)"
  "timer64 FAIL - 9 timer_settime64(0,0,0x408006c8,0) = 0"
  "clock_settime64 FAIL - 9 clock_settime64(CLOCK_REALTIME,0x408006c8) = 0"
  "own_getrandom FAIL - 9 getrandom(0x4a2578,16,0) = 16"
  "own_statx FAIL - 9 statx(AT_FDCWD,\"/etc/TZ\",0,0x7ff,0x40800640) = 0"
  "library_clock ok - 9 clock_gettime64(CLOCK_MONOTONIC,0x40800abc) = 0 ({tv_sec = 9,tv_nsec = 9})"
  "library_fstat ok - 9 statx(5,\"\",AT_EMPTY_PATH,0x7ff,0x40800999) = 0"
  "library_start ok - 9 getrandom(0x4a9999,4,1) = 4"
  "library_stat ok - 9 statx(AT_FDCWD,\"/proc/mtd\",0,STATX_BASIC_STATS,0x40800777) = 0"
  "library_popen ok - 9 pipe2(1082199999,524288,1082122333,114,0,0) = 0"
  "library_rcvtimeo ok setsockopt 9 setsockopt(9,65535,66,1082132248,16,0) = -1 errno=92 (Protocol not available)"
  # The same call as time() makes, from a program that does not call time().
  "own_coarse FAIL clock_gettime 9 clock_gettime64(CLOCK_REALTIME_COARSE,0x40800abc) = 0 ({tv_sec = 9,tv_nsec = 9})"
  "own_pipe2 FAIL - 9 pipe2(1082199999,0,1082122333,0,0,0) = 0"
  "setfd ok - 9 fcntl64(3,F_SETFD,1) = 0"
  "setlk ok - 9 fcntl64(3,F_SETLKW64,0x408006b0) = 0"
  "reuseaddr ok - 9 setsockopt(3,65535,4,1082132248,4,0) = 0"
  "packet ok - 9 socket(PF_PACKET,SOCK_RAW,768) = 5"
  "realtime ok - 9 clock_gettime(CLOCK_REALTIME,0x408006c8) = 0"
  # Two processes of one run: the pieces of their calls share lines.
  "forked_fcntl ok - 9 fcntl64(6,10 close(3) = 0\n10 clock_gettime64(F_GETFL) = 1\nCLOCK_MONOTONIC,0x40800abc) = 0 ({tv_sec = 9,tv_nsec = 9})\n10 exit_group(0)"
  "forked_result ok - 10 read(4,0x40800000,64)9 write(5,0x40800000,1) = 1\n9 getpid() = 9\n9 fcntl64(6, = 1\nF_GETFL) = 1\n10 exit_group(0)"
  "forked_dup3 FAIL - 9 wait4(10,1073738128,0,0,0,0)10 dup3(3,1,0) = 1\n = 10\n10 exit_group(0)"
)
for c in "${cases[@]}"; do
  read -r prog _ links line <<<"$c"
  printf '%b\n' "$line" >"$work/logs/$prog.1.strace"
  [ "$links" = - ] || tr ',' '\n' <<<"$links" >"$work/bin/$prog"
done
status=0
# check NAME OUTPUT PROGRAM WANT: the checker's verdict on PROGRAM is WANT.
check() {
  local got
  got=$(grep -E "^(FAIL|ok) +$3 " <<<"$2" | awk '{print $1}')
  if [ "$got" = "$4" ]; then
    echo "ok   $1$3: $4"
  else
    echo "FAIL $1$3: wanted $4, got ${got:-nothing}"; status=1
  fi
}
out=$("$here/check-device-syscalls.sh" --library-logs "$work/library" --nm "$work/nm" --bin "$work/bin" \
  "$work/logs" setfd never_run)
for c in "${cases[@]}"; do
  read -r prog want _ <<<"$c"
  check "" "$out" "$prog" "$want"
done
if grep -q '^FAIL never_run: never traced' <<<"$out"; then
  echo "ok   a program never traced fails"
else
  echo "FAIL a program never traced passes"; status=1
fi
if grep -qF "FAIL memerase64 (1 runs): ioctl(FD,0x80104d14=_IOW('M',20,16)" <<<"$out"; then
  echo "ok   an unknown ioctl request is named by its parts"
else
  echo "FAIL an unknown ioctl request is not named by its parts"; status=1
fi
[ $status -eq 0 ] || { echo "--- checker said:"; echo "$out"; }
# No baseline: nothing is forgiven.
plain_cases=("library_clock FAIL" "library_rcvtimeo FAIL" "setfd ok" "forked_result ok")
mkdir -p "$work/plain"
for c in "${plain_cases[@]}"; do cp "$work/logs/${c% *}.1.strace" "$work/plain/"; done
plain=$("$here/check-device-syscalls.sh" "$work/plain" setfd)
for c in "${plain_cases[@]}"; do
  check "(no baseline) " "$plain" "${c% *}" "${c#* }"
done
[ $status -eq 0 ] || { echo "--- checker with no baseline said:"; echo "$plain"; }
exit $status
