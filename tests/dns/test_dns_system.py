"""The resolver against real name servers from Debian, each started by the test on
a loopback port with a small zone: dnsmasq (which answers NXDOMAIN without the
authoritative bit) and unbound with a static local zone (which sets it). The
resolver is driven through the dns_probe program, and once through the ostrel
program itself, whose mail address parser resolves a domain literal."""
import os
import re
import shutil
import signal
import smtplib
import socket
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from ostrel_system import free_port as system_free_port  # noqa: E402

PROBE = os.environ.get("OSTREL_DNS_PROBE", "build/tests/dns_probe")
BINARY = os.environ.get("OSTREL_BINARY", "build/service/ostrel")
# Debian puts both servers in /usr/sbin, which an ordinary user's PATH may lack.
DNSMASQ = shutil.which("dnsmasq", path=os.environ.get("PATH", "") + ":/usr/sbin")
UNBOUND = shutil.which("unbound", path=os.environ.get("PATH", "") + ":/usr/sbin")
TCPIP = "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters]\n"

# Look-ups and what every server's answers must give; address lists are compared
# sorted, as servers may rotate them.
LOOKUPS = [
    ("A host.example.test", "records 192.0.2.10 192.0.2.11"),
    ("MX example.test", "records 10:mx1.example.test 20:mx2.example.test"),
    ("A alias.example.test", "records 192.0.2.10 192.0.2.11"),
    ("CNAME alias.example.test", "records alias2.example.test"),
    ("ADDR 192.0.2.10", "0 host.example.test"),
    ("A nothere.example.test", "NXDOMAIN"),
    ("MX nothere.example.test", "NXDOMAIN"),
    ("MX nomx.example.test", "NODATA"),
    ("HOST alias", "0 192.0.2.10 192.0.2.11"),
    ("HOST 192.0.2.99", "1"),
    ("AUTH A mx1.example.test", "auth 192.0.2.21"),
    # What the cache learnt on the way.
    ("CACHED MX example.test", "cached records"),
    ("CACHED A nothere.example.test", "cached NXDOMAIN"),
    ("CACHED MX nomx.example.test", "cached NODATA"),
    ("CACHED A other.test", "miss"),
]


def free_port(kind=socket.SOCK_DGRAM):
    return system_free_port(kind=kind)


def answers(port, name="host.example.test"):
    """True once the server answers a query for name on port."""
    query = (b"\x12\x34\x01\x00\x00\x01\x00\x00\x00\x00\x00\x00" +
             b"".join(bytes([len(p)]) + p.encode() for p in name.split(".")) + b"\x00\x00\x01\x00\x01")
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.settimeout(0.2)
        s.sendto(query, ("127.0.0.1", port))
        try:
            return s.recv(512)[:2] == b"\x12\x34"
        except OSError:
            return False


def wait_for(condition, seconds=10):
    end = time.time() + seconds
    while time.time() < end:
        if condition():
            return True
        time.sleep(0.1)
    return False


def sorted_addresses(line):
    words = line.split()
    head = [w for w in words if not re.fullmatch(r"\d+\.\d+\.\d+\.\d+", w)]
    return " ".join(head + sorted(w for w in words if w not in head))


class NameServer:
    """A name server process on 127.0.0.1 at a free port, stopped on close()."""

    def __init__(self, argv, port, workdir):
        self.port = port
        self.log = open(os.path.join(workdir, "server.log"), "wb")
        self.proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=self.log,
                                     stderr=subprocess.STDOUT)
        if not wait_for(lambda: self.proc.poll() is None and answers(port)):
            self.close()
            raise RuntimeError("name server did not start: " + " ".join(argv))

    def close(self):
        self.proc.send_signal(signal.SIGTERM)
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        self.log.close()


def start_dnsmasq(workdir):
    assert DNSMASQ, "dnsmasq (package dnsmasq-base) is missing: run scripts/deps.sh"
    port = free_port()
    user = ["--user=root", "--group=root"] if os.geteuid() == 0 else []
    return NameServer([DNSMASQ, "--keep-in-foreground", "--port=%d" % port,
                       "--listen-address=127.0.0.1", "--bind-interfaces", "--no-resolv",
                       "--no-hosts", "--conf-file=/dev/null", "--pid-file=", *user,
                       "--log-facility=-", "--local-ttl=600", "--local=/example.test/", "--local=/2.0.192.in-addr.arpa/",
                       "--host-record=host.example.test,192.0.2.10",
                       "--host-record=host.example.test,192.0.2.11",
                       "--host-record=mx1.example.test,192.0.2.21",
                       "--host-record=mx2.example.test,192.0.2.22",
                       "--host-record=nomx.example.test,192.0.2.30",
                       "--mx-host=example.test,mx1.example.test,10",
                       "--mx-host=example.test,mx2.example.test,20",
                       "--cname=alias2.example.test,host.example.test",
                       "--cname=alias.example.test,alias2.example.test",
                       "--ptr-record=50.2.0.192.in-addr.arpa,example.org"], port, workdir)


