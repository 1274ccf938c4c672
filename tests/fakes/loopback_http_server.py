#!/usr/bin/python3
"""A loopback HTTP(S) server for tests; started and stopped by the test itself.

Binds 127.0.0.1 port 0 and prints the port as the first line of standard output.
  --tls CERT KEY   serve https with that certificate
  --record DIR     write each request to DIR/request-<n>.json (method, path, headers,
                   body as latin-1 text) and answer with the status in DIR/status
                   (200 when that file is absent) and the body in DIR/answer<path with "/"
                   as "_"> ("{}" when absent); while DIR/stall exists, only the headers
                   and half the body are sent, then nothing more
Paths (when not recording):
  /echo            200 with a JSON object of the request (method, path, headers, body)
  /status/<n>      an empty answer with status n
  /hang            never answers (the client's time limit ends it)
  /big/<n>         200 with n bytes of "x"
  /close           closes the connection without answering
  /redirect?to=U   302 to the URL U (taken as is)
"""

import http.server
import json
import os
import ssl
import sys
import threading
import time
from socketserver import ThreadingMixIn


class Server(ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    record_dir = None
    counter = 0
    lock = threading.Lock()

    def handle_error(self, request, client_address):
        pass  # clients that hang up early are part of the tests


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def do_GET(self):
        self.handle_any()

    def do_POST(self):
        self.handle_any()

    def answer(self, status, body=b"", content_type="application/json"):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("X-Test-Server", "loopback")
        self.end_headers()
        self.wfile.write(body)

    def handle_any(self):
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length) if length else b""
        request = {
            "method": self.command,
            "path": self.path,
            "headers": [[k, v] for k, v in self.headers.items()],
            "body": body.decode("latin-1"),
        }
        server = self.server
        if server.record_dir:
            with server.lock:
                server.counter += 1
                n = server.counter
            target = os.path.join(server.record_dir, "request-%d.json" % n)
            with open(target + ".tmp", "w") as f:
                json.dump(request, f)
            os.rename(target + ".tmp", target)
            status = 200
            try:
                with open(os.path.join(server.record_dir, "status")) as f:
                    status = int(f.read().strip())
            except FileNotFoundError:
                pass
            body = b"{}"
            answer = os.path.join(server.record_dir, "answer" + self.path.replace("/", "_"))
            if os.path.exists(answer):
                with open(answer, "rb") as f:
                    body = f.read()
            if os.path.exists(os.path.join(server.record_dir, "stall")):
                self.send_response(status)
                self.send_header("Content-Length", str(len(body) + 1))
                self.end_headers()
                self.wfile.write(body[: len(body) // 2])
                self.wfile.flush()
                time.sleep(3600)
                return
            self.answer(status, body)
            return
        if self.path == "/echo":
            self.answer(200, json.dumps(request).encode())
        elif self.path.startswith("/status/"):
            self.answer(int(self.path[len("/status/"):]))
        elif self.path == "/hang":
            time.sleep(3600)
        elif self.path.startswith("/big/"):
            self.answer(200, b"x" * int(self.path[len("/big/"):]), "text/plain")
        elif self.path.startswith("/redirect?to="):
            self.send_response(302)
            self.send_header("Location", self.path[len("/redirect?to="):])
            self.send_header("Content-Length", "0")
            self.end_headers()
        elif self.path == "/close":
            self.close_connection = True
            self.connection.shutdown(2)
        else:
            self.answer(404)


def main():
    args = sys.argv[1:]
    server = Server(("127.0.0.1", 0), Handler)
    while args:
        option = args.pop(0)
        if option == "--tls":
            cert, key = args.pop(0), args.pop(0)
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            context.load_cert_chain(cert, key)
            server.socket = context.wrap_socket(server.socket, server_side=True)
        elif option == "--record":
            server.record_dir = args.pop(0)
        else:
            sys.exit("unknown option " + option)
    print(server.server_address[1], flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
