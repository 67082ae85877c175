"""Which botocore, boto3, asn1crypto and cryptography /usr/bin/python3 imports, and from
where, and which osslsigncode the release runs: the release tests hold the code to Debian
12's own packages, and a copy installed by hand (under /usr/local, in the user's site, on
PYTHONPATH) would let them pass on one machine and fail on every fresh one.

    /usr/bin/python3 -B -E -s tests/release/debian_packages.py

Prints one line per package; exits 1 with one line naming the file that hides Debian's
package, or the package that is missing.
"""
import importlib
import shutil
import subprocess
import sys
from pathlib import Path

DEBIAN_PYTHON = Path("/usr/bin/python3")
DEBIAN_SITE = Path("/usr/lib/python3/dist-packages")
MODULES = {"botocore": "python3-botocore", "boto3": "python3-boto3",
           "asn1crypto": "python3-asn1crypto", "cryptography": "python3-cryptography"}


class Refused(Exception):
    pass


def python_packages():
    """[(module, version, file)] of what this interpreter imports; refuses one that does
    not come from Debian's dist-packages, naming the file that hides it."""
    if Path(sys.executable) != DEBIAN_PYTHON:
        raise Refused(f"runs on {sys.executable}, not {DEBIAN_PYTHON}")
    found = []
    for module, package in MODULES.items():
        try:
            imported = importlib.import_module(module)
        except ImportError as e:
            raise Refused(f"{DEBIAN_PYTHON} cannot import {module} ({e}): install Debian's {package} (scripts/setup)")
        where = Path(imported.__file__).resolve()
        if not where.is_relative_to(DEBIAN_SITE):
            raise Refused(f"{module} {imported.__version__} comes from {where}, which hides Debian's {package}: "
                          "remove that copy")
        found.append((module, imported.__version__, where))
    return found


def osslsigncode():
    """(path, what it says of its version, its Debian package and version)."""
    path = shutil.which("osslsigncode")
    if path is None:
        raise Refused("no osslsigncode in PATH: install Debian's osslsigncode (scripts/setup)")
    try:
        said = subprocess.run([path, "--version"], capture_output=True, text=True, timeout=10,
                              stdin=subprocess.DEVNULL).stdout.splitlines()
        owner = subprocess.run(["dpkg-query", "-S", str(Path(path).resolve())], capture_output=True, text=True,
                               timeout=10)
    except (OSError, subprocess.TimeoutExpired) as e:
        raise Refused(f"{path} --version or dpkg-query did not answer: {e}")
    if owner.returncode != 0:
        raise Refused(f"{path} belongs to no Debian package: remove that copy")
    package = owner.stdout.split(":", 1)[0]
    version = subprocess.run(["dpkg-query", "-W", "-f=${Version}", package], capture_output=True, text=True,
                             timeout=10).stdout
    return path, said[0].split(",")[0] if said else "(no version line)", f"{package} {version}"


def main():
    try:
        for module, version, where in python_packages():
            print(f"{module:13} {version:9} {where}")
        path, said, package = osslsigncode()
        print(f"{'osslsigncode':13} {path}: {said} (Debian's {package})")
    except Refused as e:
        print(f"debian_packages: {e}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
