#!/usr/bin/env bash
# A scheduled recording from end to end, with the real program, the real
# sound server, and a real Icecast stream of a known tone on 127.0.0.1: two
# slots, the second starting when the first ends. Each file must appear under
# the template's name, be a RIFF WAVE file holding MP3, hold its stream's tone
# for the slot's minute, and be finished within two seconds of the end minute.
# The vendor's host is a loopback server of the test, reached as the proxy of
# every request for a host that is not on loopback: its user-details reply
# names an advertisement clip for the first show only, so the first file must
# end up beginning with the clip, the second stay as recorded. The program's
# clock starts 25 s before the first show (libfaketime, see
# overlapping_shows_test.sh), so the test need not wait for a real minute.
# The program runs headless, with no display at all: no window, no tray, the
# history kept as usual, its recordings shared as a podcast, which a real
# podcast client (gpo) subscribes to and downloads; and SIGTERM ends it cleanly.
set -euo pipefail
exe=$1
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib.sh"
work=$(mktemp -d "${WAVECRATE_TEST_TMP:-/tmp}/e2e.XXXXXX")
trap 'stop_started; rm -rf "$work"' EXIT
own_sound_server
mkdir -p "$work/out"
copy_program "$exe" "$work"

start_icecast
feed_tone one.mp3 440
feed_tone two.mp3 880

# The clip: 3 s of 1320 Hz. The vendor's host is never resolved: its requests
# arrive at the stand-in as absolute-URI proxy requests.
mkdir -p "$work/www"
ffmpeg -nostdin -loglevel error -f lavfi -i "sine=frequency=1320:sample_rate=44100:duration=3" -ac 2 \
  -c:a libmp3lame -b:a 128k "$work/www/ad.mp3"
start_vendor_host "$work/www" '[
  {"prefix": "http://www.wavecrate.example/stream_recorder/userdetails.php",
   "query": "Other%20Music", "body": "{base}/ad.mp3"},
  {"prefix": "http://www.wavecrate.example/", "status": 404, "body": "<html>no banner</html>"}]'

podcast_port=$(free_port)
podcast_token=5eed0f1ce5eed0f1ce5eed0f1ce5eed0
cat > "$PROGRAM_DAT" <<DAT
[User]
URL1=http://127.0.0.1:$ICECAST_PORT/one.mp3
URL2=http://127.0.0.1:$ICECAST_PORT/two.mp3
Check1=1
Check2=1
StartTime1=08:30:00 AM
StartTime2=08:31:00 AM
EndTime1=00:01:00
EndTime2=00:01:00
ShowName1=  Other Music
ShowName2=  Other Sports
Daily1=1
Daily2=1
[System]
SaveFilePath=$work/out/
FileNameFormat=showname-mm-dd-yyyy
[Options]
SharePodcast=1
PodcastPort=$podcast_port
PodcastToken=$podcast_token
DAT

# all_proxy, not http_proxy: GStreamer's HTTP source reads http_proxy itself and
# ignores no_proxy, so the stream would go to the stand-in too; libcurl and the
# web engine take all_proxy and keep 127.0.0.1 direct through no_proxy.
"$PROGRAM" --help | grep -q -- "--headless" || fail "--help does not tell of --headless"
status=0
"$PROGRAM" --bogus >/dev/null 2>&1 || status=$?
[ $status = 2 ] || fail "an unknown argument gave exit status $status, not 2"

all_proxy=http://127.0.0.1:$VENDOR_PORT no_proxy=127.0.0.1,localhost HEADLESS=1 \
  run_program_at "2008-01-05 08:29:35" "$work/program.log"
program=$PROGRAM_PID
# The real times of the first show's start and of the second show's end.
start1=$(/usr/bin/python3 -c 'import sys; print("%.3f" % (float(sys.argv[1]) + 25))' "$PROGRAM_LAUNCHED")
end2=$(/usr/bin/python3 -c 'import sys; print("%.3f" % (float(sys.argv[1]) + 120))' "$start1")

