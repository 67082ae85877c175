"""The Authenticode signature of a release's KestrovaSetup.exe: the build plus one
PKCS#7 signature, parsed by asn1crypto and checked here; or a bare signature, taken from
a certificate table without its image (for signatures made elsewhere).

Ours are these rules: one signer, SHA-256 for the image and its signed attributes, RSA or
ECDSA; nothing unsigned but one RFC 3161 time stamp (its authority may use SHA-256,
SHA-384 or SHA-512), itself checked the same way; certificates only of the signer's and
the authority's chains (or cross-certificates and roots of them, vouched for by a
certificate of the chains or a root given). Trusts nothing of the file: what nobody
signed must be DER (der.py), what someone signed is proven by the signature as written.
"""

import datetime
import hashlib

from asn1crypto import cms, core, tsp

from .asn1_types import SPC_PE_IMAGE_DATA, TIMESTAMP_ATTRIBUTE, SpcIndirectDataContent, SpcPeImageData, parse
from .certificates import (CODE_SIGNING, HASHES, LIFETIME_SIGNING, TIME_STAMPING, AttributeCertificate,
                           Certificate, build_chain, check_extras, check_usage, describe,
                           no_parameters, now, read_pem, unique, verify)
from .der import check_signed_data
from .pe_image import authenticode_digest, first_table_entry, signature_blob
from .refusal import Refused, open_regular, read_limited
from .signing_certs import check_anchored

RSA_SIGNATURES = {"1.2.840.113549.1.1.1": None, "1.2.840.113549.1.1.11": "sha256",
                  "1.2.840.113549.1.1.12": "sha384", "1.2.840.113549.1.1.13": "sha512"}
# id-ecPublicKey stands for ECDSA with the signer's digest algorithm, as Windows writes it.
ECDSA_SIGNATURES = {"1.2.840.10045.2.1": None, "1.2.840.10045.4.3.2": "sha256",
                    "1.2.840.10045.4.3.3": "sha384", "1.2.840.10045.4.3.4": "sha512"}


def digest_name(algorithm, allowed, what):
    """The hash an AlgorithmIdentifier names, one of allowed, with no parameters."""
    name = algorithm["algorithm"].native
    if name not in allowed or not no_parameters(algorithm):
        raise Refused(f"{what} is not {' or '.join(a.upper().replace('SHA', 'SHA-') for a in allowed)}")
    return name


class SignedContent:
    """One SignedData with one signer whose signature over its signed attributes
    verifies with the certificate it carries, and whose content is what it signed."""

    def __init__(self, content_info, version, content_type, digests, what):
        if content_info["content_type"].native != "signed_data":
            raise Refused(f"{what} is not PKCS#7 signed data")
        data = content_info["content"]
        if data["version"].native != version:
            raise Refused(f"{what} is signed data of version {data['version'].native}, not {version}")
        if not isinstance(data["crls"], core.Void):
            raise Refused(f"{what} carries revocation lists, which nothing signs")
        self.certificates, self.attribute_certificates = [], []
        # Told apart by the tag they came with (der.py allowed only these).
        for choice in [] if isinstance(data["certificates"], core.Void) else data["certificates"]:
            encoded = choice.dump()
            if encoded[0] == 0x30:
                self.certificates.append(Certificate(encoded, f"a certificate of {what}", strict=False))
            else:
                self.attribute_certificates.append(AttributeCertificate(encoded, f"an attribute certificate of {what}"))
        self.certificates = unique(self.certificates)
        self.attribute_certificates = unique(self.attribute_certificates)
        if len(data["signer_infos"]) != 1:
            raise Refused(f"{what} has {len(data['signer_infos'])} signers, not one")
        signer_info = data["signer_infos"][0]
        if signer_info["version"].native != ("v1" if signer_info["sid"].name == "issuer_and_serial_number" else "v3"):
            raise Refused(f"the signer information of {what} has version {signer_info['version'].native}, which "
                          "does not go with its signer identifier")
        self.digest = digest_name(signer_info["digest_algorithm"], digests, f"the digest algorithm of {what}")
        if [a.dump() for a in data["digest_algorithms"]] != [signer_info["digest_algorithm"].dump()]:
            raise Refused(f"{what} lists other digest algorithms than its signer's")
        self.signer = self.find_signer(signer_info["sid"], what)
        encapsulated = content_info["content"]["encap_content_info"]
        if encapsulated["content_type"].native != content_type:
            raise Refused(f"{what} signs {encapsulated['content_type'].native}, not {content_type}")
        # The digest covers the content's value without its own tag and length.
        self.content = encapsulated["content"]
        signed = self.content.contents
        self.check_signed_attributes(signer_info, encapsulated["content_type"], signed, what)
        self.signature = signer_info["signature"].native
        unsigned = signer_info["unsigned_attrs"]
        self.unsigned = [] if isinstance(unsigned, core.Void) else list(unsigned)

    def find_signer(self, sid, what):
        """The carried certificate the signer identifier sid names; refuses when none is."""
        for certificate in self.certificates:
            if sid.name == "issuer_and_serial_number":
                if certificate.issuer == sid.chosen["issuer"].dump() and \
                        certificate.parsed.serial_number == sid.chosen["serial_number"].native:
                    return certificate
            elif certificate.parsed.key_identifier == sid.chosen.native:
                return certificate
        raise Refused(f"{what} does not carry its signer's certificate")

    def check_signed_attributes(self, signer_info, content_type, content, what):
        """Refuses signed attributes that are missing, repeated, or name another content type or digest."""
        attributes = signer_info["signed_attrs"]
        if not attributes:
            raise Refused(f"the signer information of {what} has no signed attributes")
        types = [a["type"].dotted for a in attributes]
        if len(set(types)) != len(types):
            raise Refused(f"{what} has a signed attribute twice")
        found = {a["type"].native: a["values"] for a in attributes}
        if len(found.get("content_type", [])) != 1 or found["content_type"][0].dump() != content_type.dump():
            raise Refused(f"the signed content type of {what} is not its content's")
        if len(found.get("message_digest", [])) != 1:
            raise Refused(f"{what} signs no message digest")
        if found["message_digest"][0].native != hashlib.new(self.digest, content).digest():
            raise Refused(f"the content of {what} is not what its signer signed")
        algorithm = signer_info["signature_algorithm"]
        key_kind = "rsa" if algorithm["algorithm"].dotted in RSA_SIGNATURES else "ecdsa"
        names = RSA_SIGNATURES if key_kind == "rsa" else ECDSA_SIGNATURES
        if names.get(algorithm["algorithm"].dotted, self.digest) not in (None, self.digest) or \
                algorithm["algorithm"].dotted not in names or not no_parameters(algorithm):
            raise Refused(f"the signature algorithm of {what} ({algorithm['algorithm'].dotted}) is not RSA or ECDSA "
                          f"with {self.digest.upper()}")
        # The signature covers the attributes encoded as a SET, not as the [0] they are stored in.
        encoded = b"\x31" + attributes.dump()[1:]
        if not verify(self.signer.key, signer_info["signature"].native, encoded, key_kind, self.digest):
            raise Refused(f"the signer's signature over the signed attributes of {what} does not verify with "
                          "its certificate's key")


