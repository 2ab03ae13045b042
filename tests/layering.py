"""The folders are layers and includes point down: a source file includes headers of
its own folder and of folders below it, never of one above. In particular nothing
outside service/ (the program itself) includes a header from service/."""
import os
import re
import sys
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# Rank of each folder; a file may include from folders of lower or equal rank.
RANKS = {
    "platform": 0, "base": 1, "log": 2,
    "net": 3, "dns": 3, "config": 3, "message": 3, "store": 3,
    "transport": 4, "pop3": 4, "web": 4,
    "setup": 5, "service": 6,
}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([a-z0-9_]+)/', re.M)


def violations():
    found = []
    for folder, rank in RANKS.items():
        top = os.path.join(ROOT, folder)
        for dirpath, _, files in os.walk(top):
            for name in files:
                if not name.endswith((".h", ".cpp")):
                    continue
                path = os.path.join(dirpath, name)
                with open(path, encoding="utf-8", errors="replace") as f:
                    text = f.read()
                for target in INCLUDE.findall(text):
                    if target not in RANKS:
                        continue
                    if RANKS[target] > rank or (target == "service" and folder != "service"):
                        found.append(f"{os.path.relpath(path, ROOT)} includes {target}/")
                    elif RANKS[target] == rank and target != folder and rank < 3:
                        found.append(f"{os.path.relpath(path, ROOT)} includes {target}/")
    # Tests of one folder do not reach into the program either.
    tests = os.path.join(ROOT, "tests")
    for dirpath, _, files in os.walk(tests):
        if os.path.relpath(dirpath, tests).split(os.sep)[0] == "service":
            continue
        for name in files:
            if name.endswith((".h", ".cpp")):
                path = os.path.join(dirpath, name)
                with open(path, encoding="utf-8", errors="replace") as f:
                    if '#include "service/' in f.read():
                        found.append(f"{os.path.relpath(path, ROOT)} includes service/")
    return found


class Layering(unittest.TestCase):
    def test_includes_point_down(self):
        self.assertEqual(violations(), [])

    def test_the_check_sees_an_upward_include(self):
        # The pattern must match the include lines the tree actually uses.
        self.assertEqual(INCLUDE.findall('#include "service/host.h"\n'), ["service"])


if __name__ == "__main__":
    sys.exit(unittest.main())
