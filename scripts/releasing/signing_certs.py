"""The files around certificate chains: the signer's chain and root written as PEM (the
signing-certs check), and openssl's verdict on a chain ending in a root of a file.
Trusts nothing it is handed: the chain is built and checked by certificates.py first,
and openssl runs under a time limit (refusal.py's)."""

import os
import tempfile

from asn1crypto import pem

from .certificates import CODE_SIGNING, anchor, build_chain, check_usage, describe, read_pem, unique
from .refusal import Refused, run_bounded


def pem_text(certificates):
    """The certificates as PEM, in their order."""
    return b"".join(pem.armor("CERTIFICATE", c.der) for c in certificates)


def openssl_verify(chain, roots_path, when, what):
    """openssl's verdict on chain (leaf first) ending in a root of roots_path, at `when`,
    with at least 112 bits of security and no SHA-1 (auth level 2). Its purposes are not
    asked: the usages are judged here, as Windows judges them."""
    with tempfile.TemporaryDirectory() as scratch:
        leaf, untrusted = os.path.join(scratch, "leaf.pem"), os.path.join(scratch, "untrusted.pem")
        with open(leaf, "wb") as f:
            f.write(pem_text(chain[:1]))
        with open(untrusted, "wb") as f:
            f.write(pem_text(chain[1:]))
        command = ["openssl", "verify", "-CAfile", roots_path, "-auth_level", "2",
                   "-attime", str(int(when.timestamp()))]
        if len(chain) > 1:
            command += ["-untrusted", untrusted]
        status, output = run_bounded(command + [leaf], "openssl verify")
    if status != 0:
        reason = [line for line in output.splitlines() if "error" in line.lower()]
        raise Refused(f"{what} does not chain to a root in {roots_path}: "
                      f"{(reason or ['openssl verify failed'])[0].strip()}")


def check_anchored(chain, roots_path, when, what):
    """chain anchored in a root of roots_path (by name and key, or by signature) and
    accepted there by openssl at `when`; returns the chain with its root."""
    roots = read_pem(roots_path, strict=False)
    root = anchor(chain, roots, roots_path, what)
    openssl_verify(chain, roots_path, when, what)
    return chain if chain[-1].self_issued() else chain + [root]



def check_signing_certs(path, out, root_out):
    """The certificates a signer signs with: the first for code signing and no CA, then
    its issuers up to a root that verifies itself, each issuing the one before, nothing
    else; written in that order to out, the root to root_out."""
    certificates = unique(read_pem(path))
    if not certificates:
        raise Refused(f"{path} holds no PEM certificate")
    chain = build_chain(certificates[0], certificates[1:], [], path)
    check_usage(chain, CODE_SIGNING, "code signing", f"the first certificate of {path}")
    if not chain[-1].self_issued():
        raise Refused(f"the certificate {chain[-1].name} in {path} does not verify against the chain in {path}: "
                      f"its issuer is not there (the file must hold the chain up to and including the root)")
    outside = [c for c in certificates if c not in chain]
    if outside:
        raise Refused(f"{path} holds a certificate outside the signer's chain: {outside[0].name}")
    with open(out, "wb") as f:
        f.write(pem_text(chain))
    with open(root_out, "wb") as f:
        f.write(pem_text(chain[-1:]))
    return describe(chain[0], "certificate")
