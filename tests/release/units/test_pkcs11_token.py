"""The token check on a SoftHSM2 token made here: a key pair made on it, certificates
for its key and for another made by cryptography. No build; seconds."""

import datetime
import os
import subprocess
import tempfile
import unittest
from pathlib import Path

from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec, rsa
from cryptography.x509.oid import NameOID

from units.helpers import assert_refused, run_checks

MODULE = "/usr/lib/softhsm/libsofthsm2.so"
URI = "pkcs11:token=kestrova;object=codesign;type=private"


def certificate(public_key, name):
    """PEM of a certificate for public_key, issued by a CA key made here."""
    now = datetime.datetime.now(datetime.timezone.utc)
    subject = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, name)])
    issuer = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, "Kestrova Test CA")])
    return (x509.CertificateBuilder().subject_name(subject).issuer_name(issuer).public_key(public_key)
            .serial_number(x509.random_serial_number()).not_valid_before(now)
            .not_valid_after(now + datetime.timedelta(days=1))
            .sign(ec.generate_private_key(ec.SECP256R1()), hashes.SHA256()).public_bytes(serialization.Encoding.PEM))


class TokenCheck(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.TemporaryDirectory()
        folder = Path(cls.scratch.name)
        (folder / "tokens").mkdir()
        (folder / "softhsm2.conf").write_text(f"directories.tokendir = {folder}/tokens\nlog.level = ERROR\n")
        cls.env = {**os.environ, "SOFTHSM2_CONF": str(folder / "softhsm2.conf")}
        tool = ["pkcs11-tool", "--module", MODULE, "--token-label", "kestrova"]
        for command in (["softhsm2-util", "--init-token", "--free", "--label", "kestrova", "--pin", "2718",
                         "--so-pin", "2718"],
                        tool + ["--login", "--pin", "2718", "--keypairgen", "--key-type", "rsa:2048", "--label",
                                "codesign", "--id", "01", "--usage-sign"],
                        tool + ["--read-object", "--type", "pubkey", "--id", "01", "-o", folder / "public.der"]):
            subprocess.run(command, check=True, capture_output=True, env=cls.env)
        public = serialization.load_der_public_key((folder / "public.der").read_bytes())
        cls.files = {name: folder / name for name in ("certs.pem", "other.pem", "ec.pem", "empty.pem", "pin",
                                                      "wrong-pin")}
        for name, data in [("certs.pem", certificate(public, "Token Publisher")), ("empty.pem", b"no certificate\n"),
                           ("other.pem", certificate(rsa.generate_private_key(65537, 2048).public_key(), "Other")),
                           ("ec.pem", certificate(ec.generate_private_key(ec.SECP256R1()).public_key(), "Other EC")),
                           ("pin", b"2718\n"), ("wrong-pin", b"3141\n")]:
            cls.files[name].write_bytes(data)

    @classmethod
    def tearDownClass(cls):
        cls.scratch.cleanup()

    def arguments(self, uri=URI, module=MODULE, cert="certs.pem", pin="pin"):
        return ["pkcs11", "--module", module, "--uri", uri, "--cert", self.files[cert]] + \
            (["--pin-file", self.files[pin]] if pin else [])

    def test_the_key_the_uri_names_percent_encoded_is_the_certificates(self):
        status, output, error = run_checks(*self.arguments(URI.replace("kestrova", "kest%72ova")), env=self.env)
        self.assertEqual((0, ""), (status, error))
        self.assertIn("matches CN=Token Publisher", output)

    def test_uris_tokens_and_keys_not_as_named_are_refused(self):
        for what, changed, words in [
                ("not a PKCS#11 URI", {"uri": "token=kestrova"}, "'token=kestrova' is not a PKCS#11 URI"),
                ("PIN in the URI", {"uri": URI + ";pin-value=1"}, "the PKCS#11 URI carries a PIN (pin-value)"),
                ("PIN source in its query", {"uri": URI + "?pin-source=file:/tmp/pin"}, "carries a PIN (pin-source)"),
                ("an attribute without a value", {"uri": "pkcs11:token"},
                 "the PKCS#11 URI's 'token' is not name=value"),
                ("a public key named", {"uri": URI.replace("private", "public")}, "must name a private key"),
                ("no certificate", {"cert": "empty.pem"}, "empty.pem holds no PEM certificate"),
                ("a module that does not load", {"module": "/nonexistent/module.so"},
                 "cannot load the PKCS#11 module /nonexistent/module.so"),
                ("a token of another label", {"uri": URI.replace("=kestrova", "=other")},
                 f"no tokens of {MODULE} match the URI"),
                ("no token named, several present", {"uri": "pkcs11:object=codesign"},
                 f"tokens of {MODULE} match the URI pkcs11:object=codesign"),
                ("wrong PIN", {"pin": "wrong-pin"}, "the token refuses the PIN in"),
                ("a key of another label", {"uri": URI.replace("codesign", "other")},
                 "the token holds 0 private keys that the URI"),
                ("no PIN file", {"pin": None}, "not one (no --pin-file: is a login needed?)"),
                ("token key of another certificate", {"cert": "other.pem"},
                 "is not the key of the certificate"),
                ("an EC certificate for the token's RSA key", {"cert": "ec.pem"}, "is not the key of the certificate")]:
            with self.subTest(what):
                assert_refused(self, words, *self.arguments(**changed), env=self.env)


if __name__ == "__main__":
    unittest.main()
