#!/usr/bin/env bash
# CPU and memory of the running program while it waits, counted over its
# whole process tree (the program and the web engine's helper processes).
#   bench/idle_bench.sh [build-folder] [seconds] [baseline-program] [rounds]
#
# Three cases, each a fresh copy of the program with a settings file beside
# it (so it runs portable and writes nothing outside its own folder):
#   none     nothing armed;
#   armed    four slots armed (start times hours away), the vendor host
#            unreachable (the build's host does not resolve here);
#   banners  four slots armed, the vendor host answered by a loopback server
#            that both the program's HTTP client (http_proxy) and the web
#            engine (--proxy-server) reach as their proxy, so both banner
#            areas load a page.
# With a baseline program (for example main's, built into another folder)
# every case runs for it too, right before the candidate, and the ratios
# candidate / baseline of the medians over the rounds are printed.
#
# Memory is the proportional set size (PSS, the sum of Pss in
# /proc/<pid>/smaps_rollup over the tree: shared pages are split between the
# processes that share them, so the sum is what the tree really costs); its
# anonymous and shared-memory part (Pss_Anon + Pss_Shmem: the heaps and
# buffers that no other program can share, so it does not move when other
# programs on the machine happen to map the same libraries, as the
# file-backed rest of PSS does); and, for comparison, the sum of RSS (which
# counts a shared page once per process that maps it).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=${1:-build}
seconds=${2:-60}
baseline=${3:-}
rounds=${4:-1}
settle=15  # start-up and banner pages settle first
. scripts/lib/services.sh
. tests/system/lib.sh
work=$(mktemp -d /tmp/wavecrate-idle.XXXXXX)
proxy_pid=""
cleanup() {
  if [ -n "$proxy_pid" ]; then kill "$proxy_pid" 2>/dev/null || true; fi
  wavecrate_stop_services
  rm -rf "$work"
}
trap cleanup EXIT
pactl info >/dev/null 2>&1 || wavecrate_start_pulse
export QT_QPA_PLATFORM=offscreen QTWEBENGINE_DISABLE_SANDBOX=1
hz=$(getconf CLK_TCK)
vendor_host=${WAVECRATE_VENDOR_HOST:-www.wavecrate.example}

tree_pids() {  # PID and all its descendants
  local p=$1 c
  echo "$p"
  for c in $(pgrep -P "$p" || true); do tree_pids "$c"; done
}
tree_ticks() {
  local t=0 p
  for p in $(tree_pids "$1"); do
    [ -r "/proc/$p/stat" ] || continue
    t=$(( t + $(awk '{print $14 + $15}' "/proc/$p/stat" 2>/dev/null || echo 0) ))
  done
  echo "$t"
}
# "pss_kb rss_kb anon_kb" of one process (0 0 0 when it is gone).
proc_mem_kb() {
  awk '/^Pss:/ {p = $2} /^Rss:/ {r = $2} /^Pss_(Anon|Shmem):/ {u += $2} END {print p + 0, r + 0, u + 0}' \
    "/proc/$1/smaps_rollup" 2>/dev/null || echo "0 0 0"
}
# "program_pss_kb web_pss_kb rss_kb anon_kb web_processes" of the tree.
tree_mem() {
  local p pss rss anon prog_pss=0 web_pss=0 rss_sum=0 anon_sum=0 web=0
  for p in $(tree_pids "$1"); do
    read -r pss rss anon < <(proc_mem_kb "$p")
    rss_sum=$(( rss_sum + rss ))
    anon_sum=$(( anon_sum + anon ))
    if [ "$p" = "$1" ]; then
      prog_pss=$pss
    else
      web_pss=$(( web_pss + pss ))
      case "$(cat "/proc/$p/comm" 2>/dev/null)" in QtWebEngine*) web=$(( web + 1 )) ;; esac
    fi
  done
  echo "$prog_pss $web_pss $rss_sum $anon_sum $web"
}

# The loopback server of the playback tests answers as the vendor's host
# behind a proxy: requests arrive with the whole address as their target.
start_vendor_proxy() {
  local dir=$work/proxy
  mkdir -p "$dir"
  cat > "$dir/routes.json" <<JSON
{"routes": [{"prefix": "http://$vendor_host/banner", "content_type": "text/html",
  "body": "<!DOCTYPE html><html><head><title>banner</title><style>body{margin:0;font:bold 20px sans-serif;color:#fff;background:linear-gradient(#1c2c70,#3656db)}div{padding:20px}</style></head><body><div>Talk radio, recorded while you sleep.<svg width='120' height='40'><path d='M0 20 Q15 0 30 20 T60 20 T90 20 T120 20' stroke='#fff' fill='none'/></svg></div></body></html>"}]}
JSON
  : > "$dir/requests.log"
  python3 "$root/tests/support/playback_http_server.py" --routes "$dir/routes.json" --log "$dir/requests.log" \
    > "$dir/port" 2> "$dir/err" &
  proxy_pid=$!
  local i
  for i in $(seq 1 100); do [ -s "$dir/port" ] && break; sleep 0.05; done
  proxy_port=$(head -n 1 "$dir/port")
  [ -n "$proxy_port" ] || { echo "the loopback server did not start: $(cat "$dir/err")" >&2; exit 1; }
  proxy_log=$dir/requests.log
}

# Banner pages the web engine fetched so far (its agent names it).
banner_loads() {
  awk -F'\t' '$2 ~ /\/banner[12]ads\// && /QtWebEngine/ { n++ } END { print n + 0 }' "$proxy_log"
}

