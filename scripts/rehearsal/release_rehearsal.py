"""The part of scripts/release that runs under Wine, inside scripts/rehearsal/sandbox (started
with KESTROVA_SANDBOX_HOSTS=HOST), on the staged upload tree:

1. `kestrova-release manifest` writes downloads/desktop/kestrova-win-x64.json for the
   installer and reads it back as the client would;
2. `kestrova-release check` reads that manifest and verifies the installer against it,
   and verifies the default installer against a manifest without members (what a
   client falls back to: the default URL, size and SHA-256 compiled in);
3. SHA256SUMS lists every file of the tree;
4. the rehearsal: nginx serves exactly the tree as HOST, and the tree's
   KestrovaSetup.exe runs twice with one LOCALAPPDATA: the first run, with an empty
   cache, must download the installer, verify it, start it and show the information
   box; the second must use the cache (no installer request reaches nginx). The
   installer started by each run is stopped after the box.

    release_rehearsal.py --tool EXE --tree DIR --host HOST --installer-name NAME
                         --default-name NAME --version VERSION --work DIR

Exit status 0 when all of it went as designed; otherwise the last line on stderr
says what did not.
"""

import argparse
import contextlib
import hashlib
import os
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

import harness
from nginx_host import NginxHost

MANIFEST = "kestrova-win-x64.json"
STARTED = harness.Box("information", "Der Kestrova Hauptinstaller wurde gestartet.")
DOWNLOADING = "Lade Kestrova herunter"
CACHED = "Installer bereits vorhanden"


class ReleaseFailure(Exception):
    """One line saying which step did not go as designed."""


def tool(exe, *args):
    """Runs kestrova-release.exe with these arguments; its output is shown as it is."""
    done = subprocess.run(["wine", str(exe), *args], stdin=subprocess.DEVNULL,
                          capture_output=True, text=True, errors="replace")
    for stream, text in ((sys.stdout, done.stdout), (sys.stderr, done.stderr)):
        if text.strip():
            stream.write("".join("  " + line + "\n" for line in text.replace("\r", "").splitlines()))
            stream.flush()
    return done.returncode


def write_sums(tree):
    lines = []
    for path in sorted(p for p in tree.rglob("*") if p.is_file()):
        with open(path, "rb") as f:
            digest = hashlib.file_digest(f, "sha256").hexdigest()
        lines.append(f"{digest}  {path.relative_to(tree).as_posix()}\n")
    (tree / "SHA256SUMS").write_text("".join(lines))


def stop_installer(cached):
    """Stops the installer a run started: the Wine process in this sandbox whose program
    is the cached file, if it still runs (the demo installer ends itself after 5 s)."""
    program = harness.windows_path(cached).lower()
    our_net = os.readlink("/proc/self/ns/net")
    for pid in (int(p) for p in os.listdir("/proc") if p.isdigit()):
        try:
            if os.readlink(f"/proc/{pid}/ns/net") != our_net:
                continue
            argv0 = Path(f"/proc/{pid}/cmdline").read_bytes().split(b"\0")[0].decode(errors="replace")
        except OSError:
            continue
        if argv0.lower() == program:
            os.kill(pid, signal.SIGKILL)


def rehearsal_run(number, setup, env, host, installer_path, timeout):
    """One run of the setup; returns it with the installer requests nginx saw meanwhile."""
    before = len(host.requests())
    run = harness.run_setup(f"release-run{number}", exe=setup, env=env, timeout=timeout)
    requests = host.requests()[before:]
    boxes = ", ".join(f"{box.kind} box '{box.text}'" for box in run.boxes) or "no box"
    print(f"release: rehearsal run {number} ({run.duration:.1f} s): "
          f"{' -> '.join(dict.fromkeys(s.title for s in run.states))}; {boxes}", flush=True)
    fetched = [r for r in requests if r[1] == installer_path]
    manifest = [r for r in requests if r[1].endswith("/" + MANIFEST)]
    if not manifest:
        raise ReleaseFailure(f"rehearsal run {number}: the manifest was never requested")
    if run.boxes != [STARTED] or run.exit_code != 0:
        print(run.describe(), file=sys.stderr)
        raise ReleaseFailure(f"rehearsal run {number}: ended with {run.boxes} (exit {run.exit_code}), "
                             f"not the box '{STARTED.text}'")
    return run, fetched


