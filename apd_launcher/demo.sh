#!/usr/bin/env bash
# apd_launcher on the simulated device ($QV_DEVICE_ROOT): what it runs for each
# security setting, as the platform's stand-ins log it.
set -euo pipefail
: "${QV_DEVICE_ROOT:?run me with QV_DEVICE_ROOT set to a device root}"
log=$QV_DEVICE_ROOT/var/log/platform.log

for setting in "WPA2 radius" "WPA2 RADIUS" "WPA2 psk" "WPA2PSK radius" "None radius"; do
  set -- $setting
  nvram set 0 wlan_security_mode "$1"
  nvram set 0 wlan_wpaKey_type "$2"
  from=$(($(wc -l < "$log") + 1))
  apd_launcher
  printf 'wlan_security_mode=%-8s wlan_wpaKey_type=%-7s -> %s\n' "$1" "$2" \
    "$(tail -n "+$from" "$log" | paste -sd ';' | sed 's/;/; /g')"
done
