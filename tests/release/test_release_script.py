"""scripts/release on the reference release of the tests.

The reference release goes through scripts/release unsigned, then signed with a test
certificate made here with openssl (a CA, a code-signing certificate it issued, a
PFX with that chain) and timestamped by a local RFC 3161 TSA (openssl ts behind a
small HTTP server), and both rehearsals must pass. scripts/verify-release rebuilds
the signed tree in a folder of its own and must find the same bytes, and refuse
trees that are not what their BUILDINFO says. Bad input must end with one line and
a non-zero status and leave no upload tree behind.

scripts/publish then publishes trees of the reference release into a folder that nginx
serves with the shipped configuration as the download host (inside the sandbox of the
mingw tests only): in order, refusing to replace a published installer, stopping
before the manifest when the new installer is not served, and rolling back.

Runs as root (scripts/release rehearses in its own scripts/rehearsal/sandbox, with its own
Wine prefix under KESTROVA_RELEASE_BUILD, so it also runs inside the sandbox of the
mingw tests). Environment: KESTROVA_REFERENCE_RELEASE, KESTROVA_RELEASE_BUILD and
KESTROVA_RELEASE_TEST_WORK (CTest sets them; defaults under build/mingw).
"""

import contextlib
import hashlib
import http.server
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
BUILD = REPO / "build" / "mingw"
RELEASE = REPO / "scripts" / "release"
VERIFY = REPO / "scripts" / "verify-release"
DEFAULT_NAME = "Kestrova-3.2.0-win-x64.exe"
HOST = "downloads.kestrova.test"

PUBLISH = REPO / "scripts" / "publish"
sys.path.insert(0, str(REPO / "scripts" / "rehearsal"))
from nginx_host import NginxHost  # noqa: E402


def reference_release():
    path = Path(os.environ.get("KESTROVA_REFERENCE_RELEASE", BUILD / "reference-release" / DEFAULT_NAME))
    digest = subprocess.run(["/usr/bin/python3", "-B", "-E", "-s", str(REPO / "tests" / "release" / "make_reference_release.py"), str(path)],
                            check=True, capture_output=True, text=True).stdout.strip()
    return path, digest


def work_dir():
    return Path(os.environ.get("KESTROVA_RELEASE_TEST_WORK", BUILD / "release-script-test"))


def release(*args, script=RELEASE):
    env = dict(os.environ)
    env.setdefault("KESTROVA_RELEASE_BUILD", str(BUILD / "release-build"))
    return subprocess.run([str(script), *map(str, args)], cwd=REPO, env=env, stdin=subprocess.DEVNULL,
                          capture_output=True, text=True, errors="replace")


def openssl(*args):
    subprocess.run(["openssl", *map(str, args)], check=True, capture_output=True)


def make_signing_files(folder, name):
    """A CA, a code-signing certificate it issued, and name.pfx holding key,
    certificate and CA (password in password.txt). Returns (pfx, password file, CA)."""
    ca, ca_key = folder / f"{name}-ca.crt", folder / f"{name}-ca.key"
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-sha256", "-days", "2",
            "-keyout", ca_key, "-out", ca, "-subj", f"/O=Kestrova Tests/CN={name} CA",
            "-addext", "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign")
    key, csr, cert = folder / f"{name}.key", folder / f"{name}.csr", folder / f"{name}.crt"
    extensions = folder / f"{name}.ext"
    extensions.write_text("basicConstraints=critical,CA:FALSE\nkeyUsage=critical,digitalSignature\n"
                          "extendedKeyUsage=codeSigning\n")
    openssl("req", "-new", "-newkey", "rsa:2048", "-nodes", "-sha256", "-keyout", key, "-out", csr,
            "-subj", f"/O=Kestrova Tests/CN={name} Publisher")
    openssl("x509", "-req", "-sha256", "-days", "2", "-in", csr, "-CA", ca, "-CAkey", ca_key,
            "-set_serial", "0x4b455354", "-extfile", extensions, "-out", cert)
    password = folder / "password.txt"
    password.write_text("kestrova test password\n")
    pfx = folder / f"{name}.pfx"
    openssl("pkcs12", "-export", "-inkey", key, "-in", cert, "-certfile", ca,
            "-passout", f"file:{password}", "-out", pfx)
    return pfx, password, ca


