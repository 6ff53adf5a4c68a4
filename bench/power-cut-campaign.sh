#!/usr/bin/env bash
# power-cut-campaign.sh [PARTS] [SEEDS]: the store's full power-cut campaign. For
# erase blocks of 64 KiB (the device's: one for the whole Config partition),
# 16 KiB and 4 KiB, on a Config partition of 64 KiB (the device's) and of 128 KiB
# (room for a copy of the compacted blocks), every erase and program step of a
# scripted sequence of writes is cut at PARTS (16) points, an erase in each of
# the three erase cut models with SEEDS (5) sets of risen bits, and the write
# after each cut is cut again at each of its steps; the figures of each run
# follow, per erase cut model. Each geometry runs twice: on a device the store
# set up, and on one whose Config the platform's earlier store wrote (raw
# entries, which the first write compacts).
set -euo pipefail
parts=${1:-16}
seeds=${2:-5}
top=$(cd "$(dirname "$0")/.." && pwd)
bin=${QV_BIN_DIR:-$top/build/host/bin}
export QV_BIN_DIR=$bin QV_SOURCE_DIR=$top PATH=$bin:$PATH
status=0
for config in 65536 131072; do
  no_loss=
  [ "$config" -gt 65536 ] && no_loss=--no-loss
  for erase in 65536 16384 4096; do
    for start in "" --plain-start; do
      echo "== Config $config bytes, erase blocks of $erase bytes${start:+, entries written raw by the earlier store}"
      power_cut_campaign --erase-size "$erase" --config-size "$config" --parts "$parts" --seeds "$seeds" --second-cuts $no_loss $start || status=1
    done
  done
done
exit $status
