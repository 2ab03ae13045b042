"""Helpers of the system tests that drive the real ostrel program: loopback ports,
bounded waits, and a fresh installation in a private directory (its own registry
file, run directory and event-log file, so nothing outside it is touched) with the
program run in the foreground."""
import os
import random
import signal
import socket
import subprocess
import tempfile
import time

BINARY = os.environ.get("OSTREL_BINARY", "build/service/ostrel")


def free_port(address="127.0.0.1", kind=socket.SOCK_STREAM):
    """A port free on the address (and, for TCP, on every address, as the servers
    bind them all), drawn below the kernel's ephemeral range: a port the kernel
    hands out itself can be taken meanwhile as the source port of some client's
    connection, for example by another test running in parallel."""
    rng = random.SystemRandom()
    for _ in range(500):
        port = rng.randrange(20000, 32000)
        try:
            with socket.socket(socket.AF_INET, kind) as s:
                s.bind((address, port))
            if kind == socket.SOCK_STREAM:
                with socket.socket(socket.AF_INET, kind) as s:
                    s.bind(("0.0.0.0", port))
            return port
        except OSError:
            continue
    raise RuntimeError("no free port between 20000 and 32000")


def can_connect(port):
    """Whether something listens on the loopback port."""
    try:
        socket.create_connection(("127.0.0.1", port), timeout=1).close()
        return True
    except OSError:
        return False


def wait_for(predicate, timeout=20.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.05)
    return predicate()


def stop_process(proc, sig=signal.SIGINT, timeout=60):
    """Signals proc (unless sig is None) and waits for it, killing it when it does
    not end in time."""
    if sig is not None:
        proc.send_signal(sig)
    try:
        proc.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


class Installation:
    """An installation laid out by ostrel -setup on free ports (smtp_port,
    pop_port, http_port; with tls also smtps_port, pops_port, https_port) under a
    temporary directory; setup_output is what -setup printed."""

    def __init__(self, prefix, tls=False):
        self.dir = tempfile.TemporaryDirectory(prefix=prefix)
        d = self.dir.name
        self.env = dict(os.environ)
        self.env.update(OSTREL_REGISTRY=os.path.join(d, "registry"),
                        OSTREL_RUNDIR=os.path.join(d, "run"),
                        OSTREL_EVENTLOG=os.path.join(d, "early-events.log"),
                        OSTREL_NOSYSLOG="1")
        self.env.pop("OSTREL_SERVICE", None)
        self.root = os.path.join(d, "inst")
        self.smtp_port, self.pop_port, self.http_port = free_port(), free_port(), free_port()
        ports = [self.smtp_port, self.pop_port, self.http_port]
        if tls:
            # The encrypted listeners too (SMTPS, POP3S, HTTPS), on ports of their own.
            self.smtps_port, self.pops_port, self.https_port = free_port(), free_port(), free_port()
            ports += [self.smtps_port, self.pops_port, self.https_port]
        out = subprocess.run([BINARY, "-setup", self.root, *map(str, ports)], env=self.env,
                             capture_output=True, text=True, timeout=60, stdin=subprocess.DEVNULL)
        assert out.returncode == 0, out.stdout
        self.setup_output = out.stdout
        self.proc = None

    def path(self, *names):
        return os.path.join(self.root, *names)

    def edit_system_line(self, edit):
        """Replaces the System line (DS,...) of the shared configuration by edit(line)."""
        shared = self.path("shared-config")
        with open(shared, "rb") as f:
            lines = f.read().split(b"\r\n")
        with open(shared, "wb") as f:
            f.write(b"\r\n".join(edit(l) if l.startswith(b"DS,") else l for l in lines))

    def start(self, ready, *arguments):
        """Runs ostrel -debug and waits until ready() holds. Its console output goes
        to console.txt: a pipe nobody reads would stall it."""
        self.console = open(os.path.join(self.dir.name, "console.txt"), "wb")
        self.proc = subprocess.Popen([BINARY, "-debug", *arguments], env=self.env,
                                     stdin=subprocess.DEVNULL, stdout=self.console,
                                     stderr=subprocess.STDOUT)
        if not wait_for(ready):
            self.proc.kill()
            self.proc.wait()
            raise RuntimeError("the program did not come up")

    def close(self):
        if self.proc:
            stop_process(self.proc)
            self.console.close()
        self.dir.cleanup()
