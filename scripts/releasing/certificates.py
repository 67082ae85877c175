"""Certificates and their chains, built as Windows builds them.

A chain runs from a signer's certificate through the certificates that issued it: each
one named as the issuer and with a key that verifies the signature before it. It ends at
a root that verifies its own signature, or where no issuer is at hand; a root in a
given roots file then anchors it. Along a chain: no MD5 or SHA-1 in any certificate's
signature (a root's signature on itself proves nothing and is not judged), the extended
key usages are intersected, and the signing certificate is no CA. Nothing handed in is
trusted: a certificate that no key verifies is refused, whatever its name and key.
"""

import datetime
import os
import re
import subprocess
import tempfile

from asn1crypto import pem, x509 as asn1_x509
from cryptography import x509
from cryptography.exceptions import InvalidSignature, UnsupportedAlgorithm
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec, padding, rsa

from .asn1_types import load_der
from .refusal import Refused, read_limited

CODE_SIGNING = "1.3.6.1.5.5.7.3.3"
TIME_STAMPING = "1.3.6.1.5.5.7.3.8"
ANY_USAGE = "2.5.29.37.0"
LIFETIME_SIGNING = "1.3.6.1.4.1.311.10.3.13"
HASHES = {"sha256": hashes.SHA256, "sha384": hashes.SHA384, "sha512": hashes.SHA512}
WEAK_HASHES = {"md5": hashes.MD5, "sha1": hashes.SHA1}
# Certificate signature algorithms: (key kind, hash); RSA-PSS names its hash in its parameters.
CERTIFICATE_SIGNATURES = {
    "1.2.840.113549.1.1.4": ("rsa", "md5"),
    "1.2.840.113549.1.1.5": ("rsa", "sha1"),
    "1.2.840.113549.1.1.11": ("rsa", "sha256"),
    "1.2.840.113549.1.1.12": ("rsa", "sha384"),
    "1.2.840.113549.1.1.13": ("rsa", "sha512"),
    "1.2.840.113549.1.1.10": ("pss", None),
    "1.2.840.10045.4.1": ("ecdsa", "sha1"),
    "1.2.840.10045.4.3.2": ("ecdsa", "sha256"),
    "1.2.840.10045.4.3.3": ("ecdsa", "sha384"),
    "1.2.840.10045.4.3.4": ("ecdsa", "sha512"),
}


def no_parameters(algorithm):
    """Whether an AlgorithmIdentifier has no parameters or NULL: nothing signs some of
    them, so they may not carry data."""
    parameters = algorithm["parameters"]
    return parameters.dump() in (b"", b"\x05\x00")


def verify(key, signature, data, kind, hash_name, pss=None):
    """Whether key made signature over data: kind 'rsa', 'pss' or 'ecdsa' with hash_name."""
    algorithm = {**HASHES, **WEAK_HASHES}[hash_name]()
    try:
        if kind == "rsa" and isinstance(key, rsa.RSAPublicKey):
            key.verify(signature, data, padding.PKCS1v15(), algorithm)
        elif kind == "pss" and isinstance(key, rsa.RSAPublicKey):
            key.verify(signature, data, padding.PSS(padding.MGF1(algorithm), pss), algorithm)
        elif kind == "ecdsa" and isinstance(key, ec.EllipticCurvePublicKey):
            key.verify(signature, data, ec.ECDSA(algorithm))
        else:
            return False
        return True
    except (InvalidSignature, ValueError, UnsupportedAlgorithm):
        return False


