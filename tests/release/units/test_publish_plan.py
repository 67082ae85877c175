import unittest
from unittest import mock

from units.helpers import digest, make_tree

from releasing import tree as tree_module
from releasing.publish_plan import DIFFERENT, IDENTICAL, LINK, NEW, TargetPlan, Tree, checked_installers
from releasing.refusal import Refused


class TreeOrder(unittest.TestCase):
    def test_installers_then_manifest_then_setup_rest_and_sums_last(self):
        tree = Tree(make_tree())
        self.assertEqual(["downloads/desktop/kestrova-1.0.0-win-x64.exe", "downloads/desktop/kestrova-win-x64.json",
                          "KestrovaSetup.exe", "BUILDINFO", "SHA256SUMS"], [f.path for f in tree.all])
        self.assertEqual(["application/json", "no-cache"], list(tree.manifest.headers))
        self.assertEqual("public, max-age=31536000, immutable", tree.installers[0].headers[1])
        self.assertEqual("public, max-age=300", tree.rest[0].headers[1])
        self.assertEqual("downloads/desktop/kestrova-1.0.0-win-x64.exe", tree.served)

    def test_the_digests_used_are_those_checked_even_when_sha256sums_changes_after(self):
        root, checked = make_tree(), tree_module.file_sha256
        sums = root / "SHA256SUMS"

        def check_then_rewrite(path):  # SHA256SUMS rewritten once each digest in it is checked
            sums.write_text(sums.read_text().replace(checked(path), digest(b"swapped")))
            return checked(path)
        with mock.patch.object(tree_module, "file_sha256", check_then_rewrite):
            tree = Tree(root)
        self.assertEqual(digest(b"MZ installer"), tree.installers[0].sha256)
        self.assertNotEqual(digest(sums.read_bytes()), tree.rest[-1].sha256)

    def test_refused_trees(self):
        for files, words in [
                ({"KestrovaSetup.exe": b"x"}, "has no downloads/desktop/kestrova-win-x64.json"),
                ({"downloads/desktop/kestrova-win-x64.json": b"{}"}, "has no installer"),
                ({"downloads/desktop/a.exe": b"x", "downloads/desktop/kestrova-win-x64.json":
                  b'{"url": "https://Evil/../x"}'}, "not a lower-case host name"),
                ({"downloads/desktop/a.exe": b"x", "downloads/desktop/kestrova-win-x64.json": b"[1]"},
                 "not a JSON object")]:
            with self.subTest(words), self.assertRaisesRegex(Refused, words):
                Tree(make_tree(files))

    def test_a_served_installer_missing_from_the_tree(self):
        tree = Tree(make_tree({"downloads/desktop/other.exe": b"x", "downloads/desktop/kestrova-win-x64.json":
                               b'{"url": "https://h.example/downloads/desktop/gone.exe"}'}))
        with self.assertRaisesRegex(Refused, "points at downloads/desktop/gone.exe"):
            tree.require_served()


class Judging(unittest.TestCase):
    def test_a_published_installer_with_other_bytes_is_refused_a_manifest_replaced(self):
        tree = Tree(make_tree())
        states = {f.path: NEW for f in tree.all}
        states[tree.manifest.path] = DIFFERENT
        plan = TargetPlan("t", tree, states, lambda f: "?")
        self.assertIsNone(plan.refusal)
        self.assertIn(tree.manifest.path, plan.changed)
        states[tree.installers[0].path] = DIFFERENT
        plan = TargetPlan("t", tree, states, lambda f: "abc")
        self.assertRegex(plan.refusal, "holds other bytes \\(SHA-256 abc\\)")
        self.assertEqual([], plan.new_installers)
        states[tree.installers[0].path] = LINK
        self.assertRegex(TargetPlan("t", tree, states, None).refusal, "is a symbolic link")

    def test_checked_installers_new_anywhere_then_the_served_one(self):
        tree = Tree(make_tree({"downloads/desktop/kestrova-1.0.0-win-x64.exe": b"a",
                               "downloads/desktop/kestrova-0.9-win-x64.exe": b"b",
                               "downloads/desktop/notes.txt": b"c",
                               "downloads/desktop/kestrova-win-x64.json":
                               b'{"url": "https://h.example/downloads/desktop/kestrova-1.0.0-win-x64.exe"}'}))
        one = {f.path: IDENTICAL for f in tree.all}
        other = dict(one, **{"downloads/desktop/kestrova-0.9-win-x64.exe": NEW, "downloads/desktop/notes.txt": NEW})
        plans = [TargetPlan("a", tree, one, None), TargetPlan("b", tree, other, None)]
        self.assertEqual(["downloads/desktop/kestrova-0.9-win-x64.exe", "downloads/desktop/kestrova-1.0.0-win-x64.exe"],
                         [f.path for f in checked_installers(tree, plans)])
