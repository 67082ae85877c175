"""The demo, run by scripts/demo inside scripts/rehearsal/sandbox: nginx serves the reference
release and its manifest as download.kestrova.example, and KestrovaSetup.exe runs
twice with the same LOCALAPPDATA. The first run downloads the 764 MB release, verifies
it and starts the demo installer; the second finds the verified copy in the cache.
Screenshots of every stage go to build/demo/."""

import shutil
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "scripts" / "rehearsal"))  # harness, nginx_host
import harness
from nginx_host import NginxHost
from reference_site import RELEASE_NAME, reference_site

OUT = harness.BUILD.parent / "demo"


def slug(text):
    return "".join(c if c.isalnum() else "-" for c in text.lower()).strip("-")[:40]


def demo_run(number, local_app_data, mark):
    titles = []
    shots = []
    last_download_shot = [-1]
    waited = [0.0]

    def on_event(event, values):
        if event == "box":
            # The box can come before the demo installer's window: that starts only as
            # the shell call returns. Wait for its mark and give it a moment to paint;
            # the box stays up until this returns. The wait is not the setup's time.
            paused_at = time.monotonic()
            deadline = paused_at + 5.0
            while not mark.exists() and time.monotonic() < deadline:
                time.sleep(0.05)
            time.sleep(1.0)
            shot = OUT / f"run{number}-{len(shots) + 1:02d}-box.png"
            if harness._screenshot(shot, None):
                shots.append(shot)
            waited[0] += time.monotonic() - paused_at
            return
        # One screenshot per stage, and a few while the bar moves during the download.
        if event != "state" or len(values) != 3:
            return
        title, pos = values[0], int(values[2])
        download = title == "Lade Kestrova herunter"
        if titles and titles[-1] == title and not (download and pos >= last_download_shot[0] + 30):
            return
        if not titles or titles[-1] != title:
            titles.append(title)
        if download:
            last_download_shot[0] = pos
        shot = OUT / f"run{number}-{len(shots) + 1:02d}-{slug(title)}-{pos}.png"
        if harness._screenshot(shot, None):
            shots.append(shot)

    env = harness.default_env(harness.windows_path(local_app_data))
    env["KESTROVA_DEMO_MARK"] = harness.windows_path(mark)
    started = time.monotonic()
    run = harness.run_setup(f"demo-run{number}", env=env, on_event=on_event, timeout=900,
                            screenshots=False)
    seconds = time.monotonic() - started - waited[0]
    return run, seconds, titles, shots


def main():
    shutil.rmtree(OUT, ignore_errors=True)
    OUT.mkdir(parents=True)
    site = reference_site(OUT / "www")
    local_app_data = OUT / "LocalAppData"
    local_app_data.mkdir()
    cache = local_app_data / "Kestrova" / "InstallerCache"
    ok = True
    with NginxHost(site) as host:
        for number in (1, 2):
            mark = OUT / f"run{number}-demo-installer-ran.txt"
            before = len(host.requests())
            run, seconds, titles, shots = demo_run(number, local_app_data, mark)
            time.sleep(1.0)  # the demo installer leaves its mark right after it starts
            fetched = [r for r in host.requests()[before:] if r[1].endswith(RELEASE_NAME)]
            print(f"run {number}: {seconds:.1f} s, exit status {run.exit_code}")
            print(f"  stages: {' -> '.join(titles)}")
            print(f"  percentages: {' '.join(str(s.pos) for s in run.states)}" if number == 2 else
                  f"  percentages: {run.states[0].pos} ... {' '.join(str(s.pos) for s in run.states[-3:])}"
                  f" ({len(run.states)} states)")
            print(f"  message box: {run.boxes}")
            print(f"  installer downloaded: {'yes' if fetched else 'no'}; demo installer ran: "
                  f"{'yes' if mark.exists() else 'no'}; cache: {sorted(p.name for p in cache.iterdir())}")
            print(f"  screenshots: {len(shots)} in {OUT}")
            expected_box = [harness.Box("information", "Der Kestrova Hauptinstaller wurde gestartet.")]
            ok = ok and run.exit_code == 0 and run.boxes == expected_box and mark.exists()
            ok = ok and bool(fetched) == (number == 1)
    print("demo: " + ("both runs went as designed" if ok else "something went wrong (see above)"))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
