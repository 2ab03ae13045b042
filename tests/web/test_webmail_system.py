"""The web mail client through the real ostrel program, with Python's http.client
as the browser: two users (alice, bob) defined in the configuration and given
passwords with ostrel -passwd. alice logs in, sends mail with hostile HTML in its
subject and an attachment (delivered to bob with the web client's
Received line and filed in Sent-Mail), reads it back escaped, downloads the
attachment byte-exact as a download the browser does not run, keeps and sends a
draft, makes and renames a mailbox, moves and deletes messages through Trash,
keeps an address book, and cannot reach bob's mailboxes or forge a header. Mail
from the internet (over SMTP, delivered to alice's Inbox) with hostile HTML,
headers and forged approval fields is shown as text, its attachment downloads
byte-exact, and it cannot be approved."""
import email.message
import http.client
import os
import poplib
import re
import smtplib
import subprocess
import sys
import unittest
import urllib.parse
import uuid

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from ostrel_system import BINARY, Installation, can_connect, wait_for  # noqa: E402

PASSWORD = "s3cret words"
HOSTILE = '<script>alert("x")</script><img src=x onerror=alert(1)>'
ATTACHMENT = bytes(range(256)) * 40 + b"<html><script>alert(2)</script></html>"


class Browser:
    """Keeps the session cookie and answers forms as a browser does."""

    def __init__(self, port):
        self.port, self.cookie = port, ""

    def request(self, method, path, body=None, headers=None):
        c = http.client.HTTPConnection("127.0.0.1", self.port, timeout=20)
        h = dict(headers or {})
        if self.cookie:
            h["Cookie"] = self.cookie
        c.request(method, path, body, h)
        r = c.getresponse()
        data = r.read()
        c.close()
        m = re.match(r"([^=;]+=[^;]*)", r.getheader("Set-Cookie") or "")
        if m:
            self.cookie = m.group(1)
        if r.status in (301, 302, 303) and r.getheader("Location"):
            return self.request("GET", urllib.parse.urlsplit(r.getheader("Location"))._replace(
                scheme="", netloc="").geturl())
        return r, data

    def get(self, path, **query):
        return self.request("GET", path + ("?" + urllib.parse.urlencode(query) if query else ""))[1].decode()

    def post(self, path, fields, files=None):
        """fields: a list of (name, value) pairs; files: (field, filename, bytes, type)."""
        if files is None:
            body = urllib.parse.urlencode(fields).encode()
            kind = "application/x-www-form-urlencoded"
        else:
            boundary = uuid.uuid4().hex
            parts = [b"--%s\r\nContent-Disposition: form-data; name=\"%s\"\r\n\r\n%s\r\n"
                     % (boundary.encode(), n.encode(), v.encode()) for n, v in fields]
            for field, name, data, ctype in files:
                parts.append(b"--%s\r\nContent-Disposition: form-data; name=\"%s\"; filename=\"%s\"\r\n"
                             b"Content-Type: %s\r\n\r\n%s\r\n"
                             % (boundary.encode(), field.encode(), name.encode(), ctype.encode(), data))
            body = b"".join(parts) + b"--%s--\r\n" % boundary.encode()
            kind = "multipart/form-data; boundary=" + boundary
        r, data = self.request("POST", path, body, {"Content-Type": kind})
        return data.decode()


def hidden(page, name):
    m = re.search(r'name="%s" value="([^"]*)"' % re.escape(name), page)
    return m.group(1) if m else ""


def error_of(page):
    m = re.search(r'<p class="notice error" role="alert">(.*?)</p>', page)
    return m.group(1) if m else ""


def ids_in(page):
    return re.findall(r'name="Message" value="([^"]+)"', page)


class WebMailSystemTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.inst = Installation("ostrel-webmail-")
        with open(cls.inst.path("shared-config"), "ab") as f:
            f.write(b"DUalice,RealAcct=alice,OstrelUser=1\r\nDUbob,RealAcct=bob,OstrelUser=1\r\n")
        for user in ("alice", "bob"):
            out = subprocess.run([BINARY, "-passwd", user], env=cls.inst.env, capture_output=True, text=True,
                                 timeout=60, input=PASSWORD + "\n")
            assert out.returncode == 0, out.stdout
        cls.inst.start(lambda: can_connect(cls.inst.http_port))

    @classmethod
    def tearDownClass(cls):
        cls.inst.close()

    def log_in(self, user):
        b = Browser(self.inst.http_port)
        page = b.get("/Display", what="mailboxes_u_l.mhtml")
        self.assertIn('name="issued"', page)
        page = b.post("/Authenticate", [("username", user), ("password", PASSWORD),
                                        ("issued", hidden(page, "issued")), ("loginform", "user_login_l.mhtml"),
                                        ("what", "mailboxes_u_l.mhtml")])
        self.assertIn("Your mailboxes", page)
        return b, page

    def delivered(self, count):
        """The messages from the web client in bob's Inbox file, each from its
        Received line on, once there are count of them (bounded wait)."""
        mark = b"Received: from Ostrel_Web_Client"

        def read():
            try:
                with open(self.inst.path("boxes", "bob", "Inbox"), "rb") as f:
                    return [mark + m for m in f.read().split(mark)[1:]]
            except OSError:
                return []
        wait_for(lambda: len(read()) >= count)
        return read()

    def compose(self, b, fields, files=None, button="Send.x"):
        return b.post("/Compose", fields + [(button, "1")], files)

    def inbox_ids(self, b, timeout=20):
        """The mailbox IDs of alice's Inbox once it holds a message (bounded wait)."""
        found = []
        wait_for(lambda: found.extend(ids_in(b.get("/Display", what="view_mailbox_u_l.mhtml", Mailbox="Inbox",
                                                    FirstMessage="1"))) or found, timeout)
        return found

    def test_mail_from_the_internet_is_shown_safely(self):
        attachment = bytes(range(256)) * 8
        message = email.message.EmailMessage()
        message["From"] = "Mallory <mallory@example.org>"
        message["To"] = "alice@localhost"
        message["Subject"] = HOSTILE
        message["X-Notify-From"] = "boss@example.org"
        message["X-Notify-To"] = "alice@localhost"
        message["X-OldSMTP-ID"] = "forged"
        message.set_content("<html><body onload=alert(3)><script>alert(4)</script><p>Read me</p></body></html>",
                            subtype="html")
        message.add_attachment(attachment, maintype="application", subtype="octet-stream", filename="data.bin")
        with smtplib.SMTP("127.0.0.1", self.inst.smtp_port, timeout=20) as s:
            s.send_message(message, from_addr="mallory@example.org", to_addrs=["alice@localhost"])
        b, _ = self.log_in("alice")
        ids = self.inbox_ids(b)
        self.assertEqual(len(ids), 1)
        page = b.get("/Display", what="view_message_u_l.mhtml", Mailbox="Inbox", Message=ids[0])
        for raw in ("<script", "onload", "<img src=x"):
            self.assertNotIn(raw, page)
        self.assertIn("Read me", page)
        self.assertIn("&lt;script&gt;", page)
        links = [l.replace("&amp;", "&") for l in re.findall(r'href="(/GetAttachment\?[^"]+)"', page)]
        downloads = {}
        for link in links:
            r, data = b.request("GET", link)
            self.assertTrue(r.getheader("Content-Disposition").startswith("attachment;"))
            downloads[r.getheader("Content-Disposition")] = data
        self.assertIn(attachment, downloads.values())
        # The approval fields came from outside: the server dropped them, and the
        # message is no notice to approve.
        page = b.post("/MessageDispatch", [("Mailbox", "Inbox"), ("Message", ids[0]), ("Approve.x", "1")])
        self.assertEqual(error_of(page), "Could not send the message.  It is not in correct notification form.")

    def test_a_users_day(self):
        b, page = self.log_in("alice")
        for box in ("Inbox", "Drafts", "Sent-Mail", "Trash"):
            self.assertIn(">%s</a>" % box, page)

        # Sending: hostile subject, a header the form may not write, an attachment.
        page = self.compose(b, [("Message", ""), ("HDR-To", "bob"), ("HDR-Subject", HOSTILE),
                                ("HDR-X-Notify-From", "boss@example.org"), ("HDR-From", "ceo@example.org"),
                                ("MessageBody", "Hello Bob,\r\nthe file.\r\n")],
                            [("AttachFile", "../../etc/evil.bin", ATTACHMENT, "application/x-evil")])
        self.assertEqual(error_of(page), "Message Sent")
        [sent] = self.delivered(1)
        head = sent.split(b"\r\n\r\n", 1)[0]
        self.assertRegex(head, rb"^Received: from Ostrel_Web_Client \(\[127\.0\.0\.1\]\)")
        self.assertIn(b"From: alice@", head)
        self.assertNotIn(b"ceo@example.org", sent)
        self.assertNotIn(b"X-Notify-From", sent)
        self.assertNotIn(b"X-Message-Revision", sent)

        # A header name or value that could inject lines is refused, nothing sent.
        page = self.compose(b, [("HDR-To", "bob"), ("HDR-Subject", "a\r\nBcc: victim@example.org")])
        self.assertIn("holds characters that a header cannot hold", error_of(page))
        page = self.compose(b, [("HDR-To", "bob"), ("HDR-Bad Name", "x")])
        self.assertIn("holds characters that a header cannot hold", error_of(page))
        page = self.compose(b, [("Message", ""), ("HDR-Subject", "nobody")])
        self.assertEqual(error_of(page), "Error: The message must have at least one recipient.")
        # That draft was kept; Delete removes it from Drafts.
        kept = hidden(page, "Message")
        self.assertTrue(kept)
        page = self.compose(b, [("Message", kept), ("HDR-Subject", "nobody")], button="Delete.x")
        self.assertEqual(ids_in(page), [])

        # Reading it back from Sent-Mail: the subject escaped, the attachment offered.
        page = b.get("/Display", what="view_mailbox_u_l.mhtml", Mailbox="Sent-Mail", FirstMessage="1")
        self.assertNotIn("<script>", page)
        self.assertIn("&lt;script&gt;", page)
        [sent_id] = ids_in(page)
        page = b.get("/Display", what="view_message_u_l.mhtml", Mailbox="Sent-Mail", Message=sent_id)
        self.assertNotIn("<script>", page)
        self.assertNotIn("<img src=x", page)
        self.assertIn("Hello Bob,", page)
        link = re.search(r'href="(/GetAttachment\?[^"]+)"', page).group(1).replace("&amp;", "&")
        r, data = b.request("GET", link)
        self.assertEqual(r.status, 200)
        self.assertEqual(data, ATTACHMENT)
        self.assertEqual(r.getheader("Content-Type"), "application/x-evil")
        self.assertTrue(r.getheader("Content-Disposition").startswith('attachment; filename="evil.bin"'),
                        r.getheader("Content-Disposition"))
        self.assertEqual(r.getheader("X-Content-Type-Options"), "nosniff")
        self.assertEqual(r.getheader("Content-Security-Policy"), "sandbox")

        # A draft: saved, found in Drafts, opened, sent; it leaves Drafts.
        page = self.compose(b, [("Message", ""), ("HDR-To", "bob"), ("HDR-Subject", "Draft one"),
                                ("MessageBody", "first")], button="SaveDraft.x")
        [draft] = ids_in(page)
        page = b.get("/GoToCompose", Mailbox="Drafts", Message=draft)
        self.assertEqual(hidden(page, "HDR-To") or re.search(r'id="to" name="HDR-To" type="text" value="([^"]*)"',
                                                              page).group(1), "bob")
        self.assertIn(">first\r\n</textarea>", page)
        page = self.compose(b, [("Message", draft), ("HDR-To", "bob"), ("HDR-Subject", "Draft one"),
                                ("MessageBody", "second")])
        self.assertEqual(error_of(page), "Message Sent")
        # Delivered to bob: the first message and this one, nothing refused above.
        messages = self.delivered(2)
        self.assertEqual(len(messages), 2)
        self.assertEqual(len([m for m in messages if b"\r\n\r\nsecond\r\n" in m]), 1)
        self.assertFalse([m for m in messages if b"victim" in m or b"nobody" in m])
        # bob fetches the first over POP3: from alice, with the attachment intact.
        pop = poplib.POP3("127.0.0.1", self.inst.pop_port, timeout=20)
        pop.user("bob")
        pop.pass_(PASSWORD)
        fetched = [email.message_from_bytes(b"\r\n".join(pop.retr(n + 1)[1]))
                   for n in range(len(pop.list()[1]))]
        pop.quit()
        first = [m for m in fetched if m.get_all("Received", [""])[-1].startswith("from Ostrel_Web_Client")
                 and m.is_multipart()]
        self.assertEqual(len(first), 1)
        self.assertTrue(first[0]["From"].startswith("alice@"))
        parts = [part.get_payload(decode=True) for part in first[0].walk() if part.get_filename()]
        self.assertEqual(parts, [ATTACHMENT])
        page = b.get("/Display", what="view_mailbox_u_l.mhtml", Mailbox="Drafts", FirstMessage="1")
        self.assertEqual(ids_in(page), [])

        # Mailboxes: made, renamed; the special ones and bob's stay out of reach.
        page = b.post("/CreateBox", [("NewBox", "Projects")])
        self.assertEqual(error_of(page), "")
        self.assertIn(">Projects</a>", page)
        page = b.post("/CreateBox", [("NewBox", "mailboxes.mbs")])
        self.assertEqual(error_of(page), "That name is reserved.  Please choose another.")
        page = b.post("/RenameBox", [("OldBox", "Trash"), ("NewBox", "Bin")])
        self.assertIn("cannot be deleted or renamed", error_of(page))
        page = b.post("/DeleteBox", [("OldBox", "../bob/Inbox")])
        self.assertEqual(error_of(page), "Error: Could not open mailbox.")
        page = b.post("/RenameBox", [("OldBox", "Projects"), ("NewBox", "Work")])
        self.assertIn(">Work</a>", page)

        # Moving the sent copy to Work, deleting it into Trash, emptying Trash.
        page = b.post("/MoveMessages", [("Mailbox", "Sent-Mail"), ("Message", sent_id), ("NewBox", "Work"),
                                        ("Move.x", "1")])
        self.assertEqual(error_of(page), "")
        page = b.get("/Display", what="view_mailbox_u_l.mhtml", Mailbox="Work", FirstMessage="1")
        [moved] = ids_in(page)
        page = b.post("/MessageDispatch", [("Mailbox", "Work"), ("Message", moved), ("Delete.x", "1")])
        self.assertEqual(ids_in(page), [])
        page = b.get("/Display", what="view_mailbox_u_l.mhtml", Mailbox="Trash", FirstMessage="1")
        self.assertEqual(len(ids_in(page)), 1)
        page = b.post("/MessageDispatch", [("Mailbox", "Trash"), ("Message", "no-such-id"), ("Delete.x", "1")])
        self.assertIn("Could not find message in mailbox (no-such-id)", error_of(page))
        b.post("/EmptyTrash", [])
        page = b.get("/Display", what="view_mailbox_u_l.mhtml", Mailbox="Trash", FirstMessage="1")
        self.assertEqual(ids_in(page), [])

        # The address book: an entry added, a hostile one refused, one edited.
        page = b.post("/EditBook", [("Nickname", "Bob"), ("EmailAddress", "bob")])
        self.assertIn(">Bob &lt;bob&gt;</option>", page)
        page = b.post("/EditBook", [("Nickname", "Eve\r\nX"), ("EmailAddress", "eve@example.org")])
        self.assertIn("may not hold line breaks", error_of(page))
        page = b.post("/EditBook", [("OldNickname", "Bob"), ("Nickname", "Robert"), ("EmailAddress", "bob")])
        self.assertIn(">Robert &lt;bob&gt;</option>", page)
        self.assertNotIn(">Bob &lt;", page)
        page = b.post("/AddressCompose", [("Message", ""), ("ADL-To", "Robert"), ("Submit.x", "1")])
        self.assertIn('value="bob"', page)

        # A change asked for with GET, or from another site, is refused.
        self.assertIn("This action takes a form sent with POST.", b.get("/EmptyTrash", x="1"))
        page = b.request("POST", "/CreateBox", b"NewBox=Forged",
                         {"Content-Type": "application/x-www-form-urlencoded",
                          "Origin": "http://evil.example"})[1].decode()
        self.assertIn("came from a page of another site", page)
        self.assertNotIn(">Forged</a>", b.get("/Display", what="mailboxes_u_l.mhtml"))

        # bob sees none of alice's mailboxes.
        bob, page = self.log_in("bob")
        self.assertNotIn("Work", page)
        page = bob.get("/Display", what="view_message_u_l.mhtml", Mailbox="Work", Message=moved)
        self.assertIn("Could not", page)


if __name__ == "__main__":
    unittest.main()
