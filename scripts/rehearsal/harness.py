"""Runs the real KestrovaSetup.exe under Wine, with ui_probe.exe recording what
the setup window shows, inside scripts/rehearsal/sandbox.

    run = run_setup("ManifestStage.test_404")
    run.exit_code, run.caption, run.states, run.boxes, run.close_posted

Each run gets a fresh work directory, build/mingw/e2e-work/<name> (its
LocalAppData folder is the program's LOCALAPPDATA, as a Z:\\ path), with the
probe's log and the programs' output; it is removed when the run went through.
Screenshots of the whole display go to the artifacts directory:
<name>.png when a message box appears (before the probe presses OK; later
boxes <name>-box2.png ...), and <name>-window.png 0.3 s after the window first
shows if no box came before.

Executables come from KESTROVA_SETUP_EXE and KESTROVA_PROBE_EXE (CTest sets
them), by default build/mingw/KestrovaSetup.exe and
build/mingw/probe/ui_probe.exe; screenshots go to KESTROVA_E2E_ARTIFACTS
(default build/mingw/e2e-artifacts).
"""

import os
import shutil
import subprocess
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
BUILD = REPO / "build" / "mingw"

CAPTION = "Kestrova Setup"

# Limits. Every wait below ends after one of these.
PROBE_READY_TIMEOUT = 20.0    # probe started until its `ready` line
RUN_TIMEOUT = 60.0            # setup started until the probe's `end`
EXIT_TIMEOUT = 10.0           # `end` seen until both processes have exited
SCREENSHOT_TIMEOUT = 15.0
POLL = 0.02


class HarnessError(AssertionError):
    """The run itself went wrong (time limit, probe failure), not just a check."""


def setup_exe():
    return Path(os.environ.get("KESTROVA_SETUP_EXE", BUILD / "KestrovaSetup.exe"))


def probe_exe():
    return Path(os.environ.get("KESTROVA_PROBE_EXE", BUILD / "probe" / "ui_probe.exe"))


def artifacts_dir():
    return Path(os.environ.get("KESTROVA_E2E_ARTIFACTS", BUILD / "e2e-artifacts"))


def work_root():
    """Per-run work directories: <artifacts>/../e2e-work/<name>."""
    return Path(os.environ.get("KESTROVA_E2E_WORK", artifacts_dir().parent / "e2e-work"))


def windows_path(path):
    """The Wine path (drive Z: is the Linux root) of a Linux path."""
    return "Z:" + str(Path(path).resolve()).replace("/", "\\")


def in_sandbox():
    return os.environ.get("KESTROVA_SANDBOX") == "1"


@dataclass(frozen=True)
class State:
    title: str
    detail: str
    pos: int


@dataclass(frozen=True)
class Box:
    kind: str   # error, information or other
    text: str


@dataclass
class SetupRun:
    name: str
    exit_code: int = None
    caption: str = None
    states: list = field(default_factory=list)
    boxes: list = field(default_factory=list)
    close_posted: bool = False
    events: list = field(default_factory=list)   # (ms, event, [values]) as logged
    probe_exit: int = None
    duration: float = 0.0
    started_at: float = None                      # time.monotonic() as the setup was started
    work_dir: Path = None
    local_app_data: Path = None                   # the program's LOCALAPPDATA (Linux path)
    screenshots: list = field(default_factory=list)
    output: str = ""                              # the setup's stdout/stderr

    def describe(self):
        lines = [f"run {self.name}: exit {self.exit_code}, probe exit {self.probe_exit}, "
                 f"{self.duration:.2f} s, work dir {self.work_dir}"]
        lines += [f"  {ms:>6} {event} {values}" for ms, event, values in self.events]
        if self.output.strip():
            lines.append("  setup output: " + self.output.strip()[-2000:])
        return "\n".join(lines)


def _unescape(text):
    out, i = [], 0
    while i < len(text):
        c = text[i]
        if c == "\\" and i + 1 < len(text):
            out.append({"\\": "\\", "t": "\t", "r": "\r", "n": "\n"}.get(text[i + 1], text[i + 1]))
            i += 2
        else:
            out.append(c)
            i += 1
    return "".join(out)


