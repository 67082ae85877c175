"""The rule that whatever nobody signed in a signature is DER, checked on the bytes as
they came, element by element: the framing of a PKCS#7 signature (and of the time-stamp
token it holds), and the outer parts of each certificate it carries.

What a signature covers (the signed attributes, the signed content, a certificate's
signed part) is left as written: its signature proves those bytes, and real signers and
CAs do not always write strict DER there. Elsewhere DER means: definite, minimal lengths
and tags; minimal INTEGER and OBJECT IDENTIFIER encodings; primitive strings; the
structure expected at that place with nothing after or between its elements. Elements
of a SET may come in any order (real encoders do not sort), and a CHOICE keeps the tag
it came with: both are taken as they are, not compared with a re-encoding.
Trusts nothing of its input."""

from asn1crypto import core, parser

from . import asn1_types
from .refusal import Refused

SEQUENCE, SET, INTEGER, OCTET_STRING, OID = 0x30, 0x31, 0x02, 0x04, 0x06
# Universal types that DER writes primitive.
PRIMITIVE = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x0A, 0x0C, 0x12, 0x13, 0x14, 0x16, 0x17, 0x18, 0x1A, 0x1C,
             0x1E}
TIMESTAMP_ATTRIBUTE = core.ObjectIdentifier(asn1_types.TIMESTAMP_ATTRIBUTE).contents  # as encoded
ATTRIBUTE_CERTIFICATE_TAGS = (0xA1, 0xA2)  # the v1 and v2 CHOICEs of CertificateChoices
MAX_DEPTH = 64


class Element:
    """One tag-length-value at `start` of data: its first tag byte, where its contents
    start and end; refused unless its tag and length are DER."""

    def __init__(self, data, start, end, what):
        self.data, self.start = data, start
        if end - start < 2:
            raise Refused(f"{what} is truncated at byte {start}")
        self.tag = data[start]
        at = start + 1
        if self.tag & 0x1F == 0x1F:
            number = 0
            if data[at] == 0x80:
                raise Refused(f"{what} is not DER: a tag padded with 0x80 at byte {start}")
            while at < end and data[at] & 0x80:
                number = number << 7 | data[at] & 0x7F
                at += 1
            if at >= end - 1:
                raise Refused(f"{what} is truncated at byte {start}")
            number = number << 7 | data[at]
            at += 1
            if number < 31:
                raise Refused(f"{what} is not DER: tag {number} written in the long form at byte {start}")
        length = data[at]
        at += 1
        if length == 0x80:
            raise Refused(f"{what} is not DER: an indefinite length at byte {start}")
        if length > 0x80:
            size = length & 0x7F
            if size > 4 or at + size > end:
                raise Refused(f"{what} is truncated or malformed at byte {start}")
            length = int.from_bytes(data[at:at + size], "big")
            at += size
            if length < 0x80 or length < 1 << 8 * (size - 1):
                raise Refused(f"{what} is not DER: a length not written in the fewest bytes at byte {start}")
        self.contents, self.end = at, at + length
        if self.end > end:
            raise Refused(f"{what} is truncated at byte {start} (its length runs past what holds it)")

    @property
    def constructed(self):
        return bool(self.tag & 0x20)

    def value(self):
        return self.data[self.contents:self.end]

    def children(self, what, signed=lambda index, tag: False):
        """The elements its contents hold, one after another, filling them exactly. Those
        that signed(index, tag) names are signed whole, header too: read as written."""
        if not self.constructed:
            raise Refused(f"{what} is not DER: a primitive element at byte {self.start} where a structure belongs")
        found, at = [], self.contents
        while at < self.end:
            child = Signed(self.data, at, self.end, what) if signed(len(found), self.data[at]) else \
                Element(self.data, at, self.end, what)
            found.append(child)
            at = child.end
        return found


