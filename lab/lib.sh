# Sourced by lab/boot, the lab's tests, its benchmark and the demonstration:
# the lab device, an emulated 32-bit little-endian MIPS Malta board (qemu, TCG)
# running Debian's Malta kernel with a root file system made from the device
# build's install tree.
#
#   lab_rootfs BUILD WORK FLASH   WORK/initrd.gz from cmake --install of BUILD
#   lab_flash DIR              the flash's backing files DIR/NAME.img, made
#                              erased unless they exist
#   lab_start WORK DIR [--console]
#                              boots it (network namespace with the tap device
#                              lab0, qemu in the background; --console: its
#                              console on this terminal)
#   lab_wait_ready N           waits for the end of the N-th boot's start-up
#   lab_run COMMAND            runs a command in the guest: its output, its status
#   lab_station ARGS...        mfgstation of the host build on lab0
#   lab_poweroff               powers the guest off and waits for qemu to end
#   lab_stop                   ends qemu if it still runs, removes the namespace
#
# Set before use: LAB_CACHE (lab/fetch's cache), QV_HOST_BIN (the host build's
# bin folder, for mfgstation), LAB_TIME_LIMIT (optional: the longest qemu may
# run, in seconds). lab_rootfs sets LAB_CPU, qemu's CPU model for the build
# (24KEc, the device's, for a soft-float build), which lab_start uses.
# lab_start sets LAB_NS, LAB_CONSOLE (the console log) and LAB_QEMU (qemu's pid).

LAB_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
LAB_TOP=$(cd "$LAB_DIR/.." && pwd)
. "$LAB_TOP/testing/guest-initramfs.sh"
LAB_CACHE=${LAB_CACHE:-$LAB_TOP/build/lab/cache}
QV_HOST_BIN=${QV_HOST_BIN:-$LAB_TOP/build/host/bin}
LAB_NS= LAB_QEMU= LAB_CONSOLE= LAB_CTL_IN= LAB_CTL_OUT= LAB_SEQ=0
LAB_MAC=02:00:00:00:00:01
# Modules of the lab kernel that the start-up loads: the flash's disks and
# block2mtd, the bridge, the network card.
LAB_MODULES=(virtio_pci virtio_blk block2mtd bridge e1000)

lab_say() { echo "lab: $*"; }
lab_die() { echo "lab: $*" >&2; return 1; }

# _lab_cache BUILD NAME: the value of NAME in BUILD's CMake cache.
_lab_cache() {
	sed -n "s/^$2:[A-Z]*=//p" "$1/CMakeCache.txt" 2>/dev/null
}

