"""The shipped page templates, read as the engine reads them: valid names, tags
on one line, balanced If/Else/Fi at most five deep, no request data shown
unescaped, nothing inline that the pages' Content-Security-Policy would block,
and every image, document and page they or the page frame name present in the
repository."""
import glob
import os
import re
import unittest

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
DATA = os.path.join(ROOT, "data")
TEMPLATES = sorted(glob.glob(os.path.join(DATA, "html", "*", "*.mhtml")))
NAME = re.compile(r"^[A-Za-z0-9_-]+\.mhtml$")
TAG = re.compile(r"<X-([^>]*)>")
# Variables that only ever hold HTML the server built: the error page's table of
# failed names, and the administration reports.
SERVER_HTML = {"errordetail", "report"}


def tags(text):
    for number, line in enumerate(text.split("\n"), 1):
        for match in TAG.finditer(line):
            words = match.group(1).split()
            yield number, words[0] if words else "", words[1:]


def shipped_files(folder):
    return {os.path.basename(p) for p in glob.glob(os.path.join(DATA, folder, "*"))}


class ShippedPages(unittest.TestCase):
    def test_templates_exist_for_the_pages_the_code_names(self):
        names = {os.path.basename(p) for p in TEMPLATES}
        for page in ("admin_login.mhtml", "user_login_l.mhtml", "admin_error.mhtml",
                     "admin_success.mhtml", "admin_a.mhtml", "mailboxes_u_l.mhtml",
                     "list_mod2_a.mhtml", "portchange_success.mhtml", "access_rep1_a.mhtml",
                     "sched1a_a_l.mhtml", "sched1b_a_l.mhtml", "sched2_a_l.mhtml", "sched3_a_l.mhtml",
                     "sched4_a_l.mhtml", "sched5_a_l.mhtml"):
            self.assertIn(page, names)

    def test_tags_conditions_and_escaping(self):
        for path in TEMPLATES:
            with open(path, encoding="utf-8") as f:
                text = f.read()
            where = os.path.relpath(path, ROOT)
            self.assertRegex(os.path.basename(path), NAME)
            self.assertNotIn("<X-", TAG.sub("", text), where + ": a tag that does not end on its line")
            depth = 0
            for number, name, params in tags(text):
                if name == "If":
                    depth += 1
                    self.assertLessEqual(depth, 5, "%s:%d" % (where, number))
                elif name in ("Else", "Fi"):
                    self.assertGreater(depth, 0, "%s:%d: %s outside If" % (where, number, name))
                    depth -= name == "Fi"
                if "noescape" in params:
                    shown = [p for p in params if p not in ("noescape", "usequotes")]
                    self.assertTrue(set(shown) <= SERVER_HTML,
                                    "%s:%d shows request data unescaped: %s" % (where, number, shown))
            self.assertEqual(depth, 0, where + ": If without Fi")

    def test_nothing_inline_and_every_reference_present(self):
        sources = TEMPLATES + glob.glob(os.path.join(DATA, "docs", "*.html")) + \
            glob.glob(os.path.join(ROOT, "web", "web_*.cpp")) + glob.glob(os.path.join(ROOT, "web", "admin*.cpp"))
        images = {os.path.splitext(n)[0] + ".gif" for n in shipped_files("images-source")}
        images |= {"english/" + os.path.splitext(n)[0] + ".gif" for n in shipped_files("images-source/english")}
        docs = shipped_files("docs")
        pages = {os.path.basename(p) for p in TEMPLATES}
        for path in sources:
            with open(path, encoding="utf-8") as f:
                text = f.read()
            where = os.path.relpath(path, ROOT)
            if path.endswith((".mhtml", ".html")):
                for inline in ("<script", "<style", " style=", " onclick=", "javascript:"):
                    self.assertNotIn(inline, text.lower(), where)
            for image in re.findall(r"/images/((?:english/)?[A-Za-z0-9_-]+\.gif)", text):
                self.assertIn(image, images, where)
            for doc in re.findall(r"/docs/([A-Za-z0-9_.-]+)", text):
                self.assertIn(doc, docs, where)
            for page in re.findall(r"what=([A-Za-z0-9_-]+\.mhtml)", text):
                self.assertIn(page, pages, where)


if __name__ == "__main__":
    unittest.main()
