#!/usr/bin/python3 -Es
"""The checks of scripts/release, scripts/verify-release and scripts/publish, in one place.

    release_checks.py tree DIR
    release_checks.py buildinfo FILE [--toolchain FILE]
    release_checks.py signing-certs CERTS.pem --out CHAIN.pem --root-out ROOT.pem
    release_checks.py signature UNSIGNED SIGNED [--ca ROOTS] [--tsa-ca ROOTS [--tsa-ca-is-system]]
                      [--signer CERTS.pem] [--require-timestamp]
    release_checks.py bare-signature TABLE [--ca ROOTS] [--tsa-ca ROOTS] [--signer CERTS.pem]
                      [--require-timestamp] [--any-usage]
    release_checks.py osslsigncode-verify SIGNED --ca ROOTS --tsa-ca ROOTS [--crl FILE]...
                      [--require-timestamp]
    release_checks.py pkcs11 --module LIB --uri URI --cert CERTS.pem [--pin-file FILE]

Everything they are given is treated as hostile: a tree may hold links, FIFOs or devices,
a list may name paths out of the tree, a signature may carry bytes nobody signed. Each
command prints what it found on stdout and exits 0, or prints one line on stderr and
exits 1 (2 for wrong usage). The checks themselves are the modules of releasing/, one per
concern. Needs Debian's python3-cryptography and python3-asn1crypto (and python3-pykcs11
for pkcs11).
"""

import argparse
import os
import sys
import warnings

sys.path.insert(0, os.path.dirname(os.path.realpath(__file__)))
from releasing.authenticode import check_signature  # noqa: E402
from releasing.buildinfo import check_buildinfo  # noqa: E402
from releasing.certificates import check_signing_certs  # noqa: E402
from releasing.osslsigncode import osslsigncode_verify  # noqa: E402
from releasing.pkcs11_token import check_pkcs11  # noqa: E402
from releasing.refusal import Refused  # noqa: E402
from releasing.tree import check_tree  # noqa: E402


def main():
    # A library's warnings about what it reads (a malformed name, a SHA-1 signature) would
    # be lines beside the one a refusal prints; the checks say what matters themselves.
    warnings.simplefilter("ignore")
    parser = argparse.ArgumentParser(prog="release_checks.py")
    commands = parser.add_subparsers(dest="command", required=True)
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
    bare.set_defaults(tsa_ca_is_system=False)
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
    options = parser.parse_args()
    try:
        if options.command == "tree":
            lines = check_tree(options.dir)
        elif options.command == "buildinfo":
            lines = check_buildinfo(options.file, options.toolchain)
        elif options.command == "signing-certs":
            lines = check_signing_certs(options.certs, options.out, options.root_out)
        elif options.command in ("signature", "bare-signature"):
            lines = check_signature(options)
        elif options.command == "osslsigncode-verify":
            lines = osslsigncode_verify(options.signed, options.ca, options.tsa_ca, options.crl,
                                        options.require_timestamp)
        else:
            lines = check_pkcs11(options.module, options.uri, options.cert, options.pin_file)
    except Refused as e:
        print(e, file=sys.stderr)
        return 1
    except Exception as e:  # noqa: BLE001 - input this malformed is refused too, in one line
        print(f"{options.command}: cannot be checked: the input is malformed in a way not named here "
              f"({type(e).__name__})", file=sys.stderr)
        return 1
    for line in lines:
        print(line)
    return 0


if __name__ == "__main__":
    sys.exit(main())
