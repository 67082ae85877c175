"""Scriptable local download host for the end-to-end and WinHTTP unit tests.

Listens on 127.0.0.1:443 (TLS 1.2 and newer) and, for tests that check a
redirect to plain http is refused, on 127.0.0.1:80. Only meant to run inside
tests/e2e/sandbox, where download.kestrova.example and mirror.kestrova.example
resolve to 127.0.0.1 and the sandbox's test CA is the only trusted root.

In a test:

    with HttpsHost({MANIFEST_PATH: Reply(body=b"{}")}) as host:
        ...run the program...
    host.requests        # ["/downloads/desktop/kestrova-win-x64.json"]

A route maps a request path (or full target with query) to a Reply, to a list
of Replies (served in turn, the last one repeats), or to a function of the
Request returning a Reply. Unknown paths get 404.

As a command, for the C++ unit tests under CTest:

    https_host.py --unit [--daemon --pid-file F --log-file F]
    https_host.py --stop --pid-file F

serves the fixed routes in UNIT_ROUTES (see unit_routes()).
"""

import argparse
import os
import random
import signal
import socket
import ssl
import sys
import threading
import time
from dataclasses import dataclass, field
from email.utils import formatdate

DOWNLOAD_HOST = "download.kestrova.example"
MIRROR_HOST = "mirror.kestrova.example"
MANIFEST_PATH = "/downloads/desktop/kestrova-win-x64.json"
MANIFEST_URL = f"https://{DOWNLOAD_HOST}{MANIFEST_PATH}"

LISTEN_ADDRESS = "127.0.0.1"
HTTPS_PORT = 443
HTTP_PORT = 80

# How long a connection may sit idle between requests, and the longest a
# scripted pause (hold_body) waits when the test never releases it.
IDLE_TIMEOUT = 30.0
DEFAULT_HOLD_TIMEOUT = 30.0

REASONS = {
    200: "OK", 204: "No Content", 206: "Partial Content", 299: "Whatever",
    300: "Multiple Choices", 301: "Moved Permanently", 302: "Found",
    303: "See Other", 304: "Not Modified", 307: "Temporary Redirect",
    308: "Permanent Redirect", 400: "Bad Request", 403: "Forbidden",
    404: "Not Found", 500: "Internal Server Error", 503: "Service Unavailable",
}


class SandboxMissing(RuntimeError):
    pass


def certificate(kind):
    """(certfile, keyfile) of the sandbox's trusted or untrusted server certificate."""
    if os.environ.get("KESTROVA_SANDBOX") != "1":
        raise SandboxMissing(
            "the local download host only runs inside tests/e2e/sandbox "
            "(it binds 127.0.0.1:443 and needs the sandbox's certificates)")
    prefix = {"trusted": "KESTROVA_TLS", "untrusted": "KESTROVA_UNTRUSTED"}[kind]
    return os.environ[prefix + "_CERT"], os.environ[prefix + "_KEY"]


def pattern_bytes(size, offset=0):
    """A known, non-repeating-looking body: byte i is (i * 31 + 7) % 251.

    The C++ unit tests compute the same sequence to check what they read."""
    return bytes((i * 31 + 7) % 251 for i in range(offset, offset + size))


class Reply:
    """What the host sends for one request.

    status, reason     status line (reason defaults to a standard phrase)
    headers            dict or list of (name, value); a Content-Length or
                       Transfer-Encoding given here is sent as is and the host
                       adds no framing of its own
    body               bytes; or an iterable of bytes; or a function returning
                       one (called per request, so the reply can repeat)
    length             Content-Length for a body that isn't bytes
    chunked            chunked transfer encoding, no Content-Length
                       (without length and not chunked, a non-bytes body is
                       delimited by closing the connection)
    delay_headers      seconds before the status line
    delay_body         seconds between the headers and the first body byte
    hold_body          a threading.Event: the body waits for it after the
                       headers are sent (at most hold_timeout seconds)
    chunk_size         body bytes per write (each write is one TLS record and,
                       when chunked, one HTTP chunk)
    chunk_delay        seconds between body writes
    drop_after         close the TCP connection (no TLS close_notify) after
                       this many body bytes
    keep_alive         keep the connection open for another request
    """

    def __init__(self, status=200, body=b"", headers=None, *, reason=None, length=None,
                 chunked=False, delay_headers=0.0, delay_body=0.0, hold_body=None,
                 hold_timeout=DEFAULT_HOLD_TIMEOUT, chunk_size=16384, chunk_delay=0.0,
                 drop_after=None, keep_alive=True):
        self.status = status
        self.reason = reason or REASONS.get(status, "Status")
        if isinstance(headers, dict):
            headers = list(headers.items())
        self.headers = list(headers or [])
        self.body = body
        self.length = length
        self.chunked = chunked
        self.delay_headers = delay_headers
        self.delay_body = delay_body
        self.hold_body = hold_body
        self.hold_timeout = hold_timeout
        self.chunk_size = max(1, chunk_size)
        self.chunk_delay = chunk_delay
        self.drop_after = drop_after
        self.keep_alive = keep_alive

    @classmethod
    def redirect(cls, location, status=302, **kwargs):
        return cls(status, b"", [("Location", location)], **kwargs)

    @classmethod
    def text(cls, text, status=200, content_type="application/json", **kwargs):
        return cls(status, text.encode("utf-8"),
                   [("Content-Type", content_type)] + list(kwargs.pop("headers", [])), **kwargs)

    def has_header(self, name):
        return any(k.lower() == name.lower() for k, _ in self.headers)

    def body_pieces(self):
        """The body as a sequence of writes of at most chunk_size bytes."""
        body = self.body() if callable(self.body) else self.body
        if isinstance(body, (bytes, bytearray, memoryview)):
            body = [bytes(body)]
        for block in body:
            for i in range(0, len(block), self.chunk_size):
                yield block[i:i + self.chunk_size]


