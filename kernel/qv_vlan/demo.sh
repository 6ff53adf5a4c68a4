#!/bin/bash
# qv_vlan: the module as built against Debian's kernel headers, its untag
# step in user space, and the module at work in that kernel under qemu.
set -u
BIN=${QV_BIN_DIR:-build/host/bin}
# The newest kernel installed, unless named.
RELEASE=${QV_KERNEL_RELEASE:-$(ls -v /lib/modules 2>/dev/null | tail -n 1)}
KO=$BIN/../kernel/qv_vlan/qv_vlan_ko/qv_vlan.ko
SELFTEST=$BIN/../kernel/qv_vlan/qv_vlan_ko/qv_vlan_selftest.ko
HERE=$(cd "$(dirname "$0")" && pwd)

echo "== qv_vlan.ko built against $RELEASE"
if [ -r "$KO" ]; then
	modinfo "$KO" | grep -E '^(name|description|license|depends|vermagic):'
else
	echo "(not built: no kernel build directory for $RELEASE)"
fi

echo
echo "== the untag step in user space"
"$BIN/qv_vlan_core_test" --gtest_brief=0 2>&1 | grep -E '^\[ +(OK|FAILED) +\]|PASSED|FAILED' |
	sed 's/ ([0-9]* ms)//'

echo
echo "== in the kernel: tagged UDP to br0 without the module, loaded, after rmmod"
bash "$HERE/tests/kernel_test.sh" --ko "$([ -r "$KO" ] && echo "$KO")" \
	--selftest "$([ -r "$SELFTEST" ] && echo "$SELFTEST")" --probe "$BIN/qv_vlan_probe" --release "$RELEASE" |
	grep -E '^(booting|guest ran|ok|not ok|PASSED|FAILED|SKIPPED|QV_RESULT|QV_DMESG .*taint)'
st=${PIPESTATUS[0]}
[ "$st" -eq 77 ] && st=0
exit "$st"