def start_timestamp_authority(folder):
    """An RFC 3161 TSA on loopback: `openssl ts -reply` with a TSA certificate from a CA
    of its own, both in its tokens. Returns (url, CA file, server); server.shutdown() stops it."""
    ca, ca_key, key, cert = (folder / n for n in ("tsa-ca.crt", "tsa-ca.key", "tsa.key", "tsa.crt"))
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-sha256", "-days", "3650", "-keyout", ca_key,
            "-out", ca, "-subj", "/O=Kestrova Tests/CN=TSA CA",
            "-addext", "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign")
    (folder / "tsa.ext").write_text("basicConstraints=critical,CA:FALSE\nkeyUsage=critical,digitalSignature\n"
                                    "extendedKeyUsage=critical,timeStamping\n")
    # A name long enough that its certificate encodes longer than its CA's: the token
    # carries them in chain order (OpenSSL does not sort), which is not DER's set order.
    openssl("req", "-new", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", folder / "tsa.csr",
            "-subj", "/O=Kestrova Tests/OU=Kestrova Test Time-Stamp Service/CN=TSA")
    openssl("x509", "-req", "-sha256", "-days", "3650", "-in", folder / "tsa.csr", "-CA", ca, "-CAkey", ca_key,
            "-set_serial", "7", "-extfile", folder / "tsa.ext", "-out", cert)
    (folder / "tsa.serial").write_text("01\n")
    (folder / "tsa.cnf").write_text(f"[tsa]\ndefault_tsa = kestrova\n[kestrova]\nserial = {folder}/tsa.serial\n"
                                    "signer_digest = sha256\ndefault_policy = 1.3.6.1.4.1.57264.1\n"
                                    "digests = sha256\ness_cert_id_alg = sha256\n")

    class Reply(http.server.BaseHTTPRequestHandler):
        def do_POST(self):
            with tempfile.TemporaryDirectory() as scratch:
                query, reply = Path(scratch) / "query", Path(scratch) / "reply"
                query.write_bytes(self.rfile.read(int(self.headers["Content-Length"])))
                openssl("ts", "-reply", "-config", folder / "tsa.cnf", "-queryfile", query, "-inkey", key,
                        "-signer", cert, "-chain", ca, "-out", reply)
                body = reply.read_bytes()
            self.send_response(200)
            self.send_header("Content-Type", "application/timestamp-reply")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        def log_message(self, *args):
            pass

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Reply)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return f"http://127.0.0.1:{server.server_address[1]}/", ca, server


def make_token(folder, ca, ca_key, pin):
    """A SoftHSM2 token in folder (named by SOFTHSM2_CONF, set here) with an RSA key made
    on it (sensitive, never extractable) and a code-signing certificate for it from the
    CA. Returns (module, key URI, PIN file, CERTS.pem: certificate, then the CA)."""
    module = "/usr/lib/softhsm/libsofthsm2.so"
    (folder / "tokens").mkdir(parents=True)
    (folder / "softhsm2.conf").write_text(f"directories.tokendir = {folder}/tokens\nlog.level = ERROR\n")
    os.environ["SOFTHSM2_CONF"] = str(folder / "softhsm2.conf")
    for command in (["softhsm2-util", "--init-token", "--free", "--label", "kestrova", "--pin", pin, "--so-pin", pin],
                    ["pkcs11-tool", "--module", module, "--token-label", "kestrova", "--login", "--pin", pin,
                     "--keypairgen", "--key-type", "rsa:2048", "--label", "codesign", "--id", "01", "--usage-sign"]):
        subprocess.run(command, check=True, capture_output=True)
    uri = "pkcs11:token=kestrova;object=codesign;type=private"
    openssl("req", "-new", "-engine", "pkcs11", "-keyform", "engine", "-key", f"{uri};pin-value={pin}",
            "-subj", "/O=Kestrova Tests/CN=Token Publisher", "-out", folder / "token.csr")
    openssl("x509", "-req", "-sha256", "-days", "2", "-in", folder / "token.csr", "-CA", ca, "-CAkey", ca_key,
            "-set_serial", "0x746f6b", "-extfile", ca.parent / "signing.ext", "-out", folder / "token.crt")
    certs = folder / "certs.pem"
    certs.write_bytes((folder / "token.crt").read_bytes() + ca.read_bytes())
    pin_file = folder / "pin.txt"
    pin_file.write_text(pin + "\n")
    pin_file.chmod(0o600)
    return module, uri, pin_file, certs


@contextlib.contextmanager
def watching_processes_for(secret):
    """While the block runs, every process's command line and environment is read in a
    loop; yields (the places the secret was seen, [how many loops])."""
    seen, looks, stop = [], [0], threading.Event()

    def watch():
        while not stop.is_set():
            for proc in Path("/proc").glob("[0-9]*"):
                for name in ("cmdline", "environ"):
                    try:
                        if secret.encode() in (proc / name).read_bytes():
                            seen.append(f"{proc}/{name}")
                    except OSError:
                        pass
            looks[0] += 1
    watcher = threading.Thread(target=watch)
    watcher.start()
    try:
        yield seen, looks
    finally:
        stop.set()
        watcher.join()


