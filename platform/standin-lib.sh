# Shared by the shell stand-ins of the platform programs.
standin_root() {
  if [ -z "${QV_DEVICE_ROOT:-}" ]; then
    echo "$(basename "$0"): QV_DEVICE_ROOT is not set (stand-in of the simulated device)" >&2
    exit 1
  fi
  printf '%s\n' "$QV_DEVICE_ROOT"
}
# Appends one line to the device root's platform log: the program's name and its
# arguments, separated by single blanks.
standin_log() {
  local root line
  root=$(standin_root) || exit 1
  line=$(basename "$0")
  for a in "$@"; do line="$line $a"; done
  printf '%s\n' "$line" >> "$root/var/log/platform.log"
  standin_descriptors "$root"
}
# When DIR/var/log/descriptors exists, appends the program's name and what each
# descriptor it was started with refers to, so that a test can see what its
# caller let leak into it (255 is the shell's own, for the script).
standin_descriptors() {
  local root=$1 line fd
  [ -f "$root/var/log/descriptors" ] || return 0
  line=$(basename "$0")
  for fd in /proc/$$/fd/*; do
    case ${fd##*/} in 255) continue ;; esac
    line="$line ${fd##*/}=$(readlink "$fd")"
  done
  printf '%s\n' "$line" >> "$root/var/log/descriptors"
}