def read_timestamp(values, signature):
    """(time, token) of one RFC 3161 time-stamp token for `signature`, verified."""
    if len(values) != 1:
        raise Refused(f"the signature holds {len(values)} time stamps in one attribute")
    what = "the time stamp"
    token = SignedContent(parse(cms.ContentInfo, values[0].dump(), what, read_all=False), "v3", "tst_info",
                          list(HASHES), what)
    info = parse(tsp.TSTInfo, token.content.contents, "the time stamp's TSTInfo")
    if token.unsigned:
        raise Refused("the time stamp carries attributes nobody signed")
    imprint = info["message_imprint"]
    digest_name(imprint["hash_algorithm"], ["sha256"], "the time stamp's imprint")
    if imprint["hashed_message"].native != hashlib.sha256(signature).digest():
        raise Refused("the time stamp is for another signature")
    when = info["gen_time"].native
    if not isinstance(when, datetime.datetime):
        raise Refused("the time stamp holds no time")
    return when.astimezone(datetime.timezone.utc), token


def read_blob(blob, image_digest):
    """(the signature, its time stamp's time or None, the time stamp or None) of the DER
    PKCS#7 signature blob, whose signed image digest must be image_digest (None: a bare
    signature, whose image is not at hand)."""
    check_signed_data(blob, "the signature")
    try:
        content_info = parse(cms.ContentInfo, blob, "the signature", read_all=False)
        data = SignedContent(content_info, "v1", "spc_indirect_data", ["sha256"], "the signature")
        indirect = parse(SpcIndirectDataContent, data.content.untag().dump(), "the signature's signed content")
        if indirect["data"]["type"].dotted != SPC_PE_IMAGE_DATA:
            raise Refused("the signature is not an Authenticode signature of a PE image")
        parse(SpcPeImageData, indirect["data"]["value"].dump(), "the signature's image data")
        digest_name(indirect["message_digest"]["digest_algorithm"], ["sha256"],
                    "the digest of the image in the signature")
        if image_digest is not None and indirect["message_digest"]["digest"].native != image_digest:
            raise Refused("its signature is for another image (the digest it signed is not the image's)")
        kinds = [a["type"].dotted for a in data.unsigned]
        extra = [k for k in kinds if k != TIMESTAMP_ATTRIBUTE]
        if extra or len(kinds) > 1:
            raise Refused(f"the signature carries unsigned data (attribute {(extra or kinds)[0]}); only one RFC 3161 "
                          "time stamp may stand there")
        when, token = None, None
        if kinds:
            when, token = read_timestamp(data.unsigned[0]["values"], data.signature)
    except (ValueError, TypeError, KeyError, OverflowError) as e:
        raise Refused(f"the signature is malformed ({str(e).splitlines()[0]})")
    return data, when, token


