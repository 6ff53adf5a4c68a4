# Sourced by the scripts that boot a real kernel under qemu (the qv_vlan
# real-kernel test, the lab): pieces of a busybox initramfs.

# guest_add_modules MODDIR DEST NAME...: copies the modules NAME (as modprobe
# names them) of the kernel whose /lib/modules/RELEASE is MODDIR, with the
# modules they depend on, into DEST, decompressed, and appends their file
# names to DEST/order, dependencies first: "insmod each line of order" loads
# them all. Returns 1 with a message on standard error when one is missing.
guest_add_modules() {
	local moddir=$1 dest=$2 name rel
	shift 2
	mkdir -p "$dest" || return 1
	local -A done=()
	[ -r "$dest/order" ] && while read -r rel; do done[$rel]=1; done <"$dest/order"
	_guest_add_module() {
		local rel=$1 dep src base
		base=$(basename "$rel")
		base=${base%.xz}; base=${base%.zst}; base=${base%.gz}
		[ -n "${done[$base]:-}" ] && return 0
		done[$base]=1
		for dep in $(awk -F': *' -v m="$rel" '$1 == m { print $2 }' "$moddir/modules.dep"); do
			_guest_add_module "$dep" || return 1
		done
		src=$moddir/$rel
		case $rel in
		*.ko) cp "$src" "$dest/$base" ;;
		*.ko.xz) xz -dc "$src" >"$dest/$base" ;;
		*.ko.zst) zstd -qdc "$src" >"$dest/$base" ;;
		*.ko.gz) gzip -dc "$src" >"$dest/$base" ;;
		*) echo "unknown module file $rel" >&2; return 1 ;;
		esac || { echo "cannot copy module $rel" >&2; return 1; }
		echo "$base" >>"$dest/order"
	}
	for name in "$@"; do
		rel=$(awk -F: -v n="$name" '{ b = $1; sub(/.*\//, "", b); sub(/\.ko.*/, "", b) }
			b == n { print $1; exit }' "$moddir/modules.dep")
		[ -n "$rel" ] || { echo "module $name not found in $moddir/modules.dep" >&2; return 1; }
		_guest_add_module "$rel" || return 1
	done
}

# guest_pack ROOT OUT: the folder ROOT as a gzip'ed newc cpio archive OUT,
# which the kernel unpacks as its initial root file system.
guest_pack() {
	(cd "$1" && find . | LC_ALL=C sort | cpio -o -H newc --quiet -R 0:0 | gzip -1) >"$2"
}
