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
