#!/usr/bin/python3
"""Sends one raw frame to the helper's socket and prints the answer's bytes as hex.

  raw_client.py SOCKET FRAME_HEX

Prints "-" when the helper closed the connection without answering.
"""
import socket
import struct
import sys


def main():
    connection = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    connection.settimeout(30)
    connection.connect(sys.argv[1])
    connection.sendall(bytes.fromhex(sys.argv[2]))
    data = b""
    while True:
        chunk = connection.recv(4096)
        if not chunk:
            break
        data += chunk
        if len(data) >= 4 and len(data) >= 4 + struct.unpack(">I", data[:4])[0]:
            break
    print(data.hex() or "-", flush=True)


if __name__ == "__main__":
    main()
