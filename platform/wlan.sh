#!/usr/bin/env bash
# Stand-in of the wireless LAN script: records the call and returns.
. "$(dirname "$(readlink -f "$0")")/standin-lib.sh"
standin_log "$@"
