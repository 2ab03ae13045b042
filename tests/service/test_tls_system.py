"""Encryption against the real program: one installation with the self-signed
certificate that -setup makes and all three encrypted listeners, driven by the
clients people use (openssl s_client, Python's smtplib and poplib, curl, fetchmail):
STARTTLS and STLS on the plain ports, SMTPS, POP3S and HTTPS from the first byte,
mail sent encrypted and fetched encrypted, old protocol versions refused and
recorded, and the plain conversations untouched where no encryption is asked for."""
import glob
import os
import poplib
import re
import smtplib
import socket
import ssl
import stat
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from ostrel_system import BINARY, Installation, can_connect, wait_for  # noqa: E402

PASSWORD = "tls-Secret"


def message(subject):
    return ("From: ann@example.net\r\nTo: alice@example.org\r\nSubject: %s\r\n\r\nBody of %s.\r\n"
            % (subject, subject)).encode()


class TlsSystemTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        inst = cls.inst = Installation("ostrel-tls-", tls=True)
        found = re.search(r"self-signed certificate for (\S+): (\S+) \(key (\S+)\)", inst.setup_output)
        assert found, inst.setup_output
        cls.domain, cls.cert, cls.key = found.groups()
        inst.edit_system_line(lambda l: re.sub(rb",Domain=[^,]*", b",Domain=example.org", l))
        with open(inst.path("shared-config"), "ab") as f:
            f.write(b"DUalice,OstrelUser=1,RealAcct=alice\r\n")
        out = subprocess.run([BINARY, "-passwd", "alice"], input=PASSWORD + "\n", env=inst.env,
                             capture_output=True, text=True, timeout=60)
        assert out.returncode == 0, out.stdout
        # Alice's Inbox holds three messages, written as the mailbox file that the
        # first login scans.
        box = inst.path("boxes", "alice")
        os.makedirs(box, exist_ok=True)
        date = time.strftime("%a, %d %b %Y %H:%M:%S GMT", time.gmtime())
        with open(os.path.join(box, "Inbox"), "wb") as f:
            for n in (1, 2, 3):
                f.write(b">From< ann@example.net " + date.encode() + b"\r\n" + message("stored %d" % n))
        # Passwords only over encrypted connections, even from loopback (the last
        # section of the registry file is the product's key).
        with open(inst.env["OSTREL_REGISTRY"], "a") as f:
            f.write("RequireTLSForPasswords=2\n")
        ports = [inst.smtp_port, inst.pop_port, inst.smtps_port, inst.pops_port, inst.https_port]
        inst.start(lambda: all(can_connect(p) for p in ports))
        cls.context = ssl.create_default_context(cafile=cls.cert)

    @classmethod
    def tearDownClass(cls):
        cls.inst.close()

    def s_client(self, port, *options, send=b"QUIT\r\n"):
        return subprocess.run(["openssl", "s_client", "-connect", "127.0.0.1:%d" % port,
                               "-CAfile", self.cert, "-verify_return_error", "-ign_eof", *options],
                              input=send, capture_output=True, timeout=30)

    def activity(self):
        text = b""
        for name in glob.glob(os.path.join(self.inst.path("log"), "kslog*")):
            with open(name, "rb") as f:
                text += f.read()
        return text

    def test_certificate_made_by_setup(self):
        self.assertEqual(stat.S_IMODE(os.stat(self.key).st_mode), 0o600)
        out = subprocess.run(["openssl", "x509", "-in", self.cert, "-noout", "-subject", "-ext",
                              "subjectAltName"], capture_output=True, text=True, timeout=30)
        self.assertIn("CN = " + self.domain, out.stdout)
        self.assertIn("IP Address:127.0.0.1", out.stdout)

    def test_s_client_sees_the_certificate_on_every_port(self):
        cases = [(self.inst.pops_port, (), b"+OK POP3 server"),
                 (self.inst.smtps_port, (), b"220 "),
                 (self.inst.pop_port, ("-starttls", "pop3"), b"+OK"),
                 (self.inst.smtp_port, ("-starttls", "smtp"), b"221 "),
                 (self.inst.https_port, (), b"HTTP/1.0 "),]
        for port, options, expected in cases:
            send = b"GET /images/logo.gif HTTP/1.0\r\n\r\n" if port == self.inst.https_port else b"QUIT\r\n"
            out = self.s_client(port, *options, send=send)
            self.assertEqual(out.returncode, 0, (port, options, out.stdout[-2000:], out.stderr[-2000:]))
            self.assertIn(b"Verify return code: 0 (ok)", out.stdout)
            self.assertIn(b"CN = " + self.domain.encode(), out.stdout)
            self.assertIn(expected, out.stdout)

    def test_old_protocol_versions_are_refused_and_recorded(self):
        for version in ("-tls1", "-tls1_1"):
            out = self.s_client(self.inst.pops_port, version, "-cipher", "DEFAULT@SECLEVEL=0")
            self.assertNotEqual(out.returncode, 0)
            self.assertNotIn(b"+OK POP3 server", out.stdout)
        self.assertIn(b"TLS handshake failed", self.activity())

    def pop3s(self):
        p = poplib.POP3_SSL("127.0.0.1", self.inst.pops_port, timeout=30, context=self.context)
        p.user("alice")
        p.pass_(PASSWORD)
        return p

    def count(self):
        p = self.pop3s()
        n = p.stat()[0]
        p.quit()
        return n

    def test_mail_sent_and_fetched_encrypted_by_python_curl_and_fetchmail(self):
        inst = self.inst
        # The plain port offers STARTTLS on EHLO only; after it the client starts over.
        with smtplib.SMTP("127.0.0.1", inst.smtp_port, timeout=30) as s:
            self.assertEqual(s.helo("client.example.net")[0], 250)
            self.assertFalse(s.has_extn("starttls"))
            s.ehlo("client.example.net")
            self.assertTrue(s.has_extn("starttls"))
            s.starttls(context=self.context)
            s.ehlo("client.example.net")
            self.assertFalse(s.has_extn("starttls"))
            s.sendmail("ann@example.net", ["alice@example.org"], message("starttls"))
        with smtplib.SMTP_SSL("127.0.0.1", inst.smtps_port, timeout=30, context=self.context) as s:
            s.sendmail("ann@example.net", ["alice@example.org"], message("smtps"))
        with open(os.path.join(inst.dir.name, "curl.eml"), "wb") as f:
            f.write(message("curl smtps"))
        out = subprocess.run(["curl", "-sS", "--cacert", self.cert, "smtps://127.0.0.1:%d" % inst.smtps_port,
                              "--mail-from", "ann@example.net", "--mail-rcpt", "alice@example.org",
                              "-T", f.name], capture_output=True, text=True, timeout=60)
        self.assertEqual(out.returncode, 0, out.stderr)
        # The three sent are delivered behind the three stored.
        self.assertTrue(wait_for(lambda: self.count() == 6))
        p = self.pop3s()
        subjects = {line for n in range(1, 7) for line in p.retr(n)[1] if line.startswith(b"Subject:")}
        self.assertEqual(subjects, {b"Subject: stored 1", b"Subject: stored 2", b"Subject: stored 3",
                                    b"Subject: starttls", b"Subject: smtps", b"Subject: curl smtps"})
        p.quit()
        p = poplib.POP3("127.0.0.1", inst.pop_port, timeout=30)
        self.assertIn("STLS", p.capa())
        p.stls(context=self.context)
        self.assertNotIn("STLS", p.capa())
        p.user("alice")
        p.pass_(PASSWORD)
        self.assertEqual(p.stat()[0], 6)
        self.assertEqual(p._shortcmd("NOOP"), b"+OK")
        with self.assertRaises(poplib.error_proto):
            p._shortcmd("STLS")  # not once logged in, even on an encrypted connection
        p.quit()

        out = subprocess.run(["curl", "-sS", "--cacert", self.cert, "-u", "alice:" + PASSWORD,
                              "pop3s://127.0.0.1:%d/2" % inst.pops_port], capture_output=True,
                             timeout=60)
        self.assertEqual(out.returncode, 0, out.stderr)
        self.assertIn(b"Subject: stored 2", out.stdout)
        out = subprocess.run(["curl", "-sS", "--cacert", self.cert, "-o", "/dev/null", "-w", "%{http_code}",
                              "https://127.0.0.1:%d/images/logo.gif" % inst.https_port],
                             capture_output=True, text=True, timeout=60)
        self.assertEqual((out.returncode, out.stdout), (0, "200"), out.stderr)

        work = inst.dir.name
        rc, fetched = os.path.join(work, "fetchmailrc"), os.path.join(work, "fetched.mbox")
        with open(rc, "w") as f:
            f.write("set no syslog\npoll 127.0.0.1 proto pop3 port %d auth password\n"
                    "  user alice there with password \"%s\" is root here\n"
                    "  keep fetchall ssl sslcertck sslcertfile \"%s\" sslcommonname \"%s\"\n"
                    "  mda \"/bin/sh -c 'cat >> %s'\"\n"
                    % (inst.pops_port, PASSWORD, self.cert, self.domain, fetched))
        os.chmod(rc, 0o600)
        out = subprocess.run(["fetchmail", "-f", rc, "--nodetach", "-v"], capture_output=True, text=True,
                             timeout=120, env=dict(os.environ, HOME=work, FETCHMAILHOME=work))
        self.assertEqual(out.returncode, 0, out.stdout + out.stderr)
        with open(fetched, "rb") as f:
            self.assertEqual(f.read().count(b"Subject: "), 6)

    def test_the_smtp_conversation_starts_over_after_starttls(self):
        with socket.create_connection(("127.0.0.1", self.inst.smtp_port), timeout=10) as raw:
            f = raw.makefile("rb")
            f.readline()
            raw.sendall(b"EHLO client.example.net\r\nMAIL FROM:<ann@example.net>\r\nSTARTTLS now\r\n")
            self.assertEqual(f.readline()[:4], b"250-")
            self.assertEqual(f.readline(), b"250 STARTTLS\r\n")
            f.readline()
            self.assertEqual(f.readline(), b"501 Syntax error (no parameters allowed)\r\n")
            raw.sendall(b"STARTTLS\r\n")
            self.assertEqual(f.readline(), b"220 Ready to start TLS\r\n")
            with self.context.wrap_socket(raw, server_hostname="127.0.0.1") as tls:
                g = tls.makefile("rb")
                # The sender given in clear is forgotten.
                tls.sendall(b"RCPT TO:<alice@example.org>\r\n")
                self.assertEqual(g.readline(), b"503 Need MAIL before RCPT\r\n")
                tls.sendall(b"STARTTLS\r\nQUIT\r\n")
                self.assertTrue(g.readline().startswith(b"500"))
                self.assertTrue(g.readline().startswith(b"221"))

    def test_passwords_in_clear_are_refused_and_http_leads_to_https(self):
        p = poplib.POP3("127.0.0.1", self.inst.pop_port, timeout=30)
        p.user("alice")
        with self.assertRaises(poplib.error_proto) as refused:
            p.pass_(PASSWORD)
        self.assertIn(b"[AUTH] encryption required", refused.exception.args[0])
        p.quit()
        with socket.create_connection(("127.0.0.1", self.inst.http_port), timeout=10) as s:
            s.sendall(b"GET /Admin HTTP/1.0\r\nHost: 127.0.0.1:%d\r\n\r\n" % self.inst.http_port)
            head = s.makefile("rb").read().split(b"\r\n\r\n")[0]
        self.assertTrue(head.startswith(b"HTTP/1.0 302 "), head)
        self.assertIn(b"\r\nLocation: https://127.0.0.1:%d/Admin" % self.inst.https_port, head)
        # Over HTTPS the same path is served, and its redirects stay on HTTPS.
        with self.context.wrap_socket(socket.create_connection(("127.0.0.1", self.inst.https_port)),
                                      server_hostname="127.0.0.1") as s:
            s.sendall(b"GET /Admin HTTP/1.0\r\nHost: 127.0.0.1:%d\r\n\r\n" % self.inst.https_port)
            head = s.makefile("rb").read().split(b"\r\n\r\n")[0]
        self.assertIn(b"\r\nLocation: https://127.0.0.1:%d/Display" % self.inst.https_port, head)
        # The login page there gives a session cookie marked Secure; a page asked
        # for in clear is sent there with its query.
        with self.context.wrap_socket(socket.create_connection(("127.0.0.1", self.inst.https_port)),
                                      server_hostname="127.0.0.1") as s:
            s.sendall(b"GET /Display?what=admin_login.mhtml HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n")
            head = s.makefile("rb").read().split(b"\r\n\r\n")[0]
        self.assertRegex(head, rb"\r\nSet-Cookie: Ostrel=[0-9a-f]{32}; [^\r]*; Secure\r\n")
        with socket.create_connection(("127.0.0.1", self.inst.http_port), timeout=10) as s:
            s.sendall(b"GET /Display?what=admin_login.mhtml HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n")
            head = s.makefile("rb").read().split(b"\r\n\r\n")[0]
        self.assertIn(b"\r\nLocation: https://127.0.0.1:%d/Display?what=admin_login.mhtml"
                      % self.inst.https_port, head)

    def test_a_client_that_never_handshakes_holds_nothing(self):
        # Plain text on the encrypted port fails the handshake at once.
        with socket.create_connection(("127.0.0.1", self.inst.pops_port), timeout=10) as s:
            s.sendall(b"USER alice\r\n")
            s.settimeout(10)
            try:
                data = s.recv(100)
            except ConnectionResetError:
                data = b""
            self.assertNotIn(b"+OK", data)


if __name__ == "__main__":
    unittest.main()
