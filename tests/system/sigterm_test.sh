#!/usr/bin/env bash
# The end of the session (SIGTERM, SIGINT, SIGHUP) runs the normal exit: the
# settings file is rewritten with the reading rules applied. The program runs
# from a copy in a folder of its own, so its settings file is the test's.
set -euo pipefail
exe=$1
work=$(mktemp -d "${WAVECRATE_TEST_TMP:-/tmp}/sigterm.XXXXXX")
trap 'rm -rf "$work"' EXIT
. "$(cd "$(dirname "$0")" && pwd)/lib.sh"
copy_program "$exe" "$work"
export QT_QPA_PLATFORM=offscreen

for sig in TERM INT HUP; do
  cat > "$PROGRAM_DAT" <<DAT
[UserInfo]
Gender=F
Unknown=gone
[User]
Check1=yes
Check3=0x1
ShowName1=  Other Music
Station2='KQED'
[System]
FileNameFormat=yyyy-mm-dd-showname
DAT
  "$PROGRAM" > "$work/out.log" 2>&1 &
  pid=$!
  # Ready once its window exists: give start-up a moment, then end the session.
  for _ in $(seq 1 100); do
    [ -e "/proc/$pid" ] || fail "the program ended by itself: $(cat "$work/out.log")"
    sleep 0.05
  done
  sleep 1
  kill -"$sig" "$pid"
  for _ in $(seq 1 200); do
    [ -e "/proc/$pid" ] || break
    sleep 0.05
  done
  if [ -e "/proc/$pid" ]; then kill -9 "$pid"; fail "SIG$sig did not end the program"; fi
  wait "$pid" || true
  f="$PROGRAM_DAT"
  # The 50 keys in their three sections, then the window's options in a
  # fourth that readers of the older file ignore.
  keys=$(sed -n '/^\[Options\]/q;/=/p' "$f" | wc -l)
  [ "$keys" -eq 50 ] || fail "SIG$sig: $keys keys before [Options], not 50"
  [ "$(sed -n '/^\[Options\]/,$p' "$f" | tr -d '\r' | grep -v '^\[')" = "JoinShowsUnderWay=1" ] ||
    fail "SIG$sig: [Options] must hold exactly the join option"
  grep -qx 'Check1=0' "$f" || fail "SIG$sig: Check1=yes must come back as 0"
  grep -qx 'Check3=1' "$f" || fail "SIG$sig: Check3=0x1 must come back as 1"
  grep -qx 'ShowName1=Other Music' "$f" || fail "SIG$sig: the indent must be gone"
  grep -qx 'Station2=KQED' "$f" || fail "SIG$sig: quotes must be gone"
  grep -qx 'FileNameFormat=yyyy-mm-dd-showname' "$f" || fail "SIG$sig: template lost"
  ! grep -q 'Unknown' "$f" || fail "SIG$sig: unknown keys must be gone"
  [ "$(head -1 "$f" | tr -d '\r')" = "[UserInfo]" ] || fail "SIG$sig: first section"
  [ "$(grep -v '=' "$f" | tr -d '\r' | grep '^\[' | tr '\n' ' ')" = "[UserInfo] [User] [System] [Options] " ] ||
    fail "SIG$sig: sections"
  echo "SIG$sig: settings rewritten"
done
echo "1 passed, 0 failed"