class _LogReader:
    """Reads the probe's log as it grows, complete lines only."""

    def __init__(self, path):
        self.path = path
        self.pos = 0
        self.partial = b""

    def new_events(self):
        try:
            with open(self.path, "rb") as f:
                f.seek(self.pos)
                data = f.read()
        except FileNotFoundError:
            return []
        self.pos += len(data)
        data = self.partial + data
        *lines, self.partial = data.split(b"\n")
        events = []
        for raw in lines:
            fields = raw.decode("utf-8", "replace").rstrip("\r").split("\t")
            if len(fields) < 2:
                continue
            try:
                ms = int(fields[0])
            except ValueError:
                continue
            events.append((ms, fields[1], [_unescape(v) for v in fields[2:]]))
        return events


def _stop(proc, timeout=5.0):
    """Kills a process we started (by its pid) and reaps it."""
    if proc.poll() is None:
        proc.kill()
        try:
            proc.wait(timeout)
        except subprocess.TimeoutExpired:
            pass


def _screenshot(path, env):
    """Whole display to path; False if it failed (it never fails the test)."""
    try:
        done = subprocess.run(["import", "-window", "root", str(path)], env=env,
                              stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                              stderr=subprocess.PIPE, timeout=SCREENSHOT_TIMEOUT)
        return done.returncode == 0
    except (subprocess.TimeoutExpired, OSError):
        return False


def default_env(local_app_data_windows):
    env = dict(os.environ)
    env["LOCALAPPDATA"] = local_app_data_windows
    return env


