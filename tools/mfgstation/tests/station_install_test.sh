#!/usr/bin/env bash
# station_install_test.sh unit|package BUILD: what a station PC is set up
# from, as its install rules and CPack make it from the build BUILD.
#   unit     the unit template, installed with the component "station" under
#            a prefix of its own, passes systemd-analyze verify without a word
#            (77: systemd-analyze is not there);
#   package  cpack -G DEB makes the package mfgstation, and dpkg -x puts into
#            an empty folder exactly the program, the unit, the README and the
#            example of the options, none naming the build or source folder;
#            the program runs from there, and the unit starts it there.
set -euo pipefail
mode=$1
build=$(cd "$2" && pwd)
source=$(cd "$(dirname "$0")/../../.." && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "station_install_test: $*" >&2; exit 1; }

case $mode in
unit)
  command -v systemd-analyze >/dev/null || { echo "systemd-analyze is not installed"; exit 77; }
  cmake --install "$build" --component station --prefix "$tmp/usr" >/dev/null
  unit=$tmp/usr/lib/systemd/system/mfgstation-watch@.service
  [ -f "$unit" ] || fail "no unit at $unit"
  grep -qx "ExecStart=$tmp/usr/bin/mfgstation -i %I --watch \$MFGSTATION_OPTIONS" "$unit" ||
    fail "the unit does not start the program where it is installed: $(grep ExecStart "$unit")"
  said=$(systemd-analyze verify "$unit" 2>&1) || fail "systemd-analyze verify: $said"
  [ -z "$said" ] || fail "systemd-analyze verify: $said"
  ;;
package)
  (cd "$tmp" && cpack --config "$build/CPackConfig.cmake" -G DEB -B "$tmp/out" >"$tmp/cpack.log" 2>&1) ||
    fail "cpack: $(cat "$tmp/cpack.log")"
  debs=("$tmp"/out/mfgstation_*.deb)
  [ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "not one package mfgstation_*.deb: $(ls "$tmp/out")"
  [ "$(dpkg-deb -f "${debs[0]}" Package)" = mfgstation ] || fail "package name $(dpkg-deb -f "${debs[0]}" Package)"
  mkdir "$tmp/root"
  dpkg -x "${debs[0]}" "$tmp/root"
  files=$(cd "$tmp/root" && find . -type f | sort)
  expected="./usr/bin/mfgstation
./usr/lib/systemd/system/mfgstation-watch@.service
./usr/share/doc/mfgstation/README.md
./usr/share/doc/mfgstation/examples/watch.conf.example"
  [ "$files" = "$expected" ] || fail "the package holds:"$'\n'"$files"
  cmp -s "$source/tools/mfgstation/README.md" "$tmp/root/usr/share/doc/mfgstation/README.md" ||
    fail "the README is not the station's"
  named=$(grep -rlF -e "$build" -e "$source" "$tmp/root" || true)
  [ -z "$named" ] || fail "files naming the build or source folder: $named"
  ! readelf -d "$tmp/root/usr/bin/mfgstation" | grep -qE 'RPATH|RUNPATH' || fail "the program carries a library path"
  help=$("$tmp/root/usr/bin/mfgstation" --help) || fail "the packaged program does not run"
  grep -q -- "--watch" <<<"$help" || fail "the packaged program's help has no --watch"
  grep -qx 'ExecStart=/usr/bin/mfgstation -i %I --watch $MFGSTATION_OPTIONS' \
    "$tmp/root/usr/lib/systemd/system/mfgstation-watch@.service" || fail "the unit does not start /usr/bin/mfgstation"
  ;;
*) fail "mode unit or package" ;;
esac