# header_state FILE: "exact" once the writer wrote the final header, else why not.
header_state() {
  /usr/bin/python3 - "$1" <<'PY'
import os, struct, sys
p = sys.argv[1]
if not os.path.exists(p): print("missing"); sys.exit()
b = open(p, "rb").read(80)
size = os.path.getsize(p)
if len(b) < 58 or b[0:4] != b"RIFF" or b[8:16] != b"WAVEfmt ": print("no-riff"); sys.exit()
f = struct.unpack("<I", b[16:20])[0]
tag = struct.unpack("<H", b[20:22])[0]
if tag != 0x55: print("not-mp3-%x" % tag); sys.exit()
if b[20 + f:24 + f] != b"data": print("no-data-chunk"); sys.exit()
riff = struct.unpack("<I", b[4:8])[0]
data = struct.unpack("<I", b[24 + f:28 + f])[0]
print("exact" if riff == size - 8 and data == size - 28 - f else "provisional")
PY
}

check_recording() {  # FILE END_EPOCH FREQUENCY
  local file=$1 end=$2 freq=$3 state="" t
  sleep_until "$end"
  kill -0 "$program" 2>/dev/null || fail "the program ended: $(cat "$work/program.log")"
  # Finished within two seconds of the end minute's start.
  for _ in $(seq 1 40); do
    state=$(header_state "$file")
    [ "$state" = exact ] && break
    sleep 0.05
  done
  t=$(date +%s.%N)
  [ "$state" = exact ] || fail "$(basename "$file") not finished 2 s after its end minute ($state); log: $(tail -20 "$work/program.log")"
  echo "$(basename "$file"): finished $(/usr/bin/python3 -c "print('%.2f' % ($t - $end))") s after the end minute began"
  ffprobe -v error -show_entries format=format_name -show_entries stream=codec_name -of csv=p=0 "$file" | tr '\n' ' '
  echo
  read -r secs rms f onset < <(analyse_tone "$file")
  echo "$(basename "$file"): ${secs} s, rms ${rms}, ${f} Hz, the stream heard from ${onset} s"
  /usr/bin/python3 -c "import sys; s,r,f,w=map(float,sys.argv[1:]); sys.exit(0 if 50<=s<=66 and r>0.01 and abs(f-w)<=w*0.03 else 1)" \
    "$secs" "$rms" "$f" "$freq" || fail "$(basename "$file") does not hold a minute of the $freq Hz tone"
}

check_recording "$work/out/Other Music-01-05-2008.mp3" \
  "$(/usr/bin/python3 -c 'import sys; print("%.3f" % (float(sys.argv[1]) + 60))' "$start1")" 440
check_recording "$work/out/Other Sports-01-05-2008.mp3" "$end2" 880
kill -0 "$program" 2>/dev/null || fail "the program ended after the second recording"
status=0
"$PROGRAM" --headless >/dev/null 2>&1 || status=$?
[ $status = 1 ] || fail "a second headless copy started (exit status $status)"

# The first show now begins with the clip and goes on with its stream; it was
# mixed while the second show recorded. The second show has no clip.
grep -q "userdetails.php?.*Other%20Music" "$VENDOR_LOG" || fail "no user-details request came: $(cat "$VENDOR_LOG")"
file1="$work/out/Other Music-01-05-2008.mp3"
read -r secs _ _ _ < <(analyse_tone "$file1")
read -r _ rms_ad f_ad _ < <(analyse_tone "$file1" 0.3 2.4)
read -r _ rms_show f_show _ < <(analyse_tone "$file1" 3.5 50)
echo "$(basename "$file1"): ${secs} s; first 3 s ${f_ad} Hz (rms ${rms_ad}), then ${f_show} Hz (rms ${rms_show})"
/usr/bin/python3 -c "import sys; s,a,b=map(float,sys.argv[1:]); sys.exit(0 if 62.5<=s<=66 and abs(a-1320)<=40 and abs(b-440)<=13 else 1)" \
  "$secs" "$f_ad" "$f_show" || fail "$(basename "$file1") does not begin with the clip; log: $(grep -i "advert\|mix\|slot 1" "$work/program.log" | tail -30)"
