"""System tests of delivery: the real ostrel program in the foreground on loopback
delivers what smtplib sends it, to the local users' Inboxes and to real peers:

  - Debian's aiosmtpd (run by /usr/bin/python3) as the remote mail server, found
    through MX records, or through a domain's own address, that dnsmasq serves on a
    loopback port (the registry's TCP/IP parameters point ostrel at it, and MXPort
    at the peers' port); and as the relay host of the crash test;
  - a scripted peer for 550 and 452 replies and a reply of two lines;
  - a peer that never says a word, for the stop of the server.

Every address the engine reaches is a loopback one: the peers listen on 127.0.0.2
to 127.0.0.4, and no name goes to any name server but the test's own.
"""
import json
import os
import re
import signal
import smtplib
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

for folder in ("dns", "support"):
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", folder))
from ostrel_system import free_port, wait_for  # noqa: E402
from test_dns_system import DNSMASQ, NameServer  # noqa: E402

BINARY = os.environ.get("OSTREL_BINARY", "build/service/ostrel")
HERE = os.path.dirname(os.path.abspath(__file__))
TCPIP = "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters]\n"
PRODUCT = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestrin\\Ostrel]\n"
# The crash test: messages sent, and how many are delivered before the kill.
CRASH_MESSAGES = 500
CRASH_AFTER = 100


