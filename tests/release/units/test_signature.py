"""The signature check on signatures made here: a small PE written by the test, signed by
osslsigncode with certificates made by cryptography, time stamps made as an authority
makes them, and each attack written into the bytes nobody signs. No build; seconds."""

import datetime
import hashlib
import struct
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

from asn1crypto import cms, parser, tsp, x509 as asn1_x509
from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec, rsa
from cryptography.x509.oid import NameOID

CHECKS = Path(__file__).resolve().parents[3] / "scripts" / "release_checks.py"
sys.path.insert(0, str(CHECKS.parent))
from releasing.pe_image import pe_checksum, pe_headers  # noqa: E402
NOW = datetime.datetime.now(datetime.timezone.utc)
DAY = datetime.timedelta(days=1)
CODE, STAMP, LIFETIME = "1.3.6.1.5.5.7.3.3", "1.3.6.1.5.5.7.3.8", "1.3.6.1.4.1.311.10.3.13"


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
                 subject_key=None, payload=0):
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

    def sign(self, signer, *chain, digest="sha256"):
        """The signature block of the test PE signed by osslsigncode, as a ContentInfo."""
        key = self.write("key.pem", signer.key.private_bytes(serialization.Encoding.PEM,
                                                             serialization.PrivateFormat.PKCS8,
                                                             serialization.NoEncryption()))
        certs = self.write("certs.pem", b"".join(c.pem() for c in (signer, *chain)))
        signed = self.folder / "osslsigncode.exe"
        signed.unlink(missing_ok=True)
        subprocess.run(["osslsigncode", "sign", "-certs", certs, "-key", key, "-h", digest, "-n", "Kestrova Setup",
                        "-in", self.unsigned, "-out", signed], check=True, capture_output=True)
        image = signed.read_bytes()
        at, size = struct.unpack_from("<II", image, pe_entry(image))
        return cms.ContentInfo.load(next(iter_der(image[at + 8:at + size])))

    def stamp(self, signature, tsa=None, chain=(), digest="sha256", when=NOW, extra=()):
        """signature with an RFC 3161 time stamp by tsa over its signer's signature."""
        tsa = tsa or self.tsa
        signer_info = signature["content"]["signer_infos"][0]
        info = tsp.TSTInfo({"version": "v1", "policy": "1.3.6.1.4.1.57264.1", "serial_number": 7, "gen_time": when,
                            "message_imprint": {"hash_algorithm": {"algorithm": "sha256"},
                                                "hashed_message": hashlib.sha256(signer_info["signature"].native).digest()}})
        attributes = cms.CMSAttributes([{"type": "content_type", "values": ["tst_info"]},
                                        {"type": "message_digest", "values": [hashlib.new(digest, info.dump()).digest()]}])
        algorithm = {"sha256": hashes.SHA256(), "sha384": hashes.SHA384(), "sha512": hashes.SHA512()}[digest]
        value = tsa.key.sign(attributes.dump(), ec.ECDSA(algorithm))
        certificate = asn1_x509.Certificate.load(tsa.der)
        token = cms.ContentInfo({"content_type": "signed_data", "content": {
            "version": "v3", "digest_algorithms": [{"algorithm": digest}],
            "encap_content_info": {"content_type": "tst_info", "content": info},
            "certificates": [asn1_x509.Certificate.load(c.der) for c in (tsa, *chain, *extra)],
            "signer_infos": [{"version": "v1", "digest_algorithm": {"algorithm": digest},
                              "sid": {"issuer_and_serial_number": {"issuer": certificate.issuer,
                                                                   "serial_number": certificate.serial_number}},
                              "signed_attrs": attributes, "signature_algorithm": {"algorithm": f"{digest}_ecdsa"},
                              "signature": value}]}})
        signer_info["unsigned_attrs"] = cms.CMSAttributes([{"type": "microsoft_time_stamp_token", "values": [token]}])
        return signature

    def with_certificates(self, signature, *extra):
        signed_data = signature["content"]
        signed_data["certificates"] = list(signed_data["certificates"]) + [asn1_x509.Certificate.load(c.der)
                                                                           for c in extra]
        return signature

    def check(self, signature, *options):
        """(exit status, output) of the check of the test PE with signature, a
        ContentInfo or its DER bytes."""
        blob = signature if isinstance(signature, bytes) else signature.dump(force=True)
        image = bytearray(small_pe())
        entry, table = pe_entry(image), len(image)
        padded = blob + bytes(-len(blob) % 8)
        image += struct.pack("<IHH", 8 + len(padded), 0x200, 2) + padded
        image[entry:entry + 8] = struct.pack("<II", table, len(image) - table)
        checksum_at = pe_headers(image)[0]
        image[checksum_at:checksum_at + 4] = struct.pack("<I", pe_checksum(image, checksum_at))
        signed = self.write("signed.exe", bytes(image))
        done = subprocess.run(["/usr/bin/python3", "-B", CHECKS, "signature", self.unsigned, signed, *options],
                              capture_output=True, text=True, timeout=60)
        return done.returncode, done.stdout + done.stderr

    def assertRefused(self, signature, words, *options):
        status, output = self.check(signature, "--ca", self.roots, *options)
        self.assertEqual(1, status, output)
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
        cases = {"an OID padded with 0x80": pad_oid, "a serial number with a leading zero": serial,
                 "a ContentInfo tagged as a SET": lambda top, parts: top.__setitem__(0, 0x31),
                 "a ContentInfo of a private tag": lambda top, parts: top.__setitem__(0, 0xF0),
                 "a SignerInfo tagged [9]": lambda top, parts: parts[-1][1][0].__setitem__(0, 0xA9),
                 "no digestAlgorithms": lambda top, parts: parts[1].__setitem__(1, []),
                 "digestAlgorithms twice": lambda top, parts: parts[1][1].append(parts[1][1][0])}
        for what, change in cases.items():
            with self.subTest(what):
                status, output = self.check(edit(change), "--ca", self.roots)
                self.assertEqual(1, status, output)
        with self.subTest("bytes after the signature"):
            self.assertRefused(blob + b"\x05\x00", "data besides")

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


def pe_entry(image):
    """The offset of the certificate table entry of a PE image."""
    return pe_headers(image)[1]


if __name__ == "__main__":
    unittest.main()
