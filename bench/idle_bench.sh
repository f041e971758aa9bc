#!/usr/bin/env bash
# CPU and memory of the running program while it waits, with four slots armed
# (start times hours away) against the same program with nothing armed (the
# baseline, same run, same machine). The whole process tree is counted: the
# program and the web engine's helper processes.
#   bench/idle_bench.sh [build-folder] [seconds]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
seconds=${2:-60}
. scripts/lib/services.sh
trap wavecrate_stop_services EXIT
pactl info >/dev/null 2>&1 || wavecrate_start_pulse
export QT_QPA_PLATFORM=offscreen QTWEBENGINE_DISABLE_SANDBOX=1
hz=$(getconf CLK_TCK)

tree_pids() {  # PID and all its descendants
  local p=$1 c
  echo "$p"
  for c in $(pgrep -P "$p" || true); do tree_pids "$c"; done
}
tree_ticks() {
  local t=0 p
  for p in $(tree_pids "$1"); do
    [ -r "/proc/$p/stat" ] || continue
    t=$(( t + $(awk '{print $14 + $15}' "/proc/$p/stat") ))
  done
  echo "$t"
}
tree_rss_kb() {
  local t=0 p
  for p in $(tree_pids "$1"); do
    [ -r "/proc/$p/status" ] || continue
    t=$(( t + $(awk '/^VmRSS/ {print $2}' "/proc/$p/status") ))
  done
  echo "$t"
}

measure() {  # NAME SETTINGS-TEXT -> prints "cpu_seconds rss_mb"
  local dir
  dir=$(mktemp -d /tmp/wavecrate-idle.XXXXXX)
  cp "$build/wavecrate" "$dir/"
  if [ -n "$2" ]; then printf '%s' "$2" > "$dir/wavecrate.dat"; fi
  "$dir/wavecrate" > "$dir/log" 2>&1 &
  local pid=$!
  sleep 15  # start-up and banner pages settle first
  local t0 t1 rss
  t0=$(tree_ticks "$pid")
  sleep "$seconds"
  t1=$(tree_ticks "$pid")
  rss=$(tree_rss_kb "$pid")
  kill -TERM "$pid"; wait "$pid" 2>/dev/null || true
  rm -rf "$dir"
  awk -v d=$(( t1 - t0 )) -v hz="$hz" -v r="$rss" 'BEGIN { printf "%.2f %.1f\n", d / hz, r / 1024 }'
}

h=$(( ( $(date +%H) + 6 ) % 24 ))
start=$(printf '%02d:00:00 %s' $(( h % 12 == 0 ? 12 : h % 12 )) $([ $h -lt 12 ] && echo AM || echo PM))
armed="[User]
"
for n in 1 2 3 4; do
  armed+="URL$n=http://127.0.0.1:9/slot$n.mp3
Check$n=1
StartTime$n=$start
EndTime$n=01:00:00
ShowName$n=  Other Music
WeekDay$n=1
Sat$n=1
Sun$n=1
"
done
armed+="[System]
SaveFilePath=/tmp/
"
read -r base_cpu base_rss < <(measure baseline "")
read -r armed_cpu armed_rss < <(measure armed "$armed")
echo "idle over ${seconds} s (banners blank: the vendor host does not resolve here)"
echo "baseline, nothing armed: CPU ${base_cpu} s, RSS ${base_rss} MB"
echo "four slots armed:        CPU ${armed_cpu} s, RSS ${armed_rss} MB"
awk -v a="$armed_cpu" -v b="$base_cpu" -v ar="$armed_rss" -v br="$base_rss" -v s="$seconds" \
  'BEGIN { printf "armed/baseline: CPU %.2f, RSS %.2f; armed CPU load %.2f%% of one core\n", (b > 0 ? a / b : 0), ar / br, 100 * a / s }'
