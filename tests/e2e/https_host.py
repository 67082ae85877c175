"""Scriptable local download host for the end-to-end and WinHTTP unit tests.

Only runs inside scripts/rehearsal/sandbox, where download.kestrova.example and
mirror.kestrova.example resolve to 127.0.0.1 and the sandbox's test CA is the
only trusted root. Serves https on 127.0.0.1:443 (TLS 1.2+) by route, anything
else 404, and http on 127.0.0.1:80 (any request gets a 200 and is recorded).

    with HttpsHost({MANIFEST_PATH: Reply(200, b"{}")}) as host:
        ...run the program...
    host.requests        # ["/downloads/desktop/kestrova-win-x64.json"]

For the C++ unit tests under CTest, serving unit_routes():
    https_host.py --unit [--daemon --pid-file F --log-file F]
    https_host.py --stop --pid-file F
"""

import argparse
import http.client
import os
import random
import select
import signal
import socket
import ssl
import sys
import threading
import time
from dataclasses import dataclass

DOWNLOAD_HOST = "download.kestrova.example"
MIRROR_HOST = "mirror.kestrova.example"
MANIFEST_PATH = "/downloads/desktop/kestrova-win-x64.json"

WRITE_SIZE = 16384    # body bytes per write (one TLS record, one chunk)
IDLE_TIMEOUT = 30.0   # seconds a connection may sit idle
HOLD_TIMEOUT = 30.0   # longest a held body waits for its event


def certificate(kind):
    """(certfile, keyfile) of the sandbox's "trusted" or "untrusted" certificate."""
    if os.environ.get("KESTROVA_SANDBOX") != "1":
        raise RuntimeError("the local download host only runs inside scripts/rehearsal/sandbox")
    prefix = {"trusted": "KESTROVA_TLS", "untrusted": "KESTROVA_UNTRUSTED"}[kind]
    return os.environ[prefix + "_CERT"], os.environ[prefix + "_KEY"]


class Reply:
    """What the host sends for one request.

    body        bytes, an iterable of bytes, or a function returning either
    chunked     chunked transfer encoding instead of Content-Length
    drop_after  close the TCP connection (no TLS close_notify) after this many body bytes
    hold_body   a threading.Event the body waits for once the headers are sent
    """

    def __init__(self, status=200, body=b"", headers=(), *, chunked=False,
                 drop_after=None, hold_body=None):
        self.status, self.body, self.chunked = status, body, chunked
        self.headers = list(headers.items() if isinstance(headers, dict) else headers)
        self.drop_after, self.hold_body = drop_after, hold_body

    @classmethod
    def redirect(cls, location, status=302):
        return cls(status, b"", [("Location", location)])

    @classmethod
    def text(cls, text, status=200, content_type="application/json"):
        return cls(status, text.encode("utf-8"), [("Content-Type", content_type)])

    def pieces(self):
        body = self.body() if callable(self.body) else self.body
        for block in [body] if isinstance(body, (bytes, bytearray)) else body:
            for i in range(0, len(block), WRITE_SIZE):
                yield bytes(block[i:i + WRITE_SIZE])


NOT_FOUND = Reply(404, b"not found\n", [("Content-Type", "text/plain")])
PLAIN_HTTP = Reply(200, b"plain http\n", [("Content-Type", "text/plain")])


@dataclass
class Request:
    scheme: str
    method: str
    target: str
    host: str
    headers: dict  # lower-case names

    @property
    def path(self):
        return self.target.split("?", 1)[0]


def read_requests(conn, scheme):
    """The HTTP/1.1 requests arriving on conn, until it closes."""
    buf = b""
    while True:
        while b"\r\n\r\n" not in buf:
            data = conn.recv(65536)
            if not data or len(buf) > 65536:
                return
            buf += data
        head, buf = buf.split(b"\r\n\r\n", 1)
        first, *lines = head.decode("latin-1").split("\r\n")
        method, target, _ = first.split(" ")
        headers = {}
        for line in lines:
            name, _, value = line.partition(":")
            headers[name.strip().lower()] = value.strip()
        host = headers.get("host", "").split(":")[0].lower()
        yield Request(scheme, method, target, host, headers)


