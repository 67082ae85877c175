#!/usr/bin/python3
"""The checks of scripts/release, scripts/verify-release and scripts/publish, in one place.

    release_checks.py tree DIR
    release_checks.py buildinfo FILE [--toolchain FILE]
    release_checks.py signing-certs CERTS.pem --out CHAIN.pem --root-out ROOT.pem
    release_checks.py signature UNSIGNED SIGNED [--ca ROOTS] [--tsa-ca ROOTS] [--signer CERTS.pem]
                      [--require-timestamp]
    release_checks.py pkcs11 --module LIB --uri URI --cert CERTS.pem [--pin-file FILE]

Everything they are given is treated as hostile: a tree may hold links, FIFOs or devices,
a list may name paths out of the tree, a signature may carry bytes nobody signed. Each
command prints what it found on stdout and exits 0, or prints one line on stderr and
exits 1 (2 for wrong usage). Needs Debian's python3-cryptography (and python3-pykcs11 for
pkcs11).
"""

import argparse
import datetime
import hashlib
import os
import re
import stat
import struct
import subprocess
import sys
import tempfile

from cryptography import x509
from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec, padding, rsa
from cryptography.x509.oid import ExtendedKeyUsageOID


class Refused(Exception):
    """A check that failed; its text is the one line the caller prints."""


# --- upload trees -----------------------------------------------------------------

SUMS = "SHA256SUMS"
SAFE_COMPONENT = re.compile(r"[A-Za-z0-9_+-][A-Za-z0-9._+-]*")
SUMS_LINE = re.compile(r"([0-9a-f]{64}) [ *](.+)")
MAX_SUMS_BYTES = 1 << 20


def regular_files(root):
    """Every file below root as a relative path, without following links; a link, FIFO,
    device or socket anywhere is refused before anything is read."""
    found = []
    pending = [""]
    while pending:
        folder = pending.pop()
        with os.scandir(os.path.join(root, folder)) as entries:
            for entry in entries:
                relative = os.path.join(folder, entry.name) if folder else entry.name
                mode = entry.stat(follow_symlinks=False).st_mode
                if stat.S_ISDIR(mode):
                    pending.append(relative)
                elif stat.S_ISREG(mode):
                    found.append(relative)
                elif stat.S_ISLNK(mode):
                    raise Refused(f"{relative} is a symbolic link: a tree holds regular files only")
                else:
                    raise Refused(f"{relative} is not a regular file (a FIFO, device or socket)")
    return found


