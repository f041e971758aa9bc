#!/usr/bin/env bash
# `cmake --install` into a scratch root (DESTDIR): the program, a desktop entry
# and AppStream metainfo that their validators accept, and the icon at every
# size the hicolor theme lists. The installed program then starts as an
# installed program would: its settings file goes to the XDG config folder,
# its log to the XDG state folder, and nothing is written under the prefix.
set -euo pipefail
exe=$1
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib.sh"
build=$(dirname "$exe")
work=$(mktemp -d "${WAVECRATE_TEST_TMP:-/tmp}/install.XXXXXX")
trap 'stop_started; rm -rf "$work"' EXIT
own_sound_server
root="$work/root"
id=example.wavecrate.Recorder

DESTDIR="$root" cmake --install "$build" --prefix /usr >"$work/install.log" ||
  fail "cmake --install failed: $(cat "$work/install.log")"
[ -x "$root/usr/bin/wavecrate" ] || fail "no usr/bin/wavecrate"
desktop-file-validate "$root/usr/share/applications/$id.desktop" || fail "desktop entry refused"
grep -qx "Exec=wavecrate" "$root/usr/share/applications/$id.desktop" || fail "desktop entry does not start wavecrate"
appstreamcli validate --no-net "$root/usr/share/metainfo/$id.metainfo.xml" >"$work/as.log" 2>&1 ||
  fail "metainfo refused: $(cat "$work/as.log")"
for size in 16 22 24 32 48 64 128 256; do
  icon="$root/usr/share/icons/hicolor/${size}x${size}/apps/$id.png"
  [ "$(identify -format '%m %w %h' "$icon" 2>/dev/null)" = "PNG $size $size" ] || fail "icon $size: $(identify "$icon" 2>&1)"
done
echo "installed files validate"

# Run it. The installed file is started through a hard link of a name of its
# own, so copies of the program running on this machine cannot count as
# already running for it (the folder and the file are the installed ones).
isolate_home "$work"
export QT_QPA_PLATFORM=offscreen QTWEBENGINE_DISABLE_SANDBOX=1
name="wavecrate-install-$$"
ln "$root/usr/bin/wavecrate" "$root/usr/bin/$name"
touch "$work/before"
sleep 1
"$root/usr/bin/$name" >"$work/out.log" 2>&1 &
pid=$!
SYSTEM_PIDS+=("$pid")
log="$XDG_STATE_HOME/wavecrate/$name.log"
for _ in $(seq 1 600); do [ -s "$log" ] && break; sleep 0.05; done
[ -s "$log" ] || fail "no log file at $log; output: $(tail -5 "$work/out.log")"
wait_ready "$pid" "$log"
kill -TERM "$pid"
wait_gone "$pid" 20 || { kill -9 "$pid"; fail "SIGTERM did not end the installed program"; }
dat="$XDG_CONFIG_HOME/wavecrate/$name.dat"
[ "$(settings_keys "$dat")" -eq 50 ] || fail "settings not written to $dat"
[ -d "$XDG_CACHE_HOME/wavecrate" ] || fail "no scratch folder in the XDG cache folder"
grep -q "started, pid $pid" "$log" || fail "the log does not name this run: $(head -3 "$log")"
rm "$root/usr/bin/$name"
written=$(find "$root" -newer "$work/before" ! -type d)
[ -z "$written" ] || fail "written under the prefix: $written"
echo "the installed program keeps its files in the XDG folders"
echo "1 passed, 0 failed"
