"""Crafted upload trees for the release modules' tests."""

import hashlib
import os
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[3] / "scripts"))

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


def silent(_line):
    pass


os.umask(0o022)