def open_regular(path):
    """An open file at path, which must be a regular file and not a link (checked on the
    open file itself, so a file swapped in after the walk cannot hang or mislead)."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC)
    except OSError as e:
        raise Refused(f"{path} cannot be opened: {e.strerror}")
    if not stat.S_ISREG(os.fstat(fd).st_mode):
        os.close(fd)
        raise Refused(f"{path} is not a regular file")
    return os.fdopen(fd, "rb")


def read_limited(path, limit, name):
    with open_regular(path) as f:
        data = f.read(limit + 1)
    if len(data) > limit:
        raise Refused(f"{name} is larger than {limit} bytes")
    return data


def file_sha256(path):
    with open_regular(path) as f:
        return hashlib.file_digest(f, "sha256").hexdigest()


def read_sums(data):
    """(path, digest) pairs of a SHA256SUMS text: relative paths of safe components only."""
    try:
        text = data.decode("ascii")
    except UnicodeDecodeError:
        raise Refused(f"{SUMS} is not plain ASCII")
    listed = []
    for number, line in enumerate(text.split("\n")[:-1] if text.endswith("\n") else text.split("\n"), 1):
        match = SUMS_LINE.fullmatch(line)
        if not match:
            raise Refused(f"{SUMS} line {number} is not '<sha256>  <path>'")
        digest, path = match.groups()
        if path.startswith("/") or ".." in path.split("/"):
            raise Refused(f"{SUMS} line {number} names {path}, which is not a path inside the tree")
        if not all(SAFE_COMPONENT.fullmatch(part) for part in path.split("/")) or path == SUMS:
            raise Refused(f"{SUMS} line {number} names {path!r}: only letters, digits, '.', '_', '+' and '-' "
                          "in a relative path")
        listed.append((path, digest))
    names = [path for path, _ in listed]
    if len(set(names)) != len(names):
        raise Refused(f"{SUMS} lists a file twice")
    if not listed:
        raise Refused(f"{SUMS} lists no file")
    return listed


def check_tree(root):
    """The files SHA256SUMS lists, after checking that the tree is regular files only,
    holds exactly those files and SHA256SUMS, and that every digest holds."""
    if not os.path.isdir(root) or os.path.islink(root):
        raise Refused(f"{root} is not a folder")
    present = set(regular_files(root))
    if SUMS not in present:
        raise Refused(f"{root} has no {SUMS}")
    listed = read_sums(read_limited(os.path.join(root, SUMS), MAX_SUMS_BYTES, SUMS))
    names = {path for path, _ in listed}
    for path in sorted(present - names - {SUMS}):
        raise Refused(f"{path} is in the tree but not listed in {SUMS}")
    for path in sorted(names - present):
        raise Refused(f"{SUMS} lists {path}, which the tree does not hold")
    for path, digest in listed:
        actual = file_sha256(os.path.join(root, path))
        if actual != digest:
            raise Refused(f"{path} has SHA-256 {actual}, {SUMS} says {digest}")
    return [path for path, _ in listed]


# --- BUILDINFO ----------------------------------------------------------------------

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


# --- DER ------------------------------------------------------------------------------

class Der:
    """One DER element: tag, the bytes of its contents, and all of its bytes."""

    def __init__(self, tag, content, encoded):
        self.tag, self.content, self.encoded = tag, content, encoded

    def children(self):
        if not self.tag & 0x20:
            raise Refused("the signature's structure is malformed (a primitive where a constructed value belongs)")
        return der_all(self.content)


def der_one(data, at=0):
    """The element at data[at:] and the offset after it; definite, minimal lengths only."""
    if len(data) < at + 2:
        raise Refused("the signature's structure is truncated")
    tag, first = data[at], data[at + 1]
    if tag & 0x1F == 0x1F:
        raise Refused("the signature's structure uses a tag form DER does not")
    at += 2
    if first < 0x80:
        length = first
    else:
        count = first & 0x7F
        if count == 0 or count > 4 or len(data) < at + count:
            raise Refused("the signature's structure has a malformed length")
        length = int.from_bytes(data[at:at + count], "big")
        if length < 0x80 or data[at] == 0:
            raise Refused("the signature's structure has a length that is not DER")
        at += count
    if len(data) < at + length:
        raise Refused("the signature's structure is truncated")
    header = at - (2 + (0 if first < 0x80 else first & 0x7F))
    return Der(tag, data[at:at + length], data[header:at + length]), at + length


def der_all(data):
    items, at = [], 0
    while at < len(data):
        item, at = der_one(data, at)
        items.append(item)
    return items


def der_oid(item):
    if item.tag != 0x06 or not item.content:
        raise Refused("the signature's structure is malformed (an object identifier is expected)")
    values, value = [], 0
    for byte in item.content:
        value = value << 7 | byte & 0x7F
        if not byte & 0x80:
            values.append(value)
            value = 0
    first = min(values[0] // 40, 2)
    return ".".join(map(str, [first, values[0] - 40 * first] + values[1:]))


def expect(items, count, what):
    if len(items) != count:
        raise Refused(f"the signature's {what} has {len(items)} parts, not {count}")
    return items


OID_SIGNED_DATA = "1.2.840.113549.1.7.2"
OID_SPC_INDIRECT_DATA = "1.3.6.1.4.1.311.2.1.4"
OID_CONTENT_TYPE = "1.2.840.113549.1.9.3"
OID_MESSAGE_DIGEST = "1.2.840.113549.1.9.4"
OID_RFC3161_TIMESTAMP = "1.3.6.1.4.1.311.3.3.1"
OID_TST_INFO = "1.2.840.113549.1.9.16.1.4"
OID_SHA256 = "2.16.840.1.101.3.4.2.1"
SIGNATURE_ALGORITHMS = {  # the signer's key, and how the signature over the attributes reads
    "1.2.840.113549.1.1.1": rsa.RSAPublicKey,
    "1.2.840.113549.1.1.11": rsa.RSAPublicKey,
    "1.2.840.10045.4.3.2": ec.EllipticCurvePublicKey,
}


def small_version(item):
    """Whether item is a version number as CMS writes them (an INTEGER from 0 to 5):
    nothing signs it, so it may not be long enough to carry other data."""
    return item.tag == 0x02 and len(item.content) == 1 and item.content[0] <= 5


def sha256_algorithm(item, what):
    parts = item.children()
    parameters = [(p.tag, p.content) for p in parts[1:]]
    if not parts or der_oid(parts[0]) != OID_SHA256 or parameters not in ([], [(0x05, b"")]):
        raise Refused(f"{what} is not SHA-256")


def attributes(item):
    """{oid: [values]} of a SET OF Attribute; an attribute named twice is refused."""
    found = {}
    for attribute in item.children():
        oid, values = expect(attribute.children(), 2, "attribute")
        name = der_oid(oid)
        if name in found or values.tag != 0x31:
            raise Refused(f"the signature's attribute {name} is malformed or repeated")
        found[name] = values.children()
    return found


class SignedData:
    """A PKCS#7 SignedData with one signer, its certificates read, its signer's
    signature over the signed attributes verified and the content's digest returned."""

    def __init__(self, content_info, what):
        oid, wrapped = expect(content_info.children(), 2, what)
        if der_oid(oid) != OID_SIGNED_DATA or wrapped.tag != 0xA0:
            raise Refused(f"{what} is not PKCS#7 signed data")
        (signed_data,) = expect(wrapped.children(), 1, what)
        parts = signed_data.children()
        if len(parts) < 4 or not small_version(parts[0]) or parts[1].tag != 0x31:
            raise Refused(f"{what} is not PKCS#7 signed data")
        for algorithm in parts[1].children():
            sha256_algorithm(algorithm, f"a digest algorithm of {what}")
        self.content_type, content = self.encapsulated(parts[2], what)
        self.content = content
        rest = parts[3:]
        self.certificates = []
        if rest and rest[0].tag == 0xA0:
            self.certificates = [load_der_certificate(c.encoded) for c in rest[0].children()]
            rest = rest[1:]
        if rest and rest[0].tag == 0xA1:
            raise Refused(f"{what} carries revocation lists, which nothing signs")
        if len(rest) != 1 or rest[0].tag != 0x31:
            raise Refused(f"{what} holds more than certificates and signer information")
        (signer_info,) = expect(rest[0].children(), 1, f"signer list of {what}")
        self.read_signer(signer_info, what)

    @staticmethod
    def encapsulated(item, what):
        parts = item.children()
        if len(parts) != 2 or parts[1].tag != 0xA0:
            raise Refused(f"{what} holds no signed content")
        (inner,) = expect(parts[1].children(), 1, f"content of {what}")
        return der_oid(parts[0]), inner

    def read_signer(self, signer_info, what):
        parts = signer_info.children()
        if len(parts) not in (6, 7) or parts[3].tag != 0xA0 or parts[5].tag != 0x04:
            raise Refused(f"the signer information of {what} is malformed or has no signed attributes")
        version, sid, digest_algorithm, signed_attributes, signature_algorithm, signature = parts[:6]
        if not small_version(version):
            raise Refused(f"the signer information of {what} is malformed")
        self.signer = self.find_signer(sid, what)
        sha256_algorithm(digest_algorithm, f"the digest algorithm of {what}")
        algorithm, *parameters = signature_algorithm.children()
        algorithm = der_oid(algorithm)
        if [(p.tag, p.content) for p in parameters] not in ([], [(0x05, b"")]):
            raise Refused(f"the signature algorithm of {what} carries parameters")
        key = self.signer.public_key()
        if not isinstance(key, SIGNATURE_ALGORITHMS.get(algorithm, ())):
            raise Refused(f"the signature algorithm of {what} ({algorithm}) is not RSA or ECDSA with SHA-256 "
                          "for the signer's key")
        self.signed_attributes = attributes(signed_attributes)
        content_type = self.signed_attributes.get(OID_CONTENT_TYPE, [])
        if len(content_type) != 1 or der_oid(content_type[0]) != self.content_type:
            raise Refused(f"the signed content type of {what} is not its content's")
        digest = self.signed_attributes.get(OID_MESSAGE_DIGEST, [])
        if len(digest) != 1 or digest[0].tag != 0x04:
            raise Refused(f"{what} signs no message digest")
        self.message_digest = digest[0].content
        # The signature covers the attributes encoded as a SET, not as the [0] they are stored in.
        signed = b"\x31" + signed_attributes.encoded[1:]
        try:
            if isinstance(key, rsa.RSAPublicKey):
                key.verify(signature.content, signed, padding.PKCS1v15(), hashes.SHA256())
            else:
                key.verify(signature.content, signed, ec.ECDSA(hashes.SHA256()))
        except InvalidSignature:
            raise Refused(f"the signer's signature over the signed attributes of {what} does not verify with "
                          "its certificate's key")
        self.signature = signature.content
        self.unsigned_attributes = attributes(parts[6]) if len(parts) == 7 else {}
        if len(parts) == 7 and parts[6].tag != 0xA1:
            raise Refused(f"the signer information of {what} is malformed")

    def find_signer(self, sid, what):
        if sid.tag == 0x30:
            issuer, serial = expect(sid.children(), 2, "signer identifier")
            for certificate in self.certificates:
                if certificate.issuer.public_bytes() == issuer.encoded and \
                        certificate.serial_number == int.from_bytes(serial.content, "big", signed=True):
                    return certificate
        elif sid.tag == 0x80:
            for certificate in self.certificates:
                try:
                    identifier = certificate.extensions.get_extension_for_class(x509.SubjectKeyIdentifier)
                except x509.ExtensionNotFound:
                    continue
                if identifier.value.digest == sid.content:
                    return certificate
        raise Refused(f"{what} does not carry its signer's certificate")

    def check_content_digest(self, what):
        # The digest covers the content's value without its own tag and length.
        if hashlib.sha256(self.content.content).digest() != self.message_digest:
            raise Refused(f"the content of {what} is not what its signer signed")

    def chain(self, what):
        """The signer and its issuers among the certificates carried, in order; any
        other certificate is refused (nothing signs it into the signature)."""
        chain, pool = issuer_chain(self.signer, [c for c in self.certificates if c is not self.signer])
        if pool:
            raise Refused(f"{what} carries a certificate that is not in its signer's chain: "
                          f"{pool[0].subject.rfc4514_string()}")
        return chain


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


