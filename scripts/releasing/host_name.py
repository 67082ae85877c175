"""The one rule for the download host's name, wherever one is read: the release's --host,
BUILDINFO's host, the host of a manifest's url. Lower-case labels of letters, digits and
'-' of 63 characters at most, neither starting nor ending with '-', joined by single dots,
253 characters at most."""

import re

LABEL = r"[a-z0-9]([a-z0-9-]{0,61}[a-z0-9])?"
HOST_NAME = rf"(?=.{{1,253}}$){LABEL}(\.{LABEL})*"


def is_host_name(text):
    """True when text is a host name by the rule above."""
    return re.fullmatch(HOST_NAME, text, re.ASCII) is not None
