"""Purging a URL from the edge (a CDN or a Varnish in front of the store) with the
publisher's own command.

The command template is the publisher's, trusted as their shell text; the URL and path
it is given come from the checked tree and reach the command as arguments ("$1" and
"$2" of its shell), never expanded. The command runs with the caller's environment as it
is (publish adds nothing to it), its output goes to a file (a pipe would be held open by
anything it leaves running), and every wait on it has a limit. Where the kernel allows
it, it runs in a user and PID namespace of its own, so that whatever it starts, detached
with setsid or not, is killed when it ends; elsewhere in a process group of its own,
ended whole, and a child that left the group may outlive publish (said once).
"""

import os
import signal
import subprocess
import tempfile

from .refusal import Refused

DEFAULT_TIMEOUT = 900  # a CDN's invalidation may take minutes to complete
KILL_WAIT = 10  # seconds for a killed command to be reaped
NAMESPACE = ["unshare", "--user", "--map-root-user", "--pid", "--fork", "--kill-child", "--"]
_namespace = None  # whether NAMESPACE works here, tried once


def check_template(template):
    """Refuses a template that names neither {url} nor {path}."""
    if "{url}" not in template and "{path}" not in template:
        raise Refused("--purge-command: the template has no {url} or {path} for the file to purge")


def shell_text(template):
    """The template as bash text, {url} and {path} its arguments "$1" and "$2"."""
    return template.replace("{url}", '"$1"').replace("{path}", '"$2"')


def namespace(progress=print):
    """NAMESPACE where the kernel lets this user make one, else [] and one warning line."""
    global _namespace
    if _namespace is None:
        try:
            _namespace = subprocess.run(NAMESPACE + ["true"], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL, timeout=KILL_WAIT).returncode == 0
        except (OSError, subprocess.TimeoutExpired):
            _namespace = False
        if not _namespace:
            progress("publish: warning: this kernel refuses a user and PID namespace here (unshare --user --pid): "
                     "a child of the purge command that detaches from its process group may outlive publish")
    return NAMESPACE if _namespace else []


def purge(template, url, timeout, progress=print):
    """Runs the template once for url (https://host/path); its output is shown indented.
    A non-zero exit or a time-out is refused, naming the URL."""
    path = "/" + url.split("/", 3)[3]
    prefix = namespace(progress)
    progress(f"publish: purging {url}")
    with tempfile.TemporaryFile(prefix="publish-purge-") as output:
        try:
            process = subprocess.Popen(prefix + ["bash", "-c", shell_text(template), "purge-command", url, path],
                                       stdin=subprocess.DEVNULL, stdout=output, stderr=subprocess.STDOUT,
                                       start_new_session=True)
        except OSError as e:
            raise Refused(f"the purge command cannot be started: {e.strerror}")
        try:
            process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            end(process)
            raise Refused(f"the purge command for {url} did not finish in {timeout} s (the edge did not answer?)")
        except BaseException:
            end(process)
            raise
        finally:
            # What it left in its group (its namespace died with it).
            try:
                os.killpg(process.pid, signal.SIGKILL)
            except OSError:
                pass
        output.seek(0)
        text = output.read(1 << 20).decode("utf-8", "replace")
    for line in text.splitlines():
        progress("    " + line)
    if process.returncode != 0:
        raise Refused(f"the purge command for {url} failed (status {process.returncode}, see above)")


def end(process):
    """Kills the command's group (unshare's --kill-child takes its namespace with it) and
    reaps it, waiting at most KILL_WAIT seconds."""
    try:
        os.killpg(process.pid, signal.SIGKILL)
    except OSError:
        pass
    try:
        process.wait(timeout=KILL_WAIT)
    except subprocess.TimeoutExpired:
        pass
