"""osslsigncode's verdict on a signed file, offline: its options found by what it says it
takes, never by its version, and the CRLs a publisher fetched handed to it.

osslsigncode 2.9 fetches the CRL named in every certificate's distribution point, and
fails when it cannot; -ignore-crl stops that (a CRL given with -CRLfile is still
checked). 2.8 has only -ignore-cdp, which still fails without a CRL for each
certificate; 2.5 has neither and fetches nothing. Trusts neither the files it is given
nor osslsigncode and openssl to answer: each runs under a time limit (refusal.py's)."""

import os
import tempfile

from .refusal import Refused, read_limited, run_bounded as run


def first_error(output, default="failed"):
    """The first line of osslsigncode's output that names an error or a failure, else default."""
    return next((line.strip() for line in output.splitlines() if "error" in line.lower() or "fail" in line.lower()),
                default)


def verify_options():
    """The options of osslsigncode's verify command, as its usage text lists them."""
    _, usage = run(["osslsigncode"], "osslsigncode (asked for its usage)")
    verify = usage.split(" verify ", 1)[-1] if " verify " in usage else ""
    return {word.strip("[]") for word in verify.split() if word.startswith(("-", "[-"))}


def pem_crls(paths, out):
    """The CRLs of paths (each PEM or DER) written to out as PEM, read by openssl."""
    with open(out, "wb") as f:
        for path in paths:
            data = read_limited(path, 64 << 20, path)
            kind = "PEM" if b"-----BEGIN X509 CRL-----" in data else "DER"
            status, output = run(["openssl", "crl", "-in", path, "-inform", kind, "-outform", "PEM"],
                                 f"openssl (reading the CRL {path})")
            if status != 0 or "-----BEGIN X509 CRL-----" not in output:
                raise Refused(f"{path} is not a CRL in PEM or DER that openssl can read")
            f.write(output[output.index("-----BEGIN X509 CRL-----"):].encode())


def osslsigncode_verify(signed, ca, tsa_ca, crls, require_timestamp):
    """osslsigncode's verdict on signed against the roots ca (the time stamp's: tsa_ca),
    with the CRLs given (PEM or DER) and without fetching any. Returns the line that says
    how; refuses what osslsigncode refuses, naming its first error, and a time stamp it
    does not verify when require_timestamp (2.5 exits 0 then)."""
    options = verify_options()
    command = ["osslsigncode", "verify", "-in", signed, "-CAfile", ca, "-TSA-CAfile", tsa_ca]
    offline = next((o for o in ("-ignore-crl", "-ignore-cdp") if o in options), None)
    if offline:
        command.append(offline)
    with tempfile.TemporaryDirectory() as scratch:
        if crls:
            if "-CRLfile" not in options or "-TSA-CRLfile" not in options:
                raise Refused("this osslsigncode takes no CRL file (-CRLfile, -TSA-CRLfile): --crl cannot be used")
            crl_file = os.path.join(scratch, "crls.pem")
            pem_crls(crls, crl_file)
            command += ["-CRLfile", crl_file, "-TSA-CRLfile", crl_file]
        status, output = run(command, "osslsigncode verify")
    lines = output.splitlines()
    if status != 0:
        if offline == "-ignore-cdp" and not crls and any("-CRLfile" in line for line in lines):
            raise Refused("this osslsigncode has -ignore-cdp but not -ignore-crl: offline it fails without a CRL "
                          "for each certificate that names one; give them with --crl")
        reason = first_error(output)
        raise Refused(f"osslsigncode does not verify the signature against {ca}: {reason}")
    if require_timestamp and "Timestamp Server Signature verification: ok" not in lines:
        raise Refused(f"osslsigncode does not verify the time stamp against {tsa_ca}")
    how = f"offline ({offline})" if offline else "offline (this osslsigncode fetches no CRL)"
    return [f"osslsigncode: the signature verifies, {how}{', with the CRLs given' if crls else ''}"]
