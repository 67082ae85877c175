#!/usr/bin/python3 -Es
"""Benchmark, not a test: the upload and read-back of the reference release's installer
to a local Swift bucket as scripts/publish does them (steps 2 and 3 for an s3:// target,
without the tree's hash and the checks under Wine), against a plain `aws s3 cp` of the
same file to the same store, in the same run. Inside scripts/rehearsal/sandbox, as root:

    scripts/rehearsal/sandbox /usr/bin/python3 -B -E -s tests/release/bench_publish.py [ROUNDS]

Needs the reference release (ctest -R reference_release) and /usr/bin/aws (Debian's
awscli, installed by hand: the tests do not need it).
"""

import os
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path[:0] = [str(HERE), str(HERE.parents[1] / "scripts")]
from store_and_edge import SwiftStore  # noqa: E402
from test_release_script import BUILD, reference_release  # noqa: E402

from releasing.publish_plan import TreeFile  # noqa: E402
from releasing.s3_target import S3Target  # noqa: E402


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 3
    installer, digest = reference_release()
    with SwiftStore(BUILD / "bench-publish-store") as store:
        os.environ.update(store.environment())
        print(f"store ready in {store.started_in:.1f} s, {store.memory_mb} MB")
        target = S3Target("s3://kestrova/bench", endpoint=store.endpoint)
        f = TreeFile(str(installer.parent), installer.name, digest, "installer")
        f.path = "downloads/desktop/" + installer.name
        client = store.client()
        for number in range(rounds):
            target.prefix = f"bench/{number}"
            started = time.monotonic()
            target.put_installers([f], progress=lambda line: None)
            uploaded = time.monotonic()
            target.read_back([f], progress=lambda line: None)
            ours, upload = time.monotonic() - started, uploaded - started
            started = time.monotonic()
            subprocess.run(["/usr/bin/aws", "--endpoint-url", store.endpoint, "s3", "cp", "--only-show-errors",
                            str(installer), f"s3://kestrova/aws/{number}/{installer.name}"], check=True)
            theirs = time.monotonic() - started
            for prefix in (f"bench/{number}/", f"aws/{number}/"):
                for o in client.list_objects_v2(Bucket="kestrova", Prefix=prefix).get("Contents", []):
                    client.delete_object(Bucket="kestrova", Key=o["Key"])
            print(f"round {number + 1}: upload {upload:.1f} s + read-back {ours - upload:.1f} s = {ours:.1f} s, aws s3 cp {theirs:.1f} s, "
                  f"ratio {ours / theirs:.2f}")


if __name__ == "__main__":
    main()
