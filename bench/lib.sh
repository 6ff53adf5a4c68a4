# Sourced by the benchmarks.

# bench_need WHO PROGRAM...: stops unless every PROGRAM is built in $bin.
bench_need() {
  local who=$1 p
  shift
  for p; do
    [ -x "$bin/$p" ] || { echo "$who: $bin/$p is missing; build the host preset first" >&2; exit 2; }
  done
}

# median: of the numbers on standard input, one a line.
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# bench_interleave RUNS WORK: RUNS runs each of "one_run service" and "one_run
# baseline" (the caller's function, printing a run's MiB/s), alternating which
# goes first so that neither always follows the other; their rates collect in
# WORK/service.rates and WORK/baseline.rates.
bench_interleave() {
  local runs=$1 work=$2 i kind rate
  : >"$work/service.rates"
  : >"$work/baseline.rates"
  for i in $(seq "$runs"); do
    for kind in service baseline; do
      [ $((i % 2)) -eq 0 ] && kind=$([ "$kind" = service ] && echo baseline || echo service)
      rate=$(one_run "$kind")
      echo "$rate" >>"$work/$kind.rates"
      printf 'run %d %-8s %8s MiB/s\n' "$i" "$kind" "$rate"
    done
  done
}

# bench_ratios WORK [NOTE]: the medians of bench_interleave's rates, their ratio
# and the median ratio of the pairs run back to back; NOTE follows the ratio.
bench_ratios() {
  local work=$1 note=${2:-} s b pairs
  s=$(median <"$work/service.rates")
  b=$(median <"$work/baseline.rates")
  pairs=$(paste "$work/service.rates" "$work/baseline.rates" | awk '{ print $1 / $2 }' | median)
  awk -v s="$s" -v b="$b" -v p="$pairs" -v note="$note" 'BEGIN {
    printf "median: service %.2f MiB/s, baseline %.2f MiB/s\n", s, b
    printf "ratio service/baseline: %.2f of the medians, %.2f median of the pairs%s\n", s / b, p, note }'
}

# The simulated devices of a line benchmark; their pids collect in bench_pids.
bench_pids=()
# bench_device_start NS ROOT KERNEL_SIZE: a fresh device root ROOT (erased
# partitions, nothing staged) and $bin/mfglinkd_fg on it in the namespace NS,
# its output in ROOT.out.
bench_device_start() {
  rm -rf "$2"
  "$bin/make-device-root" "$2" --kernel-size "$3"
  ip netns exec "$1" env QV_DEVICE_ROOT="$2" PATH="$bin:$PATH" "$bin/mfglinkd_fg" >"$2.out" 2>&1 &
  bench_pids+=($!)
}
# bench_devices_ready: until every device's service holds its packet socket
# (netns_wait_socket, scripts/link-netns.sh).
bench_devices_ready() {
  local p
  for p in "${bench_pids[@]}"; do netns_wait_socket "$p"; done
}
# bench_devices_stop: ends every device's service.
bench_devices_stop() {
  local p
  for p in "${bench_pids[@]}"; do kill "$p" 2>/dev/null || true; wait "$p" 2>/dev/null || true; done
  bench_pids=()
}
