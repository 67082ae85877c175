"""The reference release as the download host serves it in the tests, the demo and the
benchmark: the 764 MB release written into the build tree on first use
(tests/release/make_reference_release.py), its manifest, and a site folder holding both."""

import os
import subprocess
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]

RELEASE_NAME = "Kestrova-3.2.0-win-x64.exe"
RELEASE_SIZE = 764840193


def reference_release():
    """The reference release in the build tree (written on first use), and its SHA-256."""
    path = Path(os.environ.get("KESTROVA_REFERENCE_RELEASE",
                               REPO / "build" / "mingw" / "reference-release" / RELEASE_NAME))
    digest = subprocess.run(["/usr/bin/python3", "-B", "-E", "-s", str(REPO / "tests" / "release" / "make_reference_release.py"), str(path)],
                            check=True, capture_output=True, text=True).stdout.strip()
    return path, digest


def reference_manifest(digest, **members):
    """The manifest text of the reference release; members override or add fields."""
    fields = {"url": f"https://download.kestrova.example/downloads/desktop/{RELEASE_NAME}",
              "fileName": RELEASE_NAME, "version": "3.2.0", "sha256": digest, "size": RELEASE_SIZE}
    fields.update(members)
    body = ",\n".join(f'  "{k}": {v}' if isinstance(v, int) else f'  "{k}": "{v}"' for k, v in fields.items())
    return "{\n" + body + "\n}\n"


def reference_site(root, manifest_text=None):
    """A download folder under root with the reference release and a manifest
    (by default the release's own); returns root."""
    release, digest = reference_release()
    folder = Path(root) / "downloads" / "desktop"
    folder.mkdir(parents=True, exist_ok=True)
    link = folder / RELEASE_NAME
    if link.is_symlink() or link.exists():
        link.unlink()
    link.symlink_to(release)
    text = reference_manifest(digest) if manifest_text is None else manifest_text
    (folder / "kestrova-win-x64.json").write_text(text)
    return Path(root)