def sha256(path):
    with open(path, "rb") as f:
        return hashlib.file_digest(f, "sha256").hexdigest()


class ReleaseScript(unittest.TestCase):
    maxDiff = None

    @classmethod
    def setUpClass(cls):
        cls.reference, cls.reference_sha256 = reference_release()
        cls.work = work_dir()
        shutil.rmtree(cls.work, ignore_errors=True)
        cls.work.mkdir(parents=True)
        cls.pfx, cls.password, cls.ca = make_signing_files(cls.work, "signing")
        cls.tsa_url, cls.tsa_ca, cls.tsa = start_timestamp_authority(cls.work)
        cls.password.chmod(0o600)
        cls.certs = cls.work / "signing-certs.pem"  # the PFX's chain, for a signer command
        cls.certs.write_bytes((cls.work / "signing.crt").read_bytes() + cls.ca.read_bytes())
        cls.pin = "kestrova-pin-2718281828"
        cls.module, cls.uri, cls.pin_file, cls.token_certs = make_token(cls.work / "token", cls.ca,
                                                                        cls.work / "signing-ca.key", cls.pin)

    @classmethod
    def tearDownClass(cls):
        cls.tsa.shutdown()

    def sign(self, unsigned, signed, *options):
        subprocess.run(["osslsigncode", "sign", "-pkcs12", self.pfx, "-readpass", self.password, "-h", "sha256",
                        *options, "-in", unsigned, "-out", signed], check=True, capture_output=True)

    def copy_with(self, tree, name, changes):
        """A copy of the upload tree (hard links) with some files replaced, SHA256SUMS
        listing their new digests."""
        copy = self.work / name
        shutil.rmtree(copy, ignore_errors=True)
        shutil.copytree(tree, copy, copy_function=os.link)
        sums = (copy / "SHA256SUMS").read_text()
        for relative, content in changes.items():
            sums = sums.replace(f"{sha256(copy / relative)}  {relative}\n", f"{hashlib.sha256(content).hexdigest()}"
                                f"  {relative}\n")
            (copy / relative).unlink()
            (copy / relative).write_bytes(content)
        (copy / "SHA256SUMS").unlink()
        (copy / "SHA256SUMS").write_text(sums)
        return copy

    def assertNoTree(self, out, done):
        self.assertNotEqual(0, done.returncode, done.stdout + done.stderr)
        self.assertFalse(out.exists(), f"{out} was written")
        self.assertEqual([], [p.name for p in out.parent.glob(f".{out.name}.*")], "staging left behind")

    def test_bad_input_ends_with_one_line_and_writes_nothing(self):
        small = self.work / "kestrova-tiny.exe"
        small.write_bytes(b"MZ" + bytes(1000))
        wrong_name = self.work / "Kestrova-3.2.1-win-x64.exe"
        os.link(self.reference, wrong_name)
        wrong_size = self.work / "wrong-size" / DEFAULT_NAME
        wrong_size.parent.mkdir()
        wrong_size.write_bytes(b"MZ" + bytes(1000))
        wrong_password = self.work / "wrong-password.txt"
        wrong_password.write_text("not the password\n")
        hung = self.work / "hung-module.so"  # a PKCS#11 module whose first function never returns
        subprocess.run(["gcc", "-shared", "-fPIC", "-x", "c", "-o", hung, "-"], check=True,
                       input=b"#include <unistd.h>\nlong C_GetFunctionList(void *list) { for (;;) pause(); }\n")
        good = {"--host": HOST, "--default-installer": self.reference, "--installer": self.reference,
                "--version": "3.2.0"}
        cases = [  # (what, changed arguments, words the line must hold)
            ("missing file", {"--installer": self.work / "kestrova-9.exe"}, "does not exist"),
            ("unreadable file", {"--installer": self.work}, "is not a file"),
            ("default installer under another name", {"--default-installer": wrong_name}, "default release"),
            ("default installer of another size", {"--default-installer": wrong_size}, "bytes, the default"),
            ("installer below the plausible size", {"--installer": small}, "plausible minimum"),
            ("version with a quote", {"--version": '3.2"0'}, "--version"),
            ("version with ..", {"--version": "3..2"}, "--version"),
            ("host in capitals", {"--host": "Downloads.Kestrova.test"}, "lower case"),
            ("wrong signing password", {"--sign": self.pfx, "--sign-password-file": wrong_password},
             "does not open with the password"),
            ("wrong PIN", {"--sign-pkcs11": self.uri, "--pkcs11-module": self.module, "--sign-cert": self.token_certs,
                           "--pin-file": wrong_password}, "refuses the PIN"),
            ("PKCS#11 module that never returns", {"--sign-pkcs11": self.uri, "--pkcs11-module": hung,
                                                   "--sign-cert": self.token_certs}, f"{hung} did not answer within 60 s"),
            ("certificate not for code signing", {"--sign-command": "true {file}", "--sign-cert": self.tsa_ca},
             "not for code signing"),
        ]
        for what, changed, words in cases:
            with self.subTest(what):
                out = self.work / "out"
                arguments = [x for item in {**good, **changed}.items() for x in item] + ["--out", out]
                done = release(*arguments)
                self.assertNoTree(out, done)
                self.assertEqual(1, len(done.stderr.splitlines()), done.stderr)
                self.assertIn(words, done.stderr)

        for what, changed in [("two signers", {"--sign-command": "true {file}", "--sign-pkcs11": self.uri}),
                              ("token without module", {"--sign-pkcs11": self.uri, "--sign-cert": self.token_certs}),
                              ("command without certificates", {"--sign-command": "true {file}"}),
                              ("signing limit of no seconds", {"--sign-command": "true {file}", "--sign-cert": self.certs,
                                                               "--sign-timeout": "0"})]:
            with self.subTest(what):
                out = self.work / "out"
                done = release(*[x for item in {**good, **changed}.items() for x in item], "--out", out)
                self.assertEqual(2, done.returncode, done.stderr)
                self.assertFalse(out.exists())

        with self.subTest("output folder not empty, without --force"):
            out = self.work / "not-empty"
            out.mkdir()
            (out / "notes.txt").write_text("keep me\n")
            done = release(*[x for item in good.items() for x in item], "--out", out)
            self.assertNotEqual(0, done.returncode)
            self.assertEqual(1, len(done.stderr.splitlines()), done.stderr)
            self.assertIn("is not empty", done.stderr)
            self.assertEqual(["notes.txt"], [p.name for p in out.iterdir()])

        with self.subTest("signature that does not verify against the chain in the PFX"):
            # A PFX that carries a CA which did not issue its certificate: signing
            # works, the verification must fail, and nothing signed is left.
            stranger = self.work / "stranger"
            stranger.mkdir()
            _, _, other_ca = make_signing_files(stranger, "stranger")
            mixed = self.work / "mixed.pfx"
            openssl("pkcs12", "-export", "-inkey", self.work / "signing.key", "-in", self.work / "signing.crt",
                    "-certfile", other_ca, "-passout", f"file:{self.password}", "-out", mixed)
            out = self.work / "out"
            done = release(*[x for item in good.items() for x in item], "--sign", mixed,
                           "--sign-password-file", self.password, "--out", out)
            self.assertNoTree(out, done)
            self.assertEqual(1, len(done.stderr.splitlines()), done.stderr)
            self.assertIn("does not verify", done.stderr)

        # After the build: each signer command that fails, signs something else or does not
        # end (even on TERM), and time-stamp authorities that all fail.
        sign = f"osslsigncode sign -pkcs12 {self.pfx} -readpass {self.password} -h sha256 -in {{file}} -out {{file}}.s"
        for what, command, words in [
                ("signer command that fails", "echo no key for {file}; exit 1", "exited with status 1"),
                ("signer command that changes a byte", f"{sign} && mv {{file}}.s {{file}} && printf X | "
                 "dd of={file} bs=1 seek=200 conv=notrunc", "byte 200 differs"),
                ("signer command that does not end", "trap '' TERM; sleep 600; true {file}", "did not finish within 10 s"),
                ("no time-stamp authority answers", f"{sign} && mv {{file}}.s {{file}}", "no time-stamp authority")]:
            with self.subTest(what):
                out = self.work / "out"
                done = release(*[x for item in good.items() for x in item], "--sign-command", command,
                               "--sign-cert", self.certs, "--sign-timeout", 10, "--timestamp-url", "http://127.0.0.1:9/",
                               "--out", out)
                self.assertNoTree(out, done)
                self.assertIn(words, done.stderr.splitlines()[-1])

    def test_reference_release_command_signed_then_token_signed(self):
        # A signer command (osslsigncode with the test PFX, no time stamp of its own) that
        # leaves two writers behind: one in its process group, which must die with it, and
        # one that it waits for until it has left with setsid, which must die with it too. The script
        # adds the time stamp, from the second authority since the first never answers.
        out, late = self.work / "upload", self.work / "late-writer-ran"
        escaped, detached = self.work / "escaped", self.work / "detached"
        command = (f"osslsigncode sign -pkcs12 {self.pfx} -readpass {self.password} -h sha256 -in {{file}} "
                   "-out {file}.signed && mv {file}.signed {file} && { (sleep 3; printf X | dd of={file} bs=1 "
                   f"seek=200 conv=notrunc; touch {late}) & setsid sh -c 'touch {detached}; sleep 3; echo escaped "
                   f"> {escaped}' & }} && while [ ! -e {detached} ]; do sleep 0.1; done")
        silent = socket.create_server(("127.0.0.1", 0))  # the kernel accepts, nobody answers
        with silent:
            done = release("--host", HOST, "--default-installer", self.reference, "--installer", self.reference,
                           "--version", "3.2.0", "--sign-command", command, "--sign-cert", self.certs,
                           "--timestamp-url", f"http://127.0.0.1:{silent.getsockname()[1]}/", "--timestamp-url",
                           self.tsa_url, "--timestamp-ca", self.tsa_ca, "--out", out)
        self.assertEqual(0, done.returncode, done.stdout + done.stderr)
        print(done.stdout)
        stamping = re.search(f"release: time stamp added by {self.tsa_url} \\(attempt 4\\) in ([0-9.]+) s", done.stdout)
        self.assertLess(float(stamping[1]), 45, done.stdout)
        self.assertEqual((True, False, False), (detached.exists(), late.exists(), escaped.exists()))
        self.assertEqual(0, subprocess.run(["osslsigncode", "verify", "-in", out / "KestrovaSetup.exe", "-CAfile", self.ca,
                                            "-TSA-CAfile", self.tsa_ca], capture_output=True).returncode)
        desktop = out / "downloads" / "desktop"
        self.assertNotEqual(os.stat(self.reference).st_ino, (desktop / DEFAULT_NAME).stat().st_ino)
        self.assertEqual(["BUILDINFO", "KestrovaSetup.exe", "SHA256SUMS", "downloads/desktop/" + DEFAULT_NAME,
                          "downloads/desktop/kestrova-win-x64.json"],
                         sorted(p.relative_to(out).as_posix() for p in out.rglob("*") if p.is_file()))
        manifest = (desktop / "kestrova-win-x64.json").read_text()
        self.assertIn(f'"url": "https://{HOST}/downloads/desktop/{DEFAULT_NAME}"', manifest)
        self.assertIn(f'"sha256": "{self.reference_sha256}"', manifest)
        sums = (out / "SHA256SUMS").read_text()
        self.assertIn(f"{self.reference_sha256}  downloads/desktop/{DEFAULT_NAME}\n", sums)
        self.assertIn(f"{sha256(out / 'KestrovaSetup.exe')}  KestrovaSetup.exe\n", sums)

        # The next release into the same folder (--force), signed on the token, with an
        # installer of its own name beside the default one. Meanwhile no process may
        # carry the PIN in its arguments or environment.
        installer = self.work / "kestrova-3.2.1-win-x64.exe"
        os.link(self.reference, installer)
        with watching_processes_for(self.pin) as (seen, looks):
            done = release("--host", HOST, "--default-installer", self.reference, "--installer", installer,
                           "--version", "3.2.1", "--sign-pkcs11", self.uri, "--pkcs11-module", self.module,
                           "--sign-cert", self.token_certs, "--pin-file", self.pin_file,
                           "--timestamp-url", self.tsa_url, "--timestamp-ca", self.tsa_ca, "--force", "--out", out)
        print(f"PIN watch: {looks[0]} looks at every process, PIN seen in: {seen}")
        self.assertEqual(0, done.returncode, done.stdout + done.stderr)
        print(done.stdout)
        self.assertEqual([], seen)
        self.assertIn("release: signer subject: CN=Token Publisher,O=Kestrova Tests", done.stdout)
        self.assertEqual(["BUILDINFO", "KestrovaSetup.exe", "SHA256SUMS", "downloads/desktop/" + DEFAULT_NAME,
                          "downloads/desktop/kestrova-3.2.1-win-x64.exe", "downloads/desktop/kestrova-win-x64.json"],
                         sorted(p.relative_to(out).as_posix() for p in out.rglob("*") if p.is_file()))
        self.assertEqual([], [p.name for p in out.parent.glob(f".{out.name}.*")], "previous tree left aside")
        self.assertIn('"url": "https://{}/downloads/desktop/kestrova-3.2.1-win-x64.exe"'.format(HOST),
                      (desktop / "kestrova-win-x64.json").read_text())
        self.assertIn(f"{sha256(out / 'KestrovaSetup.exe')}  KestrovaSetup.exe\n", (out / "SHA256SUMS").read_text())

        # After the signing certificate has expired (it is valid for two days), the
        # timestamped signature still verifies and one without a timestamp does not.
        after_expiry = str(int(time.time()) + 5 * 86400)
        unsigned = Path(os.environ.get("KESTROVA_RELEASE_BUILD", BUILD / "release-build")) / HOST / "KestrovaSetup.exe"
        self.sign(unsigned, self.work / "untimestamped.exe")
        for signed, verdict in ((out / "KestrovaSetup.exe", 0), (self.work / "untimestamped.exe", 1)):
            checked = subprocess.run(["osslsigncode", "verify", "-in", signed, "-CAfile", self.ca,
                                      "-TSA-CAfile", self.tsa_ca, "-time", after_expiry], capture_output=True, text=True)
            self.assertEqual(verdict, checked.returncode, checked.stdout + checked.stderr)

        # Rebuilt elsewhere, some seconds later: the same bytes, and the published file is
        # that build plus its signature, chaining to the test roots (the time stamp's apart).
        started = time.monotonic()
        done = release("--ca", self.ca, "--timestamp-ca", self.tsa_ca, out, script=VERIFY)
        print(f"verify-release: {time.monotonic() - started:.1f} s: {done.stdout}{done.stderr}")
        commit = subprocess.run(["git", "rev-parse", "HEAD"], cwd=REPO, capture_output=True, text=True).stdout.strip()
        self.assertEqual((0, ""), (done.returncode, done.stderr))
        self.assertEqual(f"verify-release: {out} is commit {commit} for {HOST}", done.stdout.splitlines()[-1].split(",")[0])
        self.assertIn("verify-release: signer subject: CN=Token Publisher", done.stdout)

        buildinfo = (out / "BUILDINFO").read_text()
        # (The signature check's own refusals are the unit tests'; here, that verify-release
        # honours one.)
        cases = [  # (what, replaced files, --ca, words of the one line); the first two rebuild
            ("signed under another root", {}, ["--ca", self.tsa_ca], "does not chain to a root"),
            ("BUILDINFO naming another digest", {"BUILDINFO": buildinfo.replace(
                f"setup-sha256: {sha256(unsigned)}", "setup-sha256: " + "0" * 64).encode()}, [], "BUILDINFO records " + "0" * 64),
            ("built with uncommitted changes", {"BUILDINFO": buildinfo.replace(
                "uncommitted-changes: no", "uncommitted-changes: yes").encode()}, [], "not reproducible"),
            ("a link in the tree", {"downloads/desktop/notes": "/etc/shadow"}, [], "is a symbolic link"),
            ("a file SHA256SUMS does not list", {"downloads/desktop/notes": b"secret"}, [], "not listed"),
        ]
        for what, changes, options, words in cases:
            with self.subTest(what):
                copy = self.copy_with(out, "tampered", {k: v for k, v in changes.items() if k != "downloads/desktop/notes"})
                notes = changes.get("downloads/desktop/notes")
                if isinstance(notes, str):
                    (copy / "downloads/desktop/notes").symlink_to(notes)
                elif notes:
                    (copy / "downloads/desktop/notes").write_bytes(notes)
                done = release(*options, copy, script=VERIFY)
                self.assertEqual(1, done.returncode, done.stdout + done.stderr)
                self.assertEqual(1, len(done.stderr.splitlines()), done.stderr)
                self.assertIn(words, done.stderr)
        self.assertEqual(2, release(script=VERIFY).returncode)


