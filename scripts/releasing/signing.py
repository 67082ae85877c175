"""Signing KestrovaSetup.exe: the signer's certificates and key checked before the build,
one signing operation by the signer kind given (a PKCS#12 file, a PKCS#11 token, or any
command), and the same checks of what it wrote whatever signed it.

Every signer runs bounded (bounded.py): the token check 60 s, the signing --sign-timeout.
Trusts nothing a signer does: what it wrote is copied into a new private folder once its
PID namespace is gone (it runs as root, so no file is safe from it while anything of it
runs), and that copy, the one published, must be exactly the build plus one SHA-256
Authenticode signature by the chain's first certificate, verifying against that chain,
and osslsigncode must agree. No PIN or password is ever put in an argument list or the
environment: osslsigncode and the token check read it from its file."""

import os
import shutil
import subprocess
import tempfile

from .authenticode import check_signature
from .bounded import TIMED_OUT, bounded
from .osslsigncode import osslsigncode_verify
from .refusal import Refused, checked, file_sha256
from .signing_certs import check_signing_certs

PROGRAM = os.path.dirname(os.path.realpath(__file__))
TOKEN_CHECK_SECONDS = 60
SYSTEM_CA = "/etc/ssl/certs/ca-certificates.crt"


def pkcs12(arguments):
    """True when openssl pkcs12 succeeds with arguments; openssl 3 opens PKCS#12 files with
    old encryption (RC2, as older Windows exports them) only with -legacy, and osslsigncode
    loads that provider itself."""
    for extra in ([], ["-legacy"]):
        if subprocess.run(["openssl", "pkcs12", *arguments, *extra], stdin=subprocess.DEVNULL,
                          capture_output=True).returncode == 0:
            return True
    return False


def pfx_certificates(pfx, password_file, out):
    """Writes the PFX's certificates to out, its own first; refuses a PFX the password does
    not open."""
    opening = ["-in", pfx, "-passin", f"file:{password_file}"]
    if not pkcs12([*opening, "-noout"]):
        raise Refused(f"--sign: {pfx} does not open with the password in {password_file} (wrong password, or not a "
                      "PKCS#12 file)")
    with open(out, "wb") as f:
        for which in ("-clcerts", "-cacerts"):
            for extra in ([], ["-legacy"]):
                done = subprocess.run(["openssl", "pkcs12", *opening, which, "-nokeys", *extra],
                                      stdin=subprocess.DEVNULL, capture_output=True)
                if done.returncode == 0:
                    f.write(done.stdout)
                    break
            else:
                raise Refused(f"--sign: cannot read the certificates of {pfx}")