class Certificate:
    """One X.509 certificate: DER that re-encodes to itself when it comes from a file or
    signature under test (strict), its names, key, usages and signature algorithm."""

    def __init__(self, der, what, strict=True):
        self.der = der
        try:
            self.parsed = load_der(asn1_x509.Certificate, der, what) if strict else \
                asn1_x509.Certificate.load(der)
            self.crypto = x509.load_der_x509_certificate(der)
            self.key = serialization.load_der_public_key(self.parsed.public_key.dump())
            self.subject, self.issuer = self.parsed.subject.dump(), self.parsed.issuer.dump()
            self.name = self.crypto.subject.rfc4514_string()
            usage = self.parsed.extended_key_usage_value
            self.usages = None if usage is None else {u.dotted for u in usage}
            self.ca = self.parsed.ca
        except (ValueError, TypeError, UnsupportedAlgorithm) as e:
            raise Refused(f"{what} cannot be read ({str(e).splitlines()[0]})")
        if self.parsed["signature_algorithm"].dump() != self.parsed["tbs_certificate"]["signature"].dump():
            raise Refused(f"the certificate {self.name} names another signature algorithm than the one it signed")
        self.identity = (self.subject, self.parsed.public_key.dump())

    def __eq__(self, other):
        return isinstance(other, Certificate) and self.der == other.der

    def __hash__(self):
        return hash(self.der)

    def self_issued(self):
        return self.subject == self.issuer

    def signed_by(self, issuer):
        """Whether issuer's key made this certificate's signature. MD5 and SHA-1 are
        refused, except in a root's signature on itself."""
        algorithm = self.parsed["signature_algorithm"]
        kind, hash_name = CERTIFICATE_SIGNATURES.get(algorithm["algorithm"].dotted, (None, None))
        salt = None
        if kind == "pss":
            parameters = algorithm["parameters"]
            hash_name = parameters["hash_algorithm"]["algorithm"].native
            mask = parameters["mask_gen_algorithm"]
            if mask["algorithm"].native != "mgf1" or mask["parameters"]["algorithm"].native != hash_name:
                raise Refused(f"the certificate {self.name} is signed with RSA-PSS with a mask other than MGF1 "
                              "of its hash")
            salt = parameters["salt_length"].native
        elif kind is not None and not no_parameters(algorithm):
            raise Refused(f"the certificate {self.name} has parameters on its signature algorithm")
        if kind is None:
            raise Refused(f"the certificate {self.name} is signed with an algorithm not accepted here "
                          f"({algorithm['algorithm'].dotted})")
        if hash_name in WEAK_HASHES and not (self.self_issued() and issuer.identity == self.identity):
            raise Refused(f"the certificate {self.name} is signed with {hash_name.upper()}, which is refused")
        if hash_name not in HASHES and hash_name not in WEAK_HASHES:
            raise Refused(f"the certificate {self.name} is signed with a hash not accepted here ({hash_name})")
        tbs = self.parsed["tbs_certificate"].dump()
        return verify(issuer.key, self.parsed["signature_value"].native, tbs, kind, hash_name, salt)

    def has_usage(self, usage):
        return self.usages is not None and usage in self.usages


def read_pem(path, strict=True):
    """The certificates of a PEM file, in order; not strict (a file of roots, such as the
    system's bundle), a certificate that cannot be read is passed over."""
    data = read_limited(path, 4 << 20, path)
    blocks = re.findall(rb"-----BEGIN CERTIFICATE-----.+?-----END CERTIFICATE-----", data, re.S)
    certificates = []
    for block in blocks:
        try:
            _, _, der = pem.unarmor(block)
        except ValueError:
            raise Refused(f"{path} holds a certificate that cannot be read")
        try:
            certificates.append(Certificate(der, f"a certificate of {path}", strict))
        except Refused:
            if strict:
                raise
    return certificates


def unique(certificates):
    """The certificates with byte-identical copies counted once, in their order."""
    return list(dict.fromkeys(certificates))


def build_chain(leaf, pool, roots, what):
    """leaf and its issuers from pool, in order. It ends at a root that verifies its own
    signature, where one of roots (trusted) issued the last one, or where pool holds no
    issuer; a self-issued certificate that does not verify itself is refused, since only
    its own key could make it a root."""
    chain = [leaf]
    while True:
        last = chain[-1]
        if last.self_issued():
            if not last.signed_by(last):
                raise Refused(f"{what} carries {last.name} as a root, but its signature is not its own")
            return chain
        if any(r.subject == last.issuer and last.signed_by(r) for r in roots):
            return chain
        issuers = [c for c in pool if c not in chain and c.subject == last.issuer and last.signed_by(c)]
        if not issuers:
            return chain
        # A root before a cross-certificate of the same name and key.
        chain.append(sorted(issuers, key=lambda c: not c.self_issued())[0])


