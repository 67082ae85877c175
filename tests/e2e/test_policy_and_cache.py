"""End-to-end: the manifest's policy and the installer cache.

A refused manifest ends the run before anything is written; an accepted one (or
none usable, which means the compiled-in defaults) leads to the cache folder
under LOCALAPPDATA, where a verified copy is started without downloading and a
wrong one is replaced by a download. Where a run only has to show that it got
past the policy, the host answers the installer with 404, which ends it quickly."""

import hashlib
import json
import os
import shutil
import signal
import sys
import tempfile
import time
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "scripts" / "rehearsal"))  # harness, nginx_host
from harness import REPO, State, default_env, windows_path, work_root
from https_host import DOWNLOAD_HOST, MANIFEST_PATH, HttpsHost, Reply
from setup_test_case import SetupTestCase

BAD_SOURCE = "Manifest verweist nicht auf eine erlaubte HTTPS-Quelle"
BAD_INSTALLER = "Manifest verweist nicht auf einen erlaubten Kestrova-Installer"
BAD_DIGEST = "Manifest enthaelt keinen gueltigen SHA-256"
BAD_SIZE = "Manifest-Groesse ist unplausibel"
INSTALLER_404 = "Download-Server meldet HTTP 404"
STARTED = "Der Kestrova Hauptinstaller wurde gestartet."

DESKTOP = "/downloads/desktop/"
DEFAULT_PATH = DESKTOP + "Kestrova-3.2.0-win-x64.exe"
INSTALLER_PATH = DESKTOP + "kestrova-3.2.1-win-x64.exe"
INSTALLER_URL = f"https://{DOWNLOAD_HOST}{INSTALLER_PATH}"
SOME_DIGEST = "0123456789abcdef" * 4

# A cached copy: the demo installer padded with zeros to the smallest size the
# policy accepts, under a file name of the manifest's own (not the default one).
CACHED_NAME = "kestrova-cached-copy.exe"
CACHED_SIZE = 100000000
DEMO_INSTALLER = REPO / "tests" / "release" / "demo_installer.exe"

MANIFEST_STATE = State("Lade Installationsmanifest", f"Verbinde mit {DOWNLOAD_HOST} ...", 5)
HASHING = State("Pruefe Download", "SHA-256 wird berechnet ...", 94)
CACHE_VERIFIED = State("Installer bereits vorhanden", "Cache wurde erfolgreich verifiziert.", 96)
STARTING = State("Starte Hauptinstaller", "Windows oeffnet jetzt den geprueften Kestrova Installer.", 100)


def manifest(url=INSTALLER_URL, sha256=SOME_DIGEST, size=764840193, **extra):
    return Reply.text(json.dumps({"url": url, "sha256": sha256, "size": size, **extra}))


def cache_dir(local_app_data):
    return Path(local_app_data) / "Kestrova" / "InstallerCache"


