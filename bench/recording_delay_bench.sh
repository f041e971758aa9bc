#!/usr/bin/env bash
# How soon a scheduled recording holds the stream, and how soon after its end
# minute its file is finished: the real program, a private PulseAudio and an
# Icecast tone on 127.0.0.1. Two builds run side by side in the same minutes
# (the baseline and the candidate), each with three 1-minute slots two
# minutes apart; every round is one launch of each.
#
# The programs' clocks are moved by a whole number of seconds with libfaketime
# (FAKETIME="+Ns", monotonic clocks left alone, so GStreamer, PulseAudio and
# Qt's timers run on real time) so that the first start minute is 110 s away
# at launch: start-up (the web engine, and the banner and user-details
# lookups, which block the window while the vendor's host does not resolve)
# takes many seconds on a loaded machine and is not what is measured here.
# For each file it prints:
#   start: seconds from the start minute to the first sample of the stream's
#          sound in the file (the file's timeline begins with the capture,
#          within milliseconds of the start minute);
#   end:   seconds from the end minute to the file's exact header on disk.
#
#   bench/recording_delay_bench.sh BASELINE-EXE CANDIDATE-EXE [rounds]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
baseline=$1
candidate=$2
rounds=${3:-2}
faketime_lib=/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1
[ -r "$faketime_lib" ] || { echo "libfaketime is missing (apt-get install faketime)" >&2; exit 1; }

. scripts/lib/services.sh
. tests/system/lib.sh
work=$(mktemp -d /tmp/wavecrate-delay.XXXXXX)
trap 'stop_started; wavecrate_stop_services; rm -rf "$work"' EXIT
pactl info >/dev/null 2>&1 || wavecrate_start_pulse
start_icecast
feed_tone tone.mp3 440
export QT_QPA_PLATFORM=offscreen QTWEBENGINE_DISABLE_SANDBOX=1

# watch_headers END_REAL FILE...: prints "FILE seconds" once each file's RIFF
# header is exact, counted from the real instant END_REAL (given per file as
# FILE=END_REAL).
watch_headers() {
  /usr/bin/python3 - "$@" <<'PY'
import os, struct, sys, time
pending = {}
for arg in sys.argv[1:]:
    f, end = arg.rsplit("=", 1)
    pending[f] = float(end)
def exact(p):
    try:
        with open(p, "rb") as h:
            b = h.read(80)
        size = os.path.getsize(p)
    except OSError:
        return False
    if len(b) < 58 or b[0:4] != b"RIFF": return False
    f = struct.unpack("<I", b[16:20])[0]
    if b[20 + f:24 + f] != b"data": return False
    riff = struct.unpack("<I", b[4:8])[0]
    data = struct.unpack("<I", b[24 + f:28 + f])[0]
    return riff == size - 8 and data == size - 28 - f
deadline = max(pending.values()) + 30
while pending and time.time() < deadline:
    now = time.time()
    for f in list(pending):
        if now >= pending[f] - 1 and exact(f):
            print(f, "%.3f" % (now - pending[f]), flush=True)
            del pending[f]
    time.sleep(0.005)
for f in pending:
    print(f, "none", flush=True)
PY
}

results=$work/results
: > "$results"
for round in $(seq 1 "$rounds"); do
  now=$(date +%s)
  offset=$(( (70 - now % 60) % 60 ))  # fake now ends in :10
  fake_now=$(( now + offset ))
  first=$(( fake_now - fake_now % 60 + 120 ))
  watch_args=()
  launched=()
  for kind in baseline candidate; do
    exe=$baseline
    [ "$kind" = candidate ] && exe=$candidate
    dir=$work/$kind-$round
    mkdir -p "$dir/out"
    copy_program "$exe" "$dir"
    {
      echo "[User]"
      for slot in 1 2 3; do
        start=$(( first + (slot - 1) * 120 ))
        echo "URL$slot=http://127.0.0.1:$ICECAST_PORT/tone.mp3"
        echo "Check$slot=1"
        echo "StartTime$slot=$(twelve_hour "$start")"
        echo "EndTime$slot=00:01:00"
        echo "ShowName$slot=  Show $slot"
        echo "Daily$slot=1"
      done
      echo "[System]"
      echo "SaveFilePath=$dir/out/"
      echo "FileNameFormat=showname-mm-dd-yyyy"
    } > "$PROGRAM_DAT"
    LD_PRELOAD=$faketime_lib FAKETIME="+${offset}s" FAKETIME_DONT_FAKE_MONOTONIC=1 \
      "$PROGRAM" > "$dir/program.log" 2>&1 &
    SYSTEM_PIDS+=("$!")
    launched+=("$!")
    for slot in 1 2 3; do
      start=$(( first + (slot - 1) * 120 ))
      file="$dir/out/Show $slot-$(date -d "@$start" +%m-%d-%Y).mp3"
      watch_args+=("$file=$(( start + 60 - offset ))")
      echo "$kind $round $slot $file" >> "$work/files"
    done
  done
  watch_headers "${watch_args[@]}" >> "$results"
  for pid in "${launched[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${launched[@]}"; do
    for _ in $(seq 1 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.05; done
  done
done

printf '%-10s %5s %4s %8s %8s %8s %8s\n' program round slot start end seconds hz
while read -r kind round slot file; do
  end=$(grep -F "$file " "$results" | awk '{print $NF}')
  read -r secs rms hz onset < <(analyse_tone "$file")
  printf '%-10s %5s %4s %8s %8s %8s %8s\n' "$kind" "$round" "$slot" "$onset" "$end" "$secs" "$hz"
done < "$work/files"
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
