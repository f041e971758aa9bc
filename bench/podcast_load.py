#!/usr/bin/env python3
"""Clients of the podcast share for bench/podcast_bench.sh (standard library
only, everything on 127.0.0.1).

  podcast_load.py sample  --pid PID --seconds S --out FILE
  podcast_load.py load    --pid PID --port P --token T --episodes FILE --out FILE
  podcast_load.py bad     --pid PID --port P --token T --episodes FILE --canary TEXT --out FILE
  podcast_load.py summary FILE...

Every phase samples the program's resident memory, threads and open file
descriptors (/proc/PID/status, /proc/PID/fd) while it runs and writes what it
saw as JSON; "summary" prints the figures and their ratios to the idle
sample. A phase exits with status 1 when it saw a fault (a wrong byte, an
answer it must never get, the secret text, the program gone).
"""
import argparse
import http.client
import json
import math
import mmap
import os
import queue
import random
import re
import socket
import statistics
import sys
import threading
import time
import urllib.parse
import xml.etree.ElementTree as ET


# --- the program's figures -------------------------------------------------

def proc_figures(pid):
    """(rss_kb, threads, fds), or None once the process is gone."""
    try:
        with open(f"/proc/{pid}/status") as f:
            status = f.read()
        fds = len(os.listdir(f"/proc/{pid}/fd"))
    except OSError:
        return None
    rss = int(re.search(r"^VmRSS:\s+(\d+)", status, re.M).group(1))
    threads = int(re.search(r"^Threads:\s+(\d+)", status, re.M).group(1))
    return rss, threads, fds


class Sampler:
    """Samples the program every `every` seconds on a thread of its own."""

    def __init__(self, pid, every=0.1):
        self.pid, self.every, self.samples = pid, every, []
        self.gone = False
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)

    def _run(self):
        while not self._stop.is_set():
            f = proc_figures(self.pid)
            if f is None:
                self.gone = True
                return
            self.samples.append(f)
            self._stop.wait(self.every)

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *_):
        self._stop.set()
        self._thread.join()

    def summary(self):
        if not self.samples:
            return {"samples": 0, "gone": self.gone}
        out = {"samples": len(self.samples), "gone": self.gone}
        for i, name in enumerate(("rss_kb", "threads", "fds")):
            values = [s[i] for s in self.samples]
            out[name] = {"mean": statistics.mean(values), "max": max(values), "min": min(values),
                         "last": values[-1]}
        return out


# --- the episodes ----------------------------------------------------------

class Episode:
    """One episode as the share must serve it, from its file on disk: a tagged
    recording byte for byte; a WAVE one as an ID3 tag made by the server
    followed by the file's data chunk."""

    def __init__(self, spec):
        self.guid, self.kind, self.path = spec["guid"], spec["type"], spec["file"]
        self.begin, self.end = spec["data_begin"], spec["data_end"]
        self._file = open(self.path, "rb")
        self.map = mmap.mmap(self._file.fileno(), 0, access=mmap.ACCESS_READ)
        self.url = self.size = None
        self.tag = b""

    @property
    def tag_length(self):
        return self.size - (self.end - self.begin)

    def expected(self, offset, count):
        """`count` bytes of the body at `offset`."""
        out = b""
        if offset < self.tag_length:
            out = self.tag[offset:offset + count]
            offset, count = self.tag_length, count - len(out)
        if count > 0:
            at = self.begin + offset - self.tag_length
            out += self.map[at:at + count]
        return out


