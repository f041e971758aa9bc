#!/usr/bin/env bash
# Where the real program keeps its files:
# - a copy whose folder is writable and holds its settings file is portable:
#   settings and log stay beside it, the XDG folders are not touched;
# - a copy whose folder holds a settings file but cannot be written (a
#   read-only mount here) and a copy in a writable folder without one are
#   installed copies: settings, log and scratch folder go to the XDG folders
#   and nothing is written beside the executable.
set -euo pipefail
exe=$1
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib.sh"
work=$(mktemp -d "${WAVECRATE_TEST_TMP:-/tmp}/folders.XXXXXX")
chmod 755 "$work"
trap 'stop_started; rm -rf "$work"' EXIT
export QT_QPA_PLATFORM=offscreen QTWEBENGINE_DISABLE_SANDBOX=1

# run_program DIR [WRAPPER...]: starts the copy in DIR (through WRAPPER),
# waits for its log line, ends it with SIGTERM.
run_program() {
  local dir=$1
  shift
  local log_hint=$1
  shift
  "$@" > "$dir.out" 2>&1 &
  local pid=$!
  SYSTEM_PIDS+=("$pid")
  for _ in $(seq 1 300); do [ -s "$log_hint" ] && break; sleep 0.1; done
  [ -s "$log_hint" ] || fail "$dir: no log at $log_hint; output: $(tail -5 "$dir.out")"
  sleep 2
  kill -TERM "$pid"
  wait_gone "$pid" 20 || { kill -9 "$pid"; fail "$dir: SIGTERM did not end the program"; }
}

# --- portable
mkdir "$work/portable"
copy_program "$exe" "$work/portable"
isolate_home "$work/portable-home"
printf '[System]\nFileNameFormat=portable-marker\n' > "$PROGRAM_DAT"
name=$(basename "$PROGRAM")
run_program "$work/portable" "$work/portable/$name.log" "$PROGRAM"
grep -qx 'FileNameFormat=portable-marker' "$PROGRAM_DAT" || fail "portable: settings not kept beside the program"
[ "$(grep -c '=' "$PROGRAM_DAT")" -eq 50 ] || fail "portable: settings not rewritten beside the program"
[ ! -e "$XDG_CONFIG_HOME/wavecrate" ] && [ ! -e "$XDG_STATE_HOME/wavecrate" ] ||
  fail "portable: the XDG folders were used"
echo "portable copy: settings and log beside it"

# --- read-only folder holding a settings file
mkdir "$work/readonly"
copy_program "$exe" "$work/readonly"
isolate_home "$work/readonly-home"
printf '[System]\nFileNameFormat=beside-marker\n' > "$PROGRAM_DAT"
name=$(basename "$PROGRAM")
mkdir -p "$XDG_CONFIG_HOME/wavecrate"
printf '[System]\nFileNameFormat=xdg-marker\n' > "$XDG_CONFIG_HOME/wavecrate/$name.dat"
listing=$(ls -lA --time-style=full-iso "$work/readonly")
if [ "$(id -u)" -eq 0 ]; then
  # Root writes anywhere a mount allows: make the folder a read-only bind
  # mount inside a mount namespace of the program's own.
  unshare -m true 2>/dev/null || fail "root here cannot make a mount namespace for a read-only folder"
  run_program "$work/readonly" "$XDG_STATE_HOME/wavecrate/$name.log" unshare -m sh -c \
    'mount --bind "$1" "$1" && mount -o remount,ro,bind "$1" && exec "$2"' sh "$work/readonly" "$PROGRAM"
else
  chmod a-w "$work/readonly"
  run_program "$work/readonly" "$XDG_STATE_HOME/wavecrate/$name.log" "$PROGRAM"
  chmod u+w "$work/readonly"
fi
xdg_dat="$XDG_CONFIG_HOME/wavecrate/$name.dat"
grep -qx 'FileNameFormat=xdg-marker' "$xdg_dat" || fail "read-only: the XDG settings file was not the one read"
[ "$(grep -c '=' "$xdg_dat")" -eq 50 ] || fail "read-only: settings not written to $xdg_dat"
grep -qx 'FileNameFormat=beside-marker' "$PROGRAM_DAT" || fail "read-only: the file beside it changed"
[ -d "$XDG_CACHE_HOME/wavecrate" ] || fail "read-only: no scratch folder in the XDG cache folder"
[ "$listing" = "$(ls -lA --time-style=full-iso "$work/readonly")" ] || fail "read-only: its folder changed"
echo "read-only folder: settings, log and scratch folder in the XDG folders"

# --- writable folder without a settings file
mkdir "$work/nosettings"
copy_program "$exe" "$work/nosettings"
isolate_home "$work/nosettings-home"
name=$(basename "$PROGRAM")
run_program "$work/nosettings" "$XDG_STATE_HOME/wavecrate/$name.log" "$PROGRAM"
[ "$(grep -c '=' "$XDG_CONFIG_HOME/wavecrate/$name.dat")" -eq 50 ] || fail "no settings: not written to XDG"
[ "$(ls "$work/nosettings")" = "$name" ] || fail "no settings: written beside it: $(ls "$work/nosettings")"
echo "folder without settings: XDG folders"
echo "3 passed, 0 failed"
