import unittest

import units.helpers  # noqa: F401

from releasing.publish import UsageError, parse


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
