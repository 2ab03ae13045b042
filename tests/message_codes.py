"""The named message codes (base/message_codes.h) and the message table
(base/messages_table.cpp) agree: every text has exactly one name, every name stands
for a text, and no two names share a code. A text added without a name, a name left
behind when a text goes, or a name copied with the wrong number fails here."""
import collections
import os
import re
import sys
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
NAME = re.compile(r"^inline constexpr int (kMsg\w+) = (\d+);", re.M)
ENTRY = re.compile(r"^\s*/\*\s*(\d+) \*/ (nullptr|\".*\"),$", re.M)


def read(relative):
    with open(os.path.join(ROOT, relative), encoding="utf-8") as f:
        return f.read()


def names():
    return [(name, int(code)) for name, code in NAME.findall(read("base/message_codes.h"))]


def texts():
    """Codes of the English block that have a text."""
    entries = [(int(code), text) for code, text in ENTRY.findall(read("base/messages_table.cpp"))]
    assert [code for code, _ in entries] == list(range(len(entries))), "table out of order"
    return {code for code, text in entries if text != "nullptr"}, len(entries)


def disagreements():
    found = []
    named = names()
    with_text, size = texts()
    by_code = collections.defaultdict(list)
    for name, code in named:
        by_code[code].append(name)
    for name, count in collections.Counter(n for n, _ in named).items():
        if count > 1:
            found.append(f"{name} is defined {count} times")
    for code, which in sorted(by_code.items()):
        if len(which) > 1:
            found.append(f"code {code} has several names: {', '.join(which)}")
        if code not in with_text:
            found.append(f"{', '.join(which)} = {code} has no text (table size {size})")
    for code in sorted(with_text - set(by_code)):
        found.append(f"code {code} has a text but no name")
    return found


class MessageCodes(unittest.TestCase):
    def test_header_and_table_agree(self):
        self.assertEqual(disagreements(), [])

    def test_the_patterns_see_the_files(self):
        # A pattern that stopped matching would make the check above pass on nothing.
        named = names()
        with_text, size = texts()
        count = re.search(r"kMessageCount = (\d+);", read("base/messages.h"))
        self.assertEqual(size, int(count.group(1)))
        self.assertGreater(len(with_text), 400)
        self.assertEqual(len(named), len(with_text))


if __name__ == "__main__":
    sys.exit(unittest.main())