class Signer:
    """The signer the options name, and the chain it must sign with."""

    def __init__(self, o, scratch):
        """Checks the signer's certificates (and, on a token, its key) before the build;
        refuses what cannot sign. o: the release's options; scratch: a private folder."""
        self.o, self.scratch = o, scratch
        self.chain, self.root = os.path.join(scratch, "chain.pem"), os.path.join(scratch, "root.pem")
        self.certs = o.sign_cert
        if o.signer == "pfx":
            self.certs = os.path.join(scratch, "certificates.pem")
            pfx_certificates(o.pfx, o.password_file, self.certs)
        try:
            lines = checked("signing-certs", check_signing_certs, self.certs, self.chain, self.root)
        except Refused as e:
            raise Refused(f"{'--sign: ' + o.pfx if o.signer == 'pfx' else '--sign-cert'}: {e}")
        self.expires = next(line.split(": ", 1)[1] for line in lines if line.startswith("certificate expires: "))

    def check_token(self):
        """The token accepts the PIN and holds the key the URI names for the certificate,
        asked in a child that can be killed: a module whose functions never return (a
        network HSM that is down) must not hold up the release. Returns the check's lines."""
        o = self.o
        log = os.path.join(self.scratch, "token.log")
        status = bounded(TOKEN_CHECK_SECONDS, log, ["/usr/bin/python3", "-B", "-E", "-s", PROGRAM, "pkcs11", "--module",
                                                    o.pkcs11_module, "--uri", o.sign_pkcs11, "--cert", self.chain,
                                                    *(["--pin-file", o.pin_file] if o.pin_file else [])])
        with open(log, errors="replace") as f:
            lines = f.read().splitlines()
        if status == TIMED_OUT:
            raise Refused(f"--pkcs11-module: {o.pkcs11_module} did not answer within {TOKEN_CHECK_SECONDS} s "
                          "(the token check)")
        if status != 0:
            raise Refused(f"--sign-pkcs11: {lines[-1] if lines else 'the token check failed'}")
        return lines

    def sign(self, unsigned, caller_dir):
        """One signing operation on a copy of unsigned; returns the private copy of what
        the signer wrote. Refuses a signer that fails or runs out of its time."""
        o = self.o
        folder = os.path.join(self.scratch, "signer")
        os.mkdir(folder)
        signer_file = os.path.join(folder, "KestrovaSetup.exe")  # where the signer writes
        log = os.path.join(self.scratch, "sign.log")
        common = ["-h", "sha256", "-n", "Kestrova Setup", "-i", f"https://{o.host}/", "-in", unsigned,
                  "-out", signer_file]
        seconds = o.sign_timeout
        # Each signer kind: what is said first, the command, where it runs, and what a time-out
        # and a failure say. The log is shown before a failure's line (after any run for a
        # signing command, whose output is the publisher's own).
        if o.signer == "pfx":
            said = f"with {o.pfx}"
            command, folder = ["osslsigncode", "sign", "-pkcs12", o.pfx, "-readpass", o.password_file, *common], None
            late = f"signing KestrovaSetup.exe with {o.pfx} did not finish within {seconds} s (--sign-timeout)"
            failed = f"signing KestrovaSetup.exe with {o.pfx} failed"
        elif o.signer == "pkcs11":
            said = f"through {o.pkcs11_module} with {o.sign_pkcs11}"
            command, folder = ["osslsigncode", "sign", "-pkcs11module", o.pkcs11_module, "-key", o.sign_pkcs11,
                               "-certs", self.chain, *(["-readpass", o.pin_file] if o.pin_file else []), *common], None
            late = f"--pkcs11-module: {o.pkcs11_module} did not finish signing within {seconds} s (--sign-timeout)"
            failed = f"signing KestrovaSetup.exe through PKCS#11 with {o.sign_pkcs11} failed"
        else:
            # {file} becomes "$1" of the command's shell: the path is passed as an argument,
            # never expanded or split. It runs in the caller's folder, so that its relative
            # paths mean what they say.
            shutil.copyfile(unsigned, signer_file)
            said = f"with: {o.sign_command}"
            command = ["bash", "-c", o.sign_command.replace("{file}", '"$1"'), "sign-command", signer_file]
            folder = caller_dir
            late = f"the signing command did not finish within {seconds} s (--sign-timeout)"
            failed = None
        print(f"release: signing KestrovaSetup.exe {said}", flush=True)
        status = bounded(seconds, log, command, cwd=folder)
        if failed is None:
            show(log, "  ")
        if status == TIMED_OUT:
            raise Refused(late)
        if status != 0:
            if failed is not None:
                show(log)
            raise Refused(failed or f"the signing command exited with status {status}")
        return private_copy(signer_file, self.scratch)

    def check(self, unsigned, unsigned_sha256, signed, require_timestamp=False):
        """The checks of a signed file (see the module's account); returns the signature
        check's lines and the time stamp ("none" when there is none)."""
        o = self.o
        if file_sha256(unsigned) != unsigned_sha256:
            raise Refused(f"the unsigned build {unsigned} changed while the signer ran")
        tsa_ca = o.timestamp_ca or SYSTEM_CA
        try:
            lines = checked("signature", lambda: check_signature(
                unsigned, signed, ca=self.root, tsa_ca=tsa_ca, tsa_ca_is_system=not o.timestamp_ca, signer=self.chain,
                require_timestamp=require_timestamp))
        except Refused as e:
            raise Refused(f"the signed KestrovaSetup.exe is refused: {e}")
        stamp = next(line.split(": ", 1)[1] for line in lines if line.startswith("timestamp: "))
        # osslsigncode's verdict, offline, with the CRLs given; the time stamp's too when there
        # is one (2.5 exits 0 even when a time stamp does not verify: its report is read).
        try:
            checked("osslsigncode-verify", osslsigncode_verify, signed, self.root, tsa_ca, o.crls, stamp != "none")
        except Refused as e:
            raise Refused(f"the signature of KestrovaSetup.exe does not verify against the chain in {self.certs} "
                          f"(time stamp: {o.timestamp_ca or 'the system CA bundle'}): {e}")
        return lines, stamp


def show(log, indent=""):
    """Prints the file log, each line indented."""
    with open(log, errors="replace") as f:
        for line in f.read().splitlines():
            print(indent + line, flush=True)


def private_copy(path, scratch):
    """A copy of the regular file path (a new inode) in a new folder of mode 0700 in
    scratch that no signer was told of; made only once the run that wrote path is over."""
    if not os.path.isfile(path) or os.path.islink(path):
        raise Refused(f"the signer left no signed file at {path}")
    try:
        folder = tempfile.mkdtemp(prefix="checked.", dir=scratch)
        copy = os.path.join(folder, "KestrovaSetup.exe")
        shutil.copyfile(path, copy)
    except OSError:
        raise Refused(f"cannot copy {path} to a private folder")
    return copy
