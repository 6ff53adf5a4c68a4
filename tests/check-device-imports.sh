#!/usr/bin/env bash
# check-device-imports.sh NM ALLOWLIST FILE...: fails when a device binary imports
# a function or object (an undefined dynamic symbol) that the allowlist does not
# name. Symbol versions (@GLIBC_2.0) are the build library's and are ignored.
set -u
nm=$1 allow=$2; shift 2
allowed=$(sed 's/#.*//' "$allow" | tr -s ' \t' '\n\n' | sed '/^$/d' | LC_ALL=C sort -u)
fail=0
for f in "$@"; do
  imports=$("$nm" -D --undefined-only "$f" | awk '{print $NF}' | sed 's/@.*//' | LC_ALL=C sort -u)
  bad=$(LC_ALL=C comm -23 <(echo "$imports" | sed '/^$/d') <(echo "$allowed") | tr '\n' ' ')
  if [ -n "$bad" ]; then
    echo "FAIL $(basename "$f"): imports $bad"
    fail=1
  else
    echo "ok   $(basename "$f"): $(echo "$imports" | sed '/^$/d' | wc -l) imports"
  fi
done
exit $fail
