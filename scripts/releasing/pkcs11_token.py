"""The PKCS#11 token a release is signed on: one login with the PIN from a file, and the
one private key the URI names, matched against the signing certificate."""

import re
from urllib.parse import unquote_to_bytes

from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric import ec, rsa

from .certificates import read_pem
from .refusal import Refused, read_limited

def parse_pkcs11_uri(uri):
    """The path attributes of an RFC 7512 URI, percent-decoded; a PIN in it is refused."""
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
    certificate = read_pem(certs)
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
        public = certificate[0].key
        if isinstance(public, rsa.RSAPublicKey):
            modulus, exponent = session.getAttributeValue(keys[0], [PyKCS11.CKA_MODULUS,
                                                                    PyKCS11.CKA_PUBLIC_EXPONENT])
            numbers = public.public_numbers()
            matches = modulus is not None and exponent is not None and \
                (int.from_bytes(bytes(modulus), "big"), int.from_bytes(bytes(exponent), "big")) == (numbers.n, numbers.e)
        elif isinstance(public, ec.EllipticCurvePublicKey):
            # A private key of another type (RSA) has no EC point: PyKCS11 answers None for it.
            (key_id,) = session.getAttributeValue(keys[0], [PyKCS11.CKA_ID])
            found = session.findObjects([(PyKCS11.CKA_CLASS, PyKCS11.CKO_PUBLIC_KEY),
                                         (PyKCS11.CKA_ID, tuple(key_id or ()))])
            points = [session.getAttributeValue(k, [PyKCS11.CKA_EC_POINT])[0] for k in found]
            point = public.public_bytes(serialization.Encoding.X962, serialization.PublicFormat.UncompressedPoint)
            matches = any(p and bytes(p).endswith(point) for p in points)
        else:
            raise Refused(f"the certificate {certs} starts with has a key of a type the token check does not "
                          f"know ({certificate[0].name})")
        if not matches:
            raise Refused(f"the key the URI {uri} names is not the key of the certificate {certs} starts with "
                          f"({certificate[0].name})")
        if pin is not None:
            session.logout()
    finally:
        session.closeSession()
    return [f"token key: {uri} matches {certificate[0].name}"]

