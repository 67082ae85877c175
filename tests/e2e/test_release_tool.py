"""End-to-end: kestrova-release.exe, the release engineers' console program, under
Wine as scripts/release runs it. It writes a manifest only when the setup's own
reader and policy read it back as intended, and `check` reports what a client
makes of a manifest (a file, or the live host over HTTPS) and of an installer (a
file, or the download from the manifest's url).

The installers are sparse files: the policy wants at least 100000000 bytes, and
nothing here runs them."""

import hashlib
import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "scripts" / "rehearsal"))  # harness, nginx_host
import harness
from harness import windows_path
from https_host import DOWNLOAD_HOST, MANIFEST_PATH
from nginx_host import NginxHost
from setup_test_case import SetupTestCase

SIZE = 100_000_000  # the smallest size the policy accepts
DESKTOP = f"https://{DOWNLOAD_HOST}/downloads/desktop/"
INSTALLER_NAME = "kestrova-4.0.0-win-x64.exe"
INSTALLER_URL = DESKTOP + INSTALLER_NAME
TOOL_TIMEOUT = 120.0
USAGE_START = "usage: kestrova-release manifest --installer FILE"


def release_exe():
    return Path(os.environ.get("KESTROVA_RELEASE_EXE", harness.BUILD / "kestrova-release.exe"))


def sparse_file(path, size, mark=b""):
    """size bytes of zeros with mark at the end; returns its SHA-256."""
    with open(path, "wb") as f:
        f.truncate(size - len(mark))
        f.seek(size - len(mark))
        f.write(mark)
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        while block := f.read(1 << 20):
            digest.update(block)
    return digest.hexdigest()


def reported(stdout):
    """check's 'name: value' lines as a dict."""
    return dict(line.split(": ", 1) if ": " in line else (line.rstrip(":"), "")
                for line in stdout.splitlines())


