"""The time stamp of a signature: the RFC 3161 authorities given, in order, each a few
times, each try bounded (bounded.py), so that one that fails now and then does not fail
the release and one that is down does not hold it up for long. Trusts no authority: what
it answers is checked afterwards like any signature."""

import os
import time

from .bounded import TIMED_OUT, bounded
from .osslsigncode import first_error
from .refusal import Refused
from .signing import private_copy

TRY_SECONDS = 10
TRIES = 3
PAUSE = 2


def add_timestamp(urls, signed, scratch, out):
    """(the private copy of signed with a time stamp, the authority that gave it, how many
    tries it took); refuses when no authority answers. out: named in that refusal."""
    folder = os.path.join(scratch, "stamp")
    os.mkdir(folder)
    stamped_file, log = os.path.join(folder, "KestrovaSetup.exe"), os.path.join(scratch, "stamp.log")
    tries = 0
    for url in urls:
        for attempt in range(1, TRIES + 1):
            tries += 1
            status = bounded(TRY_SECONDS, log, ["osslsigncode", "add", "-ts", url, "-h", "sha256", "-in", signed,
                                                "-out", stamped_file])
            if status == 0:
                return private_copy(stamped_file, scratch), url, tries
            if os.path.lexists(stamped_file):
                os.unlink(stamped_file)
            if attempt < TRIES:
                time.sleep(PAUSE)
        with open(log, errors="replace") as f:
            reason = f"no answer within {TRY_SECONDS} s" if status == TIMED_OUT else first_error(f.read())
        print(f"release: time-stamp authority {url} did not answer: {reason}", flush=True)
    raise Refused(f"no time-stamp authority answered ({tries} attempts at: {' '.join(urls)}); nothing was written "
                  f"to {out}")