NOT_FOUND = Reply(404, b"not found\n", [("Content-Type", "text/plain")])


@dataclass
class Request:
    scheme: str
    method: str
    target: str
    host: str
    headers: list = field(default_factory=list)
    time: float = 0.0

    @property
    def path(self):
        return self.target.split("?", 1)[0]

    def header(self, name):
        for k, v in self.headers:
            if k.lower() == name.lower():
                return v
        return None


class _Listener:
    def __init__(self, host, port, scheme, ssl_context):
        self.host, self.port, self.scheme, self.ssl_context = host, port, scheme, ssl_context
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind((LISTEN_ADDRESS, port))
        self.sock.listen(64)
        self.sock.settimeout(0.1)
        self.thread = threading.Thread(target=self._accept_loop, name=f"accept:{port}", daemon=True)

    def _accept_loop(self):
        while not self.host._stopping.is_set():
            try:
                conn, _ = self.sock.accept()
            except socket.timeout:
                continue
            except OSError:
                break
            self.host._start_connection(conn, self)


class HttpsHost:
    """The local download host; see the module text. Use as a context manager."""

    def __init__(self, routes=None, *, cert="trusted", plain=True, plain_routes=None,
                 https=True):
        self.routes = dict(routes or {})
        self.plain_routes = plain_routes
        self.cert = cert
        self.plain = plain
        self.https = https
        self.log = []            # every Request, in arrival order
        self.connections = {"https": 0, "http": 0}  # accepted TCP connections
        self.tls_failures = []   # handshakes that failed (e.g. the client rejected the certificate)
        self.errors = []         # unexpected exceptions in connection threads
        self._served = {}        # path -> replies already taken from a list route
        self._headers_sent = {}  # path -> count
        self._bodies_done = {}   # path -> count
        self._cond = threading.Condition()
        self._stopping = threading.Event()
        self._listeners = []
        self._conns = set()
        self._threads = []

    # --- what tests read -------------------------------------------------
    @property
    def requests(self):
        """Paths of the https requests, in order."""
        with self._cond:
            return [r.target for r in self.log if r.scheme == "https"]

    @property
    def plain_requests(self):
        """Paths of the plain http requests, in order."""
        with self._cond:
            return [r.target for r in self.log if r.scheme == "http"]

    def wait_headers_sent(self, path, timeout=10.0, count=1):
        """True once the response headers for path have been sent count times."""
        return self._wait(self._headers_sent, path, count, timeout)

    def wait_body_done(self, path, timeout=10.0, count=1):
        """True once the body for path has been sent in full (or dropped) count times."""
        return self._wait(self._bodies_done, path, count, timeout)

    def wait_request(self, path, timeout=10.0, count=1):
        deadline = time.monotonic() + timeout
        with self._cond:
            while sum(1 for r in self.log if r.target == path or r.path == path) < count:
                left = deadline - time.monotonic()
                if left <= 0:
                    return False
                self._cond.wait(left)
            return True

    def _wait(self, table, path, count, timeout):
        deadline = time.monotonic() + timeout
        with self._cond:
            while table.get(path, 0) < count:
                left = deadline - time.monotonic()
                if left <= 0:
                    return False
                self._cond.wait(left)
            return True

    # --- life cycle ------------------------------------------------------
    def start(self):
        try:
            if self.https:
                if isinstance(self.cert, tuple):
                    certfile, keyfile = self.cert
                else:
                    certfile, keyfile = certificate(self.cert)
                ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
                ctx.minimum_version = ssl.TLSVersion.TLSv1_2
                ctx.load_cert_chain(certfile, keyfile)
                self._listeners.append(_Listener(self, HTTPS_PORT, "https", ctx))
            if self.plain:
                self._listeners.append(_Listener(self, HTTP_PORT, "http", None))
        except BaseException:
            self.stop()
            raise
        for listener in self._listeners:
            listener.thread.start()
        return self

    def stop(self, timeout=5.0):
        self._stopping.set()
        for listener in self._listeners:
            if listener.thread.is_alive():
                listener.thread.join(timeout)
            listener.sock.close()
        with self._cond:
            conns = list(self._conns)
        for conn in conns:
            try:
                conn.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
        deadline = time.monotonic() + timeout
        for thread in list(self._threads):
            thread.join(max(0.0, deadline - time.monotonic()))
        stuck = [t.name for t in self._threads if t.is_alive()]
        self._listeners = []
        if stuck:
            raise RuntimeError(f"host connection threads did not end: {stuck}")

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
        return False

    # --- serving ---------------------------------------------------------
    def _start_connection(self, conn, listener):
        t = threading.Thread(target=self._serve_connection, args=(conn, listener),
                             name=f"conn:{listener.port}", daemon=True)
        with self._cond:
            self.connections[listener.scheme] += 1
            self._conns.add(conn)
            self._threads = [x for x in self._threads if x.is_alive()] + [t]
        t.start()

    def _serve_connection(self, raw, listener):
        conn = raw
        try:
            raw.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            raw.settimeout(IDLE_TIMEOUT)
            if listener.ssl_context is not None:
                try:
                    conn = listener.ssl_context.wrap_socket(raw, server_side=True)
                except (ssl.SSLError, OSError) as e:
                    with self._cond:
                        self.tls_failures.append(str(e))
                        self._cond.notify_all()
                    return
                with self._cond:
                    self._conns.add(conn)
            reader = _Reader(conn)
            while not self._stopping.is_set():
                request = reader.read_request(listener.scheme)
                if request is None:
                    return
                with self._cond:
                    self.log.append(request)
                    self._cond.notify_all()
                reply = self._reply_for(request, listener.scheme)
                if not self._send(conn, request, reply):
                    return
        except (OSError, ssl.SSLError):
            pass  # the client went away; that's often the point of a test
        except Exception as e:  # a bug in a route function or in the host
            with self._cond:
                self.errors.append(repr(e))
        finally:
            with self._cond:
                self._conns.discard(raw)
                self._conns.discard(conn)
            try:
                conn.close()
            except OSError:
                pass

    def _reply_for(self, request, scheme):
        if scheme == "http" and self.plain_routes is None:
            return Reply(200, b"plain http\n", [("Content-Type", "text/plain")])
        routes = self.routes if scheme == "https" else self.plain_routes
        route = routes.get(request.target, routes.get(request.path))
        if route is None:
            return NOT_FOUND
        if callable(route) and not isinstance(route, Reply):
            return route(request)
        if isinstance(route, (list, tuple)):
            with self._cond:
                n = self._served.get(request.path, 0)
                self._served[request.path] = n + 1
            return route[min(n, len(route) - 1)]
        return route

    def _sleep(self, seconds):
        """A scripted pause that still ends promptly when the host stops."""
        return not self._stopping.wait(seconds) if seconds > 0 else True

    def _send(self, conn, request, reply):
        """Sends one reply. False when the connection is to be closed."""
        if not self._sleep(reply.delay_headers):
            return False
        keep_alive = reply.keep_alive and (request.header("Connection") or "").lower() != "close"
        head_only = request.method == "HEAD" or reply.status in (204, 304)
        framing = "given"
        lines = [f"HTTP/1.1 {reply.status} {reply.reason}"]
        if not (reply.has_header("Content-Length") or reply.has_header("Transfer-Encoding")):
            if reply.chunked:
                lines.append("Transfer-Encoding: chunked")
                framing = "chunked"
            elif isinstance(reply.body, (bytes, bytearray)) or reply.length is not None:
                n = len(reply.body) if reply.length is None else reply.length
                lines.append(f"Content-Length: {n}")
                framing = "length"
            else:
                framing = "close"
                keep_alive = False
        if not reply.has_header("Date"):
            lines.append("Date: " + formatdate(usegmt=True))
        if not reply.has_header("Server"):
            lines.append("Server: kestrova-test-host")
        if not reply.has_header("Connection"):
            lines.append("Connection: " + ("keep-alive" if keep_alive else "close"))
        lines += [f"{k}: {v}" for k, v in reply.headers]
        conn.sendall(("\r\n".join(lines) + "\r\n\r\n").encode("latin-1"))
        with self._cond:
            self._headers_sent[request.path] = self._headers_sent.get(request.path, 0) + 1
            self._cond.notify_all()

        complete = True
        try:
            if not head_only:
                complete = self._send_body(conn, reply, framing)
        finally:
            with self._cond:
                self._bodies_done[request.path] = self._bodies_done.get(request.path, 0) + 1
                self._cond.notify_all()
        return complete and keep_alive

    def _send_body(self, conn, reply, framing):
        if reply.hold_body is not None:
            deadline = time.monotonic() + reply.hold_timeout
            while not reply.hold_body.wait(0.05):
                if self._stopping.is_set() or time.monotonic() > deadline:
                    return False
        if not self._sleep(reply.delay_body):
            return False
        sent = 0
        first = True
        for piece in reply.body_pieces():
            if not first and not self._sleep(reply.chunk_delay):
                return False
            first = False
            if reply.drop_after is not None and sent + len(piece) > reply.drop_after:
                piece = piece[:reply.drop_after - sent]
                if piece:
                    conn.sendall(self._frame(piece, framing))
                self._drop(conn)
                return False
            if piece:
                conn.sendall(self._frame(piece, framing))
                sent += len(piece)
        if reply.drop_after is not None and sent >= reply.drop_after:
            self._drop(conn)
            return False
        if framing == "chunked":
            conn.sendall(b"0\r\n\r\n")
        return framing != "close"

    @staticmethod
    def _frame(piece, framing):
        if framing == "chunked":
            return b"%x\r\n" % len(piece) + piece + b"\r\n"
        return piece

    @staticmethod
    def _drop(conn):
        # Plain TCP close under the TLS session: the client sees the stream end
        # without close_notify, like a connection lost mid-transfer.
        try:
            conn.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass


