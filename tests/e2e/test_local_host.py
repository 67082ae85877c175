"""The local download host itself, checked with Python's own TLS client against
the sandbox's CA: if these fail, the end-to-end results mean nothing."""

import http.client
import os
import socket
import ssl
import subprocess
import sys
import threading
import time
import unittest
import warnings
from pathlib import Path

from harness import HarnessError, in_sandbox
from https_host import (DOWNLOAD_HOST, MANIFEST_PATH, MIRROR_HOST, HttpsHost, Reply,
                        pattern_bytes)

HOST_SCRIPT = Path(__file__).with_name("https_host.py")


def tls_context(cafile=None):
    ctx = ssl.create_default_context(cafile=cafile or os.environ["KESTROVA_CA_CERT"])
    ctx.minimum_version = ssl.TLSVersion.TLSv1_2
    return ctx


def get(path, host=DOWNLOAD_HOST, ctx=None, timeout=10):
    conn = http.client.HTTPSConnection(host, 443, context=ctx or tls_context(), timeout=timeout)
    try:
        conn.request("GET", path)
        response = conn.getresponse()
        return response, response.read()
    finally:
        conn.close()


class LocalHost(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        if not in_sandbox():
            raise HarnessError("run inside tests/e2e/sandbox (scripts/test does)")

    def test_names_resolve_to_loopback(self):
        for name in (DOWNLOAD_HOST, MIRROR_HOST):
            self.assertEqual("127.0.0.1", socket.gethostbyname(name))

    def test_body_length_and_404(self):
        with HttpsHost({MANIFEST_PATH: Reply(200, b'{"a": 1}')}) as host:
            response, body = get(MANIFEST_PATH)
            self.assertEqual((200, b'{"a": 1}'), (response.status, body))
            self.assertEqual("8", response.getheader("Content-Length"))
            response, _ = get("/nowhere", host=MIRROR_HOST)
            self.assertEqual(404, response.status)
        self.assertEqual([MANIFEST_PATH, "/nowhere"], host.requests)
        self.assertEqual([DOWNLOAD_HOST, MIRROR_HOST], [r.host for r in host.log])

    def test_tls_1_1_is_refused_and_1_2_accepted(self):
        with HttpsHost({}):
            ctx = tls_context()
            ctx.minimum_version = ssl.TLSVersion.TLSv1_2
            ctx.maximum_version = ssl.TLSVersion.TLSv1_2
            self.assertEqual(404, get("/", ctx=ctx)[0].status)
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", DeprecationWarning)
                old = tls_context()
                old.set_ciphers("DEFAULT:@SECLEVEL=0")  # let this client offer TLS 1.1 at all
                old.minimum_version = ssl.TLSVersion.TLSv1
                old.maximum_version = ssl.TLSVersion.TLSv1_1
            with self.assertRaises(ssl.SSLError):
                get("/", ctx=old)

    def test_untrusted_certificate_fails_verification(self):
        with HttpsHost({}, cert="untrusted") as host:
            with self.assertRaises(ssl.SSLCertVerificationError):
                get("/")
            trusting = tls_context(cafile=os.environ["KESTROVA_UNTRUSTED_CERT"])
            trusting.check_hostname = True
            # The certificate itself is fine for the names, only its CA isn't trusted.
            with self.assertRaises(ssl.SSLCertVerificationError):
                get("/", ctx=trusting)
        self.assertEqual([], host.requests)
        self.assertGreaterEqual(host.connections["https"], 1)

    def test_chunked_generated_body_with_pauses(self):
        body = lambda: (pattern_bytes(1000, i) for i in range(0, 50000, 1000))
        reply = Reply(200, body, chunked=True, chunk_size=777, chunk_delay=0.001)
        with HttpsHost({"/big": reply}):
            response, data = get("/big")
        self.assertEqual("chunked", response.getheader("Transfer-Encoding"))
        self.assertIsNone(response.getheader("Content-Length"))
        self.assertEqual(pattern_bytes(50000), data)

    def test_drop_after_some_bytes(self):
        reply = Reply(200, pattern_bytes(10000), chunk_size=1000, drop_after=2500)
        with HttpsHost({"/drop": reply}):
            with self.assertRaises(http.client.IncompleteRead) as caught:
                get("/drop")
        self.assertEqual(2500, len(caught.exception.partial))

    def test_delays_and_headers_event(self):
        release = threading.Event()
        reply = Reply(200, b"late", delay_headers=0.2, hold_body=release)
        with HttpsHost({"/slow": reply}) as host:
            got = {}
            client = threading.Thread(target=lambda: got.update(r=get("/slow")))
            started = time.monotonic()
            client.start()
            self.assertTrue(host.wait_headers_sent("/slow", timeout=5))
            self.assertGreaterEqual(time.monotonic() - started, 0.2)
            self.assertFalse(host.wait_body_done("/slow", timeout=0.2))
            release.set()
            client.join(10)
            self.assertEqual(b"late", got["r"][1])

    def test_redirect_and_reply_sequence(self):
        routes = {
            "/a": Reply.redirect(f"https://{MIRROR_HOST}/b", 307),
            "/n": [Reply(500), Reply(200, b"second")],
        }
        with HttpsHost(routes):
            response, _ = get("/a")
            self.assertEqual((307, f"https://{MIRROR_HOST}/b"),
                             (response.status, response.getheader("Location")))
            self.assertEqual([500, 200, 200], [get("/n")[0].status for _ in range(3)])

    def test_plain_http_listener(self):
        with HttpsHost({}) as host:
            conn = http.client.HTTPConnection(DOWNLOAD_HOST, 80, timeout=10)
            conn.request("GET", "/x")
            self.assertEqual(200, conn.getresponse().status)
            conn.close()
        self.assertEqual(["/x"], host.plain_requests)
        self.assertEqual([], host.requests)

    def test_unit_routes_from_the_command_line(self):
        # What the C++ unit tests get from the CTest fixture (start, serve, stop).
        pid_file = Path(os.environ["KESTROVA_SANDBOX_DIR"]) / "host-selftest.pid"
        start = subprocess.run([sys.executable, str(HOST_SCRIPT), "--unit", "--daemon",
                                "--pid-file", str(pid_file)], timeout=30,
                               stdin=subprocess.DEVNULL, capture_output=True, text=True)
        self.assertEqual(0, start.returncode, start.stderr)
        try:
            self.assertEqual(b"", get("/unit/empty")[1])
            self.assertEqual(b"a\0b", get("/unit/zero")[1])
            self.assertEqual(pattern_bytes(100000), get("/unit/chunks")[1])
            self.assertEqual(404, get("/unit/other")[0].status)
        finally:
            stop = subprocess.run([sys.executable, str(HOST_SCRIPT), "--stop", "--pid-file",
                                   str(pid_file)], timeout=30, stdin=subprocess.DEVNULL,
                                  capture_output=True, text=True)
        self.assertEqual(0, stop.returncode, stop.stdout + stop.stderr)
        self.assertFalse(pid_file.exists())


if __name__ == "__main__":
    unittest.main(verbosity=2)
