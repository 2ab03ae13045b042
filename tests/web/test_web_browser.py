"""The web interface in a real browser: headless Chromium driven by Selenium against
the real ostrel program, installed with -setup into its own InstallDir and given an
administrator password with ostrel -passwd.

One browser goes through one scenario: the web mail login page at /, the
administration login, a wrong password, the administration start page, the
same page at a phone's width, the web mail start page, a forged form from
another site, a template name that is a path, logoff and Back. A screenshot of
each page goes into OSTREL_SCREENSHOTS (printed at the end) for a reviewer.

Run with /usr/bin/python3, which imports Debian's python3-selenium.
"""
import glob
import http.server
import os
import subprocess
import sys
import tempfile
import threading
import unittest

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support import expected_conditions
from selenium.webdriver.support.ui import WebDriverWait

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from ostrel_system import BINARY, Installation, can_connect, free_port  # noqa: E402

PASSWORD = "correct horse 7"
SHOTS = os.environ.get("OSTREL_SCREENSHOTS") or os.path.join(tempfile.gettempdir(), "ostrel-screenshots")
CHROME_FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                "--disable-background-networking", "--disable-component-update", "--disable-sync",
                "--window-size=1280,900"]


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


class WebBrowserTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.inst = Installation("ostrel-web-")
        # The program's files in an InstallDir of their own: -setup copies the
        # shipped templates, images and documents there.
        program = cls.inst.path("program")
        registry = cls.inst.env["OSTREL_REGISTRY"]
        with open(registry) as f:
            text = f.read()
        with open(registry, "w") as f:
            f.write(text.replace("\\Kestrin\\Ostrel]\n", "\\Kestrin\\Ostrel]\nInstallDir=%s\n" % program))
        out = subprocess.run([BINARY, "-setup", cls.inst.root], env=cls.inst.env, capture_output=True,
                             text=True, timeout=60, stdin=subprocess.DEVNULL)
        assert out.returncode == 0, out.stdout
        assert os.path.isfile(os.path.join(program, "html", "english", "admin_a.mhtml")), out.stdout
        out = subprocess.run([BINARY, "-passwd", "Administrator"], env=cls.inst.env, capture_output=True,
                             text=True, timeout=60, input=PASSWORD + "\n")
        assert out.returncode == 0, out.stdout
        cls.base = "http://127.0.0.1:%d" % cls.inst.http_port
        cls.inst.start(lambda: can_connect(cls.inst.http_port))
        ForeignSite.target = cls.base
        cls.foreign = http.server.HTTPServer(("127.0.0.1", free_port()), ForeignSite)
        threading.Thread(target=cls.foreign.serve_forever, daemon=True).start()
        cls.profile = tempfile.TemporaryDirectory(prefix="ostrel-chromium-")
        options = webdriver.ChromeOptions()
        options.binary_location = "/usr/bin/chromium"
        for flag in CHROME_FLAGS + ["--user-data-dir=" + cls.profile.name]:
            options.add_argument(flag)
        cls.driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
        cls.driver.set_page_load_timeout(30)
        os.makedirs(SHOTS, exist_ok=True)

    @classmethod
    def tearDownClass(cls):
        cls.driver.quit()
        cls.foreign.shutdown()
        cls.foreign.server_close()
        cls.profile.cleanup()
        cls.inst.close()
        print("\nScreenshots: " + SHOTS, file=sys.stderr)

    def shot(self, name):
        self.driver.save_screenshot(os.path.join(SHOTS, name + ".png"))

    def heading(self):
        return self.driver.find_element(By.TAG_NAME, "h1").text

    def script(self, code):
        return self.driver.execute_script(code)

    def leave_page(self, action):
        """Runs action (a click, Back) and waits until the next page has replaced this one."""
        page = self.driver.find_element(By.TAG_NAME, "html")
        action()
        WebDriverWait(self.driver, 20).until(expected_conditions.staleness_of(page))

    def log_in(self, password):
        self.driver.find_element(By.ID, "username").send_keys("Administrator")
        self.driver.find_element(By.ID, "password").send_keys(password)
        self.leave_page(self.driver.find_element(By.CSS_SELECTOR, "form.stack button").click)

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
        self.log_in("not the password")
        self.assertIn("Invalid username or password given.  Try again.", d.page_source)
        self.assertEqual(self.heading(), "Ostrel administration")
        self.shot("02-admin-login-failed")

        # The right one reaches the administration start page; the session cookie
        # is out of reach of scripts.
        self.log_in(PASSWORD)
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