# --- Authenticode -----------------------------------------------------------------------

CERTIFICATE_ENTRY = 4  # IMAGE_DIRECTORY_ENTRY_SECURITY
PE32_PLUS = 0x20B


def pe_headers(image):
    """(offset of CheckSum, offset of the certificate table entry) of a PE32+ image."""
    if image[:2] != b"MZ" or len(image) < 0x40:
        raise Refused("not a PE file")
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    if image[pe:pe + 4] != b"PE\0\0" or len(image) < pe + 24 + 112 + 8 * 16:
        raise Refused("not a PE file")
    optional = pe + 24
    if struct.unpack_from("<H", image, optional)[0] != PE32_PLUS:
        raise Refused("not a 64-bit PE file")
    return optional + 64, optional + 112 + 8 * CERTIFICATE_ENTRY


def pe_checksum(image, checksum_at):
    """The PE image checksum, as ImageHlp's CheckSumMappedFile computes it."""
    data = bytearray(image)
    data[checksum_at:checksum_at + 4] = bytes(4)
    if len(data) % 2:
        data.append(0)
    total = 0
    for (word,) in struct.iter_unpack("<H", data):
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    return (total + len(image)) & 0xFFFFFFFF


def signature_blob(unsigned, signed):
    """The PKCS#7 signature that SIGNED adds to UNSIGNED, after checking that it adds
    nothing else: the CheckSum (true for SIGNED), the certificate table entry (pointing
    just past UNSIGNED, 8-aligned, zero padding), and one WIN_CERTIFICATE ending the file
    with one DER structure and at most 7 zero bytes."""
    checksum_at, entry_at = pe_headers(unsigned)
    if pe_headers(signed) != (checksum_at, entry_at):
        raise Refused("its PE headers lie elsewhere than the build's")
    if unsigned[entry_at:entry_at + 8] != bytes(8):
        raise Refused("the unsigned build already has a certificate table")
    table_at, table_size = struct.unpack_from("<II", signed, entry_at)
    if table_at == 0:
        raise Refused("it is not signed but differs from the build")
    if table_at != (len(unsigned) + 7) // 8 * 8 or table_at + table_size != len(signed):
        raise Refused(f"its certificate table ({table_at}, {table_size} bytes) does not directly follow "
                      f"the build's {len(unsigned)} bytes and end the file ({len(signed)} bytes)")
    masked = bytearray(signed[:len(unsigned)])
    masked[checksum_at:checksum_at + 4] = unsigned[checksum_at:checksum_at + 4]
    masked[entry_at:entry_at + 8] = bytes(8)
    if masked != unsigned:
        at = next(i for i in range(len(unsigned)) if masked[i] != unsigned[i])
        raise Refused(f"byte {at} differs from the build")
    if any(signed[len(unsigned):table_at]):
        raise Refused("the padding before the certificate table is not zero")
    length, revision, kind = struct.unpack_from("<IHH", signed, table_at)
    if revision != 0x0200 or kind != 0x0002:
        raise Refused(f"the certificate table is not one PKCS#7 WIN_CERTIFICATE (revision {revision:#x}, "
                      f"type {kind:#x})")
    if length < 8 or (length + 7) // 8 * 8 != table_size:
        raise Refused("the certificate table holds more than one certificate or data after it")
    blob = signed[table_at + 8:table_at + length]
    item, end = der_one(blob)
    if len(blob) - end >= 8 or any(signed[table_at + 8 + end:]):
        raise Refused("the certificate holds data besides its PKCS#7 signature")
    if struct.unpack_from("<I", signed, checksum_at)[0] != pe_checksum(signed, checksum_at):
        raise Refused("its PE checksum is wrong")
    return item, table_at


