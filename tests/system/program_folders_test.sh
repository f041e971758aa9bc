#!/usr/bin/env bash
# A copy of the real program whose folder holds its settings file but cannot
# be written (a read-only mount here) is an installed copy: its settings file,
# log and scratch folder are in the XDG folders, and nothing is written
# beside the executable. (install_test covers a copy without a settings file;
# the other system tests run portable copies.)
set -euo pipefail
exe=$1
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib.sh"
work=$(mktemp -d "${WAVECRATE_TEST_TMP:-/tmp}/folders.XXXXXX")
chmod 755 "$work"
trap 'stop_started; rm -rf "$work"' EXIT
own_sound_server
export QT_QPA_PLATFORM=offscreen QTWEBENGINE_DISABLE_SANDBOX=1

# run_program DIR LOG COMMAND...: starts the copy in DIR through COMMAND,
# waits until its LOG shows it started, ends it with SIGTERM.
run_program() {
  local dir=$1
  shift
  local log_hint=$1
  shift
  "$@" > "$dir.out" 2>&1 &
  local pid=$!
  SYSTEM_PIDS+=("$pid")
  for _ in $(seq 1 600); do [ -s "$log_hint" ] && break; sleep 0.05; done
  [ -s "$log_hint" ] || fail "$dir: no log at $log_hint; output: $(tail -5 "$dir.out")"
  wait_ready "$pid" "$log_hint"
  kill -TERM "$pid"
  wait_gone "$pid" 20 || { kill -9 "$pid"; fail "$dir: SIGTERM did not end the program"; }
}

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
[ "$(settings_keys "$xdg_dat")" -eq 50 ] || fail "read-only: settings not written to $xdg_dat"
grep -qx 'FileNameFormat=beside-marker' "$PROGRAM_DAT" || fail "read-only: the file beside it changed"
[ -d "$XDG_CACHE_HOME/wavecrate" ] || fail "read-only: no scratch folder in the XDG cache folder"
[ "$listing" = "$(ls -lA --time-style=full-iso "$work/readonly")" ] || fail "read-only: its folder changed"
echo "read-only folder: settings, log and scratch folder in the XDG folders"

echo "1 passed, 0 failed"