def anchor(chain, roots, roots_path, what):
    """The root of roots that anchors chain: the chain's own root, by name and key, or
    the root that verifies the chain's last certificate."""
    last = chain[-1]
    if last.self_issued():
        found = [r for r in roots if r.identity == last.identity]
    else:
        found = [r for r in roots if r.subject == last.issuer and last.signed_by(r)]
    if not found:
        raise Refused(f"{what} does not chain to a root in {roots_path} (its chain ends at {last.name})")
    return found[0]


def effective_usages(chain):
    """The extended key usages the chain allows: those of every certificate that names
    any, intersected (None: no certificate restricts them)."""
    allowed = None
    for certificate in chain:
        usages = certificate.usages
        if usages is None or ANY_USAGE in usages:
            continue
        allowed = set(usages) if allowed is None else allowed & usages
    return allowed


def check_usage(chain, usage, label, what):
    """The first certificate of chain is for usage (named in it), is no CA, and every
    certificate of chain allows usage."""
    leaf = chain[0]
    if not leaf.has_usage(usage):
        raise Refused(f"{what} ({leaf.name}) is not for {label} (extended key usage)")
    if leaf.ca:
        raise Refused(f"{what} ({leaf.name}) is a CA certificate: its key could issue itself any other")
    allowed = effective_usages(chain)
    if allowed is not None and usage not in allowed:
        holder = next(c for c in chain if c.usages is not None and ANY_USAGE not in c.usages and usage not in c.usages)
        raise Refused(f"{what} chains through {holder.name}, whose extended key usages exclude {label}")


def check_extras(extras, chains, roots, what):
    """Certificates carried besides the chains: each must be a copy, a cross-certificate
    or a re-issued root of a certificate in them or of a root (its name and key), verified
    by a carried certificate or a root; the issuer that verifies it may stand there too."""
    identities = {c.identity for chain in chains for c in chain} | {r.identity for r in roots}
    keys = [c for chain in chains for c in chain] + list(roots)
    pending = list(extras)
    while pending:
        accepted = [c for c in pending if c.identity in identities and
                    any(k.subject == c.issuer and c.signed_by(k) for k in keys + pending)]
        if not accepted:
            raise Refused(f"{what} carries a certificate outside the signer's chain that nothing verifies: "
                          f"{pending[0].name}")
        for c in accepted:
            pending.remove(c)
            keys.append(c)
            # Its issuer, when carried, becomes part of what may stand there.
            identities |= {k.identity for k in pending if k.subject == c.issuer and c.signed_by(k)}


def pem_text(certificates):
    return b"".join(c.crypto.public_bytes(serialization.Encoding.PEM) for c in certificates)


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
        done = subprocess.run(command + [leaf], capture_output=True, text=True, errors="replace",
                              stdin=subprocess.DEVNULL, timeout=60)
    if done.returncode != 0:
        reason = [line for line in (done.stdout + done.stderr).splitlines() if "error" in line.lower()]
        raise Refused(f"{what} does not chain to a root in {roots_path}: "
                      f"{(reason or ['openssl verify failed'])[0].strip()}")


def check_anchored(chain, roots_path, when, what):
    """chain anchored in a root of roots_path (by name and key, or by signature) and
    accepted there by openssl at `when`; returns the chain with its root."""
    roots = read_pem(roots_path, strict=False)
    root = anchor(chain, roots, roots_path, what)
    openssl_verify(chain, roots_path, when, what)
    return chain if chain[-1].self_issued() else chain + [root]


def describe(certificate, prefix):
    c = certificate.crypto
    return [
        f"{prefix} subject: {certificate.name}",
        f"{prefix} issuer: {c.issuer.rfc4514_string()}",
        f"{prefix} serial: {c.serial_number:x}",
        f"{prefix} sha256 fingerprint: {c.fingerprint(hashes.SHA256()).hex()}",
        f"{prefix} expires: {c.not_valid_after:%Y-%m-%d %H:%M:%S} UTC",
    ]


def now():
    return datetime.datetime.now(datetime.timezone.utc)


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