class _Reader:
    """Reads HTTP/1.1 requests from a (TLS) socket."""

    MAX_HEAD = 64 * 1024

    def __init__(self, conn):
        self.conn = conn
        self.buf = b""

    def read_request(self, scheme):
        while b"\r\n\r\n" not in self.buf:
            if len(self.buf) > self.MAX_HEAD:
                return None
            try:
                data = self.conn.recv(65536)
            except socket.timeout:
                return None
            if not data:
                return None
            self.buf += data
        head, self.buf = self.buf.split(b"\r\n\r\n", 1)
        lines = head.decode("latin-1").split("\r\n")
        parts = lines[0].split(" ")
        if len(parts) != 3:
            return None
        method, target, _ = parts
        headers = []
        for line in lines[1:]:
            name, _, value = line.partition(":")
            headers.append((name.strip(), value.strip()))
        request = Request(scheme, method, target, "", headers, time.monotonic())
        request.host = (request.header("Host") or "").split(":")[0].lower()
        # A request body (none expected from the program) is read and dropped.
        length = int(request.header("Content-Length") or 0)
        while len(self.buf) < length:
            data = self.conn.recv(65536)
            if not data:
                return None
            self.buf += data
        self.buf = self.buf[length:]
        return request


# --- fixed routes for the WinHTTP unit tests ----------------------------------

