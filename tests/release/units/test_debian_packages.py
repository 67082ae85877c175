import os
import subprocess
import tempfile
import unittest
from pathlib import Path

CHECK = Path(__file__).resolve().parents[1] / "debian_packages.py"


def check(**environment):
    return subprocess.run(["/usr/bin/python3", "-B", str(CHECK)], capture_output=True, text=True, timeout=60,
                          env={**os.environ, **environment})


class DebianPackages(unittest.TestCase):
    def test_a_copy_that_hides_debians_package_is_named(self):
        folder = Path(tempfile.mkdtemp())
        (folder / "botocore").mkdir()
        (folder / "botocore" / "__init__.py").write_text("__version__ = '9.9'\n")
        done = check(PYTHONPATH=str(folder))
        self.assertEqual(1, done.returncode)
        self.assertIn(f"comes from {folder / 'botocore' / '__init__.py'}, which hides Debian's python3-botocore",
                      done.stderr)

    def test_an_osslsigncode_of_no_package_is_refused(self):
        folder = Path(tempfile.mkdtemp())
        (folder / "osslsigncode").write_text("#!/bin/sh\necho 'osslsigncode 9.9, using:'\n")
        (folder / "osslsigncode").chmod(0o755)
        done = check(PATH=f"{folder}:{os.environ['PATH']}")
        self.assertEqual(1, done.returncode)
        self.assertIn(f"{folder / 'osslsigncode'} belongs to no Debian package", done.stderr)
