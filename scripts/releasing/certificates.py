"""Certificates and their chains, built as Windows builds them.

A chain runs from a signer's certificate through the certificates that issued it: each
one named as the issuer and with a key that verifies the signature before it. It ends at
a root that verifies its own signature, or where no issuer is at hand; a root in a
given roots file then anchors it. Along a chain: no MD5 or SHA-1 in any certificate's
signature (a root's signature on itself proves nothing and is not judged), the extended
key usages are intersected, and the signing certificate is no CA. Where several carried
certificates could issue the next link, each is tried in turn. Nothing handed in is
trusted: a certificate that no key verifies is refused, whatever its name and key, and a
certificate beyond the chains counts only when a certificate of the chains or a root
given explicitly verifies it, never another carried certificate.
"""

import datetime
import hashlib
import re

from asn1crypto import cms, core, pem, x509 as asn1_x509
from cryptography import x509
from cryptography.exceptions import InvalidSignature, UnsupportedAlgorithm
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec, padding, rsa

from .asn1_types import parse
from .der import check_all_der, check_certificate_bytes
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


def signature_verifies(algorithm, signature, signed, issuer, name, weak_allowed):
    """Whether issuer's key made signature over the bytes signed with algorithm (an
    AlgorithmIdentifier). MD5 and SHA-1 are refused unless weak_allowed (a root's
    signature on itself, which proves nothing)."""
    kind, hash_name = CERTIFICATE_SIGNATURES.get(algorithm["algorithm"].dotted, (None, None))
    salt = None
    if kind == "pss":
        parameters = algorithm["parameters"]
        hash_name = parameters["hash_algorithm"]["algorithm"].native
        mask = parameters["mask_gen_algorithm"]
        if mask["algorithm"].native != "mgf1" or mask["parameters"]["algorithm"].native != hash_name:
            raise Refused(f"the certificate {name} is signed with RSA-PSS with a mask other than MGF1 of its hash")
        salt = parameters["salt_length"].native
    elif kind is not None and not no_parameters(algorithm):
        raise Refused(f"the certificate {name} has parameters on its signature algorithm")
    if kind is None:
        raise Refused(f"the certificate {name} is signed with an algorithm not accepted here "
                      f"({algorithm['algorithm'].dotted})")
    if hash_name in WEAK_HASHES and not weak_allowed:
        raise Refused(f"the certificate {name} is signed with {hash_name.upper()}, which is refused")
    if hash_name not in HASHES and hash_name not in WEAK_HASHES:
        raise Refused(f"the certificate {name} is signed with a hash not accepted here ({hash_name})")
    return verify(issuer.key, signature, signed, kind, hash_name, salt)


def name_text(name, crypto_name):
    """A Name as RFC 4514 text, by cryptography when it can read the certificate."""
    return crypto_name.rfc4514_string() if crypto_name is not None else name.human_friendly


