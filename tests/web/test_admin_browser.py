"""The administration pages in a real browser against the real ostrel program:
one scenario in which the administrator adds a user from an account made with
ostrel -passwd, sets its quota and web mail access, makes the list staff with
members and owners, adds a scored dictionary word, builds a weekday event with
the wizard, reads the reports, the settings in force and the diagnostics; a user
with report rights only is refused a change; and the HTTP port moves through the
system page. After every change the configuration, lists and dictionary files are
read back from disk. A screenshot of each page goes into OSTREL_SCREENSHOTS.

Run with /usr/bin/python3, which imports Debian's python3-selenium.
"""
import glob
import os
import sys
import unittest

from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import Select

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from ostrel_browser import BrowserInstallation, BrowserSteps  # noqa: E402
from ostrel_system import can_connect, free_port, wait_for  # noqa: E402

ADMIN_PASSWORD = "admin pass 19"
USER_PASSWORD = "carla pass 19"
REPORTER_PASSWORD = "rita pass 19"


def attribute_list(text):
    """An attribute list of the configuration files as a dict ('\\,' stands for ',')."""
    items, current, i = [], "", 0
    while i < len(text):
        if text[i] == "\\" and i + 1 < len(text) and text[i + 1] == ",":
            current += ","
            i += 2
            continue
        if text[i] == ",":
            items.append(current)
            current = ""
        else:
            current += text[i]
        i += 1
    if current:
        items.append(current)
    return dict(item.split("=", 1) for item in items if "=" in item)


class Files:
    """The installation's configuration, lists and dictionaries as they are on disk."""

    def __init__(self, inst):
        self.inst = inst

    def lines(self, *path):
        with open(self.inst.path(*path), "rb") as f:
            return f.read().decode("utf-8", "replace").split("\r\n")

    def definition(self, key):
        """The attributes of the object key ("Ucarla"), or None when no file defines it."""
        for path in (("shared-config",), ("local", "local-config")):
            for line in self.lines(*path):
                if line.startswith("D" + key + ","):
                    body = line[len(key) + 2:]
                    if key[0] in "LD":  # scope and second flag first
                        body = body[4:]
                    return attribute_list(body)
        return None

    def events(self, key):
        return [attribute_list(line[len(key) + 2:]) for line in self.lines("local", "local-config")
                if line.startswith("S" + key + ",")]

    def lists_of(self, address):
        for line in self.lines("local", "lists"):
            if line.startswith(address + "\x1c"):
                return [name for name in line.split("\x1c")[1:] if name]
        return []

    def words(self):
        return "\n".join(self.lines("local", "dictionaries"))


