#!/usr/bin/env bash
# line-ledger.sh [ROUNDS] [IMAGE_KIB]: four stations of one line sharing one
# PostgreSQL ledger, stopped with Ctrl-C now and then; afterwards no serial
# number may be on two devices and none may be unaccounted for.
#
# Two station computers ("line-a" and "line-b", each a UTS namespace of its own
# so that the ledger sees their host names), each with two segments on eth1 and
# eth2: four stations, each in a network namespace of its own
# (scripts/link-netns.sh, line_netns_up) with 8 devices (mfglinkd_fg on a fresh
# device root in /dev/shm, as bench/line-gang.sh has them; station S's devices
# at 02:00:00:00:0S:KK). A throw-away PostgreSQL server (initdb and pg_ctl in a
# temporary folder, its socket there too, run as "nobody", with its default
# durable settings) holds the ledger that all four reach with --db.
#
# Every round starts the four stations at once, each on its 8 devices:
# "connect write-sn @next flash IMAGE reboot quit", serial numbers from one
# pattern. Every third round (3, 6, ...) every station gets SIGINT part-way
# through (once 16 of the 32 devices hold their numbers, as the ledger shows),
# and stations 2 and 4 a second SIGINT 0.3 s later. After every round: the numbers taken in it per second, from the
# first to the last taken (the ledger hands them out while 32 devices ask at
# once). At the end, from the ledger: numbers handed out by the counter, in the
# ledger, settled (not taken or sent) on a device, numbers sent to two device
# runs, runs still running, one record line per run; every count must come out
# as it should, or the script fails. Then mfgstation report over the ledger.
# Before the count, LINE_LEDGER_NUMBER_ROUNDS rounds (3 unless told) of
# "connect write-sn @next quit" alone, where nothing but the exchange and the
# ledger stands between the devices and their numbers.
# ROUNDS 6 unless told, IMAGE_KIB 256. LINE_LEDGER_PG_OPTIONS adds server
# options (say "-c synchronous_commit=off", to see what the commits' syncs
# cost). Needs root (network namespaces) and the
# PostgreSQL server programs ($QV_PG_BIN or the newest /usr/lib/postgresql/N/bin).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/link-netns.sh
. bench/lib.sh

rounds=${1:-6}
kib=${2:-256}
number_rounds=${LINE_LEDGER_NUMBER_ROUNDS:-3}
n=8
bin=${QV_BIN_DIR:-build/host/bin}
bench_need line-ledger mfglinkd_fg mfgstation make-device-root
pgbin=${QV_PG_BIN:-$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)}
[ -x "$pgbin/initdb" ] && [ -x "$pgbin/pg_ctl" ] ||
  { echo "line-ledger: the PostgreSQL programs initdb and pg_ctl are missing (QV_PG_BIN names their folder)" >&2; exit 2; }

name=qvled$$
work=$(mktemp -d /dev/shm/qvledger-XXXXXX)
pgdir=$(mktemp -d /tmp/qvledger-pg-XXXXXX)
port=$((20000 + $$ % 20000))
pattern=QVL-%06d
computers=(line-a line-a line-b line-b)
ifaces=(eth1 eth2 eth1 eth2)
pg_up=
cleanup() {
  bench_devices_stop
  [ -n "$pg_up" ] && runuser -u nobody -- "$pgbin/pg_ctl" -D "$pgdir/data" -m fast -w stop >/dev/null 2>&1 || true
  for s in 1 2 3 4; do line_netns_down "$name$s" "$n"; done
  rm -rf "$work" "$pgdir"
}
trap cleanup EXIT

# The ledger's server.
chown nobody "$pgdir"
runuser -u nobody -- "$pgbin/initdb" -D "$pgdir/data" -U ledger --auth=trust -E UTF8 --no-instructions \
  >"$pgdir/initdb.log" 2>&1 || { cat "$pgdir/initdb.log" >&2; exit 1; }
