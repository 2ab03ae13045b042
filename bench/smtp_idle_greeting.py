#!/usr/bin/env python3
"""Benchmark: how long a fresh SMTP client waits for the greeting while 500 idle
connections are held open, and whether its message is then accepted.

Each run lays out a fresh installation with the default settings (smtp_accept.py's
running_server), opens the idle connections from the given number of client
addresses (127.0.0.x; loopback stands for as many machines), leaves them silent,
and then measures a few fresh clients from an address of their own: the time from
connect to the "220" line, and one message sent. A greeting that has not come after
--give-up seconds is reported as such.

  python3 bench/smtp_idle_greeting.py [--binary build/service/ostrel] [--idle 500]
"""
import argparse
import os
import resource
import socket
import statistics
import time

from smtp_accept import Session, message, running_server

# (label, client addresses the idle connections come from)
SCENARIOS = [
    ("no idle connections", 0),
    ("500 idle from one address", 1),
    ("500 idle from 7 addresses", 7),
    ("500 idle from 25 addresses", 25),
]
FRESH = "127.0.0.250"


def open_idle(port, count, addresses):
    held = []
    for i in range(count):
        s = socket.socket()
        s.setblocking(False)
        s.bind(("127.0.0.%d" % (10 + i % addresses), 0))
        try:
            s.connect(("127.0.0.1", port))
        except BlockingIOError:
            pass
        held.append(s)
    return held


def greeting_wait(port, give_up):
    """Seconds until the greeting, or None when it has not come after give_up."""
    start = time.monotonic()
    s = socket.socket()
    s.settimeout(give_up)
    s.bind((FRESH, 0))
    try:
        s.connect(("127.0.0.1", port))
        line = s.makefile("rb").readline()
        return time.monotonic() - start if line.startswith(b"220") else None
    except OSError:
        return None
    finally:
        s.close()


def deliver(port, n, give_up):
    """True when one message from the fresh address is accepted."""
    try:
        session = Session(port, source=FRESH, timeout=give_up)
        session.send(message(n))
        session.close()
        return True
    except (OSError, RuntimeError):
        return False


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--binary", default=os.environ.get("OSTREL_BINARY", "build/service/ostrel"))
    parser.add_argument("--idle", type=int, default=500)
    parser.add_argument("--fresh", type=int, default=5, help="fresh clients measured per run")
    parser.add_argument("--give-up", type=float, default=30.0)
    args = parser.parse_args()
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, max(soft, 4 * args.idle)), hard))

    print("SMTP greeting while %d idle connections are held, default settings, loopback"
          % args.idle)
    for label, addresses in SCENARIOS:
        with running_server(args.binary) as (port, _):
            held = open_idle(port, args.idle, addresses) if addresses else []
            time.sleep(2)  # the server has taken them in, greeted or refused them
            waits = [greeting_wait(port, args.give_up) for _ in range(args.fresh)]
            accepted = deliver(port, 0, args.give_up)
            for s in held:
                s.close()
        came = [w for w in waits if w is not None]
        text = ("median %.1f ms, max %.1f ms" % (statistics.median(came) * 1000, max(came) * 1000)
                if came else "none")
        missing = len(waits) - len(came)
        print("  %-28s greeting %s%s; message %s" % (
            label.replace("500", str(args.idle)), text,
            ", %d not greeted within %.0f s" % (missing, args.give_up) if missing else "",
            "accepted" if accepted else "NOT accepted"))


if __name__ == "__main__":
    main()
