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
# cost). LINE_LEDGER_STATIONS (1 to 4, 4 unless told) runs the first stations
# only. LINE_LEDGER_KILL_MS=MS breaks the stations' connections all through
# every round: every MS ms one psql session (on the server's socket, in the
# database postgres) terminates every backend of the ledger's database; no
# SIGINT then (an interrupted device would hide a failed one), and a device
# that fails counts against the script. Every device run is compared at the
# end: its record line against its run in the ledger (result, exit status,
# number sent), a station's summary against its record lines (counts and the
# devices named), and a number on two devices (a device being a device address
# in one round: every round has fresh devices). Needs root (network namespaces)
# and the PostgreSQL server programs ($QV_PG_BIN or the newest
# /usr/lib/postgresql/N/bin).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/link-netns.sh
. bench/lib.sh

rounds=${1:-6}
kib=${2:-256}
number_rounds=${LINE_LEDGER_NUMBER_ROUNDS:-3}
stations=${LINE_LEDGER_STATIONS:-4}
kill_ms=${LINE_LEDGER_KILL_MS:-}
case $stations in 1 | 2 | 3 | 4) ;; *) echo "line-ledger: LINE_LEDGER_STATIONS is 1, 2, 3 or 4" >&2; exit 2 ;; esac
[[ -z $kill_ms || $kill_ms =~ ^[1-9][0-9]*$ ]] ||
  { echo "line-ledger: LINE_LEDGER_KILL_MS is a number of milliseconds" >&2; exit 2; }
n=8
bin=${QV_BIN_DIR:-build/host/bin}
bench_need line-ledger mfglinkd_fg mfgstation make-device-root
bench_pg_need line-ledger

name=qvled$$
work=$(mktemp -d /dev/shm/qvledger-XXXXXX)
pgdir=$(mktemp -d /tmp/qvledger-pg-XXXXXX)
port=$((20000 + $$ % 20000))
pattern=QVL-%06d
computers=(line-a line-a line-b line-b)
ifaces=(eth1 eth2 eth1 eth2)
pg_up=
killer=
cleanup() {
  killer_stop
  bench_devices_stop
  bench_pg_stop "$pgdir"
  for s in $(seq "$stations"); do line_netns_down "$name$s" "$n"; done
  rm -rf "$work" "$pgdir"
}
trap cleanup EXIT

# The ledger's server.
bench_pg_start "$pgdir" "$port" "${LINE_LEDGER_PG_OPTIONS:-}"
db="postgresql://ledger@/line?host=$pgdir&port=$port"
q() { psql -X -q -At -v ON_ERROR_STOP=1 "$db" -c "$1"; }
# What the stations said in each round, beside the ledger (the stations never
# look into the schema bench): the rounds' times, the record lines, the
# summaries and the devices the summaries name.
q "CREATE SCHEMA bench
   CREATE TABLE rounds (round TEXT PRIMARY KEY, start_ms BIGINT, end_ms BIGINT, kills INTEGER, queries INTEGER)
   CREATE TABLE records (round TEXT, station INTEGER, line JSONB)
   CREATE TABLE summaries (round TEXT, station INTEGER, passed INTEGER, failed INTEGER, interrupted INTEGER)
   CREATE TABLE summary_devices (round TEXT, station INTEGER, device TEXT, result TEXT)"

# killer_start FILE: until killer_stop, every $kill_ms ms one query that
# terminates every backend of the ledger's database, from a session of its own
# in the database postgres; FILE gets how many each terminated, one a line.
killer_start() {
  psql -X -q -At "postgresql://ledger@/postgres?host=$pgdir&port=$port" >"$1" 2>"$1.err" <<EOF &
SELECT COUNT(*) FILTER (WHERE pg_terminate_backend(pid)) FROM pg_stat_activity
  WHERE datname = 'line' AND pid <> pg_backend_pid() \watch $(awk -v ms="$kill_ms" 'BEGIN { print ms / 1000 }')
EOF
  killer=$!
}
# killer_stop: SIGINT ends psql's \watch, and psql with it at the end of its
# input; SIGTERM if it does not.
killer_stop() {
  [ -n "$killer" ] || return 0
  kill -INT "$killer" 2>/dev/null || true
  for _ in $(seq 100); do kill -0 "$killer" 2>/dev/null || break; sleep 0.02; done
  kill -TERM "$killer" 2>/dev/null || true
  wait "$killer" 2>/dev/null || true
  killer=
}

# The lines: station S in $name$S-st on eth1 or eth2.
for s in $(seq "$stations"); do
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
  for s in $(seq "$stations"); do
    for k in $(seq "$n"); do bench_device_start "$name$s-d$k" "$work/s$s-d$k" 4194304; done
  done
  bench_devices_ready
}

