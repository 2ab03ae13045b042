"""System tests of the HTTP server: the real ostrel program in the foreground on
loopback, with a fresh installation on free ports, driven by raw sockets,
http.client and curl; and, for uploads and form values, which no page of the
program shows yet, the server library with two showing handlers
(http_test_server).

Each test class works in a private directory: its own registry file, run directory
and event-log file, so nothing outside it is touched.
"""
import glob
import http.client
import os
import re
import socket
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from ostrel_system import Installation, can_connect, stop_process, wait_for  # noqa: E402

TEST_SERVER = os.environ.get("OSTREL_HTTP_TEST_SERVER", "build/tests/http_test_server")
BAD_PAGE = b"<body><h1>HTTP/1.0 400 Bad Request</h1></body>\r\n"


def exchange(port, data, timeout=10):
    """Sends data on a fresh connection and returns everything until the server closes."""
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        s.sendall(data)
        return read_to_close(s)


def read_to_close(s):
    chunks = []
    while True:
        try:
            chunk = s.recv(65536)
        except ConnectionResetError:
            break
        if not chunk:
            break
        chunks.append(chunk)
    return b"".join(chunks)


def split_reply(reply):
    head, _, body = reply.partition(b"\r\n\r\n")
    lines = head.split(b"\r\n")
    headers = {}
    for line in lines[1:]:
        name, _, value = line.partition(b":")
        headers[name.strip().lower().decode()] = value.strip().decode()
    return lines[0].decode(), headers, body


def read_reply(s):
    """One reply framed by its Content-Length, from a connection that stays open."""
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = s.recv(65536)
        if not chunk:
            raise AssertionError("closed before the headers: %r" % data)
        data += chunk
    status, headers, body = split_reply(data)
    while len(body) < int(headers["content-length"]):
        chunk = s.recv(65536)
        if not chunk:
            raise AssertionError("closed inside the body")
        body += chunk
    return status, headers, body


class HttpSystemTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.inst = Installation("ostrel-http-")
        cls.port = cls.inst.http_port
        cls.images = re.search(r"^  images: (\S+)", cls.inst.setup_output, re.M).group(1)
        cls.inst.edit_system_line(lambda l: l + b",HTTPUseKeepAlives=1")
        cls.maildir = cls.inst.path("mail")
        # Left behind by a crash: removed when the server starts.
        cls.stale = os.path.join(cls.maildir, "h3aa9.tmp")
        open(cls.stale, "wb").close()
        cls.inst.start(lambda: can_connect(cls.port))

    @classmethod
    def tearDownClass(cls):
        cls.inst.close()

    def get(self, path, method="GET", version="HTTP/1.0", headers=b""):
        return exchange(self.port, b"%s %s %s\r\n%s\r\n" % (method.encode(), path, version.encode(), headers))

    def spool_files(self):
        return glob.glob(os.path.join(self.maildir, "h*aa*.tmp"))

    def test_logo_with_its_type_and_length_and_head_without_body(self):
        with open(os.path.join(self.images, "logo.gif"), "rb") as f:
            logo = f.read()
        self.assertTrue(logo.startswith(b"GIF89a"))
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=10)
        conn.request("GET", "/images/logo.gif")
        reply = conn.getresponse()
        self.assertEqual(reply.status, 200)
        self.assertEqual(reply.getheader("Content-Type"), "image/gif")
        self.assertEqual(reply.getheader("Content-Length"), str(len(logo)))
        self.assertEqual(reply.getheader("X-Content-Type-Options"), "nosniff")
        self.assertEqual(reply.read(), logo)
        conn.close()
        # Letter case of the route does not matter; HEAD has the headers of GET and no body.
        status, headers, body = split_reply(self.get(b"/IMAGES/logo.gif", "HEAD", "HTTP/1.1"))
        self.assertEqual(status, "HTTP/1.0 200 OK")
        self.assertEqual({k: v for k, v in headers.items() if k != "date"},
                         {k.lower(): v for k, v in reply.getheaders() if k != "Date"})
        self.assertEqual(body, b"")
        # The "Done when" command of the issue, with curl.
        out = subprocess.run(["curl", "-si", "http://127.0.0.1:%d/images/logo.gif" % self.port],
                             capture_output=True, timeout=30)
        self.assertTrue(out.stdout.startswith(b"HTTP/1.0 200 OK\r\n"), out.stdout[:200])
        self.assertTrue(out.stdout.endswith(b"\r\n\r\n" + logo))

    def test_keep_alive_serves_two_requests_on_one_connection(self):
        with socket.create_connection(("127.0.0.1", self.port), timeout=10) as s:
            for path in (b"/docs/legal.html", b"/images/logo.gif"):
                s.sendall(b"GET %s HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n" % path)
                status, headers, body = read_reply(s)
                self.assertEqual(status, "HTTP/1.0 200 OK")
                self.assertEqual(headers["connection"], "Keep-Alive")
            self.assertTrue(body.startswith(b"GIF89a"))
            # Without asking, the connection ends with the reply.
            s.sendall(b"GET /docs/legal.html HTTP/1.0\r\n\r\n")
            reply = read_to_close(s)
            self.assertIn(b"<h1>Legal notice</h1>", reply)
            self.assertNotIn(b"Keep-Alive", reply)

    def test_large_post_is_spooled_and_its_file_removed(self):
        self.assertFalse(os.path.exists(self.stale))
        body = b"v=" + b"x" * 39998
        with socket.create_connection(("127.0.0.1", self.port), timeout=10) as s:
            s.sendall(b"POST /docs/legal.html HTTP/1.0\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                      b"Content-Length: 40000\r\n\r\n" + body[:-1])
            self.assertTrue(wait_for(lambda: len(self.spool_files()) == 1, 10))
            s.sendall(body[-1:])
            status, _, page = split_reply(read_to_close(s))
        self.assertEqual(status, "HTTP/1.0 200 OK")
        self.assertIn(b"Legal notice", page)
        self.assertTrue(wait_for(lambda: not self.spool_files(), 5), self.spool_files())

    def test_nothing_outside_the_directories_is_served(self):
        paths = ["/images/../../etc/passwd", "/images/%2e%2e/%2e%2e/etc/passwd",
                 "/images/..%2f..%2fetc/passwd", "/docs/%2E%2E%2F%2E%2E%2Fetc%2Fpasswd",
                 "/imagesX", "/images/", "/images", "/docs//", "/images/logo.gif%00.html",
                 "/images/..\\logo.gif"]
        for path in paths:
            out = subprocess.run(["curl", "-si", "--path-as-is", "http://127.0.0.1:%d%s" % (self.port, path)],
                                 capture_output=True, timeout=30)
            status, _, body = split_reply(out.stdout)
            self.assertEqual(status, "HTTP/1.0 404 Not Found", path)
            self.assertEqual(body, b"<body><h1>Document " + path.encode() + b" not found.</h1></body>\r\n")
            self.assertNotIn(self.images.encode(), out.stdout)
        # Any other path belongs to the web interface, which sends it to the web mail.
        status, headers, _ = split_reply(self.get(b"/nothing"))
        self.assertEqual(status, "HTTP/1.0 302 Moved Temporarily")
        self.assertTrue(headers["location"].endswith("/Display?what=mailboxes_u_l.mhtml"))
        # The path comes back HTML-escaped.
        _, _, body = split_reply(self.get(b"/images/<script>&"))
        self.assertEqual(body, b"<body><h1>Document /images/&lt;script&gt;&amp; not found.</h1></body>\r\n")

    def test_methods_versions_and_limits(self):
        # An unknown method is served like GET.
        status, _, body = split_reply(self.get(b"/docs/legal.html", "BREW"))
        self.assertEqual(status, "HTTP/1.0 200 OK")
        self.assertIn(b"Legal notice", body)
        bad = [b"GET /docs/legal.html HTTP/2.0\r\n\r\n",
               b"GET /docs/legal.html\r\n\r\n",
               b"GET /docs/legal.html?" + b"a" * 9000 + b" HTTP/1.0\r\n\r\n",
               b"GET /docs/legal.html HTTP/1.0\r\nX-Long: " + b"a" * 9000 + b"\r\n\r\n",
               b"GET /docs/legal.html HTTP/1.0\r\n" + b"X-A: 1\r\n" * 101 + b"\r\n",
               b"POST /docs/legal.html HTTP/1.0\r\nTransfer-Encoding: chunked\r\n\r\n3\r\na=1\r\n0\r\n\r\n"]
        for request in bad:
            status, headers, body = split_reply(exchange(self.port, request))
            self.assertEqual(status, "HTTP/1.0 400 Bad Request", request[:60])
            self.assertEqual(headers["content-type"], "text/html")
            self.assertEqual(body, BAD_PAGE)

    def test_idle_connections_do_not_keep_a_fresh_client_waiting(self):
        # 20 idle connections from one address, as many as it may hold.
        idle = [socket.create_connection(("127.0.0.1", self.port), timeout=10) for _ in range(20)]
        try:
            time.sleep(0.3)
            started = time.monotonic()
            conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=10,
                                              source_address=("127.0.0.2", 0))
            conn.request("GET", "/docs/legal.html")
            reply = conn.getresponse()
            self.assertEqual(reply.status, 200)
            reply.read()
            conn.close()
            self.assertLess(time.monotonic() - started, 1.0)
            # One more from the same address is turned away with a 503 page.
            status, headers, body = split_reply(self.get(b"/docs/legal.html"))
            self.assertEqual(status, "HTTP/1.0 503 Service Unavailable")
            self.assertEqual(headers["content-length"], str(len(body)))
            self.assertIn(b"Too many connections from your address.", body)
        finally:
            for s in idle:
                s.close()


