"""The base of the end-to-end scenarios: runs of the setup (scripts/rehearsal/harness.py)
named after the test, inside the sandbox only."""

import unittest

from harness import Box, HarnessError, in_sandbox, run_setup


class SetupTestCase(unittest.TestCase):
    """Base for end-to-end scenarios: names runs after the test, checks the sandbox."""

    maxDiff = None

    @classmethod
    def setUpClass(cls):
        if not in_sandbox():
            raise HarnessError("run the end-to-end tests inside scripts/rehearsal/sandbox "
                               "(scripts/test does)")

    def run_setup(self, **kwargs):
        name = kwargs.pop("name", None) or self.id().split(".", 1)[-1]
        return run_setup(name, **kwargs)

    def assertBox(self, run, text, kind="error"):
        """The run showed exactly one box, with this text, and ended with status 0."""
        self.assertEqual([Box(kind, text)], run.boxes, run.describe())
        self.assertEqual(0, run.exit_code, run.describe())
