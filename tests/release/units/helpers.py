"""Crafted upload trees for the release modules' tests."""

import hashlib
import os
import subprocess
import sys
import tempfile
from pathlib import Path

CHECKS = Path(__file__).resolve().parents[3] / "scripts" / "release_checks.py"
sys.path.insert(0, str(CHECKS.parent))

MANIFEST_URL = "https://download.kestrova.example/downloads/desktop/kestrova-1.0.0-win-x64.exe"


def make_tree(files=None):
    """A temporary upload tree: {path: bytes} plus a manifest naming the installer, and
    SHA256SUMS; returns its folder (removed with the process's temporary files)."""
    root = Path(tempfile.mkdtemp(prefix="tree-"))
    files = files or {"downloads/desktop/kestrova-1.0.0-win-x64.exe": b"MZ installer",
                      "downloads/desktop/kestrova-win-x64.json": f'{{"url": "{MANIFEST_URL}"}}\n'.encode(),
                      "KestrovaSetup.exe": b"MZ setup", "BUILDINFO": b"commit: x\n"}
    for path, data in files.items():
        (root / path).parent.mkdir(parents=True, exist_ok=True)
        (root / path).write_bytes(data)
    (root / "SHA256SUMS").write_text("".join(f"{hashlib.sha256(d).hexdigest()}  {p}\n" for p, d in files.items()))
    return root


def digest(data):
    return hashlib.sha256(data).hexdigest()


def run_checks(*arguments, **options):
    """(exit status, stdout, stderr) of scripts/release_checks.py with arguments."""
    done = subprocess.run(["/usr/bin/python3", "-B", "-E", "-s", CHECKS, *map(str, arguments)], capture_output=True,
                          text=True, timeout=60, **options)
    return done.returncode, done.stdout, done.stderr


def assert_refused(test, words, *arguments, **options):
    """The check refuses with one line on stderr that holds words."""
    status, _, error = run_checks(*arguments, **options)
    test.assertEqual((1, 1), (status, len(error.splitlines())), error)
    test.assertIn(words, error)


def silent(_line):
    pass


os.umask(0o022)
