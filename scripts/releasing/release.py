"""scripts/release: a release of the checkout's commit for the download host, in one
command, stage after stage, each in a module of its own:

  1. the inputs (release_inputs.py), checked before anything is built or written, then
     the signer's certificates and key (signing.py);
  2. the build (build.py): the commit as committed in a fresh worktree, with the commit's
     time as the PE time stamp; the defaults compiled in, asked of the built tool;
  3. the upload tree staged beside --out (upload_tree.py): the installers copied, the
     setup signed and checked (signing.py) and time-stamped (timestamps.py), BUILDINFO;
  4. the rehearsal (rehearsal.py): manifest, checks, SHA256SUMS and two runs of the setup
     against nginx as the download host, in the network sandbox;
  5. the renames into place (into_place.py).

Any failure ends with one line "release: ..." on stderr and status 1 (2 for wrong usage)
and leaves --out as it was. Trusts nothing it is handed: each stage checks its inputs."""

import filecmp
import hashlib
import os
import shutil
import signal
import sys
import tempfile
import time

from . import bounded, build, release_inputs, rehearsal
from .into_place import into_place
from .refusal import Refused, one_line
from .signing import Signer
from .timestamps import add_timestamp
from .upload_tree import Staging

USAGE = ("usage: scripts/release --host HOST --default-installer FILE --installer FILE --version VERSION "
         "[--sign PFX --sign-password-file FILE | --sign-pkcs11 URI --pkcs11-module LIB --sign-cert CERTS.pem "
         "[--pin-file FILE] | --sign-command TEMPLATE --sign-cert CERTS.pem] [--sign-timeout SECONDS] "
         "[--timestamp-url URL]... [--timestamp-ca FILE] [--crl FILE]... [--force] --out DIR")
REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.realpath(__file__))))
add_arguments = release_inputs.add_arguments


class Stopped(BaseException):
    """A signal (INT, TERM or HUP) to the release; its number is args[0]."""


def say(line):
    print(line, flush=True)


def sha256(path):
    with open(path, "rb") as f:
        return hashlib.file_digest(f, "sha256").hexdigest()


class Clock:
    """Seconds each stage took, one decimal, for the last line."""

    def __init__(self):
        self.seconds = {}

    def start(self):
        self.started = time.monotonic()

    def stop(self, stage):
        self.seconds[stage] = f"{time.monotonic() - self.started:.1f}"
        return self.seconds[stage]

    def __getitem__(self, stage):
        return self.seconds.get(stage, "0.0")


def main(o):
    """scripts/release's exit status for options o as parsed; wrong usage raises UsageError."""
    release_inputs.check_usage(o)
    caller_dir = os.getcwd()  # a signer command runs there
    release = Release(o, caller_dir)

    def on_signal(number, _frame):
        raise Stopped(number)
    for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(number, on_signal)
    try:
        release.run()
        return 0
    except Refused as e:
        print(one_line(f"release: {e}"), file=sys.stderr)
        return 1
    except Stopped as e:
        release.stop_rehearsal(e.args[0])
        print(f"release: stopped by {signal.Signals(e.args[0]).name}; {o.out} is unchanged", file=sys.stderr)
        return 128 + e.args[0]
    except Exception as e:  # noqa: BLE001 - still one line, and --out unchanged
        print(one_line(f"release: failed unexpectedly ({type(e).__name__}: {e}); {o.out} is unchanged"),
              file=sys.stderr)
        return 1
    finally:
        release.clean_up()


