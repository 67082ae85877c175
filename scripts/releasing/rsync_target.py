"""An rsync destination as a publish target: the web root of a download host, as a local
folder, host:path (over ssh) or rsync://host/module/path.

Trusts nothing rsync lists: names are matched against the tree's own paths, and the
comparison is made by rsync on the target's side, so that a remote target is judged the
same way as a local one; but every installer, and every file once written, is trusted
only once read back and hashed here. Every rsync call names its files with --files-from
and --no-implied-dirs: the folders on the way are neither sent nor compared, so the
target's folders keep their modes and owners, and a folder that is a symbolic link
stays one. No --copy-links: a link is never followed at a file's name on the target.
--no-motd: a daemon's message of the day must not mix with the listings read here.
Every call has a time limit: rsync's own --timeout (no data for that long) and
--contimeout (a daemon that does not answer), and a limit on the whole call.
"""

import hashlib
import os
import re
import subprocess
import tempfile

from .publish_plan import DIFFERENT, IDENTICAL, LINK, NEW, OTHER
from .refusal import Refused, open_regular

IO_TIMEOUT = 120          # seconds without data before rsync gives up
LISTING_TIMEOUT = 600     # a listing or a --checksum comparison (it reads every file)
TRANSFER_TIMEOUT = 6 * 3600
COMMON = ["rsync", "--no-motd", f"--timeout={IO_TIMEOUT}", "--no-implied-dirs", "--from0"]


def first_line(text, default="rsync failed"):
    """The first line of text that is not blank, stripped, or default."""
    for line in text.splitlines():
        if line.strip():
            return line.strip()
    return default


