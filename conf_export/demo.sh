#!/usr/bin/env bash
# conf_export on the simulated device ($QV_DEVICE_ROOT): the settings file,
# and an export that fails without costing the earlier file.
set -euo pipefail
: "${QV_DEVICE_ROOT:?run me with QV_DEVICE_ROOT set to a device root}"
file=$QV_DEVICE_ROOT/tmp/settings.cfg
run() { printf '$ %s\n' "$*"; "$@"; }

nvram set 0 wlan_essid "Shop = open"
nvram set 0 TZ GMT_1
nvram set 0 wlan_security_mode WPA2
run conf_export "$file"
echo "--- $(wc -l < "$file") lines; the first five:"
head -n 5 "$file"
echo "--- lines 19, 30 and 174:"
sed -n '19p;30p;174p' "$file"

echo
echo "with a file-size limit of 1000 bytes the export fails and the earlier file stays:"
before=$(md5sum < "$file")
echo "$ prlimit --fsize=1000 conf_export $file"
# Through a pipe: the limit would also stop the message if stdout were a file.
status=0; out=$(prlimit --fsize=1000 conf_export "$file") || status=$?
printf '%s\n' "$out"
after=$(md5sum < "$file")
echo "exit $status; earlier file $([ "$before" = "$after" ] && echo unchanged || echo CHANGED);" \
     "temporary file $([ -e "$file.part" ] && echo LEFT || echo removed)"

echo
run conf_export || echo "exit $?"
