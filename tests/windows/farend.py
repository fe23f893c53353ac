#!/usr/bin/env python3
"""The far end of COM1 for the Windows test programs under Wine (tests/ptypair_win.cpp).

Makes a pseudo-terminal pair in raw mode, holds its slave open so that the line never hangs up between test
programs, prints "farend: serial port at PATH, relay at PORT" and serves one test program at a time on
127.0.0.1:PORT. Requests are one byte, a 4-byte little-endian length and that many bytes: R reads what the
console has sent (never waiting), W writes to the console, P waits up to the given milliseconds for input
without reading it. Every answer is a 4-byte little-endian length and its bytes. Runs until killed.
"""
import os
import select
import socket
import struct
import sys
import tty


def receive(connection, size):
    data = b""
    while len(data) < size:
        chunk = connection.recv(size - len(data))
        if not chunk:
            raise ConnectionError("test program went away")
        data += chunk
    return data


def read_available(master):
    data = b""
    while select.select([master], [], [], 0)[0]:
        try:
            chunk = os.read(master, 65536)
        except OSError:
            break
        if not chunk:
            break
        data += chunk
    return data


def serve(connection, master):
    while True:
        request = receive(connection, 1)
        size = struct.unpack("<I", receive(connection, 4))[0]
        data = receive(connection, size) if size else b""
        if request == b"R":
            answer = read_available(master)
        elif request == b"W":
            view = memoryview(data)
            while view:
                select.select([], [master], [])
                view = view[os.write(master, view):]
            answer = b""
        elif request == b"P":
            milliseconds = struct.unpack("<I", data)[0]
            answer = b"1" if select.select([master], [], [], milliseconds / 1000)[0] else b"0"
        else:
            raise ValueError(f"unknown request {request!r}")
        connection.sendall(struct.pack("<I", len(answer)) + answer)


def main():
    master, slave = os.openpty()
    tty.setraw(slave)
    os.set_blocking(master, False)
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.bind(("127.0.0.1", 0))
    listener.listen(1)
    print(f"farend: serial port at {os.ttyname(slave)}, relay at {listener.getsockname()[1]}", flush=True)
    while True:
        connection, _ = listener.accept()
        with connection:
            try:
                serve(connection, master)
            except (ConnectionError, OSError):
                pass


if __name__ == "__main__":
    sys.exit(main())