armed_settings() {
  local h start n
  h=$(( ( $(date +%H) + 6 ) % 24 ))
  start=$(printf '%02d:00:00 %s' $(( h % 12 == 0 ? 12 : h % 12 )) $([ $h -lt 12 ] && echo AM || echo PM))
  printf '[UserInfo]\nGender=Male\nYearOfBirth=1970-1979\nCountry=United States\nState=Texas\n'
  printf 'PostalCode=12345\nOccupation=Management\n[User]\n'
  for n in 1 2 3 4; do
    printf 'URL%s=http://127.0.0.1:9/slot%s.mp3\nCheck%s=1\nStartTime%s=%s\nEndTime%s=01:00:00\n' \
      "$n" "$n" "$n" "$n" "$start" "$n"
    printf 'ShowName%s=  Other Music\nWeekDay%s=1\nSat%s=1\nSun%s=1\n' "$n" "$n" "$n" "$n"
  done
  printf '[System]\nSaveFilePath=%s/\n' "$work"
}

# measure PROGRAM CASE
#   -> "cpu_s pss_mb program_pss_mb web_pss_mb anon_pss_mb rss_mb web_processes banner_loads"
measure() {
  local program=$1 case=$2 dir
  dir=$(mktemp -d "$work/run.XXXXXX")
  (
    isolate_home "$dir"
    copy_program "$program" "$dir"
    if [ "$case" = none ]; then
      printf '[System]\nSaveFilePath=%s/\n' "$work" > "$PROGRAM_DAT"
    else
      armed_settings > "$PROGRAM_DAT"
    fi
    local before=0
    if [ "$case" = banners ]; then
      export http_proxy="http://127.0.0.1:$proxy_port" no_proxy=127.0.0.1,localhost
      export QTWEBENGINE_CHROMIUM_FLAGS="--proxy-server=http://127.0.0.1:$proxy_port"
      before=$(banner_loads)
    fi
    "$PROGRAM" > "$dir/log" 2>&1 &
    local pid=$!
    sleep "$settle"
    local t0 t1 prog web rss anon count loads=0
    t0=$(tree_ticks "$pid")
    sleep "$seconds"
    t1=$(tree_ticks "$pid")
    read -r prog web rss anon count < <(tree_mem "$pid")
    kill -TERM "$pid"
    wait_gone "$pid" 20 || kill -KILL "$pid" 2>/dev/null || true
    if [ "$case" = banners ]; then loads=$(( $(banner_loads) - before )); fi
    awk -v d=$(( t1 - t0 )) -v hz="$hz" -v p="$prog" -v w="$web" -v u="$anon" -v r="$rss" -v c="$count" \
      -v l="$loads" 'BEGIN { printf "%.2f %.1f %.1f %.1f %.1f %.1f %d %d\n", d / hz, (p + w) / 1024, p / 1024,
                               w / 1024, u / 1024, r / 1024, c, l }'
  )
  rm -rf "$dir"
}

# median VALUES...
median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2) }'; }

start_vendor_proxy
candidate="$build/wavecrate"
programs=(candidate)
[ -n "$baseline" ] && programs=(baseline candidate)
echo "idle over ${seconds} s after ${settle} s, ${rounds} round(s); load average at start: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "| round | program | case | CPU s | PSS tree MB | PSS program MB | PSS web engine MB | PSS anon+shmem MB | RSS sum MB | web-engine processes | banner page loads |"
echo "|---|---|---|---|---|---|---|---|---|---|---|"
declare -A cpu_of pss_of anon_of rss_of
for round in $(seq 1 "$rounds"); do
  for case in none armed banners; do
    for who in "${programs[@]}"; do
      exe=$candidate
      [ "$who" = baseline ] && exe=$baseline
      read -r cpu pss prog web anon rss count loads < <(measure "$exe" "$case")
      echo "| $round | $who | $case | $cpu | $pss | $prog | $web | $anon | $rss | $count | $loads |"
      cpu_of[$who.$case]+=" $cpu"
      pss_of[$who.$case]+=" $pss"
      anon_of[$who.$case]+=" $anon"
      rss_of[$who.$case]+=" $rss"
    done
  done
done
echo "load average at end: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "medians over the rounds:"
for case in none armed banners; do
  for who in "${programs[@]}"; do
    # shellcheck disable=SC2086
    echo "$who $case: CPU $(median ${cpu_of[$who.$case]}) s, PSS $(median ${pss_of[$who.$case]}) MB," \
      "PSS anon+shmem $(median ${anon_of[$who.$case]}) MB, RSS $(median ${rss_of[$who.$case]}) MB"
  done
  if [ -n "$baseline" ]; then
    # shellcheck disable=SC2086
    awk -v c="$case" -v bc="$(median ${cpu_of[baseline.$case]})" -v cc="$(median ${cpu_of[candidate.$case]})" \
      -v bp="$(median ${pss_of[baseline.$case]})" -v cp="$(median ${pss_of[candidate.$case]})" \
      -v bu="$(median ${anon_of[baseline.$case]})" -v cu="$(median ${anon_of[candidate.$case]})" \
      -v br="$(median ${rss_of[baseline.$case]})" -v cr="$(median ${rss_of[candidate.$case]})" \
      'BEGIN { printf "%s: candidate/baseline PSS %.2f, PSS anon+shmem %.2f, RSS %.2f, CPU %s\n", c, cp / bp, cu / bu, cr / br,
               (bc > 0 ? sprintf("%.2f", cc / bc) : "n/a (baseline 0)") }'
  fi
done
