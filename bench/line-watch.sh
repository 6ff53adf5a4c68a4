#!/usr/bin/env bash
# line-watch.sh [SECONDS] [IMAGE_KIB]: a watching station (mfgstation --watch)
# on a line whose devices come and go as on a real one (testing/sim_line).
#
# A simulated line of 17 fixtures (scripts/link-netns.sh, line_netns_up; MTU
# 1522) brings 24 device arrivals in SECONDS (120 unless told): 7 devices that
# pass and are unplugged after their reboot, 4 that come back after their
# reboot (the station must tell them done and end their service), 3 whose
# power fails as their flash begins and that come back after a power-cycle
# (served again, keeping their number), one with a serial number the line did
# not give and two with one address (both refused). The fixtures are plugged
# in at moments spread over the first 85 % of SECONDS (a fixed seed, so that
# every run sees the same line). Every device gets "connect write-sn @next
# flash IMAGE reboot" with an image of IMAGE_KIB KiB (4096 unless told).
#
# Three parts:
#   1. one station, the ledger in an SQLite file;
#   2. the station's CPU time over a quiet minute with no device present
#      (LINE_WATCH_QUIET_S seconds, 60 unless told), from /proc;
#   3. two stations on two segments, each with the same line as in 1 at the
#      same time, one ledger on a throw-away PostgreSQL server (as
#      bench/line-ledger.sh starts one), and then their quiet minute side by
#      side once every device is gone.
# Figures of each line: arrivals, arrivals missed (a service no station
# connected; target 0), devices flashed twice (target 0), serial numbers on
# two devices or unaccounted for (handed out by the counter but in no row,
# still taken or sent once the station stopped, or on a device that the
# ledger does not have them on; target 0), refusals shown, the time from a
# service's start (its socket bound) to the station's connect (median and
# worst; target: worst under 1.5 s), and the time per device (the station's
# own "passed in" figure, from its connect to its result; median and worst).
# The script fails when a target of 0 is missed. Needs root (network
# namespaces) and, for part 3, the PostgreSQL server programs ($QV_PG_BIN or
# the newest /usr/lib/postgresql/N/bin).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/link-netns.sh
. bench/lib.sh

seconds=${1:-120}
kib=${2:-4096}
quiet=${LINE_WATCH_QUIET_S:-60}
n=17
bin=${QV_BIN_DIR:-build/host/bin}
bin=$(cd "$bin" && pwd)
bench_need line-watch mfglinkd_fg mfgstation make-device-root sim_line nvram
bench_pg_need line-watch

name=qvwatch$$
work=$(mktemp -d /dev/shm/qvwatch-XXXXXX)
pgdir=$(mktemp -d /tmp/qvwatch-pg-XXXXXX)
port=$((20000 + $$ % 20000))
pg_up=
stations=()
cleanup() {
  local p
  for p in "${stations[@]}"; do kill -TERM "$p" 2>/dev/null || true; wait "$p" 2>/dev/null || true; done
  bench_pg_stop "$pgdir"
  line_netns_down "${name}a" "$n"
  line_netns_down "${name}b" "$n"
  rm -rf "$work" "$pgdir"
}
trap cleanup EXIT
failed=0

img=$work/image
head -c $((kib * 1024)) /dev/urandom >"$img"
# The line: slot, the moment it is plugged in, what the device does.
awk -v span="$seconds" 'BEGIN {
  srand(4711)
  split("passes comes-back passes dies-mid-flash passes comes-back foreign passes dies-mid-flash " \
        "shares passes comes-back passes dies-mid-flash passes comes-back", what, " ")
  for (k = 1; k <= 16; ++k) {
    at = (k - 1) * span * 0.85 / 16 + rand() * span * 0.85 / 32
    if (what[k] == "foreign") printf "%d %.2f foreign QVX-%06d\n", k, at, k
    else if (what[k] == "shares") { printf "%d %.2f shares 17\n17 %.2f passes\n", k, at, at }
    else printf "%d %.2f %s\n", k, at, what[k]
  }
}' >"$work/scenario"

now_cpu() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }

# station_start LINE IFACE DB OUT: a watching station on LINE's segment; its pid in $station.
station_start() {
  ip netns exec "$1-st" "$bin/mfgstation" -i "$2" --watch --chunk-size 1514 --db "$3" --sn-pattern "QVW-%06d" \
    --record "$4.jsonl" connect write-sn @next flash "$img" reboot >"$4" 2>&1 &
  station=$!
  stations+=("$station")
  netns_wait_socket "$station"
}

# station_stop PID: SIGTERM, as systemctl stop sends it; its exit status must be 0.
station_stop() {
  local r=0
  kill -TERM "$1"
  wait "$1" || r=$?
  [ "$r" -eq 0 ] || { echo "line-watch: the station ended with status $r" >&2; failed=1; }
}

check() {
  local what=$1 got=$2 want=$3
  printf '  %-60s %s\n' "$what:" "$got"
  [ "$got" = "$want" ] || { echo "line-watch: $what: $got, not $want" >&2; failed=1; }
}

