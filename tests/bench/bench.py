"""The benchmark, run by scripts/bench inside scripts/rehearsal/sandbox: nginx serves the
reference release and its manifest as download.kestrova.example (as in the demo),
and each round measures, in this order:

  (a) raw_download.exe: WinHTTP alone moving the release into a file
  (b) raw_sha256.exe: CNG SHA-256 alone over that file
  (c) the setup's first run (empty cache): its start to the information box
  (d) its second run (same cache): its start to the information box
  (e) the peak memory of both runs (VmHWM of the Wine process running the setup)
  (f) the window closed during the hashing, then during the download: the close to
      the "Abgebrochen" box

then prints a table of medians and spreads to stdout and keeps it in build/bench/.
It is a benchmark, not a test: nothing fails on a time.

    /usr/bin/python3 -B -E -s tests/bench/bench.py [--rounds N]
"""

import argparse
import datetime
import os
import shutil
import statistics
import subprocess
import sys
import threading
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "scripts" / "rehearsal"))
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "e2e"))
import harness  # noqa: E402
from nginx_host import NginxHost  # noqa: E402
from reference_site import RELEASE_NAME, RELEASE_SIZE, reference_release, reference_site  # noqa: E402

OUT = harness.BUILD.parent / "bench"
HELPERS = harness.BUILD / "tests" / "bench"
RELEASE_URL = f"https://download.kestrova.example/downloads/desktop/{RELEASE_NAME}"

DOWNLOAD_TITLE = "Lade Kestrova herunter"
HASHING_TITLE = "Pruefe Download"
CACHED_TITLE = "Installer bereits vorhanden"
LAUNCH_TITLE = "Starte Hauptinstaller"
STARTED = harness.Box("information", "Der Kestrova Hauptinstaller wurde gestartet.")
CANCELLED = harness.Box("error", "Abgebrochen")

POLL = 0.005                # the harness looks at the probe's log this often
RUN_TIMEOUT = 900.0         # a first run observed by a slow probe takes minutes
HELPER_TIMEOUT = 600.0
DEMO_EXIT_TIMEOUT = 20.0    # the demo installer closes itself after 5 s
CLOSE_AT_MB = 300           # (f): close the window once this much is downloaded
CLOSE_AFTER_HASHING = 0.3   # (f): close the window this long into the hashing (s)

# Measure keys, in table order: (key, label, unit).
MEASURES = [
    ("a", "(a) raw WinHTTP download to a file (no window)", "s"),
    ("b", "(b) raw CNG SHA-256 of the file (1 MiB reads)", "s"),
    ("c", "(c) first run: start to information box", "s"),
    ("c_download", "    of which first block to hashing stage", "s"),
    ("c_hashing", "    of which hashing stage to launch stage", "s"),
    ("c_rest", "    the rest (start, manifest, request, launch, box)", "s"),
    ("d", "(d) second run: start to information box", "s"),
    ("d_hashing", "    of which hashing stage to cache verified", "s"),
    ("d_rest", "    the rest (start, manifest, launch, box)", "s"),
    ("e_first", "(e) peak memory, first run", "MB"),
    ("e_second", "(e) peak memory, second run", "MB"),
    ("f_download", "(f) close during download to \"Abgebrochen\"", "ms"),
    ("f_hashing", "(f) close during hashing to \"Abgebrochen\"", "ms"),
]

NOTES = """\
(a), (b): time inside the helper program (from opening the request / the hash provider
          until the file is closed / the digest is finished), no window, no pump.
(c), (d): `wine KestrovaSetup.exe` started until the probe's log shows the information
          box, painted (log polled every {poll:.0f} ms); includes Wine's process start.
          The stages' split comes from the probe's own timestamps.
(e):      VmHWM (peak resident set) of the Wine process running KestrovaSetup.exe, read
          from /proc while its box is up; it includes Wine's own DLLs.
(f):      probe's `close` (WM_CLOSE posted) to its `box`, both in the probe's own clock;
          during the download at {close_mb} MB, during the hashing {close_s:.1f} s in."""


class BenchError(RuntimeError):
    pass


# --- processes of the sandbox ----------------------------------------------------

def sandbox_pids():
    """Pids of the processes in this network namespace (the sandbox's)."""
    mine = os.readlink("/proc/self/ns/net")
    pids = []
    for name in os.listdir("/proc"):
        if name.isdigit():
            try:
                if os.readlink(f"/proc/{name}/ns/net") == mine:
                    pids.append(int(name))
            except OSError:
                pass
    return pids


def pids_mapping(path):
    """Sandbox processes that have path mapped (Wine maps a running program's image)."""
    target = str(Path(path).resolve())
    found = []
    for pid in sandbox_pids():
        try:
            with open(f"/proc/{pid}/maps", errors="replace") as maps:
                if target in maps.read():
                    found.append(pid)
        except OSError:
            pass
    return found


def peak_kb(pid):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    raise BenchError(f"no VmHWM for pid {pid}")