class Certificate:
    """One X.509 certificate: DER outside its signed part when it comes from a file or
    signature under test (strict; the signed part is read as written, which cryptography
    38 may not read: names, dates and fingerprints then come from asn1crypto), its names,
    key, usages and signature algorithm."""

    def __init__(self, der, what, strict=True):
        self.der = der
        if strict:
            check_certificate_bytes(der, what)
        self.parsed = parse(asn1_x509.Certificate, der, what)
        try:
            self.crypto = x509.load_der_x509_certificate(der)
        except (ValueError, x509.InvalidVersion):
            self.crypto = None
        try:
            self.key = serialization.load_der_public_key(self.parsed.public_key.dump())
            self.subject, self.issuer = self.parsed.subject.dump(), self.parsed.issuer.dump()
            self.name = name_text(self.parsed.subject, self.crypto and self.crypto.subject)
            self.issuer_name = name_text(self.parsed.issuer, self.crypto and self.crypto.issuer)
            usage = self.parsed.extended_key_usage_value
            self.usages = None if usage is None else {u.dotted for u in usage}
            self.ca = self.parsed.ca
        except (ValueError, TypeError, KeyError, UnsupportedAlgorithm) as e:
            raise Refused(f"{what} cannot be read ({str(e).splitlines()[0]})")
        if self.parsed["signature_algorithm"].dump() != self.parsed["tbs_certificate"]["signature"].dump():
            raise Refused(f"the certificate {self.name} names another signature algorithm than the one it signed")
        self.identity = (self.subject, self.parsed.public_key.dump())

    def __eq__(self, other):
        return isinstance(other, Certificate) and self.der == other.der

    def __hash__(self):
        return hash(self.der)

    def self_issued(self):
        """Whether its subject is its issuer (a root, or a certificate issued by a key of the same name)."""
        return self.subject == self.issuer

    def signed_by(self, issuer):
        """Whether issuer's key made this certificate's signature (over its signed part as
        written). MD5 and SHA-1 are refused, except in a root's signature on itself."""
        return signature_verifies(self.parsed["signature_algorithm"], self.parsed["signature_value"].native,
                                  self.parsed["tbs_certificate"].dump(), issuer, self.name,
                                  self.self_issued() and issuer.identity == self.identity)

    def has_usage(self, usage):
        """Whether its extended key usages name usage (False when it has none)."""
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


# The timing attributes (metrics, policy) of nShield time sources, as Microsoft's
# time-stamp authority attests them.
TIMING_ATTRIBUTES = {"1.3.6.1.4.1.601.10.4.1", "1.3.6.1.4.1.601.10.4.2"}
MAX_CHAIN = 8
MAX_PATHS = 64


def build_chain(leaf, pool, roots, what):
    """leaf and its issuers from pool, in order. Each path ends at a root that verifies
    its own signature, where one of roots (trusted) issued its last certificate, or where
    pool holds no issuer. Every candidate issuer (same name, key that verifies) is tried
    in turn, at most MAX_CHAIN long and MAX_PATHS paths. Chosen: the first path anchored
    in roots; else the first ending in a root that verifies itself; else the longest,
    refused when a failure (such as a SHA-1 signature) ended it, and refused when it
    ends in a self-issued certificate that does not verify itself, since only its own key
    could make it a root."""
    paths = []

    def extend(chain):
        if len(paths) >= MAX_PATHS:
            return
        last = chain[-1]
        if last.self_issued() or any(r.subject == last.issuer and last.signed_by(r) for r in roots) or len(chain) >= MAX_CHAIN:
            paths.append((chain, None))
            return
        failure, found = None, False
        # A root before a cross-certificate of the same name and key.
        for candidate in sorted(pool, key=lambda c: not c.self_issued()):
            if candidate in chain or candidate.subject != last.issuer:
                continue
            try:
                if not last.signed_by(candidate):
                    continue
            except Refused as e:
                failure = failure or e
                continue
            found = True
            extend(chain + [candidate])
        if not found:
            paths.append((chain, failure))

    extend([leaf])

    def root_verifies(chain):
        try:
            return chain[-1].self_issued() and chain[-1].signed_by(chain[-1])
        except Refused:
            return False

    for chain, failure in paths:
        if failure is None and roots and anchored(chain, roots):
            return chain
    for chain, failure in paths:
        if failure is None and root_verifies(chain):
            return chain
    chain, failure = max(paths, key=lambda p: len(p[0]))
    if failure is not None:
        raise failure
    if chain[-1].self_issued():
        raise Refused(f"{what} carries {chain[-1].name} as a root, but its signature is not its own")
    return chain


