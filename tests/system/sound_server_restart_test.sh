#!/usr/bin/env bash
# The sound server dies in the middle of a show (kill -9) and is started again
# at once: the program's mix, player and capture come back. The file must hold
# the tone again within 5 s of the restart, at the level it had before (within
# 1 dB: a player that came back twice, or at full volume over a restored
# one, would change it), and be as long as the show. The program runs against
# a PulseAudio of this test's own, so the restart touches nothing else.
set -euo pipefail
exe=$1
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib.sh"
. "$here/../../scripts/lib/services.sh"
work=$(mktemp -d "${WAVECRATE_TEST_TMP:-/tmp}/restart.XXXXXX")
trap 'stop_started; wavecrate_stop_services; rm -rf "$work"' EXIT
mkdir -p "$work/out"
copy_program "$exe" "$work"
history="$PROGRAM-recordings.jsonl"

wavecrate_start_pulse || fail "no PulseAudio of the test's own"
pulse_pid=${WAVECRATE_STARTED_PIDS[0]}
# restart_pulse: the same server again, in the same runtime folder.
restart_pulse() {
  HOME="$HOME_FOR_PULSE" pulseaudio --daemonize=yes --exit-idle-time=-1 --disallow-exit=no \
    --log-target=file:"$XDG_RUNTIME_DIR/pulse.log" -n --load="module-native-protocol-unix" \
    --load="module-null-sink sink_name=speakers sink_properties=device.description=Speakers" \
    --load="module-always-sink" 2>>"$XDG_RUNTIME_DIR/pulse.log" || true
  for _ in $(seq 1 100); do pactl info >/dev/null 2>&1 && break; sleep 0.05; done
  pactl set-default-sink speakers || fail "the restarted PulseAudio does not answer"
  pulse_pid=$(cat "$XDG_RUNTIME_DIR/pulse/pid")
  WAVECRATE_STARTED_PIDS+=("$pulse_pid")
}
isolate_home "$work"

start_icecast
feed_tone restart.mp3 440
write_daily_show "http://127.0.0.1:$ICECAST_PORT/restart.mp3" "08:30:00 AM" "00:01:00" "Other Medical" "$work/out/"

# Started early enough for the player to connect before the minute even on a
# loaded machine (see overlapping_shows_test.sh).
run_program_at "2008-01-05 08:29:35" "$work/program.log"
show_start=$(/usr/bin/python3 -c 'import sys; print(float(sys.argv[1]) + 25)' "$PROGRAM_LAUNCHED")
wait_for_lines "$history" '"event":"started"' 1 60
sleep_until "$(/usr/bin/python3 -c 'import sys; print(float(sys.argv[1]) + 20)' "$show_start")"
kill -9 "$pulse_pid"
wait_gone "$pulse_pid" 10 || fail "PulseAudio did not die"
WAVECRATE_STARTED_PIDS=()  # its PID is free for others now
restart_pulse
back=$(/usr/bin/python3 -c 'import sys, time; print("%.1f" % (time.time() - float(sys.argv[1])))' "$show_start")
echo "sound server killed 20.0 s and back $back s into the show"

wait_for_lines "$history" '"event":"finished"' 1 60
file="$work/out/Other Medical-01-05-2008.mp3"
[ -f "$file" ] || fail "no file: $(ls "$work/out"); $(cat "$history")"
tone_track "$file" 440 > "$work/track"
/usr/bin/python3 - "$here" "$work/track" "$back" <<'PY' || fail "the show did not come back whole: $(cat "$history")"
import sys
sys.path.insert(0, sys.argv[1])
from tonetrack import read, median_level, weak_spans
length, windows = read(sys.argv[2])
back = float(sys.argv[3])
before = median_level(windows, 0, 0.5, 19)
# The server's death must show in the file (sound it held was lost), or the
# test proved nothing.
dip = min(w[1] for w in windows if 19 <= w[0] <= back + 5)
after_windows = [w for w in windows if back + 5 <= w[0] <= length - 0.2]
after = median_level(after_windows, 0)
weak = weak_spans(after_windows, 0, before - 3)
print("%.2f s; tone %.1f dB before the restart, %.1f dB at its lowest around it, %.1f dB from 5 s after it "
      "(weaker than %.1f dB in %s)" % (length, before, dip, after, before - 3, weak or "no window"))
ok = abs(length - 60) <= 1.5 and before > -40 and dip < before - 20 and abs(after - before) <= 1
sys.exit(0 if ok and not weak and len(after_windows) >= 100 else 1)
PY

kill -TERM "$PROGRAM_PID"
wait_gone "$PROGRAM_PID" 20 || fail "the program did not end on SIGTERM"
echo "1 passed, 0 failed"
