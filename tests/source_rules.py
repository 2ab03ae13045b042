"""Rules the source tree keeps from now on:
- only platform/ calls the operating system for files, directories and mutexes, or
  includes its headers for them (everything else goes through platform/ and base/);
- report and throw calls name their message code (base/message_codes.h) instead of
  passing a bare number."""
import os
import re
import sys
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
FOLDERS = ["base", "log", "net", "dns", "config", "message", "store", "transport", "pop3",
           "web", "service", "setup"]

RAW_CALL = re.compile(
    r"(?<![\w.>:])(?:std::|::)?(pthread_mutex_\w+|open|opendir|readdir|closedir|readlink|"
    r"unlink|rmdir|mkdir|lseek|ftruncate|fsync|fstat|stat|lstat|chmod|link|rename)\s*\(")
RAW_INCLUDE = re.compile(r"^\s*#\s*include\s*<(sys/\w+\.h|pthread\.h|dirent\.h|fcntl\.h|"
                         r"arpa/\w+\.h|netinet/\w+\.h|netdb\.h|syslog\.h)>", re.M)
BARE_CODE = re.compile(
    r"(TernReportEvent\w*|CTernException)\(\s*(TernEventType::\w+,\s*)?\d+\s*[,)]")
COMMENT = re.compile(r"//[^\n]*|/\*.*?\*/", re.S)


def sources():
    for folder in FOLDERS:
        for dirpath, _, files in os.walk(os.path.join(ROOT, folder)):
            if os.sep + "tools" in dirpath:
                continue  # build tools, not part of the program
            for name in files:
                if name.endswith((".h", ".cpp")):
                    path = os.path.join(dirpath, name)
                    with open(path, encoding="utf-8", errors="replace") as f:
                        yield os.path.relpath(path, ROOT), COMMENT.sub("", f.read())


def findings(pattern, what):
    found = []
    for path, text in sources():
        for match in pattern.finditer(text):
            line = text.count("\n", 0, match.start()) + 1
            found.append(f"{path}:{line}: {what} {match.group(0).strip()}")
    return found


class SourceRules(unittest.TestCase):
    def test_only_platform_calls_the_system_for_files_and_mutexes(self):
        self.assertEqual(findings(RAW_CALL, "calls"), [])
        self.assertEqual(findings(RAW_INCLUDE, "includes"), [])

    def test_message_codes_are_named(self):
        self.assertEqual(findings(BARE_CODE, "passes a bare code:"), [])

    def test_the_patterns_see_what_they_look_for(self):
        for text in ["int fd = ::open(path, O_RDONLY);", "DIR* d = opendir(p);",
                     "readlink(\"/proc/self/exe\", b, n);", "pthread_mutex_lock(&m);"]:
            self.assertTrue(RAW_CALL.search(text), text)
        for text in ["file.Open();", "m_File->open(x);", "std::ifstream in; in.open(x);",
                     "PlatformFileOpen(p, 0, fd);", "Reopen()"]:
            self.assertFalse(RAW_CALL.search(text), text)
        self.assertTrue(RAW_INCLUDE.search("#include <sys/stat.h>\n"))
        self.assertTrue(BARE_CODE.search("TernReportEventF(TernEventType::Error, 115, x);"))
        self.assertTrue(BARE_CODE.search("throw CTernException(21);"))
        self.assertFalse(BARE_CODE.search("TernReportEvent(TernEventType::Error, kMsgFreeFailed);"))


if __name__ == "__main__":
    sys.exit(unittest.main())