class HttpFormSystemTest(unittest.TestCase):
    """Uploads and form values through the server library's showing handlers."""

    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.TemporaryDirectory(prefix="ostrel-http-forms-")
        cls.proc = subprocess.Popen([TEST_SERVER, cls.dir.name], stdin=subprocess.PIPE,
                                    stdout=subprocess.PIPE)
        cls.port = int(cls.proc.stdout.readline())

    @classmethod
    def tearDownClass(cls):
        # The program ends when its input does.
        cls.proc.stdin.close()
        cls.proc.stdout.close()
        stop_process(cls.proc, None, 30)
        cls.dir.cleanup()

    def test_binary_uploads_arrive_byte_exact_and_form_values_decode(self):
        # Every byte value, line ends, and lines that look like delimiters.
        data = bytes(range(256)) * 200 + b"\r\n--boundary\r\n\r\n--x--\r\n\x00" + os.urandom(50000)
        path = os.path.join(self.dir.name, "sent.bin")
        with open(path, "wb") as f:
            f.write(data)
        out = subprocess.run(["curl", "-s", "-D", "-", "-F", "note=hello", "-F", "field=picture",
                              "-F", "picture=@%s;type=image/png" % path,
                              "http://127.0.0.1:%d/Upload" % self.port], capture_output=True, timeout=60)
        status, headers, body = split_reply(out.stdout)
        self.assertEqual(status, "HTTP/1.0 200 OK")
        self.assertEqual(headers["x-upload-type"], "image/png")
        self.assertEqual(body, data)
        self.assertEqual(glob.glob(os.path.join(self.dir.name, "h*.tmp")), [])
        # Form values from a URL-encoded body and the query, through http.client.
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=10)
        conn.request("POST", "/Echo?a=3&q=%7E", "a=1&b=x+y%21&a=2",
                     {"Content-Type": "application/x-www-form-urlencoded"})
        self.assertEqual(conn.getresponse().read(), b"a=1\x1c2\x1c3\nb=x y!\nq=~\n")
        conn.close()


if __name__ == "__main__":
    unittest.main()
