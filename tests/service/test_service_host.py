"""System tests of the ostrel program's command line, service control and foreground mode.

Each test works in a private directory: its own registry file (OSTREL_REGISTRY), run
directory (OSTREL_RUNDIR) and event-log file (OSTREL_EVENTLOG), so nothing outside
it is touched.
"""
import os
import signal
import socket
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from ostrel_system import BINARY, wait_for  # noqa: E402
from ostrel_system import free_port as system_free_port  # noqa: E402


def free_port():
    return str(system_free_port())


def alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    # A zombie is not alive for our purposes.
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().split(")")[-1].split()[0] != "Z"
    except OSError:
        return False


class HostTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory(prefix="ostrel-host-")
        d = self.dir.name
        self.env = dict(os.environ)
        self.env.update(
            OSTREL_REGISTRY=os.path.join(d, "registry"),
            OSTREL_RUNDIR=os.path.join(d, "run"),
            OSTREL_EVENTLOG=os.path.join(d, "early-events.log"),
            OSTREL_NOSYSLOG="1",
        )
        self.env.pop("OSTREL_SERVICE", None)
        out = self.ostrel("-setup", os.path.join(d, "inst"), free_port(), free_port(), free_port())
        self.assertEqual(out.returncode, 0, out.stdout)

    def tearDown(self):
        # Never leave a daemon behind, whatever the test did.
        pidfile = os.path.join(self.env["OSTREL_RUNDIR"], "Ostrel.pid")
        try:
            pid = int(open(pidfile).read())
            if alive(pid):
                os.kill(pid, signal.SIGKILL)
        except (OSError, ValueError):
            pass
        self.dir.cleanup()

    def ostrel(self, *args, timeout=60):
        return subprocess.run([BINARY, *args], env=self.env, capture_output=True, text=True,
                              timeout=timeout, stdin=subprocess.DEVNULL)

    def status(self):
        path = os.path.join(self.env["OSTREL_RUNDIR"], "Ostrel.status")
        try:
            lines = open(path).read().split()
        except OSError:
            return {}
        return {k: int(v) for k, v in (l.split("=", 1) for l in lines)}

    def events(self, path):
        try:
            return [l.rstrip("\n").split("\t") for l in open(path)]
        except OSError:
            return []

    def test_usage_and_failed_handover(self):
        for args in (["install", "x"], [], ["-bogus", "x"], ["nothing"]):
            out = self.ostrel(*args)
            self.assertEqual(out.returncode, 0)
            self.assertEqual(out.stdout,
                             "ostrel -install      to install the service\n"
                             "ostrel -remove       to remove the service\n"
                             "ostrel -debug        to run as a console application\n")
        events = self.events(self.env["OSTREL_EVENTLOG"])
        self.assertTrue(events)
        self.assertIn("StartServiceCtrlDispatcher failed (1063).", events[-1][4])
        self.assertIn("Ostrel error: 1063", events[-1][4])

    def test_install_run_and_remove(self):
        out = self.ostrel("/INSTALL", "now")
        self.assertEqual(out.stdout, "Ostrel installed.\n")
        self.assertTrue(wait_for(lambda: self.status().get("state") == 4), self.status())
        status = self.status()
        pid = status["pid"]
        self.assertTrue(alive(pid))
        self.assertEqual(status["checkpoint"], 0)
        self.assertEqual(status["controls"], 1)
        registry = open(self.env["OSTREL_REGISTRY"]).read()
        self.assertIn("[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Ostrel]", registry)
        self.assertIn("ImagePath=" + os.path.realpath(BINARY), registry)

        again = self.ostrel("-Install", "x")
        self.assertEqual(again.stdout,
                         "CreateService failed - The specified service already exists. (0x431)\n")

        out = self.ostrel("-remove", "x")
        self.assertTrue(out.stdout.startswith("Stopping Ostrel."), out.stdout)
        self.assertTrue(out.stdout.endswith("\nOstrel stopped.\nOstrel removed.\n"), out.stdout)
        self.assertTrue(wait_for(lambda: not alive(pid)))
        self.assertNotIn("Services\\Ostrel]", open(self.env["OSTREL_REGISTRY"]).read())
        # The service's own events went to its log directory; it had nothing to report.
        inst_events = os.path.join(self.dir.name, "inst", "log", "events.log")
        self.assertEqual(self.events(inst_events), [])

    def test_remove_when_not_running(self):
        self.assertEqual(self.ostrel("-install", "x").stdout, "Ostrel installed.\n")
        self.assertTrue(wait_for(lambda: self.status().get("state") == 4))
        pid = self.status()["pid"]
        os.kill(pid, signal.SIGKILL)
        self.assertTrue(wait_for(lambda: not alive(pid)))
        out = self.ostrel("-remove", "x")
        self.assertEqual(out.stdout, "Ostrel removed.\n")
        out = self.ostrel("-remove", "x")
        self.assertEqual(out.stdout, "OpenService failed - The specified service does not exist "
                                     "as an installed service. (0x424)\n")

    def test_foreground_stops_on_signals(self):
        for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGQUIT):
            proc = subprocess.Popen([BINARY, "-DEBUG", "x"], env=self.env, stdout=subprocess.PIPE,
                                    stdin=subprocess.DEVNULL, text=True)
            first = proc.stdout.readline()
            self.assertEqual(first, "Debugging Ostrel.\n")
            proc.send_signal(sig)
            rest, _ = proc.communicate(timeout=30)
            self.assertEqual(rest, "Stopping Ostrel.\n")
            self.assertEqual(proc.returncode, 0)

    def run_foreground(self, until, timeout=10.0):
        """Runs -debug until the predicate holds (or the time-out), then stops it with
        SIGTERM; returns (held, output after the first line, exit status)."""
        proc = subprocess.Popen([BINARY, "-debug", "x"], env=self.env, stdout=subprocess.PIPE,
                                stdin=subprocess.DEVNULL, text=True)
        try:
            self.assertEqual(proc.stdout.readline(), "Debugging Ostrel.\n")
            held = wait_for(until, timeout)
            self.assertIsNone(proc.poll(), "the process ended by itself")
            proc.send_signal(signal.SIGTERM)
            rest, _ = proc.communicate(timeout=30)
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.wait()
        return held, rest, proc.returncode

    def test_fresh_installation_starts_without_events(self):
        inst = os.path.join(self.dir.name, "inst")
        shared = open(os.path.join(inst, "shared-config"), newline="").read()
        self.assertRegex(shared, r"^# 2 \d+\r\n")
        self.assertRegex(shared, r"\r\nDS,[^\r]*Domain=[a-z0-9.-]+")
        self.assertIn("\r\nDUAdministrator,", shared)
        self.assertIn("OstrelPerms=ADMGSR:CDGLSU", shared)
        local = open(os.path.join(inst, "local", "local-config"), newline="").read()
        self.assertRegex(local, r"^# 2 \d+\r\n$")
        events = os.path.join(inst, "log", "events.log")
        # Nothing observable marks the end of a good start-up: give it a moment.
        held, rest, code = self.run_foreground(lambda: self.events(events), timeout=1.5)
        self.assertFalse(held, self.events(events))
        self.assertEqual((rest, code), ("Stopping Ostrel.\n", 0))
        self.assertEqual(self.events(events), [])
        self.assertEqual(open(os.path.join(inst, "shared-config"), newline="").read(), shared)

    def test_corrupt_configuration_is_reported_and_kept(self):
        inst = os.path.join(self.dir.name, "inst")
        path = os.path.join(inst, "shared-config")
        with open(path, "a", newline="") as f:
            f.write("\r\nDUbroken,\r\n")
        mangled = open(path, newline="").read()
        events = os.path.join(inst, "log", "events.log")
        held, rest, code = self.run_foreground(lambda: self.events(events))
        self.assertTrue(held)
        # The failed load ends the start-up; the process stays up until stopped.
        self.assertEqual((rest, code), ("Stopping Ostrel.\n", 0))
        logged = self.events(events)
        self.assertEqual([e[3] for e in logged], ["24"], logged)
        self.assertIn(path + " corrupt at line 5.", logged[0][4])
        self.assertEqual(open(path, newline="").read(), mangled)

    def test_setup_never_overwrites(self):
        registry = open(self.env["OSTREL_REGISTRY"]).read()
        other = os.path.join(self.dir.name, "other")
        out = self.ostrel("-setup", other)
        self.assertEqual(out.returncode, 0)
        self.assertIn("kept", out.stdout)
        self.assertEqual(open(self.env["OSTREL_REGISTRY"]).read(), registry)
        self.assertFalse(os.path.exists(os.path.join(other, "mail")))
        for d in ("mail", "boxes", "local", "log"):
            self.assertTrue(os.path.isdir(os.path.join(self.dir.name, "inst", d)))
        # The configuration files are kept too.
        shared = os.path.join(self.dir.name, "inst", "shared-config")
        with open(shared, "w", newline="") as f:
            f.write("# 2 0\r\nDS,Domain=kept.example\r\n")
        out = self.ostrel("-setup", other)
        self.assertEqual(out.returncode, 0, out.stdout)
        self.assertIn("configuration " + shared + " kept", out.stdout)
        self.assertEqual(open(shared, newline="").read(), "# 2 0\r\nDS,Domain=kept.example\r\n")
        bad = self.ostrel("-setup", other, "25", "x", "80")
        self.assertNotEqual(bad.returncode, 0)

    def test_passwd_sets_a_private_hash(self):
        accounts = os.path.join(self.dir.name, "inst", "local", "accounts")
        self.assertEqual(os.stat(accounts).st_mode & 0o777, 0o600)
        self.assertEqual(open(accounts).read(), "")

        def passwd(account, text):
            return subprocess.run([BINARY, "-passwd", account], env=self.env, capture_output=True,
                                  text=True, timeout=60, input=text)

        out = passwd("Administrator", "first secret\nignored second line\n")
        self.assertEqual(out.returncode, 0, out.stdout)
        self.assertIn("Password of Administrator set in " + accounts, out.stdout)
        out = passwd("jo", "jo's\n")
        self.assertEqual(out.returncode, 0, out.stdout)
        lines = open(accounts).read().splitlines()
        self.assertEqual([l.split(":")[0] for l in lines], ["Administrator", "jo"])
        self.assertTrue(all(l.split(":", 1)[1].startswith("$") for l in lines))
        self.assertNotIn("secret", open(accounts).read())
        self.assertEqual(os.stat(accounts).st_mode & 0o777, 0o600)
        # Refusals change nothing.
        before = open(accounts).read()
        for account, text in (("bad:name", "x\n"), ("jo", ""), ("jo", "\n")):
            out = passwd(account, text)
            self.assertNotEqual(out.returncode, 0, (account, text))
            self.assertIn("Nothing was changed.", out.stdout)
        self.assertEqual(open(accounts).read(), before)


if __name__ == "__main__":
    unittest.main()