class Signed(Element):
    """One element a signature covers whole: its tag and length as written (BER too)."""

    def __init__(self, data, start, end, what):
        self.data, self.start, self.tag = data, start, data[start]
        try:
            _, _, _, header, contents, trailer = parser.parse(data[start:end])
        except ValueError:
            raise Refused(f"{what} is truncated or malformed at byte {start}")
        self.contents = start + len(header)
        self.end = self.contents + len(contents) + len(trailer)


def shape(element, tag, counts, what, signed=lambda index, tag: False):
    """The children of element, which must have tag and a number of them in counts (those
    signed(index, tag) names read as written)."""
    if element.tag != tag:
        raise Refused(f"{what} is malformed: tag {element.tag:#04x} at byte {element.start}, not {tag:#04x}")
    children = element.children(what, signed)
    if len(children) not in counts:
        raise Refused(f"{what} is malformed: {len(children)} elements at byte {element.start}")
    return children


def plain(element, what, depth=0):
    """element and everything inside it DER by the universal rules (no signature covers it)."""
    if depth > MAX_DEPTH:
        raise Refused(f"{what} is nested too deeply at byte {element.start}")
    tag, value = element.tag, element.value()
    universal = tag & 0xC0 == 0
    number = tag & 0x1F
    if universal and number in PRIMITIVE and element.constructed:
        raise Refused(f"{what} is not DER: a constructed string or number at byte {element.start}")
    if universal and number in (0x10, 0x11) and not element.constructed:
        raise Refused(f"{what} is not DER: a primitive SEQUENCE or SET at byte {element.start}")
    if universal and number == 0:
        raise Refused(f"{what} is not DER: an end-of-contents marker at byte {element.start}")
    if element.constructed:
        for child in element.children(what):
            plain(child, what, depth + 1)
        return
    if not universal:
        return
    bad = None
    if number in (0x02, 0x0A):
        bad = not value or len(value) > 1 and (value[0] == 0 and value[1] < 0x80 or value[0] == 0xFF and value[1] >= 0x80)
    elif number == 0x01:
        bad = value not in (b"\x00", b"\xff")
    elif number == 0x05:
        bad = bool(value)
    elif number == 0x06:
        bad = not value or value[-1] & 0x80 or any(b == 0x80 and (i == 0 or not value[i - 1] & 0x80)
                                                   for i, b in enumerate(value))
    elif number == 0x03:
        bad = not value or value[0] > 7 or len(value) == 1 and value[0] or \
            len(value) > 1 and value[-1] & ((1 << value[0]) - 1)
    if bad:
        raise Refused(f"{what} is not DER: a number, identifier or bit string not in its shortest form at byte "
                      f"{element.start}")


def whole(data, what):
    """The one element data holds, nothing after it."""
    element = Element(data, 0, len(data), what)
    if element.end != len(data):
        raise Refused(f"{what} is not DER: {len(data) - element.end} bytes after it")
    return element


def check_all_der(data, what):
    """data one element, DER throughout, signed parts included."""
    plain(whole(data, what), what)


def check_certificate(element, what):
    """A certificate (or an attribute certificate under its CHOICE tag): DER outside its
    signed part, which is read as written."""
    parts = shape(element, element.tag, (3,), what, signed=lambda index, tag: index == 0)
    if parts[0].tag != SEQUENCE:
        raise Refused(f"{what} is malformed: its signed part at byte {parts[0].start} is no SEQUENCE")
    shape(parts[1], SEQUENCE, (1, 2), what)
    plain(parts[1], what)
    if parts[2].tag != 0x03:
        raise Refused(f"{what} is malformed: its signature at byte {parts[2].start} is no BIT STRING")
    plain(parts[2], what)


def check_certificate_bytes(data, what):
    """A certificate's bytes, DER outside its signed part."""
    check_certificate(whole(data, what), what)


