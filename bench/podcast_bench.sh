#!/usr/bin/env bash
# The podcast share under load and under bad input, while the program records:
# the real program (headless, the share on), a private PulseAudio, an Icecast
# tone on 127.0.0.1 and the clients of bench/podcast_load.py, all on loopback.
#
#   bench/podcast_bench.sh [build-folder]     (default build; after scripts/build plain)
#
# The program's clock is moved with libfaketime so that three one-minute shows
# start 25 s after launch, one after the other, each from a tone of its own:
#   show 1 (440 Hz)  no clients: the baseline of memory, threads and
#                    descriptors, and of the recording;
#   show 2 (660 Hz)  200 clients at once, each asking for byte ranges
#                    (random offsets and lengths) of the hour-long episodes
#                    for 30 s, one after another, and every twentieth for a
#                    whole episode too; every answer is checked byte for byte
#                    against the file on disk;
#   show 3 (880 Hz)  twice 10,000 bad requests (wrong tokens, unknown paths,
#                    ways out of the recordings folder, a symbolic link to a
#                    secret file, overlong lines and headers, broken requests,
#                    binary garbage) and 36 clients sending a byte a second;
#                    no answer may hold the secret text, and after each round
#                    memory, threads and descriptors are looked at again (a
#                    leak grows with every round).
# The history holds two hour-long episodes made beforehand (a 60 s MP3 looped
# to an hour): one of the tagged type, the same frames as a WAVE-type one. It
# prints the figures of each phase as ratios to show 1's, and each show's
# recording (its gaps as the history tells them, its length and tone). Exits
# non-zero when a check failed.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=${1:-build}
exe=$build/wavecrate
[ "${exe#/}" = "$exe" ] && exe=$root/$exe
[ -x "$exe" ] || { echo "no program at $exe: build it first (scripts/build plain)" >&2; exit 1; }
. tests/system/lib.sh
work=$(mktemp -d /tmp/wavecrate-podcast.XXXXXX)
trap 'stop_started; rm -rf "$work"' EXIT
load_py=$root/bench/podcast_load.py
export TZ=UTC

own_sound_server
start_icecast
feed_tone idle.mp3 440
feed_tone load.mp3 660
feed_tone bad.mp3 880
mkdir -p "$work/out"
copy_program "$exe" "$work"
history="$PROGRAM-recordings.jsonl"

# The hour-long episodes, beside the recordings; secret files beside them and
# outside the folder, and a symbolic link in it to the one outside.
ffmpeg -nostdin -loglevel error -f lavfi -i "sine=frequency=330:sample_rate=44100:duration=60" -ac 2 \
  -c:a libmp3lame -b:a 128k "$work/minute.mp3"
tagged="$work/out/The Long Hour-01-04-2008 (tagged).mp3"
wave="$work/out/The Long Hour-01-04-2008.mp3"
ffmpeg -nostdin -loglevel error -stream_loop 59 -i "$work/minute.mp3" -c copy "$tagged"
canary=$(/usr/bin/python3 - "$work" "$tagged" "$wave" "$history" <<'PY'
import json, os, secrets, struct, sys
work, tagged, wave, history = sys.argv[1:]
data = open(tagged, "rb").read()
# The MPEG frames after the ID3v2 tag, as a WAVE-type recording holds them.
tag = 10 + sum(b << (21 - 7 * i) for i, b in enumerate(data[6:10])) + (10 if data[5] & 0x10 else 0)
frames = data[tag:]
fmt = struct.pack("<HHIIHHHHIHHH", 0x55, 2, 44100, 16000, 1, 0, 12, 1, 2, 417, 1, 0)
head = b"RIFF" + struct.pack("<I", 4 + 8 + len(fmt) + 8 + len(frames)) + b"WAVE" + \
    b"fmt " + struct.pack("<I", len(fmt)) + fmt + b"data" + struct.pack("<I", len(frames))
with open(wave, "wb") as f:
    f.write(head + frames)
secret = "wavecrate-canary-" + secrets.token_hex(16)
for path in (os.path.join(work, "canary-outside.txt"), os.path.join(work, "out", "canary-beside.txt")):
    with open(path, "w") as f:
        f.write(secret + "\n")
link = os.path.join(work, "out", "canary-link.mp3")
os.symlink(os.path.join(work, "canary-outside.txt"), link)
episodes = []
start = 1199433600  # 2008-01-04 08:00 UTC
with open(history, "a") as h:
    for n, (path, kind, begin, end) in enumerate([(tagged, "tagged", 0, len(data)),
                                                   (wave, "wave", len(head), len(head) + len(frames)),
                                                   (link, "link", 0, 0)]):
        actual = start + n * 7200
        rid = f"{actual}-4"
        line = {"event": "finished", "id": rid, "slot": 4, "show": "The Long Hour", "station": "KLNG",
                "file": path, "scheduled_start": actual, "scheduled_length": 3600, "actual_start": actual,
                "actual_length": 3600.0, "silent_seconds": 0.0, "joined": False, "result": "recorded",
                "reason": "", "size": os.path.getsize(path)}
        h.write(json.dumps(line, separators=(",", ":")) + "\n")
        episodes.append({"guid": "wavecrate-" + rid, "type": kind, "file": path, "data_begin": begin,
                         "data_end": end, "servable": kind != "link"})
with open(os.path.join(work, "episodes.json"), "w") as f:
    json.dump(episodes, f)
print(secret)
PY
)
port=$(free_port)
token=$(/usr/bin/python3 -c 'import secrets; print(secrets.token_hex(16))')
{
  echo "[User]"
  n=1
  for show in idle load bad; do
    echo "URL$n=http://127.0.0.1:$ICECAST_PORT/$show.mp3"
    echo "Check$n=1"
    echo "StartTime$n=08:3$(( n - 1 )):00 AM"
    echo "EndTime$n=00:01:00"
    echo "ShowName$n=  Show $show"
    echo "Daily$n=1"
    n=$(( n + 1 ))
  done
  echo "[System]"
  echo "SaveFilePath=$work/out/"
  echo "FileNameFormat=showname-mm-dd-yyyy"
  echo "[Options]"
  echo "SharePodcast=1"
  echo "PodcastPort=$port"
  echo "PodcastToken=$token"
} > "$PROGRAM_DAT"

