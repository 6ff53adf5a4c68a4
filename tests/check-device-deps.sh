#!/usr/bin/env bash
# check-device-deps.sh READELF FILE...: fails when a device binary needs a shared
# library other than the C library, the dynamic loader or libnvram.
set -u
readelf=$1; shift
fail=0
for f in "$@"; do
  needed=$("$readelf" -d "$f" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')
  bad=$(printf '%s\n' $needed | grep -v -E '^(libc\.so\.[0-9]+|ld\.so\.[0-9]+|libnvram\.so)$' || true)
  if [ -n "$bad" ]; then
    echo "FAIL $(basename "$f"): needs $needed"
    fail=1
  else
    echo "ok   $(basename "$f"): needs ${needed:-nothing}"
  fi
done
exit $fail
