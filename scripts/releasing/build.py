"""The build of a release: a commit as committed, checked out into a new git worktree (so
nothing untracked or changed in the checkout can reach it), built fresh by that commit's
own build step with the commit's time as the PE time stamp; and the toolchain that shapes
the bytes. The same for scripts/release and verify-release, so that a release is rebuilt
exactly the way it was built.

The build step is the commit's scripts/release-build (SOURCE BUILD HOST DEFAULT_SHA256
SOURCE_DATE_EPOCH [TARGET...]); a commit from before it has scripts/release-common.sh,
whose build_release_binaries takes the same arguments and a log. Trusts nothing in the
commit beyond running its build step, as building it means."""

import os
import subprocess

from .refusal import Refused

NEW_STEP = "scripts/release-build"
OLD_STEP = "scripts/release-common.sh"
TOOLCHAIN_PACKAGES = ("g++-mingw-w64-x86-64-posix", "gcc-mingw-w64-x86-64-posix-runtime", "binutils-mingw-w64-x86-64",
                      "mingw-w64-x86-64-dev", "mingw-w64-common", "cmake", "ninja-build")


def git(repo, *arguments):
    """git's stdout for arguments in repo; raises CalledProcessError when it fails."""
    return subprocess.run(["git", "-C", repo, *arguments], check=True, capture_output=True, text=True,
                          stdin=subprocess.DEVNULL).stdout


def checkout_commit(repo):
    """(the commit of repo's HEAD, its time in seconds since 1970, how many paths of the
    checkout are changed or untracked); refuses a folder that is no checkout with a commit."""
    try:
        commit = git(repo, "rev-parse", "--verify", "HEAD").strip()
    except subprocess.CalledProcessError:
        raise Refused(f"{repo} is not a git checkout with a commit: a release records the commit it is built from")
    epoch = git(repo, "log", "-1", "--format=%ct", "HEAD").strip()
    left_out = len(git(repo, "status", "--porcelain", "--untracked-files=all").splitlines())
    return commit, epoch, left_out


def build_commit(repo, commit, work, host, sha256, epoch, targets=()):
    """True when commit, checked out into the worktree work/source, built in work/build by
    its own build step (logs: work/checkout.log, work/build.log). work/source stays a
    worktree of repo until remove_checkout."""
    source, build = os.path.join(work, "source"), os.path.join(work, "build")
    with open(os.path.join(work, "checkout.log"), "wb") as log:
        if subprocess.run(["git", "-C", repo, "worktree", "add", "--detach", source, commit], stdin=subprocess.DEVNULL,
                          stdout=log, stderr=subprocess.STDOUT).returncode != 0:
            return False
    build_log = os.path.join(work, "build.log")
    arguments = [source, build, host, sha256, str(epoch)]
    if os.path.isfile(os.path.join(source, NEW_STEP)):
        command = ["bash", os.path.join(source, NEW_STEP), *arguments, *targets]
    else:
        command = ["bash", "-c", 'source "$1/scripts/release-common.sh" && build_release_binaries "$@"', "build",
                   *arguments, build_log, *targets]
    with open(build_log, "ab") as log:
        return subprocess.run(command, stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT,
                              cwd=source).returncode == 0


def remove_checkout(repo, work):
    """Undoes build_commit's worktree, if there is one."""
    subprocess.run(["git", "-C", repo, "worktree", "remove", "--force", os.path.join(work, "source")],
                   stdin=subprocess.DEVNULL, capture_output=True)


def first_line(command):
    """The first line command prints on stdout, or "" when it cannot run."""
    try:
        done = subprocess.run(command, capture_output=True, text=True, stdin=subprocess.DEVNULL)
    except OSError:
        return ""
    return (done.stdout.splitlines() or [""])[0]


def toolchain_versions():
    """ "key: value" lines naming what shapes the bytes of a build: the compiler and linker
    as they report themselves, and the Debian packages of the compiler, its runtime,
    binutils, the MinGW-w64 CRT and headers, CMake and Ninja."""
    lines = [f"compiler: {first_line(['x86_64-w64-mingw32-g++-posix', '--version'])}",
             f"linker: {first_line(['x86_64-w64-mingw32-ld', '--version'])}",
             f"cmake: {first_line(['cmake', '--version'])}",
             f"ninja: {first_line(['ninja', '--version'])}"]
    for package in TOOLCHAIN_PACKAGES:
        done = subprocess.run(["dpkg-query", "-W", "-f=${Version}", package], capture_output=True, text=True,
                              stdin=subprocess.DEVNULL)
        lines.append(f"package-{package}: {done.stdout if done.returncode == 0 else 'not installed'}")
    return lines
