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
}