def rehearse(tree, host_name, installer_name, work, host=None):
    """The two runs of the tree's setup against `host`, a running download host for
    host_name with requests() as NginxHost gives them (default: nginx serving the tree).
    Raises ReleaseFailure when a run did not go as designed."""
    setup = tree / "KestrovaSetup.exe"
    installer_path = f"/downloads/desktop/{installer_name}"
    size = (tree / installer_path.lstrip("/")).stat().st_size
    local_app_data = work / "LocalAppData"
    shutil.rmtree(local_app_data, ignore_errors=True)
    local_app_data.mkdir(parents=True)
    cached = local_app_data / "Kestrova" / "InstallerCache" / installer_name
    env = harness.default_env(harness.windows_path(local_app_data))
    # Generous: 1 MB/s for the download (the reference release takes about 10 s here).
    timeout = 120 + size / 1e6

    with NginxHost(tree) if host is None else contextlib.nullcontext(host) as host:
        run, fetched = rehearsal_run(1, setup, env, host, installer_path, timeout)
        stop_installer(cached)
        if DOWNLOADING not in [s.title for s in run.states] or fetched != [("GET", installer_path, "200")]:
            raise ReleaseFailure(f"rehearsal run 1: expected one download of {installer_path} from "
                                 f"{host_name}, nginx saw {fetched}")
        if not cached.is_file() or cached.stat().st_size != size:
            raise ReleaseFailure(f"rehearsal run 1: no verified copy of {installer_name} in the cache")

        run, fetched = rehearsal_run(2, setup, env, host, installer_path, timeout)
        stop_installer(cached)
        if fetched or CACHED not in [s.title for s in run.states]:
            raise ReleaseFailure(f"rehearsal run 2: did not use the cache ('{CACHED}' not shown, "
                                 f"installer requests {fetched})")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--tool", type=Path, required=True)
    parser.add_argument("--tree", type=Path, required=True)
    parser.add_argument("--host", required=True)
    parser.add_argument("--installer-name", required=True)
    parser.add_argument("--default-name", required=True)
    parser.add_argument("--version", required=True)
    parser.add_argument("--work", type=Path, required=True)
    args = parser.parse_args()
    # Stopped from outside (the sandbox passes its signals on): leave as on a failure,
    # with nginx and the setup stopped on the way out.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    tree = args.tree.resolve()
    desktop = tree / "downloads" / "desktop"
    installer = desktop / args.installer_name
    manifest = desktop / MANIFEST
    url = f"https://{args.host}/downloads/desktop/{args.installer_name}"
    started = time.monotonic()
    try:
        print(f"release: writing {MANIFEST} for {url}", flush=True)
        if tool(args.tool, "manifest", "--installer", harness.windows_path(installer), "--url", url,
                "--version", args.version, "--out", harness.windows_path(manifest)) != 0:
            raise ReleaseFailure("kestrova-release manifest refused the release (see above)")
        print(f"release: checking {MANIFEST} against {args.installer_name} as a client would", flush=True)
        if tool(args.tool, "check", "--manifest", harness.windows_path(manifest),
                "--installer", harness.windows_path(installer)) != 0:
            raise ReleaseFailure("kestrova-release check refused the written manifest (see above)")
        print(f"release: checking {args.default_name} against the defaults compiled in", flush=True)
        args.work.mkdir(parents=True, exist_ok=True)
        no_members = args.work / "no-members.json"
        no_members.write_text("{}\n")
        if tool(args.tool, "check", "--manifest", harness.windows_path(no_members),
                "--installer", harness.windows_path(desktop / args.default_name)) != 0:
            raise ReleaseFailure(f"{args.default_name} is not what a client falls back to (see above)")
        write_sums(tree)
        checked = time.monotonic()
        print(f"release: rehearsing with KestrovaSetup.exe against nginx as {args.host}", flush=True)
        rehearse(tree, args.host, args.installer_name, args.work)
    except (ReleaseFailure, harness.HarnessError) as e:
        lines = str(e).splitlines()
        if len(lines) > 1:
            print("\n".join(lines[1:]), file=sys.stderr)
        print(f"release: {lines[0]}", file=sys.stderr)
        return 1
    print(f"release: manifest and checks passed in {checked - started:.1f} s, "
          f"the rehearsal in {time.monotonic() - checked:.1f} s", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
