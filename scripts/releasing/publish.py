"""scripts/publish: an upload tree to every target, in one staged order that never lets
a client read a manifest whose installer is not completely served, at any target:

  1. the tree checked, then every target read and compared; nothing is written before
     every target has been compared (a refusal anywhere changes nothing anywhere);
  2. every new installer to every target, create-only (on a bucket, what the store
     honours of If-None-Match: * learnt first, with a probe object);
  3. every installer of the tree, new or found there, read back from each target and its
     SHA-256 compared; then each new one fetched over HTTPS as the download host serves
     it (kestrova-release check);
  4. the manifest to every target, each read back;
  5. the manifest purged from the edge (on every run), then the live check;
  6. the setup, the rest of the tree and SHA256SUMS, each read back, then the purge of
     those that changed.

Trusts nothing it is handed: the tree, its lists and manifest, and what each target
holds are checked by the modules this one calls. Its options are declared here
(command_line.py parses them); a failure is one line "publish: ..." on stderr and status
1 (2 for wrong usage).
"""

import argparse
import os
import signal
import sys
import tempfile
import time

from . import edge_purge
from .publish_plan import TargetPlan, Tree, checked_installers
from .refusal import Refused, UsageError, one_line
from .release_tool import LIVE_RETRY_SECONDS, ReleaseTool
from .rsync_target import RsyncTarget
from .s3_target import S3Target
from .tree import SUMS

USAGE = ("usage: scripts/publish --tree DIR --to TARGET [--s3-endpoint URL] [--s3-region REGION] "
         "[--s3-profile NAME] [--to TARGET ...] [--tool EXE] [--purge-command TEMPLATE] [--purge-timeout SECONDS] "
         "[--abort-uploads-older-than SECONDS] [--dry-run] [--no-live-check]")
LIVE = "the new manifest is live on every target"
REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.realpath(__file__))))


class Interrupted(BaseException):
    """A signal: raised in the main thread, so that cleanups (an upload's abort) run."""


S3_OPTIONS = {"--s3-endpoint": "endpoint", "--s3-region": "region", "--s3-profile": "profile"}


class Target(argparse.Action):
    """--to: a target, with the --s3-* options that follow it."""

    def __call__(self, parser, namespace, value, option_string=None):
        namespace.targets = [*namespace.targets, [value, {}]]


class S3Setting(argparse.Action):
    """--s3-*: a setting of the s3:// --to just before it."""

    def __call__(self, parser, namespace, value, option_string=None):
        if not namespace.targets or not namespace.targets[-1][0].startswith("s3://"):
            raise UsageError(f"{option_string} follows the s3:// --to it applies to")
        url, settings = namespace.targets[-1]
        if S3_OPTIONS[option_string] in settings:
            raise UsageError(f"{option_string} given twice for {url}")
        settings[S3_OPTIONS[option_string]] = value


def add_arguments(parser):
    """Declares publish's options on parser (an argparse parser)."""
    parser.set_defaults(targets=[])
    parser.add_argument("--tree")
    parser.add_argument("--to", action=Target)
    for name in S3_OPTIONS:
        parser.add_argument(name, action=S3Setting)
    parser.add_argument("--tool")
    parser.add_argument("--purge-command")
    parser.add_argument("--purge-timeout")
    parser.add_argument("--abort-uploads-older-than", dest="abort_older_than")
    parser.add_argument("--dry-run", action="store_true")
    parser.add_argument("--no-live-check", dest="live_check", action="store_false")


def seconds_value(name, text):
    """text as whole seconds; raises UsageError, naming the option name, for anything else."""
    if not text.isdigit() or len(text) > 9:
        raise UsageError(f"{name} takes a whole number of seconds, not {text!r}")
    return int(text)


def checked_options(options):
    """options as parsed, their values checked and converted; raises UsageError."""
    if options.tree is None:
        raise UsageError("--tree is missing")
    if not options.targets:
        raise UsageError("--to is missing")
    if options.purge_command is not None:
        try:
            edge_purge.check_template(options.purge_command)
        except Refused as e:
            raise UsageError(str(e))
    options.purge_timeout = (edge_purge.DEFAULT_TIMEOUT if options.purge_timeout is None
                             else max(1, seconds_value("--purge-timeout", options.purge_timeout)))
    if options.abort_older_than is not None:
        options.abort_older_than = seconds_value("--abort-uploads-older-than", options.abort_older_than)
    return options


def parse(arguments):
    """Checked options from publish's arguments; raises UsageError. --s3-* apply to the
    s3:// --to just before them."""
    from .command_line import parse as parse_command_line
    return checked_options(parse_command_line(["publish", *arguments]))