# report LINE PREFIX SIM OUT SQL: the figures of one line. SQL runs a query on
# the ledger (all the line's numbers come from QVW-%06d, the devices' MACs
# start with PREFIX).
report() {
  local line=$1 prefix=$2 sim=$3 out=$4 sql=$5 handed held unheld dup open missing
  grep -E '^(arrivals|missed|flashed_twice|connect_seconds)' "$sim" | sed 's/^/  /'
  check "arrivals missed" "$(awk '/^missed/ { print $2 }' "$sim")" 0
  check "devices flashed twice" "$(awk '/^flashed_twice/ { print $2 }' "$sim")" 0
  handed=$($sql "SELECT next_value - 1 FROM serial_sources WHERE name = 'QVW-%06d'")
  # Every number on a device (the simulated devices' stores) against the ledger.
  held=$(awk -v p="$prefix" '/^slot / && $0 ~ /serial QVW-/ {
           k = $2 + 0; if ($3 == "shares") k = $4 + 0
           match($0, /serial QVW-[0-9]+/); printf "%s:%02x %s\n", p, k, substr($0, RSTART + 7, RLENGTH - 7) }' "$sim")
  dup=$(awk '{ print $2 }' <<<"$held" | sort | uniq -d | wc -l)
  dup=$((dup + $($sql "SELECT COUNT(*) FROM (SELECT serial_written FROM runs WHERE serial_written IS NOT NULL
                      GROUP BY 1 HAVING COUNT(DISTINCT device) > 1) d")))
  check "serial numbers on two devices" "$dup" 0
  unheld=0
  while read -r mac serial; do
    [ -n "$serial" ] || continue
    [ "$($sql "SELECT COUNT(*) FROM serials WHERE serial = '$serial' AND device = '$mac'
               AND state IN ('confirmed', 'recorded')")" = 1 ] || unheld=$((unheld + 1))
  done <<<"$held"
  open=$($sql "SELECT COUNT(*) FROM serials WHERE source = 'QVW-%06d' AND state IN ('taken', 'sent')")
  missing=$((handed - $($sql "SELECT COUNT(*) FROM serials WHERE source = 'QVW-%06d'")))
  check "serial numbers unaccounted for" "$((unheld + open + missing))" 0
  echo "  serial numbers handed out by the ledger's counter: $handed (on this line's devices: $(grep -c . <<<"$held"))"
  echo "  refusals shown: $(grep -cE ': REFUSED \(' "$out" || true) ($(grep -E ': REFUSED \(' "$out" |
    sed -E 's/.*REFUSED \(([^)]*)\).*/\1/' | sort | uniq -c | awk '{ $1 = $1 " x"; print }' | paste -sd, -))"
  echo "  done (came back after their reboot): $(grep -c ': done in ' "$out" || true)"
  grep -E '^[0-9a-f:]{17}: passed in [0-9.]+ s' "$out" | sed -E 's/.*passed in ([0-9.]+) s.*/\1/' >"$out.times"
  echo "  time per device (connect to passed), $(wc -l <"$out.times") devices: median $(median <"$out.times") s," \
    "worst $(sort -g "$out.times" | tail -n 1) s"
  grep -E '^(watched |[0-9]+ runs?: |[0-9]+ done: )' "$out" | sed 's/^/  summary: /' || echo "  summary: none"
}

# quiet_minute PID...: each station's CPU time over $quiet seconds with no device.
quiet_minute() {
  local p before=() i=0
  for p; do before+=("$(now_cpu "$p")"); done
  sleep "$quiet"
  for p; do
    awk -v a="${before[i]}" -v b="$(now_cpu "$p")" -v hz="$(getconf CLK_TCK)" -v s="$quiet" 'BEGIN {
      printf "  station %d: %.2f s of CPU in %d s (%.3f %%)\n", '"$((i + 1))"', (b - a) / hz, s, (b - a) / hz / s * 100 }'
    i=$((i + 1))
  done
}

echo "line-watch: 17 fixtures, 24 arrivals in $seconds s, image $kib KiB, MTU 1522"
sed 's/^/  /' "$work/scenario"

echo "== 1. one station, ledger in SQLite"
line_netns_up "${name}a" "$n" 1522
station_start "${name}a" st0 "$work/a.db" "$work/a.out"
"$bin/sim_line" "${name}a" "$work/scenario" "$work/sim-a" $((seconds + 30)) >"$work/sim-a.out"
station_stop "$station"
report "${name}a" 02:00:00:00:01 "$work/sim-a.out" "$work/a.out" "sqlite3 $work/a.db"

echo "== 2. one station, a quiet minute"
station_start "${name}a" st0 "$work/a.db" "$work/a-quiet.out"
sleep 2
quiet_minute "$station"
station_stop "$station"

echo "== 3. two stations on two segments, ledger on PostgreSQL"
bench_pg_start "$pgdir" "$port"
db="postgresql://ledger@/line?host=$pgdir&port=$port"
pg() { psql -X -q -At -v ON_ERROR_STOP=1 "$db" -c "$1"; }
line_netns_up "${name}b" "$n" 1522 02:00:00:00:02
station_start "${name}a" st0 "$db" "$work/pa.out"
sa=$station
station_start "${name}b" st0 "$db" "$work/pb.out"
sb=$station
"$bin/sim_line" "${name}a" "$work/scenario" "$work/sim-pa" $((seconds + 30)) >"$work/sim-pa.out" &
sim_a=$!
"$bin/sim_line" "${name}b" "$work/scenario" "$work/sim-pb" $((seconds + 30)) >"$work/sim-pb.out"
wait "$sim_a"
# Every device is gone now: the stations watch an empty segment each.
echo "-- the two stations, a quiet minute"
quiet_minute "$sa" "$sb"
station_stop "$sa"
station_stop "$sb"
stations=()
echo "-- station 1 (02:00:00:00:01:KK)"
report "${name}a" 02:00:00:00:01 "$work/sim-pa.out" "$work/pa.out" pg
echo "-- station 2 (02:00:00:00:02:KK)"
report "${name}b" 02:00:00:00:02 "$work/sim-pb.out" "$work/pb.out" pg
exit "$failed"