def check_signed_data(data, what, depth=0):
    """A PKCS#7 ContentInfo holding SignedData, DER wherever nobody signed; the time-stamp
    token an unsigned attribute holds is checked the same way."""
    content_info = shape(whole(data, what), SEQUENCE, (2,), what)
    check_oid(content_info[0], what)
    (signed_data,) = shape(content_info[1], 0xA0, (1,), what)
    parts = shape(signed_data, SEQUENCE, (4, 5, 6), what)
    plain(parts[0], what)
    for algorithm in shape(parts[1], SET, range(64), what):
        plain(algorithm, what)
    encapsulated = shape(parts[2], SEQUENCE, (1, 2), what)
    check_oid(encapsulated[0], what)
    if len(encapsulated) == 2:
        (content,) = shape(encapsulated[1], 0xA0, (1,), what)
        # The digest covers the content's value, not its own tag and length: those are
        # checked (as any element's), the value is read as written.
        if content.tag in (OCTET_STRING, OCTET_STRING | 0x20):
            plain(content, what)
        elif not content.constructed:
            raise Refused(f"{what} is malformed: its content at byte {content.start} is neither a structure nor "
                          "an OCTET STRING")
    optional, signer_infos = parts[3:-1], parts[-1]
    for element in optional:
        if element.tag == 0xA0:
            for certificate in element.children(what):
                if certificate.tag != SEQUENCE and certificate.tag not in ATTRIBUTE_CERTIFICATE_TAGS:
                    raise Refused(f"{what} carries a certificate of a kind not accepted here (tag "
                                  f"{certificate.tag:#04x})")
                check_certificate(certificate, f"a certificate of {what}")
        elif element.tag == 0xA1:
            raise Refused(f"{what} carries revocation lists, which nothing signs")
        else:
            raise Refused(f"{what} is malformed: tag {element.tag:#04x} at byte {element.start}")
    if [e.tag for e in optional] not in ([], [0xA0]):
        raise Refused(f"{what} is malformed: its certificates appear twice")
    for signer_info in shape(signer_infos, SET, range(1, 64), what):
        check_signer_info(signer_info, what, depth)


def check_oid(element, what):
    """Refuses an element that is no OBJECT IDENTIFIER in DER."""
    if element.tag != OID:
        raise Refused(f"{what} is malformed: no OBJECT IDENTIFIER at byte {element.start}")
    plain(element, what)


def check_signer_info(signer_info, what, depth):
    # The signed attributes are signed whole, their tag aside.
    """Refuses a SignerInfo not in DER, its signed attributes (signed) aside; checks its time stamp's too."""
    parts = shape(signer_info, SEQUENCE, (5, 6, 7), what, signed=lambda index, tag: index == 3 and tag == 0xA0)
    version, sid, digest, *middle = parts
    plain(version, what)
    if sid.tag not in (SEQUENCE, 0x80):
        raise Refused(f"{what} is malformed: its signer identifier at byte {sid.start} is of tag {sid.tag:#04x}")
    if sid.tag == SEQUENCE:
        shape(sid, SEQUENCE, (2,), what)  # the issuer's name and the serial number
    plain(sid, what)
    plain(digest, what)
    if middle[0].tag == 0xA0:
        # The signed attributes: signed, read as written.
        middle = middle[1:]
    if len(middle) not in (2, 3) or middle[1].tag != OCTET_STRING:
        raise Refused(f"{what} is malformed: its signer information at byte {signer_info.start}")
    plain(middle[0], what)
    plain(middle[1], what)
    if len(middle) == 3:
        for attribute in shape(middle[2], 0xA1, range(1, 64), what):
            kind, values = shape(attribute, SEQUENCE, (2,), what)
            check_oid(kind, what)
            for value in shape(values, SET, range(1, 64), what):
                if kind.value() == TIMESTAMP_ATTRIBUTE and depth == 0:
                    check_signed_data(value.data[value.start:value.end], "the time stamp", depth + 1)
                else:
                    plain(value, what)
