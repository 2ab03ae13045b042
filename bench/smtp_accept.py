#!/usr/bin/env python3
"""Benchmark: messages per second through the SMTP server, for 5 KiB messages from 5
and from 20 parallel sessions, with a load client of its own (raw sockets, one
connection per session, messages sent back to back). Three measures:

  accept  messages acknowledged a second, delivery held (OSTREL_HOLD_DELIVERY);
          every acknowledged message is then in the fast queue once, byte-exact;
  inbox   from the first SMTP command until every message is in its local Inbox
          (on disk), each to one of 10 local users;
  relay   from the first SMTP command until the loopback peer (Debian's aiosmtpd,
          /usr/bin/python3) has every message, through RelayHost.

It lays out a fresh installation in a temporary directory (free loopback ports) for
each measure and runs the built ostrel program in the foreground. With
--count-syncs the server runs under perf stat (package linux-perf, as root), which
counts its fsync and fdatasync calls; they are reported per message.

  python3 bench/smtp_accept.py [--binary build/service/ostrel] [--messages 1000]
                               [--measure accept|inbox|relay|all] [--count-syncs]
"""
import argparse
import contextlib
import os
import re
import signal
import socket
import sys
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

    def send(self, data, rcpt=b"jo@example.org"):
        self.cmd(b"MAIL FROM:<bench@example.net>\r\n", b"250")
        self.cmd(b"RCPT TO:<" + rcpt + b">\r\n", b"250")
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


def run(port, sessions, total, rcpt=lambda n: b"jo@example.org", first=0):
    per = [total // sessions + (1 if i < total % sessions else 0) for i in range(sessions)]
    results, errors = [], []
    lock = threading.Lock()

    def worker(index):
        try:
            s = Session(port)
            base = first + sum(per[:index])
            for k in range(per[index]):
                data = message(base + k)
                ident = s.send(data, rcpt(base + k))
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
def running_server(binary, settings=b"", hold=True, objects=b"", syncs=None):
    """A fresh installation in a temporary directory (free loopback ports) with the
    built program running on it in the foreground; settings (b",Name=value" ...)
    are added to its System definition and objects (definition lines) to the shared
    file. With hold, accepted mail stays queued. With syncs (a list), the program
    runs under strace and the fsync and fdatasync calls it made are appended when
    it has stopped. Yields the SMTP port and the installation directory."""
    with tempfile.TemporaryDirectory(prefix="ostrel-bench-") as d:
        env = dict(os.environ, OSTREL_REGISTRY=os.path.join(d, "registry"),
                   OSTREL_RUNDIR=os.path.join(d, "run"),
                   OSTREL_EVENTLOG=os.path.join(d, "early-events.log"), OSTREL_NOSYSLOG="1")
        env.pop("OSTREL_SERVICE", None)
        env.pop("OSTREL_HOLD_DELIVERY", None)
        if hold:
            env["OSTREL_HOLD_DELIVERY"] = "1"
        port = free_port()
        inst = os.path.join(d, "inst")
        subprocess.run([binary, "-setup", inst, str(port), str(free_port()), str(free_port())],
                       env=env, check=True, capture_output=True, stdin=subprocess.DEVNULL)
        shared = os.path.join(inst, "shared-config")
        if settings or objects:
            with open(shared, "rb") as f:
                text = f.read().replace(b"\r\nDS,", b"\r\nDS," + settings.lstrip(b",") + b",", 1)
            with open(shared, "wb") as f:
                f.write(text.rstrip(b"\r\n") + b"\r\n" + objects)
        trace = os.path.join(d, "syncs")
        argv = [binary, "-debug", "x"]
        if syncs is not None:
            argv = ["perf", "stat", "-x", ",", "-o", trace, "-e",
                    "syscalls:sys_enter_fsync,syscalls:sys_enter_fdatasync", "--"] + argv
        proc = subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
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
            # Under perf the signal goes to the program itself, whose end ends perf.
            target = proc.pid
            if syncs is not None:
                with open("/proc/%d/task/%d/children" % (proc.pid, proc.pid)) as f:
                    target = int(f.read().split()[0])
            os.kill(target, signal.SIGINT)
            try:
                proc.wait(60)
            except subprocess.TimeoutExpired:
                proc.kill()
            if syncs is not None and os.path.exists(trace):
                with open(trace) as f:
                    syncs.append(sum(int(m) for m in re.findall(r"^(\d+),,syscalls:sys_enter_f", f.read(), re.M)))


def wait_until(predicate, timeout=600):
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.01)
    return True


