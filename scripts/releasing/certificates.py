"""Certificates: reading them, naming them, their issuer chains, and a chain's verdict
against a set of roots."""

import os
import re
import subprocess
import tempfile

from cryptography import x509
from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec, padding, rsa
from cryptography.x509.oid import ExtendedKeyUsageOID

from .refusal import Refused, read_limited

def issuer_chain(leaf, others):
    """(leaf and its issuers among others, in order, up to a self-issued one or the first
    whose issuer is missing; the certificates of others left over)."""
    chain, pool = [leaf], list(others)
    while chain[-1].issuer != chain[-1].subject:
        issuers = [c for c in pool if c.subject == chain[-1].issuer and issued_by(chain[-1], c)]
        if not issuers:
            break
        chain.append(issuers[0])
        pool.remove(issuers[0])
    return chain, pool


def load_der_certificate(data):
    try:
        return x509.load_der_x509_certificate(data)
    except ValueError:
        raise Refused("the signature carries a certificate that cannot be read")


def issued_by(certificate, issuer):
    """Whether issuer's key made certificate's signature."""
    key = issuer.public_key()
    try:
        if isinstance(key, rsa.RSAPublicKey):
            key.verify(certificate.signature, certificate.tbs_certificate_bytes, padding.PKCS1v15(),
                       certificate.signature_hash_algorithm)
        elif isinstance(key, ec.EllipticCurvePublicKey):
            key.verify(certificate.signature, certificate.tbs_certificate_bytes,
                       ec.ECDSA(certificate.signature_hash_algorithm))
        else:
            return False
        return True
    except (ValueError, TypeError, InvalidSignature, x509.UnsupportedGeneralNameType):
        return False


def pem(certificates):
    return b"".join(c.public_bytes(serialization.Encoding.PEM) for c in certificates)


def load_pem_certificates(path):
    data = read_limited(path, 1 << 20, path)
    blocks = re.findall(rb"-----BEGIN CERTIFICATE-----.+?-----END CERTIFICATE-----", data, re.S)
    try:
        return [x509.load_pem_x509_certificate(block) for block in blocks]
    except ValueError:
        raise Refused(f"{path} holds a certificate that cannot be read")


def check_chain(chain, roots_path, when, purpose, what):
    """openssl's verdict on chain (leaf first) ending in a root of roots_path, at `when`."""
    with tempfile.TemporaryDirectory() as scratch:
        leaf, untrusted = os.path.join(scratch, "leaf.pem"), os.path.join(scratch, "untrusted.pem")
        with open(leaf, "wb") as f:
            f.write(pem(chain[:1]))
        with open(untrusted, "wb") as f:
            f.write(pem(chain[1:]))
        command = ["openssl", "verify", "-CAfile", roots_path, "-purpose", purpose,
                   "-attime", str(int(when.timestamp()))]
        if len(chain) > 1:
            command += ["-untrusted", untrusted]
        done = subprocess.run(command + [leaf], capture_output=True, text=True, errors="replace",
                              stdin=subprocess.DEVNULL)
    if done.returncode != 0:
        reason = [line for line in (done.stdout + done.stderr).splitlines() if "error" in line.lower()]
        raise Refused(f"{what} does not chain to a root in {roots_path}: "
                      f"{(reason or ['openssl verify failed'])[0].strip()}")


def describe(certificate, prefix):
    return [
        f"{prefix} subject: {certificate.subject.rfc4514_string()}",
        f"{prefix} issuer: {certificate.issuer.rfc4514_string()}",
        f"{prefix} serial: {certificate.serial_number:x}",
        f"{prefix} sha256 fingerprint: {certificate.fingerprint(hashes.SHA256()).hex()}",
        f"{prefix} expires: {certificate.not_valid_after:%Y-%m-%d %H:%M:%S} UTC",
    ]


def has_code_signing(certificate):
    try:
        usage = certificate.extensions.get_extension_for_class(x509.ExtendedKeyUsage).value
    except x509.ExtensionNotFound:
        return False
    return ExtendedKeyUsageOID.CODE_SIGNING in usage


def check_signing_certs(path, out, root_out):
    """The certificates a signer signs with: the first for code signing, then its issuers
    up to a self-signed root, each issuing the one before; written in that order to out,
    the root to root_out."""
    certificates = load_pem_certificates(path)
    if not certificates:
        raise Refused(f"{path} holds no PEM certificate")
    signer = certificates[0]
    if not has_code_signing(signer):
        raise Refused(f"the first certificate of {path} ({signer.subject.rfc4514_string()}) is not for code "
                      "signing (extended key usage)")
    chain, pool = issuer_chain(signer, certificates[1:])
    if chain[-1].issuer != chain[-1].subject or not issued_by(chain[-1], chain[-1]):
        raise Refused(f"the certificate {chain[-1].subject.rfc4514_string()} in {path} does not verify "
                      f"against the chain in {path}: its issuer is not there (the file must hold the chain "
                      "up to and including the root)")
    if pool:
        raise Refused(f"{path} holds a certificate outside the signer's chain: {pool[0].subject.rfc4514_string()}")
    with open(out, "wb") as f:
        f.write(pem(chain))
    with open(root_out, "wb") as f:
        f.write(pem(chain[-1:]))
    return describe(signer, "certificate")