def make_target(url, settings):
    """The target a --to URL names: an S3Target for s3://, else an RsyncTarget."""
    if url.startswith("s3://"):
        return S3Target(url, **settings)
    return RsyncTarget(url)


def megabytes(files):
    return f"{sum(f.size for f in files) / 1e6:.1f} MB"


def say(line):
    print(line, flush=True)


def names(targets):
    """The targets' names, comma-separated, or "none"."""
    return ", ".join(t.name for t in targets) or "none"


def run(options):
    """Publishes options.tree to every target in the order above; raises Refused at the
    first failure, UsageError for a target named twice."""
    started = time.monotonic()
    clock = {"tree and comparison": 0.0}
    tree = Tree(options.tree)
    targets = [make_target(url, settings) for url, settings in options.targets]
    if len({t.name for t in targets}) != len(targets):
        raise UsageError("a target is named twice")
    tool = None
    if options.live_check:
        tree.require_served()
        exe = options.tool or os.path.join(os.path.realpath(os.environ.get(
            "KESTROVA_RELEASE_BUILD", os.path.join(REPO, "build", "release"))), tree.host, "kestrova-release.exe")
        tool = ReleaseTool(exe, tree.host, say)

    # 1. Every target compared before anything is written anywhere.
    plans = [TargetPlan(t.name, tree, t.survey(tree), t.describe) for t in targets]
    checked = checked_installers(tree, plans) if tool else []
    show_plans(options, tree, targets, plans, checked, tool)
    for plan in plans:
        if plan.refusal:
            raise Refused(plan.refusal)
    if options.dry_run:
        say("publish: dry run, nothing changed")
        return
    if options.abort_older_than is not None:
        for target in targets:
            if isinstance(target, S3Target):
                target.abort_uploads_older_than(options.abort_older_than, say)
    clock["tree and comparison"] = time.monotonic() - started

    expected = put_installers(tree, targets, plans, checked, tool, clock)
    put_manifest(tree, targets, plans, clock)
    go_live(options, tree, tool, expected, clock)
    put_rest(options, tree, targets, plans, clock)

    checked_note = "" if tool else " (not checked as the download host)"
    say(f"publish: published {tree.root} to {names(targets)}{checked_note}")
    say(f"publish: took {time.monotonic() - started:.1f} s: " +
        ", ".join(f"{name} {value:.1f} s" for name, value in clock.items()))


def show_plans(options, tree, targets, plans, checked, tool):
    """Prints, per target, what publishing will do there, then the checks and purges."""
    for target, plan in zip(targets, plans):
        say(f"publish: {tree.root} to {target.name}{' (dry run: nothing changes)' if options.dry_run else ''}")
        for line in plan.lines:
            say(line)
        for key, upload_id, started_at in target.pending_uploads():
            say(f"  pending  an incomplete upload of {key} (started {started_at:%Y-%m-%d %H:%M:%S} UTC)")
        written = [f for f in tree.all if f.path in plan.changed and f.kind != "installer"]
        say(f"  read     back from {target.name}: every installer ({len(tree.installers)}, "
            f"{megabytes(tree.installers)}) before the manifest, each of the {len(written)} other files that change "
            f"({megabytes(written)}) once written")
    if tool:
        for f in checked:
            say(f"  check    {f.path} as https://{tree.host} serves it")
        say("  check    the live manifest and its installer")
    else:
        say("  no live check (--no-live-check): the targets are not checked as the download host")
    if options.purge_command:
        say(f"  purge    {tree.url_of(tree.manifest.path)}, then each other file that changes")


def put_installers(tree, targets, plans, checked, tool, clock):
    """Steps 2 and 3: the new installers on every target, every installer read back, the
    checked ones fetched through the host. Returns the client's reading of the tree's
    manifest (None without a live check); raises Refused when an installer fails."""
    t = time.monotonic()
    for target in targets:
        if isinstance(target, S3Target):
            target.learn_create_only(say)
    for target, plan in zip(targets, plans):
        target.put_installers(plan.new_installers, say)
    clock["installers"] = time.monotonic() - t
    t = time.monotonic()
    for target in targets:
        # Every installer, found there or uploaded: only what was read is trusted.
        target.read_back(tree.installers, say)
    expected = None
    with tempfile.TemporaryDirectory(prefix="publish-") as scratch:
        for f in checked:
            manifest = tree.manifest.local
            if f.path != tree.served:
                # Any other installer is checked with a manifest of its own.
                manifest = os.path.join(scratch, os.path.basename(f.path) + ".json")
                with open(manifest, "w") as out:
                    out.write(f'{{"url": "{tree.url_of(f.path)}", "fileName": "{os.path.basename(f.path)}", '
                              f'"sha256": "{f.sha256}", "size": {f.size}}}\n')
            say(f"publish: checking {f.path} as https://{tree.host} serves it")
            status, read = tool.check_installer(manifest)
            if status != 0:
                raise Refused(f"the live check of {f.path} failed (see above); the manifest is unchanged everywhere")
            if f.path == tree.served:
                expected = read
    clock["their check"] = time.monotonic() - t
    return expected