UNIT_CHUNKS_SIZE = 100000


def _unit_chunks():
    # Many small writes (1..300 bytes, one TLS record and one HTTP chunk each)
    # with tiny pauses, so the client sees data trickle in.
    body = pattern_bytes(UNIT_CHUNKS_SIZE)
    sizes = random.Random(20240611)
    i = 0
    while i < len(body):
        n = sizes.randint(1, 300)
        yield body[i:i + n]
        i += n
        time.sleep(0.0003)


def unit_routes():
    """/unit/empty: 200, empty body (Content-Length: 0).
    /unit/chunks: 200, pattern_bytes(100000), chunked, in writes of 1..300 bytes.
    /unit/zero: 200, the 3 bytes 'a', NUL, 'b' (Content-Length: 3).
    Anything else: 404."""
    octets = [("Content-Type", "application/octet-stream")]
    return {
        "/unit/empty": Reply(200, b"", octets),
        "/unit/chunks": Reply(200, _unit_chunks, octets, chunked=True, chunk_size=300),
        "/unit/zero": Reply(200, b"a\0b", octets),
    }


# --- command line ---------------------------------------------------------------

def _process_running(pid):
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("State:"):
                    return line.split()[1] != "Z"
    except OSError:
        return False
    return False


def _is_host_process(pid):
    try:
        with open(f"/proc/{pid}/cmdline", "rb") as f:
            return b"https_host.py" in f.read()
    except OSError:
        return False


