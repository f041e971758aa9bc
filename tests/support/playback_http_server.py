#!/usr/bin/env python3
"""A loopback HTTP server for the playback tests (standard library only).

    playback_http_server.py --routes ROUTES.json --log REQUESTS.log [--root DIR]

Binds 127.0.0.1 on a free port and prints the port on the first line of its
standard output. Every request is appended to the log before it is answered,
one line each: method, the request target exactly as received, then one
"Name: value" field per header, all separated by tabs (a tab inside a value is
written as the two characters backslash and t).

The routes file is read again for every request, so a test can change the
answers between requests. It holds {"routes": [ROUTE, ...]}; the first route
whose "path" equals the request's path (the target without its query, as
received, not decoded), or whose "prefix" starts it, answers:

    status        reply status (200)
    content_type  Content-Type value (no such header when absent)
    location      Location value
    headers       further headers, {"Name": "value"}
    body          reply text; "{base}" in it becomes http://127.0.0.1:PORT
    body_size     a body of that many bytes instead
    file          a body read from a file under --root instead
    delay         seconds to wait before answering
    hold          true: accept the request and never answer
    stream        true: send the headers, then body bytes every 50 ms forever
    stall_after   with body_size: send this many bytes, then stop and hold
    pieces        send the body in pieces of this many bytes, 20 ms apart
    rate          send the body at this many bytes a second, without a
                  Content-Length, and close: a live stream sent in real time
    query         the route answers only requests whose query holds this text

A request that no route answers is served from --root when the file exists
(type by extension), else answered 404 with a small HTML page.
"""

import argparse
import json
import mimetypes
import os
import signal
import sys
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

TYPES = {
    ".pls": "audio/x-scpls",
    ".m3u": "audio/x-mpegurl",
    ".m3u8": "application/vnd.apple.mpegurl",
    ".xspf": "application/xspf+xml",
    ".asx": "video/x-ms-asf",
    ".ts": "video/mp2t",
    ".mp3": "audio/mpeg",
    ".html": "text/html",
}


class Handler(BaseHTTPRequestHandler):
    server_version = "PlaybackTestServer/1.0"
    sys_version = ""

    def log_message(self, fmt, *args):  # quiet: the request log is ours
        pass

    def record(self):
        fields = [self.command, self.path]
        for name, value in self.headers.items():
            fields.append("%s: %s" % (name, value.replace("\t", "\\t")))
        with self.server.log_lock:
            with open(self.server.log_path, "a", encoding="latin-1") as log:
                log.write("\t".join(fields) + "\n")
                log.flush()

    def routes(self):
        try:
            with open(self.server.routes_path, encoding="utf-8") as f:
                return json.load(f).get("routes", [])
        except (OSError, ValueError):
            return []

    def find_route(self):
        path, _, query = self.path.partition("?")
        for route in self.routes():
            if "query" in route and route["query"] not in query:
                continue
            if "path" in route and route["path"] == path:
                return route
            if "prefix" in route and path.startswith(route["prefix"]):
                return route
        return None

    def hold(self):
        while True:
            time.sleep(1)

    def do_GET(self):
        self.record()
        route = self.find_route()
        try:
            if route is None:
                self.serve_static()
            else:
                self.serve_route(route)
        except (BrokenPipeError, ConnectionResetError):
            pass

    def serve_route(self, route):
        if route.get("delay"):
            time.sleep(float(route["delay"]))
        if route.get("hold"):
            self.hold()
        base = "http://127.0.0.1:%d" % self.server.server_address[1]
        if "body_size" in route:
            body = b"x" * int(route["body_size"])
        elif "file" in route:
            with open(os.path.join(self.server.root, route["file"]), "rb") as f:
                body = f.read()
        else:
            body = route.get("body", "").replace("{base}", base).encode("latin-1")
        self.send_response(int(route.get("status", 200)))
        if "content_type" in route:
            self.send_header("Content-Type", route["content_type"])
        if "location" in route:
            self.send_header("Location", route["location"].replace("{base}", base))
        for name, value in route.get("headers", {}).items():
            self.send_header(name, value)
        if route.get("rate"):
            self.end_headers()
            step = max(1, int(float(route["rate"]) / 20))  # 50 ms of it
            start = time.monotonic()
            for at in range(0, len(body), step):
                self.wfile.write(body[at : at + step])
                self.wfile.flush()
                ahead = start + (at + step) / float(route["rate"]) - time.monotonic()
                if ahead > 0:
                    time.sleep(ahead)
            self.close_connection = True
            return
        if route.get("stream"):
            self.end_headers()
            while True:
                self.wfile.write(b"\0" * 512)
                self.wfile.flush()
                time.sleep(0.05)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if "stall_after" in route:
            self.wfile.write(body[: int(route["stall_after"])])
            self.wfile.flush()
            self.hold()
        if route.get("pieces"):
            size = int(route["pieces"])
            for at in range(0, len(body), size):
                self.wfile.write(body[at : at + size])
                self.wfile.flush()
                time.sleep(0.02)
            return
        self.wfile.write(body)

    def serve_static(self):
        path = urllib.parse.unquote(self.path.split("?", 1)[0]).lstrip("/")
        full = os.path.realpath(os.path.join(self.server.root, path)) if self.server.root else ""
        if full and full.startswith(self.server.root + os.sep) and os.path.isfile(full):
            with open(full, "rb") as f:
                body = f.read()
            ext = os.path.splitext(full)[1].lower()
            ctype = TYPES.get(ext) or mimetypes.guess_type(full)[0] or "application/octet-stream"
            self.send_response(200)
            self.send_header("Content-Type", ctype)
        else:
            body = b"<html><body>Not found</body></html>"
            self.send_response(404)
            self.send_header("Content-Type", "text/html")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--routes", required=True)
    parser.add_argument("--log", required=True)
    parser.add_argument("--root", default="")
    args = parser.parse_args()

    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    server.routes_path = args.routes
    server.log_path = args.log
    server.log_lock = threading.Lock()
    server.root = os.path.realpath(args.root) if args.root else ""
    signal.signal(signal.SIGTERM, lambda *_: os._exit(0))
    sys.stdout.write("%d\n" % server.server_address[1])
    sys.stdout.flush()
    server.serve_forever()


if __name__ == "__main__":
    main()
