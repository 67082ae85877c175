"""BUILDINFO: the "key: value" lines that say what a release was built from."""

import re

from .refusal import Refused, read_limited

BUILDINFO_FIELDS = [  # key, form; printed in this order on one line
    ("commit", r"[0-9a-f]{40}"),
    ("uncommitted-changes", r"yes|no"),
    ("host", r"[a-z0-9]([a-z0-9.-]{0,251}[a-z0-9])?"),
    ("default-sha256", r"[0-9a-f]{64}"),
    ("source-date-epoch", r"[0-9]{1,12}"),
    ("setup-sha256", r"[0-9a-f]{64}"),
    ("release-tool-sha256", r"[0-9a-f]{64}"),
]


def read_key_values(data, name):
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


def check_buildinfo(path, toolchain_path):
    values = read_key_values(read_limited(path, 64 << 10, "BUILDINFO"), "BUILDINFO")
    for key, form in BUILDINFO_FIELDS:
        if key not in values:
            raise Refused(f"BUILDINFO has no '{key}' line")
        if not re.fullmatch(form, values[key]):
            raise Refused(f"BUILDINFO's {key} is not of the form {form}: {values[key][:80]!r}")
    lines = [" ".join(values[key] for key, _ in BUILDINFO_FIELDS)]
    if toolchain_path:
        # Other toolchain versions may still give the same bytes: named, not refused.
        here = read_key_values(read_limited(toolchain_path, 64 << 10, "toolchain"), "toolchain")
        for key, value in here.items():
            if values.get(key) != value:
                lines.append(f"note: {key} is '{value}' here, '{values.get(key, '(none)')}' in BUILDINFO")
    return lines

