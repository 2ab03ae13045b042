"""System tests of the POP3 server: the real ostrel program on loopback with a fresh
installation, users whose passwords are set with ostrel -passwd, and mail delivered
to them over SMTP. Clients: Python's poplib (with the email package), curl's pop3://
client and fetchmail; 20 users fetching while mail arrives; and hundreds of idle
connections that neither keep a fresh client from its mail nor take the server."""
import email
import email.policy
import os
import resource
import smtplib
import socket
import subprocess
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from ostrel_system import BINARY, Installation, can_connect, wait_for  # noqa: E402

PASSWORD = "p0p-Secret"
USERS = ["alice", "bob", "carol"] + ["user%02d" % n for n in range(20)]
REFUSAL = b"-ERR too many connections from your address\r\n"


def message(subject, body="Hello.\r\n", sender="ann@example.net", to="alice@example.org"):
    # With Date and Message-Id fields, so that the server adds none and the message arrives as sent.
    return ("From: %s\r\nTo: %s\r\nSubject: %s\r\nMessage-Id: <%s@example.net>\r\n"
            "Date: Tue, 08 Dec 2026 10:00:00 +0000\r\n\r\n%s"
            % (sender, to, subject, subject.replace(" ", "-"), body)).encode()


class MailInstallation(Installation):
    """An installation whose local domain is example.org, with a user object
    (mail on) and an account for each of USERS, running in the foreground."""

    def __init__(self, prefix):
        super().__init__(prefix)
        import re
        self.edit_system_line(lambda l: re.sub(rb",Domain=[^,]*", b",Domain=example.org", l))
        with open(self.path("shared-config"), "rb") as f:
            text = f.read()
        if not text.endswith(b"\r\n"):
            text += b"\r\n"
        for user in USERS:
            text += b"DU%s,OstrelUser=1,RealAcct=%s\r\n" % (user.encode(), user.encode())
        with open(self.path("shared-config"), "wb") as f:
            f.write(text)
        for user in USERS:
            out = subprocess.run([BINARY, "-passwd", user], input=PASSWORD + "\n", env=self.env,
                                 capture_output=True, text=True, timeout=60)
            assert out.returncode == 0, out.stdout
        self.start(lambda: can_connect(self.pop_port) and can_connect(self.smtp_port))

    def send(self, rcpt, data):
        with smtplib.SMTP("127.0.0.1", self.smtp_port, timeout=30) as s:
            s.sendmail("ann@example.net", [rcpt], data)

    def pop(self, user="alice", source="127.0.0.1"):
        import poplib
        p = poplib.POP3("127.0.0.1", self.pop_port, timeout=30)
        p.user(user)
        p.pass_(PASSWORD)
        return p

    def count(self, user):
        """The messages in the user's Inbox (None while the Inbox is held)."""
        import poplib
        try:
            p = self.pop(user)
        except poplib.error_proto:
            return None
        n = p.stat()[0]
        p.quit()
        return n

    def wait_count(self, user, n):
        return wait_for(lambda: self.count(user) == n, timeout=30)