def load_episodes(path, port, token):
    """The episodes of `path` (JSON), each given its address and length from
    the share's feed, and a WAVE one its tag (fetched once and checked)."""
    with open(path) as f:
        specs = json.load(f)
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=60)
    conn.request("GET", f"/{token}/feed.rss")
    resp = conn.getresponse()
    feed = resp.read()
    if resp.status != 200:
        raise SystemExit(f"the feed answered {resp.status}")
    items = {}
    for item in ET.fromstring(feed).iter("item"):
        enclosure = item.find("enclosure")
        items[item.findtext("guid")] = (enclosure.get("url"), int(enclosure.get("length")))
    episodes = []
    for spec in specs:
        if spec.get("servable", True) is False:
            continue
        e = Episode(spec)
        if e.guid not in items:
            raise SystemExit(f"the feed does not list {e.guid}")
        url, e.size = items[e.guid]
        e.url = url.split(f":{port}", 1)[1]
        if e.kind == "tagged" and e.size != len(e.map):
            raise SystemExit(f"{e.guid}: the feed says {e.size} bytes, the file holds {len(e.map)}")
        if e.kind == "wave" and e.tag_length > 0:
            conn.request("GET", e.url, headers={"Range": f"bytes=0-{e.tag_length - 1}"})
            r = conn.getresponse()
            e.tag = r.read()
            synchsafe = e.tag[6:10]
            declared = sum(b << (21 - 7 * i) for i, b in enumerate(synchsafe))
            if r.status != 206 or not e.tag.startswith(b"ID3\x04") or declared + 10 != e.tag_length:
                raise SystemExit(f"{e.guid}: the served tag is not one of {e.tag_length} bytes")
        episodes.append(e)
    conn.close()
    return episodes


# --- load ------------------------------------------------------------------

def percentile(values, p):
    if not values:
        return 0.0
    s = sorted(values)
    return s[min(len(s) - 1, int(math.ceil(p / 100 * len(s))) - 1)]


