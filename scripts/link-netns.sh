# Sourced by the factory link's demonstrations and its transfer benchmark.
# link_netns_up NS [MTU]: a network namespace NS holding the bridge br0
# (02:00:00:00:00:01, STP off) with the veth port p0, whose other end st0 is the
# station's interface; with MTU, all three take it. Returns when the links are up.
link_netns_up() {
  local ns=$1 mtu=${2:-} l
  ip netns add "$ns"
  ip -n "$ns" link add br0 address 02:00:00:00:00:01 type bridge stp_state 0 forward_delay 0
  ip -n "$ns" link add p0 type veth peer name st0
  if [ -n "$mtu" ]; then
    for l in p0 st0 br0; do ip -n "$ns" link set "$l" mtu "$mtu"; done
  fi
  ip -n "$ns" link set p0 master br0
  # Keep the link quiet: no IPv6 neighbour or router traffic.
  ip netns exec "$ns" sysctl -qw net.ipv6.conf.all.disable_ipv6=1
  for l in lo p0 st0 br0; do ip -n "$ns" link set "$l" up; done
  for _ in $(seq 100); do
    [ "$(ip -n "$ns" -o link show | grep -c 'state UP')" -ge 3 ] && return 0
    sleep 0.02
  done
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
  sleep 0.3
}

link_demo_cleanup() {
  if [ -n "$svc" ] && kill -0 "$svc" 2>/dev/null; then kill "$svc" 2>/dev/null || true; wait "$svc" 2>/dev/null || true; fi
  ip netns del "$ns" 2>/dev/null || true
  rm -f "$out" "$img"
}
