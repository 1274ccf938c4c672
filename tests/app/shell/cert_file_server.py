#!/usr/bin/python3
"""Serves the files of one folder over http on 127.0.0.1 (port 0) for the certificate tests.

  cert_file_server.py FOLDER

Prints the port as the first line of standard output; runs until stopped.
"""
import functools
import http.server
import sys


class Quiet(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass


def main():
    handler = functools.partial(Quiet, directory=sys.argv[1])
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    print(server.server_address[1], flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
