"""System tests of the SMTP server against idle and slow clients: the real ostrel
program on loopback (127.0.0.1 to 127.0.0.8 stand for different client machines),
driven by raw sockets and smtplib.

With the default settings, hundreds of idle connections neither keep a fresh client
waiting nor stop its mail; one address holds at most 20 of them and the rest are
refused with 421. With a small ceiling and a short stress time-out, a client that
trickles its data is served under normal load and dropped under stress, clients
that keep talking are served throughout, and the pool returns to its size.
"""
import glob
import os
import resource
import select
import smtplib
import socket
import threading
import time
import unittest

import test_smtp_system as base

REFUSAL = b"421 Too many connections from your address\r\n"


def connect(port, source, timeout=10):
    s = socket.socket()
    s.settimeout(timeout)
    s.bind((source, 0))
    s.connect(("127.0.0.1", port))
    return s


def first_reply(s):
    """The first line the server sends, and whether it then closed the connection."""
    f = s.makefile("rb")
    line = f.readline()
    if not line.startswith(b"421"):
        return line, False
    return line, f.read() == b""


def threads(proc):
    return len(os.listdir("/proc/%d/task" % proc.pid))


class Conversation:
    """A raw SMTP conversation, one command at a time."""

    def __init__(self, port, source):
        self.sock = connect(port, source, timeout=30)
        self.file = self.sock.makefile("rb")
        self.greeting = self.file.readline()

    def cmd(self, line):
        self.sock.sendall(line)
        return self.file.readline()

    def start_data(self):
        for line, code in ((b"HELO slow.example.net\r\n", b"250"),
                           (b"MAIL FROM:<ann@example.net>\r\n", b"250"),
                           (b"RCPT TO:<jo@example.org>\r\n", b"250"), (b"DATA\r\n", b"354")):
            reply = self.cmd(line)
            assert reply.startswith(code), reply

    def trickle(self, data, pause):
        """Sends data a byte every pause seconds; False as soon as the server answers
        or closes instead (nothing more is sent then)."""
        for i in range(len(data)):
            self.sock.sendall(data[i:i + 1])
            if select.select([self.sock], [], [], pause)[0]:
                return False
        return True


class IdleClientsTest(unittest.TestCase):
    """The default settings: 20 connections an address, 200 workers at most."""

    @classmethod
    def setUpClass(cls):
        # 360 connections and more on this side.
        soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        resource.setrlimit(resource.RLIMIT_NOFILE, (min(max(soft, 1024), hard), hard))
        cls.server = base.Installation("ostrel-idle-")

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()

    def test_idle_connections_keep_neither_the_greeting_nor_the_mail_of_a_fresh_client(self):
        port, proc = self.server.port, self.server.proc
        before = threads(proc)
        held = []
        try:
            crowd = [connect(port, "127.0.0.1") for _ in range(300)]
            held += crowd
            replies = [first_reply(s) for s in crowd]
            greeted = [line for line, _ in replies if line.startswith(b"220 ")]
            refused = [closed for line, closed in replies if line == REFUSAL]
            self.assertEqual((len(greeted), len(refused)), (20, 280))
            self.assertTrue(all(refused))  # each refusal is followed by the close
            spread = [connect(port, "127.0.0.%d" % (2 + i % 6)) for i in range(60)]
            held += spread
            self.assertTrue(all(first_reply(s)[0].startswith(b"220 ") for s in spread))
            # 80 idle conversations, each with a worker of its own (5 were there).
            self.assertEqual(threads(proc), before + 75)

            start = time.monotonic()
            with smtplib.SMTP("127.0.0.1", port, timeout=10, source_address=("127.0.0.8", 0)) as s:
                greeted_after = time.monotonic() - start
                s.ehlo("fresh.example.net")
                self.assertEqual(s.mail("ann@example.net")[0], 250)
                self.assertEqual(s.rcpt("jo@example.org")[0], 250)
                code, reply = s.data(base.SmtpSystemTest.message(b"fresh"))
            self.assertLess(greeted_after, 1.0)
            self.assertEqual(code, 250, reply)
            self.assertIn(reply.split()[0].decode(), self.server.queued())
        finally:
            for s in held:
                s.close()
        # Each refusal is an access violation of 127.0.0.1 in the activity log.
        log = b"".join(open(p, "rb").read() for p in glob.glob(self.server.logdir + "/kslog*"))
        self.assertEqual(log.count(b",2=16,11=127.0.0.1,100=Too many connections from your "
                                   b"address.\r\n"), 280)


