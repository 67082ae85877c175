"""The ASN.1 types of Authenticode that asn1crypto does not define, registered with its
CMS types so that a signature parses as one typed structure, and parsing with them (the
encoding rules are der.py's).

Registered: the SpcIndirectDataContent a signature signs (with the PE image data it
names), the SpcSpOpusInfo and SpcStatementType signed attributes, and the RFC 3161 time
stamp that Windows keeps as an unsigned attribute is asn1crypto's own
microsoft_time_stamp_token. The display strings (a program's name and URL) are kept as
the bytes they came as: signers write UTF-8 into the ascii choice, and nothing here
reads them."""

from asn1crypto import algos, cms, core

from .refusal import Refused

SPC_INDIRECT_DATA = "1.3.6.1.4.1.311.2.1.4"
SPC_PE_IMAGE_DATA = "1.3.6.1.4.1.311.2.1.15"
SPC_STATEMENT_TYPE = "1.3.6.1.4.1.311.2.1.11"
SPC_SP_OPUS_INFO = "1.3.6.1.4.1.311.2.1.12"
TIMESTAMP_ATTRIBUTE = "1.3.6.1.4.1.311.3.3.1"  # an RFC 3161 time stamp among unsigned attributes


class SpcString(core.Choice):
    _alternatives = [
        ("unicode", core.OctetString, {"implicit": 0}),
        ("ascii", core.OctetString, {"implicit": 1}),
    ]


class SpcSerializedObject(core.Sequence):
    _fields = [
        ("class_id", core.OctetString),
        ("serialized_data", core.OctetString),
    ]


class SpcLink(core.Choice):
    _alternatives = [
        ("url", core.OctetString, {"implicit": 0}),
        ("moniker", SpcSerializedObject, {"implicit": 1}),
        ("file", SpcString, {"explicit": 2}),
    ]


class SpcPeImageData(core.Sequence):
    _fields = [
        ("flags", core.BitString, {"optional": True}),
        ("file", SpcLink, {"explicit": 0, "optional": True}),
    ]


class SpcAttributeTypeAndOptionalValue(core.Sequence):
    _fields = [
        ("type", core.ObjectIdentifier),
        ("value", core.Any, {"optional": True}),
    ]
    _oid_pair = ("type", "value")
    _oid_specs = {SPC_PE_IMAGE_DATA: SpcPeImageData}


class SpcIndirectDataContent(core.Sequence):
    _fields = [
        ("data", SpcAttributeTypeAndOptionalValue),
        ("message_digest", algos.DigestInfo),
    ]


class SpcSpOpusInfo(core.Sequence):
    _fields = [
        ("program_name", SpcString, {"explicit": 0, "optional": True}),
        ("more_info", SpcLink, {"explicit": 1, "optional": True}),
    ]


class SpcStatementType(core.SequenceOf):
    _child_spec = core.ObjectIdentifier


class SetOfSpcSpOpusInfo(core.SetOf):
    _child_spec = SpcSpOpusInfo


class SetOfSpcStatementType(core.SetOf):
    _child_spec = SpcStatementType


cms.ContentType._map[SPC_INDIRECT_DATA] = "spc_indirect_data"
cms.ContentInfo._oid_specs["spc_indirect_data"] = SpcIndirectDataContent
for oid, name, values_type in [(SPC_SP_OPUS_INFO, "spc_sp_opus_info", SetOfSpcSpOpusInfo),
                        (SPC_STATEMENT_TYPE, "spc_statement_type", SetOfSpcStatementType)]:
    cms.CMSAttributeType._map[oid] = name
    cms.CMSAttribute._oid_specs[name] = values_type


def parse(asn1_type, data, what, read_all=True):
    """data parsed as asn1_type, nothing after it, every field read once (read_all) so
    that a malformed one is refused here. Its encoding is not judged: where nobody signed, der.py
    has checked it; where someone did, the signature proves the bytes as written."""
    try:
        value = asn1_type.load(data, strict=True)
        if read_all:
            value.native
    except (ValueError, TypeError, KeyError, OverflowError) as e:
        raise Refused(f"{what} is malformed ({str(e).splitlines()[0]})")
    return value
