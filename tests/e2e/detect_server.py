#!/usr/bin/env python3
"""A local detection server that misbehaves on purpose, for palvex's end-to-end tests (stdlib only).

palvexd is the well-behaved service the tests and the demo use; this helper stands in where a case
needs a server that answers oddly, not at all, or dials back with broken frames.

It listens on IPv4 and IPv6 (separate sockets, the IPv6 one IPv6-only). For each connection it
reads the request frame (big-endian u16 version, u32 length, payload), records it, answers with
the reply text (by default "<peer>|156|11|1101|2", the peer written "ip:port" or "[ip]:port"),
and dials back (from the address it was reached on) to the peer's address and port with one
or more connections whose behaviour the --dialback sequence selects. Other options make it misbehave on purpose. It prints "ready" on
standard output once both sockets listen, and runs until SIGTERM or SIGINT.

Dial-back actions (comma-separated, run in order, each on a connection of its own; "ACTION*N"
repeats one N times):
  full       one complete frame in one write, then hold the connection open
  pieces     the same frame in three writes (3 bytes, 4 bytes, the rest) with pauses between
  partial    the frame without its last byte, then hold
  five       the first 5 bytes of the header, then close
  close      connect and close at once
  idle       connect and send nothing
  zero       a frame announcing length 0
  double     two complete frames in one write
  oversized  a header announcing 65537 payload bytes and 1024 of them, then hold
  maxsize    a complete frame of exactly 65536 payload bytes
  wait       no connection: pause --step-ms before the next action

Every event is appended to the --record file as one JSON object per line:
  {"event": "request", "peer": ..., "local": <address dialled>, "version": ..., "length": ..., "payload": ...}
  {"event": "dialback", "index": i, "action": ..., "target": ..., "error": null | text}
  {"event": "dialback_closed", "index": i}   (the peer closed a held dial-back connection)
"""

import argparse
import json
import signal
import socket
import struct
import sys
import threading
import time

MAX_REQUEST = 1 << 20


class Recorder:
    def __init__(self, path):
        self._lock = threading.Lock()
        self._file = open(path, "a", encoding="utf-8") if path else None

    def write(self, **event):
        if self._file is None:
            return
        with self._lock:
            self._file.write(json.dumps(event) + "\n")
            self._file.flush()


def peer_text(family, ip, port):
    return f"[{ip}]:{port}" if family == socket.AF_INET6 else f"{ip}:{port}"


def recv_exact(conn, n):
    data = b""
    while len(data) < n:
        chunk = conn.recv(n - len(data))
        if not chunk:
            return None
        data += chunk
    return data


def frame(version, payload):
    return struct.pack(">HI", version, len(payload)) + payload


def parse_sequence(text):
    actions = []
    for item in filter(None, (p.strip() for p in text.split(","))):
        name, _, count = item.partition("*")
        actions.extend([name] * (int(count) if count else 1))
    known = {"full", "pieces", "partial", "five", "close", "idle", "zero", "double",
             "oversized", "maxsize", "wait", "none"}
    for a in actions:
        if a not in known:
            raise SystemExit(f"detect_server: unknown dial-back action '{a}'")
    return [a for a in actions if a != "none"]


