"""System tests of the SMTP server: the real ostrel program in the foreground on
loopback, with a fresh installation on free ports, driven by Python's smtplib, raw
sockets and curl's smtp:// client.

Each test class works in a private directory: its own registry file, run directory
and event-log file, so nothing outside it is touched.
"""
import os
import re
import shutil
import smtplib
import socket
import subprocess
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import ostrel_system  # noqa: E402
from ostrel_system import wait_for  # noqa: E402,F401  (the load test uses it from here)

# The concurrency test: 20 clients of 50 messages each, 1,000 in all.
LOAD_CLIENTS = 20
LOAD_PER_CLIENT = int(os.environ.get("OSTREL_SMTP_LOAD_PER_CLIENT", "50"))
MAX_SIZE = 300000


def can_connect(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=1) as s:
            s.settimeout(5)
            return s.recv(4).startswith(b"220")
    except OSError:
        return False


class Installation(ostrel_system.Installation):
    """A fresh installation with the ostrel program running on it in the
    foreground. extra is appended to the System definition of the shared
    configuration, whose local domain becomes example.org."""

    def __init__(self, prefix, extra=b""):
        super().__init__(prefix)
        self.port = self.smtp_port
        # Accepted mail stays in the queue, where these tests look at it.
        self.env["OSTREL_HOLD_DELIVERY"] = "1"
        # The local domain is example.org, whatever the machine is called.
        self.edit_system_line(lambda l: re.sub(rb",Domain=[^,]*", b",Domain=example.org", l) + extra)
        self.maildir = self.path("mail")
        self.logdir = self.path("log")
        self.start(lambda: can_connect(self.port), "x")

    def queued(self):
        """The identifiers in the fast queue, in order."""
        with open(os.path.join(self.maildir, "fastq"), "rb") as f:
            return [l.split(b" ")[2].decode() for l in f.read().split(b"\r\n") if l.count(b" ") == 2]

    def stop(self):
        self.close()


class SmtpSystemTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        # A smaller size limit than the default, so that the refusal is quick to test.
        cls.installation = Installation("ostrel-smtp-", b",MaxMessageSize=%d" % MAX_SIZE)
        cls.port = cls.installation.port
        cls.maildir = cls.installation.maildir
        cls.logdir = cls.installation.logdir

    @classmethod
    def tearDownClass(cls):
        cls.installation.stop()

    # Helpers ---------------------------------------------------------------------

    def smtp(self):
        s = smtplib.SMTP("127.0.0.1", self.port, timeout=30)
        s.ehlo("client.example.net")
        return s

    def send(self, data, sender="ann@example.net", rcpts=("jo@example.org",)):
        """Sends data (bytes) and returns the identifier of the 250 reply."""
        with self.smtp() as s:
            s.mail(sender)
            for r in rcpts:
                code, _ = s.rcpt(r)
                self.assertEqual(code, 250)
            code, reply = s.data(data)
            self.assertEqual(code, 250, reply)
            words = reply.decode().split()
            self.assertEqual(words[1:], ["Message", "accepted", "for", "delivery"])
            return words[0]

    def queued(self):
        return self.installation.queued()

    def body(self, ident):
        with open(os.path.join(self.maildir, ident + ".mes"), "rb") as f:
            return f.read()

    def envelope(self, ident):
        with open(os.path.join(self.maildir, ident + ".env"), "rb") as f:
            return f.read().split(b"\r\n")

    def stored_data(self, ident):
        """The message as stored, less the server's own Received header."""
        body = self.body(ident)
        self.assertTrue(body.startswith(b"Received: "), body[:100])
        end = body.index(b"\r\n", body.index(b"with SMTP id " + ident.encode()))
        end = body.index(b"\r\n", end + 2) + 2
        return body[:end], body[end:]

    @staticmethod
    def message(subject, text=b"Hello.\r\n", extra=b""):
        return (extra + b"From: ann@example.net\r\nTo: jo@example.org\r\nSubject: " + subject +
                b"\r\nDate: Mon, 7 Dec 2026 10:00:00 +0000\r\nMessage-Id: <" + subject +
                b"@example.net>\r\n\r\n" + text)

    # Tests -------------------------------------------------------------------------

    def test_one_and_several_recipients_and_the_empty_sender(self):
        data = self.message(b"one")
        ident = self.send(data)
        self.assertIn(ident, self.queued())
        received, rest = self.stored_data(ident)
        self.assertEqual(rest, data)
        self.assertIn(b"for <jo@example.org>; ", received)
        self.assertIn(b"Received: from client.example.net ([127.0.0.1])\r\n", received)
        env = self.envelope(ident)
        self.assertEqual(env[1], b"1")
        self.assertEqual(env[7], b"ann@example.net")
        self.assertEqual(env[8], b"127.0.0.1")

        data = self.message(b"several")
        ident = self.send(data, rcpts=("jo@example.org", "ann@example.org", "bo@example.org"))
        received, rest = self.stored_data(ident)
        self.assertEqual(rest, data)
        self.assertIn(b"\r\n ; ", received)
        env = self.envelope(ident)
        self.assertEqual(sorted(env[10:22:4]), [b"ann@example.org", b"bo@example.org", b"jo@example.org"])

        ident = self.send(self.message(b"bounce"), sender="")
        self.assertEqual(self.envelope(ident)[7], b"")

    def test_hop_limit(self):
        hops = b"".join(b"Received: from h%d.example.net by x; Mon, 7 Dec 2026 09:00:00 +0000\r\n" % i
                        for i in range(30))
        ident = self.send(self.message(b"hops29", extra=hops[: hops.index(b"Received: from h29")]))
        self.assertIn(ident, self.queued())
        before = sorted(os.listdir(self.maildir))
        with self.smtp() as s:
            s.mail("ann@example.net")
            s.rcpt("jo@example.org")
            code, reply = s.data(self.message(b"hops30", extra=hops))
            self.assertEqual((code, reply), (554, b"Transaction failed -- too many hops"))
        self.assertEqual(sorted(os.listdir(self.maildir)), before)

    def test_dot_lines_and_a_long_line(self):
        text = (b".starts with a dot\r\n..two dots\r\n...\r\n" + b"x" * 8000 + b"\r\n. \r\nend\r\n")
        ident = self.send(self.message(b"dots", text))
        self.assertEqual(self.stored_data(ident)[1], self.message(b"dots", text))

    def test_raw_dot_stuffing(self):
        # The client side of dot stuffing done by hand: "..a" is stored as ".a".
        with socket.create_connection(("127.0.0.1", self.port), timeout=30) as s:
            f = s.makefile("rb")
            def cmd(line):
                s.sendall(line)
                return f.readline()
            self.assertTrue(f.readline().startswith(b"220 "))
            self.assertTrue(cmd(b"helo raw\r\n").startswith(b"250 "))
            self.assertEqual(cmd(b"mail from:<ann@example.net>\r\n"), b"250 <ann@example.net>... Sender ok\r\n")
            self.assertEqual(cmd(b"rcpt to:<jo@example.org>\r\n"), b"250 <jo@example.org>... Recipient ok\r\n")
            self.assertEqual(cmd(b"data\r\n"), b'354 Enter mail, end with "." on a line by itself\r\n')
            reply = cmd(self.message(b"raw", b"..a\r\n.\r\n"))
            ident = reply.split()[1].decode()
            self.assertEqual(cmd(b"quit\r\n")[:4], b"221 ")
        self.assertEqual(self.stored_data(ident)[1], self.message(b"raw", b".a\r\n"))

    def test_message_over_the_size_limit(self):
        before = sorted(os.listdir(self.maildir))
        big = self.message(b"big", (b"y" * 998 + b"\r\n") * (MAX_SIZE // 1000 + 10))
        with self.smtp() as s:
            s.mail("ann@example.net")
            s.rcpt("jo@example.org")
            code, reply = s.data(big)
            self.assertEqual(code, 552)
            # The session goes on.
            self.assertEqual(s.noop()[0], 250)
        self.assertEqual(sorted(os.listdir(self.maildir)), before)

    def test_relay_from_loopback_and_refusals(self):
        with self.smtp() as s:
            s.mail("ann@example.net")
            self.assertEqual(s.rcpt("far@remote.example")[0], 250)
            self.assertEqual(s.docmd("EXPN", "staff"), (502, b"Sorry, we do not allow this operation"))
            self.assertEqual(s.docmd("VRFY", "jo"), (250, b"<jo>"))

    @unittest.skipUnless(shutil.which("curl"), "curl is not installed")
    def test_curl_client(self):
        data = self.message(b"curl")
        out = subprocess.run(["curl", "-sS", "--max-time", "60", "smtp://127.0.0.1:%d" % self.port,
                              "--mail-from", "ann@example.net", "--mail-rcpt", "jo@example.org",
                              "--upload-file", "-"], input=data, capture_output=True, timeout=90)
        self.assertEqual(out.returncode, 0, out.stderr)
        found = [i for i in self.queued() if self.stored_data(i)[1] == data]
        self.assertEqual(len(found), 1)

    def test_parallel_clients(self):
        results, errors = [], []
        lock = threading.Lock()

        def client(n):
            try:
                with smtplib.SMTP("127.0.0.1", self.port, timeout=120) as s:
                    s.ehlo("load%d.example.net" % n)
                    for i in range(LOAD_PER_CLIENT):
                        data = self.message(b"load-%d-%d" % (n, i),
                                            b"".join(b"line %d of %d-%d\r\n" % (k, n, i) for k in range(40)))
                        s.mail("ann@example.net")
                        s.rcpt("jo@example.org")
                        code, reply = s.data(data)
                        with lock:
                            if code == 250:
                                results.append((reply.split()[0].decode(), data))
                            else:
                                errors.append((code, reply))
            except Exception as e:  # noqa: BLE001 - every failure is reported below
                with lock:
                    errors.append(repr(e))

        threads = [threading.Thread(target=client, args=(n,)) for n in range(LOAD_CLIENTS)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(240)
        self.assertEqual(errors, [])
        self.assertEqual(len(results), LOAD_CLIENTS * LOAD_PER_CLIENT)
        queued = self.queued()
        for ident, data in results:
            self.assertEqual(queued.count(ident), 1, ident)
            self.assertEqual(self.stored_data(ident)[1], data)
        self.assertEqual(len({i for i, _ in results}), len(results))

    def events(self):
        path = os.path.join(self.logdir, "events.log")
        if not os.path.exists(path):
            return []
        with open(path, "rb") as f:
            return [l for l in f.read().split(b"\n") if l]

    def test_ordinary_conversations_leave_the_event_log_quiet(self):
        # Clients that end a conversation abruptly are the normal case on the internet:
        # the server's own shutdown then finds the peer gone, which is no event.
        before = self.events()
        for n in range(200):
            self.send(self.message(b"quiet-%d" % n))
        for n in range(200):
            with socket.create_connection(("127.0.0.1", self.port), timeout=10) as s:
                if n % 2:
                    s.sendall(b"QUIT\r\n")
                else:
                    # A reset instead of an orderly close.
                    s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
        # The last sessions end in the server after the client has gone.
        with self.smtp() as s:
            s.noop()
        time.sleep(1)
        self.assertEqual(self.events()[len(before):], [])


if __name__ == "__main__":
    unittest.main()
