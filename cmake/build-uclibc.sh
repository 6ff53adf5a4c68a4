#!/usr/bin/env bash
# build-uclibc.sh OUT [CROSS_PREFIX]: uClibc-ng for the device, from the source
# that Debian's uclibc-source ships, configured for the device:
# 32-bit little-endian MIPS (o32), no FPU (soft float), no threads, no locale,
# no wide characters, and little else than the device programs use. Installed
# into OUT/sysroot (/lib: the loader and libc.so.0; /usr/include, /usr/lib:
# headers, start files, link libraries).
#
# Built once: OUT/sysroot/.built records the source and the configuration it was
# built from, and a second run with the same ones does nothing; a run that starts
# while another builds waits for it (scripts/test starts one early, at low
# priority, and the configure of the uclibc preset finds its result). Takes a
# few minutes on two cores the first time (make -j2; QV_UCLIBC_JOBS=N for N).
set -euo pipefail

out=${1:?usage: build-uclibc.sh OUT [CROSS_PREFIX]}
mkdir -p "$out"
out=$(cd "$out" && pwd)
exec 9>"$out.lock"
flock 9
cross=${2:-mipsel-linux-gnu-}
jobs=${QV_UCLIBC_JOBS:-2}
tarball=$(ls /usr/src/uClibc-ng-*.tar.* 2>/dev/null | sort -V | tail -n 1 || true)
[ -n "$tarball" ] || {
  echo "build-uclibc: no uClibc-ng source in /usr/src (Debian package uclibc-source; scripts/install-deps installs it)" >&2
  exit 1
}
# The kernel's headers of the cross toolchain (linux/, asm/, mtd/).
headers=/usr/${cross%-}/include
[ -r "$headers/linux/version.h" ] || {
  echo "build-uclibc: no kernel headers in $headers (Debian package linux-libc-dev-mipsel-cross)" >&2
  exit 1
}

# The changes to uClibc-ng's MIPS defaults, NAME=VALUE (VALUE "n": off).
settings=(
  ARCH_WANTS_BIG_ENDIAN=n ARCH_BIG_ENDIAN=n ARCH_WANTS_LITTLE_ENDIAN=y ARCH_LITTLE_ENDIAN=y
  UCLIBC_HAS_FPU=n
  "KERNEL_HEADERS=\"$headers\"" "CROSS_COMPILER_PREFIX=\"$cross\""
  'RUNTIME_PREFIX="/"' 'DEVEL_PREFIX="/usr/"' HARDWIRED_ABSPATH=n
  # Not used on the device: a smaller library, a shorter build.
  LDSO_LDD_SUPPORT=n LDSO_CACHE_SUPPORT=n UCLIBC_STATIC_LDCONFIG=n
  UCLIBC_HAS_PROFILING=n UCLIBC_HAS_CRYPT_IMPL=n
  UCLIBC_HAS_SYSLOG=n UCLIBC_HAS_SHADOW=n UCLIBC_HAS_PTY=n
  UCLIBC_HAS_EPOLL=n UCLIBC_HAS_XATTR=n
  UCLIBC_HAS_REGEX=n UCLIBC_HAS_FNMATCH=n UCLIBC_HAS_GLOB=n
)
key=$( (basename "$tarball"; printf '%s\n' "$cross" "${settings[@]}"; cat "$0") | md5sum | cut -c1-16)
if [ "$(cat "$out/sysroot/.built" 2>/dev/null)" = "$key" ]; then
  exit 0
fi

echo "build-uclibc: building $(basename "$tarball") into $out (a few minutes, once)"
start=$SECONDS
rm -rf "$out"
mkdir -p "$out"
tar -xf "$tarball" -C "$out"
src=$(echo "$out"/uClibc-ng-*)
log=$out/build.log
# Archives leave out objects without symbols, which the makefiles find with one
# nm per object, one after another: minutes of a build. One nm over all of them
# (each symbol line named after its object) finds the same objects, in order.
sed -i 's/^\t$(foreach o,$(2),$(if $(shell $(NM) $(1) $(o) | grep .),$(o)))$/\t$(shell $(NM) -A $(1) $(2) 2>\/dev\/null | sed "s\/:.*\/\/" | uniq)/' "$src/Makerules"
grep -qF '$(shell $(NM) -A $(1) $(2)' "$src/Makerules" || { echo "build-uclibc: $src/Makerules is not as expected" >&2; exit 1; }
{
  make -C "$src" ARCH=mips defconfig
  for s in "${settings[@]}"; do
    name=${s%%=*} value=${s#*=}
    sed -i -e "/^$name=/d" -e "/^# $name is not set/d" "$src/.config"
    if [ "$value" = n ]; then
      echo "# $name is not set" >>"$src/.config"
    else
      echo "$name=$value" >>"$src/.config"
    fi
  done
  make -C "$src" ARCH=mips olddefconfig
} >"$log" 2>&1 || { tail -n 30 "$log" >&2; echo "build-uclibc: configuration failed, see $log" >&2; exit 1; }
# The configuration must have kept every setting (a dependency can undo one).
for s in "${settings[@]}"; do
  name=${s%%=*} value=${s#*=}
  if [ "$value" = n ]; then
    grep -qx "$name=y" "$src/.config" && { echo "build-uclibc: $name stayed on" >&2; exit 1; }
  else
    grep -qxF "$name=$value" "$src/.config" || { echo "build-uclibc: $name is not $value" >&2; exit 1; }
  fi
done
make -C "$src" -j"$jobs" ARCH=mips >>"$log" 2>&1 &&
  make -C "$src" ARCH=mips PREFIX="$out/sysroot" install >>"$log" 2>&1 ||
  { tail -n 30 "$log" >&2; echo "build-uclibc: build failed, see $log" >&2; exit 1; }
rm -rf "$src"
echo "$key" >"$out/sysroot/.built"
echo "build-uclibc: built in $((SECONDS - start)) s"
