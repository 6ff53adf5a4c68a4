#!/usr/bin/env bash
# factory_bytes is shown together with qvdata, which publishes what it changes:
# see qvdata/demo.sh. Here: the dump forms on a fresh device.
set -euo pipefail
: "${QV_DEVICE_ROOT:?run with QV_DEVICE_ROOT set to a device root}"
bin=${QV_BIN_DIR:-build/host/bin}
show() { printf '$ %s\n' "$*"; "$@" 2>&1; }

show "$bin/factory_bytes" s 2a 01 02 03 04 05 06 07 08
show "$bin/factory_bytes" g 0 30
show "$bin/factory_bytes" g fffc 8
show "$bin/factory_bytes" x || echo "(exit $?)"
