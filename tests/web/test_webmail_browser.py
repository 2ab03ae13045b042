"""The web mail client in a real browser: headless Chromium driven by Selenium
against the real ostrel program, with the users alice and bob defined in the
configuration and given passwords with ostrel -passwd.

alice logs in, makes a mailbox, writes to bob with a hostile subject and an
uploaded attachment and sends it, opens the copy in Sent-Mail (no script runs,
the subject shows literally, the attachment is a download link), replies to it
("Re: " once, the text quoted) and keeps the reply as a draft, opens the draft
again and deletes it, adds an address-book entry and chooses it as a recipient,
moves the sent copy to her mailbox, deletes it into Trash and empties Trash; the
same pages at a phone's width. A screenshot of each page goes into
OSTREL_SCREENSHOTS.

Run with /usr/bin/python3, which imports Debian's python3-selenium.
"""
import os
import sys
import unittest

from selenium.common.exceptions import NoAlertPresentException
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import Select

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from ostrel_browser import BrowserInstallation, BrowserSteps  # noqa: E402

PASSWORD = "s3cret words"
HOSTILE = '<script>alert("x")</script>Plans'


class WebMailBrowserTest(BrowserSteps, unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.inst = BrowserInstallation("ostrel-webmail-browser-")
        with open(cls.inst.path("shared-config"), "ab") as f:
            f.write(b"DUalice,RealAcct=alice,OstrelUser=1\r\nDUbob,RealAcct=bob,OstrelUser=1\r\n")
        for user in ("alice", "bob"):
            cls.inst.set_password(user, PASSWORD)
        cls.base = cls.inst.start_serving()
        cls.start_browser()
        cls.upload = os.path.join(cls.inst.dir.name, "notes.txt")
        with open(cls.upload, "wb") as f:
            f.write(b"line one\r\n<b>not bold</b>\r\n")

    @classmethod
    def tearDownClass(cls):
        cls.close_browser()

    def shot(self, name):
        BrowserSteps.shot(self, "webmail-" + name)

    def find(self, css):
        return self.driver.find_element(By.CSS_SELECTOR, css)

    def click(self, css):
        """Clicks and waits until the next page has replaced this one."""
        self.leave_page(self.find(css).click)

    def error(self):
        found = self.driver.find_elements(By.CSS_SELECTOR, "p.notice.error")
        return found[0].text if found else ""

    def no_alert(self):
        try:
            self.driver.switch_to.alert
        except NoAlertPresentException:
            return True
        return False

    def open_box(self, name):
        self.driver.get(self.base + "/Display?what=view_mailbox_u_l.mhtml&FirstMessage=1&Mailbox=" + name)

    def test_alice_writes_reads_files_and_keeps_addresses(self):
        d = self.driver
        d.get(self.base + "/")
        self.log_in("alice", PASSWORD)
        self.assertEqual(self.find("h1").text, "Your mailboxes", self.error())
        self.find("#create-name").send_keys("Projects")
        self.click("form[action='/CreateBox'] button")
        self.assertIn("Projects", self.find("table.mailboxes").text)
        self.shot("01-mailboxes")

        # Writing with an uploaded attachment, then sending.
        d.get(self.base + "/Display?what=compose_u_l.mhtml")
        self.find("#to").send_keys("bob")
        self.find("#subject").send_keys(HOSTILE)
        self.find("#body").send_keys("Hello Bob,\nthe notes.\n")
        self.find("#attach").send_keys(self.upload)
        self.click("button[name='Attach.x']")
        self.assertIn("notes.txt", self.find("select[name='DeleteAttached']").text)
        self.shot("02-compose")
        self.click("button[name='Send.x']")
        self.assertEqual(self.error(), "Message Sent")

        # The copy in Sent-Mail: shown literally, nothing runs.
        self.open_box("Sent-Mail")
        self.assertIn(HOSTILE, self.find("table.messages").text)
        self.shot("03-sent-mail")
        self.click("table.messages tbody a")
        self.assertTrue(self.no_alert())
        self.assertIn(HOSTILE, self.find("table.headers").text)
        self.assertIn("Hello Bob,", self.find("pre.body").text)
        link = self.find("ul.attachments a")
        self.assertEqual(link.text, "notes.txt")
        self.assertIn("/GetAttachment?", link.get_attribute("href"))
        self.shot("04-message")

        # A reply kept as a draft, opened again and deleted.
        self.click("button[name='Reply.x']")
        self.assertEqual(self.find("#subject").get_attribute("value"), "Re: " + HOSTILE)
        self.assertIn("> Hello Bob,", self.find("#body").get_attribute("value"))
        self.click("button[name='SaveDraft.x']")
        self.shot("05-drafts")
        self.click("table.messages tbody a")
        self.assertEqual(self.find("#subject").get_attribute("value"), "Re: " + HOSTILE)
        self.click("button[name='Delete.x']")
        self.assertEqual(d.find_elements(By.CSS_SELECTOR, "table.messages tbody input"), [])

        # The address book: an entry, then chosen as a recipient.
        d.get(self.base + "/Display?what=addressbook_u_l.mhtml")
        self.click("button[name='Add.x']")
        self.find("#nickname").send_keys("Bobby")
        self.find("#email").send_keys("bob")
        self.click("form[action='/EditBook'] button")
        self.assertIn("Bobby <bob>", self.find("select[name='Address']").text)
        self.shot("06-address-book")
        d.get(self.base + "/Display?what=compose_u_l.mhtml")
        self.click("button[name='AddFromBook.x']")
        Select(self.find("select[name='ADL-To']")).select_by_value("Bobby")
        self.shot("07-recipients")
        self.click("button[name='Submit.x']")
        self.assertEqual(self.find("#to").get_attribute("value"), "bob")
        self.click("button[name='Delete.x']")

        # Moving the sent copy, deleting it into Trash, emptying Trash.
        self.open_box("Sent-Mail")
        self.find("table.messages tbody input[type='checkbox']").click()
        Select(self.find("select[name='NewBox']")).select_by_value("Projects")
        self.click("button[name='Move.x']")
        self.open_box("Projects")
        self.click("table.messages tbody a")
        self.click("button[name='Delete.x']")
        self.open_box("Trash")
        self.assertEqual(len(d.find_elements(By.CSS_SELECTOR, "table.messages tbody input")), 1)
        d.get(self.base + "/Display?what=mailboxes_u_l.mhtml")
        self.click("form[action='/EmptyTrash'] button")
        self.open_box("Trash")
        self.assertEqual(d.find_elements(By.CSS_SELECTOR, "table.messages tbody input"), [])

        # The pages at a phone's width: nothing wider than the screen.
        d.set_window_size(390, 844)
        for page in ("mailboxes_u_l.mhtml", "compose_u_l.mhtml", "addressbook_u_l.mhtml"):
            d.get(self.base + "/Display?what=" + page)
            self.assertLessEqual(d.execute_script("return document.documentElement.scrollWidth"),
                                 d.execute_script("return window.innerWidth") + 1, page)
            self.shot("08-phone-" + page.split("_")[0])
        d.set_window_size(1280, 900)


if __name__ == "__main__":
    unittest.main()
