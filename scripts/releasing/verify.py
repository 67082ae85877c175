"""scripts/verify-release: an upload tree checked against what its BUILDINFO says, by
rebuilding it:

  1. the tree: regular files only, exactly what SHA256SUMS lists, every digest right
     (tree.py), before anything in it is read;
  2. BUILDINFO (buildinfo.py): a commit of this repository, built without uncommitted
     changes; toolchain versions that differ are named, the bytes decide;
  3. the rebuild (build.py), by the commit's own build step: KestrovaSetup.exe and
     kestrova-release.exe must have the SHA-256 BUILDINFO records;
  4. the published KestrovaSetup.exe: that rebuild, or that rebuild plus one valid
     Authenticode signature (authenticode.py), and with --ca osslsigncode's verdict too;
  5. the rebuilt kestrova-release.exe, under Wine in the sandbox, reads the manifest and
     checks the installer it names and the default installer.

Exit status 0 with the signer's details and one last line naming the commit; 1 with one
line "verify-release: ..." at the first mismatch; 2 for wrong usage. Trusts nothing in
the tree."""

import os
import shutil
import signal
import subprocess
import sys
import tempfile

from . import build, rehearsal
from .authenticode import check_signature
from .buildinfo import check_buildinfo
from .osslsigncode import osslsigncode_verify
from .refusal import Refused, UsageError, checked, file_sha256, one_line
from .tree import check_tree

USAGE = "usage: scripts/verify-release [--ca FILE] [--timestamp-ca FILE] [--crl FILE]... DIR"
REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.realpath(__file__))))
MANIFEST = "downloads/desktop/kestrova-win-x64.json"
ACCEPTED = "result: a client accepts this"


def add_arguments(parser):
    """Declares verify-release's options on parser (an argparse parser)."""
    parser.add_argument("--ca")
    parser.add_argument("--timestamp-ca")
    parser.add_argument("--crl", dest="crls", action="append", default=[])
    parser.add_argument("tree", nargs="?")


def main(o):
    """verify-release's exit status for options o as parsed; wrong usage raises UsageError."""
    if not o.tree:
        raise UsageError("DIR is missing")
    if o.crls and not o.ca:
        raise UsageError("--crl goes with --ca (osslsigncode, which reads the CRLs, is asked only then)")
    work = tempfile.mkdtemp(prefix="kestrova-verify.")

    def on_signal(number, _frame):
        sys.exit(128 + number)
    signal.signal(signal.SIGINT, on_signal)
    signal.signal(signal.SIGTERM, on_signal)
    try:
        for line in verify(o, work):
            print(line, flush=True)
        return 0
    except Refused as e:
        print(one_line(f"verify-release: {e}"), file=sys.stderr)
        return 1
    except Exception as e:  # noqa: BLE001 - still one line
        print(one_line(f"verify-release: failed unexpectedly ({type(e).__name__}: {e})"), file=sys.stderr)
        return 1
    finally:
        build.remove_checkout(REPO, os.path.join(work, "commit"))
        shutil.rmtree(work, ignore_errors=True)


def verify(o, work):
    """verify-release's last line, after printing the notes and the signature's lines on
    the way; refuses the first mismatch."""
    tree = os.path.abspath(o.tree)
    for crl in o.crls:
        if not os.path.isfile(crl):
            raise Refused(f"--crl: {crl} is not a file")
    crls = [os.path.abspath(crl) for crl in o.crls]
    ca = timestamp_ca = None
    for name in ("ca", "timestamp_ca"):
        path = getattr(o, name)
        if path:
            path = os.path.abspath(path)
            if not os.path.isfile(path):
                raise Refused(f"--{name.replace('_', '-')}: {path} is not a file")
        if name == "ca":
            ca = path
        else:
            timestamp_ca = path or ca
    if os.geteuid() != 0:
        raise Refused("must run as root (kestrova-release runs under Wine in a private network namespace)")

    # --- the tree, before anything in it is read
    try:
        listed = set(checked("tree", check_tree, tree))
    except Refused as e:
        raise Refused(f"{tree}: {e}")
    for name in ("BUILDINFO", "KestrovaSetup.exe", MANIFEST):
        if name not in listed:
            raise Refused(f"{tree} has no {name}")
    toolchain = os.path.join(work, "toolchain.txt")
    with open(toolchain, "w") as f:
        f.write("".join(line + "\n" for line in build.toolchain_versions()))
    summary, *notes = checked("buildinfo", check_buildinfo, os.path.join(tree, "BUILDINFO"), toolchain)
    commit, uncommitted, host, default_sha256, epoch, setup_sha256, tool_sha256 = summary.split(" ")
    if uncommitted != "no":
        raise Refused(f"not reproducible: {tree} was built from commit {commit} with uncommitted changes")
    if subprocess.run(["git", "-C", REPO, "cat-file", "-e", f"{commit}^{{commit}}"],
                      capture_output=True).returncode != 0:
        raise Refused(f"commit {commit} is not in {REPO} (fetch it first)")
    for note in notes:  # other toolchain versions may still give the same bytes: named, not refused
        if note.startswith("note: "):
            print(f"verify-release: {note}", flush=True)

    # --- the rebuild
    commit_work = os.path.join(work, "commit")
    os.mkdir(commit_work)
    if not build.build_commit(REPO, commit, commit_work, host, default_sha256, epoch):
        for log in ("checkout.log", "build.log"):
            try:
                with open(os.path.join(commit_work, log), errors="replace") as f:
                    print("".join(f.readlines()[-20:]), end="", flush=True)
            except OSError:
                pass
        raise Refused(f"the rebuild of commit {commit} failed")
    rebuilt = os.path.join(commit_work, "build")
    for name, recorded in (("KestrovaSetup.exe", setup_sha256), ("kestrova-release.exe", tool_sha256)):
        digest = file_sha256(os.path.join(rebuilt, name))
        if digest != recorded:
            raise Refused(f"the rebuild of commit {commit} gives {name} with SHA-256 {digest}, BUILDINFO records "
                          f"{recorded}")

    # --- the published setup
    published = os.path.join(tree, "KestrovaSetup.exe")
    signed = file_sha256(published) != setup_sha256
    if signed:
        try:
            lines = checked("signature", lambda: check_signature(os.path.join(rebuilt, "KestrovaSetup.exe"), published,
                                                                 ca=ca, tsa_ca=timestamp_ca))
        except Refused as e:
            raise Refused(f"the published KestrovaSetup.exe is not the rebuild of commit {commit} plus a valid "
                          f"signature: {e}")
        if ca:
            try:
                checked("osslsigncode-verify", osslsigncode_verify, published, ca, timestamp_ca, crls,
                        "timestamp: none" not in lines)
            except Refused as e:
                raise Refused(f"{e} (time stamp: {timestamp_ca})")
        for line in lines:
            print(f"verify-release: {line}", flush=True)

    path, default_path = client_check(tree, listed, rebuilt, work, host, default_sha256)
    anchored = f", chaining to a root in {ca}" if ca else ""
    how = f"KestrovaSetup.exe is that build plus its Authenticode signature{anchored}" if signed else \
        "KestrovaSetup.exe unsigned"
    return [f"verify-release: {tree} is commit {commit} for {host}, rebuilt byte for byte ({how}); SHA256SUMS "
                    f"holds; the client accepts the manifest for {path} and the default installer"]


