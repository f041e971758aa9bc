#!/usr/bin/env bash
# What reading the sound server costs before any encoding: on a private
# PulseAudio with a mix arranged as the program arranges it (a null sink with
# a loopback to the speakers, pink noise playing into it), records the mix's
# monitor side by side with
#   - parec (one thread, libpulse's own main loop, 100 ms fragments), and
#   - gst-launch-1.0 pulsesrc (100 ms reads, re-timestamped, as the capture
#     sets it) into a fakesink,
# then encodes parec's PCM with lame (the encoding floor). CPU is user +
# system time: the readers' over the middle of each round (/proc/PID/stat,
# start-up and end left out), lame's for its whole run. Usage:
#   bench/client_floor.sh [--seconds 60] [--rounds 3]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=60
rounds=3
while [ $# -gt 0 ]; do
  case $1 in
    --seconds) seconds=$2; shift 2 ;;
    --rounds) rounds=$2; shift 2 ;;
    *) echo "unknown argument $1" >&2; exit 2 ;;
  esac
done
# Each round leaves its first and last 5 s out of the readers' figures.
if [ "${seconds%.*}" -lt 15 ]; then echo "--seconds must be 15 or more" >&2; exit 2; fi
. scripts/lib/services.sh
work=$(mktemp -d /tmp/wavecrate-client-floor.XXXXXX)
player=""
cleanup() {
  [ -n "$player" ] && kill "$player" 2>/dev/null || true
  wavecrate_stop_services
  rm -rf "$work"
}
trap cleanup EXIT
wavecrate_start_pulse
pactl load-module module-null-sink sink_name=mix >/dev/null
pactl load-module module-loopback source=mix.monitor source_dont_move=true sink=speakers >/dev/null
gst-launch-1.0 -q audiotestsrc wave=pink-noise volume=0.3 is-live=true ! audio/x-raw,rate=44100,channels=2 \
  ! pulsesink device=mix >/dev/null 2>&1 &
player=$!
sleep 1
echo "load average at start: $(cut -d' ' -f1-3 /proc/loadavg)"
/usr/bin/python3 - "$work" "$seconds" "$rounds" <<'PY'
import os, signal, statistics, subprocess, sys, time

work, seconds, rounds = sys.argv[1], float(sys.argv[2]), int(sys.argv[3])

TICK = os.sysconf("SC_CLK_TCK")

def cpu_now(pid):
    fields = open("/proc/%d/stat" % pid).read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICK  # utime + stime

def cpu_of(commands):
    """Starts the commands at once; CPU s of each over the middle of the run
    (their start-up left out), and the seconds that middle lasted."""
    procs = [subprocess.Popen(cmd, stdout=stdout, stderr=subprocess.DEVNULL) for cmd, stdout in commands]
    time.sleep(5)
    t0, c0 = time.monotonic(), [cpu_now(p.pid) for p in procs]
    time.sleep(seconds - 10)
    t1, c1 = time.monotonic(), [cpu_now(p.pid) for p in procs]
    time.sleep(5)
    for p in procs:
        p.send_signal(signal.SIGINT)  # parec runs until told; pulsesrc has ended by its count
        p.wait()
    return [b - a for a, b in zip(c0, c1)], t1 - t0

rows = []
for r in range(1, rounds + 1):
    pcm = os.path.join(work, "round.pcm")
    parec = ["parec", "-d", "mix.monitor", "--raw", "--format=s16le",
             "--rate=44100", "--channels=2", "--latency-msec=100"]
    gst = ["gst-launch-1.0", "-q", "pulsesrc", "device=mix.monitor", "latency-time=100000",
           "buffer-time=1000000", "slave-method=re-timestamp", "num-buffers=%d" % int(seconds * 10),
           "!", "audio/x-raw,format=S16LE,rate=44100,channels=2", "!", "fakesink", "sync=false"]
    (parec_cpu, gst_cpu), middle = cpu_of([(parec, open(pcm, "wb")), (gst, subprocess.DEVNULL)])
    audio_s = os.path.getsize(pcm) / (44100 * 4)
    lame = ["lame", "--quiet", "-r", "-s", "44.1", "--bitwidth", "16", "--signed", "--little-endian", "-b", "128",
            "--cbr", pcm, os.path.join(work, "round.mp3")]
    p = subprocess.Popen(lame, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    _, _, usage = os.wait4(p.pid, 0)
    lame_cpu = usage.ru_utime + usage.ru_stime
    rows.append((r, audio_s, 1000 * parec_cpu / middle, 1000 * gst_cpu / middle, 1000 * lame_cpu / audio_s))

print("| round | audio s | parec ms/s | pulsesrc → fakesink ms/s | lame floor ms/s | parec / floor | pulsesrc / floor |")
print("|---|---|---|---|---|---|---|")
for r, a, p, g, l in rows:
    print("| %d | %.1f | %.2f | %.2f | %.2f | %.2f | %.2f |" % (r, a, p, g, l, p / l, g / l))
med = lambda i: statistics.median(row[i] for row in rows)
print("medians: parec %.2f ms/s (%.2f x floor), pulsesrc %.2f ms/s (%.2f x floor), lame floor %.2f ms/s"
      % (med(2), med(2) / med(4), med(3), med(3) / med(4), med(4)))
PY
echo "load average at end: $(cut -d' ' -f1-3 /proc/loadavg)"
