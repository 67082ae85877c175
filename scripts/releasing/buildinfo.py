"""BUILDINFO: the "key: value" lines that say what a release was built from, written and
read from one table. Trusts nothing in a BUILDINFO it reads: every field the table reads
must be there once, in its form."""

import datetime
import re

from .host_name import HOST_NAME
from .refusal import Refused, read_limited

TOOLCHAIN = None  # where the toolchain's lines go
BUILDINFO_FIELDS = [  # key, form (None: written, not read); written in this order
    ("commit", r"[0-9a-f]{40}"),
    ("uncommitted-changes", r"yes|no"),
    ("host", HOST_NAME),
    ("default-sha256", r"[0-9a-f]{64}"),
    ("source-date-epoch", r"[0-9]{1,12}"),
    ("source-date", None),
    (TOOLCHAIN, None),
    ("setup-sha256", r"[0-9a-f]{64}"),
    ("release-tool-sha256", r"[0-9a-f]{64}"),
]
READ_FIELDS = [key for key, form in BUILDINFO_FIELDS if form]  # printed in this order on one line


def read_key_values(data, name):
    """{key: value} of "key: value" lines; refuses other lines and a key given twice."""
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError:
        raise Refused(f"{name} is not UTF-8")
    values = {}
    for number, line in enumerate(text.splitlines(), 1):
        key, separator, value = line.partition(": ")
        if not separator or not re.fullmatch(r"[a-z0-9][a-z0-9.+-]*", key):
            raise Refused(f"{name} line {number} is not 'key: value'")
        if key in values:
            raise Refused(f"{name} has '{key}' twice")
        values[key] = value
    return values


def buildinfo_text(values, toolchain_lines):
    """BUILDINFO's text for values (every read field, by key) and the toolchain's "key:
    value" lines; source-date follows from source-date-epoch."""
    values = dict(values, **{"source-date": datetime.datetime.fromtimestamp(
        int(values["source-date-epoch"]), datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")})
    lines = []
    for key, form in BUILDINFO_FIELDS:
        if key is TOOLCHAIN:
            lines += toolchain_lines
            continue
        if form and not re.fullmatch(form, values[key]):
            raise Refused(f"BUILDINFO's {key} would not be of the form {form}: {values[key][:80]!r}")
        lines.append(f"{key}: {values[key]}")
    return "".join(line + "\n" for line in lines)


def check_buildinfo(path, toolchain_path):
    """The read fields' values on one line, then a note for each toolchain line of the file
    toolchain_path (if given) that differs from BUILDINFO; refuses a field missing or
    not in its form."""
    values = read_key_values(read_limited(path, 64 << 10, "BUILDINFO"), "BUILDINFO")
    for key, form in BUILDINFO_FIELDS:
        if not form:
            continue
        if key not in values:
            raise Refused(f"BUILDINFO has no '{key}' line")
        if not re.fullmatch(form, values[key]):
            raise Refused(f"BUILDINFO's {key} is not of the form {form}: {values[key][:80]!r}")
    lines = [" ".join(values[key] for key in READ_FIELDS)]
    if toolchain_path:
        # Other toolchain versions may still give the same bytes: named, not refused.
        here = read_key_values(read_limited(toolchain_path, 64 << 10, "toolchain"), "toolchain")
        for key, value in here.items():
            if values.get(key) != value:
                lines.append(f"note: {key} is '{value}' here, '{values.get(key, '(none)')}' in BUILDINFO")
    return lines