now_ms() { date +%s%3N; }

# one_round I STOP COMMAND...: round_time, round_rate, round_numbers,
# round_statuses, round_kills, round_queries; with STOP yes, the stations are
# stopped part-way. The round's record lines and summaries go to the schema
# bench.
one_round() {
  local i=$1 stop=$2 s k args start end st=() before=()
  shift 2
  start_services
  for s in $(seq "$stations"); do before+=("$(cat "$work/s$s.jsonl" 2>/dev/null | wc -l || true)"); done
  start=$(now_ms)
  [ -z "$kill_ms" ] || killer_start "$work/kills-r$i"
  for s in $(seq "$stations"); do
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
              AND s.step = 'write-sn'")" -ge $((stations * n / 2)) ] && break
      sleep 0.02
    done
    for p in "${st[@]}"; do kill -INT "$p" 2>/dev/null || true; done
    sleep 0.3
    for s in 2 4; do [ "$s" -gt "$stations" ] || kill -INT "${st[s - 1]}" 2>/dev/null || true; done
  fi
  round_statuses=
  for p in "${st[@]}"; do
    local r=0
    wait "$p" || r=$?
    round_statuses="$round_statuses $r"
  done
  end=$(now_ms)
  round_kills=0 round_queries=0
  if [ -n "$kill_ms" ]; then
    killer_stop
    read -r round_kills round_queries < <(awk '/^[0-9]+$/ { k += $1; n++ } END { print k + 0, n + 0 }' "$work/kills-r$i")
    [ "$round_queries" -gt 0 ] ||
      { echo "line-ledger: the killer ran no query in round $i:" >&2; cat "$work/kills-r$i.err" >&2; exit 1; }
  fi
  bench_devices_stop
  q "INSERT INTO bench.rounds VALUES ('$i', $start, $end, $round_kills, $round_queries)"
  local out sum devs
  for s in $(seq "$stations"); do
    # A JSON line is one field of CSV whose quote and delimiter never occur.
    { tail -n +$((before[s - 1] + 1)) "$work/s$s.jsonl" 2>/dev/null || true; } |
      psql -X -q -v ON_ERROR_STOP=1 "$db" -c "COPY bench.records (line) FROM STDIN (FORMAT csv, QUOTE E'\\x01', DELIMITER E'\\x02')"
    q "UPDATE bench.records SET round = '$i', station = $s WHERE round IS NULL"
    # "8 devices: 5 passed, 3 failed (3 station problem), 0 interrupted" and a
    # line per device that did not pass: "MAC FAILED (...)", "MAC INTERRUPTED ...".
    out=$work/s$s-r$i.out
    sum=$(grep -E '^[0-9]+ devices?: [0-9]+ passed, [0-9]+ failed' "$out" | tail -n 1 |
      sed -E 's/^[0-9]+ devices?: ([0-9]+) passed, ([0-9]+) failed( \([^)]*\))?(, ([0-9]+) interrupted)?$/\1, \2, 0\5/') || true
    if [ -z "$sum" ]; then
      sum="NULL, NULL, NULL"
      # Why the station served no device (or did not finish): its own words.
      grep '^mfgstation: ' "$out" | head -n 3 | sed "s/^/  round $i station $s: /" >>"$work/no-summary"
    fi
    q "INSERT INTO bench.summaries VALUES ('$i', $s, $sum)"
    devs=$(grep -E '^([0-9a-f]{2}:){5}[0-9a-f]{2} (FAILED|INTERRUPTED)' "$out" |
      awk -v r="$i" -v s="$s" -v t="'" '{ printf "%s(%s%s%s, %d, %s%s%s, %s%s%s)", (NR > 1 ? ", " : ""), t, r, t, s,
                                                t, $1, t, t, ($2 == "FAILED" ? "failed" : "interrupted"), t }') || true
    [ -z "$devs" ] || q "INSERT INTO bench.summary_devices VALUES $devs"
  done
  round_failed=$(q "SELECT COUNT(*) FILTER (WHERE line->>'result' = 'failed') || ' on record' ||
                           COALESCE(' (' || string_agg(DISTINCT line->>'reason', ', ') FILTER (WHERE line->>'result' = 'failed') || ')', '')
                           || ', ' || ($stations * $n - COUNT(DISTINCT line->>'device')) || ' without a record line'
                    FROM bench.records WHERE round = '$i'")
  round_failed="$round_failed, $(q "SELECT COALESCE(SUM(failed), 0) || ' in the summaries' ||
                                           CASE WHEN COUNT(*) > COUNT(failed) THEN ' (' || COUNT(*) - COUNT(failed) || ' missing)'
                                                ELSE '' END
                                    FROM bench.summaries WHERE round = '$i'")"
  round_time=$(awk -v s="$start" -v e="$end" 'BEGIN { printf "%.3f", (e - s) / 1000 }')
  local row
  row=$(q "SELECT COUNT(*), COALESCE(MAX(taken_ms) - MIN(taken_ms), 0) FROM serials WHERE taken_ms >= $start")
  round_numbers=${row%|*}
  round_rate=$(awk -v c="$round_numbers" -v span="${row#*|}" 'BEGIN { printf "%.0f", (span > 0 ? (c - 1) * 1000 / span : 0) }')
}

