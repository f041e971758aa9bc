#!/usr/bin/env bash
# A show under way when the program starts is joined: a two-minute show that
# began at 11:59 PM, with the program started 90 s into it, past midnight.
# The rest of the show is recorded under the name its start gives (the day
# before), and the history file records it as joined. The capture of a joined
# show starts at once, while its player is still connecting (a new program on
# a loaded machine takes seconds for that): from the stream's first sound on,
# the file holds its tone steadily to the end.
set -euo pipefail
exe=$1
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib.sh"
work=$(mktemp -d "${WAVECRATE_TEST_TMP:-/tmp}/joined.XXXXXX")
trap 'stop_started; rm -rf "$work"' EXIT
own_sound_server
mkdir -p "$work/out"
copy_program "$exe" "$work"
isolate_home "$work"
history="$PROGRAM-recordings.jsonl"

start_icecast
feed_tone late.mp3 990
write_daily_show "http://127.0.0.1:$ICECAST_PORT/late.mp3" "11:59:00 PM" "00:02:00" "Other Legal" "$work/out/"

run_program_at "2008-01-06 00:00:30" "$work/program.log"
wait_for_lines "$history" '"event":"finished"' 1 60
kill -TERM "$PROGRAM_PID"
wait_gone "$PROGRAM_PID" 20 || fail "the program did not end on SIGTERM"

file="$work/out/Other Legal-01-05-2008.mp3"
[ -f "$file" ] || fail "not under the start's name: $(ls "$work/out")"
[ "$(ls "$work/out" | wc -l)" = 1 ] || fail "more than one file: $(ls "$work/out")"
tone_track "$file" 990 > "$work/track"
/usr/bin/python3 - "$here" "$work/track" "$history" "$file" <<'PY' || fail "history: $(cat "$history")"
import json, sys
sys.path.insert(0, sys.argv[1])
from tonetrack import read, median_level, weak_spans
length, windows = read(sys.argv[2])
records = [json.loads(l) for l in open(sys.argv[3]) if l.strip()]
assert [r["event"] for r in records] == ["started", "finished"], records
done = records[1]
assert done["file"] == sys.argv[4] and done["joined"] is True, done
assert done["result"] == "recorded" and done["scheduled_length"] == 120, done
level = median_level(windows, 0)
first = next(w[0] for w in windows if w[1] > level - 3)
weak = weak_spans([w for w in windows if first <= w[0] <= length - 0.2], 0, level - 3)
print("%.2f s joined (history %.1f s); tone %.1f dB from %.1f s on, weaker than %.1f dB in %s"
      % (length, done["actual_length"], level, first, level - 3, weak or "no window"))
# The program's own start-up (a web engine on a loaded machine) is lost.
assert 20 <= length <= 31 and abs(done["actual_length"] - length) <= 2, length
assert level > -40 and first <= 10 and not weak
PY
echo "1 passed, 0 failed"
