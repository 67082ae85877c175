"""The publish plan: what an upload tree holds, in which order each kind of file goes
out, the headers each kind is served with, and what a target's comparison allows.

Trusts nothing it is handed: the tree is checked by tree.checked_digests (regular files
only, exactly what SHA256SUMS lists, every digest right; SHA256SUMS read once, so the
digests used are those checked) before anything else is read,
the manifest's URL is parsed and its host checked, and a target's answers are states
that are judged here, never paths or commands.
"""

import json
import os
import re
import urllib.parse

from .refusal import Refused, read_limited
from .host_name import is_host_name
from .tree import SUMS, checked_digests

MANIFEST = "downloads/desktop/kestrova-win-x64.json"
INSTALLERS = "downloads/desktop/"
SETUP = "KestrovaSetup.exe"
SAFE_PATH = re.compile(r"[A-Za-z0-9._+-]+(/[A-Za-z0-9._+-]+)*")
MAX_MANIFEST_BYTES = 64 << 10

# Content-Type and Cache-Control of each kind of file, as docs/download-host/nginx.conf
# serves them.
HEADERS = {
    "manifest": ("application/json", "no-cache"),
    "installer": ("application/octet-stream", "public, max-age=31536000, immutable"),
    "setup": ("application/octet-stream", "public, max-age=300"),
    "other": ("application/octet-stream", "no-cache"),
}

# A target's state for one file: absent, the tree's bytes, other bytes, or something
# that is not a file (a link or a folder on an rsync target).
NEW, IDENTICAL, DIFFERENT, LINK, OTHER = "new", "identical", "different", "link", "other"


class TreeFile:
    """One file of the tree: its path in the tree (and key or name on a target), its
    local path, size, SHA-256 (from the checked SHA256SUMS) and kind."""

    def __init__(self, root, path, sha256, kind):
        self.path, self.sha256, self.kind = path, sha256, kind
        self.local = os.path.join(root, path)
        self.size = os.lstat(self.local).st_size

    @property
    def headers(self):
        """(Content-Type, Cache-Control) the download host serves its kind with."""
        return HEADERS[self.kind]


def kind_of(path):
    """The kind of a tree path: manifest, installer, setup or other."""
    if path == MANIFEST:
        return "manifest"
    if path.startswith(INSTALLERS):
        return "installer"
    return "setup" if path == SETUP else "other"


class Tree:
    """A checked upload tree in publish order: installers, the manifest, then the
    setup, everything else and SHA256SUMS last (so that it never lists a file a target
    does not have yet). `url` and `host` are the manifest's, `served` the installer it
    names."""

    def __init__(self, root):
        root = os.path.realpath(root)
        if not os.path.isdir(root):
            raise Refused(f"--tree: {root} is not a folder")
        try:
            digests = checked_digests(root)
        except Refused as e:
            raise Refused(f"--tree: {e}")
        for path in digests:
            if not SAFE_PATH.fullmatch(path):
                raise Refused(f"--tree: {path!r} is not a path of an upload tree")
        files = {path: TreeFile(root, path, digest, kind_of(path)) for path, digest in digests.items()}
        if MANIFEST not in files:
            raise Refused(f"--tree: {root} has no {MANIFEST} (not an upload tree of scripts/release)")
        self.root = root
        self.installers = sorted((f for f in files.values() if f.kind == "installer"), key=lambda f: f.path)
        if not self.installers:
            raise Refused(f"--tree: {root} has no installer under {INSTALLERS}")
        self.manifest = files[MANIFEST]
        others = sorted((f for f in files.values() if f.kind == "other" and f.path != SUMS), key=lambda f: f.path)
        self.rest = ([files[SETUP]] if SETUP in files else []) + others + [files[SUMS]]
        self.all = self.installers + [self.manifest] + self.rest
        self.url, self.host, self.served = read_manifest_url(read_limited(self.manifest.local, MAX_MANIFEST_BYTES,
                                                                          "the manifest"))

    def require_served(self):
        """The installer the manifest names must be in the tree (for the live check)."""
        if self.host is None:
            raise Refused(f"--tree: {MANIFEST} names no https url (scripts/release always writes one)")
        if self.served not in {f.path for f in self.installers}:
            raise Refused(f"--tree: {MANIFEST} points at {self.served}, which the tree does not hold")

    def url_of(self, path):
        return f"https://{self.host}/{path}"


def read_manifest_url(data):
    """(url, host, the tree path of the installer it names) from the manifest's "url";
    (None, None, None) when it names none. A host that is not a lower-case host name is
    refused: it names a folder of the tool and goes into URLs."""
    try:
        url = json.loads(data.decode("utf-8")).get("url")
    except (UnicodeDecodeError, ValueError, AttributeError):
        raise Refused(f"--tree: {MANIFEST} is not a JSON object")
    if not isinstance(url, str) or not url.startswith("https://"):
        return None, None, None
    parts = urllib.parse.urlsplit(url)
    host = parts.netloc
    if not is_host_name(host):
        raise Refused(f"--tree: {MANIFEST} names the host {host!r}, which is not a lower-case host name")
    return url, host, INSTALLERS + parts.path.rsplit("/", 1)[-1]


class TargetPlan:
    """One target's comparison, judged: the installers to create, the files to replace,
    and the first refusal (None when there is none)."""

    def __init__(self, target, tree, states, describe):
        self.target = target
        self.new_installers = [f for f in tree.installers if states[f.path] == NEW]
        self.changed = {f.path for f in tree.all if states[f.path] in (NEW, DIFFERENT)}
        self.refusal = None
        self.lines = []
        for f in tree.all:
            state = states[f.path]
            if state in (NEW, DIFFERENT) and not (f.kind == "installer" and state == DIFFERENT):
                self.lines.append(f"  upload   {f.path}")
            elif state == IDENTICAL:
                self.lines.append(f"  skip     {f.path} (identical)")
            else:
                self.lines.append(f"  refuse   {f.path} ({REFUSED_WHY[state]})")
                if self.refusal is None:
                    self.refusal = refusal(target, f, state, describe)


REFUSED_WHY = {LINK: "a symbolic link on the target", OTHER: "not a file on the target",
               DIFFERENT: "other bytes already published"}


def refusal(target, f, state, describe):
    """The one line refusing state of f on target, or None when that state is no reason to refuse."""
    where = f"{target}/{f.path}"
    if state == LINK:
        return (f"{where} is a symbolic link; publish never writes through a link nor replaces one: make it the "
                "file itself (or remove it), then publish again")
    if state == OTHER:
        return (f"{where} is not a regular file (a folder, FIFO, device or socket) where the tree has a file; "
                "publish replaces nothing of that kind")
    return (f"{where} holds other bytes (SHA-256 {describe(f)}) than the tree's {f.path} (SHA-256 {f.sha256}); "
            "a published installer is never replaced: publish the new build under a new file name")


def checked_installers(tree, plans):
    """What is fetched through the download host before the manifest: every installer
    new on some target that a client may fetch (the names its policy accepts), then the
    manifest's own installer, even when it is already there."""
    new = {f.path for plan in plans for f in plan.new_installers}
    checked = [f for f in tree.installers if f.path in new and f.path != tree.served
               and re.fullmatch(r"kestrova-.*\.exe", f.path.rsplit("/", 1)[-1].lower())]
    return checked + [f for f in tree.installers if f.path == tree.served]
