#!/usr/bin/env bash
# check-device-elf.sh READELF OBJDUMP [--interp PATH|none] [--float soft|hard]
#                     [--pie yes|no] FILE...
# Fails unless each device binary is one the device's loader and kernel would
# take as this build means it:
#
#   --interp   the dynamic loader a program asks for ("none": linked statically)
#   --float    the floating-point ABI its header claims; with "soft" it also holds
#              no FPU instruction at all (the 24KEc has no FPU: each one would
#              trap into the kernel's emulator, or kill the program where the
#              kernel was built without it)
#   --pie      whether programs are position-independent executables
#
# and always: a dynamically linked file has a SYSV hash table (DT_HASH; the
# device's uClibc loader knows no GNU hash and finds no symbol without it), and
# nothing uses thread-local storage (no PT_TLS, no TLS symbol: the old loader
# has no TLS support). Shared libraries (*.so) are held to all but --interp and
# --pie. One line per broken property; exit 1 if any.
set -euo pipefail
readelf=$1 objdump=$2
shift 2
interp= float= pie=
while [ $# -gt 0 ]; do
  case $1 in
    --interp) interp=$2; shift 2 ;;
    --float) float=$2; shift 2 ;;
    --pie) pie=$2; shift 2 ;;
    --) shift; break ;;
    -*) echo "check-device-elf: unknown option $1" >&2; exit 2 ;;
    *) break ;;
  esac
done
[ $# -gt 0 ] || { echo "check-device-elf: no file to check" >&2; exit 2; }

failed=0
bad() { echo "$(basename "$1"): $2"; failed=1; }

# FPU instructions as objdump names them: the coprocessor 1 loads, stores and
# moves, its branches, and every arithmetic, compare or conversion with a format
# suffix (add.d, c.eq.s, cvt.d.w). jr.hb and jalr.hb are the only integer
# instructions with a dot.
fpu='^([ls][wd]x?c1|[ms][ft]h?c1|[ct]fc1|bc1[ft]l?|[a-z0-9]+(\.[a-z]+)*\.(s|d|ps|w|l))$'

for f in "$@"; do
  if ! headers=$("$readelf" -h -l -d -s --dyn-syms -W "$f" 2>&1); then
    bad "$f" "not an ELF file: $headers"
    continue
  fi
  library=
  case $f in *.so | *.so.*) library=1 ;; esac
  asked=$(sed -n 's/.*Requesting program interpreter: \(.*\)\]$/\1/p' <<<"$headers")
  dynamic=
  grep -q '^Dynamic section' <<<"$headers" && dynamic=1

  if [ -z "$library" ] && [ -n "$interp" ]; then
    want=$interp
    [ "$want" = none ] && want=
    [ "$asked" = "$want" ] || bad "$f" "asks for loader \"${asked:-none}\", not \"${want:-none}\""
  fi
  if [ -z "$library" ] && [ -n "$pie" ]; then
    type=$(sed -n 's/^ *Type: *\([A-Z]*\).*/\1/p' <<<"$headers")
    got=no
    [ "$type" = DYN ] && got=yes
    [ "$got" = "$pie" ] || bad "$f" "position-independent: $got, not $pie (ELF type $type)"
  fi
  if [ -n "$dynamic" ]; then
    grep -qE '\(HASH\)' <<<"$headers" || bad "$f" "no SYSV hash table (DT_HASH): link with --hash-style=sysv"
  fi
  if grep -qE '^ *TLS ' <<<"$headers" || grep -qE ' TLS +(LOCAL|GLOBAL|WEAK) ' <<<"$headers"; then
    bad "$f" "uses thread-local storage"
  fi
  if [ -n "$float" ]; then
    abi=$("$readelf" -A "$f" 2>/dev/null | sed -n 's/^FP ABI: *//p' | head -n 1)
    case $float:$abi in
      soft:Soft\ float*) ;;
      hard:Hard\ float*) ;;
      *) bad "$f" "floating-point ABI \"${abi:-none recorded}\", not $float float" ;;
    esac
    if [ "$float" = soft ]; then
      found=$("$objdump" -d --no-show-raw-insn "$f" |
        LC_ALL=C awk -F'\t' -v fpu="$fpu" 'NF >= 2 { split($2, w, " "); if (w[1] ~ fpu) print w[1] }' |
        sort | uniq -c | awk '{ printf "%s%s x%s", sep, $2, $1; sep = ", " }')
      [ -z "$found" ] || bad "$f" "FPU instructions in soft-float code: $found"
    fi
  fi
done
exit $failed
