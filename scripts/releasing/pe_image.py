"""The PE image around an Authenticode signature: where the CheckSum and the certificate
table lie, the checksum itself, the image digest Authenticode signs, and the rule that a
signed file is the build plus one signature and nothing else."""

import hashlib
import struct

from asn1crypto import parser

from .refusal import Refused

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
    """(the DER bytes of the PKCS#7 signature that SIGNED adds to UNSIGNED, the offset of
    the certificate table), after checking that it adds nothing else: the CheckSum (true for SIGNED), the certificate table entry (pointing
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
    if table_size < 8:
        raise Refused(f"the certificate table is {table_size} bytes, under the 8 of its entry's header")
    length, blob = table_entry(signed[table_at:])
    if (length + 7) // 8 * 8 != table_size:
        raise Refused("the certificate table holds more than one certificate or data after it")
    if struct.unpack_from("<I", signed, checksum_at)[0] != pe_checksum(signed, checksum_at):
        raise Refused("its PE checksum is wrong")
    return blob, table_at


def table_entry(table):
    """(its length, the DER signature it holds) of the first WIN_CERTIFICATE of a
    certificate table: one PKCS#7 structure and at most 7 zero bytes after it."""
    if len(table) < 8:
        raise Refused(f"the certificate table is {len(table)} bytes, under the 8 of its entry's header")
    length, revision, kind = struct.unpack_from("<IHH", table)
    if revision != 0x0200 or kind != 0x0002:
        raise Refused(f"the certificate table is not one PKCS#7 WIN_CERTIFICATE (revision {revision:#x}, "
                      f"type {kind:#x})")
    if length < 8 or length > len(table):
        raise Refused(f"the certificate table's first entry claims {length} bytes; the table holds {len(table)}")
    blob = table[8:length]
    try:
        _, _, _, header, contents, trailer = parser.parse(blob)
    except ValueError:
        raise Refused("the signature's structure is truncated or malformed")
    end = len(header) + len(contents) + len(trailer)
    if len(blob) - end >= 8 or any(table[8 + end:(length + 7) // 8 * 8]):
        raise Refused("the certificate holds data besides its PKCS#7 signature")
    return length, blob[:end]


def first_table_entry(table):
    """The DER signature of a certificate table's first entry (those after it, as a UEFI
    image may hold, are not read)."""
    return table_entry(table)[1]


def authenticode_digest(signed, table_at):
    """SHA-256 of the image as Authenticode hashes it: everything before the certificate
    table except the CheckSum and the certificate table entry."""
    checksum_at, entry_at = pe_headers(signed)
    digest = hashlib.sha256()
    digest.update(signed[:checksum_at])
    digest.update(signed[checksum_at + 4:entry_at])
    digest.update(signed[entry_at + 8:table_at])
    return digest.digest()

