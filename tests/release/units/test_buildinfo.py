import os
import tempfile
import unittest
from pathlib import Path

from units.helpers import assert_refused, run_checks

from releasing.host_name import is_host_name

FIELDS = {"commit": "a" * 40, "uncommitted-changes": "no", "host": "downloads.kestrova.test",
          "default-sha256": "b" * 64, "source-date-epoch": "1700000000", "setup-sha256": "c" * 64,
          "release-tool-sha256": "d" * 64}
GOOD = "".join(f"{key}: {value}\n" for key, value in FIELDS.items())


def written(name, data):
    path = Path(tempfile.mkdtemp(prefix="buildinfo-")) / name
    path.write_bytes(data.encode() if isinstance(data, str) else data)
    return path


class BuildinfoCheck(unittest.TestCase):
    def test_a_buildinfo_is_read_in_field_order_and_other_toolchains_named(self):
        toolchain = written("toolchain", "host: downloads.kestrova.test\nosslsigncode: 2.5\n")
        status, output, error = run_checks("buildinfo", written("BUILDINFO", GOOD), "--toolchain", toolchain)
        self.assertEqual((0, ""), (status, error))
        self.assertEqual([" ".join(FIELDS.values()), "note: osslsigncode is '2.5' here, '(none)' in BUILDINFO"],
                         output.splitlines())

    def test_buildinfos_not_of_the_form_are_refused(self):
        fifo = Path(tempfile.mkdtemp()) / "BUILDINFO"
        os.mkfifo(fifo)
        for what, path, words in [
                ("no file", fifo.parent / "missing", "cannot be opened"),
                ("a FIFO", fifo, "is not a regular file"),
                ("a BUILDINFO of very many lines", written("BUILDINFO", "commit: x\n" * 200000),
                 "BUILDINFO is larger than 65536 bytes"),
                ("not UTF-8", written("BUILDINFO", GOOD.encode() + b"note: \xff\n"), "BUILDINFO is not UTF-8"),
                ("a line without ': '", written("BUILDINFO", GOOD + "note\n"), "BUILDINFO line 8 is not 'key: value'"),
                ("a key in capitals", written("BUILDINFO", "Commit: x\n" + GOOD), "line 1 is not 'key: value'"),
                ("a key twice", written("BUILDINFO", GOOD + "host: elsewhere.test\n"), "BUILDINFO has 'host' twice"),
                ("a field missing", written("BUILDINFO", GOOD.replace("source-date-epoch", "build-date")),
                 "BUILDINFO has no 'source-date-epoch' line"),
                ("a commit of another form", written("BUILDINFO", GOOD.replace("a" * 40, "a" * 39)),
                 f"BUILDINFO's commit is not of the form [0-9a-f]{{40}}: '{'a' * 39}'"),
                ("a digest in capitals", written("BUILDINFO", GOOD.replace("c" * 64, "C" * 64)),
                 "BUILDINFO's setup-sha256 is not of the form")]:
            with self.subTest(what):
                assert_refused(self, words, "buildinfo", path)
        with self.subTest("a toolchain file not of the form"):
            assert_refused(self, "toolchain line 1 is not 'key: value'", "buildinfo", written("BUILDINFO", GOOD),
                           "--toolchain", written("toolchain", "osslsigncode 2.5\n"))


    def test_one_host_name_rule_for_release_buildinfo_and_manifest(self):
        for name in ("downloads.kestrova.test", "a", "x-1.b2", "a" * 63 + ".b"):
            self.assertTrue(is_host_name(name), name)
        for name in ("a..b", "a.-b", "a-.b", "-a", "a.", "A.b", "a_b", "a b", "a.b\n", "ä.b", "a" * 64,
                     ".".join(["a" * 60] * 5)):
            self.assertFalse(is_host_name(name), name)
        assert_refused(self, "BUILDINFO's host", "buildinfo", written("BUILDINFO", GOOD.replace(".kestrova", ".-k")))


if __name__ == "__main__":
    unittest.main()
