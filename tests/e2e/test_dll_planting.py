"""End-to-end: a look-alike winhttp.dll, bcrypt.dll and comctl32.dll beside the
program, with Wine told to prefer such DLLs over its own, are never loaded, and the
run goes exactly as without them. A plain loader in the same folder does load them,
which shows the test can fail."""

import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "scripts" / "rehearsal"))  # harness, nginx_host
from harness import BUILD, Box, default_env, windows_path
from https_host import MANIFEST_PATH, HttpsHost, Reply
from setup_test_case import SetupTestCase

PLANTED = BUILD / "tests" / "planted"
NAMES = ["winhttp", "bcrypt", "comctl32"]
INSTALLER_SIZE = 100000000
DEMO_IMAGE = Path(__file__).resolve().parents[1] / "release" / "demo_installer.exe"
STARTED = Box("information", "Der Kestrova Hauptinstaller wurde gestartet.")


class DllPlanting(SetupTestCase):

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.scratch = Path(tempfile.mkdtemp(prefix="planting-"))
        # The folder a browser downloaded the program into, with the look-alikes.
        cls.downloads = cls.scratch / "Downloads"
        cls.downloads.mkdir()
        shutil.copy(BUILD / "KestrovaSetup.exe", cls.downloads)
        shutil.copy(PLANTED / "unprotected_loader.exe", cls.downloads)
        for name in NAMES:
            shutil.copy(PLANTED / f"{name}.dll", cls.downloads)
        # A real program of the smallest plausible size, cached already, so the run
        # uses WinHTTP and TLS, CNG hashing, the progress bar and the shell.
        installer = DEMO_IMAGE.read_bytes()
        installer += bytes(INSTALLER_SIZE - len(installer))
        cls.installer = installer
        cls.manifest = (
            '{"url": "https://download.kestrova.example/downloads/desktop/kestrova-demo.exe",'
            f' "fileName": "kestrova-demo.exe", "sha256": "{hashlib.sha256(installer).hexdigest()}",'
            f' "size": {INSTALLER_SIZE}}}').encode()

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.scratch, ignore_errors=True)

    def planted_env(self, marks):
        """What the planted runs add to the environment: Wine prefers DLLs found
        beside the program over its own for these names (as Windows does for DLLs
        outside its KnownDLLs), and the look-alikes know where to leave their marks."""
        return {"WINEDLLOVERRIDES": ",".join(NAMES) + "=n,b", "KESTROVA_PLANTED_MARKS": windows_path(marks)}

    def full_run(self, name, exe, extra_env):
        local = self.scratch / name / "LocalAppData"
        cache = local / "Kestrova" / "InstallerCache"
        cache.mkdir(parents=True)
        (cache / "kestrova-demo.exe").write_bytes(self.installer)
        env = default_env(windows_path(local))
        env.update(extra_env)
        env["KESTROVA_DEMO_MARK"] = windows_path(self.scratch / name / "demo-ran")
        with HttpsHost({MANIFEST_PATH: Reply(200, self.manifest)}):
            return self.run_setup(name=name, exe=exe, env=env)

    def test_the_program_loads_none_of_them(self):
        marks = self.scratch / "marks-program"
        marks.mkdir()
        planted = self.full_run("planted", self.downloads / "KestrovaSetup.exe", self.planted_env(marks))
        clean = self.full_run("clean", BUILD / "KestrovaSetup.exe", {})
        self.assertEqual([], sorted(p.name for p in marks.iterdir()), planted.describe())
        self.assertEqual([STARTED], planted.boxes, planted.describe())
        self.assertEqual(0, planted.exit_code, planted.describe())
        self.assertEqual(clean.states, planted.states, planted.describe() + "\n" + clean.describe())
        self.assertEqual(clean.boxes, planted.boxes)

    def test_a_loader_without_protection_loads_them(self):
        marks = self.scratch / "marks-loader"
        marks.mkdir()
        env = dict(os.environ, **self.planted_env(marks))
        loader = subprocess.run(["wine", str(self.downloads / "unprotected_loader.exe")]
                                + [f"{name}.dll" for name in NAMES],
                                cwd=self.scratch, env=env, stdin=subprocess.DEVNULL,
                                capture_output=True, timeout=60)
        self.assertEqual(0, loader.returncode, loader.stdout + loader.stderr)
        deadline = time.monotonic() + 5
        while len(list(marks.iterdir())) < len(NAMES) and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertEqual(sorted(f"{name}.loaded" for name in NAMES), sorted(p.name for p in marks.iterdir()))


if __name__ == "__main__":
    unittest.main(verbosity=2)
