#!/usr/bin/env bash
# fetch_test.sh: lab/fetch against stand-ins of apt-get, apt-cache and dpkg, for
# what the archive can do to it: package lists that name files the archive has
# dropped (a 404 on download), and no archive at all with no cache.
set -uo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/bin"
# The stand-ins log their calls to $work/calls. $work/lists holds the release
# that the package lists name ("" when there are none); $work/online says that
# apt-get update reaches the archive, which then offers 6.1.0-60.
cat >"$work/bin/dpkg" <<'S'
#!/bin/sh
[ "$1" = --print-foreign-architectures ] && echo mipsel
S
cat >"$work/bin/apt-cache" <<'S'
#!/bin/sh
r=$(cat "$FAKE/lists")
[ -n "$r" ] && echo "  Depends: linux-image-$r-4kc-malta"
exit 0
S
# Like the real one, apt-get update without the archive only warns and exits 0,
# unless told --error-on=any.
cat >"$work/bin/apt-get" <<'S'
#!/bin/sh
strict=
for a; do case $a in update|download) cmd=$a ;; linux-image-*) pkg=$a ;; --error-on=any) strict=1 ;; esac; done
echo "$cmd${pkg:+ $pkg}" >>"$FAKE/calls"
case $cmd in
  update) if [ ! -e "$FAKE/online" ]; then
            echo "W: Failed to fetch http://deb.example/dists/bookworm/InRelease  Temporary failure resolving 'deb.example'" >&2
            [ -z "$strict" ] || { echo "E: Some index files failed to download. They have been ignored, or old ones used instead." >&2; exit 100; }
            echo "W: Some index files failed to download. They have been ignored, or old ones used instead." >&2
            exit 0
          fi
          echo 6.1.0-60 >"$FAKE/lists" ;;
  download) echo "E: 404 Not Found" >&2; exit 100 ;;
esac
S
chmod +x "$work/bin"/*
export FAKE=$work PATH=$work/bin:$PATH
status=0
check() { # NAME EXPECTED_CALLS MESSAGE
  local calls
  calls=$(tr '\n' ';' <"$work/calls" 2>/dev/null)
  if [ "$calls" = "$2" ] && grep -qF -- "$3" "$work/err"; then
    echo "ok   $1"
  else
    echo "FAIL $1: calls \"$calls\", wanted \"$2\"; said:"; sed 's/^/  /' "$work/err"
    status=1
  fi
}

# Stale lists: the release they name is gone; one apt-get update, then the
# archive's release is asked for.
rm -f "$work/calls"; echo 6.1.0-57 >"$work/lists"; touch "$work/online"
"$here/../fetch" "$work/cache" >/dev/null 2>"$work/err"
check "stale package lists are refreshed once" \
  "download linux-image-6.1.0-57-4kc-malta:mipsel;update;download linux-image-6.1.0-60-4kc-malta:mipsel;" \
  "apt-get download failed after apt-get update"

# Offline, no lists and no cache: says that the archive cannot be reached.
rm -f "$work/calls" "$work/online"; : >"$work/lists"
"$here/../fetch" "$work/cache" >/dev/null 2>"$work/err"
check "offline without a cache says why" "update;" "the archive cannot be reached"
exit $status
