#!/bin/bash
# Checks what qv_vlan_selftest.ko reported on a guest's console against the
# expected frames. The console may carry the kernel log directly or as dmesg
# lines, with or without time stamps: every line is read from the module's
# prefix on. Any lab that loads the module can hand its console log here.
#
#   selftest_check.sh CONSOLE_LOG
#
# Prints one "ok:" or "not ok:" line per case. Exit status 0 when every case
# was reported as expected, 1 otherwise.
set -u

[ $# -eq 1 ] || { echo "usage: selftest_check.sh CONSOLE_LOG" >&2; exit 1; }

# After the hook, per case: protocol, len, data, network-header and link-layer
# header positions relative to before, and csum folded to 16 bits. The
# payload's folded sum is 0x1907, the whole frame's (tag included) 0x436f;
# 0x68ac is the folded 0x12345678 that frames without CHECKSUM_COMPLETE carry.
EXPECTED='tag_in_data: protocol=0x0800 len=42 data=+4 network=+4 mac=+0 csum=0x68ac
checksum_complete: protocol=0x0800 len=42 data=+4 network=+4 mac=+0 csum=0x1907
raw_802_3: protocol=0x0001 len=44 data=+4 network=+4 mac=+0 csum=0x68ac
shorter_than_the_tag: protocol=0x8100 len=3 data=+0 network=+0 mac=+0 csum=0x68ac
tag_without_the_next_two_bytes: protocol=0x8100 len=5 data=+0 network=+0 mac=+0 csum=0x68ac
tag_outside_the_linear_data: protocol=0x8100 len=46 data=+0 network=+0 mac=+0 csum=0x436f'

lines=$(tr -d '\r' <"$1" | sed -n 's/^.*qv_vlan_selftest: //p')
bad=0
grep -qx 'KTAP version 1' <<<"$lines" || { echo "not ok: no KTAP header"; bad=1; }
count=$(grep -c . <<<"$EXPECTED")
grep -qx "1\.\.$count" <<<"$lines" || { echo "not ok: no plan 1..$count"; bad=1; }
n=0
while IFS= read -r want; do
	n=$((n + 1))
	name=${want%%:*}
	got=$(grep "^# $name: " <<<"$lines" | tail -n 1)
	got=${got#\# }
	if ! grep -qx "ok $n $name" <<<"$lines"; then
		echo "not ok: $name: not reported as run ($(grep " $n $name" <<<"$lines" | tail -n 1))"
		bad=1
	elif [ "$got" != "$want" ]; then
		echo "not ok: $name: expected ${want#*: }, got ${got#*: }"
		bad=1
	else
		echo "ok: $name: ${want#*: }"
	fi
done <<<"$EXPECTED"
exit $bad