# With the killer, the ledger is there before the first round, as on a line that
# has used it: a station opens it as it opens it in every later round.
[ -z "$kill_ms" ] || "$bin/mfgstation" --db "$db" --sn-pattern "$pattern" --set-counter 1 >/dev/null
names=("line-a eth1" "line-a eth2" "line-b eth1" "line-b eth2")
words=(one two three four)
# The killer's figures of a round, when it runs.
killed() { [ -z "$kill_ms" ] || printf '  %d backends terminated (%d queries)' "$round_kills" "$round_queries"; }
printf 'line-ledger: %d station%s (%s), %d devices each, one PostgreSQL ledger, %d KiB image, %d rounds, %s\n' \
  "$stations" "$([ "$stations" -gt 1 ] && echo s)" "$(IFS=,; echo "${names[*]:0:stations}" | sed 's/,/, /g')" \
  "$n" "$kib" "$rounds" "$([ -n "$kill_ms" ] && echo "the ledger's backends terminated every $kill_ms ms, no SIGINT" ||
                            echo "SIGINT in every third")"
: >"$work/rates"
: >"$work/number-rates"
: >"$work/no-summary"
for i in $(seq "$rounds"); do
  stop=no
  [ $((i % 3)) -eq 0 ] && [ -z "$kill_ms" ] && stop=yes
  one_round "$i" "$stop" connect write-sn @next flash "$img" reboot quit
  printf 'round %d%-9s %7s s  %3d numbers  %5d numbers/s  exit statuses%s  failed %s%s\n' "$i" \
    "$([ "$stop" = yes ] && echo " (SIGINT)")" "$round_time" "$round_numbers" "$round_rate" "$round_statuses" \
    "$round_failed" "$(killed)"
  echo "$round_rate" >>"$work/rates"
done
# Rounds of numbers alone: the 32 devices all ask for theirs at once.
for i in $(seq "$number_rounds"); do
  one_round "n$i" no connect write-sn @next quit
  printf 'numbers round %d%-1s %7s s  %3d numbers  %5d numbers/s  exit statuses%s  failed %s%s\n' "$i" "" "$round_time" \
    "$round_numbers" "$round_rate" "$round_statuses" "$round_failed" "$(killed)"
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
# A number whose taking was committed but whose answer the broken connection
# lost is taken once more: the first stays void, never sent, with its run.
check "numbers not sent by their run (void never-sent aside)" \
  "$(q "SELECT COUNT(*) FROM serials s LEFT JOIN runs r ON r.id = s.run_id WHERE r.serial_written IS DISTINCT FROM s.serial
         AND (s.state <> 'void' OR s.void_reason NOT LIKE '%never sent%')")" 0
check "runs still running" "$(q "SELECT COUNT(*) FROM runs WHERE result = 'running'")" 0
check "numbers left taken or sent" "$(q "SELECT COUNT(*) FROM serials WHERE state IN ('taken', 'sent')")" 0
check "device runs on record (lines of the ${words[stations - 1]} --record file$([ "$stations" -gt 1 ] && echo s))" \
  "$(cat "$work"/s?.jsonl | wc -l)" "$(q "SELECT COUNT(*) FROM runs")"
# Every device run as its record line and the ledger have it, a run being the
# ledger's in the round it began in; a device is its address in one round.
runs_sql="SELECT b.round, r.* FROM runs r JOIN bench.rounds b ON r.started_ms BETWEEN b.start_ms AND b.end_ms"
pairs_sql="WITH rec AS (SELECT round, line->>'device' AS device, COUNT(*) AS n, MIN(line->>'result') AS result,
                               MIN((line->>'exit_status')::INTEGER) AS exit_status,
                               MIN(line->'serial'->>'written') AS serial
                        FROM bench.records GROUP BY 1, 2),
                 led AS (SELECT round, device, COUNT(*) AS n, MIN(result) AS result, MIN(exit_status) AS exit_status,
                                MIN(serial_written) AS serial
                         FROM ($runs_sql) r GROUP BY 1, 2)
            SELECT round, device, rec.n, rec.result, rec.exit_status, rec.serial,
                   led.n, led.result, led.exit_status, led.serial
            FROM rec FULL JOIN led USING (round, device)
            WHERE rec.n IS DISTINCT FROM 1 OR led.n IS DISTINCT FROM 1 OR rec.result IS DISTINCT FROM led.result
               OR rec.exit_status IS DISTINCT FROM led.exit_status OR rec.serial IS DISTINCT FROM led.serial"
