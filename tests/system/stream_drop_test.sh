#!/usr/bin/env bash
# A stream that drops for 20 s in the middle of a show comes back: its source
# ends (the mount answers 404) and is fed again 20 s later. The file must go
# quiet during the drop, hold the tone again within 5 s of its return at the
# level it had before (within 1 dB: a second player left over from a retry
# would double it), and still be as long as the show.
set -euo pipefail
exe=$1
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib.sh"
work=$(mktemp -d "${WAVECRATE_TEST_TMP:-/tmp}/drop.XXXXXX")
trap 'stop_started; rm -rf "$work"' EXIT
mkdir -p "$work/out"
copy_program "$exe" "$work"
isolate_home "$work"
history="$PROGRAM-recordings.jsonl"

start_icecast
feed_tone drop.mp3 660
write_daily_show "http://127.0.0.1:$ICECAST_PORT/drop.mp3" "08:30:00 AM" "00:01:00" "Other Sports" "$work/out/"

# Started early enough for the players to connect before the minute even on a
# loaded machine (see overlapping_shows_test.sh).
run_program_at "2008-01-05 08:29:35" "$work/program.log"
show_start=$(/usr/bin/python3 -c 'import sys; print(float(sys.argv[1]) + 25)' "$PROGRAM_LAUNCHED")
at() { /usr/bin/python3 -c 'import sys; print("%.3f" % (float(sys.argv[1]) + float(sys.argv[2])))' "$show_start" "$1"; }
wait_for_lines "$history" '"event":"started"' 1 60
sleep_until "$(at 18)"
dropped=$(date +%s.%N)
kill "$FEED_PID"
wait "$FEED_PID" 2>/dev/null || true
sleep_until "$(at 38)"
feed_tone drop.mp3 660
back=$(date +%s.%N)
echo "stream dropped at $(/usr/bin/python3 -c "print('%.1f' % ($dropped - $show_start))") s, back at $(/usr/bin/python3 -c "print('%.1f' % ($back - $show_start))") s into the show"

wait_for_lines "$history" '"event":"finished"' 1 60
file="$work/out/Other Sports-01-05-2008.mp3"
[ -f "$file" ] || fail "no file: $(ls "$work/out"); $(cat "$history")"
tone_track "$file" 660 > "$work/track"
/usr/bin/python3 - "$here" "$work/track" "$(/usr/bin/python3 -c "print($dropped - $show_start)")" \
  "$(/usr/bin/python3 -c "print($back - $show_start)")" <<'PY' || fail "the show did not come back whole: $(cat "$history")"
import sys
sys.path.insert(0, sys.argv[1])
from tonetrack import read, median_level, weak_spans
length, windows = read(sys.argv[2])
dropped, back = float(sys.argv[3]), float(sys.argv[4])
before = median_level(windows, 0, 0.5, dropped - 0.5)
# Mid-drop: what the player had queued has run out by then.
during = median_level(windows, 0, dropped + 8, back - 1)
after_windows = [w for w in windows if back + 5 <= w[0] <= length - 0.2]
after = median_level(after_windows, 0)
weak = weak_spans(after_windows, 0, before - 3)
print("%.2f s; tone %.1f dB before the drop, %.1f dB during it, %.1f dB from 5 s after its return "
      "(weaker than %.1f dB in %s)" % (length, before, during, after, before - 3, weak or "no window"))
ok = abs(length - 60) <= 1.5 and before > -40 and during < before - 30
ok = ok and abs(after - before) <= 1 and not weak and len(after_windows) >= 100
sys.exit(0 if ok else 1)
PY

kill -TERM "$PROGRAM_PID"
wait_gone "$PROGRAM_PID" 20 || fail "the program did not end on SIGTERM"
echo "1 passed, 0 failed"