def authenticode_digest(signed, table_at):
    """SHA-256 of the image as Authenticode hashes it: everything before the certificate
    table except the CheckSum and the certificate table entry."""
    checksum_at, entry_at = pe_headers(signed)
    digest = hashlib.sha256()
    digest.update(signed[:checksum_at])
    digest.update(signed[checksum_at + 4:entry_at])
    digest.update(signed[entry_at + 8:table_at])
    return digest.digest()


def read_timestamp(token_values, signature, what):
    """(time, TSA certificate chain) of one RFC 3161 time-stamp token, verified: its TSA's
    signature holds and the time it stamped is that of `signature`."""
    if len(token_values) != 1:
        raise Refused(f"{what} holds {len(token_values)} time stamps in one attribute")
    token = SignedData(token_values[0], "the time stamp")
    if token.content_type != OID_TST_INFO or token.content.tag != 0x04:
        raise Refused("the time stamp is not an RFC 3161 token")
    token.check_content_digest("the time stamp")
    if token.unsigned_attributes:
        raise Refused("the time stamp carries attributes nobody signed")
    info = der_one(token.content.content)[0].children()
    imprint = info[2].children()
    sha256_algorithm(imprint[0], "the time stamp's imprint")
    if imprint[1].content != hashlib.sha256(signature).digest():
        raise Refused("the time stamp is for another signature")
    if info[4].tag != 0x18:
        raise Refused("the time stamp holds no time")
    text = info[4].content.decode("ascii", "replace")
    match = re.fullmatch(r"(\d{14})(\.\d+)?Z", text)
    if not match:
        raise Refused(f"the time stamp's time is malformed: {text!r}")
    when = datetime.datetime.strptime(match.group(1), "%Y%m%d%H%M%S").replace(tzinfo=datetime.timezone.utc)
    return when, token.chain("the time stamp")