def read_signature(unsigned, signed):
    """(the signature, its time stamp's time or None, the time stamp or None) of
    SIGNED, which must be UNSIGNED plus that signature and nothing else."""
    blob, table_at = signature_blob(unsigned, signed)
    return read_blob(blob, authenticode_digest(signed, table_at))


def check_signature(unsigned=None, signed=None, *, table=None, ca=None, tsa_ca=None, tsa_ca_is_system=False,
                    signer=None, require_timestamp=False, any_usage=False):
    """check_signed with the same arguments, with whatever the parser finds malformed on
    the way refused in one line."""
    try:
        return check_signed(unsigned, signed, table=table, ca=ca, tsa_ca=tsa_ca, tsa_ca_is_system=tsa_ca_is_system,
                            signer=signer, require_timestamp=require_timestamp, any_usage=any_usage)
    except (ValueError, TypeError, KeyError, OverflowError, IndexError) as e:
        raise Refused(f"the signature is malformed ({str(e).splitlines()[0] if str(e) else type(e).__name__})")


def check_signed(unsigned, signed, *, table, ca, tsa_ca, tsa_ca_is_system, signer, require_timestamp, any_usage):
    """The signature of the file signed over the file unsigned (or, table given, the first
    signature of that certificate table, whose image is not at hand), checked; its
    signer's chain (and the time stamp's) anchored in the roots of the file ca (tsa_ca)
    when given. tsa_ca_is_system: that file is the system's bundle, which anchors the time
    stamp but vouches for no extra certificate. signer: a PEM file whose first
    certificate must be the signer's. Returns the lines that name the signer and the time
    stamp; refuses the first rule broken.

    A bare signature is held to every rule but those of the release's file: the image's
    digest, the PE checksum and the one entry of the table are not checked, and with
    any_usage its signer need not be for code signing (UEFI signers are not)."""
    if table:
        data, when, token = read_blob(first_table_entry(read_limited(table, 1 << 20, table)), None)
    else:
        with open_regular(unsigned) as f:
            unsigned = f.read()
        with open_regular(signed) as f:
            signed = f.read()
        data, when, token = read_signature(unsigned, signed)
    roots = read_pem(ca, strict=False) if ca else []
    tsa_roots_path = tsa_ca or ca
    tsa_roots = read_pem(tsa_roots_path, strict=False) if token and tsa_roots_path else []
    vouching = roots + ([] if tsa_ca_is_system else tsa_roots)
    chain = build_chain(data.signer, data.certificates, roots, "the signature")
    tsa_chain = build_chain(token.signer, token.certificates, tsa_roots, "the time stamp") if token else []
    code_signing = None if table and any_usage else CODE_SIGNING
    check_usage(chain, code_signing, "code signing", "the signer's certificate")
    if token:
        check_usage(tsa_chain, TIME_STAMPING, "time stamping", "the time stamp's certificate")
    notes = check_extras([c for c in data.certificates if c not in chain + tsa_chain] + data.attribute_certificates,
                         [chain, tsa_chain], roots, vouching, "the signature")
    if token:
        notes += check_extras([c for c in token.certificates if c not in tsa_chain] + token.attribute_certificates,
                              [tsa_chain, chain], tsa_roots, vouching, "the time stamp",
                              tuple(tsa_chain[:2]) if len(tsa_chain) > 1 else None)

    lines = describe(data.signer, "signer")
    lines.append(f"timestamp: {when:%Y-%m-%d %H:%M:%S} UTC by {token.signer.name}" if when else "timestamp: none")
    if require_timestamp and not when:
        raise Refused("the signature carries no time stamp")
    if signer:
        expected = read_pem(signer)
        if not expected or expected[0] != data.signer:
            raise Refused(f"the signer is not the certificate {signer} starts with: it is "
                          f"{data.signer.name} (serial {data.signer.parsed.serial_number:x})")
    # A time-stamped signature is judged at its time, as Windows does, unless its
    # certificate is for lifetime signing: its signatures end with it.
    lifetime = data.signer.has_usage(LIFETIME_SIGNING)
    at = now() if lifetime or not when else when
    if ca:
        check_usage(check_anchored(chain, ca, at, "the signer"), code_signing, "code signing",
                    "the signer's certificate")
    else:
        lines.append("warning: no --ca: the signer is not anchored to any root, and its name above is one "
                     "anyone can choose")
    if when and tsa_roots_path:
        check_usage(check_anchored(tsa_chain, tsa_roots_path, when, "the time stamp's authority"),
                    TIME_STAMPING, "time stamping", "the time stamp's certificate")
    lines += notes
    if lifetime:
        lines.append("note: the signer's certificate is for lifetime signing: the signature ends with it, "
                     "whatever the time stamp")
    return lines
