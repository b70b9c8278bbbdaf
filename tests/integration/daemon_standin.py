#!/usr/bin/python3
"""A stand-in for the container daemon's socket: passes each connection on
to the daemon's own socket, except a request whose first line matches the
pattern in HOLD_FILE while that file exists: it is taken and never answered.
Prints "held LINE" when it holds one and "dropped LINE" when the caller gives
it up.

  daemon_standin.py LISTEN DAEMON_SOCKET HOLD_FILE
"""
import re
import socket
import sys
import threading


def pipe(src, dst):
    try:
        while True:
            data = src.recv(65536)
            if not data:
                break
            dst.sendall(data)
    except OSError:
        pass
    finally:
        try:
            dst.shutdown(socket.SHUT_WR)
        except OSError:
            pass


def serve(conn, daemon, hold_file):
    head = b""
    while b"\r\n" not in head:
        data = conn.recv(65536)
        if not data:
            conn.close()
            return
        head += data
    line = head.split(b"\r\n")[0].decode(errors="replace")
    try:
        pattern = open(hold_file).read().strip()
    except OSError:
        pattern = ""
    if pattern and re.search(pattern, line):
        print("held", line, flush=True)
        try:
            while conn.recv(65536):
                pass
        except OSError:
            pass
        print("dropped", line, flush=True)
        conn.close()
        return
    up = socket.socket(socket.AF_UNIX)
    up.connect(daemon)
    up.sendall(head)
    back = threading.Thread(target=pipe, args=(up, conn), daemon=True)
    back.start()
    pipe(conn, up)
    back.join()
    conn.close()
    up.close()


def main():
    listen, daemon, hold_file = sys.argv[1:4]
    s = socket.socket(socket.AF_UNIX)
    s.bind(listen)
    s.listen(64)
    while True:
        conn, _ = s.accept()
        threading.Thread(target=serve, args=(conn, daemon, hold_file), daemon=True).start()


if __name__ == "__main__":
    main()