def read_signature(unsigned, signed):
    """The checked signature of SIGNED: (SignedData, time stamp time or None, TSA chain)."""
    blob, table_at = signature_blob(unsigned, signed)
    data = SignedData(blob, "the signature")
    if data.content_type != OID_SPC_INDIRECT_DATA:
        raise Refused("the signature is not an Authenticode signature")
    data.check_content_digest("the signature")
    indirect = data.content.children()
    if len(indirect) != 2:
        raise Refused("the signature's signed content is malformed")
    algorithm, image_digest = expect(indirect[1].children(), 2, "image digest")
    sha256_algorithm(algorithm, "the digest of the image in the signature")
    if image_digest.content != authenticode_digest(signed, table_at):
        raise Refused("its signature is for another image (the digest it signed is not the image's)")
    extra = set(data.unsigned_attributes) - {OID_RFC3161_TIMESTAMP}
    if extra:
        raise Refused(f"the signature carries unsigned data (attribute {sorted(extra)[0]}); only an RFC 3161 "
                      "time stamp may stand there")
    when, tsa_chain = None, []
    if OID_RFC3161_TIMESTAMP in data.unsigned_attributes:
        when, tsa_chain = read_timestamp(data.unsigned_attributes[OID_RFC3161_TIMESTAMP], data.signature,
                                         "the signature")
    return data, when, tsa_chain


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


