#!/usr/bin/env bash
# check-install-tree.sh CMAKE BUILD STAGE CHECK [ARG...]: installs BUILD's default
# component into STAGE, as it would go onto the device, and runs CHECK ARG...
# over every program and shared library in it: whatever the install tree puts on
# the device is checked, registered as a device program or not.
set -euo pipefail
cmake=$1 build=$2 stage=$3; shift 3
rm -rf "$stage"
DESTDIR=$stage "$cmake" --install "$build" >/dev/null
files=()
while IFS= read -r f; do
  # Executables and shared objects (ET_EXEC, ET_DYN); not kernel modules.
  case $(od -An -tx1 -j16 -N1 "$f" | tr -d ' ') in 02 | 03) files+=("$f") ;; esac
done < <(find "$stage" -type f -exec sh -c 'head -c 4 "$1" | grep -q ELF' _ {} \; -print | LC_ALL=C sort)
# The device's start-up PATH and its libraries' folders: a program elsewhere
# (/usr/local/bin under CMake's default prefix) is "not found" there.
misplaced=
for f in "${files[@]}"; do
  case ${f#"$stage"} in /bin/* | /sbin/* | /usr/bin/* | /usr/sbin/* | /lib/* | /usr/lib/*) ;; *) misplaced+=" ${f#"$stage"}" ;; esac
done
if [ -n "$misplaced" ]; then
  echo "FAIL installed outside the device's PATH and library folders (CMAKE_INSTALL_PREFIX /usr):$misplaced" >&2
  exit 1
fi
if [ ${#files[@]} -eq 0 ]; then
  echo "FAIL the install tree in $stage holds no program" >&2
  exit 1
fi
exec "$@" "${files[@]}"
