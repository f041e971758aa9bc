#!/usr/bin/env bash
# Four shows at once: four slots start in the same minute, each on its own
# Icecast mount with its own tone. Every file must hold its own tone alone
# (each of the other three at least 30 dB below it in every tenth of a second
# of the file), from its first 0.2 s to its end, at a steady level, and be as
# long as the show. The program's clock starts a few seconds before the start
# minute (libfaketime), so the players connect early as they would on time.
set -euo pipefail
exe=$1
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib.sh"
work=$(mktemp -d "${WAVECRATE_TEST_TMP:-/tmp}/overlap.XXXXXX")
trap 'stop_started; rm -rf "$work"' EXIT
own_sound_server
mkdir -p "$work/out"
copy_program "$exe" "$work"
isolate_home "$work"
history="$PROGRAM-recordings.jsonl"

tones=(440 660 990 1320)
shows=("Other Music" "Other Sports" "Other Medical" "Other Legal")
start_icecast
for i in 0 1 2 3; do feed_tone "slot$((i + 1)).mp3" "${tones[$i]}"; done

{
  echo "[User]"
  for n in 1 2 3 4; do
    cat <<SLOT
URL$n=http://127.0.0.1:$ICECAST_PORT/slot$n.mp3
Check$n=1
StartTime$n=08:30:00 AM
EndTime$n=00:01:00
ShowName$n=  ${shows[$((n - 1))]}
Daily$n=1
SLOT
  done
  printf '[System]\nSaveFilePath=%s/out/\n' "$work"
} > "$PROGRAM_DAT"

# Started 25 s early: on a loaded machine the program's own start-up (its web
# engine) takes a good part of that, and the players must still connect 10 s
# before the start as they would in a program that had been running.
run_program_at "2008-01-05 08:29:35" "$work/program.log"
wait_for_lines "$history" '"event":"finished"' 4 90
grep -q '"event":"finished".*"result":"recorded"' "$history" || fail "history: $(cat "$history")"
[ "$(grep -c '"result":"recorded"' "$history")" = 4 ] || fail "not every show recorded: $(cat "$history")"

bad=""
for n in 1 2 3 4; do
  file="$work/out/${shows[$((n - 1))]}-01-05-2008.mp3"
  [ -f "$file" ] || fail "no file for slot $n: $(ls "$work/out")"
  tone_track "$file" "${tones[@]}" > "$work/track$n"
  /usr/bin/python3 - "$here" "$work/track$n" "$((n - 1))" "$(basename "$file")" <<'PY' || bad="$bad $n"
import sys
sys.path.insert(0, sys.argv[1])
from tonetrack import read, median_level, weak_spans
length, windows = read(sys.argv[2])
own, name = int(sys.argv[3]), sys.argv[4]
level = median_level(windows, own)
# From 0.2 s to the end the own tone is steady (within 3 dB); the other
# tones are far below it everywhere. The file runs on a little past the end
# instant, at which the player stops too: its last sound reaches the mix one
# mix period later, so the last 0.3 s may fade on a busy machine.
weak = weak_spans([w for w in windows if 0.2 <= w[0] <= length - 0.3], own, level - 3)
worst = max(((w[1 + k], w[0], k) for w in windows for k in range(4) if k != own))
print("%s: %.2f s, tone %.1f dB, weaker than %.1f dB in %s; loudest other tone %.1f dB at %.1f s"
      % (name, length, level, level - 3, weak or "no window", worst[0], worst[1]))
sys.exit(0 if abs(length - 60) <= 1.5 and level > -40 and not weak and worst[0] <= level - 30 else 1)
PY
done
[ -z "$bad" ] || fail "not their own tone alone: the files of slots$bad"

kill -TERM "$PROGRAM_PID"
wait_gone "$PROGRAM_PID" 20 || fail "the program did not end on SIGTERM"
echo "1 passed, 0 failed"