runuser -u nobody -- "$pgbin/pg_ctl" -D "$pgdir/data" -l "$pgdir/server.log" -w -t 30 \
  -o "-p $port -k $pgdir -c listen_addresses= ${LINE_LEDGER_PG_OPTIONS:-}" start >/dev/null ||
  { cat "$pgdir/server.log" >&2; exit 1; }
pg_up=1
psql_ledger() { psql -X -q -At -v ON_ERROR_STOP=1 "postgresql://ledger@/$1?host=$pgdir&port=$port" -c "$2"; }
psql_ledger postgres "CREATE DATABASE line"
db="postgresql://ledger@/line?host=$pgdir&port=$port"
q() { psql_ledger line "$1"; }

# The lines: station S in $name$S-st on eth1 or eth2.
for s in 1 2 3 4; do
  line_netns_up "$name$s" "$n" 1522 "02:00:00:00:0$s"
  ip -n "$name$s-st" link set st0 down
  ip -n "$name$s-st" link set st0 name "${ifaces[s - 1]}"
  ip -n "$name$s-st" link set "${ifaces[s - 1]}" up
  netns_wait_up "$name$s-st" $((n + 3))
done
img=$work/image
head -c $((kib * 1024)) /dev/urandom >"$img"

start_services() {
  local s k
  for s in 1 2 3 4; do
    for k in $(seq "$n"); do bench_device_start "$name$s-d$k" "$work/s$s-d$k" 4194304; done
  done
  bench_devices_ready
}

now_ms() { date +%s%3N; }

# one_round I STOP COMMAND...: round_time, round_rate, round_numbers,
# round_statuses; with STOP yes, the stations are stopped part-way.
one_round() {
  local i=$1 stop=$2 s k args start end st=()
  shift 2
  start_services
  start=$(now_ms)
  for s in 1 2 3 4; do
    args=()
    for k in $(seq "$n"); do args+=(--device "$(printf '02:00:00:00:0%d:%02x' "$s" "$k")"); done
    unshare --uts -- sh -c 'hostname "$0" && exec "$@"' "${computers[s - 1]}" \
      ip netns exec "$name$s-st" "$bin/mfgstation" -i "${ifaces[s - 1]}" -t 2000 --chunk-size 1514 --db "$db" \
      --sn-pattern "$pattern" --record "$work/s$s.jsonl" "${args[@]}" \
      "$@" >"$work/s$s-r$i.out" 2>&1 &
    st+=($!)
  done
  if [ "$stop" = yes ]; then
    # Mid-run: half of the devices hold their numbers, most are flashing.
    for _ in $(seq 1500); do
      [ "$(q "SELECT COUNT(*) FROM steps s JOIN runs r ON r.id = s.run_id WHERE r.started_ms >= $start
              AND s.step = 'write-sn'")" -ge $((2 * n)) ] && break
      sleep 0.02
    done
    for p in "${st[@]}"; do kill -INT "$p" 2>/dev/null || true; done
    sleep 0.3
    kill -INT "${st[1]}" "${st[3]}" 2>/dev/null || true
  fi
  round_statuses=
  for p in "${st[@]}"; do
    local r=0
    wait "$p" || r=$?
    round_statuses="$round_statuses $r"
  done
  end=$(now_ms)
  bench_devices_stop
  round_time=$(awk -v s="$start" -v e="$end" 'BEGIN { printf "%.3f", (e - s) / 1000 }')
  local row
  row=$(q "SELECT COUNT(*), COALESCE(MAX(taken_ms) - MIN(taken_ms), 0) FROM serials WHERE taken_ms >= $start")
  round_numbers=${row%|*}
  round_rate=$(awk -v c="$round_numbers" -v span="${row#*|}" 'BEGIN { printf "%.0f", (span > 0 ? (c - 1) * 1000 / span : 0) }')
}

