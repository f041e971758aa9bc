#!/usr/bin/env bash
# A FIFO named like the settings file once hung start-up in open(), where
# SIGTERM then did nothing. It reads as a missing settings file: start-up
# goes on (first run), the end of the session ends the program, and the exit
# writes a settings file in its place.
set -euo pipefail
exe=$1
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib.sh"
work=$(mktemp -d "${WAVECRATE_TEST_TMP:-/tmp}/fifo.XXXXXX")
trap 'stop_started; rm -rf "$work"' EXIT
own_sound_server
copy_program "$exe" "$work"
isolate_home "$work"
export QT_QPA_PLATFORM=offscreen QTWEBENGINE_DISABLE_SANDBOX=1
mkfifo "$PROGRAM_DAT"

"$PROGRAM" > "$work/out.log" 2>&1 &
pid=$!
SYSTEM_PIDS+=("$pid")
wait_ready "$pid" "$PROGRAM.log"
kill -TERM "$pid"
wait_gone "$pid" 20 || { kill -9 "$pid"; fail "SIGTERM did not end the program (start-up blocked on the FIFO?)"; }
[ -f "$PROGRAM_DAT" ] && [ ! -p "$PROGRAM_DAT" ] || fail "the exit did not write a settings file"
[ "$(settings_keys "$PROGRAM_DAT")" -eq 50 ] || fail "the settings file is incomplete"
grep -qx 'Check1=0' "$PROGRAM_DAT" || fail "first-run defaults expected"
echo "FIFO settings file: read as missing, SIGTERM ends the program"
echo "1 passed, 0 failed"
