"""The one exception of the release checks, and reading files that may be hostile."""

import hashlib
import os
import stat
import subprocess


class Refused(Exception):
    """A check that failed; its text is the one line the caller prints."""


class UsageError(Exception):
    """Wrong usage of a command; its text says what is wrong, the caller adds the usage."""


def one_line(text):
    """text with every character that is not printable (a line break too) as '?'."""
    return "".join(c if c.isprintable() else "?" for c in text)


def checked(command, function, *arguments):
    """function(*arguments), with input so malformed that it raises anything but Refused
    refused too, in one line naming the check."""
    try:
        return function(*arguments)
    except Refused:
        raise
    except Exception as e:  # noqa: BLE001 - input this malformed is refused too, in one line
        raise Refused(f"{command}: cannot be checked: the input is malformed in a way not named here "
                      f"({type(e).__name__})")


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
    """The bytes of the regular file path; refuses one larger than limit, naming it name."""
    with open_regular(path) as f:
        data = f.read(limit + 1)
    if len(data) > limit:
        raise Refused(f"{name} is larger than {limit} bytes")
    return data


def file_sha256(path):
    """The SHA-256 (hex) of the regular file path; refuses a link or anything not a file."""
    with open_regular(path) as f:
        return hashlib.file_digest(f, "sha256").hexdigest()


def time_limit():
    """Seconds a helper program (openssl, osslsigncode) may take: 60, or
    KESTROVA_CHECK_TIME_LIMIT."""
    try:
        return max(1, int(os.environ.get("KESTROVA_CHECK_TIME_LIMIT", "60")))
    except ValueError:
        return 60


def run_bounded(command, what):
    """(exit status, stdout and stderr) of command, which must end within time_limit();
    refused, naming `what`, when it does not answer or cannot be run."""
    limit = time_limit()
    try:
        done = subprocess.run(command, capture_output=True, text=True, errors="replace", stdin=subprocess.DEVNULL,
                              timeout=limit)
    except subprocess.TimeoutExpired:
        raise Refused(f"{what} did not answer within {limit} s")
    except OSError as e:
        raise Refused(f"{what} cannot be run: {e.strerror}")
    return done.returncode, done.stdout + done.stderr
