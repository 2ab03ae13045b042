#!/usr/bin/env python3
"""Benchmark: encryption cost on the real program. Lays out a fresh installation
with its self-signed certificate and the encrypted listeners (free loopback ports),
writes messages of about 5 KiB into one user's Inbox (its mailbox file, which
the first login scans), runs the built ostrel in the foreground, then reports:
  - TLS handshakes a second on the POP3S port (connect, handshake, greeting,
    close), from one client and from 4 clients at once;
  - RETR throughput over POP3S and, for comparison, over plain POP3 (pipelined,
    100 commands ahead of their answers), in messages and megabytes a second.

  python3 bench/tls_pop3.py [--binary build/service/ostrel] [--messages 500] [--handshakes 300]
"""
import argparse
import os
import re
import socket
import ssl
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "support"))
import ostrel_system  # noqa: E402

PASSWORD = "bench-Secret"


def pop_session(port, context=None):
    raw = socket.create_connection(("127.0.0.1", port), timeout=60)
    sock = context.wrap_socket(raw, server_hostname="127.0.0.1") if context else raw
    f = sock.makefile("rb")
    assert f.readline().startswith(b"+OK")
    return sock, f


def handshakes(port, context, count, clients):
    def run(n):
        for _ in range(n):
            sock, f = pop_session(port, context)
            sock.close()
    threads = [threading.Thread(target=run, args=(count // clients,)) for _ in range(clients)]
    start = time.monotonic()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return (count // clients * clients) / (time.monotonic() - start)


def retr_all(port, context, messages):
    sock, f = pop_session(port, context)
    for command in (b"USER jo\r\n", b"PASS %s\r\n" % PASSWORD.encode()):
        sock.sendall(command)
        assert f.readline().startswith(b"+OK")
    start, octets = time.monotonic(), 0
    for first in range(1, messages + 1, 100):
        batch = range(first, min(first + 100, messages + 1))
        sock.sendall(b"".join(b"RETR %d\r\n" % n for n in batch))
        for _ in batch:
            assert f.readline().startswith(b"+OK")
            for line in iter(f.readline, b".\r\n"):
                octets += len(line)
    elapsed = time.monotonic() - start
    sock.sendall(b"QUIT\r\n")
    sock.close()
    return messages / elapsed, octets / elapsed / 1e6


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--binary", default="build/service/ostrel")
    parser.add_argument("--messages", type=int, default=500)
    parser.add_argument("--handshakes", type=int, default=300)
    args = parser.parse_args()
    ostrel_system.BINARY = args.binary
    inst = ostrel_system.Installation("ostrel-bench-tls-", tls=True)
    try:
        cert = re.search(r"self-signed certificate for \S+: (\S+) ", inst.setup_output).group(1)
        inst.edit_system_line(lambda l: re.sub(rb",Domain=[^,]*", b",Domain=example.org", l))
        with open(inst.path("shared-config"), "ab") as f:
            f.write(b"DUjo,OstrelUser=1,RealAcct=jo\r\n")
        subprocess.run([args.binary, "-passwd", "jo"], input=PASSWORD + "\n", env=inst.env, check=True,
                       capture_output=True, text=True, timeout=60)
        body = ("x" * 76 + "\r\n") * 64
        date = time.strftime("%a, %d %b %Y %H:%M:%S GMT", time.gmtime()).encode()
        os.makedirs(inst.path("boxes", "jo"))
        with open(inst.path("boxes", "jo", "Inbox"), "wb") as f:
            for n in range(args.messages):
                f.write(b">From< ann@example.net " + date + b"\r\nFrom: ann@example.net\r\n" +
                        b"Subject: %d\r\n\r\n" % n + body.encode())
        inst.start(lambda: ostrel_system.can_connect(inst.pops_port))
        context = ssl.create_default_context(cafile=cert)
        print("TLS on loopback (%s), self-signed ECDSA P-256 certificate" % ssl.OPENSSL_VERSION)
        for clients in (1, 4):
            rate = handshakes(inst.pops_port, context, args.handshakes, clients)
            print("POP3S handshakes, %d client%s: %.0f a second" % (clients, "s" if clients > 1 else "", rate))
        for name, port, ctx in (("POP3S", inst.pops_port, context), ("POP3 plain", inst.pop_port, None)):
            msgs, mb = retr_all(port, ctx, args.messages)
            print("%s RETR pipelined, %d messages of ~5 KiB: %.0f messages/s, %.1f MB/s" %
                  (name, args.messages, msgs, mb))
    finally:
        inst.close()


if __name__ == "__main__":
    main()
