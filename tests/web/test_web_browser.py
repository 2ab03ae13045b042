"""The web interface in a real browser: headless Chromium driven by Selenium against
the real ostrel program, installed with -setup into its own InstallDir and given an
administrator password with ostrel -passwd.

One browser goes through one scenario: the web mail login page at /, the
administration login, a wrong password, the administration start page, the
same page at a phone's width, the web mail start page, a forged form from
another site, a template name that is a path, logoff and Back. A screenshot of
each page goes into OSTREL_SCREENSHOTS (printed at the end) for a reviewer. The
browser talks to the HTTPS port, which serves the installation's self-signed
certificate (accepted with --ignore-certificate-errors).

Run with /usr/bin/python3, which imports Debian's python3-selenium.
"""
import glob
import http.server
import os
import sys
import threading
import unittest

from selenium.webdriver.common.by import By

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from ostrel_browser import BrowserInstallation, BrowserSteps  # noqa: E402
from ostrel_system import free_port  # noqa: E402

PASSWORD = "correct horse 7"


class ForeignSite(http.server.BaseHTTPRequestHandler):
    """A page of another site (another port) whose form posts to Ostrel."""
    target = ""

    def do_GET(self):
        body = ("<!DOCTYPE html><html><body><h1>Win a prize</h1>"
                "<form method='post' action='%s/Deauthenticate'>"
                "<button id='go' type='submit'>Claim</button></form></body></html>" % self.target).encode()
        self.send_response(200)
        self.send_header("Content-Type", "text/html")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


class WebBrowserTest(BrowserSteps, unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.inst = BrowserInstallation("ostrel-web-", tls=True)
        cls.inst.set_password("Administrator", PASSWORD)
        cls.base = cls.inst.start_serving()
        ForeignSite.target = cls.base
        cls.foreign = http.server.HTTPServer(("127.0.0.1", free_port()), ForeignSite)
        threading.Thread(target=cls.foreign.serve_forever, daemon=True).start()
        cls.start_browser()

    @classmethod
    def tearDownClass(cls):
        cls.foreign.shutdown()
        cls.foreign.server_close()
        cls.close_browser()

    def test_login_pages_logoff_and_refusals(self):
        d = self.driver
        # / leads to the web mail login page, styled by the shared stylesheet and
        # with its logo, under the page's Content-Security-Policy.
        d.get(self.base + "/")
        self.assertEqual(d.title, "Web mail login \u00b7 Ostrel")
        self.assertEqual(self.heading(), "Ostrel web mail")
        self.assertEqual(self.script("return getComputedStyle(document.querySelector('form.stack button'))"
                                     ".backgroundColor"), "rgb(29, 78, 137)")
        self.assertEqual(self.script("return document.querySelector('.masthead img').naturalWidth"), 184)
        self.shot("01-webmail-login")

        # A wrong password: the login page again with the failure text.
        d.get(self.base + "/Admin")
        self.assertEqual(self.heading(), "Ostrel administration")
        self.log_in("Administrator", "not the password")
        self.assertIn("Invalid username or password given.  Try again.", d.page_source)
        self.assertEqual(self.heading(), "Ostrel administration")
        self.shot("02-admin-login-failed")

        # The right one reaches the administration start page; the session cookie
        # is out of reach of scripts.
        self.log_in("Administrator", PASSWORD)
        self.assertTrue(d.current_url.endswith("/Display?what=admin_a.mhtml"), d.current_url)
        self.assertEqual(self.heading(), "Administration")
        self.assertIn("Logged in as Administrator", d.find_element(By.CLASS_NAME, "masthead").text)
        self.assertEqual(self.script("return document.cookie"), "")
        self.assertEqual([c["name"] for c in d.get_cookies()], ["Ostrel"])
        self.shot("03-admin-start")
        # At a phone's width nothing runs off the side.
        d.set_window_size(390, 844)
        self.assertLessEqual(self.script("return document.documentElement.scrollWidth"),
                             self.script("return window.innerWidth"))
        self.shot("04-admin-start-phone")
        d.set_window_size(1280, 900)

        d.get(self.base + "/Display?what=mailboxes_u_l.mhtml")
        self.assertEqual(self.heading(), "Your mailboxes")
        self.shot("05-mailboxes")

        # Another site's form, sent with the session's cookie, is refused.
        d.get("http://127.0.0.1:%d/" % self.foreign.server_port)
        self.leave_page(d.find_element(By.ID, "go").click)
        self.assertIn("The request came from a page of another site and was refused.", d.page_source)
        self.shot("06-foreign-form-refused")

        # A template name that is a path shows nothing of the file.
        d.get(self.base + "/Display?what=../../etc/passwd")
        self.assertIn("Error: Missing file", d.page_source)
        self.assertNotIn("root:", d.page_source)
        self.assertNotIn("/etc/passwd", d.page_source)
        self.shot("07-path-refused")

        # Still logged in; logoff leads to a login page, and so does Back.
        d.get(self.base + "/Display?what=admin_a.mhtml")
        self.assertEqual(self.heading(), "Administration")
        self.leave_page(d.find_element(By.CSS_SELECTOR, "form.logoff button").click)
        self.assertEqual(self.heading(), "Ostrel web mail")
        self.shot("08-logged-off")
        self.leave_page(d.back)
        self.assertEqual(self.heading(), "Ostrel administration")
        self.assertNotIn("Logged in as", d.page_source)
        self.shot("09-back-after-logoff")

        # The activity log has the failed and the good login and the logoff; no
        # log holds the password.
        logs = ""
        for path in glob.glob(self.inst.path("log", "*")):
            with open(path, errors="replace") as f:
                logs += f.read()
        self.assertIn("1=4,2=1,3=2,10=Administrator", logs)
        self.assertIn("1=4,2=1,3=1,10=Administrator", logs)
        self.assertIn("1=4,2=2,3=1,10=Administrator", logs)
        self.assertNotIn(PASSWORD, logs)
        self.assertNotIn("not the password", logs)


if __name__ == "__main__":
    unittest.main()