class HttpsHost:
    """The local download host; use as a context manager."""

    def __init__(self, routes, cert="trusted", plain=True):
        self.routes, self.cert, self.plain = routes, cert, plain
        self.log = []                               # every Request, in order
        self.connections = {"https": 0, "http": 0}  # accepted TCP connections
        self._headers_sent = set()                  # paths
        self._cond = threading.Condition()
        self._stopping = threading.Event()
        self._sockets, self._acceptors, self._threads, self._conns = [], [], [], set()

    @property
    def requests(self):
        """Targets of the https requests, in order."""
        return [r.target for r in self.log if r.scheme == "https"]

    @property
    def plain_requests(self):
        return [r.target for r in self.log if r.scheme == "http"]

    def wait_headers_sent(self, path, timeout=10.0):
        """True once the response headers for path have been sent."""
        with self._cond:
            return self._cond.wait_for(lambda: path in self._headers_sent, timeout)

    def __enter__(self):
        try:
            ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            ctx.minimum_version = ssl.TLSVersion.TLSv1_2
            ctx.load_cert_chain(*certificate(self.cert))
            self._listen(443, "https", ctx)
            if self.plain:
                self._listen(80, "http", None)
        except BaseException:
            self.__exit__()
            raise
        return self

    def __exit__(self, *exc):
        self._stopping.set()
        for thread in self._acceptors:
            thread.join(5.0)
        for sock in self._sockets:
            sock.close()
        with self._cond:
            conns, threads = list(self._conns), list(self._threads)
        for conn in conns:
            try:
                conn.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
        deadline = time.monotonic() + 5.0
        for thread in threads:
            thread.join(max(0.0, deadline - time.monotonic()))
        if any(thread.is_alive() for thread in threads):
            raise RuntimeError("host connection threads did not end")

    def _listen(self, port, scheme, ctx):
        sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self._sockets.append(sock)
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        sock.bind(("127.0.0.1", port))
        sock.listen(64)
        sock.settimeout(0.1)
        thread = threading.Thread(target=self._accept, args=(sock, scheme, ctx), daemon=True)
        self._acceptors.append(thread)
        thread.start()

    def _accept(self, sock, scheme, ctx):
        while not self._stopping.is_set():
            try:
                raw, _ = sock.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            thread = threading.Thread(target=self._serve, args=(raw, scheme, ctx), daemon=True)
            with self._cond:
                self.connections[scheme] += 1
                self._conns.add(raw)
                self._threads = [t for t in self._threads if t.is_alive()] + [thread]
            thread.start()

    def _serve(self, raw, scheme, ctx):
        conn = raw
        try:
            raw.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            raw.settimeout(IDLE_TIMEOUT)
            if ctx is not None:
                conn = ctx.wrap_socket(raw, server_side=True)
                with self._cond:
                    self._conns.add(conn)
            for request in read_requests(conn, scheme):
                with self._cond:
                    self.log.append(request)
                if scheme == "http":
                    reply = PLAIN_HTTP
                else:
                    reply = self.routes.get(request.target, self.routes.get(request.path, NOT_FOUND))
                if self._stopping.is_set() or not self._send(conn, request, reply):
                    return
        except (OSError, ValueError):
            pass  # the client went away or refused the certificate: often the point of a test
        finally:
            with self._cond:
                self._conns.discard(raw)
                self._conns.discard(conn)
            conn.close()

    def _send(self, conn, request, reply):
        """Sends one reply; False when the connection is to be closed."""
        keep_alive = request.headers.get("connection", "").lower() != "close"
        pieces = reply.pieces()
        lines = [f"HTTP/1.1 {reply.status} {http.client.responses.get(reply.status, 'Status')}"]
        if reply.chunked:
            lines.append("Transfer-Encoding: chunked")
        else:
            pieces = list(pieces)
            lines.append(f"Content-Length: {sum(map(len, pieces))}")
        lines.append("Connection: " + ("keep-alive" if keep_alive else "close"))
        lines += [f"{name}: {value}" for name, value in reply.headers]
        conn.sendall(("\r\n".join(lines) + "\r\n\r\n").encode("latin-1"))
        with self._cond:
            self._headers_sent.add(request.path)
            self._cond.notify_all()

        if reply.hold_body is not None:
            deadline = time.monotonic() + HOLD_TIMEOUT
            while not reply.hold_body.wait(0.05):
                if self._stopping.is_set() or time.monotonic() > deadline:
                    return False
        sent, limit = 0, reply.drop_after
        for piece in pieces:
            if limit is not None:
                piece = piece[:limit - sent]
            if piece:
                conn.sendall(b"%x\r\n%s\r\n" % (len(piece), piece) if reply.chunked else piece)
                sent += len(piece)
            if limit is not None and sent >= limit:
                # A TCP close under the TLS session, like a connection lost mid-transfer.
                conn.shutdown(socket.SHUT_RDWR)
                return False
        if reply.chunked:
            conn.sendall(b"0\r\n\r\n")
        return keep_alive