echo "line-ledger: 4 stations (line-a eth1, line-a eth2, line-b eth1, line-b eth2), $n devices each, one PostgreSQL ledger, $kib KiB image, $rounds rounds, SIGINT in every third"
: >"$work/rates"
: >"$work/number-rates"
for i in $(seq "$rounds"); do
  stop=no
  [ $((i % 3)) -eq 0 ] && stop=yes
  one_round "$i" "$stop" connect write-sn @next flash "$img" reboot quit
  printf 'round %d%-9s %7s s  %3d numbers  %5d numbers/s  exit statuses%s\n' "$i" \
    "$([ "$stop" = yes ] && echo " (SIGINT)")" "$round_time" "$round_numbers" "$round_rate" "$round_statuses"
  echo "$round_rate" >>"$work/rates"
done
# Rounds of numbers alone: the 32 devices all ask for theirs at once.
for i in $(seq "$number_rounds"); do
  one_round "n$i" no connect write-sn @next quit
  printf 'numbers round %d%-1s %7s s  %3d numbers  %5d numbers/s  exit statuses%s\n' "$i" "" "$round_time" \
    "$round_numbers" "$round_rate" "$round_statuses"
  echo "$round_rate" >>"$work/number-rates"
done

failed=0
check() {  # check WHAT GOT WANT
  local mark=ok
  [ "$2" = "$3" ] || { mark="FAILED (want $3)"; failed=1; }
  printf '  %-58s %6s  %s\n' "$1" "$2" "$mark"
}
handed=$(q "SELECT next_value - 1 FROM serial_sources WHERE name = '$pattern'")
in_ledger=$(q "SELECT COUNT(*) FROM serials WHERE source = '$pattern'")
settled=$(q "SELECT COUNT(*) FROM serials WHERE source = '$pattern' AND state IN ('confirmed', 'recorded', 'void')
             AND device IS NOT NULL")
echo "ledger after all rounds:"
check "numbers handed out by the counter" "$handed" "$handed"
check "of them in the ledger" "$in_ledger" "$handed"
check "settled (confirmed, recorded or void) on a device" "$settled" "$handed"
check "numbers unaccounted for" "$((handed - settled))" 0
check "duplicate serial numbers" "$(q "SELECT COUNT(*) FROM (SELECT serial FROM serials GROUP BY serial HAVING COUNT(*) > 1) d")" 0
check "numbers sent to more than one device run" \
  "$(q "SELECT COUNT(*) FROM (SELECT serial_written FROM runs WHERE serial_written IS NOT NULL
         GROUP BY serial_written HAVING COUNT(*) > 1) d")" 0
check "numbers whose run did not send them" \
  "$(q "SELECT COUNT(*) FROM serials s LEFT JOIN runs r ON r.id = s.run_id WHERE r.serial_written IS DISTINCT FROM s.serial")" 0
check "runs still running" "$(q "SELECT COUNT(*) FROM runs WHERE result = 'running'")" 0
check "device runs on record (lines of the four --record files)" "$(cat "$work"/s?.jsonl | wc -l)" \
  "$(q "SELECT COUNT(*) FROM runs")"
echo "runs by result:"
q "SELECT result, COUNT(*) FROM runs GROUP BY result ORDER BY result" | sed 's/|/: /; s/^/  /'
echo "numbers by state:"
q "SELECT state, COALESCE(void_reason, ''), COUNT(*) FROM serials GROUP BY 1, 2 ORDER BY 1, 2" |
  awk -F'|' '{ printf "  %s%s: %s\n", $1, $2 == "" ? "" : " (" $2 ")", $3 }'
echo "median time of a step, ms:"
q "SELECT step, COUNT(*), CAST(percentile_cont(0.5) WITHIN GROUP (ORDER BY duration_ms) AS INTEGER) FROM steps
   GROUP BY step ORDER BY MIN(seq)" | awk -F'|' '{ printf "  %-15s %6d ms (%d steps)\n", $1, $3, $2 }'
awk -v m="$(median <"$work/rates")" -v r="$(median <"$work/number-rates")" 'BEGIN {
  printf "numbers handed out per second, first to last of a round, median of the rounds: %d with the flash, %d alone\n", m, r }'
echo
"$bin/mfgstation" report --db "$db"
exit "$failed"
