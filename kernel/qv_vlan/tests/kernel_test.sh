#!/bin/bash
# Real-kernel test of qv_vlan: boots a Linux kernel under qemu with a small
# initramfs (busybox, the bridge and veth modules of that kernel, qv_vlan.ko
# and a traffic probe) and checks that tagged UDP datagrams to the bridge's
# address are dropped without the module, delivered intact with it, and
# dropped again after rmmod, while untagged ones arrive in every phase and
# 802.1ad-tagged ones in none. Then it loads qv_vlan_selftest.ko, which runs
# the module's untag code on crafted frames that the receive path would never
# let reach it, and checks its report (selftest_check.sh).
#
#   kernel_test.sh --ko qv_vlan.ko --selftest qv_vlan_selftest.ko \
#       --probe vlan_probe --release RELEASE
#
# Exit status: 0 passed, 1 failed, 77 skipped (no qemu or no kernel).
set -u

KO= SELFTEST= PROBE= RELEASE= KERNEL= TIMEOUT=240
HERE=$(cd "$(dirname "$0")" && pwd)
. "$HERE/../../../testing/guest-initramfs.sh"

while [ $# -gt 0 ]; do
	case $1 in
	--ko) KO=$2; shift 2 ;;
	--selftest) SELFTEST=$2; shift 2 ;;
	--probe) PROBE=$2; shift 2 ;;
	--release) RELEASE=$2; shift 2 ;;
	--kernel) KERNEL=$2; shift 2 ;;
	--timeout) TIMEOUT=$2; shift 2 ;;
	-h|--help)
		sed -n '2,15p' "$0" | sed 's/^# \{0,1\}//'
		exit 0 ;;
	*) echo "kernel_test: unknown argument: $1" >&2; exit 1 ;;
	esac
done

skip() {
	echo "SKIPPED: $*"
	exit 77
}
die() {
	echo "FAILED: $*"
	exit 1
}

[ -n "$RELEASE" ] ||
	skip "no kernel is installed with both its image and its headers (Debian packages linux-image-amd64, linux-headers-amd64)"
[ -n "$KERNEL" ] || KERNEL=/boot/vmlinuz-$RELEASE
MODDIR=/lib/modules/$RELEASE

command -v qemu-system-x86_64 >/dev/null ||
	skip "qemu-system-x86_64 is not installed (Debian package qemu-system-x86)"
[ -r "$KERNEL" ] ||
	skip "kernel image $KERNEL is missing or unreadable (Debian package linux-image-amd64)"
[ -r "$MODDIR/modules.dep" ] ||
	skip "modules of $RELEASE are missing ($MODDIR)"
[ -n "$KO" ] ||
	skip "no kernel build directory for $RELEASE (Debian package linux-headers-amd64): qv_vlan.ko was not built"
[ -r "$KO" ] || die "module $KO has not been built"
[ -r "$SELFTEST" ] || die "test module ${SELFTEST:-qv_vlan_selftest.ko} has not been built"
[ -x "$PROBE" ] || die "probe $PROBE has not been built"
BUSYBOX=$(command -v busybox) || die "busybox is not installed (busybox-static)"
IP=$(command -v ip) || die "ip is not installed (iproute2)"
if ldd "$BUSYBOX" >/dev/null 2>&1; then
	die "$BUSYBOX is not a static binary (install busybox-static)"
fi

WORK=$(mktemp -d /tmp/qv_vlan_kernel.XXXXXX) || die "mktemp"
trap 'rm -rf "$WORK"' EXIT
ROOT=$WORK/root
mkdir -p "$ROOT/bin" "$ROOT/sbin" "$ROOT/mods" || die "mkdir"

cp "$BUSYBOX" "$ROOT/bin/busybox" || die "copy busybox"
cp "$HERE/guest_init.sh" "$ROOT/init" && chmod 755 "$ROOT/init" || die "copy init"
cp "$PROBE" "$ROOT/vlan_probe" || die "copy probe"
cp "$KO" "$ROOT/qv_vlan.ko" || die "copy module"
cp "$SELFTEST" "$ROOT/qv_vlan_selftest.ko" || die "copy test module"

# iproute2 with the libraries it needs, for veth pairs and namespaces.
cp "$IP" "$ROOT/sbin/ip" || die "copy ip"
for lib in $(ldd "$IP" | awk '/=>/ { print $3 } /^\t\// { print $1 }'); do
	mkdir -p "$ROOT$(dirname "$lib")"
	cp -L "$lib" "$ROOT$lib" || die "copy $lib"
done

# The kernel's own modules, dependencies first, decompressed if need be.
guest_add_modules "$MODDIR" "$ROOT/mods" bridge veth || die "modules"
guest_pack "$ROOT" "$WORK/initrd.gz" || die "initramfs"
ORDER=($(cat "$ROOT/mods/order"))

boot() {
	echo "booting $KERNEL with -accel $1 (modules: ${ORDER[*]})"
	start=$(date +%s)
	timeout "$TIMEOUT" qemu-system-x86_64 -accel "$1" -m 512 -smp 1 \
		-nographic -no-reboot -nodefaults -serial stdio -monitor none \
		-kernel "$KERNEL" -initrd "$WORK/initrd.gz" \
		-append "console=ttyS0 panic=-1 quiet loglevel=4" \
		</dev/null >"$WORK/console.log" 2>&1
	rc=$?
	echo "guest ran $(($(date +%s) - start)) s, qemu status $rc"
}
# TCG: KVM, where present here, may be nested and hang or abort the guest;
# TCG boots this guest in a few seconds anyway.
boot tcg
tr -d '\r' <"$WORK/console.log" | grep -E '^QV_' >"$WORK/results"
cat "$WORK/results"

if ! grep -q '^QV_DONE' "$WORK/results"; then
	echo "--- console (last 40 lines) ---"
	tail -n 40 "$WORK/console.log"
	[ $rc -eq 124 ] && die "guest did not finish within $TIMEOUT s"
	die "guest did not finish"
fi

bad=0
check() {
	local label=$1 tagged=$2 plain=8 line
	line=$(grep "^QV_RESULT $label " "$WORK/results")
	if [ "$line" = "QV_RESULT $label tagged=$tagged/8 plain=$plain/8 stag=0/8 corrupt=0" ]; then
		echo "ok: $label: 802.1Q-tagged $tagged/8, untagged $plain/8, 802.1ad 0/8, none corrupt"
	else
		echo "not ok: $label: expected tagged=$tagged/8 plain=$plain/8 stag=0/8 corrupt=0, got: ${line:-nothing}"
		bad=1
	fi
}
check before 0
check loaded 8
check after 0
grep -q '^QV_FAIL' "$WORK/results" && { echo "not ok: a guest step failed"; bad=1; }
grep -q '^QV_LOADED' "$WORK/results" || { echo "not ok: module did not load"; bad=1; }
grep -q '^QV_UNLOADED' "$WORK/results" || { echo "not ok: module did not unload"; bad=1; }
grep -E '^QV_DMESG .*(BUG|Oops|WARNING)' "$WORK/results" && { echo "not ok: kernel complained"; bad=1; }
bash "$HERE/selftest_check.sh" "$WORK/console.log" || bad=1

if [ $bad -ne 0 ]; then
	echo "--- console (last 60 lines) ---"
	tail -n 60 "$WORK/console.log"
	die "real-kernel test"
fi
echo "PASSED: real-kernel test"
exit 0
