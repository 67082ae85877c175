"""The signature check on signatures made here: a small PE written by the test, signed by
osslsigncode with certificates made by cryptography, time stamps made as an authority
makes them, and each attack written into the bytes nobody signs. No build; seconds."""

import datetime
import hashlib
import os
import socket
import struct
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

from asn1crypto import cms, parser, pem, tsp, x509 as asn1_x509
from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec, rsa
from cryptography.x509.oid import NameOID

CHECKS = Path(__file__).resolve().parents[3] / "scripts" / "release_checks.py"
DATA = Path(__file__).resolve().parent / "data"
sys.path.insert(0, str(CHECKS.parent))
from releasing.pe_image import pe_checksum, pe_headers  # noqa: E402
from units.helpers import assert_refused, run_checks  # noqa: E402
NOW = datetime.datetime.now(datetime.timezone.utc)
DAY = datetime.timedelta(days=1)
CODE, STAMP, LIFETIME = "1.3.6.1.5.5.7.3.3", "1.3.6.1.5.5.7.3.8", "1.3.6.1.4.1.311.10.3.13"
CONTENT_TYPE, MESSAGE_DIGEST = "2a864886f70d010903", "2a864886f70d010904"


def small_pe():
    """A PE32+ image of one section: headers, then 512 bytes of code."""
    optional = struct.pack("<HBBIIIII Q II HHHHHH IIII HH QQQQ II", 0x20B, 14, 0, 0x200, 0, 0, 0x1000, 0x1000,
                           0x140000000, 0x1000, 0x200, 6, 0, 0, 0, 6, 0, 0, 0x2000, 0x200, 0, 2, 0x8160,
                           0x100000, 0x1000, 0x100000, 0x1000, 0, 16) + bytes(16 * 8)
    headers = (b"MZ" + bytes(0x3A) + struct.pack("<I", 0x40) + b"PE\0\0" +
               struct.pack("<HHIIIHH", 0x8664, 1, 0, 0, 0, len(optional), 0x22) + optional +
               struct.pack("<8sIIIIIIHHI", b".text", 16, 0x1000, 0x200, 0x200, 0, 0, 0, 0, 0x60000020))
    return headers.ljust(0x200, b"\0") + b"\xc3" * 0x200


def new_key(kind="ec"):
    return rsa.generate_private_key(65537, 2048) if kind == "rsa" else ec.generate_private_key(ec.SECP256R1())


class Cert:
    """A certificate and its key: self-signed, or issued by `issuer` (a Cert)."""

    def __init__(self, name, issuer=None, ca=False, usages=(), hash=hashes.SHA256(), key=None, until=2 * DAY,
                 subject_key=None, payload=0, crl_url=None):
        self.key = key or new_key()
        name = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, name)])
        builder = (x509.CertificateBuilder().subject_name(name).issuer_name(issuer.name if issuer else name)
                   .public_key((subject_key or self.key).public_key()).serial_number(x509.random_serial_number())
                   .not_valid_before(NOW - 2 * DAY).not_valid_after(NOW + until)
                   .add_extension(x509.BasicConstraints(ca, None), critical=True))
        if usages:
            builder = builder.add_extension(x509.ExtendedKeyUsage([x509.ObjectIdentifier(u) for u in usages]), True)
        if payload:
            builder = builder.add_extension(x509.UnrecognizedExtension(
                x509.ObjectIdentifier("1.3.6.1.4.1.57264.9"), b"\x04\x82" + struct.pack(">H", payload) + bytes(payload)),
                False)
        if crl_url:
            builder = builder.add_extension(x509.CRLDistributionPoints([x509.DistributionPoint(
                [x509.UniformResourceIdentifier(crl_url)], None, None, None)]), False)
        self.name, self.cert = name, builder.sign((issuer or self).key, hash)
        self.der = self.cert.public_bytes(serialization.Encoding.DER)

    def pem(self):
        return self.cert.public_bytes(serialization.Encoding.PEM)


def node(data):
    """An editable DER tree: [tag byte, contents or list of children]."""
    _, method, _, header, contents, _ = parser.parse(data, strict=True)
    return [header[0], [node(c) for c in iter_der(contents)] if method else contents]


def iter_der(data):
    while data:
        _, _, _, header, contents, trailer = parser.parse(data)
        yield header + contents + trailer
        data = data[len(header) + len(contents) + len(trailer):]