def read(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError:
        return b""


class Peer:
    """Debian's aiosmtpd on address:port, saving what it accepts into a directory."""

    def __init__(self, address, port, workdir):
        self.outdir = tempfile.mkdtemp(dir=workdir, prefix="peer-")
        self.proc = subprocess.Popen(["/usr/bin/python3", os.path.join(HERE, "aiosmtpd_peer.py"), address,
                                      str(port), self.outdir], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        self.ready = self.proc.stdout.readline().strip() == b"ready"
        self.proc.stdout.close()
        if not self.ready:
            raise RuntimeError("aiosmtpd did not start (package python3-aiosmtpd)")

    def messages(self):
        out = []
        for name in sorted(os.listdir(self.outdir)):
            if name.endswith(".msg"):
                head, _, data = read(os.path.join(self.outdir, name)).partition(b"\n")
                out.append((json.loads(head), data))
        return out

    def close(self):
        self.proc.stdin.close()
        self.proc.wait(timeout=30)


class ScriptedPeer(threading.Thread):
    """A mail server that answers by the recipient's local part: "reject" gets 550,
    "later" gets 452 the first time; the data gets a final reply of two lines. With
    silent, it accepts connections and never answers."""

    def __init__(self, address, port, silent=False):
        super().__init__(daemon=True)
        self.silent = silent
        self.sock = socket.socket()
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind((address, port))
        self.sock.listen(20)
        self.connections = 0
        self.data = []
        self.deferred = set()
        self.start()

    def run(self):
        while True:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            self.connections += 1
            threading.Thread(target=self.converse, args=(conn,), daemon=True).start()

    def converse(self, conn):
        with conn:
            if self.silent:
                conn.recv(1)  # until the client gives up
                return
            f = conn.makefile("rb")
            conn.sendall(b"220 scripted.test ready\r\n")
            while True:
                line = f.readline()
                if not line:
                    return
                verb = line[:4].upper()
                if verb == b"RCPT":
                    local = line.split(b"<", 1)[1].split(b"@", 1)[0]
                    if local == b"reject":
                        conn.sendall(b"550 5.1.1 <reject@script.test> no such user here\r\n")
                    elif local == b"later" and local not in self.deferred:
                        self.deferred.add(local)
                        conn.sendall(b"452 4.2.2 mailbox full, try later\r\n")
                    else:
                        conn.sendall(b"250 ok\r\n")
                elif verb == b"DATA":
                    conn.sendall(b"354 go ahead\r\n")
                    data = b""
                    while (line := f.readline()) not in (b".\r\n", b""):
                        data += line
                    self.data.append(data)
                    conn.sendall(b"250-first line\r\n250 second line\r\n")
                elif verb == b"QUIT":
                    conn.sendall(b"221 bye\r\n")
                    return
                else:
                    conn.sendall(b"250 ok\r\n")

    def close(self):
        self.sock.close()


def start_dnsmasq(workdir):
    assert DNSMASQ, "dnsmasq (package dnsmasq-base) is missing: run scripts/deps.sh"
    port = free_port(kind=socket.SOCK_DGRAM)
    user = ["--user=root", "--group=root"] if os.geteuid() == 0 else []
    return NameServer([DNSMASQ, "--keep-in-foreground", "--port=%d" % port, "--listen-address=127.0.0.1",
                       "--bind-interfaces", "--no-resolv", "--no-hosts", "--conf-file=/dev/null", "--pid-file=",
                       *user, "--log-facility=-", "--local=/test/",
                       "--host-record=host.example.test,127.0.0.2",
                       "--host-record=mx.ok.test,127.0.0.2", "--mx-host=ok.test,mx.ok.test,10",
                       "--host-record=plain.test,127.0.0.2",
                       "--host-record=mx.script.test,127.0.0.3", "--mx-host=script.test,mx.script.test,10",
                       "--host-record=mx.silent.test,127.0.0.4", "--mx-host=silent.test,mx.silent.test,10"],
                      port, workdir)


class Installation:
    """A fresh installation in a directory (example.org, the given users and system
    settings) and the ostrel program running on it."""

    def __init__(self, workdir, users, system="", registry="", product=""):
        self.dir = workdir
        self.env = dict(os.environ, OSTREL_REGISTRY=os.path.join(workdir, "registry"),
                        OSTREL_RUNDIR=os.path.join(workdir, "run"),
                        OSTREL_EVENTLOG=os.path.join(workdir, "early-events.log"), OSTREL_NOSYSLOG="1")
        self.env.pop("OSTREL_SERVICE", None)
        self.env.pop("OSTREL_HOLD_DELIVERY", None)
        self.port = free_port()
        self.inst = os.path.join(workdir, "inst")
        out = subprocess.run([BINARY, "-setup", self.inst, str(self.port), str(free_port()), str(free_port())],
                             env=self.env, capture_output=True, text=True, timeout=60, stdin=subprocess.DEVNULL)
        assert out.returncode == 0, out.stdout
        text = read(self.env["OSTREL_REGISTRY"]).decode()
        text = text.replace(PRODUCT, PRODUCT + product, 1) + registry
        with open(self.env["OSTREL_REGISTRY"], "w") as f:
            f.write(text)
        shared = os.path.join(self.inst, "shared-config")
        lines = read(shared).split(b"\r\n")
        lines = [re.sub(rb",Domain=[^,]*", b",Domain=example.org", l) + system.encode() if l.startswith(b"DS,") else l
                 for l in lines if l]
        lines += [b"DU" + u.encode() for u in users]
        with open(shared, "wb") as f:
            f.write(b"\r\n".join(lines) + b"\r\n")
        self.proc = None
        self.start()

    def start(self):
        self.proc = subprocess.Popen([BINARY, "-debug", "x"], env=self.env, stdin=subprocess.DEVNULL,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if not wait_for(self.listening):
            self.proc.kill()
            raise RuntimeError("the SMTP server did not come up")

    def listening(self):
        try:
            with socket.create_connection(("127.0.0.1", self.port), timeout=1) as s:
                s.settimeout(5)
                return s.recv(4).startswith(b"220")
        except OSError:
            return False

    def stop(self, timeout=60):
        self.proc.send_signal(signal.SIGINT)
        self.proc.wait(timeout=timeout)

    def send(self, sender, rcpts, data):
        with smtplib.SMTP("127.0.0.1", self.port, timeout=30) as s:
            s.helo("client.example.net")
            s.sendmail(sender, rcpts, data)

    def inbox(self, user):
        """The messages of a user's Inbox, as stored after their separator lines."""
        data = read(os.path.join(self.inst, "boxes", user.lower(), "Inbox"))
        parts = re.split(rb"(?:^|\r\n)>From< [^\r\n]*\r\n", data)
        return [p if p.endswith(b"\r\n") or not p else p + b"\r\n" for p in parts[1:]]

    def toc_flags(self, user):
        lines = read(os.path.join(self.inst, "boxes", user.lower(), "Inbox.toc")).splitlines()[1:]
        return [int(l.split(b"\x1c")[0]) for l in lines if l]

    def activity(self):
        log = os.path.join(self.inst, "log")
        return b"".join(read(os.path.join(log, n)) for n in sorted(os.listdir(log)) if n.startswith("kslog"))

    def queue_file(self, name):
        return os.path.join(self.inst, "mail", name)


def message(subject, body=b"Hello.\r\n", extra=b""):
    return (b"From: jo@example.org\r\nTo: someone\r\nSubject: " + subject + b"\r\n" + extra +
            b"Date: Mon, 7 Dec 2026 10:00:00 +0000\r\nMessage-Id: <" + subject.replace(b" ", b"-") +
            b"@example.org>\r\n\r\n" + body)


class DeliverySystemTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory(prefix="ostrel-deliver-")
        d = cls.tmp.name
        cls.dns = start_dnsmasq(d)
        mxport = free_port("127.0.0.2")
        cls.peer = Peer("127.0.0.2", mxport, d)
        cls.scripted = ScriptedPeer("127.0.0.3", mxport)
        cls.silent = ScriptedPeer("127.0.0.4", mxport, silent=True)
        users = ["jo,OstrelUser=1", "bo,OstrelUser=1", "approver,OstrelUser=1",
                 "carol,OstrelUser=1,FilterMode=F,BlockedMIMETypes=application/*,OnForbidden=D"]
        registry = TCPIP + "Hostname=mx\nDomain=example.org\nNameServer=127.0.0.1:%d\n" % cls.dns.port
        cls.ostrel = Installation(d, users, ",Notify=1,NotifyAddr=approver@example.org", registry,
                                  "MXPort=%d\n" % mxport)

    @classmethod
    def tearDownClass(cls):
        try:
            cls.ostrel.stop()
        finally:
            for p in (cls.peer, cls.scripted, cls.silent, cls.dns):
                p.close()
            cls.tmp.cleanup()

    def test_local_users_get_their_mail_byte_exact(self):
        data = message(b"local", b".starts with a dot\r\n..two\r\nend\r\n")
        self.ostrel.send("ann@example.org", ["jo@example.org", "BO@example.org"], data)
        for user in ("jo", "bo"):
            self.assertTrue(wait_for(lambda: any(m.endswith(data) for m in self.ostrel.inbox(user))), user)
            stored = [m for m in self.ostrel.inbox(user) if m.endswith(data)][0]
            # The server's own Received field stands before the data, and nothing else.
            self.assertTrue(stored.startswith(b"Received: from client.example.net ([127.0.0.1])\r\n"))
            self.assertEqual(stored[stored.index(b"\r\nFrom: jo@example.org\r\n") + 2:], data)

    def test_remote_mail_through_mail_exchangers_and_a_domains_own_address(self):
        data = message(b"remote", b".dot\r\nbody\r\n")
        self.ostrel.send("jo@example.org", ["far@ok.test", "near@plain.test"], data)
        self.assertTrue(wait_for(lambda: len([m for m in self.peer.messages() if m[1].endswith(data)]) == 2))
        for envelope, content in self.peer.messages():
            if content.endswith(data):
                self.assertEqual(envelope["from"], "jo@example.org")
                self.assertTrue(content.startswith(b"Received: "))
        self.assertEqual(sorted(e["to"][0] for e, c in self.peer.messages() if c.endswith(data)),
                         ["far@ok.test", "near@plain.test"])

    def test_refusals_bounce_with_the_remote_reply_and_a_postmaster_copy(self):
        data = message(b"bounce me", b"the body of the bounced message\r\n")
        self.ostrel.send("jo@example.org", ["reject@script.test", "nobody@gone.test"], data)
        def bounce():
            return [m for m in self.ostrel.inbox("jo") if b"Subject: Returned mail" in m]
        self.assertTrue(wait_for(lambda: len(bounce()) == 1), self.ostrel.inbox("jo"))
        text = bounce()[0]
        self.assertIn(b"reject@script.test    Mailbox unknown or not accepting mail.\r\n"
                      b"550 5.1.1 <reject@script.test> no such user here\r\n\r\n", text)
        self.assertIn(b"nobody@gone.test    Remote host not found.\r\n\r\n", text)
        self.assertTrue(text.endswith(b"--- Original message follows. ---\r\n" + text[text.index(b"Received: from client"):]))
        self.assertIn(b"the body of the bounced message", text)
        # The postmaster's copy carries the header alone.
        self.assertTrue(wait_for(lambda: any(b"reject@script.test    " in m for m in self.ostrel.inbox("Postmaster"))))
        copy = [m for m in self.ostrel.inbox("Postmaster") if b"reject@script.test    " in m][0]
        self.assertIn(b"Subject: bounce me\r\n", copy)
        self.assertNotIn(b"the body of the bounced message", copy)

    def test_a_deferral_goes_to_the_slow_queue_and_is_tried_again(self):
        data = message(b"deferred")
        self.ostrel.send("jo@example.org", ["later@script.test"], data)
        slowq = self.ostrel.queue_file("slowq")
        self.assertTrue(wait_for(lambda: read(slowq).strip()))
        ident = read(slowq).split()[2].decode()
        # Fifteen minutes and more pass: the envelope's last attempt and the queue's
        # last try are written back in time, as a restart would find them.
        env = self.ostrel.queue_file(ident + ".env")
        lines = read(env).split(b"\r\n")
        for i in range(9, len(lines) - 1, 4):
            fields = lines[i].split()
            fields[3] = b"%d" % (int(fields[3]) - 1000)
            lines[i] = b" ".join(fields)
        self.rewrite(env, b"\r\n".join(lines))
        queued, last, _ = read(slowq).split()[:3]
        self.rewrite(slowq, b"%d %d %s\r\n" % (int(queued) - 1000, int(last) - 1000, ident.encode()))
        # Any accepted message wakes a delivery thread, which then finds it due.
        self.ostrel.send("jo@example.org", ["bo@example.org"], message(b"wake up"))
        self.assertTrue(wait_for(lambda: any(d.endswith(data) for d in self.scripted.data)))
        self.assertTrue(wait_for(lambda: not os.path.exists(env)))
        self.assertTrue(wait_for(lambda: ident.encode() not in read(slowq)))
        # The two-line final reply is recorded as one text.
        self.assertIn(b"110=250-first line 250 second line", self.ostrel.activity())

    def test_held_mail_makes_an_approval_request(self):
        data = (b"From: jo@example.org\r\nSubject: held\r\nMIME-Version: 1.0\r\n"
                b"Content-Type: multipart/mixed; boundary=\"b\"\r\n\r\n--b\r\nContent-Type: text/plain\r\n\r\nhi\r\n"
                b"--b\r\nContent-Type: application/octet-stream\r\n\r\nAAAA\r\n--b--\r\n")
        self.ostrel.send("jo@example.org", ["carol@example.org"], data)
        def requests():
            return [m for m in self.ostrel.inbox("approver") if b"Approval Required" in m]
        self.assertTrue(wait_for(lambda: requests()))
        request = requests()[0]
        self.assertIn(b"\r\nX-Notify-From: jo@example.org\r\nX-Notify-To: carol@example.org\r\n", request)
        self.assertRegex(request, rb"\r\nX-OldSMTP-ID: M\d{19}\r\n")
        self.assertRegex(request, rb"\r\nX-Notify-Signature: [0-9a-f]{64}\r\n")
        self.assertIn(b"This message must be approved prior to forwarding to recipient: carol@example.org", request)
        self.assertIn(b"AAAA", request)
        # Unread and waiting for approval (the table of contents follows the data).
        self.assertTrue(wait_for(lambda: 65 in self.ostrel.toc_flags("approver")), self.ostrel.toc_flags("approver"))
        self.assertEqual(self.ostrel.inbox("carol"), [])

    @staticmethod
    def rewrite(path, data):
        with open(path + ".test", "wb") as f:
            f.write(data)
        os.rename(path + ".test", path)


class StopAndCrashTest(unittest.TestCase):
    """The server stopped while a delivery waits on a silent peer, and killed with
    SIGKILL in the middle of 500 deliveries: nothing is lost."""

    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory(prefix="ostrel-crash-")
        self.peers = []

    def tearDown(self):
        for p in self.peers:
            p.close()
        self.tmp.cleanup()

    def test_a_stop_ends_the_wait_on_a_silent_peer_and_keeps_the_message(self):
        port = free_port("127.0.0.4")
        silent = ScriptedPeer("127.0.0.4", port, silent=True)
        self.peers.append(silent)
        ostrel = Installation(self.tmp.name, ["jo,OstrelUser=1"], ",RelayHost=[127.0.0.4]:%d" % port,
                              TCPIP + "NameServer=127.0.0.1:%d\n" % free_port(kind=socket.SOCK_DGRAM))
        ostrel.send("jo@example.org", ["far@far.test"], message(b"waiting"))
        self.assertTrue(wait_for(lambda: silent.connections > 0))
        start = time.monotonic()
        ostrel.stop(timeout=60)
        self.assertLess(time.monotonic() - start, 30)
        envelopes = [n for n in os.listdir(os.path.join(ostrel.inst, "mail")) if n.endswith(".env")]
        self.assertEqual(len(envelopes), 1)

    def test_a_kill_during_delivery_loses_nothing(self):
        port = free_port("127.0.0.2")
        peer = Peer("127.0.0.2", port, self.tmp.name)
        self.peers.append(peer)
        ostrel = Installation(self.tmp.name, ["jo,OstrelUser=1"], ",RelayHost=[127.0.0.2]:%d" % port,
                              TCPIP + "NameServer=127.0.0.1:%d\n" % free_port(kind=socket.SOCK_DGRAM))
        subjects = re.compile(rb"\r\nSubject: crash (\d+)\r\n")

        def delivered():
            found = {int(n) for m in ostrel.inbox("jo") for n in subjects.findall(m)}
            return found | {int(n) for _, m in peer.messages() for n in subjects.findall(m)}

        # The 500 are accepted while delivery is held, then delivery starts and is
        # killed once a fifth of them are through.
        ostrel.stop()
        ostrel.env["OSTREL_HOLD_DELIVERY"] = "1"
        ostrel.start()
        with smtplib.SMTP("127.0.0.1", ostrel.port, timeout=60) as s:
            s.helo("client.example.net")
            for n in range(CRASH_MESSAGES):
                rcpt = "jo@example.org" if n % 2 else "far@relayed.test"
                s.sendmail("ann@example.org", [rcpt], message(b"crash %d" % n, b"line\r\n" * 20))
        ostrel.stop()
        del ostrel.env["OSTREL_HOLD_DELIVERY"]
        ostrel.start()
        wait_for(lambda: len(delivered()) >= CRASH_AFTER, 60)
        ostrel.proc.kill()
        ostrel.proc.wait(timeout=30)
        self.assertLess(len(delivered()), CRASH_MESSAGES, "the kill came too late to test anything")
        ostrel.start()
        try:
            self.assertTrue(wait_for(lambda: len(delivered()) == CRASH_MESSAGES, 120),
                            sorted(set(range(CRASH_MESSAGES)) - delivered())[:20])
        finally:
            ostrel.stop()
        leftovers = [n for n in os.listdir(os.path.join(ostrel.inst, "mail")) if n.endswith((".env", ".mes"))]
        self.assertEqual(leftovers, [])


if __name__ == "__main__":
    unittest.main()
