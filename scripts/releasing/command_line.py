"""The release program's one command line: the commands release, verify and publish
(scripts/release, scripts/verify-release, scripts/publish) and the checks (tree,
buildinfo, signing-certs, signature, bare-signature, osslsigncode-verify, pkcs11; by their
old name scripts/release_checks.py COMMAND).

A refusal is one line on stderr and status 1, wrong usage status 2: for release, verify
and publish one line "NAME: what is wrong; usage: ...", for a check argparse's own.
Trusts nothing on the command line: each command checks what it is given."""

import argparse
import sys
import warnings

from . import publish, release, verify
from .authenticode import check_signature
from .buildinfo import check_buildinfo
from .osslsigncode import osslsigncode_verify
from .pkcs11_token import check_pkcs11
from .refusal import Refused, UsageError, checked, one_line
from .signing_certs import check_signing_certs
from .tree import check_tree


class Parser(argparse.ArgumentParser):
    """argparse, but for a command with a one-line usage (`usage_line`) a mistake raises
    UsageError instead of printing argparse's two lines."""
    usage_line = None

    def error(self, message):
        """Raises UsageError for a command with a one-line usage; else argparse's lines and exit 2."""
        if self.usage_line:
            raise UsageError(message)
        super().error(message)


class Help(argparse.Action):
    def __init__(self, option_strings, dest, **kwargs):
        super().__init__(option_strings, dest, nargs=0, default=argparse.SUPPRESS)

    def __call__(self, parser, namespace, values, option_string=None):
        print(parser.usage_line)
        parser.exit(0)


COMMANDS = {  # command: (its name in messages, its usage, where its options are declared)
    "release": ("release", release.USAGE, release.add_arguments),
    "verify": ("verify-release", verify.USAGE, verify.add_arguments),
    "publish": ("publish", publish.USAGE, publish.add_arguments),
}


def add_checks(commands):
    """Declares the checks' commands and their options."""
    commands.add_parser("tree").add_argument("dir")
    command = commands.add_parser("buildinfo")
    command.add_argument("file")
    command.add_argument("--toolchain")
    command = commands.add_parser("signing-certs")
    command.add_argument("certs")
    command.add_argument("--out", required=True)
    command.add_argument("--root-out", required=True)
    command = commands.add_parser("signature")
    command.add_argument("unsigned")
    command.add_argument("signed")
    command.add_argument("--tsa-ca-is-system", action="store_true")
    command.set_defaults(table=None, any_usage=False)
    bare = commands.add_parser("bare-signature")
    bare.add_argument("table")
    bare.add_argument("--any-usage", action="store_true")
    bare.set_defaults(tsa_ca_is_system=False, unsigned=None, signed=None)
    for command in command, bare:
        command.add_argument("--ca")
        command.add_argument("--tsa-ca")
        command.add_argument("--signer")
        command.add_argument("--require-timestamp", action="store_true")
    command = commands.add_parser("osslsigncode-verify")
    command.add_argument("signed")
    command.add_argument("--ca", required=True)
    command.add_argument("--tsa-ca", required=True)
    command.add_argument("--crl", action="append", default=[])
    command.add_argument("--require-timestamp", action="store_true")
    command = commands.add_parser("pkcs11")
    command.add_argument("--module", required=True)
    command.add_argument("--uri", required=True)
    command.add_argument("--cert", required=True)
    command.add_argument("--pin-file")


def parser_for(program):
    """The argparse tree of every command."""
    parser = Parser(prog=program, allow_abbrev=False)
    commands = parser.add_subparsers(dest="command", required=True)
    for command, (name, usage, add_arguments) in COMMANDS.items():
        sub = commands.add_parser(command, prog=name, add_help=False, allow_abbrev=False)
        sub.usage_line = usage
        sub.add_argument("--help", action=Help)
        add_arguments(sub)
    add_checks(commands)
    return parser


def parse(arguments, program="releasing"):
    """The options of arguments; raises UsageError for release, verify or publish used
    wrongly (an unknown argument too), and exits 2 after argparse's lines for a check."""
    parser = parser_for(program)
    options, unknown = parser.parse_known_args(arguments)
    if unknown:
        if options.command in COMMANDS:
            raise UsageError(f"unknown argument {unknown[0]!r}")
        parser.error(f"unrecognized arguments: {' '.join(unknown)}")
    return options


def run_check(options):
    """The lines a check prints; refuses what it finds wrong."""
    if options.command == "tree":
        return check_tree(options.dir)
    if options.command == "buildinfo":
        return check_buildinfo(options.file, options.toolchain)
    if options.command == "signing-certs":
        return check_signing_certs(options.certs, options.out, options.root_out)
    if options.command in ("signature", "bare-signature"):
        return check_signature(options.unsigned, options.signed, table=options.table, ca=options.ca,
                               tsa_ca=options.tsa_ca, tsa_ca_is_system=options.tsa_ca_is_system,
                               signer=options.signer, require_timestamp=options.require_timestamp,
                               any_usage=options.any_usage)
    if options.command == "osslsigncode-verify":
        return osslsigncode_verify(options.signed, options.ca, options.tsa_ca, options.crl, options.require_timestamp)
    return check_pkcs11(options.module, options.uri, options.cert, options.pin_file)


def main(arguments, program="releasing"):
    """The exit status of the command the arguments name."""
    # A library's warnings about what it reads (a malformed name, a SHA-1 signature) would
    # be lines beside the one a refusal prints; the checks say what matters themselves.
    warnings.simplefilter("ignore")
    command = arguments[0] if arguments else None
    try:
        options = parse(arguments, program)
        if command in COMMANDS:
            return {"release": release.main, "verify": verify.main, "publish": publish.main}[command](options)
    except UsageError as e:
        name, usage, _ = COMMANDS[command]
        print(one_line(f"{name}: {e}; {usage}"), file=sys.stderr)
        return 2
    try:
        lines = checked(options.command, run_check, options)
    except Refused as e:
        print(e, file=sys.stderr)
        return 1
    for line in lines:
        print(line)
    return 0
