"""Runs of outside parties (a token's module, a signer, a time-stamp authority), each
bounded in time and in what it leaves behind.

A run is the first process of a PID namespace of its own (unshare --pid --fork
--kill-child) under `timeout`, which sends TERM at the limit and KILL 5 s later: when it
ends, the kernel kills every process left in the namespace, those that detached with
setsid too, and unshare ends only once they are all gone. It leads a process group of
its own, killed on the way out whatever ends the run (a signal to the caller, too). Its
stdin is /dev/null and its output goes to a file, never a pipe that a leftover process
could hold open. Trusts nothing the party does: its status and its file are all that is
read."""

import os
import signal
import subprocess
import time

TIMED_OUT = 124
KILL_AFTER = 5
running = set()  # process groups of the runs under way, killed by stop_all


def bounded(seconds, log, command, cwd=None):
    """command's exit status (128 + the signal that ended it), or TIMED_OUT when it ran
    out of its `seconds`; its stdout and stderr are in the file log."""
    started = time.monotonic()
    with open(log, "wb") as out:
        process = subprocess.Popen(["unshare", "--pid", "--fork", "--kill-child", "--", "timeout", "-k",
                                    str(KILL_AFTER), str(seconds), *command], stdin=subprocess.DEVNULL,
                                   stdout=out, stderr=subprocess.STDOUT, cwd=cwd, start_new_session=True)
    running.add(process.pid)
    try:
        status = process.wait()
    finally:
        kill_group(process.pid)
        running.discard(process.pid)
    if status < 0:
        status = 128 - status
    if status in (124, 137) and time.monotonic() - started >= seconds:
        return TIMED_OUT
    return status


def kill_group(group):
    """Kills process group group, if it is still there."""
    try:
        os.killpg(group, signal.SIGKILL)
    except OSError:
        pass


def stop_all():
    """Kills every run still under way (unshare's --kill-child takes its namespace along)."""
    for group in list(running):
        kill_group(group)