class Server:
    def __init__(self, args):
        self.args = args
        self.rec = Recorder(args.record)
        self.held = []  # dial-back sockets kept open until exit
        self.held_lock = threading.Lock()
        self.exiting = False
        self.sequence = parse_sequence(args.dialback)
        self.payload = args.frame_payload.encode()

    # ---- request side -------------------------------------------------------------------------

    def serve(self, lsock, family):
        while True:
            try:
                conn, addr = lsock.accept()
            except OSError:
                return
            threading.Thread(target=self.handle, args=(conn, addr, family), daemon=True).start()

    def handle(self, conn, addr, family):
        ip, port = addr[0], addr[1]
        peer = peer_text(family, ip, port)
        local = conn.getsockname()[0]
        conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        if self.args.reply_mode == "close-at-once":
            self.rec.write(event="accepted", peer=peer, local=local)
            conn.close()
            self.dial_back(family, ip, port, local)
            return
        header = recv_exact(conn, 6)
        if header is None:
            self.rec.write(event="request", peer=peer, local=local, error="closed before header")
            conn.close()
            return
        version, length = struct.unpack(">HI", header)
        payload = recv_exact(conn, length) if length <= MAX_REQUEST else None
        if payload is None:
            self.rec.write(event="request", peer=peer, local=local, version=version, length=length,
                           error="incomplete payload")
            conn.close()
            return
        self.rec.write(event="request", peer=peer, local=local, version=version, length=length,
                       payload=payload.decode("utf-8", "replace"))
        reply = self.args.reply.format(addr=peer, ip=ip, port=port).encode()
        if self.args.reply_escapes:
            # Bytes through latin-1: "\xff" sends the byte ff, other text keeps its UTF-8.
            reply = reply.decode("unicode_escape").encode("latin-1")
        mode = self.args.reply_mode
        try:
            if mode == "normal":
                conn.sendall(reply)
            elif mode == "split":
                cut = self.args.split_at if self.args.split_at > 0 else len(reply) // 2
                conn.sendall(reply[:cut])
                time.sleep(self.args.step_ms / 1000.0)
                conn.sendall(reply[cut:])
            elif mode == "close":
                conn.close()
        except OSError:
            pass
        self.dial_back(family, ip, port, local)
        if mode != "close":
            # Keep the request connection open until palvex closes it (or we exit).
            try:
                while conn.recv(4096):
                    pass
            except OSError:
                pass
            conn.close()

    # ---- dial-back side -----------------------------------------------------------------------

    def dial_back(self, family, ip, port, local):
        if not self.sequence:
            return
        time.sleep(self.args.dialback_delay_ms / 1000.0)
        target = (ip, port, 0, 0) if family == socket.AF_INET6 else (ip, port)
        for index, action in enumerate(self.sequence, start=1):
            if action == "wait":
                time.sleep(self.args.step_ms / 1000.0)
                continue
            error = None
            sock = socket.socket(family, socket.SOCK_STREAM)
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            sock.settimeout(2.0)
            try:
                # From the address palvex dialled, as a real server dials from its own.
                sock.bind((local, 0))
                sock.connect(target)
                self.send_action(sock, action)
            except OSError as e:
                error = str(e)
            self.rec.write(event="dialback", index=index, action=action,
                           target=peer_text(family, ip, port), error=error)
            if error is None and action not in ("five", "close"):
                with self.held_lock:
                    self.held.append(sock)
                threading.Thread(target=self.watch_close, args=(sock, index), daemon=True).start()
            else:
                sock.close()
            # Give palvex a moment to accept this one before the next, so ids follow the order.
            if self.args.step_ms and index < len(self.sequence):
                time.sleep(self.args.step_ms / 1000.0)

    def send_action(self, sock, action):
        body = frame(self.args.frame_version, self.payload)
        if action in ("full",):
            sock.sendall(body)
        elif action == "pieces":
            for part in (body[:3], body[3:7], body[7:]):
                if part:
                    sock.sendall(part)
                    time.sleep(self.args.step_ms / 1000.0)
        elif action == "partial":
            sock.sendall(body[:-1])
        elif action == "five":
            sock.sendall(body[:5])
            # Let the bytes go out before the close.
            time.sleep(self.args.step_ms / 1000.0)
        elif action == "close":
            pass
        elif action == "idle":
            pass
        elif action == "zero":
            sock.sendall(frame(self.args.frame_version, b""))
        elif action == "double":
            sock.sendall(body + frame(self.args.frame_version + 1, b"second"))
        elif action == "oversized":
            sock.sendall(struct.pack(">HI", self.args.frame_version, 65537) + b"x" * 1024)
        elif action == "maxsize":
            sock.sendall(frame(self.args.frame_version, b"m" * 65536))

    def watch_close(self, sock, index):
        sock.settimeout(None)
        try:
            while sock.recv(4096):
                pass
        except OSError:
            return
        if not self.exiting:
            self.rec.write(event="dialback_closed", index=index)


def listen(family, host, port, backlog):
    sock = socket.socket(family, socket.SOCK_STREAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    if family == socket.AF_INET6:
        sock.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
    sock.bind((host, port))
    sock.listen(backlog)
    return sock


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--port", type=int, default=60002)
    p.add_argument("--bind4", default="0.0.0.0", help="IPv4 listen address")
    p.add_argument("--bind6", default="::", help="IPv6 listen address")
    p.add_argument("--no-v4", action="store_true")
    p.add_argument("--no-v6", action="store_true")
    p.add_argument("--record", default="", help="append one JSON line per event to this file")
    p.add_argument("--reply", default="{addr}|156|11|1101|2",
                   help="reply template: {addr} (ip:port or [ip]:port), {ip}, {port}")
    p.add_argument("--reply-escapes", action="store_true",
                   help="read backslash escapes in the reply (\\xff, \\x00): bytes that are not text")
    p.add_argument("--reply-mode", default="normal",
                   choices=["normal", "none", "split", "close", "close-at-once"],
                   help="none: no reply; split: two writes; close: close after the request; "
                        "close-at-once: close on accept without reading")
    p.add_argument("--split-at", type=int, default=0, help="split offset (default: half)")
    p.add_argument("--dialback", default="full", help="dial-back sequence (see above)")
    p.add_argument("--dialback-delay-ms", type=int, default=0)
    p.add_argument("--step-ms", type=int, default=30, help="pause between pieces and actions")
    p.add_argument("--frame-version", type=int, default=2)
    p.add_argument("--frame-payload", default="reverse-ok")
    args = p.parse_args()

    server = Server(args)
    sockets = []
    if not args.no_v4:
        sockets.append((listen(socket.AF_INET, args.bind4, args.port, 256), socket.AF_INET))
    if not args.no_v6:
        sockets.append((listen(socket.AF_INET6, args.bind6, args.port, 256), socket.AF_INET6))
    for lsock, family in sockets:
        threading.Thread(target=server.serve, args=(lsock, family), daemon=True).start()

    done = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: done.set())
    signal.signal(signal.SIGINT, lambda *_: done.set())
    print("ready", flush=True)
    while not done.wait(0.5):
        pass
    for lsock, _ in sockets:
        lsock.close()
    server.exiting = True
    with server.held_lock:
        for s in server.held:
            s.close()
    sys.stdout.flush()


if __name__ == "__main__":
    main()
