import os
import unittest
from pathlib import Path

from units.helpers import assert_refused, digest, make_tree, run_checks

SETUP = f"{digest(b'MZ setup')}  KestrovaSetup.exe"


def listing(*lines):
    return lambda root: (root / "SHA256SUMS").write_text("".join(line + "\n" for line in lines))


def fifo(path):
    def make(root):
        (root / path).unlink(missing_ok=True)
        os.mkfifo(root / path)
    return make


def link_to(root):
    link = root.parent / f"{root.name}-link"
    link.symlink_to(root)
    return link


class TreeCheck(unittest.TestCase):
    def test_a_tree_as_listed_is_accepted(self):
        status, output, error = run_checks("tree", make_tree())
        self.assertEqual((0, ""), (status, error))
        self.assertEqual(["downloads/desktop/kestrova-1.0.0-win-x64.exe", "downloads/desktop/kestrova-win-x64.json",
                          "KestrovaSetup.exe", "BUILDINFO"], output.splitlines())

    def test_trees_that_would_hang_or_mislead_a_reader_are_refused(self):
        for what, change, words in [  # change(root) may return the path to check instead of root
                ("a file, not a folder", lambda root: root / "KestrovaSetup.exe", "is not a folder"),
                ("a link to a folder", link_to, "is not a folder"),
                ("a symbolic link in the tree", lambda root: (root / "notes").symlink_to("/etc/shadow"),
                 "notes is a symbolic link"),
                ("a FIFO in the tree", fifo("SHA256SUMS"), "SHA256SUMS is not a regular file (a FIFO"),
                ("a FIFO in a folder", fifo("downloads/desktop/pipe"), "downloads/desktop/pipe is not a regular file"),
                ("no SHA256SUMS", lambda root: (root / "SHA256SUMS").unlink(), "has no SHA256SUMS"),
                ("SHA256SUMS over 1 MiB", listing(SETUP + " " * (1 << 20)), "SHA256SUMS is larger than 1048576 bytes"),
                ("SHA256SUMS not in ASCII", listing(SETUP + "\u00e9"), "SHA256SUMS is not plain ASCII"),
                ("a line of another form", listing(SETUP, "0" * 63 + "  KestrovaSetup.exe"),
                 "SHA256SUMS line 2 is not '<sha256>  <path>'"),
                ("SHA256SUMS naming a path out of the tree", listing(f"{'0' * 64}  ../../dev/zero"),
                 "line 1 names ../../dev/zero, which is not a path inside the tree"),
                ("an absolute path", listing(f"{'0' * 64}  /etc/passwd"), "not a path inside the tree"),
                ("a name with a space", listing(f"{'0' * 64}  Kestrova Setup.exe"), "only letters, digits"),
                ("SHA256SUMS listing itself", listing(f"{'0' * 64}  SHA256SUMS"), "names 'SHA256SUMS'"),
                ("a file listed twice", listing(SETUP, SETUP), "SHA256SUMS lists a file twice"),
                ("a file not listed", lambda root: (root / "notes").write_text("secret\n"),
                 "notes is in the tree but not listed in SHA256SUMS"),
                ("a file listed that is not there", lambda root: (root / "BUILDINFO").unlink(),
                 "SHA256SUMS lists BUILDINFO, which the tree does not hold"),
                ("a file of another digest", lambda root: (root / "KestrovaSetup.exe").write_bytes(b"MZ other"),
                 f"KestrovaSetup.exe has SHA-256 {digest(b'MZ other')}, SHA256SUMS says {digest(b'MZ setup')}")]:
            with self.subTest(what):
                root = make_tree()
                path = change(root)
                assert_refused(self, words, "tree", path if isinstance(path, Path) else root)


if __name__ == "__main__":
    unittest.main()
