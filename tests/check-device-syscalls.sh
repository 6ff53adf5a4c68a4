#!/usr/bin/env bash
# check-device-syscalls.sh [OPTIONS] STRACE_DIR PROGRAM...: fails when a device
# program asked the kernel for a system call, a flag or an argument that Linux
# 2.6.21 does not have, or when a named PROGRAM was never traced.
#
#   --baseline LINK    learn the C library's own calls from the baseline program
#                      (syscall_baseline.cpp), run through its link to device-run.sh
#   --library-logs DIR the baseline's logs as given: DIR/start, and DIR/FUNCTION for
#                      each library function (for the checker's own tests)
#   --nm NM --bin DIR  with a baseline: the toolchain's nm, and a folder of the
#                      build's programs (repeated as needed)
# With no baseline, every call is the program's and is judged.
#
# STRACE_DIR holds the system calls that qemu logged for every device program the
# end-to-end tests ran (device-run.sh, QV_DEVICE_STRACE_DIR).
#
# Whose call is it? With no baseline, every call is the program's and is judged:
# that is the check for a C library that makes the classic calls itself (uClibc,
# as on the device). glibc and musl turn some classic calls into newer ones, and
# qemu's log does not say from where a call came, so they need a baseline:
#  - A newer call (statx, pipe2, clock_gettime64, getrandom...) can only be the
#    library's: the programs import classic functions only (device_program_imports
#    checks it on the dynamic build, against device-imports.txt). It is forgiven when any run of the baseline made it,
#    with the arguments that tell it apart (pipe2 by its flags alone; not the
#    addresses, nor what qemu prints from the unused argument slots).
#  - An argument that 2.6.21 lacks (a clock, a flag, a socket option, an ioctl
#    request...) may be the program's own, on an old call or a newer one: it is
#    judged on every call. It is forgiven only when the baseline's run of one
#    library function alone made exactly that call, and the program links that
#    function (imports it; in a static build, holds it). So glibc's time() forgives
#    clock_gettime64(CLOCK_REALTIME_COARSE) in a program that calls time(), and
#    nowhere else. What stays open: a program that links that function and also
#    makes the same call itself (time() and clock_gettime(CLOCK_REALTIME_COARSE))
#    passes here; the uClibc build, with no baseline, judges it.
# Attributing each call to its caller's address would be exact, but qemu's log
# has no addresses, and its debugging outputs or a debugger would slow the
# end-to-end runs many times over.
set -euo pipefail
usage() { sed -n '2,12s/^# \{0,1\}//p' "$0"; }
baseline='' library_logs='' nm='' bins=()
while [ $# -gt 0 ]; do
  case $1 in
    --baseline) baseline=${2:?}; shift 2 ;;
    --library-logs) library_logs=${2:?}; shift 2 ;;
    --nm) nm=${2:?}; shift 2 ;;
    --bin) bins+=("${2:?}"); shift 2 ;;
    -h | --help) usage; exit 0 ;;
    -*) echo "check-device-syscalls: unknown option $1" >&2; usage >&2; exit 2 ;;
    *) break ;;
  esac
