#!/usr/bin/env bash
# flash-soak.sh [RUNS] [MIN_KIB] [MAX_KIB]: flashes RUNS images (default 200) of
# MIN_KIB to MAX_KIB KiB (default 1024 to 3072) through a faulty wire and
# counts what mfgstation's exit status claimed against what the Kernel
# partition holds.
#
# A private network namespace holds the bridge br0 with the port p0 and the
# service (mfglinkd, foreground build, on a simulated device root in a RAM file
# system). p0's other end st0 is one side of faulty_wire; the other side is w0,
# whose veth peer w1 is the station's interface. The wire spoils frames of both
# directions at the rates of SOAK_LOSS, SOAK_DUP, SOAK_REORDER and SOAK_CORRUPT
# (percent; default 2, 1, 2 and 0.5) from SOAK_SEED (default 1); the image
# sizes follow the seed too. Each run erases "Kernel", runs
# `mfgstation -i w1 SOAK_STATION_OPTS connect flash IMAGE` (default options
# -t 200 -r 3 --flash-timeout 10) and compares the partition with the image.
#
# Prints one line per run and then: runs, passes, failures by exit status,
# false passes (exit 0 with "Kernel" not byte-identical to the image; the
# target is 0), transfer restarts (those after the in-step check behind the
# CRC-32 confirmation found a reply out of place: a duplicated chunk caught
# before the upgrade) and failed
# runs whose flash tool ran on another image. Exit status 1 when there
# was a false pass. A benchmark, not a timed test; needs root.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/link-netns.sh

runs=${1:-200}
min_kib=${2:-1024}
max_kib=${3:-3072}
loss=${SOAK_LOSS:-2}
dup=${SOAK_DUP:-1}
reorder=${SOAK_REORDER:-2}
corrupt=${SOAK_CORRUPT:-0.5}
seed=${SOAK_SEED:-1}
read -r -a station_opts <<<"${SOAK_STATION_OPTS:--t 200 -r 3 --flash-timeout 10}"
bin=${QV_BIN_DIR:-build/host/bin}
for p in mfglinkd_fg mfgstation faulty_wire make-device-root mtd_write; do
  [ -x "$bin/$p" ] || { echo "flash-soak: $bin/$p is missing; build the host preset first" >&2; exit 2; }
done

ns=qvsoak-$$
work=$(mktemp -d /dev/shm/qvsoak-XXXXXX)
svc=
wire=
cleanup() {
  for p in $svc $wire; do
    if kill -0 "$p" 2>/dev/null; then kill "$p" 2>/dev/null || true; wait "$p" 2>/dev/null || true; fi
  done
  ip netns del "$ns" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

link_netns_up "$ns" 1522
ip -n "$ns" link add w0 type veth peer name w1
for l in w0 w1; do ip -n "$ns" link set "$l" mtu 1522; ip -n "$ns" link set "$l" up; done
ip netns exec "$ns" "$bin/faulty_wire" -a w0 -b st0 --loss "$loss" --dup "$dup" --reorder "$reorder" \
  --corrupt "$corrupt" --seed "$seed" >"$work/wire.out" 2>&1 &
wire=$!

root=$work/device
"$bin/make-device-root" "$root" >/dev/null
kernel=$root/dev/$(awk -F: '/"Kernel"/ {print $1}' "$root/proc/mtd")
kernel_size=$(stat -c %s "$kernel")
[ "$max_kib" -le $((kernel_size / 1024)) ] || { echo "flash-soak: images larger than Kernel ($kernel_size bytes)" >&2; exit 2; }

start_service() {
  ip netns exec "$ns" env QV_DEVICE_ROOT="$root" PATH="$bin:$PATH" "$bin/mfglinkd_fg" >/dev/null 2>&1 &
  svc=$!
  netns_wait_socket "$svc"
}

echo "flash-soak: $runs runs of $min_kib to $max_kib KiB; loss $loss%, duplication $dup%, reordering $reorder%," \
  "corruption $corrupt%, seed $seed; mfgstation ${station_opts[*]}"
RANDOM=$seed
passes=0 false_passes=0 flashed_wrong=0 restarts=0 late=0
declare -A by_status=()
start=$SECONDS
for i in $(seq "$runs"); do
  if [ -z "$svc" ] || ! kill -0 "$svc" 2>/dev/null; then start_service; fi
  size=$(( (min_kib + RANDOM % (max_kib - min_kib + 1)) * 1024 - RANDOM % 1024 ))
  head -c "$size" /dev/urandom >"$work/image"
  head -c "$kernel_size" /dev/zero | tr '\0' '\377' >"$kernel"
  : >"$root/var/log/platform.log"
  status=0
  ip netns exec "$ns" "$bin/mfgstation" -i w1 "${station_opts[@]}" connect flash "$work/image" \
    >"$work/station.out" 2>&1 || status=$?
  same=no
  cmp -s -n "$size" "$work/image" "$kernel" && same=yes
  ran=$(grep -c '^mtd_write ' "$root/var/log/platform.log" || true)
  r=$(grep -c 'restarting the transfer' "$work/station.out" || true)
  restarts=$((restarts + r))
  late=$((late + $(grep -c 'in-step check: a reply that fits no request' "$work/station.out" || true)))
  by_status[$status]=$(( ${by_status[$status]:-0} + 1 ))
  verdict=fail
  if [ "$status" -eq 0 ]; then
    if [ "$same" = yes ]; then passes=$((passes + 1)); verdict=pass; else false_passes=$((false_passes + 1)); verdict="FALSE PASS"; fi
  elif [ "$ran" -gt 0 ] && [ "$same" = no ]; then
    flashed_wrong=$((flashed_wrong + 1))
  fi
  printf 'run %d: %d bytes, exit %d, %d restarts, flash tool ran %d, Kernel identical %s: %s\n' \
    "$i" "$size" "$status" "$r" "$ran" "$same" "$verdict"
  if [ "$verdict" = "FALSE PASS" ] || [ -n "${SOAK_SHOW:-}" ]; then sed 's/^/  | /' "$work/station.out" | tail -n 20; fi
done

kill "$wire" 2>/dev/null || true
wait "$wire" 2>/dev/null || true
wire=
echo "runs: $runs in $((SECONDS - start)) s"
echo "passes: $passes (each byte-identical)"
for s in $(printf '%s\n' "${!by_status[@]}" | sort -n); do
  [ "$s" -eq 0 ] || echo "failures with exit status $s: ${by_status[$s]}"
done
echo "transfer restarts: $restarts, of which after the in-step check behind a CRC-32 confirmation: $late"
echo "failed runs whose flash tool ran on another image: $flashed_wrong"
cat "$work/wire.out"
echo "false passes: $false_passes"
[ "$false_passes" -eq 0 ]
