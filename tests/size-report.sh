#!/usr/bin/env bash
# size-report.sh STRIP FILE...: prints the size of each binary once stripped.
set -eu
strip=$1; shift
tmp=$(mktemp -d); trap 'rm -rf "$tmp"' EXIT
printf '%-16s %10s %10s\n' program unstripped stripped
total=0
for f in "$@"; do
  "$strip" -o "$tmp/s" "$f"
  s=$(stat -c %s "$tmp/s"); u=$(stat -c %s "$f")
  total=$((total + s))
  printf '%-16s %10d %10d\n' "$(basename "$f")" "$u" "$s"
done
printf '%-16s %10s %10d\n' total "" "$total"
