#!/usr/bin/env bash
# size-report.sh STRIP READELF FILE...: prints the size of each binary once
# stripped, and the ELF properties that must suit the device: the dynamic loader
# it asks for, its floating-point ABI (the device's 24KEc has no FPU: hard-float
# code needs the kernel's FPU emulator) and whether it is position-independent.
set -eu
strip=$1 readelf=$2; shift 2
tmp=$(mktemp -d); trap 'rm -rf "$tmp"' EXIT
printf '%-16s %10s %10s  %-16s %-5s %s\n' program unstripped stripped interpreter pie "float ABI"
total=0
for f in "$@"; do
  "$strip" -o "$tmp/s" "$f"
  s=$(stat -c %s "$tmp/s"); u=$(stat -c %s "$f")
  total=$((total + s))
  interp=$("$readelf" -l "$f" 2>/dev/null | sed -n 's/.*Requesting program interpreter: \(.*\)\]/\1/p')
  case $("$readelf" -h "$f" | sed -n 's/^ *Type: *\([A-Z]*\).*/\1/p') in
    DYN) pie=yes ;;
    *) pie=no ;;
  esac
  if [ -z "$interp" ]; then
    case $f in *.so | *.so.*) interp="(library)" pie=- ;; *) interp="(static)" ;; esac
  fi
  fp=$("$readelf" -A "$f" 2>/dev/null | sed -n 's/^FP ABI: *//p' | head -n 1)
  printf '%-16s %10d %10d  %-16s %-5s %s\n' "$(basename "$f")" "$u" "$s" "$interp" "$pie" "${fp:-unknown}"
done
printf '%-16s %10s %10d\n' total "" "$total"
