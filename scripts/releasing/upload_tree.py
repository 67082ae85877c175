"""The upload tree, staged in a new folder beside --out: the installers copied under
downloads/desktop/ (never linked: whoever can write an input file must not change the
tree after its checks), KestrovaSetup.exe, and BUILDINFO written from the table that
reads it (buildinfo.py). The manifest and SHA256SUMS are written in the rehearsal's
sandbox (rehearsal.py), where the built tool runs. Trusts nothing of the inputs but their
bytes, copied once."""

import os
import subprocess
import tempfile

from .buildinfo import buildinfo_text
from .refusal import Refused

DESKTOP = os.path.join("downloads", "desktop")


class Staging:
    """The staging folder beside out (mode 755) and what has been copied into it."""

    def __init__(self, out):
        """Refuses when no folder can be made beside out."""
        try:
            os.makedirs(os.path.dirname(out), exist_ok=True)
            self.root = tempfile.mkdtemp(prefix=f".{os.path.basename(out)}.staging.", dir=os.path.dirname(out))
        except OSError:
            raise Refused(f"cannot create a staging folder beside {out}")
        os.chmod(self.root, 0o755)
        self.desktop = os.path.join(self.root, DESKTOP)
        os.makedirs(self.desktop)
        self.copied_mb = 0

    def place(self, source, target):
        """A copy of source's bytes of its own at target (shared blocks where the file system
        can: cp --reflink=auto), never a link; refuses when it cannot be made."""
        done = subprocess.run(["cp", "--reflink=auto", "--", os.path.realpath(source), target],
                              stdin=subprocess.DEVNULL, capture_output=True)
        if done.returncode != 0:
            raise Refused(f"cannot copy {source} to {target}")
        self.copied_mb += os.stat(target).st_size // 1048576

    def place_installers(self, default_installer, default_name, installer, installer_name):
        """Copies the default installer, and the installer unless it is the same name, into downloads/desktop/."""
        self.place(default_installer, os.path.join(self.desktop, default_name))
        if not os.path.exists(os.path.join(self.desktop, installer_name)):
            self.place(installer, os.path.join(self.desktop, installer_name))

    def write_buildinfo(self, values, toolchain_lines):
        """BUILDINFO: what the binaries were built from and with; verify-release rebuilds from it."""
        with open(os.path.join(self.root, "BUILDINFO"), "w") as f:
            f.write(buildinfo_text(values, toolchain_lines))
