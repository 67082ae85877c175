import tempfile
import unittest
from pathlib import Path
from unittest import mock

from units.helpers import make_tree

from releasing.publish import UsageError, parse, run
from releasing.refusal import Refused


class CommandLine(unittest.TestCase):
    def test_store_options_apply_to_the_s3_target_before_them(self):
        options = parse(["--tree", "t", "--to", "s3://a", "--s3-endpoint", "http://127.0.0.1:1", "--to", "/srv/w",
                         "--to", "s3://b/p", "--s3-profile", "x", "--abort-uploads-older-than", "3600"])
        self.assertEqual([["s3://a", {"endpoint": "http://127.0.0.1:1"}], ["/srv/w", {}], ["s3://b/p", {"profile": "x"}]],
                         options.targets)
        self.assertEqual(3600, options.abort_older_than)

    def test_wrong_usage(self):
        for arguments in (["--to", "x"], ["--tree", "t"], ["--tree", "t", "--to", "/w", "--s3-region", "r"],
                          ["--tree", "t", "--to", "s3://a", "--s3-region", "r", "--s3-region", "s"],
                          ["--tree", "t", "--to", "x", "--purge-command", "curl x"],
                          ["--tree", "t", "--to", "x", "--purge-timeout", "-1"], ["--tree"], ["--bogus"]):
            with self.subTest(arguments), self.assertRaises(UsageError):
                parse(arguments)


class Order(unittest.TestCase):
    def test_a_refusal_at_the_second_target_leaves_the_first_untouched(self):
        tree = make_tree()
        first, second = Path(tempfile.mkdtemp()), Path(tempfile.mkdtemp())
        (second / "downloads/desktop").mkdir(parents=True)
        (second / "downloads/desktop/kestrova-1.0.0-win-x64.exe").write_bytes(b"MZ published before")
        with mock.patch("releasing.publish.say"), self.assertRaisesRegex(Refused, "holds other bytes"):
            run(parse(["--tree", str(tree), "--to", str(first), "--to", str(second), "--no-live-check"]))
        self.assertEqual([], list(first.iterdir()))

    def test_every_target_gets_the_installers_before_any_gets_the_manifest(self):
        tree = make_tree()
        first, second = Path(tempfile.mkdtemp()), Path(tempfile.mkdtemp())
        seen = []

        def say(line):
            if line.startswith("  uploaded"):
                seen.append((line.split()[1], "second" if str(second) in line else "first"))
        with mock.patch("releasing.publish.say", say), mock.patch("releasing.rsync_target.RsyncTarget.upload",
                                                                  autospec=True, side_effect=None) as upload:
            upload.side_effect = lambda target, what, files, create_only=False, progress=None: [
                say(f"  uploaded {f.path} {target.name}") for f in files] and []
            with mock.patch("releasing.rsync_target.RsyncTarget.read_back"):
                run(parse(["--tree", str(tree), "--to", str(first), "--to", str(second), "--no-live-check"]))
        self.assertEqual(["downloads/desktop/kestrova-1.0.0-win-x64.exe"] * 2 +
                         ["downloads/desktop/kestrova-win-x64.json"] * 2, [path for path, _ in seen[:4]])
