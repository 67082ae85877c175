"""nginx from Debian as the download host for large transfers: serves a folder on
127.0.0.1:443 inside scripts/rehearsal/sandbox with the shipped configuration
(docs/download-host/nginx.conf: TLS 1.2 and 1.3, content types, caching headers), its
site lines replaced by the sandbox's address, trusted certificate and the folder. The
scriptable https_host stays for faults.

    with NginxHost(www_root, extra="location = /x { return 404; }") as host:
        ...run the program...
    host.requests()    # [(method, path, status), ...] from nginx's access log
"""

import os
import socket
import subprocess
import tempfile
import time
from pathlib import Path

START_TIMEOUT = 10.0
REPO = Path(__file__).resolve().parents[2]
SHIPPED_CONFIG = REPO / "docs" / "download-host" / "nginx.conf"

CONFIG = """\
daemon off;
master_process off;
user root;
worker_processes 1;
pid {work}/nginx.pid;
error_log {work}/error.log warn;
events {{ worker_connections 64; }}
http {{
    log_format req '$request_method $uri $status';
    access_log {work}/access.log req;
    client_body_temp_path {work}/body;
    proxy_temp_path {work}/proxy;
    fastcgi_temp_path {work}/fastcgi;
    uwsgi_temp_path {work}/uwsgi;
    scgi_temp_path {work}/scgi;
{server}
}}
"""


def server_block(root, cert, key, extra=""):
    """The shipped server block with its lines marked "# site" replaced by the
    sandbox's, and `extra` (directives of a test) added to it."""
    lines = []
    for line in SHIPPED_CONFIG.read_text().splitlines():
        if line.rstrip().endswith("# site"):
            continue
        lines.append(line)
        if line.strip() == "server {":
            lines += ["    listen 127.0.0.1:443 ssl;", f"    ssl_certificate {cert};",
                      f"    ssl_certificate_key {key};", f"    root {root};", extra]
    return "\n".join(lines) + "\n"


class NginxHost:
    def __init__(self, root, extra=""):
        self.root = Path(root).resolve()
        self.extra = extra
        self.work = None
        self.proc = None

    def __enter__(self):
        try:
            socket.create_connection(("127.0.0.1", 443), timeout=0.5).close()
        except OSError:
            pass
        else:  # nginx could not listen, and the test would talk to that other host
            raise RuntimeError("something else already listens on 127.0.0.1:443")
        self.work = Path(tempfile.mkdtemp(prefix="nginx-", dir=os.environ.get("KESTROVA_SANDBOX_DIR")))
        config = self.work / "nginx.conf"
        server = server_block(self.root, os.environ["KESTROVA_TLS_CERT"], os.environ["KESTROVA_TLS_KEY"],
                              self.extra)
        config.write_text(CONFIG.format(work=self.work, server=server))
        self.proc = subprocess.Popen(["nginx", "-p", str(self.work), "-e", str(self.work / "error.log"),
                                      "-c", str(config)], stdin=subprocess.DEVNULL,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + START_TIMEOUT
        while True:
            if self.proc.poll() is not None:
                raise RuntimeError("nginx ended: " + (self.work / "error.log").read_text(errors="replace"))
            try:
                socket.create_connection(("127.0.0.1", 443), timeout=0.5).close()
                return self
            except OSError:
                if time.monotonic() > deadline:
                    self.__exit__(None, None, None)
                    raise RuntimeError("nginx did not listen on 127.0.0.1:443")
                time.sleep(0.05)

    def __exit__(self, *exc):
        if self.proc is not None and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(5)
        return False

    def requests(self):
        try:
            lines = (self.work / "access.log").read_text().splitlines()
        except OSError:
            return []
        return [tuple(line.split(" ", 2)) for line in lines if line]