class AdminBrowserTest(BrowserSteps, unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.inst = BrowserInstallation("ostrel-admin-")
        cls.inst.set_password("Administrator", ADMIN_PASSWORD)
        cls.inst.set_password("carla", USER_PASSWORD)
        cls.inst.set_password("rita", REPORTER_PASSWORD)
        cls.base = cls.inst.start_serving()
        cls.files = Files(cls.inst)
        cls.start_browser()

    @classmethod
    def tearDownClass(cls):
        cls.close_browser()

    # ---- steps ----

    def open(self, page, **variables):
        query = "".join("&%s=%s" % item for item in variables.items())
        self.driver.get("%s/Display?what=%s%s" % (self.base, page, query))

    def field(self, name):
        return self.driver.find_element(By.NAME, name)

    def choose(self, name, *values):
        box = Select(self.field(name))
        if box.is_multiple:
            box.deselect_all()
        # Compared here rather than through a CSS selector, in which the backslash
        # of an account name would be an escape.
        for value in values:
            matching = [o for o in box.options if o.get_attribute("value") == value]
            self.assertTrue(matching, "%s has no option %s" % (name, value))
            box.select_by_index(int(matching[0].get_attribute("index")))

    def type_into(self, name, text):
        element = self.field(name)
        element.clear()
        element.send_keys(text)

    def submit(self, button_css, shot):
        self.leave_page(self.driver.find_element(By.CSS_SELECTOR, button_css).click)
        self.shot(shot)
        return self.driver.page_source

    def assert_done(self, page):
        self.assertIn("The change has been saved.", page)

    def records(self):
        text = ""
        for path in glob.glob(self.inst.path("log", "kslog*")):
            with open(path, errors="replace") as f:
                text += f.read()
        return text

    # ---- the scenario ----

    def test_an_administrator_manages_the_installation(self):
        d = self.driver
        d.get(self.base + "/Admin")
        self.log_in("Administrator", ADMIN_PASSWORD)
        self.assertEqual(self.heading(), "Administration", d.page_source)
        self.shot("admin-01-start")

        # A user from the account made with ostrel -passwd.
        self.open("user_a.mhtml")
        self.assertEqual(self.script("return document.querySelector('img.objbar').naturalWidth"), 240)
        self.choose("realuser", ".\\carla")
        self.shot("admin-02-users")
        self.assert_done(self.submit("form[action='/AddObj'] button", "admin-03-user-added"))
        carla = self.files.definition("Ucarla")
        self.assertEqual((carla["RealAcct"], carla["OstrelUser"]), (".\\carla", "1"))
        self.assertTrue(os.path.isdir(self.inst.path("boxes", "carla")))

        # Its quota and web mail access; a second user who may only read reports.
        self.open("user_mod_a.mhtml", objtype="User", objname="carla")
        d.find_element(By.CSS_SELECTOR, "input[name=UseQuota][value=Yes]").click()
        self.type_into("QuotaVal", "25")
        self.choose("ATTR-AllowOstrelUI", "1")
        self.shot("admin-04-user-change")
        self.assert_done(self.submit("form[action='/ModifyObj'] button", "admin-05-user-changed"))
        carla = self.files.definition("Ucarla")
        self.assertEqual((carla["MailQuota"], carla["AllowOstrelUI"]), ("25", "1"))
        self.open("user_a.mhtml")
        self.type_into("realusert", "rita")
        self.assert_done(self.submit("form[action='/AddObj'] button", "admin-06-rita-added"))
        self.open("user_mod_a.mhtml", objtype="User", objname="rita")
        self.choose("NewMethodPerms", "R")
        self.choose("NewObjectPerms", "S", "U", "C", "G", "L", "D")
        self.assert_done(self.submit("form[action='/ModifyObj'] button", "admin-07-rita-permissions"))
        self.assertEqual(self.files.definition("Urita")["OstrelPerms"], "R:UCGLDS")

        # The list staff with its owner list; members and an owner.
        self.open("list_a.mhtml")
        self.type_into("objname", "staff")
        page = self.submit("form[action='/AddObj'] button", "admin-08-list-added")
        self.assertEqual(self.heading(), "List staff")
        self.assertIsNotNone(self.files.definition("Lowner-staff"))
        self.choose("UsersToAdd", "carla")
        self.type_into("AddressToAdd", "Ann@Remote.example")
        page = self.submit("button[name=AddToList]", "admin-09-members-added")
        self.assertEqual(self.heading(), "List staff")
        self.choose("UsersToAdd", "Administrator")
        page = self.submit("button[name=AddToOwners]", "admin-10-owner-added")
        self.assertEqual([o.text for o in Select(self.field("ListMembers")).options],
                         ["ann@remote.example", "carla"])
        self.assertEqual(self.files.lists_of("carla"), ["staff"])
        self.assertEqual(self.files.lists_of("ann@remote.example"), ["staff"])
        self.assertEqual(self.files.lists_of("administrator"), ["owner-staff"])

        # A dictionary of its own with a scored, masked phrase.
        self.open("dict_a.mhtml")
        self.type_into("objname", "Local")
        self.assert_done(self.submit("form[action='/AddObj'] button", "admin-11-dictionary-added"))
        self.open("dict_mod_a.mhtml", objtype="Dictionary", objname="Local")
        self.type_into("NewWord", "cheap pills")
        self.type_into("Score", "60")
        self.field("Replace").click()
        page = self.submit("button[name=AddTo]", "admin-12-word-added")
        self.assertIn("cheap pills (60, masked)", page)
        self.assertIn("cheap pills", self.files.words())

        # A weekday event from 09:00 to 17:00 that blocks application/*.
        self.open("sched_a.mhtml", objtype="User", objname="carla")
        self.shot("admin-13-events")
        self.submit("button[value='sched1a_a_l.mhtml']", "admin-14-wizard-days")
        for day in "12345":
            d.find_element(By.CSS_SELECTOR, "input[name=When][value='%s']" % day).click()
        self.choose("Start-hr", "9"), self.choose("Start-min", "00"), self.choose("Start-mer", "AM")
        self.choose("End-hr", "5"), self.choose("End-min", "00"), self.choose("End-mer", "PM")
        self.submit("button[name=Submit]", "admin-15-wizard-sending")
        self.assertEqual(self.heading(), "Sending")
        d.find_element(By.CSS_SELECTOR, "input[name=FilterMode][value=F]").click()
        self.submit("button[name=Submit]", "admin-16-wizard-receiving")
        self.assertEqual(self.heading(), "Receiving")
        self.submit("button[name=Submit]", "admin-17-wizard-dictionaries")
        d.find_element(By.CSS_SELECTOR, "input[name=MIME][value='application/*']").click()
        d.find_element(By.CSS_SELECTOR, "input[name='DD-Local']").click()
        self.assert_done(self.submit("button[name=Submit]", "admin-18-event-saved"))
        events = self.files.events("Ucarla")
        self.assertEqual(len(events), 1, events)
        self.assertEqual({k: events[0][k] for k in ("When", "Start", "End", "BlockedMIMETypes", "FilterMode")},
                         {"When": "12345", "Start": "90000", "End": "170000", "BlockedMIMETypes": "application/*",
                          "FilterMode": "F"})
        self.assertEqual(events[0]["DictsToUse"], "Local")
        self.open("sched_a.mhtml", objtype="User", objname="carla")
        self.assertIn("Mon Tue Wed Thu Fri, 09:00 to 17:00", d.page_source)
        self.shot("admin-19-event-table")

        # The reports.
        self.open("access_rep1_a.mhtml")
        self.shot("admin-20-access-form")
        page = self.submit("form[action='/AccessReport'] button", "admin-21-access-report")
        self.assertEqual(self.heading(), "Access Report")
        self.assertIn("Object Added", page)
        self.assertIn("System Account .\\carla", page)
        self.open("reports_a.mhtml")
        self.choose("Lists", "staff")
        page = self.submit("form[action='/ListReport'] button", "admin-22-list-report")
        self.assertIn("carla", d.find_element(By.TAG_NAME, "main").text)
        self.open("reports_a.mhtml")
        self.choose("Dictionaries", "Local")
        page = self.submit("form[action='/DictionaryReport'] button", "admin-23-dictionary-report")
        self.assertIn("cheap pills 60", d.find_element(By.TAG_NAME, "main").text)
        self.open("reports_a.mhtml")
        self.choose("User", "carla")
        self.choose("Client", "127.0.0.1")
        page = self.submit("form[action='/ShowSettings'] button", "admin-24-settings")
        self.assertEqual(self.heading(), "Settings That Apply")
        main = d.find_element(By.TAG_NAME, "main").text
        self.assertIn("Quota 25 MBs", main)
        self.assertIn("Web client", main)
        self.open("reports_a.mhtml")
        page = self.submit("form[action='/Diag'] button", "admin-25-diagnostics")
        self.assertIn("Cached Messages:", page)
        self.assertIn("DUcarla,", page)
        # At a phone's width the pages stay within the screen.
        d.set_window_size(390, 844)
        self.open("user_mod_a.mhtml", objtype="User", objname="carla")
        self.assertLessEqual(self.script("return document.documentElement.scrollWidth"),
                             self.script("return window.innerWidth"))
        self.shot("admin-26-phone")
        d.set_window_size(1280, 900)

        # Report rights only: a change is refused and recorded.
        self.leave_page(d.find_element(By.CSS_SELECTOR, "form.logoff button").click)
        d.get(self.base + "/Admin")
        self.log_in("rita", REPORTER_PASSWORD)
        self.open("user_mod_a.mhtml", objtype="User", objname="carla")
        self.type_into("QuotaVal", "1")
        page = self.submit("form[action='/ModifyObj'] button", "admin-27-refused")
        self.assertIn("Error: Your account does not have permission to perform the requested action", page)
        self.assertEqual(self.files.definition("Ucarla")["MailQuota"], "25")
        self.assertRegex(self.records(), r",1=3,2=16,10=rita,11=127\.0\.0\.1,40=U,41=carla,100=Attempted to modify")
        self.open("admin_a.mhtml")
        self.leave_page(d.find_element(By.CSS_SELECTOR, "form.logoff button").click)

        # The HTTP port moves: the page says where, and the server answers there.
        d.get(self.base + "/Admin")
        self.log_in("Administrator", ADMIN_PASSWORD)
        self.open("system_a.mhtml")
        self.assertEqual(self.field("ATTR-HTTPPort").get_attribute("value"), str(self.inst.http_port))
        new_port = free_port()
        self.type_into("ATTR-HTTPPort", str(new_port))
        page = self.submit("form[action='/ModifyObj'] button", "admin-28-port-changed")
        self.assertEqual(self.heading(), "HTTP port changed")
        self.assertIn(str(new_port), page)
        self.assertTrue(wait_for(lambda: can_connect(new_port)))
        self.assertTrue(wait_for(lambda: not can_connect(self.inst.http_port), 15))
        d.get("http://127.0.0.1:%d/Display?what=admin_a.mhtml" % new_port)
        self.assertEqual(self.heading(), "Administration")
        self.shot("admin-29-new-port")
        with open(self.inst.env["OSTREL_REGISTRY"]) as f:
            self.assertIn("HTTPPort=%d" % new_port, f.read())


if __name__ == "__main__":
    unittest.main()