def upload_tree(folder, reference, installer_name, setup_bytes, manifest):
    """An upload tree as scripts/release makes it, built cheaply: the reference release
    linked under the default name and installer_name, the manifest text, a setup."""
    desktop = folder / "downloads" / "desktop"
    desktop.mkdir(parents=True)
    for name in {DEFAULT_NAME, installer_name}:
        os.link(reference, desktop / name)
    (desktop / "kestrova-win-x64.json").write_text(manifest)
    (folder / "KestrovaSetup.exe").write_bytes(setup_bytes)
    files = sorted(p for p in folder.rglob("*") if p.is_file())
    (folder / "SHA256SUMS").write_text("".join(f"{sha256(p)}  {p.relative_to(folder).as_posix()}\n" for p in files))
    return folder


def snapshot(folder):
    """Every file, folder and link below folder, links not followed: inode, mode, time, size."""
    return {(Path(top) / name).relative_to(folder).as_posix(): tuple(
                getattr(os.lstat(Path(top) / name), key) for key in ("st_ino", "st_mode", "st_mtime_ns", "st_size"))
            for top, folders, files in os.walk(folder) for name in folders + files}


@unittest.skipUnless(os.environ.get("KESTROVA_SANDBOX") == "1", "needs scripts/rehearsal/sandbox (scripts/test)")
class Publish(unittest.TestCase):
    maxDiff = None

    def publish(self, tree, *args):
        return subprocess.run([str(PUBLISH), "--tree", str(tree), "--to", str(self.www),
                               "--tool", str(BUILD / "kestrova-release.exe"), *args],
                              stdin=subprocess.DEVNULL, capture_output=True, text=True, errors="replace")

    def assertPublished(self, done, tree):
        self.assertEqual((0, ""), (done.returncode, done.stderr), done.stdout)
        print(done.stdout)
        for name in ("downloads/desktop/kestrova-win-x64.json", "KestrovaSetup.exe"):
            self.assertEqual((tree / name).read_bytes(), (self.www / name).read_bytes(), name)

    def test_publish_in_order_refuse_stop_and_roll_back(self):
        reference, digest = reference_release()
        work = work_dir() / "publish"
        shutil.rmtree(work, ignore_errors=True)
        self.www = work / "www"
        self.www.mkdir(parents=True)
        manifest = work / "manifest.json"
        windows = lambda path: "Z:" + str(path).replace("/", "\\")  # noqa: E731
        subprocess.run(["wine", BUILD / "kestrova-release.exe", "manifest", "--installer", windows(reference), "--url",
                        f"https://download.kestrova.example/downloads/desktop/{DEFAULT_NAME}", "--version",
                        "3.2.0", "--out", windows(manifest)], check=True, capture_output=True, stdin=subprocess.DEVNULL)
        text = manifest.read_text()
        setup = (BUILD / "KestrovaSetup.exe").read_bytes()

        def release_of(name, version):
            return upload_tree(work / version, reference, name, setup + version.encode(),
                               text.replace(DEFAULT_NAME, name).replace('"3.2.0"', f'"{version}"'))
        first = release_of(DEFAULT_NAME, "3.2.0")
        second = release_of("kestrova-3.2.1-win-x64.exe", "3.2.1")
        unserved = release_of("kestrova-3.3.0-win-x64.exe", "3.3.0")
        unserved_location = "location = /downloads/desktop/kestrova-3.3.0-win-x64.exe { return 404; }"
        with NginxHost(self.www, extra=unserved_location) as host:
            with self.subTest("first release into an empty folder, in order"):
                done = self.publish(first)
                self.assertPublished(done, first)
                steps = [line.split()[0:2] for line in done.stdout.splitlines()
                         if line.startswith(("  uploaded", "publish: checking"))]
                self.assertEqual([["uploaded", f"downloads/desktop/{DEFAULT_NAME}"], ["publish:", "checking"],
                                  ["uploaded", "downloads/desktop/kestrova-win-x64.json"], ["publish:", "checking"],
                                  ["uploaded", "KestrovaSetup.exe"], ["uploaded", "SHA256SUMS"]], steps)
                self.assertIn("    manifest Cache-Control: no-cache\n", done.stdout)
                self.assertIn("    installer Cache-Control: public, max-age=31536000, immutable\n", done.stdout)
                self.assertEqual({0o644, 0o755}, {p.stat().st_mode & 0o7777 for p in self.www.rglob("*")})

            with self.subTest("dry run of the next release changes nothing"):
                before = snapshot(self.www)
                done = self.publish(second, "--dry-run")
                self.assertEqual(0, done.returncode, done.stdout + done.stderr)
                self.assertIn("  upload   downloads/desktop/kestrova-3.2.1-win-x64.exe\n", done.stdout)
                self.assertIn(f"  skip     downloads/desktop/{DEFAULT_NAME} (identical)\n", done.stdout)
                self.assertEqual(before, snapshot(self.www))

            with self.subTest("the next release, through a folder link, in folders of mode 2775: all kept, served"):
                # downloads/desktop becomes a link to a folder elsewhere in the web root.
                store, desktop = self.www / "store", self.www / "downloads/desktop"
                store.mkdir()
                desktop.rename(store / "desktop")
                desktop.symlink_to("../store/desktop")
                for folder in (self.www / "downloads", store / "desktop"):
                    folder.chmod(0o2775)
                self.assertPublished(self.publish(second), second)
                self.assertTrue(desktop.is_symlink())
                self.assertTrue((store / "desktop" / DEFAULT_NAME).is_file())
                self.assertTrue((store / "desktop/kestrova-3.2.1-win-x64.exe").is_file())
                self.assertEqual([0o2775] * 2,
                                 [f.stat().st_mode & 0o7777 for f in (self.www / "downloads", store / "desktop")])
                self.assertIn(("GET", "/downloads/desktop/kestrova-3.2.1-win-x64.exe", "200"), host.requests())

            with self.subTest("an installer not served: stops before the manifest"):
                done = self.publish(unserved)
                self.assertEqual((1, 1), (done.returncode, len(done.stderr.splitlines())), done.stdout + done.stderr)
                self.assertRegex(done.stderr, "^publish: .*kestrova-3.3.0-win-x64.exe")
                self.assertEqual((second / "downloads/desktop/kestrova-win-x64.json").read_text(),
                                 (self.www / "downloads/desktop/kestrova-win-x64.json").read_text())

            with self.subTest("publishing the first release again rolls back"):
                self.assertPublished(self.publish(first), first)
                live = subprocess.run(["wine", BUILD / "kestrova-release.exe", "check", "--live"],
                                      capture_output=True, text=True, stdin=subprocess.DEVNULL)
                self.assertEqual((0, ""), (live.returncode, live.stderr), live.stdout)
                self.assertIn("installer Cache-Control: public, max-age=31536000, immutable\n", live.stdout)

        with self.subTest("other bytes under a published name: refused, nothing changes"):
            other = work / "other"
            (other / "downloads" / "desktop").mkdir(parents=True)
            (other / "downloads/desktop/kestrova-3.2.1-win-x64.exe").write_bytes(b"MZ other build")
            (other / "downloads/desktop/kestrova-win-x64.json").write_text("{}\n")
            (other / "SHA256SUMS").write_text("".join(f"{sha256(other / name)}  {name}\n" for name in (
                "downloads/desktop/kestrova-3.2.1-win-x64.exe", "downloads/desktop/kestrova-win-x64.json")))
            before = snapshot(self.www)
            done = self.publish(other, "--no-live-check")
            self.assertEqual(1, done.returncode, done.stdout)
            self.assertEqual(1, len(done.stderr.splitlines()), done.stderr)
            self.assertIn(f"kestrova-3.2.1-win-x64.exe holds other bytes (SHA-256 {digest})",
                          done.stderr)
            self.assertEqual(before, snapshot(self.www))

        # Refused before anything changes: links and unlisted files in a tree, and on
        # the host a link where the tree has a file, or a folder link out of the web root.
        linked = shutil.copytree(first, work / "linked", copy_function=os.link)
        (linked / "KestrovaSetup.exe").unlink()
        (linked / "KestrovaSetup.exe").symlink_to(first / "KestrovaSetup.exe")  # the same bytes
        unlisted = shutil.copytree(first, work / "unlisted", copy_function=os.link)
        (unlisted / "notes.txt").write_text("not in SHA256SUMS\n")
        installer, outside = self.www / "store/desktop/kestrova-3.3.0-win-x64.exe", work / "outside"
        outside.mkdir()
        for what, tree, relink, words in [
                ("a symbolic link in the tree", linked, None, "^publish: --tree: .*KestrovaSetup.exe"),
                ("a file in the tree that SHA256SUMS does not list", unlisted, None, "^publish: --tree: .*notes.txt"),
                ("an installer on the host that is a symbolic link", unserved, (installer, reference),
                 f"/downloads/desktop/{installer.name} is a symbolic link"),
                ("a folder link on the host out of the web root", first, (desktop, outside),
                 "/downloads/desktop is a symbolic link to")]:
            with self.subTest(what + ": refused, nothing changes"):
                if relink:
                    relink[0].unlink()
                    relink[0].symlink_to(relink[1])
                before = snapshot(self.www)
                done = self.publish(tree)
                self.assertEqual((1, 1), (done.returncode, len(done.stderr.splitlines())), done.stdout + done.stderr)
                self.assertRegex(done.stderr, words)
                self.assertEqual(before, snapshot(self.www))
        self.assertEqual([], list(outside.iterdir()))

        with self.subTest("a destination that does not exist"):
            done = subprocess.run([str(PUBLISH), "--tree", first, "--to", work / "nowhere", "--no-live-check"],
                                  capture_output=True, text=True)
            self.assertEqual((1, 1), (done.returncode, len(done.stderr.splitlines())), done.stderr)
            self.assertIn("cannot read", done.stderr)
            self.assertFalse((work / "nowhere").exists())
        shutil.rmtree(work)


if __name__ == "__main__":
    unittest.main()