def run_setup(name, *, env=None, close_when_title=None, close_file=None, on_event=None,
              timeout=RUN_TIMEOUT, keep_work_dir=False, exe=None, poll=POLL, screenshots=True):
    """Runs the setup once with the probe watching and returns a SetupRun.

    env            the setup's whole environment; default: ours, with LOCALAPPDATA
                   set to a fresh folder in the work directory
    close_when_title  the probe posts WM_CLOSE to the window when it shows this title
    close_file     the probe posts WM_CLOSE once this (Linux) file exists: a test
                   creates it when the setup has got as far as it wants
    on_event       called as on_event(event, values) for each probe log line, as it
                   arrives and before the harness reacts to it (e.g. to let a held
                   reply go on once `close` is posted; a box is still up during the call)
    timeout        seconds from the setup's start to the probe's `end`
    exe            the program to run (default: setup_exe())
    poll           seconds between looks at the probe's log
    screenshots    False: none at all (they cost CPU while the setup runs)
    Raises HarnessError when a time limit is hit (after killing both processes)."""
    if not in_sandbox():
        raise HarnessError("end-to-end runs need scripts/rehearsal/sandbox (KESTROVA_SANDBOX=1)")
    exe = Path(exe) if exe is not None else setup_exe()
    for program in (exe, probe_exe()):
        if not program.is_file():
            raise HarnessError(f"missing {program}: build the mingw preset first")

    safe = "".join(c if c.isalnum() or c in "._-" else "_" for c in name)
    # Kept when the run fails (the probe log and the programs' output are there).
    work = work_root() / safe
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    artifacts = artifacts_dir()
    artifacts.mkdir(parents=True, exist_ok=True)
    for old in artifacts.glob(f"{safe}*.png"):
        old.unlink()

    run = SetupRun(name=name, work_dir=work)
    run.local_app_data = work / "LocalAppData"
    run.local_app_data.mkdir()
    if env is None:
        env = default_env(windows_path(run.local_app_data))
    shot_env = dict(os.environ)

    log_path = work / "probe.log"
    dismiss_path = work / "dismiss"
    probe_cmd = ["wine", str(probe_exe()), "--out", windows_path(log_path),
                 "--dismiss-file", windows_path(dismiss_path),
                 "--timeout-ms", str(int((timeout + PROBE_READY_TIMEOUT) * 1000))]
    if close_when_title is not None:
        probe_cmd += ["--close-when-title", close_when_title]
    if close_file is not None:
        probe_cmd += ["--close-file", windows_path(close_file)]

    probe = setup = None
    failure = None
    started = time.monotonic()
    try:
        with open(work / "probe.out", "wb") as probe_out:
            probe = subprocess.Popen(probe_cmd, cwd=work, stdin=subprocess.DEVNULL,
                                     stdout=probe_out, stderr=subprocess.STDOUT)
        reader = _LogReader(log_path)

        # The probe's hooks must be in place before the setup shows anything.
        deadline = time.monotonic() + PROBE_READY_TIMEOUT
        ready = False
        while not ready:
            for event in reader.new_events():
                run.events.append(event)
                ready = ready or event[1] == "ready"
            if ready:
                break
            if probe.poll() is not None:
                raise HarnessError(f"ui_probe ended ({probe.returncode}) before `ready`: "
                                   + (work / "probe.out").read_text(errors="replace"))
            if time.monotonic() > deadline:
                raise HarnessError(f"ui_probe not ready after {PROBE_READY_TIMEOUT:.0f} s")
            time.sleep(POLL)

        started = run.started_at = time.monotonic()
        with open(work / "setup.out", "wb") as setup_out:
            setup = subprocess.Popen(["wine", str(exe)], cwd=work, env=env,
                                     stdin=subprocess.DEVNULL, stdout=setup_out,
                                     stderr=subprocess.STDOUT)

        deadline = started + timeout
        first_sight_at = None
        finished = False

        def take(events):
            nonlocal first_sight_at, finished
            for ms, event, values in events:
                run.events.append((ms, event, values))
                if on_event is not None:
                    on_event(event, values)
                if event == "window":
                    run.caption = values[0] if values else ""
                    first_sight_at = time.monotonic() + 0.3 if screenshots else None
                elif event == "state" and len(values) == 3:
                    try:
                        pos = int(values[2])
                    except ValueError:
                        pos = values[2]
                    run.states.append(State(values[0], values[1], pos))
                elif event == "close":
                    run.close_posted = True
                elif event == "box":
                    first_sight_at = None  # this screenshot shows the window too
                    run.boxes.append(Box(values[0] if values else "",
                                         values[1] if len(values) > 1 else ""))
                    shot = artifacts / (f"{safe}.png" if len(run.boxes) == 1
                                        else f"{safe}-box{len(run.boxes)}.png")
                    if screenshots and _screenshot(shot, shot_env):
                        run.screenshots.append(shot)
                    dismiss_path.touch()
                elif event == "dismissed":
                    # Boxes after this one wait for their own screenshot.
                    dismiss_path.unlink(missing_ok=True)
                elif event in ("end", "timeout"):
                    finished = True
                    first_sight_at = None

        setup_gone_at = None
        while True:
            probe_gone = probe.poll() is not None
            take(reader.new_events())
            if finished:
                break
            if probe_gone:  # and its last lines are read
                raise HarnessError(f"ui_probe ended ({probe.returncode}) without `end`")
            # The probe learns of the setup from its first report: a setup that
            # ends before showing anything gets no `end`.
            if setup_gone_at is None and setup.poll() is not None:
                setup_gone_at = time.monotonic()
            if setup_gone_at is not None and time.monotonic() - setup_gone_at > EXIT_TIMEOUT / 2:
                run.exit_code = setup.returncode
                raise HarnessError(f"the setup exited ({setup.returncode}) and ui_probe "
                                   "reported no `end`")
            if first_sight_at is not None and time.monotonic() >= first_sight_at:
                first_sight_at = None
                shot = artifacts / f"{safe}-window.png"
                if _screenshot(shot, shot_env):
                    run.screenshots.append(shot)
            if time.monotonic() > deadline:
                raise HarnessError(f"no `end` from ui_probe within {timeout:.0f} s")
            time.sleep(poll)

        if run.events[-1][1] == "timeout":
            raise HarnessError("ui_probe timed out waiting for the setup to end")
        try:
            run.exit_code = setup.wait(EXIT_TIMEOUT)
        except subprocess.TimeoutExpired:
            raise HarnessError(f"the setup did not exit within {EXIT_TIMEOUT:.0f} s after `end`")
        try:
            run.probe_exit = probe.wait(EXIT_TIMEOUT)
        except subprocess.TimeoutExpired:
            raise HarnessError(f"ui_probe did not exit within {EXIT_TIMEOUT:.0f} s after `end`")
    except HarnessError as e:
        failure = e
    finally:
        run.duration = time.monotonic() - started
        for proc in (setup, probe):
            if proc is not None:
                _stop(proc)
        if setup is not None and run.exit_code is None and setup.returncode is not None:
            run.exit_code = setup.returncode
        try:
            run.output = (work / "setup.out").read_text(errors="replace")
        except OSError:
            pass
        print(f"e2e: {name}: {run.duration:.2f} s", file=sys.stderr)
        if failure is None and not keep_work_dir:
            shutil.rmtree(work, ignore_errors=True)
    if failure is not None:
        raise HarnessError(f"{failure}\n{run.describe()}")
    return run
