import os
import tempfile
import time
import unittest
from unittest import mock

from units.helpers import silent

from releasing import edge_purge
from releasing.refusal import Refused


class Purge(unittest.TestCase):
    def test_url_and_path_reach_the_command_as_arguments_never_expanded(self):
        out = tempfile.mktemp()
        url = "https://h.example/a$(touch " + out + ".x)`id`;b"
        edge_purge.purge(f"printf '%s\\n' {{url}} {{path}} >{out}", url, 10, silent)
        with open(out) as f:
            self.assertEqual([url, "/a$(touch " + out + ".x)`id`;b"], f.read().splitlines())
        self.assertFalse(os.path.exists(out + ".x"))

    def test_a_failing_or_hanging_command_is_refused(self):
        with self.assertRaisesRegex(Refused, "failed \\(status 3"):
            edge_purge.purge(": {url}; exit 3", "https://h.example/x", 10, silent)
        started = time.monotonic()
        with self.assertRaisesRegex(Refused, "did not finish in 1 s"):
            edge_purge.purge("sleep 30 & wait; : {url}", "https://h.example/x", 1, silent)
        self.assertLess(time.monotonic() - started, 10)

    def test_what_the_command_leaves_neither_holds_publish_nor_outlives_it(self):
        out, started = tempfile.mktemp(), time.monotonic()
        edge_purge.purge(f"setsid sleep 99 & setsid sh -c 'sleep 2; touch {out}' & : {{url}}", "https://h/", 20, silent)
        with self.assertRaisesRegex(Refused, "did not finish in 1 s"):
            edge_purge.purge("setsid sleep 200 & sleep 30; : {url}", "https://h.example/x", 1, silent)
        time.sleep(3)
        self.assertEqual((True, False), (time.monotonic() - started < 10, os.path.exists(out)))

    def test_where_no_namespace_is_allowed_one_line_says_so(self):
        said = []
        with mock.patch.multiple(edge_purge, NAMESPACE=["false"], _namespace=None):
            for _ in range(2):
                edge_purge.purge("exit 0; {url}", "https://h.example/x", 5, said.append)
        self.assertEqual(1, sum("may outlive publish" in line for line in said))

    def test_a_template_without_a_placeholder(self):
        with self.assertRaises(Refused):
            edge_purge.check_template("curl -X PURGE https://h.example/")
