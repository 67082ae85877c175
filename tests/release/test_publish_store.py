"""scripts/publish to a real bucket (Swift with s3api) and an rsync folder at once, with a
Varnish edge behind hitch as the download host (tests/release/store_and_edge.py), inside
scripts/rehearsal/sandbox. The store and the edge start once; the cases share their publishes.
The edge keeps the manifest for a fixed time, as a CDN's minimum TTL does, so that the
live check meets a stale edge unless the manifest is purged. After the first publish the
setup under Wine runs twice with the edge as its download host (scripts/rehearsal/release_rehearsal.py).
"""

import json
import os
import re
import shutil
import signal
import subprocess
import sys
import time
import unittest
from pathlib import Path

from store_and_edge import SECRET, SwiftStore, VarnishEdge
from test_release_script import BUILD, DEFAULT_NAME, PUBLISH, reference_release, sha256, snapshot, upload_tree, \
    watching_processes_for, work_dir
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "e2e"))
from reference_site import reference_manifest  # noqa: E402
from release_rehearsal import rehearse  # noqa: E402 (scripts/rehearsal, on the path through test_release_script)

HOST = "download.kestrova.example"
MANIFEST = "downloads/desktop/kestrova-win-x64.json"
MIN_TTL = 'sub vcl_backend_response { if (bereq.url ~ "kestrova-win-x64\\.json$") { set beresp.ttl = 600s; ' \
          'set beresp.uncacheable = false; return (deliver); } }'