def start_unbound(workdir):
    assert UNBOUND, "unbound is missing: run scripts/deps.sh"
    port = free_port()
    records = [
        "host.example.test. 3600 IN A 192.0.2.10", "host.example.test. 3600 IN A 192.0.2.11",
        "mx1.example.test. 3600 IN A 192.0.2.21", "mx2.example.test. 3600 IN A 192.0.2.22",
        "nomx.example.test. 3600 IN A 192.0.2.30",
        "example.test. 3600 IN MX 20 mx2.example.test.",
        "example.test. 3600 IN MX 10 mx1.example.test.",
        "alias.example.test. 3600 IN CNAME alias2.example.test.",
        "alias2.example.test. 3600 IN CNAME host.example.test.",
    ]
    conf = os.path.join(workdir, "unbound.conf")
    with open(conf, "w") as f:
        f.write("server:\n  interface: 127.0.0.1\n  port: %d\n  do-ip6: no\n"
                "  do-daemonize: no\n  use-syslog: no\n  logfile: \"\"\n  chroot: \"\"\n"
                "  username: \"\"\n  directory: \"%s\"\n  pidfile: \"%s/unbound.pid\"\n"
                "  num-threads: 1\n  access-control: 127.0.0.0/8 allow\n"
                "  module-config: \"iterator\"\n"
                # Static zones answer everything asked here, so nothing goes out.
                "  local-zone: \"example.test.\" static\n"
                "  local-zone: \"2.0.192.in-addr.arpa.\" static\n" % (port, workdir, workdir))
        for r in records:
            f.write("  local-data: \"%s\"\n" % r)
        f.write("  local-data-ptr: \"192.0.2.10 host.example.test\"\n")
        f.write("remote-control:\n  control-enable: no\n")
    return NameServer([UNBOUND, "-d", "-c", conf], port, workdir)


class Servers:
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory(prefix="ostrel-dns-")
        self.server = self.start(self.dir.name)
        self.registry = os.path.join(self.dir.name, "registry")
        with open(self.registry, "w") as f:
            # An IPv6 server first: skipped, not fatal.
            f.write(TCPIP + "NameServer=::1 127.0.0.1:%d\nSearchList=example.test\n" % self.server.port)

    def tearDown(self):
        self.server.close()
        self.dir.cleanup()

    def probe(self, lines):
        env = dict(os.environ, OSTREL_REGISTRY=self.registry, OSTREL_NOSYSLOG="1",
                   OSTREL_EVENTLOG=os.path.join(self.dir.name, "events.log"))
        out = subprocess.run([PROBE, "1000", "3000"], input="\n".join(lines) + "\n", env=env,
                             capture_output=True, text=True, timeout=120)
        self.assertEqual(out.returncode, 0, out.stderr)
        return out.stdout.splitlines()

    def test_lookups(self):
        got = self.probe([line for line, _ in LOOKUPS])
        self.assertEqual([sorted_addresses(g) for g in got], [want for _, want in LOOKUPS])

    def test_silence_is_a_temporary_failure(self):
        with open(self.registry, "w") as f:
            f.write(TCPIP + "NameServer=127.0.0.1:%d\n" % free_port())
        self.assertEqual(self.probe(["MX example.test"]), ["TEMPFAIL"])


class Dnsmasq(Servers, unittest.TestCase):
    start = staticmethod(start_dnsmasq)

    def test_the_program_resolves_a_domain_literal(self):
        """ostrel's start-up installs the resolver: a recipient at a domain literal
        whose PTR names the local domain is local mail."""
        d = self.dir.name
        # Delivery is held: the message stays queued for the envelope to be read, and
        # nothing goes out to the literal's test address.
        env = dict(os.environ, OSTREL_REGISTRY=self.registry, OSTREL_RUNDIR=os.path.join(d, "run"),
                   OSTREL_EVENTLOG=os.path.join(d, "early-events.log"), OSTREL_NOSYSLOG="1",
                   OSTREL_HOLD_DELIVERY="1")
        env.pop("OSTREL_SERVICE", None)
        port = free_port(socket.SOCK_STREAM)
        inst = os.path.join(d, "inst")
        out = subprocess.run([BINARY, "-setup", inst, str(port), str(free_port(socket.SOCK_STREAM)),
                              str(free_port(socket.SOCK_STREAM))], env=env, capture_output=True,
                             text=True, timeout=60, stdin=subprocess.DEVNULL)
        self.assertEqual(out.returncode, 0, out.stdout)
        shared = os.path.join(inst, "shared-config")
        with open(shared, "rb") as f:
            lines = f.read().split(b"\r\n")
        lines = [re.sub(rb",Domain=[^,]*", b",Domain=example.org", l) if l.startswith(b"DS,") else l
                 for l in lines]
        with open(shared, "wb") as f:
            f.write(b"\r\n".join(lines))
        proc = subprocess.Popen([BINARY, "-debug", "x"], env=env, stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            def up():
                try:
                    with socket.create_connection(("127.0.0.1", port), timeout=1):
                        return True
                except OSError:
                    return False
            self.assertTrue(wait_for(up, 30))
            with smtplib.SMTP("127.0.0.1", port, timeout=30) as s:
                s.ehlo("client.example.net")
                s.mail("ann@example.net")
                self.assertEqual(s.rcpt("jo@[192.0.2.50]")[0], 250)
                self.assertEqual(s.rcpt("bo@[192.0.2.51]")[0], 250)
                self.assertEqual(s.data(b"Subject: literal\r\n\r\nhello\r\n")[0], 250)
        finally:
            proc.send_signal(signal.SIGINT)
            proc.wait(timeout=60)
        maildir = os.path.join(inst, "mail")
        envelopes = b"".join(open(os.path.join(maildir, n), "rb").read()
                             for n in os.listdir(maildir) if n.endswith(".env"))
        events = os.path.join(inst, "log", "events.log")
        self.assertIn(b"jo@example.org", envelopes,
                      open(events).read() if os.path.exists(events) else "no events")
        self.assertIn(b"bo@[192.0.2.51]", envelopes)


class Unbound(Servers, unittest.TestCase):
    start = staticmethod(start_unbound)


if __name__ == "__main__":
    unittest.main()
