#!/usr/bin/env bash
# A recording that was running when the program was killed (kill -9): its file
# stays readable (of either file type; a tagged one also tells readers about
# its length), and the next start closes its history record as "interrupted". The real program runs under a faked wall clock (libfaketime)
# that starts a few seconds before the show, and records the mix on a real
# sound server of the test's own.
set -euo pipefail
exe=$1
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib.sh"
work=$(mktemp -d "${WAVECRATE_TEST_TMP:-/tmp}/history.XXXXXX")
modules_before=""
# Modules the killed copy loaded stay in the sound server; take them away.
unload_ours() {
  local id
  for id in $(pactl list short modules 2>/dev/null | cut -f1); do
    grep -qx "$id" <<<"$modules_before" || pactl unload-module "$id" 2>/dev/null || true
  done
}
trap 'stop_started; unload_ours; rm -rf "$work"' EXIT
own_sound_server
modules_before=$(pactl list short modules 2>/dev/null | cut -f1 || true)
copy_program "$exe" "$work"
history="$PROGRAM-recordings.jsonl"
faketime_lib=/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1
[ -r "$faketime_lib" ] || fail "libfaketime is not installed"

# kill_during_show TYPE: the whole case with recordings of file type TYPE.
kill_during_show() {
local type=$1
rm -rf "$work/out" "$history"
mkdir -p "$work/out"
cat > "$PROGRAM_DAT" <<DAT
[User]
URL1=http://127.0.0.1:9/nothing-here
Check1=1
StartTime1=08:30:00 AM
EndTime1=00:05:00
ShowName1=  Other Music
Station1=WXYZ
Daily1=1
[System]
SaveFilePath=$work/out/
[Options]
FileType=$type
DAT

# run_at TIME: starts the program with its wall clock starting at TIME
# (monotonic time left alone); sets program.
run_at() {
  TZ=UTC LD_PRELOAD="$faketime_lib" FAKETIME="@$1" FAKETIME_DONT_FAKE_MONOTONIC=1 \
    QT_QPA_PLATFORM=offscreen QTWEBENGINE_DISABLE_SANDBOX=1 "$PROGRAM" >> "$work/program.log" 2>&1 &
  program=$!
  SYSTEM_PIDS+=("$program")
}

run_at "2008-01-05 08:29:57"
for _ in $(seq 1 300); do
  grep -q '"event":"started"' "$history" 2>/dev/null && break
  kill -0 "$program" 2>/dev/null || fail "the program ended: $(tail -20 "$work/program.log")"
  sleep 0.1
done
grep -q '"event":"started"' "$history" 2>/dev/null || fail "no started record: $(tail -20 "$work/program.log")"
file="$work/out/Other Music-01-05-2008.mp3"
# Let the capture write a few seconds, then end the program without warning.
sleep 4
kill -9 "$program"
wait "$program" 2>/dev/null || true
grep -q '"event":"finished"' "$history" && fail "a finished record before the kill"
read -r secs _ < <(analyse_tone "$file")
echo "after kill -9: $(basename "$file") decodes to $secs s"
/usr/bin/python3 -c "import sys; sys.exit(0 if float(sys.argv[1]) >= 1 else 1)" "$secs" ||
  fail "the killed recording's file does not decode ($secs s)"
if [ "$type" = tagged ]; then
  head -c 3 "$file" | grep -q ID3 || fail "the tagged recording does not begin with its tag"
  # Its Xing frame was kept up to date while it grew: readers that trust it
  # give the length up to the last update (every two seconds).
  probed=$(ffprobe -v error -show_entries format=duration -of csv=p=0 "$file")
  discovered=$(gst-discoverer-1.0 "$file" | sed -n 's/.*Duration: \([0-9:.]*\).*/\1/p' | head -1)
  echo "after kill -9: ffprobe $probed s, discoverer $discovered"
  /usr/bin/python3 - "$secs" "$probed" "$discovered" <<'PY' || fail "the killed tagged file's length is wrong"
import sys
decoded, probed = float(sys.argv[1]), float(sys.argv[2])
h, m, s = sys.argv[3].split(":")
discovered = int(h) * 3600 + int(m) * 60 + float(s)
assert decoded - 2.6 <= probed <= decoded + 0.1, (decoded, probed)
assert decoded - 2.6 <= discovered <= decoded + 0.1, (decoded, discovered)
PY
fi
size_before=$(stat -c %s "$file")
unload_ours

# The next start, after the show: nothing records, the record is closed.
run_at "2008-01-05 10:00:00"
for _ in $(seq 1 300); do
  grep -q '"result":"interrupted"' "$history" 2>/dev/null && break
  kill -0 "$program" 2>/dev/null || fail "the program ended: $(tail -20 "$work/program.log")"
  sleep 0.1
done
kill -TERM "$program"
wait_gone "$program" 20 || fail "the program did not end on SIGTERM"
/usr/bin/python3 - "$history" "$file" <<'PY' || fail "history: $(cat "$history")"
import json, sys
lines = [json.loads(l) for l in open(sys.argv[1]) if l.strip()]
assert len(lines) == 2, lines
started, finished = lines
assert started["event"] == "started" and finished["event"] == "finished", lines
assert finished["id"] == started["id"] and finished["file"] == sys.argv[2], lines
assert finished["result"] == "interrupted", finished
assert "keeps what was recorded" in finished["reason"], finished
# From the file's last change, which the faked clock of the second run
# shifts; never past the show's end.
assert 1 <= finished["actual_length"] <= 300, finished
print("history: %s, %s, %.0f s" % (finished["show"], finished["result"], finished["actual_length"]))
PY
[ "$(stat -c %s "$file")" = "$size_before" ] || fail "the next start changed the killed recording's file"
unload_ours
}

kill_during_show wave
kill_during_show tagged
echo "2 passed, 0 failed"
