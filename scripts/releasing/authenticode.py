"""The Authenticode signature of a release's KestrovaSetup.exe."""

import datetime
import hashlib
import re

from cryptography import x509
from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import ec, padding, rsa

from .certificates import (check_chain, describe, has_code_signing, issuer_chain, load_der_certificate,
                           load_pem_certificates)
from .pe_image import authenticode_digest, signature_blob
from .refusal import Refused, open_regular

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
    data = SignedData(der_one(blob)[0], "the signature")
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


