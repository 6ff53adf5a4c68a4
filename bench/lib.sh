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

# The throw-away PostgreSQL server of a line benchmark, owned by nobody.
# bench_pg_need NAME: its programs, from $QV_PG_BIN or the newest
# /usr/lib/postgresql/N/bin (in pgbin), or NAME's message and exit 2.
bench_pg_need() {
  pgbin=${QV_PG_BIN:-$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)}
  [ -x "$pgbin/initdb" ] && [ -x "$pgbin/pg_ctl" ] ||
    { echo "$1: the PostgreSQL programs initdb and pg_ctl are missing (QV_PG_BIN names their folder)" >&2; exit 2; }
}
# bench_pg_start DIR PORT [SERVER_OPTIONS]: a server in the empty folder DIR,
# its socket there and on no network, its trusted user ledger and the
# database line; sets pg_up.
bench_pg_start() {
  chown nobody "$1"
  runuser -u nobody -- "$pgbin/initdb" -D "$1/data" -U ledger --auth=trust -E UTF8 --no-instructions \
    >"$1/initdb.log" 2>&1 || { cat "$1/initdb.log" >&2; exit 1; }
  runuser -u nobody -- "$pgbin/pg_ctl" -D "$1/data" -l "$1/server.log" -w -t 30 \
    -o "-p $2 -k $1 -c listen_addresses= ${3:-}" start >/dev/null || { cat "$1/server.log" >&2; exit 1; }
  pg_up=1
  psql -X -q -v ON_ERROR_STOP=1 "postgresql://ledger@/postgres?host=$1&port=$2" -c "CREATE DATABASE line"
}
# bench_pg_stop DIR: the server of DIR stopped, if it was started.
bench_pg_stop() {
  [ -z "${pg_up:-}" ] || runuser -u nobody -- "$pgbin/pg_ctl" -D "$1/data" -m fast -w stop >/dev/null 2>&1 || true
}
