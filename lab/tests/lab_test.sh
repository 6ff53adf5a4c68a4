#!/usr/bin/env bash
# The lab's tests: the device build, installed, on the lab device (a MIPS Malta
# guest with the device's partitions on real MTD, br0 with the network card as
# its port), driven from the host's station on the tap device.
#
#   lab_test.sh --build BUILD [--host-bin DIR]
#
# One guest, two boots. Boot 1: the start-up's results, the production flow
# (connect, write-sn, flash an image of 3 MiB, reboot). Boot 2: the start-up's
# results (/etc/TZ from daylight-saving settings made in boot 1), the serial
# number and the image are there; restore defaults keeps the serial; mtd_write refuses what does not
# fit; the store's writers of two blocks at once on real flash; qv_vlan with
# tagged and untagged frames from the host; the test modules the install tree
# has under /lab/ktap. One KTAP line per check.
#
# Exit status: 0 passed, 1 failed, 77 skipped (qemu-system-mipsel missing).
set -u

BUILD= HOST_BIN=
while [ $# -gt 0 ]; do
	case $1 in
	--build) BUILD=$2; shift 2 ;;
	--host-bin) HOST_BIN=$2; shift 2 ;;
	*) echo "lab_test: unknown argument: $1" >&2; exit 1 ;;
	esac
done
[ -n "$BUILD" ] || { echo "lab_test: --build is required" >&2; exit 1; }

. "$(dirname "$0")/../lib.sh"
[ -n "$HOST_BIN" ] && QV_HOST_BIN=$HOST_BIN

if ! command -v qemu-system-mipsel >/dev/null; then
	echo "SKIPPED: qemu-system-mipsel is not installed (Debian package qemu-system-mips; scripts/install-deps installs it)"
	exit 77
fi
for p in mfgstation qv_vlan_probe; do
	[ -x "$QV_HOST_BIN/$p" ] || { echo "FAILED: $QV_HOST_BIN/$p is missing: build the host preset first"; exit 1; }
done
"$LAB_DIR/fetch" || { echo "FAILED: lab/fetch"; exit 1; }

# Within CTest's time-out, so that qemu never outlives a killed test.
LAB_TIME_LIMIT=400
work=$(mktemp -d "$LAB_TOP/build/lab/test.XXXXXX")
trap 'lab_stop; rm -rf "$work"' EXIT
trap 'exit 1' INT TERM

n=0 bad=0
ok() { n=$((n + 1)); echo "ok $n - $1"; }
not_ok() {
	n=$((n + 1))
	bad=1
	echo "not ok $n - $1 # $2"
	[ -n "${3:-}" ] && printf '%s\n' "$3" | sed 's/^/#   /'
	return 0
}
# check NAME EXPECTED ACTUAL [DETAILS]
check() {
	if [ "$3" = "$2" ]; then ok "$1"; else not_ok "$1" "expected \"$2\", got \"$3\"" "${4:-}"; fi
}
fatal() {
	not_ok "$1" "$2" "$(tail -n 40 "$LAB_CONSOLE" 2>/dev/null)"
	echo "FAILED: the lab could not go on"
	exit 1
}
console_of_boot() { # N: the console lines of boot N
	awk -v n="$1" '/^lab: booted / { b++ } b == n' "$LAB_CONSOLE" | tr -d '\r'
}

echo "# 1..? lab: $(cat "$LAB_CACHE/kernel.release") on qemu-system-mipsel -M malta -cpu $(lab_cpu "$BUILD") (TCG)"
lab_flash "$work/flash" || fatal "flash backing files" "lab_flash"
kernel_img=$work/flash/Kernel.img
lab_rootfs "$BUILD" "$work" "$work/flash" >"$work/rootfs.log" 2>&1 ||
	fatal "root file system from the install tree" "$(cat "$work/rootfs.log")"
ok "root file system from the install tree ($(du -k "$work/initrd.gz" | cut -f1) KiB), nothing in it names a folder of the build machine"

# check_start_up NAME N TZ: boot N's start-up: no step failed, qvdata published
# the factory data of the first boot, tz_writer left /etc/TZ as TZ says.
check_start_up() {
	local got want
	got=$(console_of_boot "$2" | grep -E '^lab: (FAILED|qvdata:|tz_writer:)')
	want="lab: qvdata: LAN 020000000001 WAN 020000000002 WLAN 020000000003, region 1, boot loader 1.0.0-lab, product QV AP lab
lab: tz_writer: /etc/TZ: $3"
	if [ "$got" = "$want" ]; then
		ok "$1"
	else
		not_ok "$1" "a step failed or its result is not as expected" "$(printf 'expected:\n%s\ngot:\n%s' "$want" "$got")"
	fi
}

t0=$SECONDS
lab_start "$work" "$work/flash" || fatal "qemu" "lab_start"
lab_wait_ready 1 150 || fatal "boot 1" "no start-up"
boot1=$((SECONDS - t0))
check_start_up "boot 1 in $boot1 s: start-up as on the device (MTD partitions, nvram_daemon, qv_vlan, br0, qvdata, tz_writer, mfglinkd); qvdata published the factory data" \
	1 "not written"

