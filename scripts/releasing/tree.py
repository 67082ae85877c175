"""Upload trees: regular files only, exactly the files SHA256SUMS lists, each with its
digest. Trusts nothing in the tree: links, FIFOs, devices and paths out of it are refused
before anything is read."""

import hashlib
import os
import re
import stat

from .refusal import Refused, file_sha256, read_limited

SUMS = "SHA256SUMS"
SAFE_COMPONENT = re.compile(r"[A-Za-z0-9_+-][A-Za-z0-9._+-]*")
SUMS_LINE = re.compile(r"([0-9a-f]{64}) [ *](.+)")
MAX_SUMS_BYTES = 1 << 20


def regular_files(root):
    """Every file below root as a relative path, without following links; a link, FIFO,
    device or socket anywhere is refused before anything is read."""
    found = []
    pending = [""]
    while pending:
        folder = pending.pop()
        with os.scandir(os.path.join(root, folder)) as entries:
            for entry in entries:
                relative = os.path.join(folder, entry.name) if folder else entry.name
                mode = entry.stat(follow_symlinks=False).st_mode
                if stat.S_ISDIR(mode):
                    pending.append(relative)
                elif stat.S_ISREG(mode):
                    found.append(relative)
                elif stat.S_ISLNK(mode):
                    raise Refused(f"{relative} is a symbolic link: a tree holds regular files only")
                else:
                    raise Refused(f"{relative} is not a regular file (a FIFO, device or socket)")
    return found


def read_sums(data):
    """(path, digest) pairs of a SHA256SUMS text: relative paths of safe components only."""
    try:
        text = data.decode("ascii")
    except UnicodeDecodeError:
        raise Refused(f"{SUMS} is not plain ASCII")
    listed = []
    for number, line in enumerate(text.split("\n")[:-1] if text.endswith("\n") else text.split("\n"), 1):
        match = SUMS_LINE.fullmatch(line)
        if not match:
            raise Refused(f"{SUMS} line {number} is not '<sha256>  <path>'")
        digest, path = match.groups()
        if path.startswith("/") or ".." in path.split("/"):
            raise Refused(f"{SUMS} line {number} names {path}, which is not a path inside the tree")
        if not all(SAFE_COMPONENT.fullmatch(part) for part in path.split("/")) or path == SUMS:
            raise Refused(f"{SUMS} line {number} names {path!r}: only letters, digits, '.', '_', '+' and '-' "
                          "in a relative path")
        listed.append((path, digest))
    names = [path for path, _ in listed]
    if len(set(names)) != len(names):
        raise Refused(f"{SUMS} lists a file twice")
    if not listed:
        raise Refused(f"{SUMS} lists no file")
    return listed


def check_tree(root):
    """The files SHA256SUMS lists, after checking that the tree is regular files only,
    holds exactly those files and SHA256SUMS, and that every digest holds."""
    return [path for path in checked_digests(root) if path != SUMS]


def checked_digests(root):
    """{path: SHA-256} of every file SHA256SUMS lists, in its order, and of SHA256SUMS
    itself, all from the one reading of SHA256SUMS that was checked (check_tree's
    checks): the digests used are the ones checked."""
    if not os.path.isdir(root) or os.path.islink(root):
        raise Refused(f"{root} is not a folder")
    present = set(regular_files(root))
    if SUMS not in present:
        raise Refused(f"{root} has no {SUMS}")
    data = read_limited(os.path.join(root, SUMS), MAX_SUMS_BYTES, SUMS)
    listed = read_sums(data)
    names = {path for path, _ in listed}
    for path in sorted(present - names - {SUMS}):
        raise Refused(f"{path} is in the tree but not listed in {SUMS}")
    for path in sorted(names - present):
        raise Refused(f"{SUMS} lists {path}, which the tree does not hold")
    for path, digest in listed:
        actual = file_sha256(os.path.join(root, path))
        if actual != digest:
            raise Refused(f"{path} has SHA-256 {actual}, {SUMS} says {digest}")
    return {**dict(listed), SUMS: hashlib.sha256(data).hexdigest()}