def wait_until_unmapped(path, timeout):
    deadline = time.monotonic() + timeout
    while pids_mapping(path):
        if time.monotonic() > deadline:
            raise BenchError(f"{path} still in use after {timeout:.0f} s")
        time.sleep(0.2)


# --- the measured programs -----------------------------------------------------------

def run_helper(name, *args):
    """Runs a helper program under Wine; returns its `key=value` output as a dict."""
    exe = HELPERS / f"{name}.exe"
    done = subprocess.run(["wine", str(exe), *args], stdin=subprocess.DEVNULL,
                          capture_output=True, text=True, timeout=HELPER_TIMEOUT)
    if done.returncode != 0:
        raise BenchError(f"{name} failed ({done.returncode}): {done.stderr.strip()}")
    return dict(field.split("=", 1) for field in done.stdout.split())


def state_ms(run, title):
    """Probe time of the first state with this title."""
    for ms, event, values in run.events:
        if event == "state" and values and values[0] == title:
            return ms
    raise BenchError(f"no state {title!r}\n{run.describe()}")


def event_ms(run, name):
    for ms, event, _ in run.events:
        if event == name:
            return ms
    raise BenchError(f"no {name!r} event\n{run.describe()}")


def observe_setup(name, local_app_data, expected_box, closer=None, close_file=None):
    """One setup run watched by the probe; returns (run, seconds from its start to the
    box, peak memory in kB read while the box was up)."""
    seen = {}

    def on_event(event, values):
        if event == "box" and "box" not in seen:
            seen["box"] = time.monotonic()
            pids = pids_mapping(harness.setup_exe())
            seen["peak"] = max(peak_kb(pid) for pid in pids) if pids else None
        if closer is not None:
            closer(event, values)

    env = harness.default_env(harness.windows_path(local_app_data))
    env["KESTROVA_DEMO_MARK"] = harness.windows_path(local_app_data / "demo-installer-ran.txt")
    run = harness.run_setup(name, env=env, on_event=on_event, close_file=close_file,
                            timeout=RUN_TIMEOUT, poll=POLL, screenshots=False)
    if run.boxes != [expected_box] or run.exit_code != 0:
        raise BenchError(f"unexpected end of {name}\n{run.describe()}")
    return run, seen["box"] - run.started_at, seen["peak"]


def close_when(close_file, condition, delay=0.0):
    """An on_event reaction that creates close_file (after delay s) at the first state
    for which condition(title, detail) holds."""
    armed = [True]

    def react(event, values):
        if (armed[0] and event == "state" and len(values) == 3
                and condition(values[0], values[1])):
            armed[0] = False
            threading.Timer(delay, close_file.touch).start()
    return react


def downloaded_mb(detail):
    done, _, _ = detail.partition(" / ")
    return int(done) if done.isdigit() else 0


def one_round(number, digest, results, log):
    work = OUT / "work" / f"round{number}"
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)

    raw_file = work / RELEASE_NAME
    a = run_helper("raw_download", RELEASE_URL, harness.windows_path(raw_file))
    if int(a["bytes"]) != RELEASE_SIZE:
        raise BenchError(f"raw_download got {a['bytes']} bytes")
    b = run_helper("raw_sha256", harness.windows_path(raw_file))
    if b["sha256"] != digest:
        raise BenchError(f"raw_sha256 gave {b['sha256']}, expected {digest}")
    raw_file.unlink()
    results["a"].append(float(a["seconds"]))
    results["b"].append(float(b["seconds"]))
    log(f"round {number}: (a) {a['seconds']} s in {a['blocks']} blocks of at most "
        f"{a['largest']} bytes; (b) {b['seconds']} s")

    local_app_data = work / "LocalAppData"
    local_app_data.mkdir()
    installer = local_app_data / "Kestrova" / "InstallerCache" / RELEASE_NAME
    # The demo installer each run starts closes itself after 5 s; it must not run into
    # the next measurement.
    first, first_s, first_peak = observe_setup(f"bench-round{number}-first", local_app_data,
                                               STARTED)
    wait_until_unmapped(installer, DEMO_EXIT_TIMEOUT)
    second, second_s, second_peak = observe_setup(f"bench-round{number}-second", local_app_data,
                                                  STARTED)
    wait_until_unmapped(installer, DEMO_EXIT_TIMEOUT)
    def between(run, start_title, end_title):
        return (state_ms(run, end_title) - state_ms(run, start_title)) / 1000

    results["c"].append(first_s)
    results["c_download"].append(between(first, DOWNLOAD_TITLE, HASHING_TITLE))
    results["c_hashing"].append(between(first, HASHING_TITLE, LAUNCH_TITLE))
    results["d"].append(second_s)
    results["d_hashing"].append(between(second, HASHING_TITLE, CACHED_TITLE))
    results["c_rest"].append(first_s - results["c_download"][-1] - results["c_hashing"][-1])
    results["d_rest"].append(second_s - results["d_hashing"][-1])
    for key, peak in (("e_first", first_peak), ("e_second", second_peak)):
        if peak is None:
            raise BenchError("the setup's process was not found while its box was up")
        results[key].append(peak / 1024)
    log(f"round {number}: (c) {first_s:.2f} s with {len(first.states)} states; "
        f"(d) {second_s:.2f} s; (e) {first_peak / 1024:.1f} / {second_peak / 1024:.1f} MB")

    # (f) The same cache: the second run's hashing is closed into.
    close_file = work / "close-hashing"
    hashing, _, _ = observe_setup(
        f"bench-round{number}-close-hashing", local_app_data, CANCELLED, close_file=close_file,
        closer=close_when(close_file, lambda title, _: title == HASHING_TITLE, CLOSE_AFTER_HASHING))
    if any(state.title == CACHED_TITLE for state in hashing.states):
        raise BenchError(f"the hashing ended before the close\n{hashing.describe()}")
    results["f_hashing"].append(event_ms(hashing, "box") - event_ms(hashing, "close"))

    # (f) A new cache: a download closed into.
    shutil.rmtree(local_app_data)
    local_app_data.mkdir()
    close_file = work / "close-download"
    download, _, _ = observe_setup(
        f"bench-round{number}-close-download", local_app_data, CANCELLED, close_file=close_file,
        closer=close_when(close_file, lambda title, detail: title == DOWNLOAD_TITLE
                          and downloaded_mb(detail) >= CLOSE_AT_MB))
    results["f_download"].append(event_ms(download, "box") - event_ms(download, "close"))
    log(f"round {number}: (f) {results['f_download'][-1]} ms during the download, "
        f"{results['f_hashing'][-1]} ms during the hashing")
    shutil.rmtree(work, ignore_errors=True)


