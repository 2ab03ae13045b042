"""Helpers of the browser tests: an installation of the real ostrel program with
the shipped templates, images and documents in an InstallDir of its own and an
account password set with ostrel -passwd, and headless Chromium driven through
Selenium (Debian's chromium, chromium-driver and python3-selenium; run with
/usr/bin/python3)."""
import os
import subprocess
import sys
import tempfile

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.common.exceptions import StaleElementReferenceException, WebDriverException
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from ostrel_system import BINARY, Installation, can_connect  # noqa: E402

CHROME_FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                "--disable-background-networking", "--disable-component-update", "--disable-sync",
                "--window-size=1280,900", "--ignore-certificate-errors"]
SHOTS = os.environ.get("OSTREL_SCREENSHOTS") or os.path.join(tempfile.gettempdir(), "ostrel-screenshots")


class BrowserInstallation(Installation):
    """An installation whose InstallDir holds the shipped files (copied by -setup),
    not yet started; with tls served over its HTTPS port (the self-signed
    certificate is accepted by the browser's flags)."""

    def __init__(self, prefix, tls=False):
        super().__init__(prefix, tls)
        self.tls = tls
        program = self.path("program")
        registry = self.env["OSTREL_REGISTRY"]
        with open(registry) as f:
            text = f.read()
        with open(registry, "w") as f:
            f.write(text.replace("\\Kestrin\\Ostrel]\n", "\\Kestrin\\Ostrel]\nInstallDir=%s\n" % program))
        out = subprocess.run([BINARY, "-setup", self.root], env=self.env, capture_output=True,
                             text=True, timeout=60, stdin=subprocess.DEVNULL)
        assert out.returncode == 0, out.stdout
        assert os.path.isfile(os.path.join(program, "html", "english", "admin_a.mhtml")), out.stdout

    def set_password(self, account, password):
        out = subprocess.run([BINARY, "-passwd", account], env=self.env, capture_output=True,
                             text=True, timeout=60, input=password + "\n")
        assert out.returncode == 0, out.stdout

    def start_serving(self):
        port = self.https_port if self.tls else self.http_port
        self.start(lambda: can_connect(port))
        return "%s://127.0.0.1:%d" % ("https" if self.tls else "http", port)


def start_chromium(profile_dir):
    """A headless Chromium with its own profile directory."""
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for flag in CHROME_FLAGS + ["--user-data-dir=" + profile_dir]:
        options.add_argument(flag)
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    driver.set_page_load_timeout(30)
    os.makedirs(SHOTS, exist_ok=True)
    return driver


class BrowserSteps:
    """What a browser test does on a page; start_browser sets cls.driver."""

    @classmethod
    def start_browser(cls):
        """Headless Chromium with a profile of its own, as cls.driver."""
        cls.profile = tempfile.TemporaryDirectory(prefix="ostrel-chromium-")
        cls.driver = start_chromium(cls.profile.name)

    @classmethod
    def close_browser(cls):
        """Closes the browser and the installation cls.inst."""
        cls.driver.quit()
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

        def replaced(_):
            try:
                page.is_enabled()
                return False
            except StaleElementReferenceException:
                return True
            except WebDriverException as error:
                # Chromium may answer for a page being replaced that its node is gone.
                return "does not belong to the document" in str(error)
        WebDriverWait(self.driver, 20).until(replaced)

    def log_in(self, user, password):
        self.driver.find_element(By.ID, "username").send_keys(user)
        self.driver.find_element(By.ID, "password").send_keys(password)
        self.leave_page(self.driver.find_element(By.CSS_SELECTOR, "form.stack button").click)
