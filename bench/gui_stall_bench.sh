#!/usr/bin/env bash
# How long the window's event loop is kept waiting while the vendor's host
# accepts connections and never answers (a firewall that drops packets, a
# captive portal), and what that does to the recordings. Two builds run side
# by side in the same minutes (the baseline and the candidate), each with
# four slots: two pairs of back-to-back 1-minute shows on a loopback Icecast
# tone. Every request to the vendor's host goes to a loopback server that
# holds the connection open and says nothing.
#
# Each program runs with WAVECRATE_STALL_PROBE set, which makes it write the
# longest stall of its event loop to its log at exit. The clocks are moved
# with libfaketime (monotonic clocks left alone) so that the first start
# minute is about 110 s away at launch. For each file it prints the seconds
# from the start minute to the first sample of the tone (onset) and the
# file's length: a window that waits delays neither when the recording ends
# by itself.
#
#   bench/gui_stall_bench.sh BASELINE-EXE CANDIDATE-EXE
set -euo pipefail
cd "$(dirname "$0")/.."
baseline=$1
candidate=$2
faketime_lib=/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1
[ -r "$faketime_lib" ] || { echo "libfaketime is missing (apt-get install faketime)" >&2; exit 1; }

. scripts/lib/services.sh
. tests/system/lib.sh
work=$(mktemp -d /tmp/wavecrate-stall.XXXXXX)
trap 'stop_started; wavecrate_stop_services; rm -rf "$work"' EXIT
pactl info >/dev/null 2>&1 || wavecrate_start_pulse
start_icecast
feed_tone a.mp3 440
feed_tone b.mp3 660
export QT_QPA_PLATFORM=offscreen QTWEBENGINE_DISABLE_SANDBOX=1

# The silent host: accepts every connection, reads, never answers.
hold_port=$(free_port)
/usr/bin/python3 - "$hold_port" <<'PY' &
import socket, sys, threading, time
s = socket.socket()
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("127.0.0.1", int(sys.argv[1])))
s.listen(64)
held = []
def drain(c):
    try:
        while c.recv(4096):
            pass
    except OSError:
        pass
while True:
    c, _ = s.accept()
    held.append(c)
    threading.Thread(target=drain, args=(c,), daemon=True).start()
PY
SYSTEM_PIDS+=("$!")

now=$(date +%s)
offset=$(( (70 - now % 60) % 60 ))  # fake now ends in :10
fake_now=$(( now + offset ))
first=$(( fake_now - fake_now % 60 + 120 ))
launched=()
: > "$work/files"
for kind in baseline candidate; do
  exe=$baseline
  [ "$kind" = candidate ] && exe=$candidate
  dir=$work/$kind
  mkdir -p "$dir/out"
  copy_program "$exe" "$dir"
  {
    echo "[User]"
    for slot in 1 2 3 4; do
      start=$(( first + ((slot - 1) % 2) * 60 ))
      mount=a.mp3
      [ "$slot" -gt 2 ] && mount=b.mp3
      echo "URL$slot=http://127.0.0.1:$ICECAST_PORT/$mount"
      echo "Check$slot=1"
      echo "StartTime$slot=$(twelve_hour "$start")"
      echo "EndTime$slot=00:01:00"
      echo "ShowName$slot=  Show $slot"
      echo "Daily$slot=1"
      echo "$kind $slot $dir/out/Show $slot-$(date -d "@$start" +%m-%d-%Y).mp3" >> "$work/files"
    done
    echo "[System]"
    echo "SaveFilePath=$dir/out/"
    echo "FileNameFormat=showname-mm-dd-yyyy"
  } > "$PROGRAM_DAT"
  all_proxy=http://127.0.0.1:$hold_port no_proxy=127.0.0.1,localhost WAVECRATE_STALL_PROBE=1 \
    LD_PRELOAD=$faketime_lib FAKETIME="+${offset}s" FAKETIME_DONT_FAKE_MONOTONIC=1 \
    "$PROGRAM" > "$dir/program.log" 2>&1 &
  SYSTEM_PIDS+=("$!")
  launched+=("$!")
done

# Both shows of each pair are over 2 min after the first start; then a few
# seconds for the files to be finished.
sleep_until "$(( first + 120 - offset + 15 ))"
for pid in "${launched[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
for pid in "${launched[@]}"; do
  for _ in $(seq 1 200); do kill -0 "$pid" 2>/dev/null || break; sleep 0.05; done
done

printf '%-10s %4s %8s %8s %8s\n' program slot onset seconds hz
while read -r kind slot file; do
  if [ -f "$file" ]; then
    read -r secs rms hz onset < <(analyse_tone "$file")
  else
    secs=none hz=- onset=-
  fi
  printf '%-10s %4s %8s %8s %8s\n' "$kind" "$slot" "$onset" "$secs" "$hz"
done < "$work/files"
for kind in baseline candidate; do
  echo "$kind: $(grep -h 'longest stall' "$work/$kind"/*.log "$work/$kind/program.log" 2>/dev/null | tail -n 1)"
done
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