def check_signature(options):
    with open_regular(options.unsigned) as f:
        unsigned = f.read()
    with open_regular(options.signed) as f:
        signed = f.read()
    data, when, tsa_chain = read_signature(unsigned, signed)
    chain = data.chain("the signature")
    lines = describe(data.signer, "signer")
    lines.append(f"timestamp: {when:%Y-%m-%d %H:%M:%S} UTC by {tsa_chain[0].subject.rfc4514_string()}" if when
                 else "timestamp: none")
    if options.require_timestamp and not when:
        raise Refused("the signature carries no time stamp")
    if not has_code_signing(data.signer):
        raise Refused("the signer's certificate is not for code signing (extended key usage)")
    if options.signer:
        expected = load_pem_certificates(options.signer)
        if not expected or expected[0] != data.signer:
            raise Refused(f"the signer is not the certificate {options.signer} starts with: it is "
                          f"{data.signer.subject.rfc4514_string()} (serial {data.signer.serial_number:x})")
    # A time-stamped signature is judged at its time, as Windows does; any other now.
    at = when or datetime.datetime.now(datetime.timezone.utc)
    if options.ca:
        check_chain(chain, options.ca, at, "any", "the signer")
    tsa_roots = options.tsa_ca or options.ca
    if when and tsa_roots:
        check_chain(tsa_chain, tsa_roots, when, "timestampsign", "the time stamp's authority")
    return lines


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


# --- PKCS#11 --------------------------------------------------------------------------

def parse_pkcs11_uri(uri):
    """The path attributes of an RFC 7512 URI, percent-decoded; a PIN in it is refused."""
    from urllib.parse import unquote_to_bytes
    if not uri.startswith("pkcs11:"):
        raise Refused(f"'{uri}' is not a PKCS#11 URI (pkcs11:...)")
    path, _, query = uri[len("pkcs11:"):].partition("?")
    attributes = {}
    for part in [p for p in path.split(";") if p] + [q for q in re.split("[&;]", query) if q]:
        name, equals, value = part.partition("=")
        if name in ("pin-value", "pin-source"):
            raise Refused(f"the PKCS#11 URI carries a PIN ({name}); give it in --pin-file only")
        if not equals:
            raise Refused(f"the PKCS#11 URI's '{part}' is not name=value")
        attributes[name] = unquote_to_bytes(value)
    return attributes


