"""End-to-end: the setup fetches its manifest from the local download host.

Each test runs the real KestrovaSetup.exe under Wine with ui_probe.exe watching
and checks what the user sees (window caption, status lines, message boxes) and
that the program exits with status 0."""

import shutil
import sys
import tempfile
import threading
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "scripts" / "rehearsal"))  # harness, nginx_host
from harness import CAPTION, State
from https_host import DOWNLOAD_HOST, MANIFEST_PATH, MIRROR_HOST, HttpsHost, Reply
from setup_test_case import SetupTestCase

SEND_FAILED = "Download-Request konnte nicht gesendet werden"
READ_FAILED = "Download-Antwort konnte nicht gelesen werden"
CANCELLED = "Abgebrochen"
MANIFEST_TITLE = "Lade Installationsmanifest"
DEFAULT_INSTALLER_PATH = "/downloads/desktop/Kestrova-3.2.0-win-x64.exe"


def http_status_message(status):
    return f"Download-Server meldet HTTP {status}"


class ManifestStage(SetupTestCase):

    def test_window_and_first_states(self):
        with HttpsHost({MANIFEST_PATH: Reply(404)}):
            run = self.run_setup()
        self.assertEqual(CAPTION, run.caption, run.describe())
        self.assertEqual([
            State("Bereite Kestrova vor", "Bitte warten ...", 0),
            State("Bereite Kestrova vor", "Manifest wird geladen ...", 2),
            State(MANIFEST_TITLE, f"Verbinde mit {DOWNLOAD_HOST} ...", 5),
        ], run.states[:3], run.describe())
        self.assertEqual(0, run.exit_code, run.describe())

    def test_nothing_listening(self):
        run = self.run_setup()
        self.assertBox(run, SEND_FAILED)

    def test_untrusted_certificate(self):
        with HttpsHost({MANIFEST_PATH: Reply(200, b"{}")}, cert="untrusted") as host:
            run = self.run_setup()
        self.assertBox(run, SEND_FAILED)
        # It connected and got the certificate, and sent nothing over that connection.
        self.assertGreaterEqual(host.connections["https"], 1, run.describe())
        self.assertEqual([], host.requests, run.describe())

    def test_http_404(self):
        with HttpsHost({}) as host:
            run = self.run_setup()
        self.assertBox(run, http_status_message(404))
        self.assertEqual([MANIFEST_PATH], host.requests, run.describe())

    def test_http_300(self):
        with HttpsHost({MANIFEST_PATH: Reply(300, b"{}")}):
            run = self.run_setup()
        self.assertBox(run, http_status_message(300))

    def check_accepted_status(self, status):
        # The manifest is taken: with no members the run goes on with the defaults
        # and asks for the default installer, which this host does not have.
        with HttpsHost({MANIFEST_PATH: Reply(status, b"{}")}) as host:
            run = self.run_setup()
        self.assertEqual([MANIFEST_PATH, DEFAULT_INSTALLER_PATH], host.requests, run.describe())
        self.assertBox(run, http_status_message(404))

    def test_http_206_accepted(self):
        self.check_accepted_status(206)

    def test_http_299_accepted(self):
        self.check_accepted_status(299)

    def test_redirect_to_mirror_is_followed(self):
        routes = {
            MANIFEST_PATH: Reply.redirect(f"https://{MIRROR_HOST}/other.json", 302),
            "/other.json": Reply(200, b"{}"),
        }
        with HttpsHost(routes) as host:
            run = self.run_setup()
        seen = [(r.host, r.path) for r in host.log]
        self.assertEqual([(DOWNLOAD_HOST, MANIFEST_PATH), (MIRROR_HOST, "/other.json"),
                          (DOWNLOAD_HOST, DEFAULT_INSTALLER_PATH)], seen, run.describe())
        self.assertBox(run, http_status_message(404))

    def test_redirect_to_plain_http_is_refused(self):
        routes = {MANIFEST_PATH: Reply.redirect(f"http://{DOWNLOAD_HOST}{MANIFEST_PATH}", 302)}
        with HttpsHost(routes) as host:
            run = self.run_setup()
        self.assertBox(run, READ_FAILED)
        self.assertEqual([], host.plain_requests, run.describe())

    def test_close_while_manifest_is_read(self):
        # The host sends the headers and holds the body; then the window is closed,
        # as a user would while the manifest is on its way. The close waits in the
        # queue while the program blocks for the body, and the read loop's next pump
        # ends the run.
        closed = threading.Event()
        close_file = Path(tempfile.mkdtemp(prefix="close-")) / "close"
        routes = {MANIFEST_PATH: Reply(200, b"{}", hold_body=closed)}

        def on_event(event, values):
            if event == "close":
                closed.set()

        with HttpsHost(routes) as host:
            threading.Thread(target=lambda: host.wait_headers_sent(MANIFEST_PATH, timeout=30)
                             and close_file.touch(), daemon=True).start()
            run = self.run_setup(close_file=close_file, on_event=on_event)
        shutil.rmtree(close_file.parent, ignore_errors=True)
        self.assertTrue(run.close_posted, run.describe())
        self.assertEqual([MANIFEST_PATH], host.requests, run.describe())
        self.assertEqual(MANIFEST_TITLE, run.states[-1].title, run.describe())
        self.assertBox(run, CANCELLED)


if __name__ == "__main__":
    unittest.main(verbosity=2)
