#!/usr/bin/env bash
# check-device-imports.sh NM ALLOWLIST FILE...: fails when a device binary imports
# a function or object (an undefined dynamic symbol) that the allowlist does not
# name. Symbol versions (@GLIBC_2.0) are the build library's and are ignored.
set -u
nm=$1 allow=$2; shift 2
words=$(sed 's/#.*//' "$allow" | tr -s ' \t' '\n\n' | sed '/^$/d')
allowed=$(sed 's/?.*//' <<<"$words" | LC_ALL=C sort -u)
optional=$(grep '?' <<<"$words" || true)
fail=0
for f in "$@"; do
  imports=$("$nm" -D --undefined-only "$f" | awk '{print $NF}' | sed 's/@.*//' | LC_ALL=C sort -u)
  bad=$(LC_ALL=C comm -23 <(echo "$imports" | sed '/^$/d') <(echo "$allowed") | tr '\n' ' ')
  if [ -n "$bad" ]; then
    echo "FAIL $(basename "$f"): imports $bad"
    fail=1
  else
    needs=
    for o in $optional; do
      if grep -qx "${o%%\?*}" <<<"$imports"; then needs+=" ${o#*\?} (${o%%\?*})"; fi
    done
    echo "ok   $(basename "$f"): $(echo "$imports" | sed '/^$/d' | wc -l) imports${needs:+; needs a uClibc with$needs}"
  fi
done
exit $fail