def check_pkcs11(module, uri, certs, pin_file):
    """Logs in once (with the PIN from pin_file, if any), finds the one private key the
    URI names, and checks that the certificate's public key is its public half."""
    import PyKCS11
    attributes = parse_pkcs11_uri(uri)
    certificate = load_pem_certificates(certs)
    if not certificate:
        raise Refused(f"{certs} holds no PEM certificate")
    pin = None
    if pin_file:
        pin = read_limited(pin_file, 4096, pin_file).decode("utf-8", "replace").rstrip("\r\n")
    library = PyKCS11.PyKCS11Lib()
    try:
        library.load(module)
    except PyKCS11.PyKCS11Error as e:
        raise Refused(f"cannot load the PKCS#11 module {module}: {e}")
    token_fields = {"token": "label", "manufacturer": "manufacturerID", "serial": "serialNumber",
                    "model": "model"}
    slots = []
    for slot in library.getSlotList(tokenPresent=True):
        info = library.getTokenInfo(slot)
        if all(getattr(info, field).strip().encode() == attributes[name]
               for name, field in token_fields.items() if name in attributes):
            slots.append(slot)
    if len(slots) != 1:
        raise Refused(f"{'no' if not slots else len(slots)} token{'' if len(slots) == 1 else 's'} of {module} "
                      f"match{'es' if len(slots) == 1 else ''} the URI {uri}")
    session = library.openSession(slots[0])
    try:
        if pin is not None:
            try:
                session.login(pin)
            except PyKCS11.PyKCS11Error as e:
                raise Refused(f"the token refuses the PIN in {pin_file} ({e})")
        template = [(PyKCS11.CKA_CLASS, PyKCS11.CKO_PRIVATE_KEY)]
        if "object" in attributes:
            template.append((PyKCS11.CKA_LABEL, attributes["object"].decode("utf-8", "replace")))
        if "id" in attributes:
            template.append((PyKCS11.CKA_ID, tuple(attributes["id"])))
        if attributes.get("type", b"private") != b"private":
            raise Refused("the PKCS#11 URI must name a private key (type=private)")
        keys = session.findObjects(template)
        if len(keys) != 1:
            raise Refused(f"the token holds {len(keys)} private keys that the URI {uri} names, not one"
                          f"{'' if pin is not None else ' (no --pin-file: is a login needed?)'}")
        public = certificate[0].public_key()
        if isinstance(public, rsa.RSAPublicKey):
            modulus, exponent = session.getAttributeValue(keys[0], [PyKCS11.CKA_MODULUS,
                                                                    PyKCS11.CKA_PUBLIC_EXPONENT])
            numbers = public.public_numbers()
            matches = (int.from_bytes(bytes(modulus), "big"), int.from_bytes(bytes(exponent), "big")) == \
                (numbers.n, numbers.e)
        else:
            (key_id,) = session.getAttributeValue(keys[0], [PyKCS11.CKA_ID])
            points = [bytes(session.getAttributeValue(k, [PyKCS11.CKA_EC_POINT])[0]) for k in session.findObjects(
                [(PyKCS11.CKA_CLASS, PyKCS11.CKO_PUBLIC_KEY), (PyKCS11.CKA_ID, tuple(key_id))])]
            point = public.public_bytes(serialization.Encoding.X962, serialization.PublicFormat.UncompressedPoint)
            matches = any(p.endswith(point) for p in points)
        if not matches:
            raise Refused(f"the key the URI {uri} names is not the key of the certificate {certs} starts with "
                          f"({certificate[0].subject.rfc4514_string()})")
        if pin is not None:
            session.logout()
    finally:
        session.closeSession()
    return [f"token key: {uri} matches {certificate[0].subject.rfc4514_string()}"]


# --- command line ---------------------------------------------------------------------

def main():
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
    command.add_argument("--ca")
    command.add_argument("--tsa-ca")
    command.add_argument("--signer")
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
        elif options.command == "signature":
            lines = check_signature(options)
        else:
            lines = check_pkcs11(options.module, options.uri, options.cert, options.pin_file)
    except Refused as e:
        print(e, file=sys.stderr)
        return 1
    except Exception as e:  # noqa: BLE001 - input this malformed is refused too, in one line
        print(f"cannot be checked: {type(e).__name__}: {e}".splitlines()[0], file=sys.stderr)
        return 1
    for line in lines:
        print(line)
    return 0


if __name__ == "__main__":
    sys.exit(main())