def client_check(tree, listed, rebuilt, work, host, default_sha256):
    """(the installer the manifest names, the default installer), after the rebuilt tool
    under Wine accepted the manifest, that installer against it and the default installer
    against what is compiled in; refuses what it does not accept."""
    prefix = os.path.join(os.path.realpath(os.environ.get("KESTROVA_RELEASE_BUILD") or
                                           os.path.join(REPO, "build", "release")), "wineprefix")
    tool = os.path.join(rebuilt, "kestrova-release.exe")
    check_file, defaults_file = os.path.join(work, "check.txt"), os.path.join(work, "defaults.txt")

    def in_sandbox(script):
        """Runs the bash script in the sandbox with $1 the tool and $2 the work folder;
        returns (check.txt, defaults.txt)."""
        if os.path.exists(check_file):
            os.unlink(check_file)
        log = os.path.join(work, "sandbox.log")
        with open(os.devnull, "wb") as null:
            status = rehearsal.run_in_sandbox(prefix, log, ["bash", "-c", script, "check", tool, work], null)
        if status != 0 and not (os.path.exists(check_file) and os.path.getsize(check_file)):
            with open(log, errors="replace") as f:
                last = (f.read().splitlines() or [""])[-1]
            raise Refused(f"kestrova-release did not run under Wine: {last}")
        texts = []
        for name in (check_file, defaults_file):
            with open(name, errors="replace") as f:
                texts.append(f.read().replace("\r", ""))
        return texts

    def tool_line(text):
        """The tool's own line of refusal in text, else its last line."""
        lines = text.splitlines()
        return next((line for line in lines if line.startswith("kestrova-release: ")), lines[-1] if lines else "")

    shutil.copyfile(os.path.join(tree, MANIFEST), os.path.join(work, "manifest.json"))
    with open(os.path.join(work, "empty.json"), "w") as f:
        f.write("{}\n")
    # What a client reads from the manifest: the url it fetches.
    check, defaults = in_sandbox('wine "$1" defaults >"$2/defaults.txt" 2>/dev/null && '
                                 'wine "$1" check --manifest "$(winepath -w "$2/manifest.json")" >"$2/check.txt" 2>&1')
    reported = rehearsal.key_value(defaults, "host"), rehearsal.key_value(defaults, "default-sha256")
    if reported != (host, default_sha256):
        raise Refused("the rebuilt kestrova-release.exe does not report the host and digest of BUILDINFO")
    if ACCEPTED not in check.splitlines():
        raise Refused(f"kestrova-release check refuses the manifest: {tool_line(check)}")
    url = rehearsal.key_value(check, "url") or rehearsal.key_value(check, "url (default)") or ""
    prefix_url = f"https://{host}/"
    path = url[len(prefix_url):].split("?", 1)[0] if url.startswith(prefix_url) else None
    if not path or path not in listed:
        raise Refused(f"the manifest's url {url} names no installer of the tree (clients fetch it from {prefix_url})")
    default_path = f"downloads/desktop/{rehearsal.key_value(defaults, 'default-file-name')}"
    if default_path not in listed:
        raise Refused(f"{tree} has no default installer {default_path}")
    for source, name in ((path, "installer.exe"), (default_path, "default.exe")):
        try:
            os.link(os.path.join(tree, source), os.path.join(work, name))
        except OSError:
            shutil.copyfile(os.path.join(tree, source), os.path.join(work, name))
    # The installer against the manifest, the default one against what is compiled in.
    check, _ = in_sandbox('wine "$1" check --manifest "$(winepath -w "$2/manifest.json")" --installer '
                          '"$(winepath -w "$2/installer.exe")" >"$2/check.txt" 2>&1 && '
                          'wine "$1" check --manifest "$(winepath -w "$2/empty.json")" --installer '
                          '"$(winepath -w "$2/default.exe")" >"$2/check.txt" 2>&1')
    if ACCEPTED not in check.splitlines():
        raise Refused(f"kestrova-release check refuses {path} or the default installer {default_path}: "
                      f"{tool_line(check)}")
    return path, default_path
