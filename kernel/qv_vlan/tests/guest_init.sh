#!/bin/busybox sh
# /init of the qv_vlan real-kernel test guest. Prints QV_* lines on the
# console and powers the guest off; the host side reads them.
/bin/busybox mkdir -p /proc /sys /dev /tmp
/bin/busybox mount -t devtmpfs dev /dev
exec </dev/console >/dev/console 2>&1
/bin/busybox --install -s /bin
# busybox sh runs its own applets before PATH: iproute2 is called by path.
export PATH=/bin:/sbin
mount -t proc proc /proc
mount -t sysfs sys /sys

step() {
	"$@" || echo "QV_FAIL $*"
}

echo "QV_BOOT $(uname -r)"
for m in $(cat /mods/order); do
	step insmod "/mods/$m"
done

PORT=5555
VID=42
BRMAC=02:00:00:00:00:01

# The peer: a network namespace held by a sleeping process.
unshare -n sleep 100000 &
NSPID=$!
sleep 1

step /sbin/ip link add br0 type bridge forward_delay 0 stp_state 0
step /sbin/ip link set br0 address $BRMAC
step /sbin/ip addr add 10.0.0.1/24 dev br0
step /sbin/ip link add qvport0 type veth peer name qvpeer0
step /sbin/ip link set qvport0 master br0
step /sbin/ip link set qvpeer0 netns $NSPID
step /sbin/ip link set qvport0 up
step /sbin/ip link set br0 up
step nsenter -t $NSPID -n /sbin/ip link set qvpeer0 up
sleep 2

probe() {
	/vlan_probe /proc/$NSPID/ns/net qvpeer0 $BRMAC 10.0.0.1 10.0.0.2 \
		$PORT $VID 8 "$1" || echo "QV_FAIL probe $1"
}

probe before
step insmod /qv_vlan.ko
grep -q '^qv_vlan ' /proc/modules && echo "QV_LOADED"
probe loaded
step rmmod qv_vlan
grep -q '^qv_vlan ' /proc/modules || echo "QV_UNLOADED"
probe after

# The untag code on crafted frames; its KTAP report goes to the console.
step insmod /qv_vlan_selftest.ko
step rmmod qv_vlan_selftest
dmesg | grep 'qv_vlan_selftest: '

dmesg | grep -v 'qv_vlan_selftest: ' | grep -i -E 'qv_vlan|taint|BUG|Oops|WARNING' | sed 's/^/QV_DMESG /'
echo "QV_DONE"
poweroff -f