def run_load(args):
    episodes = load_episodes(args.episodes, args.port, args.token)
    rng = random.Random(args.seed)
    lock = threading.Lock()
    results = {"requests": 0, "bytes": 0, "ranges": 0, "whole": 0, "wrong": [], "errors": [],
               "ttfb": [], "times": []}
    barrier = threading.Barrier(args.clients)

    def check(conn, episode, range_header, first, last, status):
        t0 = time.monotonic()
        headers = {"Range": range_header} if range_header else {}
        conn.request("GET", episode.url, headers=headers)
        resp = conn.getresponse()
        t1 = time.monotonic()
        problems = []
        if resp.status != status:
            problems.append(f"status {resp.status}, not {status}")
        if status == 206:
            want = f"bytes {first}-{last}/{episode.size}"
            if resp.getheader("Content-Range") != want:
                problems.append(f"Content-Range {resp.getheader('Content-Range')!r}, not {want!r}")
        if resp.getheader("Content-Length") != str(last - first + 1):
            problems.append(f"Content-Length {resp.getheader('Content-Length')}, not {last - first + 1}")
        got, at = 0, first
        while True:
            chunk = resp.read(65536)
            if not chunk:
                break
            if not problems and chunk != episode.expected(at, len(chunk)):
                problems.append(f"wrong bytes at {at}")
            at += len(chunk)
            got += len(chunk)
        if got != last - first + 1:
            problems.append(f"{got} bytes, not {last - first + 1}")
        t2 = time.monotonic()
        with lock:
            results["requests"] += 1
            results["bytes"] += got
            results["ttfb"].append(t1 - t0)
            results["times"].append(t2 - t0)
            if problems:
                results["wrong"].append(f"{episode.kind} {range_header or 'whole'}: {'; '.join(problems)}")
        return resp

    def client(n):
        r = random.Random(rng.random() + n)
        try:
            barrier.wait()
            deadline = time.monotonic() + args.seconds
            conn = http.client.HTTPConnection("127.0.0.1", args.port, timeout=args.timeout)
            done = 0
            while done < args.rounds or time.monotonic() < deadline:
                done += 1
                e = r.choice(episodes)
                kind = r.random()
                if kind < 0.1:  # the last n bytes
                    count = r.randint(1, 1 << 20)
                    first, last, header = max(0, e.size - count), e.size - 1, f"bytes=-{count}"
                elif kind < 0.2:  # from an offset to the end
                    first = r.randrange(max(0, e.size - (1 << 20)), e.size)
                    last, header = e.size - 1, f"bytes={first}-"
                else:  # anywhere, 512 bytes to 2 MiB
                    first = r.randrange(e.size)
                    count = int(math.exp(r.uniform(math.log(512), math.log(2 << 20))))
                    last = min(e.size - 1, first + count - 1)
                    header = f"bytes={first}-{last}"
                check(conn, e, header, first, last, 206)
                with lock:
                    results["ranges"] += 1
            conn.close()
            if n % args.whole_every == 0:
                e = episodes[(n // args.whole_every) % len(episodes)]
                conn = http.client.HTTPConnection("127.0.0.1", args.port, timeout=args.timeout)
                check(conn, e, None, 0, e.size - 1, 200)
                conn.close()
                with lock:
                    results["whole"] += 1
        except Exception as error:  # a refused, reset or stalled connection
            with lock:
                results["errors"].append(f"client {n}: {type(error).__name__}: {error}")

    with Sampler(args.pid) as sampler:
        start = time.monotonic()
        threads = [threading.Thread(target=client, args=(n,)) for n in range(args.clients)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        wall = time.monotonic() - start
    out = {
        "phase": "load", "clients": args.clients, "rounds": args.rounds, "seconds": wall,
        "for_seconds": args.seconds,
        "requests": results["requests"], "ranges": results["ranges"], "whole": results["whole"],
        "bytes": results["bytes"], "mb_per_s": results["bytes"] / wall / 1e6,
        "ttfb_ms": {p: 1000 * percentile(results["ttfb"], p) for p in (50, 95, 99, 100)},
        "request_ms": {p: 1000 * percentile(results["times"], p) for p in (50, 95, 99, 100)},
        "wrong": results["wrong"][:20], "wrong_count": len(results["wrong"]),
        "errors": results["errors"][:20], "error_count": len(results["errors"]),
        "program": sampler.summary(),
    }
    write_result(args.out, out)
    print(f"load: {out['requests']} answers ({out['ranges']} ranges, {out['whole']} whole) in {wall:.1f} s, "
          f"{out['mb_per_s']:.1f} MB/s; {out['wrong_count']} wrong, {out['error_count']} failed")
    for w in (out["wrong"] + out["errors"])[:10]:
        print("  " + w)
    return 0 if not out["wrong"] and not out["errors"] and not sampler.gone else 1


# --- bad input -------------------------------------------------------------

def key_of(text):
    """The share's 16-hex-digit key of a text (FNV-1a, 64 bits)."""
    h = 0xcbf29ce484222325
    for b in text.encode():
        h = ((h ^ b) * 0x100000001b3) & 0xFFFFFFFFFFFFFFFF
    return f"{h:016x}"


def request(target, extra=b""):
    return b"GET " + target + b" HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n" + extra + b"\r\n"


def bad_requests(args, rng):
    """(category, request bytes) of every bad request, shuffled."""
    token = args.token.encode()
    with open(args.episodes) as f:
        specs = json.load(f)
    good_keys = [key_of(s["guid"][len("wavecrate-"):]).encode() for s in specs if s.get("servable", True)]
    link_keys = [key_of(s["guid"][len("wavecrate-"):]).encode() for s in specs if not s.get("servable", True)]
    names = [urllib.parse.quote(os.path.basename(s["file"])).encode() for s in specs]
    secret_paths = [p.encode() for p in args.secret_path]
    out = []

    def add(category, count, make):
        for i in range(count):
            out.append((category, make(i)))

    def wrong_token():
        t = bytearray(token)
        t[rng.randrange(len(t))] = ord(rng.choice("0123456789abcdef"))
        return bytes(t) if bytes(t) != token else bytes(t[::-1])

    add("wrong token", 2000, lambda i: request(rng.choice([
        b"/" + wrong_token() + b"/feed.rss",
        b"/" + wrong_token() + b"/episodes/" + rng.choice(good_keys) + b".mp3",
        b"/" + wrong_token().upper() + b"/feed.rss",
        b"/" + token[:-1] + b"/feed.rss",
        b"/" + token + b"0/feed.rss"])))
    add("unknown path", 1500, lambda i: request(rng.choice([
        b"/" + token + b"/episodes/" + f"{rng.getrandbits(64):016x}".encode() + b".mp3",
        b"/" + token + b"/shows/" + f"{rng.getrandbits(64):016x}".encode() + b".rss",
        b"/" + token + b"/episodes/" + rng.choice(good_keys) + b".MP3",
        b"/" + token + b"/episodes/" + rng.choice(names),
        b"/" + token + b"/feed.xml", b"/" + token + b"/", b"/" + token, b"/", b"/favicon.ico",
        b"/" + token + b"/episodes/" + rng.choice(good_keys) + b".mp3x"])))
    traversal = [b"/" + token + b"/../../../../etc/passwd",
                 b"/" + token + b"/episodes/../../" + rng.choice(names),
                 b"/" + token + b"/episodes/%2e%2e/%2e%2e/canary-outside.txt",
                 b"/" + token + b"/%2E%2E%2Fcanary-beside.txt",
                 b"/" + token + b"/episodes/..%2f..%2fcanary-outside.txt",
                 b"/" + token + b"/episodes/%2fetc%2fpasswd",
                 b"/" + token + b"//episodes//" + rng.choice(good_keys) + b".mp3",
                 b"//" + token + b"/feed.rss",
                 b"/" + token + b"/episodes/canary-link.mp3",
                 b"/" + token + b"/episodes/" + rng.choice(link_keys or good_keys) + b".mp3",
                 b"/" + token + b"/episodes/%00" + rng.choice(good_keys) + b".mp3",
                 b"http://127.0.0.1/" + token + b"/..%2fcanary-beside.txt",
                 b"/" + token + b"/..\\..\\canary-outside.txt"]
    traversal += secret_paths + [b"/" + token + p for p in secret_paths] + \
        [b"/" + token + b"/episodes/" + p.replace(b"/", b"%2f") for p in secret_paths]
    add("traversal", 2500, lambda i: request(traversal[i % len(traversal)]))
    add("overlong line 64 KiB", 150, lambda i: request(b"/" + token + b"/" + b"a" * 65536))
    add("overlong line 1 MiB", 30, lambda i: request(b"/" + token + b"/" + b"b" * (1 << 20)))
    add("overlong header 64 KiB", 150,
        lambda i: request(b"/" + token + b"/feed.rss", b"X-Long: " + b"c" * 65536 + b"\r\n"))
    add("overlong header 1 MiB", 30,
        lambda i: request(b"/" + token + b"/feed.rss", b"X-Long: " + b"d" * (1 << 20) + b"\r\n"))
    add("many headers", 40, lambda i: request(b"/" + token + b"/feed.rss",
                                              b"".join(b"X-%d: v\r\n" % n for n in range(5000))))
    broken = [b"GARBAGE\r\n\r\n", b"GET /\r\n\r\n", b"GET / HTTP/1.1\r\n\r\n",
              b"GET /" + token + b"/feed.rss HTTP/9.9\r\nHost: x\r\n\r\n",
              b"GET /" + token + b"/feed.rss HTTP/1.1\r\nHost x\r\n\r\n",
              b"GET /" + token + b"/feed.rss HTTP/1.1\r\nContent-Length: -5\r\n\r\n",
              b"GET /" + token + b"/feed.rss HTTP/1.1\r\nContent-Length: 99999999999999999999\r\n\r\n",
              b"GET /" + token + b"/feed.rss HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n",
              b"GET /" + token + b"/feed.rss HTTP/1.1\r\n: empty\r\n\r\n",
              b"\r\n\r\n", b"GET\r\n\r\n", b"GET /" + token + b"/feed.rss HTTP/1.1\n\n\x00\r\n\r\n",
              b"PUT /" + token + b"/feed.rss HTTP/1.1\r\nHost: x\r\nContent-Length: 4\r\n\r\nabcd",
              b"DELETE /" + token + b"/feed.rss HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n",
              b"G\x00T /" + token + b"/feed.rss HTTP/1.1\r\n\r\n",
              b"GET /" + token + b"/episodes/" + good_keys[0] + b".mp3 HTTP/1.1\r\nRange: bytes=-0\r\n"
              b"Connection: close\r\n\r\n"]
    add("broken", 1500, lambda i: broken[i % len(broken)])
    add("binary garbage", 1870,
        lambda i: bytes(rng.getrandbits(8) for _ in range(rng.randint(1, 4096))) +
        (b"\r\n\r\n" if i % 2 else b""))
    rng.shuffle(out)
    return out


def normalised(answer):
    """An answer without its Date header, for comparing two answers."""
    head, _, body = answer.partition(b"\r\n\r\n")
    lines = [l for l in head.split(b"\r\n") if not l.lower().startswith(b"date:")]
    return b"\r\n".join(lines) + b"\r\n\r\n" + body


def exchange(port, data, limit=30):
    """Sends `data` on a new connection, then takes everything until the
    server closes; (answer, seconds)."""
    t0 = time.monotonic()
    s = socket.create_connection(("127.0.0.1", port), timeout=limit)
    answer = b""
    try:
        try:
            s.sendall(data)
            s.shutdown(socket.SHUT_WR)
        except OSError:
            pass  # cut before it was all sent: what it answered is read below
        while True:
            try:
                chunk = s.recv(65536)
            except ConnectionResetError:
                break
            if not chunk:
                break
            answer += chunk
    finally:
        s.close()
    return answer, time.monotonic() - t0


def status_of(answer):
    m = re.match(rb"HTTP/1\.[01] (\d{3}) ", answer)
    return m.group(1).decode() if m else ("closed" if not answer else "no status line")


# What each category may get: not found for anything well-formed; refusal
# (400, 413, 414, 431) or a closed connection for what is not a request.
ALLOWED = {
    "wrong token": {"404"},
    "unknown path": {"404"},
    "traversal": {"404", "400"},
    "overlong line 64 KiB": {"400", "413", "414", "closed"},
    "overlong line 1 MiB": {"400", "413", "414", "closed"},
    "overlong header 64 KiB": {"400", "413", "431", "closed"},
    "overlong header 1 MiB": {"400", "413", "431", "closed"},
    # 5000 short headers, 45 KB in all: a request within libsoup's bound
    # on the header block, answered like any other.
    "many headers": {"200", "400", "413", "431", "closed"},
    "broken": {"400", "404", "413", "416", "501", "505", "closed"},
    "binary garbage": {"400", "closed"},
    "slow": {"closed", "400", "408"},
}


def run_bad(args):
    rng = random.Random(args.seed)
    todo = bad_requests(args, rng)
    canary = args.canary.encode()
    lock = threading.Lock()
    counts, statuses, faults, times = {}, {}, [], {}
    reference = {}

    def record(category, answer, seconds):
        status = status_of(answer)
        with lock:
            counts[category] = counts.get(category, 0) + 1
            statuses.setdefault(category, {}).setdefault(status, 0)
            statuses[category][status] += 1
            times.setdefault(category, []).append(seconds)
            if canary in answer:
                faults.append(f"{category}: the secret text in an answer")
            if status not in ALLOWED[category]:
                faults.append(f"{category}: {status}: {answer[:120]!r}")
            if category in ("wrong token", "unknown path") and status == "404":
                n = normalised(answer)
                first = reference.setdefault("404", n)
                if n != first:
                    faults.append(f"{category}: a 404 unlike the others: {answer!r}")

    def worker():
        while True:
            try:
                category, data = work.get_nowait()
            except queue.Empty:
                return
            try:
                answer, seconds = exchange(args.port, data)
            except OSError as error:
                with lock:
                    faults.append(f"{category}: {type(error).__name__}: {error}")
                continue
            record(category, answer, seconds)

    def slow_client(n):
        # A byte a second of a good request, forever: the header deadline
        # must cut it.
        data = request(b"/" + args.token.encode() + b"/feed.rss")
        t0 = time.monotonic()
        answer = b""
        try:
            s = socket.create_connection(("127.0.0.1", args.port), timeout=60)
            for i in range(len(data)):
                try:
                    s.send(data[i:i + 1])
                except (BrokenPipeError, ConnectionResetError):
                    break
                r, _, _ = select_one(s, 1.0)
                if r:
                    try:
                        chunk = s.recv(65536)
                    except ConnectionResetError:
                        chunk = b""
                    answer += chunk
                    if not chunk:
                        break
            s.close()
        except OSError as error:
            with lock:
                faults.append(f"slow: {type(error).__name__}: {error}")
            return
        record("slow", answer, time.monotonic() - t0)

    work = queue.Queue()
    rounds = []
    # The same requests again: memory a first round leaves in the allocator
    # for reuse shows after it; a leak grows again with every round.
    with Sampler(args.pid) as sampler:
        for _ in range(args.rounds):
            for item in todo:
                work.put(item)
            start = time.monotonic()
            slow = [threading.Thread(target=slow_client, args=(n,)) for n in range(args.slow)]
            workers = [threading.Thread(target=worker) for _ in range(args.workers)]
            for t in slow + workers:
                t.start()
            for t in workers:
                t.join()
            fast_seconds = time.monotonic() - start
            for t in slow:
                t.join()
            wall = time.monotonic() - start
            # Closed connections are let go, then the program is looked at again.
            time.sleep(args.settle)
            with Sampler(args.pid) as after:
                time.sleep(args.after)
            rounds.append({"requests": len(todo) + args.slow, "seconds": wall, "fast_seconds": fast_seconds,
                           "after": after.summary()})
    alive = proc_figures(args.pid) is not None
    out = {
        "phase": "bad", "requests": sum(counts.values()), "rounds": rounds,
        "counts": counts, "statuses": statuses,
        "median_ms": {c: 1000 * statistics.median(v) for c, v in times.items()},
        "max_ms": {c: 1000 * max(v) for c, v in times.items()},
        "faults": faults[:30], "fault_count": len(faults), "alive": alive,
        "program": sampler.summary(), "after": rounds[-1]["after"],
    }
    write_result(args.out, out)
    print(f"bad input: {out['requests']} requests in {len(rounds)} rounds; {len(faults)} faults; "
          f"program {'alive' if alive else 'GONE'}")
    for f in faults[:10]:
        print("  " + f)
    return 0 if not faults and alive else 1


def select_one(s, seconds):
    import select
    return select.select([s], [], [], seconds)


# --- idle and summary ------------------------------------------------------

def run_sample(args):
    with Sampler(args.pid) as sampler:
        time.sleep(args.seconds)
    out = {"phase": args.name, "seconds": args.seconds, "program": sampler.summary()}
    write_result(args.out, out)
    return 0 if not sampler.gone else 1


def write_result(path, out):
    with open(path, "w") as f:
        json.dump(out, f, indent=1)


def run_summary(args):
    phases = {}
    for path in args.files:
        if not os.path.exists(path):
            print(f"no figures in {path}: that phase failed (see above)")
            continue
        with open(path) as f:
            d = json.load(f)
        phases[d["phase"]] = d
    if "idle" not in phases:
        return 1
    idle = phases["idle"]["program"]

    def ratio(a, b):
        return f"{a / b:.2f}" if b else "n/a"

    print("| phase | RSS MB mean / max | threads mean / max | fds mean / max | "
          "RSS max / idle | threads max / idle | fds max / idle |")
    print("|---|---|---|---|---|---|---|")
    rows = [("idle (show 1, no clients)", idle)]
    if "load" in phases:
        rows.append(("load (show 2, 200 clients)", phases["load"]["program"]))
    if "bad" in phases:
        rows.append(("bad input (show 3)", phases["bad"]["program"]))
        for n, r in enumerate(phases["bad"]["rounds"], 1):
            rows.append((f"after bad-input round {n}", r["after"]))
    for name, p in rows:
        if not p.get("samples"):
            print(f"| {name} | no samples | | | | | |")
            continue
        print(f"| {name} | {p['rss_kb']['mean'] / 1024:.1f} / {p['rss_kb']['max'] / 1024:.1f} | "
              f"{p['threads']['mean']:.1f} / {p['threads']['max']} | {p['fds']['mean']:.1f} / {p['fds']['max']} | "
              f"{ratio(p['rss_kb']['max'], idle['rss_kb']['mean'])} | "
              f"{ratio(p['threads']['max'], idle['threads']['mean'])} | "
              f"{ratio(p['fds']['max'], idle['fds']['mean'])} |")
    if "load" in phases:
        l = phases["load"]
        print(f"\nload: {l['clients']} clients asking for ranges for {l['for_seconds']:.0f} s (at least {l['rounds']} "
              f"each), every 20th one whole episode too: {l['requests']} answers "
              f"({l['ranges']} ranges, {l['whole']} whole files), {l['bytes'] / 1e6:.0f} MB in {l['seconds']:.1f} s = "
              f"{l['mb_per_s']:.1f} MB/s; time to headers ms p50/p95/p99/max "
              + "/".join(f"{l['ttfb_ms'][k]:.0f}" for k in ("50", "95", "99", "100"))
              + "; whole request ms p50/p95/p99/max "
              + "/".join(f"{l['request_ms'][k]:.0f}" for k in ("50", "95", "99", "100"))
              + f"; wrong answers {l['wrong_count']}, failed clients {l['error_count']}")
        for w in l["wrong"] + l["errors"]:
            print("  " + w)
    if "bad" in phases:
        b = phases["bad"]
        print(f"\nbad input: {b['requests']} requests in {len(b['rounds'])} rounds ("
              + ", ".join(f"{r['requests']} in {r['seconds']:.1f} s, all but the slow clients in {r['fast_seconds']:.1f} s"
                          for r in b["rounds"])
              + f"); faults {b['fault_count']}; program alive: {b['alive']}")
        print("| category | requests | answers | median ms | max ms |")
        print("|---|---|---|---|---|")
        for c, n in b["counts"].items():
            answers = ", ".join(f"{s} x{k}" for s, k in sorted(b["statuses"][c].items()))
            print(f"| {c} | {n} | {answers} | {b['median_ms'][c]:.0f} | {b['max_ms'][c]:.0f} |")
        for f in b["faults"]:
            print("  " + f)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    sub = parser.add_subparsers(dest="command", required=True)
    s = sub.add_parser("sample")
    s.add_argument("--pid", type=int, required=True)
    s.add_argument("--seconds", type=float, required=True)
    s.add_argument("--name", default="idle")
    s.add_argument("--out", required=True)
    for name in ("load", "bad"):
        p = sub.add_parser(name)
        p.add_argument("--pid", type=int, required=True)
        p.add_argument("--port", type=int, required=True)
        p.add_argument("--token", required=True)
        p.add_argument("--episodes", required=True)
        p.add_argument("--out", required=True)
        p.add_argument("--seed", type=int, default=1)
    load = sub.choices["load"]
    load.add_argument("--clients", type=int, default=200)
    load.add_argument("--rounds", type=int, default=4)
    load.add_argument("--seconds", type=float, default=30,
                      help="each client goes on asking for ranges until then (at least --rounds)")
    load.add_argument("--whole-every", type=int, default=20)
    load.add_argument("--timeout", type=float, default=120)
    bad = sub.choices["bad"]
    bad.add_argument("--canary", required=True)
    bad.add_argument("--secret-path", action="append", default=[])
    bad.add_argument("--workers", type=int, default=32)
    bad.add_argument("--slow", type=int, default=36)
    bad.add_argument("--settle", type=float, default=3)
    bad.add_argument("--after", type=float, default=5)
    bad.add_argument("--rounds", type=int, default=2)
    sm = sub.add_parser("summary")
    sm.add_argument("files", nargs="+")
    args = parser.parse_args()
    sys.exit({"sample": run_sample, "load": run_load, "bad": run_bad, "summary": run_summary}[args.command](args))


if __name__ == "__main__":
    main()