class Release:
    """One run of scripts/release; what clean_up removes on the way out."""

    def __init__(self, o, caller_dir):
        self.o, self.caller_dir = o, caller_dir
        self.scratch = self.staging = self.sandbox = None
        self.clock = Clock()

    def run(self):
        """The release, stage after stage; refuses at the first failure, --out unchanged."""
        o = self.o
        if os.geteuid() != 0:
            raise Refused("must run as root (the rehearsal runs in a private network namespace)")
        release_inputs.absolute(o)
        release_inputs.check_inputs(o)
        self.installer_name = os.path.basename(o.installer)
        commit, epoch, left_out = build.checkout_commit(REPO)
        self.scratch = tempfile.mkdtemp(prefix="kestrova-release.")
        signer = None
        if o.signer:
            signer = Signer(o, self.scratch)
            if not o.timestamp_urls:
                say("release: warning: no --timestamp-url: unless the signer adds a time stamp, the signature of "
                    f"KestrovaSetup.exe stops verifying when the certificate expires on {signer.expires}")
        if o.signer == "pkcs11":
            self.clock.start()
            for line in signer.check_token():
                say(f"release: {line}")
            self.clock.stop("token")

        build_dir, setup_sha256 = self.build(commit, epoch, left_out)
        default_name = self.check_defaults(build_dir)

        self.clock.start()
        self.staging = Staging(o.out)
        self.staging.place_installers(o.default_installer, default_name, o.installer, self.installer_name)
        self.clock.stop("tree")
        unsigned = os.path.join(build_dir, "KestrovaSetup.exe")
        signature = self.sign(signer, unsigned, setup_sha256) if signer else "unsigned"
        if not signer:
            shutil.copyfile(unsigned, os.path.join(self.staging.root, "KestrovaSetup.exe"))
        self.staging.write_buildinfo({
            "commit": commit, "uncommitted-changes": "no", "host": o.host, "default-sha256": self.default_sha256,
            "source-date-epoch": epoch, "setup-sha256": setup_sha256,
            "release-tool-sha256": sha256(os.path.join(build_dir, "kestrova-release.exe"))}, build.toolchain_versions())

        work = self.rehearse(build_dir, default_name)
        copied_mb = self.staging.copied_mb
        into_place(self.staging.root, o.out)
        self.staging = None

        say(f"release: built commit {commit} for {o.host} in {build_dir}: KestrovaSetup.exe ({signature}), "
            "kestrova-release.exe")
        say(f"release: default installer {default_name}, SHA-256 {self.default_sha256} (compiled in)")
        say(f"release: upload tree {o.out}, digests (SHA256SUMS):")
        with open(os.path.join(o.out, "SHA256SUMS")) as f:
            for line in f.read().splitlines():
                say(f"  {line}")
        say(f"release: rehearsal passed: first run downloaded, verified and started {self.installer_name}; second run "
            f"used the cache (screenshots of their boxes: {work}/screenshots)")
        c = self.clock
        say(f"release: took: token check {c['token']} s, build {c['build']} s, defaults {c['defaults']} s, "
            f"tree {c['tree']} s (installers copied, {copied_mb} MB), signing {c['signing']} s, "
            f"time stamp {c['time stamp']} s, sandbox with manifest, checks and rehearsal {c['rehearsal']} s")

    def build(self, commit, epoch, left_out):
        """(the folder of the built binaries, the setup's SHA-256 as built)."""
        o = self.o
        if left_out:
            say(f"release: note: the checkout has {left_out} changed or untracked paths; the release leaves them out "
                f"and builds commit {commit} as committed")
        self.build_root = os.path.realpath(os.environ.get("KESTROVA_RELEASE_BUILD") or
                                           os.path.join(REPO, "build", "release"))
        build_dir = os.path.join(self.build_root, o.host)
        os.makedirs(build_dir, exist_ok=True)
        say("release: hashing the default installer")
        self.default_sha256 = sha256(o.default_installer)
        self.clock.start()
        say(f"release: building KestrovaSetup.exe and kestrova-release.exe of commit {commit} for {o.host}")
        work = os.path.join(self.scratch, "commit")
        os.mkdir(work)
        try:
            built = build.build_commit(REPO, commit, work, o.host, self.default_sha256, epoch, ["ui_probe"])
            log = os.path.join(build_dir, "build.log")
            with open(log, "wb") as out:
                for part in ["build.log"] if built else ["checkout.log", "build.log"]:
                    if os.path.exists(os.path.join(work, part)):
                        with open(os.path.join(work, part), "rb") as f:
                            out.write(f.read())
            if not built:
                with open(log, errors="replace") as f:
                    for line in f.read().splitlines()[-20:]:
                        say(line)
                raise Refused(f"the build of commit {commit} failed (whole log: {log})")
            os.makedirs(os.path.join(build_dir, "probe"), exist_ok=True)
            for binary in ("KestrovaSetup.exe", "kestrova-release.exe", "probe/ui_probe.exe",
                           "probe/ui_probe_hook.dll"):
                target = os.path.join(build_dir, binary)
                shutil.copyfile(os.path.join(work, "build", binary), target + ".new")
                os.replace(target + ".new", target)
        finally:
            build.remove_checkout(REPO, work)
        self.clock.stop("build")
        # The build's digest, taken before any signer runs: the checks compare against the
        # build as it was built, and BUILDINFO records that one.
        return build_dir, sha256(os.path.join(build_dir, "KestrovaSetup.exe"))

    def check_defaults(self, build_dir):
        """The default installer's name, after checking the inputs against the defaults
        compiled in, as the built tool reports them."""
        o = self.o
        self.clock.start()
        defaults, log = os.path.join(build_dir, "defaults.txt"), os.path.join(build_dir, "defaults.log")
        with open(defaults, "wb") as out:
            tool = os.path.join(build_dir, "kestrova-release.exe")
            status = rehearsal.run_in_sandbox(os.path.join(self.build_root, "wineprefix"), log,
                                              ["wine", tool, "defaults"], out)
        with open(defaults, errors="replace") as f:
            text = f.read()
        if status != 0 or not text:
            raise Refused(f"kestrova-release.exe defaults did not answer (log: {log})")
        value = lambda key: rehearsal.key_value(text, key)  # noqa: E731
        default_name, default_size, min_size = value("default-file-name"), value("default-size"), value("minimum-size")
        if value("host") != o.host or value("default-sha256") != self.default_sha256:
            raise Refused("kestrova-release.exe was not built with the host and digest asked for: " +
                          " ".join(text.replace("\r", "").splitlines()) + " ")
        if os.path.basename(o.default_installer) != default_name:
            raise Refused(f"--default-installer: the default release is named {default_name}, not "
                          f"{os.path.basename(o.default_installer)}")
        size = os.stat(o.default_installer).st_size
        if str(size) != default_size:
            raise Refused(f"--default-installer: {o.default_installer} has {size} bytes, the default release "
                          f"{default_size}")
        installer_size = os.stat(o.installer).st_size
        if not (min_size or "").isdigit() or installer_size < int(min_size):
            raise Refused(f"--installer: {o.installer} has {installer_size} bytes, below the plausible minimum of "
                          f"{min_size} the client accepts")
        if self.installer_name == default_name and not filecmp.cmp(o.installer, o.default_installer, shallow=False):
            raise Refused(f"--installer: {o.installer} is named like the default release but differs from "
                          "--default-installer")
        self.clock.stop("defaults")
        return default_name

    def sign(self, signer, unsigned, setup_sha256):
        """Signs, checks, time-stamps and checks again; moves the checked copy into the
        staging tree. Returns how it is signed, for the summary."""
        o = self.o
        self.clock.start()
        signed = signer.sign(unsigned, self.caller_dir)
        self.clock.stop("signing")
        lines, stamp = signer.check(unsigned, setup_sha256, signed)
        stamped = None
        if o.timestamp_urls and stamp == "none":
            self.clock.start()
            signed, stamped, tries = add_timestamp(o.timestamp_urls, signed, self.scratch, o.out)
            seconds = self.clock.stop("time stamp")
            say(f"release: time stamp added by {stamped} (attempt {tries}) in {seconds} s")
            lines, stamp = signer.check(unsigned, setup_sha256, signed, require_timestamp=True)
        elif stamp != "none":
            say(f"release: the signer added a time stamp ({stamp}); no other is added")
        for line in lines:
            say(f"release: {line}")
        subject = next(line.split(": ", 1)[1] for line in lines if line.startswith("signer subject: "))
        shutil.move(signed, os.path.join(self.staging.root, "KestrovaSetup.exe"))
        how = "not timestamped" if stamp == "none" else f"timestamped {stamp}" + (f" from {stamped}" if stamped else "")
        return f"signed by {subject}, {how}"

    def rehearse(self, build_dir, default_name):
        """Runs the rehearsal on the staged tree; returns its work folder. Refuses when it
        did not pass."""
        o = self.o
        self.clock.start()
        work = os.path.join(build_dir, "rehearsal")
        shutil.rmtree(work, ignore_errors=True)
        os.makedirs(work)
        self.sandbox = rehearsal.start_rehearsal(os.path.join(self.build_root, "wineprefix"), build_dir,
                                                 self.staging.root, o.host, self.installer_name, default_name,
                                                 o.version, work)
        status = self.sandbox.wait()
        self.sandbox = None
        if status != 0:
            raise Refused(f"the release did not pass (see above); {o.out} is unchanged")
        self.clock.stop("rehearsal")
        return work

    def stop_rehearsal(self, number):
        """The sandbox first (it stops what runs in it), with the signal the release got."""
        if self.sandbox is not None:
            try:
                self.sandbox.send_signal(number)
                self.sandbox.wait()
            except OSError:
                pass

    def clean_up(self):
        """Ends every bounded run left, removes the scratch and staging folders."""
        bounded.stop_all()
        if self.scratch:
            shutil.rmtree(self.scratch, ignore_errors=True)
        if self.staging:
            shutil.rmtree(self.staging.root, ignore_errors=True)
