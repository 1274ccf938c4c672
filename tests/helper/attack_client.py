#!/usr/bin/python3
"""A hostile local user against the helper's socket, all attacks at once, for the attack test.

  attack_client.py SOCKET FLUSH_FRAME_HEX REFUSED_FRAME_HEX FLOODERS LOGGERS HALF IDLE

FLOODERS connections send flush requests as fast as the helper takes them (replies are read and
dropped); LOGGERS connections do the same with a request the helper refuses after logging; HALF
connections each send part of a frame (half announce 4 MiB and send what the socket takes, half
announce a small frame and send half of it) and then nothing; IDLE connections connect and send
nothing. A connection the helper closes is opened again. Prints "ready" once every connection
was tried, then runs until its standard input closes, and prints one JSON line of counts.
"""
import json
import os
import resource
import selectors
import socket
import struct
import sys


def main():
    path, flush_hex, refused_hex = sys.argv[1:4]
    flooders, loggers, half, idle = (int(v) for v in sys.argv[4:8])
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    batch = {"flush": bytes.fromhex(flush_hex) * 64, "refused": bytes.fromhex(refused_hex) * 64}
    counts = {"connected": 0, "refused_connect": 0, "closed_by_helper": 0, "sent_bytes": 0, "read_bytes": 0}
    selector = selectors.DefaultSelector()
    held = []
    pending = {}  # what is left of a sender's current batch: frames are never cut between batches

    def connect():
        s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        s.setblocking(False)
        try:
            s.connect(path)
        except BlockingIOError:
            pass
        except OSError:
            counts["refused_connect"] += 1
            s.close()
            return None
        counts["connected"] += 1
        return s

    def start_sender(kind):
        s = connect()
        if s is not None:
            selector.register(s, selectors.EVENT_READ | selectors.EVENT_WRITE, kind)

    for _ in range(flooders):
        start_sender("flush")
    for _ in range(loggers):
        start_sender("refused")
    for i in range(half):
        s = connect()
        if s is None:
            continue
        if i % 2 == 0:
            announced = 4 * 1024 * 1024 - 1
            part = struct.pack(">I", announced) + b"{" * (announced // 2)
        else:
            part = struct.pack(">I", 200) + b'{"call":'
        try:
            counts["sent_bytes"] += s.send(part)
        except OSError:
            pass
        held.append(s)
    for _ in range(idle):
        s = connect()
        if s is not None:
            held.append(s)
    selector.register(sys.stdin, selectors.EVENT_READ, "stdin")
    print("ready", flush=True)

    while True:
        for key, events in selector.select(timeout=1.0):
            kind = key.data
            if kind == "stdin":
                if not os.read(sys.stdin.fileno(), 4096):
                    print(json.dumps(counts), flush=True)
                    return
                continue
            s = key.fileobj
            try:
                if events & selectors.EVENT_READ:
                    data = s.recv(65536)
                    if not data:
                        raise ConnectionResetError
                    counts["read_bytes"] += len(data)
                if events & selectors.EVENT_WRITE:
                    left = pending.get(s) or batch[kind]
                    sent = s.send(left)
                    pending[s] = left[sent:]
                    counts["sent_bytes"] += sent
            except (BlockingIOError, InterruptedError):
                pass
            except OSError:
                counts["closed_by_helper"] += 1
                selector.unregister(s)
                pending.pop(s, None)
                s.close()
                start_sender(kind)


if __name__ == "__main__":
    main()