HEADLESS=1 run_program_at "2008-01-05 08:29:35" "$work/program.log"
pid=$PROGRAM_PID
wait_for_lines "$work/program.log" "podcast share on port $port" 1 60
at() { /usr/bin/python3 -c 'import sys; print("%.3f" % (float(sys.argv[1]) + float(sys.argv[2])))' "$@"; }
show1=$(at "$PROGRAM_LAUNCHED" 25)
echo "episodes: $(stat -c %s "$tagged") bytes (tagged), $(stat -c %s "$wave") bytes (WAVE); port $port;" \
  "load average $(cut -d' ' -f1-3 /proc/loadavg)"
status=0
common=(--pid "$pid" --port "$port" --token "$token" --episodes "$work/episodes.json")

sleep_until "$(at "$show1" 5)"
/usr/bin/python3 "$load_py" sample --pid "$pid" --seconds 45 --out "$work/idle.json" || status=1
sleep_until "$(at "$show1" 63)"
/usr/bin/python3 "$load_py" load "${common[@]}" --out "$work/load.json" || status=1
echo "load ended $(/usr/bin/python3 -c 'import sys, time; print("%.1f" % (time.time() - float(sys.argv[1])))' \
  "$show1") s after show 1 began (show 3 begins at 120 s)"
sleep_until "$(at "$show1" 123)"
/usr/bin/python3 "$load_py" bad "${common[@]}" --canary "$canary" --out "$work/bad.json" \
  --secret-path "$work/canary-outside.txt" --secret-path "$work/out/canary-beside.txt" \
  --secret-path "$work/out/canary-link.mp3" || status=1
echo "bad input ended $(/usr/bin/python3 -c 'import sys, time; print("%.1f" % (time.time() - float(sys.argv[1])))' \
  "$show1") s after show 1 began (show 3 ends at 180 s)"

sleep_until "$(at "$show1" 182)"
wait_for_lines "$history" '"event":"finished","id":"[0-9]*-[123]"' 3 30
kill -0 "$pid" 2>/dev/null || { echo "FAULT: the program ended" >&2; status=1; }

echo
/usr/bin/python3 "$load_py" summary "$work/idle.json" "$work/load.json" "$work/bad.json" || status=1
echo
echo "| show | phase | result | seconds | tone Hz | rms | gaps (start s, length s) |"
echo "|---|---|---|---|---|---|---|"
n=1
for show in idle load bad; do
  file="$work/out/Show $show-01-05-2008.mp3"
  read -r secs rms hz _ < <(analyse_tone "$file")
  want=$(( n == 1 ? 440 : n == 2 ? 660 : 880 ))
  read -r result gaps < <(/usr/bin/python3 - "$history" "$n" <<'PY'
import json, sys
for line in open(sys.argv[1]):
    d = json.loads(line)
    if d["event"] == "finished" and d["id"].endswith("-" + sys.argv[2]):
        print(d["result"], json.dumps(d.get("gaps", [])))
PY
  )
  echo "| $n | $show | $result | $secs | $hz | $rms | $gaps |"
  /usr/bin/python3 -c "import sys; s,r,f,w=map(float,sys.argv[1:5]); sys.exit(0 if 58<=s<=62 and r>0.01 and abs(f-w)<=w*0.03 and sys.argv[5]=='recorded' and sys.argv[6]=='[]' else 1)" \
    "$secs" "$rms" "$hz" "$want" "$result" "$gaps" || { echo "FAULT: show $n ($show) is not a whole minute of its tone without gaps" >&2; status=1; }
  n=$(( n + 1 ))
done
echo
echo "load average at end: $(cut -d' ' -f1-3 /proc/loadavg)"
kill -TERM "$pid" 2>/dev/null || true
wait_gone "$pid" 20 || echo "FAULT: the program did not end on SIGTERM" >&2
[ $status = 0 ] && echo "all checks passed" || echo "SOME CHECKS FAILED"
exit $status