# --- the table -----------------------------------------------------------------------

def number(value, unit):
    return f"{value:.0f}" if unit == "ms" else f"{value:.1f}" if unit == "MB" else f"{value:.2f}"


def table(results, rounds, seconds, probe):
    wine = subprocess.run(["wine", "--version"], capture_output=True, text=True).stdout.strip()
    lines = [f"Kestrova Setup benchmark, {datetime.datetime.now():%Y-%m-%d %H:%M}, {wine}, "
             f"{os.cpu_count()} cores: reference release ({RELEASE_SIZE} bytes), "
             f"rounds: {rounds}, measured in {seconds:.0f} s",
             f"setup: {harness.setup_exe()}, probe: {probe}",
             NOTES.format(poll=POLL * 1000, close_mb=CLOSE_AT_MB, close_s=CLOSE_AFTER_HASHING),
             "",
             f"{'measure':<54} {'median':>9}   {'spread (min - max)':<20} rounds"]
    for key, label, unit in MEASURES:
        values = results[key]
        spread = f"{number(min(values), unit)} - {number(max(values), unit)}"
        lines.append(f"{label:<54} {number(statistics.median(values), unit):>6} {unit:<2}   "
                     f"{spread:<20} {' '.join(number(v, unit) for v in values)}")
    a, b, c, d = (statistics.median(results[k]) for k in "abcd")
    lines += ["",
              f"first run / (raw download + raw hash) = (c)/(a+b) = {c / (a + b):.2f}",
              f"second run / raw hash = (d)/(b) = {d / b:.2f}, (d)-(b) = {d - b:.2f} s"]
    return "\n".join(lines) + "\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    if args.rounds < 1:
        parser.error("--rounds must be at least 1")
    if not harness.in_sandbox():
        raise BenchError("run inside scripts/rehearsal/sandbox (scripts/bench does)")
    for program in (harness.setup_exe(), harness.probe_exe(), HELPERS / "raw_download.exe",
                    HELPERS / "raw_sha256.exe"):
        if not program.is_file():
            raise BenchError(f"missing {program}: build the mingw preset first")

    def log(text):
        print(text, file=sys.stderr, flush=True)

    OUT.mkdir(parents=True, exist_ok=True)
    started = time.monotonic()
    release, digest = reference_release()
    site = reference_site(OUT / "www")
    with open(release, "rb") as f:  # read once, so every round finds it in the page cache
        while f.read(1 << 24):
            pass
    results = {key: [] for key, _, _ in MEASURES}
    with NginxHost(site):
        for number_ in range(1, args.rounds + 1):
            one_round(number_, digest, results, log)
    shutil.rmtree(OUT / "work", ignore_errors=True)
    text = table(results, args.rounds, time.monotonic() - started, harness.probe_exe())
    path = OUT / f"bench-{datetime.datetime.now():%Y%m%d-%H%M%S}.txt"
    path.write_text(text)
    sys.stdout.write(text)
    log(f"bench: table kept in {path}")
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except (BenchError, harness.HarnessError) as failure:
        print(f"bench: {failure}", file=sys.stderr)
        sys.exit(1)