class RsyncTarget:
    def __init__(self, destination):
        self.name = destination
        self.remote = destination.startswith("rsync://") or re.match(r"^[^/]*:", destination) is not None
        # "host:" alone is the home folder on host; "host:/" would be the root.
        self.destination = destination if destination.endswith(("/", ":")) else destination + "/"
        self.common = COMMON + ([f"--contimeout={IO_TIMEOUT}"] if destination.startswith("rsync://") else [])
        self.tree = None

    def rsync(self, arguments, files, timeout):
        """rsync with `files` as its list; (status, stdout, stderr). A time-out or an
        rsync that cannot start is refused, naming the target."""
        with tempfile.NamedTemporaryFile("wb", prefix="publish-files-") as listing:
            listing.write(b"".join(f.encode() + b"\0" for f in files))
            listing.flush()
            command = self.common + arguments[:-2] + [f"--files-from={listing.name}"] + arguments[-2:]
            try:
                done = subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True, timeout=timeout)
            except subprocess.TimeoutExpired:
                raise Refused(f"{self.name} did not answer: rsync took more than {timeout} s")
            except OSError as e:
                raise Refused(f"rsync cannot be started ({e.strerror}; scripts/setup installs it)")
        return done.returncode, done.stdout.decode("utf-8", "replace"), done.stderr.decode("utf-8", "replace")

    def link_message(self, errors, paths):
        """After a failure: one line naming the folder link on the way that rsync could
        not write through (it does only when the link stays inside the destination), from
        a listing of the tree's folders on the target; None when no folder is a link."""
        folders = {p.rsplit("/", i)[0] for p in paths for i in range(1, p.count("/") + 1)}
        _, out, _ = self.rsync(["--list-only", "--links", "--ignore-missing-args", self.destination,
                                "/nonexistent-listing"], sorted(folders), LISTING_TIMEOUT)
        link = link_to = ""
        for line in out.splitlines():
            mode, _, _, _, rest = (line.split(None, 4) + [""] * 5)[:5]
            name, _, to = rest.partition(" -> ")
            # The deepest link is the one rsync stopped at: links above it lead inside.
            if mode.startswith("l") and name in folders and len(name) > len(link):
                link, link_to = name, to
        loop = re.search(r".*(Too many levels of symbolic links|\(40\)$).*", errors, re.M)
        if loop:
            if not link:
                return (f"a folder on {self.name} is a symbolic link out of {self.name} (or in a loop): rsync writes "
                        f"through a folder link only when it stays inside the destination ({loop.group(0).strip()})")
            return (f"{self.name}/{link} is a symbolic link to '{link_to}', out of {self.name} (or in a loop): rsync "
                    "writes through a folder link only when it stays inside the destination; point it inside "
                    f"{self.name} or make it a folder, then publish again")
        if link:
            return (f"{first_line(errors)}; {self.name}/{link} is a symbolic link to '{link_to}', which rsync could "
                    f"not write through: it must lead to a folder inside {self.name}")
        return None

    def survey(self, tree):
        """{path: state} of every file of the tree on the target. Fails on a target that
        does not exist: rsync would create a missing destination, and a mistyped target
        must not become a new folder."""
        self.tree = tree
        paths = [f.path for f in tree.all]
        # What the target has under each name, without following the name itself. The
        # second path only makes it a listing; nothing is written there.
        status, out, errors = self.rsync(["--list-only", "--links", "--ignore-missing-args", self.destination,
                                          "/nonexistent-listing"], paths, LISTING_TIMEOUT)
        if status != 0:
            loop = self.link_message(errors, paths)
            raise Refused(f"--to: {loop or f'cannot read {self.name}: {first_line(errors)}'}")
        kinds = {}
        for line in out.splitlines():
            fields = line.split(None, 4)
            if len(fields) == 5:
                kinds[fields[4].partition(" -> ")[0]] = fields[0][:1]
        states = self.compare(paths)
        for path in paths:
            kind = kinds.get(path, "")
            if kind == "l":
                states[path] = LINK
            elif kind not in ("", "-"):
                states[path] = OTHER
            elif path not in states:
                raise Refused(f"cannot compare {path} with {self.name} (rsync did not list it)")
        return states

    def compare(self, paths):
        """{path: new, identical or different} by content, computed on the target's side.
        --keep-dirlinks as in the upload, so that a folder link is followed here exactly
        as it will be then."""
        status, out, errors = self.rsync(["--dry-run", "--checksum", "--keep-dirlinks", "-ii", "--out-format=%i %n",
                                          self.tree.root + "/", self.destination], paths, LISTING_TIMEOUT)
        if status != 0:
            loop = self.link_message(errors, paths)
            raise Refused(f"--to: {loop}" if loop else f"cannot compare with {self.name}: {first_line(errors)}")
        states = {}
        for line in out.splitlines():
            item, name = (line.split(None, 1) + [""])[:2]
            # "<f" is a file sent to a remote target, ">f" one written to a local one.
            if re.fullmatch(r"[<>]f\+{9}", item):
                states[name] = NEW
            elif re.fullmatch(r"[<>]f.*", item):
                states[name] = DIFFERENT
            elif item.startswith(".f"):
                states[name] = IDENTICAL
        return states

    def describe(self, f):
        """The SHA-256 of f's name on the target, for a message (fetched when remote)."""
        digest, _ = self.digest_on_target(f)
        return digest or "unknown (no longer a file, or it cannot be fetched)"

    def digest_on_target(self, f):
        """(SHA-256, size) of the bytes the target holds under f's name, read here: a
        local target's file opened (a folder link on the way followed, as --keep-dirlinks
        writes through it; the name itself never), a remote one's fetched into a scratch
        folder first; (None, 0) when there is no such file or it cannot be fetched."""
        if not self.remote:
            try:
                with open_regular(os.path.join(self.name, f.path)) as held:
                    digest = hashlib.file_digest(held, "sha256")
                    return digest.hexdigest(), held.tell()
            except Refused:
                return None, 0
        with tempfile.TemporaryDirectory(prefix="publish-fetch-") as scratch:
            fetched = os.path.join(scratch, "fetched")
            try:
                done = subprocess.run(["rsync", "--quiet", "--no-motd", f"--timeout={IO_TIMEOUT}",
                                       self.destination + f.path, fetched],
                                      stdin=subprocess.DEVNULL, capture_output=True, timeout=TRANSFER_TIMEOUT)
            except subprocess.TimeoutExpired:
                return None, 0
            if done.returncode != 0:
                return None, 0
            try:
                with open_regular(fetched) as held:
                    return hashlib.file_digest(held, "sha256").hexdigest(), os.fstat(held.fileno()).st_size
            except Refused:
                return None, 0

    def upload(self, what, files, create_only=False, progress=print):
        """Writes the files that differ, each under a temporary name then renamed;
        returns the paths rsync did not write (it lists each file it writes, and with -ii
        each one it finds identical).

        No --inplace or --partial: a file appears under its name only once complete. --fsync:
        on disk before the next step (a manifest must never outlive its installer in a
        crash). --perms --chmod=F644: every file written is 644; no folder is in the
        transfer, so no folder's mode or time changes. --keep-dirlinks: a folder link on
        the target is written through. --ignore-existing (create_only, the installers):
        never written over a file that appeared since the comparison."""
        paths = [f.path for f in files]
        if not paths:
            return []
        status, out, errors = self.rsync(
            ["--checksum", "--times", "--omit-dir-times", "--perms", "--chmod=F644", "--fsync", "--keep-dirlinks"] +
            (["--ignore-existing"] if create_only else []) + ["-ii", "--out-format=%i %n", self.tree.root + "/",
                                                              self.destination], paths, TRANSFER_TIMEOUT)
        if status != 0:
            loop = self.link_message(errors, paths)
            raise Refused(f"uploading {what} to {self.name} failed: {loop or first_line(errors)}")
        unwritten = set(paths)
        for line in out.splitlines():
            item, name = (line.split(None, 1) + [""])[:2]
            if re.fullmatch(r"[<>]f.*", item):
                progress(f"  uploaded {name}")
            if re.fullmatch(r"[<>.]f.*", item):
                unwritten.discard(name)
        return sorted(unwritten)

    def put_installers(self, files, progress=print):
        """Creates the new installers; one that appeared since the comparison was left as
        it is and must hold the tree's bytes."""
        unwritten = self.upload("installers", files, create_only=True, progress=progress)
        if unwritten:
            states = self.compare(unwritten)
            for path in unwritten:
                if states.get(path) != IDENTICAL:
                    raise Refused(f"{self.name}/{path} appeared since the comparison and holds other bytes than the "
                                  "tree's; it was left as it is and the manifest is unchanged everywhere")
                progress(f"  skip     {path} (appeared since the comparison, identical)")

    def read_back(self, files, progress=print, when="when read back before the manifest; the manifest is "
                                                       "unchanged everywhere"):
        """Each file as the target holds it, read here and hashed (digest_on_target) and
        compared with the tree's checked SHA-256, not with the tree's file as it is now."""
        for f in files:
            digest, size = self.digest_on_target(f)
            if (digest, size) != (f.sha256, f.size):
                raise Refused(f"{self.name}/{f.path} does not hold the tree's bytes (SHA-256 "
                              f"{digest or 'unknown: no longer a file, or it cannot be fetched'}) {when}")
            progress(f"  verified {f.path} on {self.name} (read back, SHA-256 compared)")

    def put(self, what, files, progress=print):
        """Replaces the files that differ (the manifest, the setup, SHA256SUMS), each
        atomically. A file rsync leaves unwritten changed since the comparison."""
        unwritten = self.upload(what, files, progress=progress)
        if unwritten:
            raise Refused(f"rsync did not write {unwritten[0]} to {self.name}: it changed since the comparison "
                          f"(in the tree or on {self.name}); publish again")
        self.read_back(files, progress, "when read back after its upload")

    def pending_uploads(self):
        """No rsync target has incomplete uploads to list: an empty list."""
        return []
