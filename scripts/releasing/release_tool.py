"""kestrova-release under Wine: the installers and the manifest checked as the setup
would read them, fetched over HTTPS from the download host compiled into the tool.

Trusts nothing the tool prints but the lines a client uses (url, sha256, size) and the
caching headers it reports. Every run has a time limit; the tool's own output is shown
indented on stdout. Wine is run without the AWS_* variables of the caller.
"""

import os
import re
import shutil
import subprocess
import time

from .refusal import Refused

CHECK_TIMEOUT = 1800     # a whole installer fetched and hashed through the host
LIVE_RETRY_SECONDS = 30  # how long an edge may still serve the old manifest
LIVE_RETRY_PAUSE = 3


def windows_path(path):
    return "Z:" + os.path.realpath(path).replace("/", "\\")


def reading(output):
    """The lines a client uses: url, sha256 and size (each maybe "(default)")."""
    return [line for line in output.splitlines() if re.match(r"(url|sha256|size)( \(default\))?: ", line)]


def header(output, subject, name):
    """The value of the tool's line "SUBJECT NAME: value" in output, or "(none)"."""
    match = re.search(rf"^{subject} {name}: (.*)$", output, re.M)
    return match.group(1) if match else "(none)"


class ReleaseTool:
    def __init__(self, exe, host, progress=print):
        if not os.path.isfile(exe):
            raise Refused(f"--tool: {exe} does not exist (scripts/release builds it for the host; or give --tool)")
        if shutil.which("wine") is None:
            raise Refused("wine is not installed (scripts/setup installs it)")
        self.exe, self.host, self.progress = exe, host, progress

    def run(self, *arguments, show=True):
        """(status, stdout) of the tool; refused when it does not end in time."""
        environment = {k: v for k, v in os.environ.items() if not k.startswith("AWS_")}
        environment.setdefault("WINEDEBUG", "-all")
        try:
            done = subprocess.run(["wine", self.exe, *arguments], stdin=subprocess.DEVNULL, capture_output=True,
                                  env=environment, timeout=CHECK_TIMEOUT)
        except subprocess.TimeoutExpired:
            raise Refused(f"kestrova-release {' '.join(arguments)} did not finish in {CHECK_TIMEOUT} s (the download "
                          f"host https://{self.host} did not answer?)")
        output = done.stdout.decode("utf-8", "replace").replace("\r", "")
        if show:
            for line in (output + done.stderr.decode("utf-8", "replace").replace("\r", "")).splitlines():
                self.progress("    " + line)
        return done.returncode, output

    def check_installer(self, manifest):
        """The installer manifest names, downloaded as the host serves it and verified;
        returns the reading of the manifest."""
        status, output = self.run("check", "--manifest", windows_path(manifest), "--download")
        return status, reading(output)

    def check_live(self, expected, on_stale):
        """The live manifest must read as `expected`: while the host serves another one
        (a cache in front of it), asked again for about LIVE_RETRY_SECONDS, the manifest
        only; then its installer downloaded and verified. Raises with on_stale(url, age,
        etag) when the host keeps serving another manifest."""
        deadline = time.monotonic() + LIVE_RETRY_SECONDS
        while True:
            status, output = self.run("check", "--live", show=False)
            if status != 0 or reading(output) == expected:
                break
            age, etag = header(output, "manifest", "Age"), header(output, "manifest", "ETag")
            if time.monotonic() >= deadline:
                url = re.search(r"^manifest: (.*)$", output, re.M)
                raise Refused(on_stale(url.group(1) if url else f"https://{self.host}/", age, etag))
            self.progress(f"  the host still serves another manifest (Age {age}, ETag {etag}); asking again in "
                          f"{LIVE_RETRY_PAUSE} s")
            time.sleep(LIVE_RETRY_PAUSE)
        status, output = self.run("check", "--live", "--download")
        return status, reading(output)