class Pop3SystemTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.inst = MailInstallation("ostrel-pop3-")

    @classmethod
    def tearDownClass(cls):
        cls.inst.close()

    def test_poplib_reads_keeps_and_deletes(self):
        inst = self.inst
        attachment = bytes(range(256)) * 40
        mime = email.message.EmailMessage()
        mime["From"], mime["To"], mime["Subject"] = "ann@example.net", "alice@example.org", "with file"
        mime["Date"] = "Tue, 08 Dec 2026 10:00:00 +0000"
        mime["Message-Id"] = "<with-file@example.net>"
        mime.set_content("See the file.\n.A line with a dot.\n")
        mime.add_attachment(attachment, maintype="application", subtype="octet-stream",
                            filename="data.bin")
        sent = [message("first"), mime.as_bytes(policy=email.policy.SMTP),
                message("third", ".leading dot\r\n..two\r\nend\r\n")]
        for data in sent:
            inst.send("alice@example.org", data)
        self.assertTrue(inst.wait_count("alice", 3))
        p = inst.pop()
        count, octets = p.stat()
        self.assertEqual(count, 3)
        sizes = [int(l.split()[1]) for l in p.list()[1]]
        self.assertEqual(sum(sizes), octets)
        uids = [l.split()[1] for l in p.uidl()[1]]
        self.assertEqual(len(set(uids)), 3)
        for n in range(1, 4):
            lines = p.retr(n)[1]
            raw = b"\r\n".join(lines) + b"\r\n"
            self.assertEqual(len(raw), sizes[n - 1])  # the octets LIST gave are what came
            parsed = email.message_from_bytes(raw, policy=email.policy.default)
            # The server's own Received field comes first, then the message as sent.
            self.assertTrue(raw.startswith(b"Received: "), raw[:80])
            self.assertEqual(raw[-len(sent[n - 1]):], sent[n - 1])
            if n == 2:
                part = next(parsed.iter_attachments())
                self.assertEqual(part.get_filename(), "data.bin")
                self.assertEqual(part.get_content(), attachment)
        top = p.top(1, 0)[1]
        self.assertIn(b"Subject: first", top)
        self.assertEqual(top[-1], b"")  # the empty line ends what TOP 0 sends
        p.dele(2)
        p.quit()
        # DELE, then a dropped connection, removes nothing.
        p = inst.pop()
        self.assertEqual(p.stat()[0], 2)
        p.dele(1)
        p.sock.shutdown(socket.SHUT_RDWR)  # the file poplib made keeps the socket open
        p.close()
        self.assertTrue(inst.wait_count("alice", 2))
        p = inst.pop()
        for n in (1, 2):
            p.dele(n)
        p.quit()
        self.assertEqual(inst.count("alice"), 0)
        # No password reaches the activity log.
        log = b"".join(open(os.path.join(inst.path("log"), f), "rb").read()
                       for f in os.listdir(inst.path("log")) if f.startswith("kslog"))
        self.assertNotIn(PASSWORD.encode(), log)
        self.assertIn(b",1=2,2=1,3=1,", log)  # a successful POP login was recorded

    def test_curl_retrieves_after_asking_capa(self):
        inst = self.inst
        data = message("for curl", "Line one.\r\n.dotted\r\n", to="bob@example.org")
        inst.send("bob@example.org", data)
        self.assertTrue(inst.wait_count("bob", 1))
        out = subprocess.run(["curl", "-s", "--max-time", "30", "-u", "bob:" + PASSWORD,
                              "pop3://127.0.0.1:%d/1" % inst.pop_port], capture_output=True, timeout=60)
        self.assertEqual(out.returncode, 0, out.stderr)
        self.assertTrue(out.stdout.endswith(data), out.stdout[-200:])
        listing = subprocess.run(["curl", "-s", "--max-time", "30", "-u", "bob:" + PASSWORD,
                                  "pop3://127.0.0.1:%d/" % inst.pop_port], capture_output=True,
                                 timeout=60)
        self.assertEqual(listing.stdout.split(b" ")[0], b"1")
        wrong = subprocess.run(["curl", "-s", "--max-time", "30", "-u", "bob:wrong",
                                "pop3://127.0.0.1:%d/1" % inst.pop_port], capture_output=True,
                               timeout=60)
        self.assertNotEqual(wrong.returncode, 0)

    def test_fetchmail_keeps_then_deletes(self):
        inst = self.inst
        for n in range(3):
            inst.send("carol@example.org", message("fetch %d" % n, to="carol@example.org"))
        self.assertTrue(inst.wait_count("carol", 3))
        work = inst.dir.name
        out_file = os.path.join(work, "fetched.mbox")

        def fetch(keep):
            rc = os.path.join(work, "fetchmailrc")
            with open(rc, "w") as f:
                f.write("set no syslog\npoll 127.0.0.1 proto pop3 port %d auth password\n"
                        "  user carol there with password \"%s\" is root here\n"
                        "  %s fetchall sslproto '' mda \"/bin/sh -c 'cat >> %s'\"\n"
                        % (inst.pop_port, PASSWORD, "keep" if keep else "no keep", out_file))
            os.chmod(rc, 0o600)
            env = dict(os.environ, HOME=work, FETCHMAILHOME=work)
            return subprocess.run(["fetchmail", "-f", rc, "--nodetach", "-v"], env=env,
                                  capture_output=True, text=True, timeout=120)

        out = fetch(keep=True)
        self.assertIn(out.returncode, (0,), out.stdout + out.stderr)
        self.assertEqual(inst.count("carol"), 3)
        out = fetch(keep=False)
        self.assertEqual(out.returncode, 0, out.stdout + out.stderr)
        self.assertEqual(inst.count("carol"), 0)
        fetched = open(out_file, "rb").read()
        for n in range(3):
            self.assertEqual(fetched.count(b"Subject: fetch %d\r\n" % n) +
                             fetched.count(b"Subject: fetch %d\n" % n), 2)

    def test_twenty_users_fetch_while_mail_arrives(self):
        inst = self.inst
        users, per_user = USERS[3:], 5
        received = {u: [] for u in users}
        errors = []

        def sender():
            try:
                for i in range(per_user):
                    for u in users:
                        inst.send(u + "@example.org", message("%s %d" % (u, i), to=u + "@example.org"))
            except Exception as e:  # noqa: BLE001 - reported below
                errors.append(repr(e))

        def fetcher(user):
            import poplib
            deadline = time.monotonic() + 90
            while len(received[user]) < per_user and time.monotonic() < deadline:
                try:
                    p = inst.pop(user)
                except poplib.error_proto:
                    time.sleep(0.05)  # a delivery holds the Inbox; try again
                    continue
                try:
                    for n in range(1, p.stat()[0] + 1):
                        msg = email.message_from_bytes(b"\r\n".join(p.retr(n)[1]))
                        received[user].append(msg["Subject"])
                        p.dele(n)
                    p.quit()
                except Exception as e:  # noqa: BLE001 - reported below
                    errors.append(repr(e))
                    return
                time.sleep(0.05)

        threads = [threading.Thread(target=sender)] + [threading.Thread(target=fetcher, args=(u,))
                                                        for u in users]
        for t in threads:
            t.start()
        for t in threads:
            t.join(120)
        self.assertEqual(errors, [])
        for u in users:
            self.assertEqual(sorted(received[u]), ["%s %d" % (u, i) for i in range(per_user)], u)