# --- fixed routes for the WinHTTP unit tests -------------------------------------

def unit_chunks():
    """100000 bytes, byte i = (i * 31 + 7) % 251, in writes of 1..300 bytes with
    tiny pauses, so the client sees data trickle in."""
    body = bytes((i * 31 + 7) % 251 for i in range(100000))
    sizes = random.Random(20240611)
    i = 0
    while i < len(body):
        n = sizes.randint(1, 300)
        yield body[i:i + n]
        i += n
        time.sleep(0.0003)


def unit_routes():
    octets = [("Content-Type", "application/octet-stream")]
    return {"/unit/empty": Reply(200, b"", octets),
            "/unit/chunks": Reply(200, unit_chunks, octets, chunked=True),
            "/unit/zero": Reply(200, b"a\0b", octets)}


# --- command line -----------------------------------------------------------------

def host_alive(pid):
    # A process that has ended (even one not yet reaped) has an empty command line.
    try:
        with open(f"/proc/{pid}/cmdline", "rb") as f:
            return b"https_host.py" in f.read()
    except OSError:
        return False


def stop_host(pid_file):
    try:
        with open(pid_file) as f:
            pid = int(f.read())
    except (OSError, ValueError):
        pid = None
    if pid and host_alive(pid):
        os.kill(pid, signal.SIGTERM)
        deadline = time.monotonic() + 10.0
        while host_alive(pid) and time.monotonic() < deadline:
            time.sleep(0.05)
        if host_alive(pid):
            os.kill(pid, signal.SIGKILL)
            print(f"https_host: host {pid} did not stop; killed")
            return 1
    if os.path.exists(pid_file):
        os.unlink(pid_file)
    print(f"https_host: host {pid} stopped" if pid else f"https_host: no pid in {pid_file}")
    return 0


def serve_unit(pid_file, ready_fd=None):
    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    signal.signal(signal.SIGINT, lambda *_: stop.set())
    with HttpsHost(unit_routes(), plain=False) as host:
        if pid_file:
            with open(pid_file, "w") as f:
                f.write(f"{os.getpid()}\n")
        print(f"https_host: serving {sorted(host.routes)} on 127.0.0.1:443", flush=True)
        if ready_fd is not None:
            os.write(ready_fd, b"ok")
            os.close(ready_fd)
        while not stop.wait(0.5):
            pass
    for r in host.log:
        print(f"https_host: served {r.method} {r.target} (host {r.host})")
    if pid_file and os.path.exists(pid_file):
        os.unlink(pid_file)


def main():
    ap = argparse.ArgumentParser(description="Local download host for the tests (inside scripts/rehearsal/sandbox).")
    ap.add_argument("--unit", action="store_true", help="serve the fixed routes of the WinHTTP unit tests")
    ap.add_argument("--daemon", action="store_true", help="run in the background once listening")
    ap.add_argument("--pid-file", help="file to write the host's pid to (and to stop it by)")
    ap.add_argument("--log-file", default=os.devnull, help="where a background host writes its output")
    ap.add_argument("--stop", action="store_true", help="stop the host named in --pid-file")
    args = ap.parse_args()
    if args.stop:
        return stop_host(args.pid_file) if args.pid_file else ap.error("--stop needs --pid-file")
    if not args.unit:
        ap.error("nothing to serve: use --unit")
    if not args.daemon:
        return serve_unit(args.pid_file)

    # Background: the child leaves the caller's terminal and pipes (CTest waits
    # for a test's pipes to close) and reports through a pipe once it listens.
    r, w = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(r)
        os.setsid()
        out = os.open(args.log_file, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
        os.dup2(os.open(os.devnull, os.O_RDONLY), 0)
        os.dup2(out, 1)
        os.dup2(out, 2)
        return serve_unit(args.pid_file, w)  # a traceback goes to the log file
    os.close(w)
    ready = select.select([r], [], [], 15.0)[0] and os.read(r, 2) == b"ok"
    os.close(r)
    if ready:
        print(f"https_host: listening on 127.0.0.1:443, pid {pid}")
        return 0
    print(f"https_host: host did not start (see {args.log_file})", file=sys.stderr)
    if host_alive(pid):
        os.kill(pid, signal.SIGKILL)
    return 1


if __name__ == "__main__":
    sys.exit(main())