# The guest's C library and CPU model come from the build BUILD: LAB_LIBDIR (the
# folder of the C library that it links), LAB_C_LIBS (the names of its loader
# and libraries there), LAB_CPU (qemu's CPU model: one without an FPU for a
# soft-float build).
_lab_toolchain() {
	local cc
	cc=$(sed -n 's/^set(CMAKE_C_COMPILER "\(.*\)")$/\1/p' "$1"/CMakeFiles/*/CMakeCCompiler.cmake 2>/dev/null | head -n 1)
	LAB_READELF=$(_lab_cache "$1" CMAKE_READELF)
	LAB_LIBDIR=$(_lab_cache "$1" QV_LAB_LIBDIR)
	LAB_C_LIBS=$(_lab_cache "$1" QV_LAB_C_LIBS | tr ';' ' ')
	LAB_CPU=$(lab_cpu "$1")
	[ -n "$cc" ] && [ -n "$LAB_READELF" ] && [ -n "$LAB_LIBDIR" ] && [ -n "$LAB_CPU" ] ||
		{ lab_die "$1 is not a configured device build (configure it again)"; return 1; }
	LAB_GCC_DIR=$(dirname "$("$cc" -print-libgcc-file-name)")
}

# _lab_needed FILE: the libraries that the ELF file FILE names as needed.
_lab_needed() {
	"$LAB_READELF" -d "$1" 2>/dev/null | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'
}

# lab_cpu BUILD: qemu's CPU model for the build BUILD.
lab_cpu() {
	_lab_cache "$1" QV_LAB_CPU
}

# lab_machine_paths ROOT BUILD: the files under ROOT that name a folder of the
# machine that built BUILD (the checkout, the build folder, the lab's cache, the
# toolchain's sysroot and its compiler's own folder), as a RUNPATH or a compiled-in
# path would. The device has none of them.
lab_machine_paths() {
	local root=$1 p q args=()
	for p in "$LAB_TOP" "$2" "$LAB_CACHE" "$LAB_LIBDIR/.." "$LAB_GCC_DIR"; do
		# As given and in its canonical form (the compiler names its sysroot
		# through "../../..").
		for q in "${p%/..}" "$(cd "$p" 2>/dev/null && pwd -P)"; do
			case $q in /?*) args+=(-e "$q") ;; esac
		done
	done
	grep -rlF "${args[@]}" "$root" | sed "s|^$root||" || true
}

# lab_rootfs BUILD WORK FLASH: the guest's root file system, WORK/initrd.gz,
# for the flash FLASH (lab_flash): what
# cmake --install of BUILD lays out (and its "lab" component of test programs
# under /lab), busybox, the libraries the installed programs need from the
# toolchain, the lab kernel's modules, and lab/guest (the start-up).
lab_rootfs() {
	local build=$1 work=$2 flash=$3 root=$2/root f lib need
	_lab_toolchain "$build" || return 1
	[ -s "$LAB_CACHE/kernel.release" ] || { lab_die "no package cache in $LAB_CACHE: run lab/fetch"; return 1; }
	rm -rf "$root"
	mkdir -p "$root"
	DESTDIR=$root cmake --install "$build" >/dev/null || { lab_die "cmake --install $build failed"; return 1; }
	DESTDIR=$root cmake --install "$build" --component lab >/dev/null || return 1
	[ -r "$root/lib/modules/$(cat "$LAB_CACHE/kernel.release")/extra/qv_vlan.ko" ] || {
		lab_die "the install tree has no qv_vlan.ko for $(cat "$LAB_CACHE/kernel.release") (configure $build again after lab/fetch)"
		return 1
	}
	f=$(lab_machine_paths "$root" "$build")
	[ -z "$f" ] || { lab_die "installed files name a folder of the build machine:" $f; return 1; }

	mkdir -p "$root"/{bin,sbin,usr/bin,usr/sbin,lib,dev,proc,sys,tmp,var,etc,lab/modules}
	cp "$LAB_CACHE/busybox" "$root/bin/busybox"
	# The C library and its loader, as the device has them, and nothing else: the
	# loader that the programs name and those of their libraries that are the C
	# library's. A program that needs another library fails here, as it would
	# on the device. A static build needs neither.
	local f lib missing= elves todo copied=
	elves=$(find "$root" -type f -exec sh -c 'head -c 4 "$1" | grep -q "ELF"' _ {} \; -print)
	todo=$(for f in $elves; do
		"$LAB_READELF" -l "$f" 2>/dev/null | sed -n 's|.*Requesting program interpreter: /lib/\(.*\)\]|\1|p'
		_lab_needed "$f"
	done | sort -u)
	# ... and what those libraries need in turn.
	while set -- $todo && [ $# -gt 0 ]; do
		lib=$1
		shift
		todo=$*
		case " $LAB_C_LIBS " in *" $lib "*) ;; *) continue ;; esac
		case " $copied " in *" $lib "*) continue ;; esac
		[ -r "$LAB_LIBDIR/$lib" ] || { lab_die "$lib is not in $LAB_LIBDIR"; return 1; }
		# A name that is a link to a file of the library stays one.
		f=$(readlink -f "$LAB_LIBDIR/$lib")
		[ -e "$root/lib/${f##*/}" ] || cp "$f" "$root/lib/${f##*/}"
		[ "${f##*/}" = "$lib" ] || ln -sf "${f##*/}" "$root/lib/$lib"
		copied="$copied $lib"
		todo="$todo $(_lab_needed "$f")"
	done
	for f in $elves $(find "$root/lib" -maxdepth 1 -type f); do
		for lib in $(_lab_needed "$f"); do
			[ -e "$root/lib/$lib" ] || [ -e "$root/usr/lib/$lib" ] || missing="$missing ${f#"$root"}:$lib"
		done
	done
	[ -z "$missing" ] || { lab_die "installed programs need libraries the device does not have:$missing"; return 1; }
	guest_add_modules "$LAB_CACHE/modules" "$root/lab/modules" "${LAB_MODULES[@]}" || return 1
	cp -R "$LAB_DIR/guest/." "$root/" || return 1
	cp "$flash/partitions" "$root/lab/partitions" || return 1
	guest_pack "$root" "$work/initrd.gz"
}

# lab_flash DIR [--kernel-size BYTES]: the flash as the device has it (the
# partitions of platform/make-device-root, in its order and sizes), one
# backing file per partition, DIR/NAME.img, and their table DIR/partitions.
# Files that exist are kept: the flash outlives the guest.
lab_flash() {
	local dir=$1 layout
	shift
	mkdir -p "$dir"
	if [ ! -r "$dir/partitions" ]; then
		layout=$(mktemp -d "$dir/layout.XXXXXX")
		"$LAB_TOP/platform/make-device-root" "$layout" "$@" || return 1
		tail -n +2 "$layout/proc/mtd" | while read -r dev size erase name; do
			name=${name#\"}
			name=${name%\"}
			mv "$layout/dev/${dev%:}" "$dir/$name.img"
		done
		cp "$layout/proc/mtd" "$dir/partitions"
		rm -rf "$layout"
	fi
}

# lab_start WORK FLASHDIR [--console]: boots the lab device. Its first serial
# port is the console, written to WORK/console.log (or this terminal with
# --console), its second the control channel (WORK/ctl.in, WORK/ctl.out).
lab_start() {
	local work=$1 flash=$2 mode=${3:-} name drives=() serial slot=18
	command -v qemu-system-mipsel >/dev/null || {
		lab_die "qemu-system-mipsel is not installed (Debian package qemu-system-mips)"
		return 1
	}
	# The Malta board routes interrupts to its four PCI slots, 18 to 21, and
	# to the on-board Ethernet's slot 11: one slot per partition.
	while read -r dev size erase name; do
		name=${name#\"}
		name=${name%\"}
		[ $slot -le 21 ] || { lab_die "more partitions than the board has PCI slots"; return 1; }
		drives+=(-drive "if=none,id=$name,format=raw,file=$flash/$name.img"
			-device "virtio-blk-pci,drive=$name,serial=$name,addr=$(printf '0x%x' $slot)")
		slot=$((slot + 1))
	done < <(tail -n +2 "$flash/partitions")

	LAB_NS=qvlab-$$
	ip netns add "$LAB_NS" || return 1
	ip netns exec "$LAB_NS" sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1
	ip -n "$LAB_NS" tuntap add dev lab0 mode tap || return 1
	ip -n "$LAB_NS" link set lo up
	ip -n "$LAB_NS" link set lab0 up

	LAB_CONSOLE=$work/console.log
	: >"$LAB_CONSOLE"
	rm -f "$work/ctl.in" "$work/ctl.out"
	mkfifo "$work/ctl.in" "$work/ctl.out"
	exec {LAB_CTL_IN}<>"$work/ctl.in" {LAB_CTL_OUT}<>"$work/ctl.out"
	if [ "$mode" = --console ]; then
		serial=(-serial mon:stdio)
	else
		serial=(-chardev "file,id=console,path=$LAB_CONSOLE" -serial chardev:console)
	fi
	# TCG: KVM, where present, may be nested and hang these guests. With
	# LAB_TIME_LIMIT (seconds), qemu ends by itself after that long even if
	# whoever started it was killed.
	# LAB_QEMU_OPTS: more options for qemu, e.g. "-icount shift=0".
	local limit=() more=()
	[ -n "${LAB_TIME_LIMIT:-}" ] && limit=(timeout -k 5 "$LAB_TIME_LIMIT")
	read -r -a more <<<"${LAB_QEMU_OPTS:-}"
	set -- "${limit[@]}" ip netns exec "$LAB_NS" qemu-system-mipsel -M malta -cpu "$LAB_CPU" -m 256 -accel tcg "${more[@]}" \
		-nodefaults -nographic -monitor none "${serial[@]}" \
		-chardev "pipe,id=control,path=$work/ctl" -serial chardev:control \
		-kernel "$LAB_CACHE/vmlinuz" -initrd "$work/initrd.gz" \
		-append "console=ttyS0,115200 quiet" \
		-netdev tap,id=lan,ifname=lab0,script=no,downscript=no \
		-device "e1000,netdev=lan,mac=$LAB_MAC,addr=0x0b" "${drives[@]}"
	# In the background either way, so that lab_stop can end it.
	if [ "$mode" = --console ]; then
		"$@" <&0 &
	else
		"$@" </dev/null >"$work/qemu.log" 2>&1 &
	fi
	LAB_QEMU=$!
}

# lab_wait_ready N [SECONDS]: waits until the console shows the N-th "lab:
# ready" and the control channel of that boot answers. Prints the start-up's
# "lab:" lines of that boot.
lab_wait_ready() {
	local n=$1 limit=${2:-120} start=$SECONDS line
	while [ "$(grep -c '^lab: ready' "$LAB_CONSOLE")" -lt "$n" ]; do
		if ! kill -0 "$LAB_QEMU" 2>/dev/null; then
			lab_die "qemu ended before boot $n was ready"
			return 1
		fi
		if [ $((SECONDS - start)) -ge "$limit" ]; then
			lab_die "boot $n not ready after $limit s"
			return 1
		fi
		sleep 0.2
	done
	while IFS= read -r -t $((limit - SECONDS + start + 1)) -u "$LAB_CTL_OUT" line; do
		[ "${line%$'\r'}" = QV_CONTROL_READY ] && return 0
	done
	lab_die "the control channel of boot $n did not answer"
}

# lab_run COMMAND [SECONDS]: runs COMMAND (one line of shell) in the guest
# and prints its output; the status is the command's, 124 on a time-out.
lab_run() {
	local cmd=$1 limit=${2:-60} line id deadline
	LAB_SEQ=$((LAB_SEQ + 1))
	id=$LAB_SEQ
	deadline=$((SECONDS + limit))
	# Encoded, so that quotes and newlines reach the guest's shell as written.
	printf '%s %s\n' "$id" "$(printf '%s' "$cmd" | base64 -w 0)" >&"$LAB_CTL_IN"
	while [ $SECONDS -lt $deadline ] &&
		IFS= read -r -t $((deadline - SECONDS)) -u "$LAB_CTL_OUT" line; do
		if [[ $line =~ ^(.*)QV_RC\ $id\ ([0-9]+)$ ]]; then
			[ -n "${BASH_REMATCH[1]}" ] && printf '%s\n' "${BASH_REMATCH[1]}"
			return "${BASH_REMATCH[2]}"
		fi
		[[ $line =~ QV_RC\ [0-9]+\ [0-9]+$ ]] || printf '%s\n' "$line"
	done
	echo "lab: no answer to \"$cmd\" within $limit s" >&2
	return 124
}

# lab_station ARGS...: the host's mfgstation on the tap device. An emulated
# guest on a busy host may answer seconds late: a reply is waited for 10 s.
lab_station() {
	ip netns exec "$LAB_NS" "$QV_HOST_BIN/mfgstation" -i lab0 -t 10000 "$@"
}

# lab_poweroff [SECONDS]: powers the guest off and waits for qemu to end.
lab_poweroff() {
	local limit=${1:-60} start=$SECONDS
	printf '0 %s\n' "$(printf poweroff | base64)" >&"$LAB_CTL_IN"
	while kill -0 "$LAB_QEMU" 2>/dev/null; do
		if [ $((SECONDS - start)) -ge "$limit" ]; then
			lab_die "the guest did not power off within $limit s"
			return 1
		fi
		sleep 0.2
	done
	wait "$LAB_QEMU" 2>/dev/null
	LAB_QEMU=
}

lab_stop() {
	if [ -n "$LAB_QEMU" ] && kill -0 "$LAB_QEMU" 2>/dev/null; then
		kill "$LAB_QEMU" 2>/dev/null
		wait "$LAB_QEMU" 2>/dev/null
	fi
	LAB_QEMU=
	[ -n "$LAB_CTL_IN" ] && exec {LAB_CTL_IN}>&- {LAB_CTL_OUT}<&-
	LAB_CTL_IN= LAB_CTL_OUT=
	[ -n "$LAB_NS" ] && ip netns del "$LAB_NS" 2>/dev/null
	LAB_NS=
	return 0
}