def anchored(chain, roots):
    """Whether a root of roots is chain's own root (by name and key) or issued its last
    certificate."""
    last = chain[-1]
    if last.self_issued() and any(r.identity == last.identity for r in roots):
        return True
    return any(r.subject == last.issuer and last.signed_by(r) for r in roots)


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
    certificate of chain allows usage (usage None: only that it is no CA)."""
    leaf = chain[0]
    if usage is not None and not leaf.has_usage(usage):
        raise Refused(f"{what} ({leaf.name}) is not for {label} (extended key usage)")
    if leaf.ca:
        raise Refused(f"{what} ({leaf.name}) is a CA certificate: its key could issue itself any other")
    allowed = effective_usages(chain)
    if usage is not None and allowed is not None and usage not in allowed:
        holder = next(c for c in chain if c.usages is not None and ANY_USAGE not in c.usages and usage not in c.usages)
        raise Refused(f"{what} chains through {holder.name}, whose extended key usages exclude {label}")


def check_extras(extras, chains, roots, vouching, what, timing_link=None):
    """Certificates carried besides the chains. Each X.509 one must be a copy, a
    cross-certificate or a re-issued root of a certificate of the chains or of roots (its
    name and key), and its signature must verify under a certificate of the chains or of
    vouching (roots given explicitly; never the system's bundle): never on the strength of
    another extra, which anyone could add. An attribute certificate must have a holder
    among the chains and an issuer among them or vouching, and verify under that issuer; or, when no carried key of
    that issuer's name can have made its signature (Microsoft's time-stamp authority signs
    them with a key of its CA's name that it does not carry), hold nothing but timing
    attributes, in DER throughout, and then only where timing_link (the time stamp's own
    certificate and the one that issued it) names its holder and issuer: the one place
    where Microsoft's authority puts it. Returns a note for each such one."""
    members = [c for chain in chains for c in chain]
    identities = {c.identity for c in members} | {r.identity for r in roots}
    notes = []
    for extra in extras:
        if isinstance(extra, AttributeCertificate):
            issuers = [c for c in members + list(vouching) if extra.issued_by_name(c)]
            if not any(extra.held_by(c) for c in members) or not issuers:
                raise Refused(f"{what} carries an attribute certificate whose holder or issuer is not of its chains "
                              "or a root given: "
                              f"{extra.name}")
            if any(extra.signed_by(c) for c in issuers):
                continue
            if not all(extra.not_made_by(c) for c in issuers) or timing_link is None or \
                    not extra.held_by(timing_link[0]) or not extra.issued_by_name(timing_link[1]):
                raise Refused(f"{what} carries an attribute certificate that its issuer did not sign: {extra.name}")
            extra.check_timing_only(what)
            notes.append(f"note: {what} carries an attribute certificate for {extra.name} signed by a key of "
                         f"{issuers[0].name} that it does not carry; it holds only timing attributes")
            continue
        if extra.identity not in identities:
            raise Refused(f"{what} carries a certificate outside the signer's chain that nothing verifies: "
                          f"{extra.name}")
        if not any(k.subject == extra.issuer and extra.signed_by(k) for k in members + list(vouching)):
            raise Refused(f"{what} carries a certificate outside the signer's chain that nothing verifies: "
                          f"{extra.name} (its signature verifies under no certificate of the chains and no root given)")
    return notes


class AttributeCertificate:
    """An attribute certificate carried under its CHOICE tag (as Microsoft's time-stamp
    authority carries one for its certificate): its holder, its issuer's name and its
    signature over its signed part as written."""

    def __init__(self, der, what):
        self.der = der
        try:
            self.parsed = parse(cms.AttributeCertificateV2, b"\x30" + der[1:], what)
            info = self.parsed["ac_info"]
            holder, issuer = info["holder"], info["issuer"]
            self.holder_names = [n.chosen.untag().dump() for n in holder["entity_name"] or [] if n.name == "directory_name"]
            base = holder["base_certificate_id"]
            self.holder_serial = None if isinstance(base, core.Void) else (
                [n.chosen.untag().dump() for n in base["issuer"] if n.name == "directory_name"], base["serial"].native)
            digest = holder["object_digest_info"]
            self.holder_digest = None if isinstance(digest, core.Void) else (
                digest["digested_object_type"].native, digest["digest_algorithm"]["algorithm"].native,
                digest["object_digest"].native)
            names = issuer.chosen["issuer_name"] if issuer.name == "v2_form" else issuer.chosen
            self.issuer_names = [n.chosen.untag().dump() for n in names or [] if n.name == "directory_name"]
            self.name = next((asn1_x509.Name.load(n).human_friendly for n in self.holder_names), "of no name")
        except (ValueError, TypeError, KeyError) as e:
            raise Refused(f"{what} cannot be read ({str(e).splitlines()[0]})")
        if self.parsed["signature_algorithm"].dump() != info["signature"].dump():
            raise Refused(f"the attribute certificate {self.name} names another signature algorithm than the one "
                          "it signed")

    def __eq__(self, other):
        return isinstance(other, AttributeCertificate) and self.der == other.der

    def __hash__(self):
        return hash(self.der)

    def held_by(self, certificate):
        """Whether certificate is its holder, by every identification it gives (at least one)."""
        checks = []
        if self.holder_names:
            checks.append(certificate.subject in self.holder_names)
        if self.holder_serial:
            issuers, serial = self.holder_serial
            checks.append(certificate.issuer in issuers and certificate.parsed.serial_number == serial)
        if self.holder_digest:
            kind, algorithm, value = self.holder_digest
            checks.append(kind == "public_key_cert" and algorithm in ("sha1", "sha256", "sha384", "sha512") and
                          hashlib.new(algorithm, certificate.der).digest() == value)
        return bool(checks) and all(checks)

    def not_made_by(self, certificate):
        """Whether certificate's key cannot have made the signature: an RSA key whose
        signatures are of another length."""
        key = certificate.key
        return isinstance(key, rsa.RSAPublicKey) and (key.key_size + 7) // 8 != len(self.parsed["signature"].contents) - 1

    def check_timing_only(self, what):
        """Refused unless it holds nothing but the timing attributes of Microsoft's
        time-stamp authority (nShield timing metrics and policy), no extensions, in DER
        throughout and small: the shape its signature cannot vouch for."""
        info = self.parsed["ac_info"]
        kinds = {a["type"].dotted for a in info["attributes"]}
        if not kinds <= TIMING_ATTRIBUTES or info["extensions"].native or info["issuer_unique_id"].native or \
                len(self.der) > 1024:
            raise Refused(f"{what} carries an attribute certificate that no carried key verifies, and it holds more "
                          f"than timing attributes: {self.name}")
        check_all_der(b"\x30" + self.der[1:], f"the attribute certificate {self.name}")

    def issued_by_name(self, certificate):
        """Whether certificate's subject is among the issuer names it carries."""
        return certificate.subject in self.issuer_names

    def signed_by(self, issuer):
        # asn1crypto declares this signature a BIT STRING of bits; its bytes follow the
        # count of unused bits, which der.py has held to zero.
        return signature_verifies(self.parsed["signature_algorithm"], self.parsed["signature"].contents[1:],
                                  self.parsed["ac_info"].dump(), issuer, f"(attribute) {self.name}", False)


def describe(certificate, prefix):
    """The lines naming certificate (subject, issuer, serial, fingerprint, expiry), each after prefix."""
    c = certificate.parsed
    return [
        f"{prefix} subject: {certificate.name}",
        f"{prefix} issuer: {certificate.issuer_name}",
        f"{prefix} serial: {c.serial_number:x}",
        f"{prefix} sha256 fingerprint: {hashlib.sha256(certificate.der).hexdigest()}",
        f"{prefix} expires: {c['tbs_certificate']['validity']['not_after'].native:%Y-%m-%d %H:%M:%S} UTC",
    ]


def now():
    """The time now, in UTC."""
    return datetime.datetime.now(datetime.timezone.utc)