def accept(binary, total, count_syncs):
    print("accept: %d messages of 5 KiB per run, delivery held, 20 workers" % total)
    for sessions in (5, 20):
        syncs = [] if count_syncs else None
        with running_server(binary, b",SMTPIncoming=20", syncs=syncs) as (port, inst):
            maildir = os.path.join(inst, "mail")
            results, errors, wall = run(port, sessions, total)
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
        if syncs:
            print("      fsync/fdatasync per message: %.2f" % (syncs[0] / total))


def inbox(binary, total, count_syncs):
    users = [b"u%d" % i for i in range(10)]
    objects = b"".join(b"DU" + u + b",OstrelUser=1\r\n" for u in users)
    print("inbox: %d messages of 5 KiB per run, each to one of 10 local users, from the first "
          "command until all are in the Inboxes" % total)
    for sessions in (5, 20):
        syncs = [] if count_syncs else None
        with running_server(binary, b",SMTPIncoming=20", hold=False, objects=objects,
                            syncs=syncs) as (port, inst):
            boxes = os.path.join(inst, "boxes")

            def stored():
                n = 0
                for u in users:
                    try:
                        with open(os.path.join(boxes, u.decode(), "Inbox"), "rb") as f:
                            n += f.read().count(b"\r\nSubject: bench ")
                    except OSError:
                        pass
                return n

            start = time.monotonic()
            results, errors, _ = run(port, sessions, total, lambda n: users[n % 10] + b"@localhost")
            done = wait_until(lambda: stored() >= len(results))
            wall = time.monotonic() - start
            print("  %2d sessions: %4d acknowledged, %d errors, %4d in the Inboxes%s; %.2f s, %.0f messages/s"
                  % (sessions, len(results), len(errors), stored(), "" if done else " (gave up waiting)",
                     wall, len(results) / wall if wall else 0))
        if syncs:
            print("      fsync/fdatasync per message, first command to Inbox: %.2f" % (syncs[0] / total))


def relay(binary, total, count_syncs):
    with tempfile.TemporaryDirectory(prefix="ostrel-peer-") as out:
        port = free_port()
        here = os.path.dirname(os.path.abspath(__file__))
        peer = subprocess.Popen(["/usr/bin/python3", os.path.join(here, "..", "tests", "transport", "aiosmtpd_peer.py"),
                                 "127.0.0.1", str(port), out], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        if peer.stdout.readline().strip() != b"ready":
            raise RuntimeError("aiosmtpd did not start (package python3-aiosmtpd)")
        print("relay: %d messages of 5 KiB per run, through RelayHost to aiosmtpd on loopback, from the "
              "first command until the peer has all" % total)
        try:
            first = 0
            for sessions in (5, 20):
                syncs = [] if count_syncs else None
                settings = b",SMTPIncoming=20,RelayHost=[127.0.0.1]:%d" % port
                with running_server(binary, settings, hold=False, syncs=syncs) as (smtp, _):
                    received = lambda: len([n for n in os.listdir(out) if n.endswith(".msg")])
                    before = received()
                    start = time.monotonic()
                    results, errors, _ = run(smtp, sessions, total, lambda n: b"far@relayed.example", first)
                    done = wait_until(lambda: received() - before >= len(results))
                    wall = time.monotonic() - start
                    print("  %2d sessions: %4d acknowledged, %d errors, %4d at the peer%s; %.2f s, %.0f messages/s"
                          % (sessions, len(results), len(errors), received() - before,
                             "" if done else " (gave up waiting)", wall, len(results) / wall if wall else 0))
                first += total
                if syncs:
                    print("      fsync/fdatasync per message, first command to the peer: %.2f" % (syncs[0] / total))
        finally:
            peer.stdin.close()
            peer.wait(30)


def main():
    sys.stdout.reconfigure(line_buffering=True)
    parser = argparse.ArgumentParser()
    parser.add_argument("--binary", default=os.environ.get("OSTREL_BINARY", "build/service/ostrel"))
    parser.add_argument("--messages", type=int, default=1000)
    parser.add_argument("--measure", choices=("accept", "inbox", "relay", "all"), default="all")
    parser.add_argument("--count-syncs", action="store_true")
    args = parser.parse_args()
    for name, measure in (("accept", accept), ("inbox", inbox), ("relay", relay)):
        if args.measure in (name, "all"):
            measure(args.binary, args.messages, args.count_syncs)


if __name__ == "__main__":
    main()
