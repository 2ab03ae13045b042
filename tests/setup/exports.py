"""The installer library exports exactly its six functions, and carries the DNS
resolver inside it."""
import os
import subprocess
import unittest

LIBRARY = os.environ["OSTREL_SVCSETUP"]
SIX = ["InstallService", "PortTaken", "StopService", "UninstInitialize", "UninstUnInitialize",
       "UninstallService"]


def symbols(*options):
    out = subprocess.run(["nm", *options, LIBRARY], capture_output=True, text=True, check=True)
    return [line.split()[-1] for line in out.stdout.splitlines() if len(line.split()) >= 3]


class Exports(unittest.TestCase):
    def test_exactly_six_functions_are_exported(self):
        self.assertEqual(sorted(symbols("-D", "--defined-only")), SIX)

    def test_the_resolver_is_carried(self):
        out = subprocess.run(["nm", "-C", "--defined-only", LIBRARY], capture_output=True,
                             text=True, check=True).stdout
        self.assertIn("CTernDnsResolver::StartDns(int)", out)


if __name__ == "__main__":
    unittest.main()
