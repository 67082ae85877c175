"""The last step of a release: the staged tree renamed to --out, with no signal between
the renames, so that --out is always either the previous tree or the new one. With
--force the previous tree is renamed aside first and removed once the new one is in
place. Trusts nothing but rename(2)'s atomicity."""

import os
import shutil
import signal
import tempfile

from .refusal import Refused

SIGNALS = {signal.SIGINT, signal.SIGTERM, signal.SIGHUP}


def into_place(staging, out):
    """Renames staging to out (an absent or empty folder, or a previous tree, set aside);
    refuses, leaving out as it was, when the rename fails."""
    handlers = {number: signal.signal(number, signal.SIG_IGN) for number in SIGNALS}
    old = None
    try:
        if os.path.isdir(out) and os.listdir(out):
            old = tempfile.mkdtemp(prefix=f".{os.path.basename(out)}.old.", dir=os.path.dirname(out))
            os.rename(out, old)
        try:
            os.rename(staging, out)
        except OSError as e:
            if old:
                os.rename(old, out)
            raise Refused(f"cannot move the upload tree to {out} ({e.strerror}); it is unchanged")
    finally:
        for number, handler in handlers.items():
            signal.signal(number, handler)
    if old:
        shutil.rmtree(old, ignore_errors=True)
