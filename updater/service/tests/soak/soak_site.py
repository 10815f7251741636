#!/usr/bin/python3
"""The update sites of the service soak: a web server whose sites the
world script turns up, down and busy.

Usage: soak_site.py ROOT
Listens on 127.0.0.1 at a free port and prints it on the first line.
  GET /<site>/<path>   serves ROOT/sites/<site>/<path> as the site's mode
                       (the file ROOT/modes/<site>, read at each request) says:
                         "up" (or no file)   the file, or 404
                         "down"              the connection closes unanswered
                         "<status> <secs>"   that status (429 or 503) with
                                             "Retry-After: <secs>"
Every request is logged to ROOT/requests.log as "<site> <status>".
"""
import http.server
import os
import socketserver
import sys
import threading

root = sys.argv[1]
log_lock = threading.Lock()


def mode_of(site):
    try:
        with open(os.path.join(root, "modes", site)) as f:
            return f.read().split()
    except OSError:
        return ["up"]


class Site(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.0"

    def do_GET(self):
        path = self.path.split("?", 1)[0]
        parts = path.lstrip("/").split("/", 1)
        site = parts[0]
        rest = parts[1] if len(parts) > 1 else ""
        mode = mode_of(site)
        if mode[0] == "down":
            self.log_request_line(site, 0)
            self.close_connection = True
            self.connection.close()
            return
        if mode[0] != "up":
            status = int(mode[0])
            self.log_request_line(site, status)
            self.send_response(status)
            self.send_header("Retry-After", mode[1])
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        file_path = os.path.realpath(os.path.join(root, "sites", site, rest))
        if ".." in rest.split("/") or not os.path.isfile(file_path):
            self.log_request_line(site, 404)
            self.send_response(404)
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        with open(file_path, "rb") as f:
            body = f.read()
        self.log_request_line(site, 200)
        self.send_response(200)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_request_line(self, site, status):
        with log_lock, open(os.path.join(root, "requests.log"), "a") as log:
            log.write("%s %d\n" % (site, status))

    def log_message(self, *args):
        pass


socketserver.ThreadingTCPServer.daemon_threads = True
socketserver.ThreadingTCPServer.allow_reuse_address = True
server = socketserver.ThreadingTCPServer(("127.0.0.1", 0), Site)
print(server.server_address[1], flush=True)
server.serve_forever()