# Daylight saving for the next boot, whose start-up writes its rule to /etc/TZ
# (dates before March: the same days of the year in every year).
lab_run "nvram set 0 daylightSavingTimeEnable 1 && nvram set 0 daylightMonthStart 1 && nvram set 0 daylightDayStart 15 &&
	nvram set 0 daylightMonthEnd 2 && nvram set 0 daylightDayEnd 20" >/dev/null || fatal "daylight saving settings" "nvram set"
# The production flow, at once: mfglinkd gives up after thirty idle seconds.
sn=QV-LAB-$$
img=$work/image
head -c $((3 * 1048576)) /dev/urandom >"$img"
out=$(lab_station connect write-sn "$sn" flash "$img" reboot 2>&1)
rc=$?
if [ $rc -eq 0 ] && grep -q '^flash: done:' <<<"$out"; then
	ok "production flow: connect, write-sn $sn, flash 3 MiB, reboot"
else
	not_ok "production flow" "mfgstation exit status $rc" "$out"
fi
t1=$SECONDS
lab_wait_ready 2 150 || fatal "boot 2 after the reboot" "no start-up"
boot2=$((SECONDS - t1))
line=$(console_of_boot 1 | grep '^mtd_write: ' || true)
check "boot 1: the flash tool ran (second boot ready $boot2 s after the reboot order)" \
	"mtd_write: wrote $((3 * 1048576)) bytes to \"Kernel\"" "$line"
check_start_up "boot 2: start-up as on the device; tz_writer wrote the daylight-saving rule set in boot 1" \
	2 "GMT+8GDT,14,50"

out=$(lab_station connect read-sn 2>&1)
check "boot 2: read-sn returns the serial number" "read-sn: \"$sn\"" "$(grep '^read-sn:' <<<"$out")" "$out"
if cmp -s -n $((3 * 1048576)) "$img" "$kernel_img"; then
	ok "boot 2: the Kernel partition's backing file holds the image byte for byte"
else
	not_ok "Kernel partition" "its backing file does not hold the image" "$(cmp -n $((3 * 1048576)) "$img" "$kernel_img" 2>&1)"
fi

# Restore defaults (nvram_daemon, SIGUSR2) replaces block 0 and keeps block 3.
lab_run "nvram set 0 TZ UTC_lab" >/dev/null
out=$(lab_station connect reset-defaults read-sn quit 2>&1)
got=$(lab_run 'n=0; while [ ! -f /var/run/nvram_daemon.restored ] && [ $n -lt 100 ]; do sleep 0.1; n=$((n + 1)); done; echo "TZ=$(nvram get 0 TZ) SN=$(nvram get 3 SN)"')
check "restore defaults: block 0 back to /etc/nvram_default, the serial number kept" \
	"TZ=$(sed -n 's/^TZ=//p' "$LAB_TOP/platform/nvram_default") SN=$sn" "$got" "$out"
check "restore defaults: read-sn still returns the serial number" "read-sn: \"$sn\"" \
	"$(grep '^read-sn:' <<<"$out")" "$out"