class Pop3IdleClientsTest(unittest.TestCase):
    """The default settings: 20 connections an address, 200 workers at most."""

    def test_idle_connections_keep_neither_the_greeting_nor_the_login_of_a_fresh_client(self):
        soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        resource.setrlimit(resource.RLIMIT_NOFILE, (min(max(soft, 1024), hard), hard))
        inst = MailInstallation("ostrel-pop3-idle-")
        held = []

        def connect(source):
            s = socket.socket()
            s.settimeout(10)
            s.bind((source, 0))
            s.connect(("127.0.0.1", inst.pop_port))
            held.append(s)
            return s

        def first_reply(s):
            f = s.makefile("rb")
            line = f.readline()
            return line, line == REFUSAL and f.read() == b""

        try:
            crowd = [connect("127.0.0.1") for _ in range(300)]
            replies = [first_reply(s) for s in crowd]
            greeted = [l for l, _ in replies if l.startswith(b"+OK POP3 server ")]
            refused = [closed for l, closed in replies if l == REFUSAL]
            self.assertEqual((len(greeted), len(refused)), (20, 280))
            self.assertTrue(all(refused))
            spread = [connect("127.0.0.%d" % (2 + i % 6)) for i in range(60)]
            self.assertTrue(all(first_reply(s)[0].startswith(b"+OK POP3 server ") for s in spread))
            start = time.monotonic()
            fresh = connect("127.0.0.8")
            f = fresh.makefile("rb")
            self.assertTrue(f.readline().startswith(b"+OK POP3 server "))
            self.assertLess(time.monotonic() - start, 1.0)
            for line, reply in ((b"USER alice", b"+OK send password"),
                                (b"PASS " + PASSWORD.encode(), b"+OK alice's maildrop"),
                                (b"QUIT", b"+OK POP3 server ")):
                fresh.sendall(line + b"\r\n")
                self.assertTrue(f.readline().startswith(reply), line)
        finally:
            for s in held:
                s.close()
            inst.close()


if __name__ == "__main__":
    unittest.main()