class ReleaseTool(SetupTestCase):

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.scratch = Path(tempfile.mkdtemp(prefix="release-tool-", dir=os.environ.get("KESTROVA_SANDBOX_DIR")))
        cls.installer = cls.scratch / INSTALLER_NAME
        cls.digest = sparse_file(cls.installer, SIZE)
        cls.other = cls.scratch / "kestrova-other.exe"
        cls.other_size = 123_456_789
        cls.other_digest = sparse_file(cls.other, cls.other_size, b"other")
        cls.same_size = cls.scratch / "kestrova-same-size.exe"
        cls.same_size_digest = sparse_file(cls.same_size, SIZE, b"x")
        cls.small = cls.scratch / "kestrova-small.exe"
        cls.small.write_bytes(bytes(1000))

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.scratch, ignore_errors=True)
        super().tearDownClass()

    def setUp(self):
        self.dir = Path(tempfile.mkdtemp(dir=self.scratch))
        self.addCleanup(shutil.rmtree, self.dir, True)

    def tool(self, *args):
        """Runs kestrova-release.exe; returns (exit status, stdout, stderr)."""
        done = subprocess.run(["wine", str(release_exe()), *map(str, args)], stdin=subprocess.DEVNULL,
                              capture_output=True, timeout=TOOL_TIMEOUT)
        return done.returncode, done.stdout.decode("utf-8"), done.stderr.decode("utf-8")

    def manifest(self, installer=None, url=INSTALLER_URL, version="4.0.0", file_name=None, out=None):
        args = ["manifest", "--installer", windows_path(installer or self.installer), "--url", url,
                "--version", version]
        if file_name is not None:
            args += ["--file-name", file_name]
        if out is not None:
            args += ["--out", windows_path(out)]
        return self.tool(*args)

    def assertFailed(self, result, start):
        """Exit status 1 and one line on stderr that starts with `start` (the member)."""
        code, _, err = result
        self.assertEqual(1, code, result)
        self.assertEqual(1, len(err.splitlines()), result)
        self.assertTrue(err.startswith("kestrova-release: " + start), result)

    # --- manifest: what is written is what every client reads --------------------

    def test_manifest_round_trips(self):
        cases = [
            dict(),  # the file name is the installer's own
            dict(installer=self.other, version="4.1.0 beta 2 (Übersetzung)",
                 url="https://DOWNLOAD.Kestrova.Example:443/downloads/desktop/kestrova-4.1.0-beta.2-win-x64.exe?channel=beta",
                 file_name="Kestrova 4.1.0 Beta (2) ü.exe"),
            dict(url=DESKTOP + "Kestrova-2024.12-win-x64.exe", version="2024.12.08+build.7",
                 file_name="kestrova-setup.exe", stdout=True),
        ]
        for case in cases:
            with self.subTest(**{k: str(v) for k, v in case.items()}):
                installer = case.get("installer", self.installer)
                digest, size = ((self.other_digest, self.other_size) if installer == self.other
                                else (self.digest, SIZE))
                intended = {"url": case.get("url", INSTALLER_URL),
                            "fileName": case.get("file_name", installer.name),
                            "version": case.get("version", "4.0.0"), "sha256": digest, "size": size}
                out = self.dir / "kestrova-win-x64.json"
                args = dict(installer=installer, url=intended["url"], version=intended["version"],
                            file_name=case.get("file_name"))
                if case.get("stdout"):
                    code, text, err = self.manifest(**args)
                    out.write_text(text, encoding="utf-8")
                else:
                    code, _, err = self.manifest(out=out, **args)
                self.assertEqual((0, ""), (code, err))
                raw = out.read_bytes()
                self.assertFalse(raw.startswith(b"\xef\xbb\xbf") or b"\r" in raw, raw)
                self.assertEqual(7, len(raw.splitlines()), raw)  # braces and one member a line
                self.assertEqual(intended, json.loads(raw.decode("utf-8")))

                code, text, err = self.tool("check", "--manifest", windows_path(out),
                                            "--installer", windows_path(installer))
                self.assertEqual((0, ""), (code, err), text)
                seen = reported(text)
                self.assertEqual({k: str(v) for k, v in intended.items()},
                                 {k: seen.get(k) for k in intended}, text)
                self.assertEqual(intended["fileName"], seen["file name after the policy"], text)
                self.assertIn("verified", seen, text)
                self.assertEqual(sorted(p.name for p in self.dir.iterdir()), [out.name])

    def test_manifest_refusals(self):
        small = dict(installer=self.small)  # refused for its size, unless something before that
        cases = [
            ("size", "size: below the plausible minimum", small),
            ("url-http", "url: the client's policy accepts only https",
             dict(small, url=f"http://{DOWNLOAD_HOST}/downloads/desktop/{INSTALLER_NAME}")),
            ("url-other-host", "url: the client's policy accepts only https",
             dict(small, url=f"https://mirror.kestrova.example/downloads/desktop/{INSTALLER_NAME}")),
            ("url-outside-folder", "url: the client's policy accepts only a path in the download folder",
             dict(small, url=f"https://{DOWNLOAD_HOST}/downloads/{INSTALLER_NAME}")),
            ("url-not-exe", "url: the client's policy accepts only a path in the download folder",
             dict(small, url=DESKTOP + "kestrova-4.0.0-win-x64.msi")),
            ("url-dot-segments", "url: the client's policy accepts only a path in the download folder",
             dict(small, url=DESKTOP + "kestrova-4/../../other/kestrova-4.exe")),
            ("url-quote", "url: contains a double quote", dict(small, url=DESKTOP + 'kestrova-"4".exe')),
            ("file-name-dots", "fileName: the client's policy would replace", dict(file_name="kestrova-4..exe")),
            ("file-name-empty", "fileName: empty", dict(small, file_name="")),
            ("file-name-slash", "fileName: contains a path separator", dict(small, file_name="sub/kestrova.exe")),
            ("file-name-backslash", "fileName: contains a path separator",
             dict(small, file_name="sub\\kestrova.exe")),
            ("file-name-colon", "fileName: contains a colon", dict(small, file_name="C:kestrova.exe")),
            ("file-name-star", "fileName: contains \"*\"", dict(small, file_name="kestrova*.exe")),
            ("version-quote", "version: contains a double quote", dict(small, version='4.0 "beta"')),
            ("version-backslash", "version: contains a backslash", dict(small, version="4.0\\beta")),
            ("version-control", "version: contains the control character 0x09", dict(small, version="4.0\tbeta")),
            ("version-empty", "version: empty", dict(small, version="")),
            ("version-dots", "version: contains \"..\"", dict(small, version="4..0")),
        ]
        for name, start, args in cases:
            with self.subTest(name):
                out = self.dir / name / "kestrova-win-x64.json"
                out.parent.mkdir()
                self.assertFailed(self.manifest(out=out, **args), start)
                self.assertEqual([], list(out.parent.iterdir()))

    def test_usage_errors(self):
        manifest = ["manifest", "--installer", windows_path(self.small), "--url", INSTALLER_URL]
        cases = [
            [], ["publish"], manifest, manifest + ["--version"], manifest + ["--version", "4", "--colour", "x"],
            manifest + ["--version", "4", "--url", INSTALLER_URL], ["check"],
            ["check", "--manifest", "m.json", "--live"], ["check", "--live", "--installer", "x.exe", "--download"],
            ["check", "--live", "extra"],
        ]
        for args in cases:
            with self.subTest(args=args):
                code, out, err = self.tool(*args)
                self.assertEqual((2, ""), (code, out), err)
                lines = err.splitlines()
                self.assertEqual(2, len(lines), err)
                self.assertTrue(lines[0].startswith("kestrova-release: "), err)
                self.assertTrue(lines[1].startswith(USAGE_START), err)
        code, out, err = self.tool("check", "--help")
        self.assertEqual(0, code, err)
        self.assertEqual(1, len(out.splitlines()), out)
        self.assertTrue(out.startswith(USAGE_START), out)

    # --- check: what a client makes of a manifest and an installer ----------------

    def test_check_reports_what_the_client_reads(self):
        manifest = self.dir / "kestrova-win-x64.json"
        # Nothing usable: every member the client reads falls back to its default.
        manifest.write_text("<html>not found</html>")
        code, out, err = self.tool("check", "--manifest", windows_path(manifest))
        self.assertEqual((0, ""), (code, err), out)
        seen = reported(out)
        for member in ("url", "fileName", "sha256", "size"):
            self.assertIn(member + " (default)", seen, out)
        self.assertEqual("764840193", seen["size (default)"], out)

        # The digest is lower-cased, a backslash escapes the next byte, and ".." in the
        # file name makes the policy replace it.
        manifest.write_text('{"url": "%s", "fileName": "a\\"..b.exe", "sha256": "%s", "size": %d}'
                            % (INSTALLER_URL, self.digest.upper(), SIZE))
        code, out, err = self.tool("check", "--manifest", windows_path(manifest))
        self.assertEqual((0, ""), (code, err), out)
        seen = reported(out)
        self.assertEqual((self.digest, 'a"..b.exe'), (seen["sha256"], seen["fileName"]), out)
        self.assertEqual("Kestrova-3.2.0-win-x64.exe",
                         seen['file name after the policy (replaced, since it is empty or contains "..")'], out)

        # The first "size" anywhere counts, even inside another member.
        manifest.write_text(json.dumps({"notes": {"size": 5}, "url": INSTALLER_URL, "sha256": self.digest,
                                        "size": SIZE}))
        code, out, err = self.tool("check", "--manifest", windows_path(manifest))
        self.assertEqual("5", reported(out)["size"], out)
        self.assertFailed((code, out, err), 'size: below the plausible minimum of 100000000 bytes')
        self.assertIn('"Manifest-Groesse ist unplausibel"', err)

    def test_check_installer_that_does_not_match(self):
        manifest = self.dir / "kestrova-win-x64.json"
        self.assertEqual(0, self.manifest(out=manifest)[0])
        code, out, err = self.tool("check", "--manifest", windows_path(manifest),
                                   "--installer", windows_path(self.other))
        self.assertFailed((code, out, err), f"size: the installer has {self.other_size} bytes but the "
                                            f"manifest says {SIZE}")
        code, out, err = self.tool("check", "--manifest", windows_path(manifest),
                                   "--installer", windows_path(self.same_size))
        self.assertFailed((code, out, err), f"sha256: the installer's SHA-256 is {self.same_size_digest} "
                                            f"but the manifest says {self.digest}")

    # --- check --live --download: the release as the host serves it --------------

    def temporary_download(self, out):
        """The Linux path of the temporary file the download went into."""
        line = next(l for l in out.splitlines() if l.startswith("download: "))
        path = line.rsplit(" into ", 1)[1]
        self.assertTrue(path.upper().startswith("C:\\"), out)
        return Path(os.environ["WINEPREFIX"]) / "drive_c" / path[3:].replace("\\", "/")

    def test_check_live_download(self):
        site = self.dir / "www"
        folder = site / "downloads" / "desktop"
        folder.mkdir(parents=True)
        for installer in (self.installer, self.small):
            os.link(installer, folder / installer.name)
        manifest = folder / "kestrova-win-x64.json"
        small_url = DESKTOP + self.small.name
        with NginxHost(site) as host:
            self.assertFailed(self.tool("check", "--live"), "the host answered with HTTP status 404")

            self.assertEqual(0, self.manifest(out=manifest)[0])
            code, out, err = self.tool("check", "--live", "--download")
            self.assertEqual((0, ""), (code, err), out)
            self.assertEqual(INSTALLER_URL, reported(out)["url"], out)
            self.assertIn("verified", reported(out), out)
            self.assertFalse(self.temporary_download(out).exists(), out)

            manifest.write_text(json.dumps({"url": INSTALLER_URL, "sha256": self.same_size_digest, "size": SIZE}))
            code, out, err = self.tool("check", "--live", "--download")
            self.assertFailed((code, out, err), f"sha256: the download's SHA-256 is {self.digest} "
                                                f"but the manifest says {self.same_size_digest}")
            self.assertFalse(self.temporary_download(out).exists(), out)

            manifest.write_text(json.dumps({"url": small_url, "sha256": self.digest, "size": SIZE}))
            code, out, err = self.tool("check", "--live", "--download")
            self.assertFailed((code, out, err), f"size: the download has 1000 bytes but the manifest says {SIZE}")
            self.assertFalse(self.temporary_download(out).exists(), out)

            requested = host.requests()
        installer_path = "/downloads/desktop/" + INSTALLER_NAME
        self.assertEqual([("GET", MANIFEST_PATH, "404"),
                          ("GET", MANIFEST_PATH, "200"), ("GET", installer_path, "200"),
                          ("GET", MANIFEST_PATH, "200"), ("GET", installer_path, "200"),
                          ("GET", MANIFEST_PATH, "200"), ("GET", "/downloads/desktop/" + self.small.name, "200")],
                         requested)


if __name__ == "__main__":
    unittest.main(verbosity=2)
