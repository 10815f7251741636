#!/usr/bin/python3
"""An update site that asks its clients to wait, for the cool-down tests.

Usage: retry_after_site.py
Listens on 127.0.0.1 at a free port and prints it on the first line.
  GET /<status>/<retry-after>/<name>   answers <status> (429, 503 or 200),
      with the header "Retry-After: <retry-after>" (percent-decoded) unless
      it is "none"; a 200 carries a small catalogue.
  GET /count?<prefix>                  how many requests so far had a path
      starting with <prefix> (this request not counted).
"""
import http.server
import socketserver
import sys
import threading
import urllib.parse

counts = {}
lock = threading.Lock()


class Site(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        if self.path.startswith("/count?"):
            prefix = urllib.parse.unquote(self.path[len("/count?"):])
            with lock:
                total = sum(n for path, n in counts.items() if path.startswith(prefix))
            self.answer(200, None, str(total).encode())
            return
        with lock:
            counts[self.path] = counts.get(self.path, 0) + 1
        parts = self.path.split("/", 3)
        if len(parts) < 4 or not parts[1].isdigit():
            self.answer(404, None, b"not here\n")
            return
        status = int(parts[1])
        retry_after = None if parts[2] == "none" else urllib.parse.unquote(parts[2])
        body = b"[AVV-ZIP]\r\nDATVersion=4567\r\n" if status == 200 else b"busy\n"
        self.answer(status, retry_after, body)

    def answer(self, status, retry_after, body):
        self.send_response(status)
        if retry_after is not None:
            self.send_header("Retry-After", retry_after)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


socketserver.ThreadingTCPServer.daemon_threads = True
socketserver.ThreadingTCPServer.allow_reuse_address = True
server = socketserver.ThreadingTCPServer(("127.0.0.1", 0), Site)
print(server.server_address[1], flush=True)
server.serve_forever()
