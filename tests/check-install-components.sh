#!/usr/bin/env bash
# check-install-components.sh CMAKE BUILD STAGE: installs each component of BUILD
# into a folder of its own under STAGE and fails when one holds what belongs to
# another: the system's programs apart from the platform's stand-ins, the lab's
# module and test programs only in "lab", the module's source in its own, with
# the source of every object its Kbuild names.
set -uo pipefail
cmake=$1 build=$2 stage=$3
rm -rf "$stage"
status=0
files() { (cd "$stage/$1" 2>/dev/null && find . -type f | sed 's|^\.||' | LC_ALL=C sort); }
install() { DESTDIR=$stage/$1 "$cmake" --install "$build" ${2:+--component "$2"} >/dev/null; }
expect() { # NAME TEXT_OF_FILES REGEX [none]: every file (or, with none, no file) matches
  local bad
  if [ "${4:-}" = none ]; then bad=$(grep -E "$3" <<<"$2"); else bad=$(grep -vE "$3" <<<"$2"); fi
  if [ -n "$bad" ] || { [ "${4:-}" != none ] && [ -z "$2" ]; }; then
    echo "FAIL $1: $(echo ${bad:-nothing installed})"; status=1
  else
    echo "ok   $1"
  fi
}
for c in programs platform module-source lab; do install "$c" "$c"; done
install all ""
stand_ins='/(nvram_daemon|nvram|mtd_write|libnvram\.so.*|nvram\.h|nvram_default)$'
expect "programs: the system's programs in /usr/bin" "$(files programs)" '^/usr/bin/[a-z_]+$'
expect "programs: none of the platform's stand-ins" "$(files programs)" "$stand_ins" none
expect "platform: the stand-ins only" "$(files platform)" "$stand_ins"
expect "module-source: qv_vlan's source and Kbuild" "$(files module-source)" '^/usr/share/qv_vlan/src/'
grep -qx /usr/share/qv_vlan/src/Kbuild <<<"$(files module-source)" || { echo "FAIL module-source: no Kbuild"; status=1; }
# Every object that the installed Kbuild names is made from a source installed
# beside it (an object with a NAME-y or NAME-objs line is made of others).
src=$stage/module-source/usr/share/qv_vlan/src
objects=$(sed -n 's/^[^#=]*[:+]\{0,1\}=//p' "$src/Kbuild" 2>/dev/null | tr -s ' \t' '\n\n' | grep '\.o$' | LC_ALL=C sort -u)
sources=
for o in $objects; do
  grep -qE "^${o%.o}-(y|objs)[[:space:]]*[:+]?=" "$src/Kbuild" && continue
  sources+="/usr/share/qv_vlan/src/${o%.o}.c"$'\n'
done
expect "module-source: the sources of every object its Kbuild names" "$(LC_ALL=C comm -23 <(printf '%s' "$sources" | LC_ALL=C sort) <(files module-source))" . none
expect "lab: under /lab and the lab kernel's modules only" "$(files lab)" '^/(lab|lib/modules)/'
expect "default install: nothing of the lab" "$(files all)" '^/(lab|lib/modules)/' none
exit $status
