#!/usr/bin/env bash
# tz_writer on the simulated device ($QV_DEVICE_ROOT): the daylight-saving
# settings become the rule line in /etc/TZ, and the C library reads it back.
set -euo pipefail
: "${QV_DEVICE_ROOT:?run me with QV_DEVICE_ROOT set to a device root}"
tz=$QV_DEVICE_ROOT/etc/TZ
run() { printf '$ %s\n' "$*"; "$@" 2>&1; }

for kv in TZ=GMT_-8 daylightSavingTimeEnable=1 daylightMonthStart=4 daylightDayStart=1 \
          daylightMonthEnd=10 daylightDayEnd=31; do
  nvram set 0 "${kv%%=*}" "${kv#*=}"
done
echo "store: TZ=GMT_-8, daylight saving on from 4/1 to 10/31"
run tz_writer
printf '/etc/TZ: %s\n' "$(cat "$tz")"
line=$(cat "$tz")
for at in "2025-03-31 12:00" "2025-07-01 12:00" "2025-11-01 12:00"; do
  printf '  %s UTC is %s\n' "$at" "$(TZ=$line date -d "$at UTC" '+%Y-%m-%d %H:%M %Z (UTC%z)')"
done

echo
echo "in a leap year the day numbers count 29 February:"
QV_TZ_WRITER_YEAR=2024 tz_writer >/dev/null
printf '/etc/TZ: %s\n' "$(cat "$tz")"

echo
echo "a TZ value of neither form leaves /etc/TZ as it was:"
nvram set 0 TZ UTC+8
status=0; run tz_writer || status=$?
printf 'exit %d, /etc/TZ: %s\n' "$status" "$(cat "$tz")"

echo
echo "daylight saving off:"
nvram set 0 daylightSavingTimeEnable 0
run tz_writer
