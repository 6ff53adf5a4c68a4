#!/usr/bin/env bash
# power-cut-campaign.sh [PARTS]: the store's full power-cut campaign. For erase
# blocks of 64 KiB (the device's: one for the whole Config partition), 16 KiB
# and 4 KiB, every erase and program step of a scripted sequence of writes is
# cut at PARTS (16) points; the figures of each run follow.
set -euo pipefail
parts=${1:-16}
top=$(cd "$(dirname "$0")/.." && pwd)
bin=${QV_BIN_DIR:-$top/build/host/bin}
export QV_BIN_DIR=$bin QV_SOURCE_DIR=$top PATH=$bin:$PATH
status=0
for erase in 65536 16384 4096; do
  echo "== erase blocks of $erase bytes"
  power_cut_campaign --erase-size "$erase" --parts "$parts" || status=1
done
exit $status