done
[ $# -ge 1 ] || { usage >&2; exit 2; }
dir=$1
shift
if [ -n "$baseline$library_logs" ] && [ -z "$nm" ]; then
  echo "check-device-syscalls: a baseline needs --nm, to tell which library functions a program links" >&2
  exit 2
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

# The name of each call in a text of pieces ("Unknown syscall 4367" for those
# qemu cannot name).
calls() { LC_ALL=C sed -nE 's/^[0-9]+ (Unknown syscall [0-9]+|[a-z_0-9]+)\(?.*/\1/p' "$1" | sort -u; }
# The logs' lines, each as far as it can be read. qemu writes a call in pieces
# (the process id with the call's name, then each argument, then the result),
# and all processes of a run (the service's fork, the shell of system()) write
# to one log: when two run at once, their pieces share lines, and an argument
# or a result may sit in another process's call. A line that holds the start of
# a second call (a process id of the log and a name), and the line after it
# where the tail of a cut call lands, are read for the names of their calls
# only: each start becomes "PID name(?". Other lines are whole calls. With
# "--runs", each log's lines follow a line "#run NAME", the name of its folder.
pieces() {
  local pids runs=0
  if [ "$1" = --runs ]; then runs=1; shift; fi
  pids=$(LC_ALL=C sed -nE 's/^([0-9]+) .*/\1/p' "$@" | LC_ALL=C sort -u | paste -sd'|')
  LC_ALL=C awk -v pids="$pids" -v runs=$runs '
    BEGIN { start = "(" pids ") (Unknown syscall [0-9]+|[a-z_0-9]+\\()" }
    FNR == 1 {
      after = 0
      if (runs) { n = split(FILENAME, path, "/"); print "#run " path[n - 1] }
    }
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

# Newer calls, one a line, in a form that the same call of another run has
# too: no process id, result, addresses (in hex, or decimal ones of 7 digits and
# more) or times, and no path of a statx (the library's stat of any file); a
# pipe2 by its flags alone. A call read by its name only is "name(?)". The
# dynamic loader's look at the folders it searches for libraries (its own and
# each program's RUNPATH, with their tls folders) is the library's wherever they
# lie.
newer_calls() {
  grep -ahE "^[0-9]+ ${newer:1:${#newer}-2}(\(|\$)" "$1" |
    grep -vE '^[0-9]+ statx\(AT_FDCWD,"[^"]*/(lib|lib/[a-z0-9_]+-linux-gnu)(/tls)?",AT_NO_AUTOMOUNT,' |
    sed -E 's/^[0-9]+ (Unknown syscall [0-9]+).*/\1/; t
      s/^[0-9]+ ([a-z_0-9]+)\(\?$/\1(?)/; t
      s/^[0-9]+ pipe2\([^,)]*,([^,)]*).*/pipe2(\1)/; t
      s/^[0-9]+ ([a-z_0-9]+)\(([^)]*)\).*/\1(\2)/; s/^[0-9]+ //' | normalize || true
}
normalize() {
  sed -E 's/0x[0-9a-f]+/ADDR/g; s/([(,])[0-9]{7,}/\1ADDR/g; s/\{[^}]*\}/{}/g; s/^statx\([0-9]+,/statx(FD,/
    s/^statx\(AT_FDCWD,"[^"]+"/statx(AT_FDCWD,PATH/'
}

# Arguments that 2.6.21 does not take, one a line, whoever made the call; after
# "#run NAME" lines, each line is "NAME finding".
arguments() { LC_ALL=C awk -f "$judge" "$1"; }
# The tables of what 2.6.21 takes, for the calls the programs make, with the
# MIPS o32 numbers where MIPS has its own (qemu prints a known name, or the
# number): clocks (CLOCK_MONOTONIC_RAW is 2.6.28, the _COARSE ones 2.6.32,
# CLOCK_BOOTTIME 2.6.39), fcntl commands (F_DUPFD_CLOEXEC 2.6.24, F_SETOWN_EX
# 2.6.32, F_SETPIPE_SZ 2.6.35, F_OFD_* 3.15, seals 3.17), socket families, socket
# options at the socket, IP, TCP, UDP, IPv6 and packet levels (at 2.6.21's other
# levels no option is judged; a later level fails), send and receive flags, and
# ioctl requests. Where a kernel version is in doubt, the value counts as
# 2.6.21's. A value that is not in its table fails; a call read by its name only ("(?"), and an
# argument that its line lost (the pieces of another call in its place), are not
# judged. Flags are judged by name, in any call: O_CLOEXEC and the other flags
# of 2.6.23 and later. The dynamic loader opens the shared libraries and its
# cache with O_CLOEXEC: those opens are the library's.
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
judge=$tmp/judge.awk
cat >"$judge" <<'AWK'
function set(table, words,    n, i, w) {
  n = split(words, w, " ")
  for (i = 1; i <= n; i++) {
    if (w[i] ~ /=/) { split(w[i], nv, "="); table[nv[1]] = 1; table[nv[2]] = 1 } else table[w[i]] = 1
  }
}
# Socket options of one level: NAME=NUMBER, or FIRST-LAST for a run of numbers.
function level(key, names, options,    n, i, w, r) {
  n = split(names, w, " ")
  for (i = 1; i <= n; i++) level_of[w[i]] = key
  level_name[key] = w[1]
  n = split(options, w, " ")
  for (i = 1; i <= n; i++) {
    if (w[i] ~ /^[0-9]+-[0-9]+$/) {
      split(w[i], r, "-")
      for (v = r[1] + 0; v <= r[2] + 0; v++) option[key, v] = 1
    } else if (w[i] ~ /=/) {
      split(w[i], r, "="); option[key, r[1]] = 1; option[key, r[2]] = 1
    } else option[key, w[i]] = 1
  }
}
function hex(v,    s, d) {
  s = ""
  do { d = v % 16; s = substr("0123456789abcdef", d + 1, 1) s; v = (v - d) / 16 } while (v > 0)
  return "0x" s
}
function number(s,    v, i) {
  if (s ~ /^0x[0-9a-fA-F]+$/) {
    v = 0
    for (i = 3; i <= length(s); i++) v = v * 16 + index("0123456789abcdef", tolower(substr(s, i, 1))) - 1
    return v
  }
  v = s + 0
  return v < 0 ? v + 4294967296 : v
}
# The arguments of a call as qemu printed them, up to its closing parenthesis;
# an unquoted blank outside braces is where another call's result cut in, and
# the arguments from there on are lost.
function arguments(s, a,    n, i, c, depth, quoted, cur) {
  n = 0; cur = ""; depth = 0; quoted = 0
  for (i = 1; i <= length(s); i++) {
    c = substr(s, i, 1)
    if (quoted) {
      cur = cur c
      if (c == "\\") { i++; cur = cur substr(s, i, 1) } else if (c == "\"") quoted = 0
      continue
    }
    if (c == "\"") quoted = 1
    else if (c == "{") depth++
    else if (c == "}") depth--
    else if (depth == 0 && c == " ") return n
    else if (depth == 0 && (c == "," || c == ")")) {
      a[++n] = cur; cur = ""
      if (c == ")") return n
      continue
    }
    cur = cur c
  }
  return n
}
# Send and receive flags: MSG_OOB to MSG_MORE (0x1 to 0x8000) are 2.6.21's;
# every bit above is later (MSG_CMSG_CLOEXEC 2.6.23, MSG_WAITFORONE 2.6.33,
# MSG_FASTOPEN 3.7, MSG_ZEROCOPY 4.14) or, bit 31 (MSG_CMSG_COMPAT), the
# kernel's own and never a program's.
function msg_flags(call, a, k,    v, late, n, i, w) {
  if (a[k] == "") return
  if (a[k] ~ /^-?[0-9]+$|^0x/) {
    v = number(a[k]); late = v - v % 65536
    if (late > 0) found(call "(FD," (k == 3 ? "MSG" : "BUF,LEN") "," hex(late))
    return
  }
  n = split(a[k], w, "|")
  for (i = 1; i <= n; i++) if (!(w[i] in msg)) found(call "(FD," (k == 3 ? "MSG" : "BUF,LEN") "," w[i])
}
# An ioctl request as the MIPS _IOC macros encode it: 3 bits of direction (1
# none, 2 read, 4 write), 13 of size, 8 of type, 8 of number; 0 in the
# direction bits is a request of the older kind, a plain number.
function ioctl_request(s,    v, dir, size, type, nr, t) {
  if (s !~ /^0x[0-9a-fA-F]+$|^[0-9]+$/) return s
  v = number(s)
  dir = int(v / 536870912); size = int(v / 65536) % 8192; type = int(v / 256) % 256; nr = v % 256
  if (dir != 1 && dir != 2 && dir != 4 && dir != 6) return hex(v)
  t = (type >= 32 && type < 127) ? "'" sprintf("%c", type) "'" : hex(type)
  return hex(v) "=" (dir == 1 ? "_IO" : dir == 2 ? "_IOR" : dir == 4 ? "_IOW" : "_IOWR") "(" t "," nr "," size ")"
}
BEGIN {
  set(clock, "CLOCK_REALTIME=0 CLOCK_MONOTONIC=1 CLOCK_PROCESS_CPUTIME_ID=2 CLOCK_THREAD_CPUTIME_ID=3")
  set(fcntl_cmd, "F_DUPFD=0 F_GETFD=1 F_SETFD=2 F_GETFL=3 F_SETFL=4 F_SETLK=6 F_SETLKW=7 F_SETSIG=10 " \
                 "F_GETSIG=11 F_GETLK=14 F_GETOWN=23 F_SETOWN=24 F_GETLK64=33 F_SETLK64=34 F_SETLKW64=35 " \
                 "F_SETLEASE=1024 F_GETLEASE=1025 F_NOTIFY=1026")
  set(family, "PF_UNIX PF_LOCAL PF_INET PF_INET6 PF_PACKET PF_NETLINK AF_UNIX AF_LOCAL AF_INET AF_INET6 " \
              "AF_PACKET AF_NETLINK 1 2 10 16 17")
  # SOL_SOCKET is 0xffff on MIPS, and its options have MIPS numbers (SO_TIMESTAMPNS
  # is 2.6.22, SO_MARK 2.6.25, SO_PROTOCOL 2.6.32, SO_REUSEPORT 3.9, SO_*_NEW 5.1).
  level("socket", "SOL_SOCKET 65535",
        "SO_DEBUG=1 SO_REUSEADDR=4 SO_KEEPALIVE=8 SO_DONTROUTE=16 SO_BROADCAST=32 SO_LINGER=128 " \
        "SO_OOBINLINE=256 SO_SNDBUF=4097 SO_RCVBUF=4098 SO_SNDLOWAT=4099 SO_RCVLOWAT=4100 " \
        "SO_SNDTIMEO=4101 SO_RCVTIMEO=4102 SO_ERROR=4103 SO_TYPE=4104 SO_ACCEPTCONN=4105 " \
        "SO_NO_CHECK=11 SO_PRIORITY=12 SO_BSDCOMPAT=14 SO_PASSCRED=17 SO_PEERCRED=18 " \
        "SO_SECURITY_AUTHENTICATION=22 SO_SECURITY_ENCRYPTION_TRANSPORT=23 " \
        "SO_SECURITY_ENCRYPTION_NETWORK=24 SO_BINDTODEVICE=25 SO_ATTACH_FILTER=26 " \
        "SO_DETACH_FILTER=27 SO_PEERNAME=28 SO_TIMESTAMP=29 SO_PEERSEC=30 SO_SNDBUFFORCE=31 " \
        "SO_RCVBUFFORCE=33 SO_PASSSEC=34")
  # IP_TOS to IP_PASSSEC, the multicast and source-filter options, iptables' (64
  # to 67, 80) and arptables' (96 to 99), multicast routing's MRT_INIT to
  # MRT_PIM. IP_TRANSPARENT (19) is 2.6.28, IP_MULTICAST_ALL (49) 2.6.31.
  level("ip", "IPPROTO_IP SOL_IP 0",
        "1-18 32-48 64-67 80 96-99 200-208 IP_TOS=1 IP_TTL=2 IP_HDRINCL=3 IP_OPTIONS=4 " \
        "IP_ROUTER_ALERT=5 IP_RECVOPTS=6 IP_RETOPTS=7 IP_PKTINFO=8 IP_PKTOPTIONS=9 " \
        "IP_MTU_DISCOVER=10 IP_RECVERR=11 IP_RECVTTL=12 IP_RECVTOS=13 IP_MTU=14 IP_FREEBIND=15 " \
        "IP_IPSEC_POLICY=16 IP_XFRM_POLICY=17 IP_PASSSEC=18 IP_MULTICAST_IF=32 " \
        "IP_MULTICAST_TTL=33 IP_MULTICAST_LOOP=34 IP_ADD_MEMBERSHIP=35 IP_DROP_MEMBERSHIP=36 " \
        "IP_UNBLOCK_SOURCE=37 IP_BLOCK_SOURCE=38 IP_ADD_SOURCE_MEMBERSHIP=39 " \
        "IP_DROP_SOURCE_MEMBERSHIP=40 IP_MSFILTER=41 MCAST_JOIN_GROUP=42 MCAST_BLOCK_SOURCE=43 " \
        "MCAST_UNBLOCK_SOURCE=44 MCAST_LEAVE_GROUP=45 MCAST_JOIN_SOURCE_GROUP=46 " \
        "MCAST_LEAVE_SOURCE_GROUP=47 MCAST_MSFILTER=48")
  # TCP_NODELAY to TCP_MD5SIG (2.6.20); TCP_USER_TIMEOUT (18) is 2.6.37.
  level("tcp", "IPPROTO_TCP SOL_TCP 6",
        "1-14 TCP_NODELAY=1 TCP_MAXSEG=2 TCP_CORK=3 TCP_KEEPIDLE=4 TCP_KEEPINTVL=5 TCP_KEEPCNT=6 " \
        "TCP_SYNCNT=7 TCP_LINGER2=8 TCP_DEFER_ACCEPT=9 TCP_WINDOW_CLAMP=10 TCP_INFO=11 " \
        "TCP_QUICKACK=12 TCP_CONGESTION=13 TCP_MD5SIG=14")
  level("udp", "IPPROTO_UDP SOL_UDP 17", "UDP_CORK=1 UDP_ENCAP=100")
  # The RFC 3542 options (49 to 59) are 2.6.14; IPV6_RECVPATHMTU (60) is
  # 2.6.35, IPV6_ADDR_PREFERENCES (72) 2.6.26, the MRT6 options 2.6.26.
  level("ipv6", "IPPROTO_IPV6 SOL_IPV6 41",
        "1-11 16-28 32-35 42-59 64-69 IPV6_ADDRFORM=1 IPV6_2292PKTINFO=2 IPV6_2292HOPOPTS=3 " \
        "IPV6_2292DSTOPTS=4 IPV6_2292RTHDR=5 IPV6_2292PKTOPTIONS=6 IPV6_CHECKSUM=7 " \
        "IPV6_2292HOPLIMIT=8 IPV6_NEXTHOP=9 IPV6_AUTHHDR=10 IPV6_FLOWINFO=11 " \
        "IPV6_UNICAST_HOPS=16 IPV6_MULTICAST_IF=17 IPV6_MULTICAST_HOPS=18 IPV6_MULTICAST_LOOP=19 " \
        "IPV6_ADD_MEMBERSHIP=20 IPV6_DROP_MEMBERSHIP=21 IPV6_ROUTER_ALERT=22 IPV6_MTU_DISCOVER=23 " \
        "IPV6_MTU=24 IPV6_RECVERR=25 IPV6_V6ONLY=26 IPV6_JOIN_ANYCAST=27 IPV6_LEAVE_ANYCAST=28 " \
        "IPV6_FLOWLABEL_MGR=32 IPV6_FLOWINFO_SEND=33 IPV6_IPSEC_POLICY=34 IPV6_XFRM_POLICY=35 " \
        "IPV6_RECVPKTINFO=49 IPV6_PKTINFO=50 IPV6_RECVHOPLIMIT=51 IPV6_HOPLIMIT=52 " \
        "IPV6_RECVHOPOPTS=53 IPV6_HOPOPTS=54 IPV6_RTHDRDSTOPTS=55 IPV6_RECVRTHDR=56 IPV6_RTHDR=57 " \
        "IPV6_RECVDSTOPTS=58 IPV6_DSTOPTS=59 IPV6_RECVTCLASS=66 IPV6_TCLASS=67")
  # PACKET_ADD_MEMBERSHIP to PACKET_AUXDATA (2.6.21; 4 was never one);
  # PACKET_ORIGDEV (9) is 2.6.22, PACKET_IGNORE_OUTGOING (23) 4.20.
  level("packet", "SOL_PACKET 263",
        "PACKET_ADD_MEMBERSHIP=1 PACKET_DROP_MEMBERSHIP=2 PACKET_RECV_OUTPUT=3 PACKET_RX_RING=5 " \
        "PACKET_STATISTICS=6 PACKET_COPY_THRESH=7 PACKET_AUXDATA=8")
  set(msg, "0 MSG_OOB MSG_PEEK MSG_DONTROUTE MSG_CTRUNC MSG_PROBE MSG_TRUNC MSG_DONTWAIT MSG_EOR " \
           "MSG_WAITALL MSG_FIN MSG_SYN MSG_CONFIRM MSG_RST MSG_ERRQUEUE MSG_NOSIGNAL MSG_MORE")
  # The requests the programs may make, with their MIPS numbers: the C library's
  # terminal checks, the network interface's index and address (mfglinkd), the
  # MTD ones of the store and mtd_write, and the LED request of the board's GPIO
  # driver (ledctl: a plain number of the driver's). Add one only once 2.6.21 is
  # known to take it.
  set(ioctl_req, "TCGETS=0x540d TIOCGWINSZ=0x40087468 SIOCGIFFLAGS=0x8913 SIOCGIFHWADDR=0x8927 " \
                 "SIOCGIFINDEX=0x8933 MEMGETINFO=0x40204d01 MEMERASE=0x80084d02 MEMLOCK=0x80084d05 " \
                 "MEMUNLOCK=0x80084d06 MEMGETBADBLOCK=0x80084d0b 0x41")
}
function found(text) { print (run == "" ? "" : run " ") text }
# The text of a call up to its closing parenthesis, without addresses (in hex,
# or decimal ones of 7 digits and more) or what braces hold.
function plain(s) {
  sub(/^[0-9]+ /, "", s); sub(/\).*/, ")", s)
  gsub(/0x[0-9a-f]+/, "ADDR", s); gsub(/\{[^}]*\}/, "{}", s)
  while (match(s, /[(,][0-9][0-9][0-9][0-9][0-9][0-9][0-9]+/)) s = substr(s, 1, RSTART) "ADDR" substr(s, RSTART + RLENGTH)
  return s
}
/^#run / { run = $2; next }
/O_CLOEXEC|SOCK_CLOEXEC|SOCK_NONBLOCK|F_DUPFD_CLOEXEC|MSG_CMSG_CLOEXEC|EPOLL_CLOEXEC|O_PATH|O_TMPFILE/ {
  if ($0 !~ /^[0-9]+ openat?\(([A-Z_]+,)?"[^"]*(\.so(\.[0-9]+)*|\/ld\.so\.cache)",/) found(plain($0))
}
/^[0-9]+ [a-z_0-9]+\(/ {
  call = $2; sub(/\(.*/, "", call)
  n = arguments(substr($0, index($0, "(") + 1), a)
  for (i = n + 1; i <= 6; i++) a[i] = ""
  if (call ~ /^clock_(gettime|settime|getres|nanosleep)/ || call == "timer_create") {
    if (a[1] != "" && !(a[1] in clock)) found(call "(" a[1])
  } else if (call ~ /^fcntl(64)?$/) {
    if (a[2] != "" && !(a[2] in fcntl_cmd)) found(call "(FD," a[2])
  } else if (call == "socket") {
    if (a[1] != "" && !(a[1] in family)) found(call "(" a[1])
  } else if (call == "setsockopt" || call == "getsockopt") {
    if (a[2] == "" || a[3] == "") next
    if (a[2] in level_of) {
      key = level_of[a[2]]
      if (!((key, a[3]) in option) && !((key, number(a[3]) "") in option)) found(call "(FD," level_name[key] "," a[3])
    } else if (a[2] ~ /^[0-9]+$/ && a[2] + 0 >= 272 && a[2] + 0 != 274) {
      # SOL_RXRPC (272, 2.6.22) and the levels after it; SOL_BLUETOOTH (274) is older.
      found(call "(FD," a[2])
    }
  } else if (call ~ /^(send|recv|sendto|recvfrom)$/) {
    msg_flags(call, a, 4)
  } else if (call ~ /^(sendmsg|recvmsg)$/) {
    msg_flags(call, a, 3)
  } else if (call == "ioctl") {
    if (a[2] != "" && !(a[2] in ioctl_req) && !(hex(number(a[2])) in ioctl_req)) found(call "(FD," ioctl_request(a[2]))
  }
}
AWK

# The functions that a program links, one a line: its imports, or in a static
# build every function it holds. Nothing when its binary is not found.
links() {
  local b imports
  for b in "${bins[@]}"; do
    [ -f "$b/$1" ] || continue
    imports=$("$nm" -D --undefined-only "$b/$1" 2>/dev/null | awk '{ sub(/@.*/, "", $NF); print $NF }')
    if [ -n "$imports" ]; then
      echo "$imports"
    else
      "$nm" --defined-only "$b/$1" 2>/dev/null | awk '$(NF-1) ~ /^[TtWw]$/ { print $NF }'
    fi
    return 0
  done
}

shopt -s nullglob
logs=("$dir"/*.strace)
[ ${#logs[@]} -gt 0 ] || { echo "FAIL no system calls logged in $dir: run the end-to-end tests first"; exit 1; }

# The library's own, from the baseline on a device root of its own: a run for
# start-up and exit alone, then one for each function it names.
if [ -n "$baseline" ]; then
  base=$dir/baseline
  rm -rf "$base"
  mkdir -p "$base/log/start"
  "$QV_SOURCE_DIR/platform/make-device-root" "$base/root"
  functions=$(QV_DEVICE_ROOT=$base/root QV_DEVICE_STRACE_DIR=$base/log/start "$baseline")
  for f in $functions; do
    mkdir -p "$base/log/$f"
    QV_DEVICE_ROOT=$base/root QV_DEVICE_STRACE_DIR=$base/log/$f "$baseline" "$f" >/dev/null
  done
  library_logs=$base/log
fi
library_calls=
declare -A library_arguments=()
if [ -n "$library_logs" ]; then
  files=("$library_logs"/*/*.strace)
  [ ${#files[@]} -gt 0 ] || { echo "FAIL no runs of the baseline in $library_logs"; exit 1; }
  pieces --runs "${files[@]}" >"$tmp/library"
  library_calls=$(newer_calls "$tmp/library" | LC_ALL=C sort -u)
  while read -r f finding; do
    library_arguments[$f]+=$finding$'\n'
  done < <(arguments "$tmp/library" | LC_ALL=C sort -u)
  [ -z "$library_calls" ] || echo "the C library's own calls: $(echo "$library_calls" | tr '\n' ';')"
  for f in $(printf '%s\n' "${!library_arguments[@]}" | sort); do
    echo "the C library's own arguments in $f: $(echo -n "${library_arguments[$f]}" | tr '\n' ';')"
  done
fi

status=0
for prog in "$@"; do
  files=("$dir/$prog".*.strace)
  [ ${#files[@]} -gt 0 ] || { echo "FAIL $prog: never traced (no run of it in the end-to-end flows)"; status=1; }
done
text=$tmp/program
for prog in $(printf '%s\n' "${logs[@]##*/}" | sed 's/\.[0-9]*\.strace$//' | sort -u); do
  files=("$dir/$prog".*.strace)
  pieces "${files[@]}" >"$text"
  forgiven='' note=''
  if [ -n "$library_logs" ]; then
    forgiven=$library_calls$'\n'${library_arguments[start]:-}
    linked=$(links "$prog")
    [ -n "$linked" ] || note=" (no binary of it in ${bins[*]:-no --bin folder}: no library function's arguments forgiven)"
    for f in $linked; do
      forgiven+=${library_arguments[$f]:-}
    done
  fi
  # A call read by its name only is forgiven when the library makes that call
  # at all.
  forgiven=$({ echo "$forgiven"; echo "$forgiven" | sed -nE 's/^([a-z_0-9]+)\(.*/\1(?)/p'; } | sed '/^$/d' | LC_ALL=C sort -u)
  own=$(LC_ALL=C comm -23 <({ newer_calls "$text"; arguments "$text"; } | LC_ALL=C sort -u) <(echo "$forgiven") |
    head -n 8 | tr '\n' ';')
  if [ -n "$own" ]; then
    echo "FAIL $prog (${#files[@]} runs): $own$note"
    status=1
  else
    echo "ok   $prog (${#files[@]} runs): $(calls "$text" | wc -l) different calls"
  fi
done
exit $status
