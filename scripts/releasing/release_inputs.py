"""The release's inputs, checked before anything is built or written: the rules between
the options (wrong usage), then the host, the version, the installer's name, --out, and
every file given. Trusts nothing it is handed: a path may be missing, a folder, a FIFO or
unreadable, and a name may carry anything."""

import os
import re

from .host_name import is_host_name
from .refusal import Refused, UsageError

UPLOAD_TREE_ENTRIES = {"KestrovaSetup.exe", "SHA256SUMS", "BUILDINFO", "downloads"}
PATH_OPTIONS = ("default_installer", "installer", "pfx", "password_file", "pkcs11_module", "pin_file", "sign_cert",
                "timestamp_ca", "out")


def add_arguments(parser):
    """Declares the release's options on parser (an argparse parser)."""
    for name in ("--host", "--default-installer", "--installer", "--version", "--sign-pkcs11", "--pkcs11-module",
                 "--pin-file", "--sign-command", "--sign-cert", "--sign-timeout", "--timestamp-ca", "--out"):
        parser.add_argument(name)
    parser.add_argument("--sign", dest="pfx")
    parser.add_argument("--sign-password-file", dest="password_file")
    parser.add_argument("--timestamp-url", dest="timestamp_urls", action="append", default=[])
    parser.add_argument("--crl", dest="crls", action="append", default=[])
    parser.add_argument("--force", action="store_true")


def check_usage(o):
    """Sets o.signer (pfx, pkcs11, command or None) and o.sign_timeout (seconds); raises
    UsageError for an option missing or options that do not go together."""
    for name in ("host", "default_installer", "installer", "version", "out"):
        if not getattr(o, name):
            raise UsageError(f"--{name.replace('_', '-')} is missing")
    kinds = [kind for kind, given in (("pfx", o.pfx or o.password_file), ("pkcs11", o.sign_pkcs11),
                                      ("command", o.sign_command)) if given]
    if len(kinds) > 1:
        raise UsageError("--sign, --sign-pkcs11 and --sign-command exclude each other")
    o.signer = kinds[0] if kinds else None
    if o.signer == "pfx" and not (o.pfx and o.password_file):
        raise UsageError("--sign and --sign-password-file go together")
    if o.signer == "pkcs11" and not (o.pkcs11_module and o.sign_cert):
        raise UsageError("--sign-pkcs11 needs --pkcs11-module and --sign-cert")
    if (o.pkcs11_module or o.pin_file) and o.signer != "pkcs11":
        raise UsageError("--pkcs11-module and --pin-file go with --sign-pkcs11")
    if o.signer == "command" and not o.sign_cert:
        raise UsageError("--sign-command needs --sign-cert")
    if o.signer == "command" and "{file}" not in o.sign_command:
        raise UsageError("--sign-command: the template has no {file} for the file to sign")
    if o.sign_cert and o.signer not in ("pkcs11", "command"):
        raise UsageError("--sign-cert goes with --sign-pkcs11 or --sign-command")
    for given, name in ((o.timestamp_urls, "--timestamp-url"), (o.timestamp_ca, "--timestamp-ca"),
                        (o.sign_timeout, "--sign-timeout"), (o.crls, "--crl")):
        if given and not o.signer:
            raise UsageError(f"{name} needs a signer")
    if o.sign_timeout and not re.fullmatch(r"[1-9][0-9]{0,5}", o.sign_timeout, re.ASCII):
        raise UsageError(f"--sign-timeout: '{o.sign_timeout}' is not a number of seconds from 1 to 999999")
    o.sign_timeout = int(o.sign_timeout or 600)


def absolute(o):
    """Every path option made absolute (the build runs elsewhere), links not resolved: the
    last component stays as given (it is the installer's published name)."""
    for name in PATH_OPTIONS:
        if getattr(o, name):
            setattr(o, name, os.path.abspath(getattr(o, name)))
    o.crls = [os.path.abspath(crl) for crl in o.crls]


def readable_file(option, path):
    """Refuses a path that does not exist, is no file (links followed) or cannot be read."""
    if not os.path.exists(path):
        raise Refused(f"{option}: {path} does not exist")
    if not os.path.isfile(path):
        raise Refused(f"{option}: {path} is not a file")
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
        try:
            os.read(fd, 1)
        finally:
            os.close(fd)
    except OSError:
        raise Refused(f"{option}: {path} cannot be read")


def secret_file(option, path):
    """readable_file; a warning on stdout when others may read it too."""
    readable_file(option, path)
    mode = os.stat(path).st_mode & 0o7777
    if mode & 0o044:
        print(f"release: warning: {option}: {path} can be read by others (mode {mode:o}); chmod 600 it", flush=True)


def check_names(o):
    """Refuses a host, installer name or version a client would not read unchanged."""
    if not is_host_name(o.host):
        raise Refused(f"--host: '{o.host}' is not a host name in lower case (letters, digits, '-' and '.')")
    readable_file("--default-installer", o.default_installer)
    readable_file("--installer", o.installer)
    name = os.path.basename(o.installer)
    if not re.fullmatch(r"kestrova-[a-z0-9._-]*\.exe", name.lower()) or ".." in name:
        raise Refused(f"--installer: file name '{name}' is not kestrova-*.exe in letters, digits, '.', '_' and '-'")
    if not re.fullmatch(r"[A-Za-z0-9]([A-Za-z0-9._+-]*[A-Za-z0-9])?", o.version) or ".." in o.version \
            or len(o.version) > 64:
        raise Refused(f"--version: '{o.version}' is not a version in letters, digits, '.', '_', '+' and '-' "
                      "(like 3.2.0 or 3.3.0-beta.1)")


def check_out(out, force):
    """Refuses an --out that is not an absent or empty folder or, with force, a previous
    upload tree."""
    if not (os.path.exists(out) or os.path.islink(out)):
        return
    if not os.path.isdir(out) or os.path.islink(out):
        raise Refused(f"--out: {out} exists and is not a folder")
    entries = sorted(os.listdir(out))
    if entries and not force:
        raise Refused(f"--out: {out} is not empty (--force replaces a previous upload tree)")
    for entry in entries:
        if entry not in UPLOAD_TREE_ENTRIES:
            raise Refused(f"--out: {out} holds '{entry}', which no upload tree has; --force replaces only an upload "
                          "tree")


def check_signing_files(o):
    """Refuses a signing file, time-stamp CA, CRL or time-stamp URL that cannot be used."""
    if o.signer == "pfx":
        readable_file("--sign", o.pfx)
        secret_file("--sign-password-file", o.password_file)
    elif o.signer == "pkcs11":
        if not os.path.exists(o.pkcs11_module):
            raise Refused(f"--pkcs11-module: {o.pkcs11_module} does not exist")
        readable_file("--pkcs11-module", o.pkcs11_module)
        readable_file("--sign-cert", o.sign_cert)
        if o.pin_file:
            secret_file("--pin-file", o.pin_file)
    elif o.signer == "command":
        readable_file("--sign-cert", o.sign_cert)
    if o.timestamp_ca:
        readable_file("--timestamp-ca", o.timestamp_ca)
    for crl in o.crls:
        readable_file("--crl", crl)
    for url in o.timestamp_urls:
        if not re.fullmatch(r"https?://\S+", url, re.ASCII):
            raise Refused(f"--timestamp-url: '{url}' is not an http or https URL")


def check_inputs(o):
    """Every check of what needs no build, in the order the guide gives."""
    check_names(o)
    check_out(o.out, o.force)
    check_signing_files(o)
