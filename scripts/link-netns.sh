# Sourced by the factory link's demonstrations, its benchmarks and the tests'
# namespaces (testing/netns.cpp): every namespace of the factory link is made here.
# link_netns_up NS [MTU] [MAC]: a network namespace NS holding the bridge br0
# (MAC, 02:00:00:00:00:01 unless given; STP off) with the veth port p0, whose
# other end st0 is the station's interface; with MTU, all three take it.
# Returns when the links are up.
link_netns_up() {
  local ns=$1 mtu=${2:-} mac=${3:-02:00:00:00:00:01} l
  ip netns add "$ns"
  ip -n "$ns" link add br0 address "$mac" type bridge stp_state 0 forward_delay 0
  ip -n "$ns" link add p0 type veth peer name st0
  if [ -n "$mtu" ]; then
    for l in p0 st0 br0; do ip -n "$ns" link set "$l" mtu "$mtu"; done
  fi
  ip -n "$ns" link set p0 master br0
  # Keep the link quiet: no IPv6 neighbour or router traffic.
  ip netns exec "$ns" sysctl -qw net.ipv6.conf.all.disable_ipv6=1
  ip netns exec "$ns" sysctl -qw net.ipv6.conf.default.disable_ipv6=1
  for l in lo p0 st0 br0; do ip -n "$ns" link set "$l" up; done
  netns_wait_up "$ns" 3
}

# netns_wait_up NS COUNT: until COUNT links of NS are operational (a link drops
# what it is given until the kernel has seen its carrier come up).
netns_wait_up() {
  for _ in $(seq 250); do
    [ "$(ip -n "$1" -o link show | grep -c 'state UP')" -ge "$2" ] && return 0
    sleep 0.02
  done
  echo "links of $1 did not come up" >&2
  return 1
}

# netns_wait_socket PID: until process PID holds a packet socket bound to an
# interface, as its /proc entries show (0); 1 when it ended or 5 s passed. A
# frame that reaches the interface from then on waits in the socket for it.
netns_wait_socket() {
  local pid=$1 inodes
  for _ in $(seq 500); do
    [ -d "/proc/$pid" ] || return 1
    inodes=$(ls -l "/proc/$pid/fd" 2>/dev/null | sed -n 's/.*socket:\[\([0-9]*\)\].*/\1/p' | tr '\n' ' ')
    # sk RefCnt Type Proto Iface R Rmem User Inode: Iface is 0 until bound.
    [ -n "$inodes" ] && awk -v own=" $inodes" 'NR > 1 && $5 != 0 && index(own, " " $9 " ") { f = 1 } END { exit !f }' \
      "/proc/$pid/net/packet" 2>/dev/null && return 0
    sleep 0.01
  done
  echo "process $pid opened no packet socket" >&2
  return 1
}

# line_netns_up NAME N [MTU] [PREFIX]: a production line. The station's
# namespace NAME-st holds the bridge seg (the segment, STP off) and the
# station's interface st0, a veth whose other end is a port of seg. Device K (1
# to N) is the namespace NAME-dK as from link_netns_up, its br0 at PREFIX:KK (K
# in hex; PREFIX 02:00:00:00:01 unless given), and its veth end st0 becomes the
# port dK of seg. Returns when every link is up.
line_netns_up() {
  local name=$1 n=$2 mtu=${3:-} prefix=${4:-02:00:00:00:01} st=$1-st k l
  ip netns add "$st"
  ip netns exec "$st" sysctl -qw net.ipv6.conf.all.disable_ipv6=1
  ip -n "$st" link add seg type bridge stp_state 0 forward_delay 0
  ip -n "$st" link add seg0 type veth peer name st0
  for k in $(seq "$n"); do
    link_netns_up "$name-d$k" "$mtu" "$(printf '%s:%02x' "$prefix" "$k")" || return 1
    ip -n "$name-d$k" link set st0 down
    ip -n "$name-d$k" link set st0 name "d$k"
    ip -n "$name-d$k" link set "d$k" netns "$st"
  done
  for l in seg seg0 st0 $(for k in $(seq "$n"); do echo "d$k"; done); do
    [ -n "$mtu" ] && ip -n "$st" link set "$l" mtu "$mtu"
    case $l in seg0 | d*) ip -n "$st" link set "$l" master seg ;; esac
  done
  for l in lo seg seg0 st0 $(for k in $(seq "$n"); do echo "d$k"; done); do ip -n "$st" link set "$l" up; done
  netns_wait_up "$st" $((n + 3))
}

# line_netns_down NAME N: removes what line_netns_up NAME N made.
line_netns_down() {
  local k
  for k in $(seq "$2"); do ip netns del "$1-d$k" 2>/dev/null || true; done
  ip netns del "$1-st" 2>/dev/null || true
}

# link_demo_start NAME [MTU]: what a demonstration of the factory link needs on
# the simulated device QV_DEVICE_ROOT: the namespace qvdemo-NAME-PID (as from
# link_netns_up), the service (mfglinkd_fg) on its br0 with its output in $out,
# and $img, a scratch file for an image. Sets bin, ns, out, img and svc; all of
# it goes when the script ends.
link_demo_start() {
  bin=${QV_BIN_DIR:-build/host/bin}
  : "${QV_DEVICE_ROOT:?QV_DEVICE_ROOT must name a simulated device root}"
  ns=qvdemo-$1-$$
  out=$(mktemp)
  img=$(mktemp)
  svc=
  trap link_demo_cleanup EXIT
  echo "== network namespace $ns: bridge br0 (02:00:00:00:00:01) with port p0, station on st0${2:+, MTU $2}"
  link_netns_up "$ns" "${2:-}"
  echo "== starting mfglinkd (foreground build) on $QV_DEVICE_ROOT"
  ip netns exec "$ns" env QV_DEVICE_ROOT="$QV_DEVICE_ROOT" PATH="$PATH" "$bin/mfglinkd_fg" >"$out" 2>&1 &
  svc=$!
  netns_wait_socket "$svc"
}

link_demo_cleanup() {
  if [ -n "$svc" ] && kill -0 "$svc" 2>/dev/null; then kill "$svc" 2>/dev/null || true; wait "$svc" 2>/dev/null || true; fi
  ip netns del "$ns" 2>/dev/null || true
  rm -f "$out" "$img"
}