def put_manifest(tree, targets, plans, clock):
    """Step 4: the manifest, target after target; a failure names the targets that have it."""
    t = time.monotonic()
    done = []
    for target, plan in zip(targets, plans):
        try:
            if tree.manifest.path in plan.changed:
                target.put("the manifest", [tree.manifest], say)
        except (Refused, Interrupted) as e:
            rest = [x for x in targets if x not in done]
            text = str(e) if isinstance(e, Refused) else "interrupted by a signal"
            raise Refused(f"{text}; the new manifest is on {names(done)}, not on {names(rest)}: publish again to "
                          "complete")
        done.append(target)
    clock["manifest"] = time.monotonic() - t


def go_live(options, tree, tool, expected, clock):
    """Step 5: the edge forgets the old manifest, on every run (one that completes an
    interrupted run must purge too), then the live check; raises Refused when the host
    does not serve the tree's manifest and installer."""
    t = time.monotonic()
    if options.purge_command:
        purge(options, tree.url_of(tree.manifest.path), LIVE)
    if tool:
        say("publish: checking the live manifest and its installer")

        def stale(url, age, etag):
            return (f"the download host still serves another manifest after {LIVE_RETRY_SECONDS} s: {url} "
                    f"(Age {age}, ETag {etag}; an edge that still holds the old one: --purge-command purges it); "
                    f"{LIVE}: publish again once the edge serves it, or the previous tree to roll back")
        status, read = tool.check_live(expected, stale)
        if status != 0:
            raise Refused(f"the live check of the new manifest failed (see above); {LIVE}: publish this tree again "
                          "once the host serves it, or the previous tree to roll back")
        if read != expected:
            raise Refused(f"the host serves another manifest than the one published (a cache in front of it?); {LIVE}")
    clock["live check"] = time.monotonic() - t


def put_rest(options, tree, targets, plans, clock):
    """Step 6: the setup, the rest and SHA256SUMS last, so that it never lists a file a
    target lacks; then the purge of those that changed."""
    t = time.monotonic()
    changed = set()
    for group, what in (([f for f in tree.rest if f.kind == "setup"], "KestrovaSetup.exe"),
                        ([f for f in tree.rest if f.kind == "other" and f.path != SUMS], "the rest of the tree"),
                        ([f for f in tree.rest if f.path == SUMS], SUMS)):
        for target, plan in zip(targets, plans):
            files = [f for f in group if f.path in plan.changed]
            target.put(what, files, say)
            changed.update(f.path for f in files)
    if options.purge_command:
        for f in tree.rest:
            if f.path in changed:
                purge(options, tree.url_of(f.path), LIVE)
    clock["the rest"] = time.monotonic() - t


def purge(options, url, live):
    """Purges url from the edge; refuses, saying what is live, when the purge fails."""
    try:
        edge_purge.purge(options.purge_command, url, options.purge_timeout, say)
    except Refused as e:
        raise Refused(f"{e}; {live}, the edge may still serve the old file")


def main(options):
    """publish's exit status for options as parsed; wrong usage raises UsageError."""
    options = checked_options(options)
    # Missing folders on a local rsync target are made 755 whatever the caller's umask.
    os.umask(0o022)
    interrupted = []

    def on_signal(number, _frame):
        if not interrupted:  # once: a second signal must not break the cleanup
            interrupted.append(number)
            raise Interrupted()
    for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(number, on_signal)
    try:
        run(options)
        return 0
    except Refused as e:
        print(one_line(f"publish: {e}"), file=sys.stderr)
    except Interrupted:
        print("publish: interrupted by a signal; an upload under way was aborted and no manifest points at a file "
              "a target lacks: publish again to finish", file=sys.stderr)
    except Exception as e:  # noqa: BLE001 - still one line, and the targets stay consistent
        print(one_line(f"publish: stopped unexpectedly ({type(e).__name__}: {e}); no manifest points at a file a "
                       "target lacks: publish again to finish"), file=sys.stderr)
    return 1