class PolicyAndCache(SetupTestCase):

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        work_root().mkdir(parents=True, exist_ok=True)
        cls.scratch = Path(tempfile.mkdtemp(prefix="policy-and-cache-", dir=work_root()))
        cls.cached_copy = cls.scratch / CACHED_NAME
        image = DEMO_INSTALLER.read_bytes()
        padded = image + bytes(CACHED_SIZE - len(image))
        cls.cached_copy.write_bytes(padded)
        cls.cached_digest = hashlib.sha256(padded).hexdigest()

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.scratch, ignore_errors=True)

    def run_kept(self, name=None, **kwargs):
        """A run whose work directory stays for the checks, removed after the test."""
        run = self.run_setup(name=name, keep_work_dir=True, **kwargs)
        self.addCleanup(shutil.rmtree, run.work_dir, True)
        return run

    def run_with_cache(self, name, digest, size=CACHED_SIZE, env_extra=None):
        """A run whose LOCALAPPDATA already holds the padded demo installer."""
        local_app_data = self.scratch / name
        self.addCleanup(shutil.rmtree, local_app_data, True)
        cache_dir(local_app_data).mkdir(parents=True)
        shutil.copyfile(self.cached_copy, cache_dir(local_app_data) / CACHED_NAME)
        env = default_env(windows_path(local_app_data))
        env.update(env_extra or {})
        # Any other path, the installer's included, gets 404.
        with HttpsHost({MANIFEST_PATH: manifest(sha256=digest, size=size, fileName=CACHED_NAME)}) as host:
            run = self.run_setup(name=f"PolicyAndCache.{name}", env=env)
        return run, host

    # --- the policy refuses: one box, nothing written, nothing downloaded ----

    def check_refused(self, case, reply, message):
        with self.subTest(case), HttpsHost({MANIFEST_PATH: reply}) as host:
            run = self.run_kept(name=f"PolicyAndCache.refused-{case}")
            self.assertBox(run, message)
            self.assertFalse((run.local_app_data / "Kestrova").exists(), run.describe())
            self.assertEqual([MANIFEST_PATH], host.requests, run.describe())

    def test_refused_sources(self):
        self.check_refused("other-host", manifest(f"https://mirror.kestrova.example{INSTALLER_PATH}"),
                           BAD_SOURCE)
        self.check_refused("plain-http", manifest(f"http://{DOWNLOAD_HOST}{INSTALLER_PATH}"), BAD_SOURCE)
        self.check_refused("host-suffix", manifest(f"https://evil-{DOWNLOAD_HOST}{INSTALLER_PATH}"),
                           BAD_SOURCE)

    def test_refused_contents(self):
        self.check_refused("path", manifest(f"https://{DOWNLOAD_HOST}/downloads/kestrova-3.2.1-win-x64.exe"),
                           BAD_INSTALLER)
        self.check_refused("digest-63", manifest(sha256=SOME_DIGEST[:63]), BAD_DIGEST)
        self.check_refused("size", manifest(size=99999999), BAD_SIZE)

    # --- the policy lets it through: the installer is asked for --------------

    def check_passes(self, case, reply, installer_path):
        with self.subTest(case), HttpsHost({MANIFEST_PATH: reply}) as host:
            run = self.run_kept(name=f"PolicyAndCache.passes-{case}")
            self.assertBox(run, INSTALLER_404)
            self.assertEqual([MANIFEST_PATH, installer_path], host.requests, run.describe())
            self.assertTrue(cache_dir(run.local_app_data).is_dir(), run.describe())

    def test_unusable_manifest_means_defaults(self):
        self.check_passes("empty", Reply(200, b""), DEFAULT_PATH)
        self.check_passes("html", Reply.text("<!DOCTYPE html><html><body><h1>Kestrova</h1></body></html>",
                                             content_type="text/html"), DEFAULT_PATH)
        self.check_passes("no-members", Reply.text('{"version": "3.2.0", "channel": "stable"}'),
                          DEFAULT_PATH)

    def test_accepted_variants(self):
        self.check_passes("capital-digest", manifest(sha256=SOME_DIGEST.upper()), INSTALLER_PATH)
        self.check_passes("explicit-port",
                          manifest(f"https://{DOWNLOAD_HOST}:443/downloads/desktop/kestrova-x.exe"),
                          "/downloads/desktop/kestrova-x.exe")

    # --- where the cache folder goes ------------------------------------------

    def test_cache_dir_created_level_by_level(self):
        nested = self.scratch / "a" / "b" / "c"
        self.addCleanup(shutil.rmtree, self.scratch / "a", True)
        with HttpsHost({MANIFEST_PATH: Reply.text("{}")}):
            run = self.run_kept(env=default_env(windows_path(nested)))
        self.assertBox(run, INSTALLER_404)
        self.assertTrue(cache_dir(nested).is_dir(), run.describe())

    def test_cache_dir_without_localappdata(self):
        env = dict(os.environ)
        env.pop("LOCALAPPDATA", None)
        with HttpsHost({MANIFEST_PATH: Reply.text("{}")}):
            run = self.run_kept(env=env)
        self.assertBox(run, INSTALLER_404)
        self.assertTrue(cache_dir(run.work_dir).is_dir(), run.describe())

    # --- what is found in the cache ---------------------------------------------

    def test_verified_copy_is_started_without_download(self):
        mark = self.scratch / "demo-installer-ran.txt"
        self.addCleanup(mark.unlink, missing_ok=True)
        self.addCleanup(self.wait_demo_installer_gone)
        run, host = self.run_with_cache("verified-copy", self.cached_digest,
                                        env_extra={"KESTROVA_DEMO_MARK": windows_path(mark)})
        self.assertBox(run, STARTED, "information")
        self.assertEqual([MANIFEST_STATE, HASHING, CACHE_VERIFIED, STARTING], run.states[2:],
                         run.describe())
        self.assertEqual([MANIFEST_PATH], host.requests, run.describe())
        # The demo installer leaves its mark (its own path) right after it starts,
        # and closes its window after five seconds.
        deadline = time.monotonic() + 10
        while not mark.exists() and time.monotonic() < deadline:
            time.sleep(0.1)
        self.assertTrue(mark.exists(), run.describe())
        self.assertTrue(mark.read_text().lower().endswith("\\installercache\\" + CACHED_NAME),
                        mark.read_text())

    def wait_demo_installer_gone(self, timeout=15.0):
        """The started demo installer ends by itself; it must not outlive the test."""
        def running():
            pids = []
            for pid in filter(str.isdigit, os.listdir("/proc")):
                try:
                    if CACHED_NAME.encode() in Path(f"/proc/{pid}/cmdline").read_bytes().lower():
                        pids.append(int(pid))
                except OSError:
                    pass
            return pids

        deadline = time.monotonic() + timeout
        while running() and time.monotonic() < deadline:
            time.sleep(0.2)
        left = running()
        for pid in left:
            os.kill(pid, signal.SIGKILL)
        self.assertEqual([], left, "the demo installer was still running")

    def test_cached_copy_not_accepted(self):
        # Right size, wrong digest: hashed, then replaced by a download.
        with self.subTest("wrong-digest"):
            run, host = self.run_with_cache("wrong-digest", SOME_DIGEST)
            self.assertBox(run, INSTALLER_404)
            self.assertIn(HASHING, run.states, run.describe())
            self.assertNotIn(CACHE_VERIFIED, run.states, run.describe())
            self.assertEqual([MANIFEST_PATH, INSTALLER_PATH], host.requests, run.describe())
        # Wrong size: not even hashed.
        with self.subTest("wrong-size"):
            run, host = self.run_with_cache("wrong-size", self.cached_digest, CACHED_SIZE + 1)
            self.assertBox(run, INSTALLER_404)
            self.assertNotIn(94, [s.pos for s in run.states], run.describe())
            self.assertEqual([MANIFEST_PATH, INSTALLER_PATH], host.requests, run.describe())


if __name__ == "__main__":
    unittest.main(verbosity=2)
