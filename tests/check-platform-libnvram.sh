#!/usr/bin/env bash
# check-platform-libnvram.sh SOURCE_DIR WORK_DIR TOOLCHAIN_FILE PREFIX SYSROOT LIBNVRAM NVRAM_H PROGRAM...
#
# Builds the device programs against a "platform" libnvram.so and nvram.h staged in
# WORK_DIR/platform (here copies of our own), as the build would against the
# platform's library: QV_PLATFORM_LIBNVRAM. Fails when the build still builds our
# store, reaches our store's headers, or a program imports from the library more
# than the store's five operations.
set -euo pipefail
src=$1 work=$2 toolchain=$3 prefix=$4 sysroot=$5 lib=$6 header=$7; shift 7
stage=$work/platform build=$work/build
rm -rf "$work"
mkdir -p "$stage/lib" "$stage/include"
cp "$lib" "$stage/lib/libnvram.so"
cp "$header" "$stage/include/nvram.h"

cmake -S "$src" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=MinSizeRel \
  -DQV_TOOLCHAIN_PREFIX="$prefix" -DQV_SYSROOT="$sysroot" \
  -DQV_PLATFORM_LIBNVRAM="$stage/lib/libnvram.so" -DQV_PLATFORM_LIBNVRAM_INCLUDE="$stage/include" >/dev/null

status=0
for t in nvram nvram_daemon nvram_tool; do
  if ninja -C "$build" -t query "$t" >/dev/null 2>&1; then
    echo "FAIL the build still has our $t"
    status=1
  fi
done
cmake --build "$build" -j 2 --target "$@" >/dev/null
if grep -q '/config_store' "$build/compile_commands.json"; then
  echo "FAIL a program compiles against our config_store/ instead of the platform's header"
  status=1
fi
files=()
for p in "$@"; do files+=("$build/bin/$p"); done
"$src/tests/check-device-imports.sh" "${prefix}nm" "$src/tests/device-imports.txt" "${files[@]}" || status=1
for f in "${files[@]}"; do
  if "${prefix}readelf" -d "$f" | grep -q 'NEEDED.*libnvram'; then
    echo "ok   $(basename "$f") links the platform's libnvram.so"
  fi
done
exit $status
