#!/usr/bin/env bash
# Runs the mix benchmark against a private sound server set up as a desktop
# has it (idle sinks suspend), stopped again at the end. Build first:
#   cmake --build build --target mix_bench
#   bench/mix_bench.sh [build-dir] [pulse|pipewire] [--seconds 30] [--starts 7]
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}
server=${2:-pulse}
shift 2 || shift $# || true
. scripts/lib/services.sh
trap 'wavecrate_stop_services; if [ -n "${WAVECRATE_PW_RUNTIME:-}" ]; then rm -rf "$WAVECRATE_PW_RUNTIME"; fi' EXIT
if [ "$server" = pipewire ]; then
  wavecrate_start_pipewire
  pid="${WAVECRATE_PW_PIDS[1]},${WAVECRATE_PW_PIDS[2]},${WAVECRATE_PW_PIDS[3]}"
else
  wavecrate_start_pulse
  pactl load-module module-suspend-on-idle >/dev/null
  pid=$(cat "$XDG_RUNTIME_DIR/pulse/pid")
fi
"$dir/mix_bench" "$pid" "$@"