check "device runs whose record line and ledger run disagree" "$(q "SELECT COUNT(*) FROM ($pairs_sql) d")" 0
# A summary against its station's record lines of the round: the counts, and
# the devices it names as failed or interrupted.
summary_sql="WITH rec AS (SELECT round, station, COUNT(*) FILTER (WHERE line->>'result' = 'passed') AS passed,
                                 COUNT(*) FILTER (WHERE line->>'result' = 'failed') AS failed,
                                 COUNT(*) FILTER (WHERE line->>'result' = 'interrupted') AS interrupted,
                                 string_agg(line->>'device' || ' ' || (line->>'result'), ', ' ORDER BY line->>'device')
                                   FILTER (WHERE line->>'result' <> 'passed') AS devices
                          FROM bench.records GROUP BY 1, 2),
                   named AS (SELECT round, station, string_agg(device || ' ' || result, ', ' ORDER BY device) AS devices
                             FROM bench.summary_devices GROUP BY 1, 2),
                   sum AS (SELECT s.*, n.devices FROM bench.summaries s LEFT JOIN named n USING (round, station))
              SELECT round, station, rec.passed, rec.failed, rec.interrupted, rec.devices,
                     sum.passed, sum.failed, sum.interrupted, sum.devices
              FROM rec JOIN sum USING (round, station)
              WHERE (rec.passed, rec.failed, rec.interrupted, rec.devices)
                    IS DISTINCT FROM (sum.passed, sum.failed, sum.interrupted, sum.devices)"
check "summaries that disagree with their record lines" "$(q "SELECT COUNT(*) FROM ($summary_sql) d")" 0
# A station that ends without its summary, or a device without its record
# line: what the station did there is known from the ledger alone.
check "stations that ended without a summary" "$(q "SELECT COUNT(*) FROM bench.summaries WHERE passed IS NULL")" 0
unrecorded=$(q "SELECT $stations * $n * COUNT(*) - (SELECT COUNT(DISTINCT round || ' ' || (line->>'device'))
                                                   FROM bench.records) FROM bench.rounds")
check "devices without a record line" "$unrecorded" 0
check "serial numbers on two devices (records and ledger runs)" \
  "$(q "SELECT COUNT(*) FROM (SELECT serial FROM (
          SELECT round, line->>'device' AS device, line->'serial'->>'written' AS serial FROM bench.records
          UNION SELECT round, line->>'device', line->'serial'->>'read_back' FROM bench.records
          UNION SELECT round, device, serial_written FROM ($runs_sql) r
          UNION SELECT round, device, serial_read FROM ($runs_sql) r) h
        WHERE serial IS NOT NULL GROUP BY serial HAVING COUNT(DISTINCT round || ' ' || device) > 1) d")" 0
all_failed=$(($(q "SELECT COUNT(*) FROM bench.records WHERE line->>'result' = 'failed'") + unrecorded))
if [ -n "$kill_ms" ]; then
  check "devices failed or without a record (server up)" "$all_failed" 0
  echo "  backends terminated in all rounds: $(q "SELECT SUM(kills) || ' (' || SUM(queries) || ' queries, one per ' ||
          ROUND(SUM(end_ms - start_ms)::NUMERIC / SUM(queries), 1) || ' ms)' FROM bench.rounds")"
else
  echo "  devices failed (or without a record): $all_failed"
fi
if [ -s "$work/no-summary" ]; then
  echo "stations that ended without a summary:"
  cat "$work/no-summary"
fi
if [ "$(q "SELECT COUNT(*) FROM ($pairs_sql) d")" != 0 ]; then
  echo "device runs that disagree (round|device|on record: lines|result|exit status|number sent|in the ledger: runs|result|exit status|number sent):"
  q "$pairs_sql ORDER BY 1, 2" | sed 's/^/  /'
fi
if [ "$(q "SELECT COUNT(*) FROM ($summary_sql) d")" != 0 ]; then
  echo "summaries that disagree (round|station|on record: passed|failed|interrupted|devices|in the summary: the same):"
  q "$summary_sql ORDER BY 1, 2" | sed 's/^/  /'
fi
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
