#!/usr/bin/env python3
"""A loopback HTTP server for the download tests: serves ROOT under several behaviours chosen by
the first path element, prints its port, and logs each request's path and Range to LOG.

  /ok/NAME        honours Range requests
  /cut/NAME       first request for NAME stops halfway, then honours Range
  /cutfull/NAME   first request stops halfway, then ignores Range (always the whole file)
  /alwayscut/NAME every request stops halfway
"""
import http.server
import os
import sys
import time
import threading

root, log_path = sys.argv[1], sys.argv[2]
log_lock = threading.Lock()
served = set()


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def do_GET(self):
        parts = self.path.strip("/").split("/", 1)
        mode, name = (parts + [""])[:2]
        rng = self.headers.get("Range", "")
        with log_lock:
            with open(log_path, "a") as log:
                log.write(f"{self.path} {rng}\n")
        path = os.path.join(root, name)
        if not name or not os.path.isfile(path):
            self.send_error(404, "Not Found")
            return
        data = open(path, "rb").read()
        first = (mode, name) not in served
        served.add((mode, name))
        cut = mode == "alwayscut" or (mode in ("cut", "cutfull") and first)
        start = 0
        if rng.startswith("bytes=") and mode in ("ok", "cut"):
            start = int(rng[6:].split("-")[0])
            self.send_response(206)
            self.send_header("Content-Range", f"bytes {start}-{len(data) - 1}/{len(data)}")
        else:
            self.send_response(200)
        body = data[start:]
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        # The first half, a pause, then the rest (or nothing when cut): the client sees the file
        # arrive in at least two pieces.
        half = len(body) // 2
        self.wfile.write(body[:half])
        self.wfile.flush()
        time.sleep(0.3)
        if not cut:
            self.wfile.write(body[half:])
        if cut:
            self.close_connection = True


server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
print(server.server_address[1], flush=True)
server.serve_forever()
