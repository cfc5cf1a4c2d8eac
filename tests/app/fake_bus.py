#!/usr/bin/python3
"""A session bus that misbehaves, for the tests.

  fake_bus.py MODE PATH
listens at PATH, prints "ready", and serves each client as MODE says:
  flood         takes the login, answers Hello, then sends valid signals without end
  trickle       the same, one byte every 50 ms
  mute          accepts the connection and never says a word
  half-auth     sends part of the login's answer, then nothing
  half-message  takes the login, answers Hello, sends half a signal, then nothing
  full          never accepts, and its backlog is full: connecting blocks
"""
import signal
import socket
import sys
import threading
import time

from gi.repository import Gio, GLib

mode, path = sys.argv[1:]
NONE = Gio.DBusCapabilityFlags.NONE


def signals(first, count):
    """Small ones, so that a reader spends the most on each byte."""
    blobs = []
    for serial in range(first, first + count):
        message = Gio.DBusMessage.new_signal("/t", "t.t", "T")
        message.set_serial(serial)
        blobs.append(message.to_blob(NONE))
    return b"".join(blobs)


def line(conn, buffer):
    while b"\r\n" not in buffer:
        data = conn.recv(4096)
        if not data:
            raise EOFError
        buffer += data
    return buffer.partition(b"\r\n")[0::2]


def login(conn):
    """The EXTERNAL login accepted and Hello answered, as a bus does."""
    _, rest = line(conn, b"")
    conn.sendall(b"OK 0123456789abcdef0123456789abcdef\r\n")
    while True:
        text, rest = line(conn, rest)
        if text == b"BEGIN":
            break
        conn.sendall(b"AGREE_UNIX_FD\r\n" if text == b"NEGOTIATE_UNIX_FD" else b"ERROR\r\n")
    while len(rest) < 16 or len(rest) < Gio.DBusMessage.bytes_needed(rest[:16]):
        data = conn.recv(4096)
        if not data:
            raise EOFError
        rest += data
    hello = Gio.DBusMessage.new_from_blob(rest[:Gio.DBusMessage.bytes_needed(rest[:16])], NONE)
    reply = hello.new_method_reply()
    reply.set_sender("org.freedesktop.DBus")
    reply.set_body(GLib.Variant("(s)", (":1.1",)))
    reply.set_serial(1)
    conn.sendall(reply.to_blob(NONE))


def drain(conn):
    while conn.recv(4096):
        pass


def serve(conn):
    with conn:
        try:
            if mode == "half-auth":
                line(conn, b"")
                conn.sendall(b"OK 0123")
            elif mode != "mute":
                login(conn)
            batch = signals(2, 1000)
            if mode == "flood":
                # A buffer that outlasts this program's pauses keeps the flood
                # unbroken (SO_SNDBUFFORCE, root only; 32 on Linux).
                try:
                    conn.setsockopt(socket.SOL_SOCKET, 32, 64 << 20)
                except PermissionError:
                    conn.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 64 << 20)
                while True:
                    conn.sendall(batch)
            elif mode == "trickle":
                while True:
                    for byte in batch:
                        conn.sendall(bytes([byte]))
                        time.sleep(0.05)
            elif mode == "half-message":
                conn.sendall(batch[:50])
            drain(conn)
        except (EOFError, OSError):
            pass  # the client gave up


server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
server.bind(path)
if mode == "full":
    server.listen(0)
    filler = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    filler.connect(path)
    print("ready", flush=True)
    signal.pause()
server.listen(16)
print("ready", flush=True)
while True:
    threading.Thread(target=serve, args=(server.accept()[0],), daemon=True).start()
