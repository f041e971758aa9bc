#!/usr/bin/env bash
# The Debian package on this machine, as a user would meet it (CI step; it
# installs into the system, so it refuses to run where the package is already
# installed, and removes it again at the end):
# - its dependencies resolve from the archive;
# - dpkg installs it, and the installed desktop entry and metainfo validate;
# - /usr/bin/wavecrate starts offscreen, keeps its files in the XDG folders,
#   writes nothing under /usr, and ends on SIGTERM;
# - dpkg removes it.
#   tests/package/deb_test.sh PACKAGE.deb
set -euo pipefail
deb=$(readlink -f "$1")
here=$(cd "$(dirname "$0")/../system" && pwd)
. "$here/lib.sh"
sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
if dpkg-query -W -f='${Status}' wavecrate 2>/dev/null | grep -q "install ok installed"; then
  fail "wavecrate is already installed here; not touching it"
fi
work=$(mktemp -d /tmp/wavecrate-deb.XXXXXX)
installed=0
cleanup() {
  stop_started
  if [ "$installed" -eq 1 ]; then $sudo dpkg -r wavecrate >/dev/null 2>&1 || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

apt-get install -s --no-install-recommends "$deb" >"$work/sim.log" 2>&1 ||
  fail "the dependencies do not resolve: $(grep -E '^E:|Depends' "$work/sim.log")"
echo "dependencies resolve: $(dpkg-deb -f "$deb" Depends | tr -d '\n' | cut -c1-100)..."

$sudo dpkg -i "$deb" >"$work/dpkg.log" 2>&1 || { installed=1; fail "dpkg -i failed: $(cat "$work/dpkg.log")"; }
installed=1
desktop-file-validate /usr/share/applications/example.wavecrate.Recorder.desktop
appstreamcli validate --no-net /usr/share/metainfo/example.wavecrate.Recorder.metainfo.xml >/dev/null
[ "$(command -v wavecrate)" = /usr/bin/wavecrate ] || fail "wavecrate is not on the PATH"
unit=/usr/lib/systemd/user/wavecrate.service
[ -f "$unit" ] || unit=/lib/systemd/user/wavecrate.service
[ -f "$unit" ] || fail "the systemd user unit is not installed"
# Verified as a unit file (a user manager may not run here).
if command -v systemd-analyze >/dev/null; then
  systemd-analyze verify "$unit" || fail "the user unit does not verify"
fi
grep -q '^ExecStart=/usr/bin/wavecrate --headless$' "$unit" || fail "the user unit does not run --headless"
echo "installed: $(dpkg -L wavecrate | grep -c .) paths"

isolate_home "$work"
export QT_QPA_PLATFORM=offscreen QTWEBENGINE_DISABLE_SANDBOX=1
touch "$work/before"
sleep 1
wavecrate >"$work/out.log" 2>&1 &
pid=$!
SYSTEM_PIDS+=("$pid")
log="$XDG_STATE_HOME/wavecrate/wavecrate.log"
for _ in $(seq 1 300); do [ -s "$log" ] && break; sleep 0.1; done
[ -s "$log" ] || fail "the installed program did not start (another copy running?): $(tail -5 "$work/out.log")"
sleep 3
kill -0 "$pid" 2>/dev/null || fail "the installed program ended by itself: $(tail -5 "$work/out.log")"
kill -TERM "$pid"
wait_gone "$pid" 20 || { kill -9 "$pid"; fail "SIGTERM did not end the installed program"; }
[ "$(sed -n '/^\[Options\]/q;/=/p' "$XDG_CONFIG_HOME/wavecrate/wavecrate.dat" | wc -l)" -eq 50 ] || fail "settings not in the XDG config folder"
written=$(find /usr -xdev -newer "$work/before" \( -name 'wavecrate*' -o -name '*.dat' -o -name '*.log' \
  -o -name 'mp3encoder.ini' -o -name 'Temp*' \) ! -type d 2>/dev/null || true)
[ -z "$written" ] || fail "written under /usr: $written"
echo "the installed program started, kept its files in the XDG folders and ended on SIGTERM"

$sudo dpkg -r wavecrate >"$work/dpkg.log" 2>&1 || fail "dpkg -r failed: $(cat "$work/dpkg.log")"
installed=0
[ ! -e /usr/bin/wavecrate ] || fail "/usr/bin/wavecrate is still there after removal"
echo "removed"
echo "1 passed, 0 failed"