@unittest.skipUnless(os.environ.get("KESTROVA_SANDBOX") == "1", "needs scripts/rehearsal/sandbox (scripts/test)")
class PublishToStore(unittest.TestCase):
    maxDiff = None

    @classmethod
    def setUpClass(cls):
        reference, digest = reference_release()
        cls.work = work_dir() / "publish-store"
        shutil.rmtree(cls.work, ignore_errors=True)
        cls.addClassCleanup(shutil.rmtree, cls.work, ignore_errors=True)
        cls.www = cls.work / "www"
        cls.www.mkdir(parents=True)
        setup = (BUILD / "KestrovaSetup.exe").read_bytes()
        # The compiled-in host of the build and the manifests' URLs: the edge serves both.
        cls.first, cls.second, cls.third = (upload_tree(
            cls.work / version, reference, name, setup + version.encode(),
            reference_manifest(digest, url=f"https://{HOST}/downloads/desktop/{name}", fileName=name, version=version))
            for name, version in ((DEFAULT_NAME, "3.2.0"), ("kestrova-3.2.1-win-x64.exe", "3.2.1"),
                                  ("kestrova-3.3.0-win-x64.exe", "3.3.0")))
        cls.store = cls.enterClassContext(SwiftStore(cls.work / "store"))
        cls.edge = cls.enterClassContext(VarnishEdge(cls.work / "edge", cls.store, extra=MIN_TTL))
        print(f"store: ready in {cls.store.started_in:.1f} s, {cls.store.memory_mb} MB; "
              f"edge: ready in {cls.edge.started_in:.1f} s, {cls.edge.memory_mb} MB")
        cls.s3 = cls.store.client()

    def bucket_only(self, endpoint=None):
        return ["--to", "s3://kestrova", "--s3-endpoint", endpoint or self.store.endpoint]

    def command(self, tree, *extra, targets=None, live=True, purge=True):
        targets = targets or ["--to", str(self.www), *self.bucket_only()]
        return [str(PUBLISH), "--tree", str(tree), *targets, "--tool", str(BUILD / "kestrova-release.exe"),
                *([] if live else ["--no-live-check"]),
                *(["--purge-command", self.edge.purge_command] if purge else []), *extra]

    def publish(self, tree, *extra, **kwargs):
        started = time.monotonic()
        done = subprocess.run(self.command(tree, *extra, **kwargs), env=self.store.environment(),
                              stdin=subprocess.DEVNULL, capture_output=True, text=True, errors="replace")
        print(f"publish of {tree.name}: status {done.returncode} in {time.monotonic() - started:.1f} s")
        return done

    def assertOneLine(self, done, words):
        self.assertEqual((1, 1), (done.returncode, len(done.stderr.splitlines())), done.stdout + done.stderr)
        self.assertRegex(done.stderr, "^publish: .*" + words)

    def interrupted(self, tree, at, stop, both=False):
        """(status, stderr) of a publish that stop(process) meets at the first line starting with `at`."""
        process = subprocess.Popen(self.command(tree, live=False, purge=False, targets=None if both else
                                                self.bucket_only()), env=self.store.environment(),
                                   stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        next(line for line in process.stdout if line.startswith(at))
        stop(process)
        errors = process.communicate(timeout=120)[1]
        return process.returncode, errors

    def bucket(self):
        """{key: (size, ETag)} of every object in the bucket."""
        listed = self.s3.list_objects_v2(Bucket="kestrova").get("Contents", [])
        return {o["Key"]: (o["Size"], o["ETag"]) for o in listed}

    def manifest_on_both(self):
        body = self.s3.get_object(Bucket="kestrova", Key=MANIFEST)["Body"].read()
        return body, (self.www / MANIFEST).read_bytes()

    def test_publish_refuse_interrupt_and_roll_back(self):
        with self.subTest("first release to the bucket and the folder, credentials in a file only; the setup "
                          "through the edge downloads, verifies and starts it, then uses its cache"):
            with watching_processes_for(SECRET) as (seen, _):
                done = self.publish(self.first)
            self.assertEqual((0, ""), (done.returncode, done.stderr), done.stdout)
            print(done.stdout)
            self.assertEqual([], seen)
            self.assertNotIn(SECRET, done.stdout)
            self.assertRegex(done.stdout, "uploaded downloads/desktop/Kestrova-3.2.0-win-x64.exe to s3://kestrova "
                                          "\\(in \\d+ parts")
            # Swift's s3api answers 501 to a conditional PUT, 412 to a conditional completion (the
            # probe, left in place); check --live is silent on the edge.
            self.assertEqual(["on a PUT (to a probe object that exists: answered 501, not 412)"], [
                re.search(r"If-None-Match: \* (on [^(]*\([^)]*\))", line)[1] for line in done.stdout.splitlines()
                if "warning" in line])
            for key, kind in ((MANIFEST, ("application/json", "no-cache")),
                              (f"downloads/desktop/{DEFAULT_NAME}", ("application/octet-stream",
                                                                     "public, max-age=31536000, immutable")),
                              ("KestrovaSetup.exe", ("application/octet-stream", "public, max-age=300"))):
                head = self.s3.head_object(Bucket="kestrova", Key=key)
                self.assertEqual(kind, (head["ContentType"], head["CacheControl"]), key)
                self.assertEqual(sha256(self.first / key), head["Metadata"]["sha256"], key)
            self.assertEqual(((self.first / MANIFEST).read_bytes(),) * 2, self.manifest_on_both())
            rehearse(self.first, HOST, DEFAULT_NAME, self.work / "setup-runs", host=self.edge)

        with self.subTest("the next release: the stale edge fails the live check, the purge clears it"):
            done = self.publish(self.second, purge=False)
            self.assertOneLine(done, f"still serves another manifest after 30 s: https://{HOST}/"
                                     f"{MANIFEST} \\(Age [0-9]+, ETag ")
            self.assertEqual(((self.second / MANIFEST).read_bytes(),) * 2, self.manifest_on_both())
            done = self.publish(self.second)
            self.assertEqual((0, ""), (done.returncode, done.stderr), done.stdout)
            self.assertIn(f"downloads/desktop/{DEFAULT_NAME}", self.bucket())

        with self.subTest("other bytes under a published installer's key: refused, nothing changes anywhere"):
            other = self.work / "other"
            (other / "downloads/desktop").mkdir(parents=True)
            (other / "downloads/desktop/kestrova-3.2.1-win-x64.exe").write_bytes(b"MZ other build")
            (other / MANIFEST).write_text("{}\n")
            (other / "SHA256SUMS").write_text("".join(f"{sha256(other / name)}  {name}\n" for name in (
                "downloads/desktop/kestrova-3.2.1-win-x64.exe", MANIFEST)))
            before = self.bucket(), snapshot(self.www)
            self.assertOneLine(self.publish(other, live=False, purge=False), "holds other bytes")
            self.assertEqual(before, (self.bucket(), snapshot(self.www)))

        with self.subTest("a stopped store as the second target: the first target's manifest stays"):
            before = snapshot(self.www)
            done = self.publish(self.first, targets=["--to", str(self.www), *self.bucket_only("http://127.0.0.1:9")])
            self.assertOneLine(done, "the store at http://127.0.0.1:9 did not answer")
            self.assertEqual(before, snapshot(self.www))

        key = "downloads/desktop/kestrova-3.3.0-win-x64.exe"
        for what, stopped in (("SIGTERM", lambda p: p.send_signal(signal.SIGTERM)),
                              ("the key taken by another publisher", lambda p: self.s3.put_object(
                                  Bucket="kestrova", Key=key, Body=b"MZ theirs"))):
            with self.subTest(f"{what} during the multipart upload: aborted, nothing of ours under the key"):
                status, stderr = self.interrupted(self.third, "  sending", stopped)
                self.assertEqual(1, status, stderr)
                self.assertRegex(stderr, "interrupted by a signal" if what == "SIGTERM" else
                                 "appeared since the comparison and holds other bytes")
                self.assertEqual([], self.s3.list_multipart_uploads(Bucket="kestrova").get("Uploads", []))
                self.assertEqual((self.second / MANIFEST).read_bytes(), self.manifest_on_both()[0])
        self.assertEqual(b"MZ theirs", self.s3.get_object(Bucket="kestrova", Key=key)["Body"].read())
        self.s3.delete_object(Bucket="kestrova", Key=key)

        with self.subTest("killed during the multipart upload: nothing under the key, the old manifest live"):
            self.assertEqual(-signal.SIGKILL, self.interrupted(self.third, "  sending", lambda p: p.kill())[0])
            self.assertNotIn(key, self.bucket())
            self.assertEqual((self.second / MANIFEST).read_bytes(), self.manifest_on_both()[0])
            self.assertEqual([key], [u["Key"] for u in self.s3.list_multipart_uploads(Bucket="kestrova")["Uploads"]])
            done = self.publish(self.third, "--dry-run", targets=self.bucket_only())
            self.assertRegex(done.stdout, f"pending  an incomplete upload of {key} \\(started ")
            self.assertIn("read     back from s3://kestrova: every installer (2, 1529.7 MB) before the manifest, "
                          "each of the 3 other files that change (", done.stdout)
            done = self.publish(self.third, "--abort-uploads-older-than", "0", targets=self.bucket_only())
            self.assertEqual((0, ""), (done.returncode, done.stderr), done.stdout)
            self.assertIn(f"aborted  the incomplete upload of {key}", done.stdout)
            self.assertEqual([], self.s3.list_multipart_uploads(Bucket="kestrova").get("Uploads", []))

        with self.subTest("killed in the manifest stage: each manifest's installer is on its target"):
            self.assertEqual(-signal.SIGKILL, self.interrupted(self.first, f"  uploaded {MANIFEST}", lambda p: p.kill(),
                                                               both=True)[0])
            bucket, www = self.manifest_on_both()
            self.assertEqual((self.first / MANIFEST).read_bytes(), www)
            self.assertIn(json.loads(bucket)["url"].split("/", 3)[3], self.bucket())  # old or new, its installer there

        with self.subTest("rollback to the first release on the bucket and the folder"):
            done = self.publish(self.first)
            self.assertEqual((0, ""), (done.returncode, done.stderr), done.stdout)
            self.assertEqual(((self.first / MANIFEST).read_bytes(),) * 2, self.manifest_on_both())
            self.assertIn("kestrova-3.3.0-win-x64.exe", " ".join(self.bucket()))


if __name__ == "__main__":
    unittest.main()
