#!/usr/bin/env bash
# Runs the capture benchmark against a private PulseAudio (stopped again at
# the end). Build first, e.g.:
#   cmake --build build --target capture_bench
#   bench/capture_bench.sh [build-dir] [--seconds 60] [--trials 10] [--sweep]
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}
shift || true
. scripts/lib/services.sh
trap wavecrate_stop_services EXIT
wavecrate_start_pulse
"$dir/capture_bench" "$@"