def _stop_from_pid_file(pid_file, timeout=10.0):
    try:
        pid = int(open(pid_file).read().strip())
    except (OSError, ValueError):
        print(f"https_host: no host running (no pid in {pid_file})")
        return 0
    if not _process_running(pid) or not _is_host_process(pid):
        print(f"https_host: host {pid} already ended")
        os.unlink(pid_file)
        return 0
    os.kill(pid, signal.SIGTERM)
    deadline = time.monotonic() + timeout
    while _process_running(pid) and time.monotonic() < deadline:
        time.sleep(0.05)
    if _process_running(pid):
        os.kill(pid, signal.SIGKILL)
        print(f"https_host: host {pid} did not stop in {timeout:.0f} s; killed")
        return 1
    try:
        os.unlink(pid_file)
    except FileNotFoundError:
        pass
    print(f"https_host: host {pid} stopped")
    return 0


def _serve_until_signal(host, ready_fd=None, pid_file=None):
    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    signal.signal(signal.SIGINT, lambda *_: stop.set())
    host.start()
    if pid_file:
        with open(pid_file, "w") as f:
            f.write(f"{os.getpid()}\n")
    print(f"https_host: serving {sorted(host.routes)} on {LISTEN_ADDRESS}:{HTTPS_PORT}", flush=True)
    if ready_fd is not None:
        os.write(ready_fd, b"ok")
        os.close(ready_fd)
    while not stop.wait(0.5):
        pass
    host.stop()
    for r in host.log:
        print(f"https_host: served {r.method} {r.target} (host {r.host})")
    if pid_file:
        try:
            os.unlink(pid_file)
        except FileNotFoundError:
            pass
    return 1 if host.errors else 0


def main(argv=None):
    ap = argparse.ArgumentParser(description="Local download host for the tests (inside tests/e2e/sandbox).")
    ap.add_argument("--unit", action="store_true", help="serve the fixed routes of the WinHTTP unit tests")
    ap.add_argument("--daemon", action="store_true", help="run in the background once listening")
    ap.add_argument("--pid-file", help="file to write the host's pid to (and to stop it by)")
    ap.add_argument("--log-file", help="where a background host writes its output")
    ap.add_argument("--stop", action="store_true", help="stop the host named in --pid-file")
    ap.add_argument("--timeout", type=float, default=15.0, help="seconds to wait for start or stop")
    args = ap.parse_args(argv)

    if args.stop:
        if not args.pid_file:
            ap.error("--stop needs --pid-file")
        return _stop_from_pid_file(args.pid_file, args.timeout)
    if not args.unit:
        ap.error("nothing to serve: use --unit")
    try:
        host = HttpsHost(unit_routes(), plain=False)
        certificate("trusted")
    except SandboxMissing as e:
        print(f"https_host: {e}", file=sys.stderr)
        return 2
    if not args.daemon:
        return _serve_until_signal(host, pid_file=args.pid_file)

    # Background: the child detaches from the caller's terminal and pipes (CTest
    # waits for the pipes of a test to close), and reports readiness via a pipe.
    r, w = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(r)
        os.setsid()
        out = os.open(args.log_file or os.devnull, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
        devnull = os.open(os.devnull, os.O_RDONLY)
        os.dup2(devnull, 0)
        os.dup2(out, 1)
        os.dup2(out, 2)
        try:
            code = _serve_until_signal(host, ready_fd=w, pid_file=args.pid_file)
        except BaseException as e:
            print(f"https_host: {e!r}", flush=True)
            code = 1
        os._exit(code)
    os.close(w)
    deadline = time.monotonic() + args.timeout
    got = b""
    os.set_blocking(r, False)
    while time.monotonic() < deadline:
        try:
            got = os.read(r, 2)
            break
        except BlockingIOError:
            time.sleep(0.02)
    os.close(r)
    if got == b"ok":
        print(f"https_host: listening on {LISTEN_ADDRESS}:{HTTPS_PORT}, pid {pid}")
        return 0
    print(f"https_host: host did not start (see {args.log_file})", file=sys.stderr)
    if _process_running(pid):
        os.kill(pid, signal.SIGKILL)
    return 1


if __name__ == "__main__":
    sys.exit(main())
