"""The release's runs in the network sandbox (scripts/rehearsal/sandbox): the built
kestrova-release.exe asked for its defaults, the rehearsal of a staged tree
(scripts/rehearsal/release_rehearsal.py: manifest, checks, SHA256SUMS and two runs of the
setup against nginx as the download host), and verify-release's checks under Wine. Each
sandbox has its own Wine prefix, since the sandbox locks its prefix and the release may
itself run in a sandbox that holds another. Trusts nothing the tool prints but the
"key: value" lines read from it."""

import os
import subprocess

REHEARSAL = os.path.join(os.path.dirname(os.path.dirname(os.path.realpath(__file__))), "rehearsal")
SANDBOX = os.path.join(REHEARSAL, "sandbox")
DRIVER = os.path.join(REHEARSAL, "release_rehearsal.py")
PYTHON = ["/usr/bin/python3", "-B", "-E", "-s"]


def run_in_sandbox(prefix, log, command, stdout):
    """command's exit status, run in the sandbox with the Wine prefix prefix, its stdout to
    the open file stdout and everything on stderr to the file log."""
    with open(log, "wb") as errors:
        return subprocess.run([SANDBOX, *command], env=dict(os.environ, KESTROVA_WINEPREFIX=prefix),
                              stdin=subprocess.DEVNULL, stdout=stdout, stderr=errors).returncode


def key_value(text, key):
    """The value of the first line "KEY: value" of text, or None."""
    for line in text.replace("\r", "").splitlines():
        if line.startswith(key + ": "):
            return line[len(key) + 2:]
    return None


def start_rehearsal(prefix, build_dir, tree, host, installer_name, default_name, version, work):
    """The rehearsal started in the background (its output is the caller's): a Popen, so
    that a signal reaches the caller at once and is passed on to it."""
    env = dict(os.environ, KESTROVA_WINEPREFIX=prefix, KESTROVA_SANDBOX_HOSTS=host,
               KESTROVA_PROBE_EXE=os.path.join(build_dir, "probe", "ui_probe.exe"),
               KESTROVA_E2E_ARTIFACTS=os.path.join(work, "screenshots"), KESTROVA_E2E_WORK=os.path.join(work, "work"))
    return subprocess.Popen([SANDBOX, *PYTHON, DRIVER, "--tool", os.path.join(build_dir, "kestrova-release.exe"),
                             "--tree", tree, "--host", host, "--installer-name", installer_name, "--default-name",
                             default_name, "--version", version, "--work", work], env=env, stdin=subprocess.DEVNULL)
