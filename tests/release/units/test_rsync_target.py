import os
import tempfile
import unittest
from pathlib import Path

from units.helpers import make_tree, silent

from releasing.publish_plan import DIFFERENT, IDENTICAL, LINK, NEW, Tree
from releasing.refusal import Refused
from releasing.rsync_target import RsyncTarget

INSTALLER = "downloads/desktop/kestrova-1.0.0-win-x64.exe"


class LocalFolder(unittest.TestCase):
    def setUp(self):
        self.tree = Tree(make_tree())
        self.www = Path(tempfile.mkdtemp(prefix="www-"))
        self.target = RsyncTarget(str(self.www))

    def test_states_by_content_and_links_never_followed(self):
        (self.www / "downloads/desktop").mkdir(parents=True)
        (self.www / INSTALLER).write_bytes(b"MZ other")
        (self.www / "KestrovaSetup.exe").write_bytes(b"MZ setup")
        (self.www / "BUILDINFO").symlink_to(self.tree.root + "/BUILDINFO")
        states = self.target.survey(self.tree)
        self.assertEqual({INSTALLER: DIFFERENT, "KestrovaSetup.exe": IDENTICAL, "BUILDINFO": LINK,
                          "downloads/desktop/kestrova-win-x64.json": NEW, "SHA256SUMS": NEW}, states)

    def test_an_installer_that_appears_with_other_bytes_is_left_and_refused(self):
        self.target.survey(self.tree)
        (self.www / "downloads/desktop").mkdir(parents=True)
        (self.www / INSTALLER).write_bytes(b"MZ raced")
        with self.assertRaisesRegex(Refused, "appeared since the comparison"):
            self.target.put_installers(self.tree.installers, silent)
        self.assertEqual(b"MZ raced", (self.www / INSTALLER).read_bytes())

    def test_upload_then_read_back_catches_bytes_changed_on_the_target(self):
        self.target.survey(self.tree)
        self.target.put_installers(self.tree.installers, silent)
        self.assertEqual(0o644, os.stat(self.www / INSTALLER).st_mode & 0o777)
        self.target.read_back(self.tree.installers, silent)
        (self.www / INSTALLER).write_bytes(b"MZ installes")  # same size, bit rot
        with self.assertRaisesRegex(Refused, "does not hold the tree's bytes"):
            self.target.read_back(self.tree.installers, silent)

    def test_a_target_that_does_not_exist_is_not_made(self):
        with self.assertRaisesRegex(Refused, "cannot read"):
            RsyncTarget(str(self.www / "nowhere")).survey(self.tree)
        self.assertFalse((self.www / "nowhere").exists())