[ "$(header_state "$file1")" = exact ] || fail "the mixed file's header is not exact"
# The second show got no clip: one download in all, and its file is as long
# as it was recorded (its first seconds hold the tail of the first stream).
[ "$(grep -c $'^GET\t/ad.mp3' "$VENDOR_LOG")" = 1 ] || fail "the clip was fetched more than once"
read -r secs2 _ _ _ < <(analyse_tone "$work/out/Other Sports-01-05-2008.mp3")
/usr/bin/python3 -c "import sys; sys.exit(0 if float(sys.argv[1]) < 62.5 else 1)" "$secs2" \
  || fail "the second show was mixed too ($secs2 s)"
ls -A "$work" | grep -q '^TempOutput\|^\.mix-' && fail "scratch files of the mix are left: $(ls -A "$work")"

# A real podcast client subscribes to the share and downloads both episodes,
# reaching 127.0.0.1 directly: the stand-in, still the proxy of every other
# host, must see none of its requests. A WAVE recording is served as its MP3
# data behind an ID3v2 tag made for it: after the tag the download must be
# the data chunk byte for byte, and the tag's title must name the show.
gpo_() {
  env GPODDER_HOME="$work/gpo" GPODDER_DOWNLOAD_DIR="$work/gpo/episodes" all_proxy="http://127.0.0.1:$VENDOR_PORT" \
    no_proxy=127.0.0.1,localhost gpo "$@" < /dev/null >> "$work/gpo.log" 2>&1
}
gpo_ subscribe "http://127.0.0.1:$podcast_port/$podcast_token/feed.rss"
gpo_ update
gpo_ download
for show in "Other Music" "Other Sports"; do
  grep -q "^Downloading $show 01-05-2008 .*DONE" "$work/gpo.log" || fail "gpo did not download \"$show\": $(cat "$work/gpo.log")"
done
grep -q "/$podcast_token/" "$VENDOR_LOG" && fail "gpo went through the proxy: $(cat "$VENDOR_LOG")"
/usr/bin/python3 - "$work/gpo/episodes" "$work/out" <<'PY' || fail "the downloads are not the recordings: $(cat "$work/gpo.log")"
import glob, os, struct, sys
from mutagen.id3 import ID3
titles = []
for path in sorted(glob.glob(os.path.join(sys.argv[1], "*", "*.mp3"))):
    body = open(path, "rb").read()
    assert body[:3] == b"ID3", path + ": no ID3v2 tag in front"
    end = 10 + sum(b << 7 * (3 - i) for i, b in enumerate(body[6:10])) + (10 if body[5] & 0x10 else 0)
    title = str(ID3(path)["TIT2"])
    riff = open(os.path.join(sys.argv[2], "%s-%s.mp3" % tuple(title.rsplit(" ", 1))), "rb").read()
    f = struct.unpack("<I", riff[16:20])[0]
    data = riff[28 + f:28 + f + struct.unpack("<I", riff[24 + f:28 + f])[0]]
    assert body[end:] == data, "%s: the %d bytes after the tag are not the %d of the data chunk" % (
        title, len(body) - end, len(data))
    print("gpo: %s, %d bytes, the data chunk behind a %d-byte tag" % (title, len(body), end))
    titles.append(title)
assert sorted(titles) == ["Other Music 01-05-2008", "Other Sports 01-05-2008"], titles
PY
kill -TERM "$program"
for _ in $(seq 1 200); do kill -0 "$program" 2>/dev/null || break; sleep 0.05; done
kill -0 "$program" 2>/dev/null && fail "the program did not end on SIGTERM"
status=0
wait "$program" || status=$?
[ $status = 0 ] || fail "the headless run ended with status $status: $(tail -20 "$work/program.log")"
grep -q "headless run ended" "$work/program.log" || fail "no clean end in the log: $(tail -20 "$work/program.log")"
[ "$(grep -c '"event":"finished".*"result":"recorded"' "$PROGRAM-recordings.jsonl")" = 2 ] ||
  fail "the history does not hold both recordings: $(cat "$PROGRAM-recordings.jsonl")"
echo "1 passed, 0 failed"