def der(tree):
    tag, value = tree
    body = b"".join(der(c) for c in value) if isinstance(value, list) else value
    length = bytes([len(body)]) if len(body) < 128 else \
        bytes([0x80 | (len(body).bit_length() + 7) // 8]) + len(body).to_bytes((len(body).bit_length() + 7) // 8, "big")
    return bytes([tag]) + length + body


class SignatureCheck(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.TemporaryDirectory()
        cls.folder = Path(cls.scratch.name)
        cls.unsigned = cls.folder / "unsigned.exe"
        cls.unsigned.write_bytes(small_pe())
        cls.root = Cert("Kestrova Test Root", ca=True)
        cls.ca = Cert("Kestrova Test Code Signing CA", cls.root, ca=True, usages=[CODE, STAMP])
        cls.signer = Cert("Kestrova Publisher", cls.ca, usages=[CODE])
        cls.tsa_root = Cert("Kestrova Test TSA Root", ca=True)
        cls.tsa = Cert("Kestrova Test TSA", cls.tsa_root, usages=[STAMP])
        cls.roots = cls.write("roots.pem", cls.root.pem() + cls.tsa_root.pem())

    @classmethod
    def tearDownClass(cls):
        cls.scratch.cleanup()

    @classmethod
    def write(cls, name, data):
        (cls.folder / name).write_bytes(data)
        return cls.folder / name

    def sign(self, signer, *chain, digest="sha256", build=None):
        """The signature block of the test PE (or of the PE file build) signed by
        osslsigncode, as a ContentInfo."""
        key = self.write("key.pem", signer.key.private_bytes(serialization.Encoding.PEM,
                                                             serialization.PrivateFormat.PKCS8,
                                                             serialization.NoEncryption()))
        certs = self.write("certs.pem", b"".join(c.pem() for c in (signer, *chain)))
        signed = self.folder / "osslsigncode.exe"
        signed.unlink(missing_ok=True)
        subprocess.run(["osslsigncode", "sign", "-certs", certs, "-key", key, "-h", digest, "-n", "Kestrova Setup",
                        "-in", build or self.unsigned, "-out", signed], check=True, capture_output=True)
        return signature_of(signed)

    def stamp(self, signature, tsa=None, chain=(), digest="sha256", when=NOW, extra=(), carried=None, gen_time=None,
              attributes=(), imprint=None):
        """signature (bytes) with an RFC 3161 time stamp by tsa over its signer's
        signature (or naming the digest imprint), carrying `carried` (encoded
        certificates, in that order; default tsa, chain, extra). gen_time: the
        GeneralizedTime's encoded value as written; attributes: more signed attributes,
        encoded."""
        tsa = tsa or self.tsa
        blob = signature if isinstance(signature, bytes) else signature.dump(force=True)
        signer_info = cms.ContentInfo.load(blob)["content"]["signer_infos"][0]
        info = node(tsp.TSTInfo({"version": "v1", "policy": "1.3.6.1.4.1.57264.1", "serial_number": 7,
                                 "gen_time": when, "message_imprint": {"hash_algorithm": {"algorithm": "sha256"},
                                 "hashed_message": imprint or hashlib.sha256(signer_info["signature"].native).digest()}}
                                 ).dump())
        info[1][4][1] = gen_time or info[1][4][1]
        info = der(info)
        signed = node(cms.CMSAttributes([{"type": "content_type", "values": ["tst_info"]},
                                         {"type": "message_digest", "values": [hashlib.new(digest, info).digest()]}]).dump())
        signed = der([signed[0], signed[1] + [node(a) for a in attributes]])
        algorithm = {"sha256": hashes.SHA256(), "sha384": hashes.SHA384(), "sha512": hashes.SHA512()}[digest]
        certificate = asn1_x509.Certificate.load(tsa.der)
        token = node(cms.ContentInfo({"content_type": "signed_data", "content": {
            "version": "v3", "digest_algorithms": [{"algorithm": digest}],
            "encap_content_info": {"content_type": "tst_info", "content": tsp.TSTInfo.load(info)},
            "signer_infos": [{"version": "v1", "digest_algorithm": {"algorithm": digest},
                              "sid": {"issuer_and_serial_number": {"issuer": certificate.issuer,
                                                                   "serial_number": certificate.serial_number}},
                              "signed_attrs": cms.CMSAttributes.load(signed), "signature_algorithm":
                              {"algorithm": f"{digest}_ecdsa"},
                              "signature": tsa.key.sign(signed, ec.ECDSA(algorithm))}]}}).dump())
        carried = [c.der for c in (tsa, *chain, *extra)] if carried is None else carried
        signed_data(token).insert(3, [0xA0, [node(c) for c in carried]])
        tree = node(blob)
        signed_data(tree)[-1][1][0][1].append([0xA1, [[0x30, [[0x06, bytes.fromhex("2b060104018237030301")],
                                                           [0x31, [token]]]]]])
        return der(tree)

    def named(self, signature, name):
        """signature with its program name written as the ascii choice holding `name`
        (bytes), signed again by self.signer."""
        def rename(parts, attributes):
            attribute(attributes, "2b06010401823702010c")[1][1] = [0x31, [[0x30, [[0xA0, [[0x81, name]]]]]]]
        return self.resigned(signature, rename)

    def resigned(self, signature, change):
        """signature after change(its SignedData's parts, its signed attributes), the
        signed attributes signed again by self.signer."""
        tree = node(signature.dump())
        signer_info = signed_data(tree)[-1][1][0][1]
        attributes = next(part for part in signer_info if part[0] == 0xA0)
        change(signed_data(tree), attributes[1])
        encoded = der(attributes)
        signer_info[signer_info.index(next(p for p in signer_info if p[0] == 0x04))] = \
            [0x04, self.signer.key.sign(b"\x31" + encoded[1:], ec.ECDSA(hashes.SHA256()))]
        return der(tree)

    def with_certificates(self, signature, *extra):
        signed_data = signature["content"]
        signed_data["certificates"] = list(signed_data["certificates"]) + [asn1_x509.Certificate.load(c.der)
                                                                           for c in extra]
        return signature

    def check(self, signature, *options, image=None, unsigned=None):
        """(exit status, output) of the check of the test PE with signature, a
        ContentInfo or its DER bytes (or of the signed file `image` over the build `unsigned`)."""
        signed = self.write("signed.exe", image or signed_image(signature))
        done = subprocess.run(["/usr/bin/python3", "-B", "-E", "-s", CHECKS, "signature", unsigned or self.unsigned,
                               signed, *options], capture_output=True, text=True, timeout=60)
        return done.returncode, done.stdout + done.stderr

    def assertRefused(self, signature, words, *options, **files):
        status, output = self.check(signature, "--ca", self.roots, *options, **files)
        self.assertEqual((1, 1), (status, len(output.splitlines())), output)
        self.assertIn(words, output)

    def assertAccepted(self, signature, *options):
        status, output = self.check(signature, "--ca", self.roots, *options)
        self.assertEqual(0, status, output)
        return output

    def test_forged_roots_and_certificates_nothing_verifies_are_refused(self):
        forged = Cert("Kestrova Test Root", key=new_key(), subject_key=self.root.key, ca=True, payload=4000)
        self.assertAccepted(self.sign(self.signer, self.ca))
        self.assertRefused(self.sign(self.signer, self.ca, forged), "nothing verifies")
        self.assertEqual(1, self.check(self.sign(self.signer, self.ca, forged))[0])
        stranger = Cert("Somebody", ca=True, payload=4000)
        self.assertRefused(self.with_certificates(self.sign(self.signer, self.ca), stranger), "nothing verifies")
        forged_tsa_root = Cert("Kestrova Test TSA Root", key=new_key(), subject_key=self.tsa_root.key, ca=True)
        self.assertRefused(self.stamp(self.sign(self.signer, self.ca), chain=[forged_tsa_root]), "nothing verifies")

    def test_unsigned_parts_must_be_der(self):
        blob = self.sign(self.signer, self.ca).dump()

        def edit(change):
            tree = node(blob)
            change(tree, tree[1][1][1][0][1])  # the ContentInfo, its SignedData's parts
            return der(tree)

        def pad_oid(top, parts):
            oid = parts[1][1][0][1][0]
            oid[1] = oid[1][:1] + b"\x80" + oid[1][1:]

        def serial(top, parts):
            number = parts[-1][1][0][1][1][1][1]
            number[1] = b"\x00" + number[1]
        shortest = "not DER: a number, identifier or bit string not in its shortest form"
        for what, change, words in [
                ("an OID padded with 0x80", pad_oid, shortest),
                ("a serial number with a leading zero", serial, shortest),
                ("a ContentInfo tagged as a SET", lambda top, parts: top.__setitem__(0, 0x31), "tag 0x31 at byte 0"),
                ("a ContentInfo of a private tag", lambda top, parts: top.__setitem__(0, 0xF0), "tag 0xf0 at byte 0"),
                ("a SignerInfo tagged [9]", lambda top, parts: parts[-1][1][0].__setitem__(0, 0xA9),
                 "tag 0xa9 at byte"),
                ("no digestAlgorithms", lambda top, parts: parts[1].__setitem__(1, []), "other digest algorithms"),
                ("digestAlgorithms twice", lambda top, parts: parts[1][1].append(parts[1][1][0]),
                 "other digest algorithms"),
                ("a ContentInfo type that is no OID", lambda top, parts: top[1][0].__setitem__(0, 0x04),
                 "no OBJECT IDENTIFIER at byte"),
                ("content that is an INTEGER", lambda top, parts: parts[2][1][1][1].__setitem__(0, [0x02, b"\x01"]),
                 "is neither a structure nor an OCTET STRING"),
                ("a certificate tagged [3]", lambda top, parts: certificate_set(top)[0].__setitem__(0, 0xA3),
                 "a certificate of a kind not accepted here (tag 0xa3)"),
                ("a certificate's signed part as a SET", lambda top, parts: certificate_set(top)[0][1][0].__setitem__(
                    0, 0x31), "its signed part at byte"),
                ("a certificate's signature as an OCTET STRING", lambda top, parts: certificate_set(top)[0][1][2]
                 .__setitem__(0, 0x04), "its signature at byte"),
                ("a part tagged [2]", lambda top, parts: parts.insert(3, [0xA2, []]), "malformed: tag 0xa2"),
                ("the certificates twice", lambda top, parts: parts.insert(3, parts[3]),
                 "its certificates appear twice"),
                ("a signer identifier as a SET", lambda top, parts: parts[-1][1][0][1][1].__setitem__(0, 0x31),
                 "its signer identifier at byte"),
                ("a signature as a BIT STRING", lambda top, parts: parts[-1][1][0][1][5].__setitem__(0, 0x03),
                 "its signer information at byte")]:
            with self.subTest(what):
                self.assertRefused(edit(change), words)
        with self.subTest("bytes after the signature"):
            self.assertRefused(blob + b"\x05\x00", "data besides")
        tree = node(blob)
        certificate_set(tree)[0][1].append([0x05, b""])
        stamped = node(self.stamp(blob))
        token = signed_data(stamped)[-1][1][0][1][-1][1][0][1][1][1][0]
        oid = signed_data(token)[1][1][0][1][0]
        oid[1] = b"\x80" + oid[1]
        for what, signature, words in [
                ("an indefinite length", b"\x30\x80" + blob[4:] + bytes(2), "indefinite length"),
                ("a length in more bytes than it needs", b"\x30\x83\x00" + blob[2:], "fewest bytes"),
                ("a certificate with an element after its signature", der(tree), "4 elements"),
                ("an OID padded with 0x80 in the time stamp's framing", der(stamped), "shortest form")]:
            with self.subTest(what):
                self.assertRefused(signature, words)
        # Where a signature covers the bytes, they stand as written: a CA certificate whose
        # signed part has its length in more bytes than it needs, signed so by its root.
        tbs = self.ca.cert.tbs_certificate_bytes
        _, _, _, header, contents, _ = parser.parse(tbs)
        tbs = b"\x30\x84" + len(contents).to_bytes(4, "big") + contents
        signature_value = [0x03, b"\0" + self.root.key.sign(tbs, ec.ECDSA(hashes.SHA256()))]
        ber_ca = [0x30, tbs + der(node(self.ca.der)[1][1]) + der(signature_value)]
        tree = node(blob)
        certificates = certificate_set(tree)
        certificates[[der(c) for c in certificates].index(self.ca.der)] = ber_ca
        with self.subTest("BER in a certificate's signed part"):
            self.assertAccepted(der(tree))

    def test_each_der_rule_where_nobody_signed(self):
        tree = node(self.sign(self.signer, self.ca).dump())
        parts = signed_data(tree)

        def signed_data_of(version, after=b""):  # its version written as given, bytes after its last part
            tree[1][1][1][0] = [0x30, version + b"".join(der(p) for p in parts[1:]) + after]
            return der(tree)
        nested = b"\x02\x01\x01"
        for _ in range(70):
            nested = der([0x30, nested])
        signer_info = parts[-1][1][0]
        parts[-1][1][0] = [0x30, b"".join(der(p) for p in signer_info[1][:3]) + b"\xa0\x82\x7f\xff" +
                           b"".join(der(p) for p in signer_info[1][4:])]  # signed attributes longer than it
        cut_short = signed_data_of(b"\x02\x01\x01")
        parts[-1][1][0] = signer_info
        shortest = "not DER: a number, identifier or bit string not in its shortest form"
        for what, signature, words in [
                ("a tag padded with 0x80", signed_data_of(b"\x1f\x80\x02\x01\x01"), "a tag padded with 0x80"),
                ("a low tag in the long form", signed_data_of(b"\x1f\x02\x01\x01"), "tag 2 written in the long form"),
                ("a length in five bytes", signed_data_of(b"\x02\x85\x00\x00\x00\x00\x01\x01"),
                 "truncated or malformed at byte"),
                ("one byte after the last part", signed_data_of(b"\x02\x01\x01", b"\x05"), "is truncated at byte"),
                ("a long-form tag cut off", signed_data_of(b"\x02\x01\x01", b"\x1f\x81"), "is truncated at byte"),
                ("a length past its container", signed_data_of(b"\x02\x01\x01", b"\x04\x05\x00"),
                 "its length runs past what holds it"),
                ("a constructed INTEGER", signed_data_of(b"\x22\x03\x02\x01\x01"), "a constructed string or number"),
                ("a primitive SEQUENCE", signed_data_of(b"\x10\x00"), "a primitive SEQUENCE or SET"),
                ("an end-of-contents marker", signed_data_of(b"\x00\x00"), "an end-of-contents marker"),
                ("a BOOLEAN of 2", signed_data_of(b"\x01\x01\x02"), shortest),
                ("a NULL with contents", signed_data_of(b"\x05\x01\x00"), shortest),
                ("a BIT STRING of 8 unused bits", signed_data_of(b"\x03\x02\x08\x00"), shortest),
                ("an empty INTEGER", signed_data_of(b"\x02\x00"), shortest),
                ("70 SEQUENCEs in each other", signed_data_of(nested), "nested too deeply"),
                ("signed attributes cut short", cut_short, "truncated or malformed at byte")]:
            with self.subTest(what):
                self.assertRefused(signature, words)

    def test_signatures_broken_weak_padded_or_of_something_else_are_refused(self):
        signature = self.sign(self.signer, self.ca).dump()
        padded = self.folder / "padded.exe"
        subprocess.run(["osslsigncode", "add", "-addUnauthenticatedBlob", "-in", self.folder / "osslsigncode.exe",
                        "-out", padded], check=True, capture_output=True)
        other_build = self.write("other.exe", small_pe()[:-1] + b"\x90")
        rsa_signer = Cert("Kestrova RSA Publisher", self.ca, usages=[CODE], key=new_key("rsa"))
        for what, signature, words in [
                ("a broken signature", signature[:-1] + bytes([signature[-1] ^ 1]), "does not verify"),
                ("an MD5 signature", self.sign(rsa_signer, self.ca, digest="md5"),
                 "the digest algorithm of the signature is not SHA-256"),
                ("unsigned data in the signature", signature_of(padded), "unsigned data"),
                ("another build's signature", self.sign(self.signer, self.ca, build=other_build),
                 "its signature is for another image"),
                ("a time stamp of another signature", self.stamp(signature, imprint=bytes(32)),
                 "the time stamp is for another signature")]:
            with self.subTest(what):
                self.assertRefused(signature, words)

    def test_signatures_not_as_authenticode_has_them_are_refused(self):
        blob, stamped = self.sign(self.signer, self.ca).dump(), self.stamp(self.sign(self.signer, self.ca))
        data_oid = bytes.fromhex("2a864886f70d010701")

        def edited(change, signature=blob):
            tree = node(signature)
            parts = signed_data(tree)
            change(tree, parts, parts[-1][1][0][1])  # the ContentInfo, its SignedData's parts, its SignerInfo's
            return der(tree)

        def put(value, *path):
            def change(tree, parts, signer):
                element = {"parts": parts, "signer": signer}[path[0]]
                for index in path[1:-1]:
                    element = element[index]
                element[path[-1]] = value
            return change

        def unsigned_in_time_stamp(tree, parts, signer):
            token = signer[-1][1][0][1][1][1][0]
            signed_data(token)[-1][1][0][1].append([0xA1, [[0x30, [[0x06, data_oid], [0x31, [[0x05, b""]]]]]]])
        def two_time_stamps(tree, parts, signer):
            tokens = signer[-1][1][0][1][1][1]
            tokens.append(tokens[0])
        def other_content(parts, attributes):
            content = parts[2][1][1][1][0]
            content[1][0][1] = [[0x06, bytes.fromhex("2b0601040183bf3002")]]  # 1.3.6.1.4.1.57264.2, no value
            attribute(attributes, MESSAGE_DIGEST)[1][1][1][0][1] = hashlib.sha256(b"".join(der(c) for c in content[1])
                                                                                  ).digest()
        signed = self.sign(self.signer, self.ca)
        other = self.write("other.pem", self.tsa.pem())
        for what, signature, options, words in [
                ("a ContentInfo of data", edited(lambda tree, parts, signer: tree[1][0].__setitem__(1, data_oid)), [],
                 "the signature is not PKCS#7 signed data"),
                ("signed data of version 3", edited(put(b"\x03", "parts", 0, 1)), [],
                 "signed data of version v3, not v1"),
                ("revocation lists", edited(lambda tree, parts, signer: parts.insert(3, [0xA1, []])), [],
                 "carries revocation lists, which nothing signs"),
                ("two signers", edited(lambda tree, parts, signer: parts[-1][1].append(parts[-1][1][0])), [],
                 "has 2 signers, not one"),
                ("a signer of version 3", edited(put(b"\x03", "signer", 0, 1)), [],
                 "has version v3, which does not go with its signer identifier"),
                ("no signer's certificate", edited(lambda tree, parts, signer: certificate_set(tree).pop(0)), [],
                 "does not carry its signer's certificate"),
                ("content of data", edited(put(data_oid, "parts", 2, 1, 0, 1)), [],
                 "signs data, not spc_indirect_data"),
                ("no signed attributes", edited(lambda tree, parts, signer: signer.pop(3)), [],
                 "has no signed attributes"),
                ("another image digest in the signed content",
                 edited(put(bytes(32), "parts", 2, 1, 1, 1, 0, 1, 1, 1, 1, 1)), [],
                 "the content of the signature is not what its signer signed"),
                ("a signed attribute twice", self.resigned(signed, lambda parts, attributes: attributes.append(
                    attributes[0])), [], "has a signed attribute twice"),
                ("another content type signed", self.resigned(signed, lambda parts, attributes: attribute(
                    attributes, CONTENT_TYPE)[1][1][1][0].__setitem__(1, data_oid)), [],
                 "the signed content type of the signature is not its content's"),
                ("no message digest signed", self.resigned(signed, lambda parts, attributes: attributes.remove(
                    attribute(attributes, MESSAGE_DIGEST))), [], "signs no message digest"),
                ("signed content of other data", self.resigned(signed, other_content), [],
                 "the signature is not an Authenticode signature of a PE image"),
                ("ECDSA with SHA-384 named", edited(put(bytes.fromhex("2a8648ce3d040303"), "signer", 4, 1, 0, 1)), [],
                 "(1.2.840.10045.4.3.3) is not RSA or ECDSA with SHA256"),
                ("two time stamps in one attribute", edited(two_time_stamps, stamped), [],
                 "holds 2 time stamps in one attribute"),
                ("unsigned data in the time stamp", edited(unsigned_in_time_stamp, stamped), [],
                 "the time stamp carries attributes nobody signed"),
                ("no time stamp, one required", blob, ["--require-timestamp"], "the signature carries no time stamp"),
                ("another signer than the one named", blob, ["--signer", other],
                 "the signer is not the certificate")]:
            with self.subTest(what):
                self.assertRefused(signature, words, *options)

    def test_signing_certificates_are_the_signers_chain_and_nothing_else(self):
        chain, root = self.folder / "chain.pem", self.folder / "root.pem"

        def given(*certificates):
            pems = b"".join(c if isinstance(c, bytes) else c.pem() for c in certificates)
            return ["signing-certs", self.write("signing.pem", pems or b"none"),
                    "--out", chain, "--root-out", root]
        self.assertEqual(0, run_checks(*given(self.signer, self.root, self.ca))[0])
        self.assertEqual((self.signer.pem() + self.ca.pem() + self.root.pem(), self.root.pem()),
                         (chain.read_bytes(), root.read_bytes()))
        for what, certificates, words in [
                ("no certificate", [], "holds no PEM certificate"),
                ("a certificate not for code signing", [self.tsa, self.tsa_root], "is not for code signing"),
                ("a CA first", [self.ca, self.root], "is a CA certificate"),
                ("no root", [self.signer, self.ca], "its issuer is not there"),
                ("bytes after a certificate", [pem.armor("CERTIFICATE", self.signer.der + b"\x05\x00")],
                 "is not DER: 2 bytes after it"),
                ("a certificate outside the chain", [self.signer, self.ca, self.root, self.tsa_root],
                 "holds a certificate outside the signer's chain: CN=Kestrova Test TSA Root")]:
            with self.subTest(what):
                assert_refused(self, words, *given(*certificates))

    def test_a_signed_file_is_the_build_and_one_signature(self):
        signature = self.sign(self.signer, self.ca).dump()
        good = signed_image(signature)
        checksum_at, entry_at = pe_headers(good)
        table_at, table_size = struct.unpack_from("<II", good, entry_at)

        def put(at, data):
            return lambda image: image.__setitem__(slice(at, at + len(data)), data)

        def move_headers(image):
            image[0x48:0x200] = image[0x40:0x1F8]
            put(0x3C, struct.pack("<I", 0x48))(image)
        for what, change, words in [  # (the checksum made true after the change, unless "wrong" in what)
                ("a wrong PE checksum", put(checksum_at, bytes(4)), "its PE checksum is wrong"),
                ("a byte of the build changed", put(0x300, b"\x90"), "byte 768 differs from the build"),
                ("no MZ, wrong", put(0, b"ZM"), "not a PE file"),
                ("no PE signature, wrong", put(0x40, b"PX"), "not a PE file"),
                ("a 32-bit optional header, wrong", put(0x58, struct.pack("<H", 0x10B)), "not a 64-bit PE file"),
                ("the headers moved", move_headers, "its PE headers lie elsewhere than the build's"),
                ("the table entry cleared", put(entry_at, bytes(8)), "it is not signed but differs from the build"),
                ("bytes after the table", lambda image: image.extend(bytes(8)),
                 f"does not directly follow the build's 1024 bytes and end the file ({len(good) + 8} bytes)"),
                ("a second entry", lambda image: (image.extend(bytes(8)), put(entry_at + 4, struct.pack(
                    "<I", table_size + 8))(image)), "holds more than one certificate or data after it"),
                ("a table of 4 bytes", lambda image: (image.__delitem__(slice(table_at + 4, None)), put(
                    entry_at + 4, struct.pack("<I", 4))(image)), "the certificate table is 4 bytes, under the 8"),
                ("an entry of another revision", put(table_at + 4, struct.pack("<H", 0x100)),
                 "not one PKCS#7 WIN_CERTIFICATE (revision 0x100"),
                ("an entry longer than the table", put(table_at, struct.pack("<I", table_size + 8)),
                 f"first entry claims {table_size + 8} bytes; the table holds {table_size}"),
                ("an entry cutting the signature short", put(table_at, struct.pack("<I", len(signature) - 8)),
                 "the signature's structure is truncated or malformed")]:
            with self.subTest(what):
                image = bytearray(good)
                change(image)
                self.assertRefused(None, words, image=bytes(image if "wrong" in what else with_checksum(image)))
        with self.subTest("padding before the table that is not zero"):
            odd = self.write("odd.exe", small_pe() + b"\xc3")
            image = signed_image(signature, odd.read_bytes())
            image[len(small_pe()) + 1] = 1
            self.assertRefused(None, "the padding before the certificate table is not zero", unsigned=odd,
                               image=bytes(with_checksum(image)))
        with self.subTest("a build that already has a certificate table"):
            self.assertRefused(None, "the unsigned build already has a certificate table", image=bytes(good),
                               unsigned=self.write("signed-build.exe", bytes(good)))

    def test_chains_as_windows_judges_them(self):
        sha1_signer = Cert("Kestrova SHA-1 Publisher", self.ca, usages=[CODE], hash=hashes.SHA1())
        ca_signer = Cert("Kestrova CA Publisher", self.ca, ca=True, usages=[CODE])
        lifetime = Cert("Kestrova Lifetime Publisher", self.ca, usages=[CODE, LIFETIME], until=-DAY / 2)
        narrow_ca = Cert("Kestrova Narrow CA", self.root, ca=True, usages=[STAMP])
        narrow = Cert("Kestrova Narrow Publisher", narrow_ca, usages=[CODE])
        for what, signature, words in [
                ("a signer signed with SHA-1", self.sign(sha1_signer, self.ca), "SHA1"),
                ("a signer that is a CA", self.sign(ca_signer, self.ca), "is a CA"),
                ("a lifetime signer expired, stamped in time", self.stamp(self.sign(lifetime, self.ca), when=NOW - DAY),
                 "does not chain"),
                ("an intermediate not for code signing", self.sign(narrow, narrow_ca), "exclude code signing"),
                ("a time stamp by a certificate not for time stamping",
                 self.stamp(self.sign(self.signer, self.ca), tsa=Cert("Signer", self.tsa_root, usages=[CODE])),
                 "not for time stamping")]:
            with self.subTest(what):
                self.assertRefused(signature, words)
        with self.subTest("no --ca: accepted with a warning"):
            status, output = self.check(self.sign(Cert("Anyone", usages=[CODE])))
            self.assertEqual(0, status, output)
            self.assertIn("warning: no --ca", output)

    def test_what_windows_accepts_is_accepted(self):
        p384 = Cert("Kestrova P-384 Publisher", self.ca, usages=[CODE], key=ec.generate_private_key(ec.SECP384R1()))
        rsa_root = Cert("Kestrova RSA Root", ca=True, key=new_key("rsa"), hash=hashes.SHA512())
        rsa_signer = Cert("Kestrova RSA Publisher", rsa_root, usages=[CODE], key=new_key("rsa"))
        old_root = Cert("Kestrova Old Root", ca=True)
        # A cross-certificate is vouched for by its issuer given as a root.
        roots = self.write("more-roots.pem", self.root.pem() + self.tsa_root.pem() + rsa_root.pem() + old_root.pem())
        cross = Cert("Kestrova Test Root", old_root, ca=True, subject_key=self.root.key)
        stamped = self.stamp(self.sign(self.signer, self.ca), chain=[self.tsa_root], when=NOW - DAY)
        id_ec = node(self.sign(self.signer, self.ca).dump())
        id_ec[1][1][1][0][1][-1][1][0][1][4][1][0][1] = bytes.fromhex("2a8648ce3d0201")  # id-ecPublicKey
        for what, signature in [
                ("ECDSA P-384 with an intermediate", self.sign(p384, self.ca)),
                ("RSA under a SHA-512 root", self.sign(rsa_signer, rsa_root)),
                ("a time stamp, its authority's chain", stamped),
                ("a time stamp carrying its certificate twice",
                 self.stamp(self.sign(self.signer, self.ca), extra=[self.tsa])),
                ("a time stamp signed with SHA-384", self.stamp(self.sign(self.signer, self.ca), digest="sha384")),
                ("a time stamp signed with SHA-512", self.stamp(self.sign(self.signer, self.ca), digest="sha512")),
                ("a cross-certificate and its root", self.with_certificates(self.sign(self.signer, self.ca, self.root),
                                                                          cross, old_root)),
                ("ECDSA written as id-ecPublicKey", der(id_ec))]:
            with self.subTest(what):
                output = self.assertAccepted(signature, "--ca", roots)
                self.assertIn("signer subject: CN=Kestrova", output)
        self.assertIn("timestamp: ", self.assertAccepted(stamped, "--require-timestamp"))

    def test_what_real_encoders_write_is_accepted(self):
        def unsorted(blob, certificates=certificate_set):
            tree = node(blob)
            certificates(tree).sort(key=der, reverse=True)  # against DER's order of a SET OF
            return der(tree)

        ess_v2_with_default = der([0x30, [[0x06, bytes.fromhex("2a864886f70d010910022f")], [0x31, [[0x30, [[0x30, [
            [0x30, [[0x30, [[0x06, bytes.fromhex("608648016503040201")]]], [0x04, bytes(32)]]]]]]]]]]])
        for what, signature in [
                ("certificates in the order given", unsorted(self.sign(self.signer, self.ca, self.root).dump())),
                ("a time stamp carrying its chain in the order given",
                 unsorted(self.stamp(self.sign(self.signer, self.ca), chain=[self.tsa_root]),
                          lambda tree: certificate_set(signed_data(tree)[-1][1][0][1][-1][1][0][1][1][1][0]))),
                ("a program name in UTF-8 in the ascii choice, as osslsigncode 2.5 writes it",
                 self.named(self.sign(self.signer, self.ca), "Kestrova Setup \u00dc".encode())),
                ("a time with a trailing zero in its fraction, an ESSCertIDv2 naming its default SHA-256",
                 self.stamp(self.sign(self.signer, self.ca), gen_time=f"{NOW:%Y%m%d%H%M%S}.10Z".encode(),
                            attributes=[ess_v2_with_default]))]:
            with self.subTest(what):
                self.assertAccepted(signature)

    def test_certificates_only_the_chains_vouch_for(self):
        own_root = Cert("Kestrova Test Root", ca=True, payload=4000)
        cross = Cert("Kestrova Test Code Signing CA", own_root, ca=True, subject_key=self.ca.key, payload=600)
        signature = self.sign(self.signer, self.ca)
        with self.subTest("a root of one's own and its cross-certificate"):
            self.assertRefused(self.with_certificates(signature, own_root, cross), "nothing verifies")
            self.assertRefused(self.stamp(signature, extra=[own_root, cross]), "nothing verifies")
        # Set first, a cross-certificate issued by the time stamp's root: the chain through
        # it ends nowhere, the one through the real CA at the root given.
        tsa_cross = Cert("Kestrova Test Code Signing CA", self.tsa_root, ca=True, subject_key=self.ca.key)
        tree = node(self.stamp(self.sign(self.signer, self.ca)))
        certificate_set(tree).insert(0, node(tsa_cross.der))
        first = der(tree)
        roots, tsa_roots = self.write("root.pem", self.root.pem()), self.write("tsa-root.pem", self.tsa_root.pem())
        with self.subTest("a cross-certificate first, vouched for by a root given"):
            self.assertEqual(0, *self.check(first, "--ca", roots, "--tsa-ca", tsa_roots))
        with self.subTest("a cross-certificate that only the system's bundle would vouch for"):
            status, output = self.check(first, "--ca", roots, "--tsa-ca", tsa_roots, "--tsa-ca-is-system")
            self.assertEqual((1, True), (status, "nothing verifies: CN=Kestrova Test Code Signing CA" in output), output)

    def test_attribute_certificates(self):
        def attribute_certificate(holder, issuer, signer):
            def names(cert):
                return [asn1_x509.GeneralName("directory_name", asn1_x509.Name.load(cert.cert.subject.public_bytes()))]
            info = cms.AttributeCertificateInfoV2({
                "version": "v2", "holder": {"entity_name": names(holder)}, "issuer": {"v2_form": {"issuer_name": names(issuer)}},
                "signature": {"algorithm": "sha256_ecdsa"}, "serial_number": 1,
                "att_cert_validity_period": {"not_before_time": NOW, "not_after_time": NOW + DAY}, "attributes": []})
            return [0xA1, [node(info.dump()), node(info["signature"].dump()),
                           [0x03, b"\0" + signer.key.sign(info.dump(), ec.ECDSA(hashes.SHA256()))]]]

        def carrying(element):
            return self.stamp(self.sign(self.signer, self.ca), carried=[self.tsa.der, self.tsa_root.der, der(element)])
        good = attribute_certificate(self.tsa, self.tsa_root, self.tsa_root)
        self.assertAccepted(carrying(good))
        good[1][2][1] = good[1][2][1][:-1] + bytes([good[1][2][1][-1] ^ 1])
        for what, element, words in [
                ("a changed byte in its signature", good, "its issuer did not sign"),
                ("signed by another key", attribute_certificate(self.tsa, self.tsa_root, self.tsa), "did not sign"),
                ("held by a stranger", attribute_certificate(Cert("Somebody"), self.tsa_root, self.tsa_root),
                 "holder or issuer")]:
            with self.subTest(what):
                self.assertRefused(carrying(element), words)

    def test_real_signatures_of_debian_packages(self):
        """The certificate tables of two signed UEFI programs (data/README.md): bare
        signatures, their roots not at hand, their signers not for code signing."""
        def check(table, *options):
            path = self.write("table", table)
            done = subprocess.run(["/usr/bin/python3", "-B", "-E", "-s", CHECKS, "bare-signature", path, "--any-usage", *options],
                                  capture_output=True, text=True, timeout=60)
            return done.returncode, done.stdout + done.stderr
        shim = (DATA / "shimx64.efi.signed.table").read_bytes()
        for table, signer in [(shim, "Microsoft Windows UEFI Driver Publisher"),
                              ((DATA / "grubx64.efi.signed.table").read_bytes(), "Debian Secure Boot Signer 2022")]:
            with self.subTest(signer):
                status, output = check(table)
                self.assertEqual(0, status, output)
                self.assertIn(f"signer subject: CN={signer}", output)
        at = shim.index(bytes.fromhex("9d6b46ad75a2b8d13c42b29f9b80ad1abe7bcfe9"))  # the SHA-1 naming its holder
        for what, table, words in [
                ("its attribute certificate held by another certificate", shim[:at] + b"\0" + shim[at + 1:],
                 "holder or issuer"),
                ("a table under 8 bytes", shim[:5], "under the 8"),
                ("its first entry longer than the table", shim[:64], "claims")]:
            with self.subTest(what):
                status, output = check(table)
                self.assertEqual((1, True), (status, words in output), output)

    def test_osslsigncode_verdict_offline_with_the_crls_given(self):
        closed = socket.socket()
        closed.bind(("127.0.0.1", 0))
        port = closed.getsockname()[1]
        closed.close()
        signer = Cert("Kestrova Revocable Publisher", self.ca, usages=[CODE], crl_url=f"http://127.0.0.1:{port}/ca.crl")
        self.sign(signer, self.ca, self.root)
        crl = x509.CertificateRevocationListBuilder().issuer_name(self.ca.name).last_update(NOW - DAY).next_update(
            NOW + DAY).add_revoked_certificate(x509.RevokedCertificateBuilder().serial_number(
                signer.cert.serial_number).revocation_date(NOW - DAY).build()).sign(self.ca.key, hashes.SHA256())
        crl = self.write("ca.crl", crl.public_bytes(serialization.Encoding.DER))
        fake = self.folder / "bin"
        fake.mkdir(exist_ok=True)
        (fake / "openssl").write_text("#!/bin/sh\nexec sleep 60\n")
        (fake / "openssl").chmod(0o755)
        for what, options, env, outcome in [
                ("a distribution point that does not answer", [], {}, (0, "offline")),
                ("a CRL given that lists it", ["--crl", crl], {}, (1, "revoked")),
                ("an openssl that does not answer", ["--crl", crl],
                 {"PATH": f"{fake}:/usr/bin:/bin", "KESTROVA_CHECK_TIME_LIMIT": "1"}, (1, "did not answer within 1 s"))]:
            with self.subTest(what):
                done = subprocess.run(["/usr/bin/python3", "-B", "-E", "-s", CHECKS, "osslsigncode-verify",
                                       self.folder / "osslsigncode.exe", "--ca", self.roots, "--tsa-ca", self.roots,
                                       *options], capture_output=True, text=True, timeout=60, env={**os.environ, **env})
                self.assertEqual((outcome[0], True), (done.returncode, outcome[1] in done.stdout + done.stderr),
                                 done.stdout + done.stderr)

    def test_rsa_pss_intermediate_is_accepted(self):
        rsa_root = Cert("Kestrova PSS Root", ca=True, key=new_key("rsa"))
        ca_key = new_key("rsa")
        request = x509.CertificateSigningRequestBuilder().subject_name(x509.Name(
            [x509.NameAttribute(NameOID.COMMON_NAME, "Kestrova PSS CA")])).sign(ca_key, hashes.SHA256())
        files = {n: self.write(n, d) for n, d in [
            ("pss.csr", request.public_bytes(serialization.Encoding.PEM)), ("pss-root.pem", rsa_root.pem()),
            ("pss-root.key", rsa_root.key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                                                        serialization.NoEncryption())),
            ("pss.ext", b"basicConstraints=critical,CA:TRUE\nkeyUsage=critical,keyCertSign\n")]}
        subprocess.run(["openssl", "x509", "-req", "-in", files["pss.csr"], "-CA", files["pss-root.pem"], "-CAkey",
                        files["pss-root.key"], "-sha256", "-sigopt", "rsa_padding_mode:pss", "-sigopt",
                        "rsa_pss_saltlen:32", "-extfile", files["pss.ext"], "-set_serial", "9", "-days", "2",
                        "-out", self.folder / "pss.pem"], check=True, capture_output=True)
        ca = Cert.__new__(Cert)
        ca.cert = x509.load_pem_x509_certificate((self.folder / "pss.pem").read_bytes())
        ca.key, ca.name, ca.der = ca_key, ca.cert.subject, ca.cert.public_bytes(serialization.Encoding.DER)
        signer = Cert("Kestrova PSS Publisher", ca, usages=[CODE])
        self.assertAccepted(self.sign(signer, ca, rsa_root), "--ca", files["pss-root.pem"])


def signed_data(tree):
    """The parts of the SignedData of a ContentInfo tree."""
    return tree[1][1][1][0][1]


def certificate_set(tree):
    """The certificates of the SignedData of a ContentInfo tree, as a list to edit."""
    return next(part for part in signed_data(tree) if part[0] == 0xA0)[1]


def attribute(attributes, oid):
    """The attribute of type oid (hex) among attributes."""
    return next(a for a in attributes if a[1][0][1] == bytes.fromhex(oid))


def signed_image(signature, build=None):
    """build (default the test PE) with signature (a ContentInfo or its DER bytes) in
    its certificate table, 8-aligned, and its checksum made true."""
    blob = signature if isinstance(signature, bytes) else signature.dump(force=True)
    image = bytearray(build or small_pe())
    entry, table = pe_entry(image), (len(image) + 7) // 8 * 8
    padded = blob + bytes(-len(blob) % 8)
    image += bytes(table - len(image)) + struct.pack("<IHH", 8 + len(padded), 0x200, 2) + padded
    image[entry:entry + 8] = struct.pack("<II", table, len(image) - table)
    return with_checksum(image)


def with_checksum(image):
    checksum_at = pe_headers(image)[0]
    image[checksum_at:checksum_at + 4] = struct.pack("<I", pe_checksum(image, checksum_at))
    return image


def signature_of(signed):
    """The signature of the PE file signed, as a ContentInfo."""
    image = signed.read_bytes()
    at, size = struct.unpack_from("<II", image, pe_entry(image))
    return cms.ContentInfo.load(next(iter_der(image[at + 8:at + size])))


def pe_entry(image):
    """The offset of the certificate table entry of a PE image."""
    return pe_headers(image)[1]


if __name__ == "__main__":
    unittest.main()
