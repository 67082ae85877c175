"""Purging a URL from the edge (a CDN or a Varnish in front of the store) with the
publisher's own command.

The command template is the publisher's, trusted as their shell text; the URL and path
it is given come from the checked tree and reach the command as arguments ("$1" and
"$2" of its shell), never expanded. The command runs with a time limit, in a process
group of its own that is ended whole when it runs out, and with the caller's
environment as it is (publish adds nothing to it).
"""

import os
import signal
import subprocess

from .refusal import Refused

DEFAULT_TIMEOUT = 900  # a CDN's invalidation may take minutes to complete


def check_template(template):
    """Refuses a template that names neither {url} nor {path}."""
    if "{url}" not in template and "{path}" not in template:
        raise Refused("--purge-command: the template has no {url} or {path} for the file to purge")


def shell_text(template):
    return template.replace("{url}", '"$1"').replace("{path}", '"$2"')


def purge(template, url, timeout, progress=print):
    """Runs the template once for url (https://host/path); its output is shown indented.
    A non-zero exit or a time-out is refused, naming the URL."""
    path = "/" + url.split("/", 3)[3]
    progress(f"publish: purging {url}")
    try:
        process = subprocess.Popen(["bash", "-c", shell_text(template), "purge-command", url, path],
                                   stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                   start_new_session=True)
    except OSError as e:
        raise Refused(f"the purge command cannot be started: {e.strerror}")
    try:
        output, _ = process.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        process.communicate()
        raise Refused(f"the purge command for {url} did not finish in {timeout} s (the edge did not answer?)")
    except BaseException:
        os.killpg(process.pid, signal.SIGKILL)
        process.wait()
        raise
    for line in output.decode("utf-8", "replace").splitlines():
        progress("    " + line)
    if process.returncode != 0:
        raise Refused(f"the purge command for {url} failed (status {process.returncode}, see above)")