class SlowClientsTest(unittest.TestCase):
    """A ceiling of 8 workers (stressed from 7 busy) and 2 seconds under stress; the
    client trickles a byte every 1.8 seconds, as one that sends a byte every 9
    seconds against the default 10."""

    PAUSE = 1.8

    @classmethod
    def setUpClass(cls):
        cls.server = base.Installation(
            "ostrel-slow-", b",SMTPMaxIncoming=8,StressTimeout=2,SurplusWorkerIdle=1")

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()

    def talk(self, stop, errors):
        """Keeps a conversation busy with a NOOP every half second until stop."""
        try:
            with smtplib.SMTP("127.0.0.1", self.server.port, timeout=30,
                              source_address=("127.0.0.2", 0)) as s:
                while not stop.wait(0.5):
                    if s.noop() != (250, b"OK"):
                        errors.append("NOOP refused")
        except (OSError, smtplib.SMTPException) as e:
            errors.append(repr(e))

    def test_a_trickling_client_is_served_under_normal_load_and_dropped_under_stress(self):
        proc, port = self.server.proc, self.server.port
        before = threads(proc)
        # Normal load: every byte comes within the usual time-out.
        slow = Conversation(port, "127.0.0.1")
        slow.start_data()
        slow.sock.sendall(base.SmtpSystemTest.message(b"normal", b""))
        self.assertTrue(slow.trickle(b"x\r\n", self.PAUSE))
        reply = slow.cmd(b".\r\n")
        self.assertTrue(reply.endswith(b" Message accepted for delivery\r\n"), reply)
        self.assertIn(reply.split()[1].decode(), self.server.queued())
        slow.sock.close()

        # Stress: seven clients keep talking, the eighth trickles its data.
        stop, errors = threading.Event(), []
        talkers = [threading.Thread(target=self.talk, args=(stop, errors)) for _ in range(7)]
        for t in talkers:
            t.start()
        try:
            self.assertTrue(base.wait_for(lambda: threads(proc) == before + 2, 5))
            queued = len(self.server.queued())
            slow = Conversation(port, "127.0.0.1")
            slow.start_data()
            self.assertEqual(threads(proc), before + 3)  # the ceiling
            slow.sock.sendall(base.SmtpSystemTest.message(b"stressed", b""))
            started = time.monotonic()
            self.assertFalse(slow.trickle(b"x\r\n", self.PAUSE))
            self.assertEqual(slow.file.read(), b"")  # closed, with no reply
            # Dropped when the line had taken 2 seconds, though no pause reached them.
            self.assertLess(time.monotonic() - started, 2 * self.PAUSE)
            slow.sock.close()
            self.assertEqual(len(self.server.queued()), queued)
        finally:
            stop.set()
            for t in talkers:
                t.join(30)
        self.assertEqual(errors, [])

        # The load has gone: silence longer than the stress time-out is allowed again,
        # and the pool returns to its configured size.
        with smtplib.SMTP("127.0.0.1", port, timeout=30) as s:
            s.ehlo("patient.example.net")
            time.sleep(3)
            self.assertEqual(s.noop()[0], 250)
        self.assertTrue(base.wait_for(lambda: threads(proc) == before, 10))


if __name__ == "__main__":
    unittest.main()
