"""End-to-end: the setup fetches its manifest from the local download host.

Each test runs the real KestrovaSetup.exe under Wine with ui_probe.exe watching
and checks what the user sees (window caption, status lines, message boxes) and
that the program exits with status 0."""

import threading
import unittest

from harness import CAPTION, Box, SetupTestCase, State
from https_host import DOWNLOAD_HOST, MANIFEST_PATH, MIRROR_HOST, HttpsHost, Reply

SEND_FAILED = "Download-Request konnte nicht gesendet werden"
READ_FAILED = "Download-Antwort konnte nicht gelesen werden"
CANCELLED = "Abgebrochen"
MANIFEST_TITLE = "Lade Installationsmanifest"


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
        # The manifest stage takes the answer; what the run does with an empty
        # manifest afterwards is up to the later stages.
        with HttpsHost({MANIFEST_PATH: Reply(status, b"{}")}) as host:
            run = self.run_setup()
        self.assertEqual(MANIFEST_PATH, host.requests[0] if host.requests else None, run.describe())
        self.assertNotIn(http_status_message(status), run.box_texts(), run.describe())
        self.assertEqual(0, run.exit_code, run.describe())
        return run

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
        self.assertEqual([(DOWNLOAD_HOST, MANIFEST_PATH), (MIRROR_HOST, "/other.json")], seen[:2],
                         run.describe())
        self.assertNotIn(http_status_message(302), run.box_texts(), run.describe())
        self.assertEqual(0, run.exit_code, run.describe())

    def test_redirect_to_plain_http_is_refused(self):
        routes = {MANIFEST_PATH: Reply.redirect(f"http://{DOWNLOAD_HOST}{MANIFEST_PATH}", 302)}
        with HttpsHost(routes) as host:
            run = self.run_setup()
        self.assertBox(run, READ_FAILED)
        self.assertEqual([], host.plain_requests, run.describe())

    def test_close_while_manifest_is_loading(self):
        # The probe posts WM_CLOSE as soon as the manifest title shows (like a
        # click on [x] then). The reply's headers go out at once and its body
        # waits until the close is posted, so however far the program has got
        # with the request by then, the close lands before the manifest is in.
        closed = threading.Event()
        routes = {MANIFEST_PATH: Reply(200, b"{}", hold_body=closed)}

        def on_event(event, values):
            if event == "close":
                closed.set()

        with HttpsHost(routes):
            run = self.run_setup(close_when_title=MANIFEST_TITLE, on_event=on_event)
        self.assertTrue(run.close_posted, run.describe())
        self.assertBox(run, CANCELLED)

if __name__ == "__main__":
    unittest.main(verbosity=2)
