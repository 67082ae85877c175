"""The one exception of the release checks, and reading files that may be hostile."""

import hashlib
import os
import stat


class Refused(Exception):
    """A check that failed; its text is the one line the caller prints."""


def open_regular(path):
    """An open file at path, which must be a regular file and not a link (checked on the
    open file itself, so a file swapped in after the walk cannot hang or mislead)."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC)
    except OSError as e:
        raise Refused(f"{path} cannot be opened: {e.strerror}")
    if not stat.S_ISREG(os.fstat(fd).st_mode):
        os.close(fd)
        raise Refused(f"{path} is not a regular file")
    return os.fdopen(fd, "rb")


def read_limited(path, limit, name):
    with open_regular(path) as f:
        data = f.read(limit + 1)
    if len(data) > limit:
        raise Refused(f"{name} is larger than {limit} bytes")
    return data


def file_sha256(path):
    with open_regular(path) as f:
        return hashlib.file_digest(f, "sha256").hexdigest()

