#!/usr/bin/env bash
# ledctl on the simulated device ($QV_DEVICE_ROOT), which has no GPIO driver:
# the checks, and the driver's absence reported.
set -euo pipefail
: "${QV_DEVICE_ROOT:?run me with QV_DEVICE_ROOT set to a device root}"
run() { printf '$ %s\n' "$*"; "$@" 2>&1 || echo "exit $?"; }

run ledctl l 52 100 100 3 3 1000
run ledctl l 10 4001 100 3 3 1000
run ledctl l 10 100 100 3 3 1000
touch "$QV_DEVICE_ROOT/dev/gpio"
echo "(a plain file at /dev/gpio: the kernel refuses the request)"
run ledctl l 10 100 100 3 3 1000
run ledctl 10 100 100 3 3 1000
