#!/usr/bin/env python3
"""Benchmark: messages per second that the SMTP server accepts, for 5 KiB messages
from 5 and from 20 parallel sessions, with a load client of its own (raw sockets,
one connection per session, messages sent back to back).

It lays out a fresh installation in a temporary directory (free loopback ports),
runs the built ostrel program in the foreground, and after each run checks that
every acknowledged message is in the fast queue exactly once with its exact bytes.

  python3 bench/smtp_accept.py [--binary build/service/ostrel] [--messages 1000]
"""
import argparse
import contextlib
import os
import signal
import socket
import subprocess
import tempfile
import threading
import time


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Session:
    """One SMTP connection speaking the commands one at a time."""

    def __init__(self, port, source=None, timeout=120):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=timeout,
                                             source_address=(source, 0) if source else None)
        self.file = self.sock.makefile("rb")
        self.expect(b"220")
        self.cmd(b"HELO bench.example.net\r\n", b"250")

    def expect(self, code):
        line = self.file.readline()
        if not line.startswith(code):
            raise RuntimeError("unexpected reply %r" % line)
        return line

    def cmd(self, text, code):
        self.sock.sendall(text)
        return self.expect(code)

    def send(self, data):
        self.cmd(b"MAIL FROM:<bench@example.net>\r\n", b"250")
        self.cmd(b"RCPT TO:<jo@example.org>\r\n", b"250")
        self.cmd(b"DATA\r\n", b"354")
        return self.cmd(data + b".\r\n", b"250").split()[1].decode()

    def close(self):
        try:
            self.cmd(b"QUIT\r\n", b"221")
        finally:
            self.sock.close()


def message(n, size=5 * 1024):
    head = (b"From: bench@example.net\r\nTo: jo@example.org\r\nSubject: bench %d\r\n"
            b"Date: Mon, 7 Dec 2026 10:00:00 +0000\r\nMessage-Id: <bench-%d@example.net>\r\n\r\n" % (n, n))
    line = b"%06d the quick brown fox jumps over the lazy dog 0123456789 abcdefghijklmno\r\n" % n
    body = (line * (size // len(line) + 1))[: size - len(head) - 2] + b"\r\n"
    return head + body


def run(port, sessions, total):
    per = [total // sessions + (1 if i < total % sessions else 0) for i in range(sessions)]
    results, errors = [], []
    lock = threading.Lock()

    def worker(index):
        try:
            s = Session(port)
            base = sum(per[:index])
            for k in range(per[index]):
                data = message(base + k)
                ident = s.send(data)
                with lock:
                    results.append((ident, data))
            s.close()
        except Exception as e:  # noqa: BLE001 - counted and printed
            with lock:
                errors.append(repr(e))

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(sessions)]
    wall0 = time.monotonic()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    wall = time.monotonic() - wall0
    return results, errors, wall


@contextlib.contextmanager
def running_server(binary, settings=b""):
    """A fresh installation in a temporary directory (free loopback ports) with the
    built program running on it in the foreground; settings (b",Name=value" ...)
    are added to its System definition. Yields the SMTP port and the installation
    directory."""
    with tempfile.TemporaryDirectory(prefix="ostrel-bench-") as d:
        env = dict(os.environ, OSTREL_REGISTRY=os.path.join(d, "registry"),
                   OSTREL_RUNDIR=os.path.join(d, "run"),
                   OSTREL_EVENTLOG=os.path.join(d, "early-events.log"), OSTREL_NOSYSLOG="1")
        env.pop("OSTREL_SERVICE", None)
        port = free_port()
        inst = os.path.join(d, "inst")
        subprocess.run([binary, "-setup", inst, str(port), str(free_port()), str(free_port())],
                       env=env, check=True, capture_output=True, stdin=subprocess.DEVNULL)
        shared = os.path.join(inst, "shared-config")
        if settings:
            with open(shared, "rb") as f:
                text = f.read().replace(b"\r\nDS,", b"\r\nDS," + settings.lstrip(b",") + b",", 1)
            with open(shared, "wb") as f:
                f.write(text)
        proc = subprocess.Popen([binary, "-debug", "x"], env=env, stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL)
        try:
            deadline = time.monotonic() + 30
            while True:
                try:
                    socket.create_connection(("127.0.0.1", port), timeout=1).close()
                    break
                except OSError:
                    if time.monotonic() > deadline:
                        raise
                    time.sleep(0.1)
            yield port, inst
        finally:
            proc.send_signal(signal.SIGINT)
            try:
                proc.wait(60)
            except subprocess.TimeoutExpired:
                proc.kill()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--binary", default=os.environ.get("OSTREL_BINARY", "build/service/ostrel"))
    parser.add_argument("--messages", type=int, default=1000)
    args = parser.parse_args()

    # As many SMTP workers as sessions, so that 20 sessions are served at once.
    with running_server(args.binary, b",SMTPIncoming=20") as (port, inst):
        maildir = os.path.join(inst, "mail")
        print("SMTP accept, %d messages of 5 KiB per run, loopback, 20 workers, durable "
              "acceptance (fsync of body, envelope, directory and queue file)" % args.messages)
        for sessions in (5, 20):
            results, errors, wall = run(port, sessions, args.messages)
            with open(os.path.join(maildir, "fastq"), "rb") as f:
                queued = [l.split(b" ")[2].decode() for l in f.read().split(b"\r\n") if l.count(b" ") == 2]
            counts = {}
            for ident in queued:
                counts[ident] = counts.get(ident, 0) + 1
            exact = 0
            for ident, data in results:
                with open(os.path.join(maildir, ident + ".mes"), "rb") as f:
                    if f.read().endswith(data) and counts.get(ident) == 1:
                        exact += 1
            print("  %2d sessions: %4d acknowledged, %d errors, %4d in the queue once with exact "
                  "bytes; %.2f s, %.0f messages/s" % (sessions, len(results), len(errors), exact,
                                                      wall, len(results) / wall if wall else 0))
            for e in errors[:5]:
                print("    error:", e)


if __name__ == "__main__":
    main()
