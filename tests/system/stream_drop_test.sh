#!/usr/bin/env bash
# Everything that can happen to a stream around and during a show, in one
# 2-minute show:
# - the stream is not there at the start minute (its mount answers 404, as
#   while a station restarts its encoder on the hour) and comes up 30 s in:
#   the show is recorded from then on, not opened as a web page;
# - it drops for 20 s in the middle (the source ends, the mount answers 404)
#   and comes back;
# - the sound server dies (kill -9) and is started again at once: the
#   program's mix, player and capture come back.
# After each return the file must hold the tone again within 5 s, at the level
# it had (within 1 dB: a second player left over from a retry, or one that
# came back twice, would change it), and the file must be as long as the show.
# The program runs against a PulseAudio of this test's own, so the restart
# touches nothing else.
set -euo pipefail
exe=$1
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib.sh"
. "$here/../../scripts/lib/services.sh"
work=$(mktemp -d "${WAVECRATE_TEST_TMP:-/tmp}/drop.XXXXXX")
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
write_daily_show "http://127.0.0.1:$ICECAST_PORT/drop.mp3" "08:30:00 AM" "00:02:00" "Other Sports" "$work/out/"

# Started early enough for the player to try the link before the minute even
# on a loaded machine (see overlapping_shows_test.sh).
run_program_at "2008-01-05 08:29:35" "$work/program.log"
show_start=$(/usr/bin/python3 -c 'import sys; print(float(sys.argv[1]) + 25)' "$PROGRAM_LAUNCHED")
at() { /usr/bin/python3 -c 'import sys; print("%.3f" % (float(sys.argv[1]) + float(sys.argv[2])))' "$show_start" "$1"; }
since() { /usr/bin/python3 -c 'import sys, time; print("%.2f" % (time.time() - float(sys.argv[1])))' "$show_start"; }
wait_for_lines "$history" '"event":"started"' 1 60
sleep_until "$(at 30)"
feed_tone drop.mp3 660
up=$(since)
sleep_until "$(at 55)"
dropped=$(since)
kill "$FEED_PID"
wait "$FEED_PID" 2>/dev/null || true
sleep_until "$(at 75)"
feed_tone drop.mp3 660
back=$(since)
sleep_until "$(at 95)"
killed=$(since)
kill -9 "$pulse_pid"
wait_gone "$pulse_pid" 10 || fail "PulseAudio did not die"
WAVECRATE_STARTED_PIDS=()  # its PID is free for others now
restart_pulse
restarted=$(since)
echo "stream up $up s, dropped $dropped s, back $back s, sound server killed $killed s and back $restarted s into the show"

wait_for_lines "$history" '"event":"finished"' 1 90
file="$work/out/Other Sports-01-05-2008.mp3"
[ -f "$file" ] || fail "no file: $(ls "$work/out"); $(cat "$history")"
grep -q '"result":"recorded"' "$history" || fail "not recorded as a whole show: $(cat "$history")"
grep -q 'is a web page' "$work/program.log" && fail "the link went to the page browser: $(cat "$work/program.log")"
tone_track "$file" 660 > "$work/track"
/usr/bin/python3 - "$here" "$work/track" "$up" "$dropped" "$back" "$killed" "$restarted" <<'PY' ||
import sys
sys.path.insert(0, sys.argv[1])
from tonetrack import read, median_level, weak_spans
length, windows = read(sys.argv[2])
up, dropped, back, killed, restarted = map(float, sys.argv[3:8])
level = median_level(windows, 0, up + 5, dropped - 0.5)
# The first window in which the tone is within 3 dB of its level: how long a
# stream that was not there at the start took to be in the file.
heard = next((w[0] for w in windows if w[0] >= up - 1 and w[1] >= level - 3), None)
early = median_level(windows, 0, 0.5, up - 1)
# Mid-drop: what the player had queued has run out by then.
during = median_level(windows, 0, dropped + 8, back - 1)
# The server's death must show in the file (sound it held was lost), or the
# test proved nothing.
dip = min(w[1] for w in windows if killed - 1 <= w[0] <= restarted + 5)
checked = [(up + 5, dropped - 0.5), (back + 5, killed - 1), (restarted + 5, length - 0.2)]
spans = [[w for w in windows if a <= w[0] <= b] for a, b in checked]
levels = [median_level(s, 0) for s in spans]
weak = [weak_spans(s, 0, level - 3) for s in spans]
print("%.2f s; before the stream came up %.1f dB; tone at %.1f dB %s s after it came up; "
      "%.1f dB during the drop; %.1f dB at the lowest around the restart; after each return %s dB "
      "(weak spans %s)" % (length, early, level, "%.1f" % (heard - up) if heard is not None else "never",
                           during, dip, ["%.1f" % l for l in levels], weak))
ok = abs(length - 120) <= 1.5 and level > -40 and early < level - 30
ok = ok and heard is not None and heard - up <= 5
ok = ok and during < level - 30 and dip < level - 20
ok = ok and all(abs(l - level) <= 1 for l in levels) and not any(weak)
ok = ok and all(len(s) >= 100 for s in spans)
sys.exit(0 if ok else 1)
PY
  fail "the show was not recorded whole: $(cat "$history")"

kill -TERM "$PROGRAM_PID"
wait_gone "$PROGRAM_PID" 20 || fail "the program did not end on SIGTERM"
echo "1 passed, 0 failed"
