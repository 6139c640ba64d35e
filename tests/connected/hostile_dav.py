#!/usr/bin/env python3
"""A misbehaving WebDAV server for the connected-store tests: plain HTTP on 127.0.0.1, one way
of misbehaving per run, answering every request the same way.

Usage: hostile_dav.py PORTFILE MODE
  Listens on a free port of 127.0.0.1, writes the port to PORTFILE, and serves until killed.
  silent    reads the request and never answers
  trickle   starts an answer and sends one byte every 0.3 s
  endless   a 207 answer whose body never ends
  headers   header lines that never end
  doctype   a 207 answer declaring entities that expand a billion times
  deep      a 207 answer nested 100,000 elements deep
  echo      a 500 answer repeating the request's Authorization (the password in it decoded)
  redirect  a 301 to another server for every request
Only 127.0.0.1 is ever listened on.
"""
import base64
import socket
import sys
import threading
import time


def read_request(conn):
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = conn.recv(65536)
        if not chunk:
            return data
        data += chunk
    head, _, rest = data.partition(b"\r\n\r\n")
    length = 0
    for line in head.split(b"\r\n"):
        if line.lower().startswith(b"content-length:"):
            length = int(line.split(b":", 1)[1])
    while len(rest) < length:
        chunk = conn.recv(65536)
        if not chunk:
            break
        rest += chunk
    return head


def serve(conn, mode):
    try:
        while True:
            head = read_request(conn)
            if not head:
                return
            if mode == "silent":
                time.sleep(3600)
            elif mode == "trickle":
                conn.sendall(b"HTTP/1.1 207 Multi-Status\r\nContent-Type: application/xml\r\nContent-Length: 100000\r\n\r\n")
                while True:
                    conn.sendall(b" ")
                    time.sleep(0.3)
            elif mode == "endless":
                conn.sendall(b"HTTP/1.1 207 Multi-Status\r\nContent-Type: application/xml\r\n\r\n"
                             b"<multistatus xmlns='DAV:'>")
                block = b"<response><href>/x</href></response>" * 4096
                while True:
                    conn.sendall(block)
            elif mode == "headers":
                conn.sendall(b"HTTP/1.1 207 Multi-Status\r\n")
                while True:
                    conn.sendall(b"X-Filler: " + b"x" * 1000 + b"\r\n")
            elif mode == "doctype":
                body = (b'<?xml version="1.0"?><!DOCTYPE m [<!ENTITY a "aaaaaaaaaa">'
                        + b"".join(b'<!ENTITY %c "&%c;&%c;&%c;&%c;&%c;&%c;&%c;&%c;&%c;&%c;">' % ((c,) + (c - 1,) * 10)
                                   for c in range(ord("b"), ord("j")))
                        + b"]><multistatus xmlns='DAV:'><response><href>&i;</href></response></multistatus>")
                conn.sendall(b"HTTP/1.1 207 Multi-Status\r\nContent-Type: application/xml\r\nContent-Length: %d\r\n\r\n"
                             % len(body) + body)
            elif mode == "deep":
                body = b"<multistatus xmlns='DAV:'>" + b"<a>" * 100000 + b"</a>" * 100000 + b"</multistatus>"
                conn.sendall(b"HTTP/1.1 207 Multi-Status\r\nContent-Type: application/xml\r\nContent-Length: %d\r\n\r\n"
                             % len(body) + body)
            elif mode == "echo":
                said = b""
                for line in head.split(b"\r\n"):
                    if line.lower().startswith(b"authorization: basic "):
                        said = base64.b64decode(line.split(b" ")[-1])
                body = b"you said " + said
                conn.sendall(b"HTTP/1.1 500 Oops\r\nContent-Length: %d\r\n\r\n" % len(body) + body)
            elif mode == "redirect":
                conn.sendall(b"HTTP/1.1 301 Moved\r\nLocation: http://elsewhere.invalid/dav/\r\nContent-Length: 0\r\n\r\n")
    except OSError:
        pass
    finally:
        conn.close()


def main():
    portfile, mode = sys.argv[1], sys.argv[2]
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    s.listen(16)
    with open(portfile + ".tmp", "w") as f:
        f.write(str(s.getsockname()[1]))
    import os
    os.rename(portfile + ".tmp", portfile)
    while True:
        conn, _ = s.accept()
        threading.Thread(target=serve, args=(conn, mode), daemon=True).start()


if __name__ == "__main__":
    main()
