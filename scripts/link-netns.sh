# Sourced by the factory link's demonstrations and benchmark.
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