# mtd_write refuses a file that does not fit, and a partition that is not
# there, before anything is erased.
got=$(lab_run 'k=/dev/$(awk -F: "/\"Kernel\"/ { print \$1 }" /proc/mtd); before=$(md5sum <$k)
	head -c 4194305 /dev/zero >/tmp/big; mtd_write write /tmp/big Kernel 2>/dev/null; a=$?
	mtd_write write /tmp/big Kernel2 2>/dev/null; b=$?
	[ "$(md5sum <$k)" = "$before" ] && same=unchanged || same=changed; rm -f /tmp/big
	echo "too-large=$a unknown=$b Kernel $same"' 120)
check "mtd_write: a file larger than the partition, an unknown partition: status 1, nothing written" \
	"too-large=1 unknown=1 Kernel unchanged" "$got"

# Writers of two blocks at once. On flash the four blocks share one erase
# block, which every compaction erases and rewrites whole: a lock that kept
# only writers of the same block apart would lose updates here, never on an
# image file. Block 1 rewrites four values of 1000 bytes 300 times (300 KB of
# log in a block of 16 KiB: a compaction every dozen sets) while block 2 grows
# by 300 keys for as long; a compaction of one block that raced an append to
# the other loses it. Each writer reads back what it stored, at once and at
# its end; both blocks are read again once both are done.
t2=$SECONDS
got=$(lab_run 'store_writer 1 a 300 4 1000 >/tmp/w1 & w1=$!; store_writer 2 b 300 >/tmp/w2 & w2=$!; wait $w1 $w2
	last=; for k in 0 1 2 3; do v=$(nvram get 1 a$k); last="$last ${v%%x*}/${#v}"; done
	echo "block1=$(nvram show 1 | grep -c "^a[0-3]=v[0-9]*x*$")$last block2=$(nvram show 2 | grep -c "^b[0-9]*=v[0-9]*$")" \
		"writers: $(cat /tmp/w1), $(cat /tmp/w2); SN=$(nvram get 3 SN)"' 240)
check "store on real MTD in $((SECONDS - t2)) s: block 1 compacted again and again under 300 long rewrites while block 2 takes 300 keys, no update lost" \
	"block1=4 v296/1000 v297/1000 v298/1000 v299/1000 block2=300 writers: 0 failed, 0 lost, 0 failed, 0 lost; SN=$sn" "$got"

# qv_vlan on frames from the host's tap device through the network card and the
# bridge: with the module, 802.1Q-tagged datagrams arrive intact; without
# it they are dropped; untagged ones arrive always, 802.1ad ones never.
vlan_round() { # LABEL: the receiver's result line
	lab_run "vlan_probe receive 10.0.0.1 5555 8 $1 >/tmp/vlan.$1" >/dev/null
	ip netns exec "$LAB_NS" "$QV_HOST_BIN/qv_vlan_probe" send lab0 "$LAB_MAC" 10.0.0.1 10.0.0.2 \
		5555 42 8 "$1" >/dev/null
	lab_run "n=0; while ! grep -q QV_RESULT /tmp/vlan.$1 && [ \$n -lt 150 ]; do sleep 0.1; n=\$((n + 1)); done; cat /tmp/vlan.$1"
}
check "qv_vlan loaded: frames from the host, tagged arrive untagged and intact" \
	"QV_RESULT loaded tagged=8/8 plain=8/8 stag=0/8 corrupt=0" "$(vlan_round loaded)"
lab_run "rmmod qv_vlan" >/dev/null
check "qv_vlan unloaded: tagged frames from the host are dropped" \
	"QV_RESULT unloaded tagged=0/8 plain=8/8 stag=0/8 corrupt=0" "$(vlan_round unloaded)"

# Test modules that print KTAP (one "ok"/"not ok" line per case) when loaded.
ktap=$(lab_run 'for m in /lab/ktap/*.ko; do [ -e "$m" ] || continue; dmesg -c >/dev/null
	echo "module $m"; insmod "$m" && rmmod "$m"; dmesg | sed "s/^\[[ 0-9.]*\] //"; done')
# The lab component installs them beside qv_vlan.ko: none is a fault of the
# install tree, not a reason to skip.
if [ -z "$ktap" ]; then
	not_ok "KTAP test modules" "the install tree has none under /lab/ktap (cmake --install BUILD --component lab)"
elif grep -qE '^([a-z0-9_]+: )? *not ok ' <<<"$ktap" || ! grep -qE '^([a-z0-9_]+: )? *ok ' <<<"$ktap"; then
	not_ok "KTAP test modules" "a case failed or none ran" "$ktap"
else
	ok "KTAP test modules: $(grep -cE '^([a-z0-9_]+: )? *ok ' <<<"$ktap") cases passed"
fi
# qv_vlan's test module reports what its crafted frames became: compared here,
# on MIPS, with what the untag code must make of them.
if grep -q 'qv_vlan_selftest: ' <<<"$ktap"; then
	printf '%s\n' "$ktap" >"$work/ktap.log"
	if result=$(bash "$LAB_TOP/kernel/qv_vlan/tests/selftest_check.sh" "$work/ktap.log"); then
		ok "qv_vlan's untag code in the MIPS kernel: $(grep -c '^ok:' <<<"$result") crafted frames as expected"
	else
		not_ok "qv_vlan's untag code in the MIPS kernel" "a crafted frame came out otherwise" "$result"
	fi
else
	not_ok "qv_vlan's untag code in the MIPS kernel" "qv_vlan_selftest.ko reported nothing" "$ktap"
fi

# The CPU model follows the build (a soft-float build runs on the device's
# 24KEc, without an FPU); the guest's kernel calls qemu's 24Kf a 24Kc with one.
cpu=$(lab_cpu "$BUILD")
case $cpu in 24Kf) want="MIPS 24Kc, FPU" ;; *) want="MIPS $cpu, no FPU" ;; esac
check "the guest's CPU is the build's, qemu's $cpu" "$want" "$(lab_run 'm=$(sed -n "s/^cpu model[[:space:]]*: //p" /proc/cpuinfo)
	case $m in *FPU*) f=FPU ;; *) f="no FPU" ;; esac; echo "${m%% V*}, $f"')"

lab_poweroff 60 || not_ok "power off" "the guest did not end"
complaints=$(tr -d '\r' <"$LAB_CONSOLE" | grep -E 'BUG|Oops|WARNING|Call Trace|Unhandled|segfault' || true)
if [ -z "$complaints" ]; then
	ok "the kernel did not complain, the guest powered itself off"
else
	not_ok "kernel messages" "the kernel complained" "$complaints"
fi
echo "1..$n"
echo "# lab: boot 1 $boot1 s, boot 2 $boot2 s after the reboot order, whole run $((SECONDS - t0)) s"
if [ $bad -ne 0 ]; then
	echo "--- guest console (last 60 lines) ---"
	tail -n 60 "$LAB_CONSOLE"
	echo "FAILED: lab tests"
	exit 1
fi
echo "PASSED: lab tests"
