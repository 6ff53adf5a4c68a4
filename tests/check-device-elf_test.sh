#!/usr/bin/env bash
# check-device-elf_test.sh READELF OBJDUMP SAMPLE_DIR EXPECTATION...: the ELF
# check on samples of this build, against the build's own expectations: the
# plain sample passes; each sample that breaks a property, and the plain one
# held to the opposite loader or PIE choice, fails.
set -uo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
readelf=$1 objdump=$2 dir=$3
shift 3
expect=("$@")
interp=none float= pie=
set -- "${expect[@]}"
while [ $# -gt 0 ]; do
  case $1 in
    --interp) interp=$2 ;;
    --float) float=$2 ;;
    --pie) pie=$2 ;;
  esac
  shift 2
done
other_pie=yes
[ "$pie" = yes ] && other_pie=no
dynamic=no soft=no
[ "$interp" != none ] && dynamic=yes
[ "$float" = soft ] && soft=no_fpu

# sample, expected (ok or FAIL), when the row applies (always, yes = dynamic,
# no_fpu = soft float), extra expectations that replace the build's
rows=(
  "elf_sample ok always"
  "elf_sample_gnu_hash FAIL $dynamic"
  "elf_sample_tls FAIL always"
  "elf_sample_fpu FAIL $soft"
  "elf_sample FAIL always --pie $other_pie"
  "elf_sample FAIL $dynamic --interp /lib/ld-elsewhere.so.1"
)
failed=0 ran=0
for row in "${rows[@]}"; do
  read -r sample want applies extra <<<"$row"
  case $applies in always | yes | no_fpu) ;; *) continue ;; esac
  # shellcheck disable=SC2086
  out=$("$here/check-device-elf.sh" "$readelf" "$objdump" "${expect[@]}" $extra "$dir/$sample" 2>&1)
  rc=$?
  got=ok
  [ $rc -eq 0 ] || got=FAIL
  ran=$((ran + 1))
  if [ "$got" != "$want" ]; then
    echo "FAILED: $sample ${extra:+($extra) }expected $want, got $got: $out"
    failed=1
  else
    echo "ok: $sample ${extra:+($extra) }$got${out:+: $out}"
  fi
done
echo "$ran rows"
exit $failed
