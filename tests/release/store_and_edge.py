"""A real S3-compatible store and a caching TLS edge for the publish tests, from Debian's
packages, inside scripts/rehearsal/sandbox:

    with SwiftStore(folder) as store:          # OpenStack Swift with s3api on 127.0.0.1:8080
        store.endpoint, store.credentials_file  # access key test:tester
        with VarnishEdge(folder, store, "kestrova") as edge:   # hitch on 127.0.0.1:443
            ...                                 # edge.purge_command for scripts/publish
            edge.requests()                     # [(method, path, status), ...] as NginxHost gives them

The edge runs the shipped docs/download-host/varnish.vcl and hitch.conf, their lines
marked "# site" replaced. Every process is started here and stopped by its id.
"""

import os
import shutil
import socket
import subprocess
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
SHIPPED = REPO / "docs" / "download-host"
START_TIMEOUT = 20.0
SECRET = "Kx7-publish-secret-Qz4"   # only in the store's own configuration and a credentials file
PORTS = {"object": 6200, "container": 6201, "account": 6202}


def wait_for_port(port, process, what):
    deadline = time.monotonic() + START_TIMEOUT
    while True:
        if process.poll() is not None:
            raise RuntimeError(f"{what} ended with status {process.returncode}")
        try:
            socket.create_connection(("127.0.0.1", port), timeout=0.5).close()
            return
        except OSError:
            if time.monotonic() > deadline:
                raise RuntimeError(f"{what} did not listen on 127.0.0.1:{port} in {START_TIMEOUT} s")
            time.sleep(0.05)


def stop(processes):
    for process in reversed(processes):
        if process.poll() is None:
            process.terminate()
            try:
                process.wait(10)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait(5)


def rss_mb(processes):
    """Resident memory of the processes and their children, in MB."""
    total, pending = 0, [p.pid for p in processes]
    while pending:
        pid = pending.pop()
        try:
            status = Path(f"/proc/{pid}/status").read_text()
            pending += [int(c) for c in Path(f"/proc/{pid}/task/{pid}/children").read_text().split()]
        except OSError:
            continue
        total += int(next((line.split()[1] for line in status.splitlines() if line.startswith("VmRSS:")), 0))
    return total // 1024


class Services:
    """Processes started together and stopped by process id: start() in a subclass;
    entering times it and measures their memory, a failure or the exit stops them all."""

    def __enter__(self):
        started = time.monotonic()
        try:
            self.start()
        except BaseException:
            stop(self.processes)
            raise
        self.started_in = time.monotonic() - started
        self.memory_mb = rss_mb(self.processes)
        return self

    def __exit__(self, *exc):
        stop(self.processes)
        return False


class SwiftStore(Services):
    """Swift 2.30, single node on a plain folder, s3api and tempauth; the bucket
    `kestrova` made and readable by anyone (as its owner would set it up)."""

    def __init__(self, folder, bucket="kestrova"):
        self.work = Path(folder)
        self.bucket = bucket
        self.endpoint = "http://127.0.0.1:8080"
        self.processes = []

    def configure(self):
        from swift.common.ring import RingBuilder
        shutil.rmtree(self.work, ignore_errors=True)
        (self.work / "srv" / "d1").mkdir(parents=True)
        common = (f"[DEFAULT]\nbind_ip = 127.0.0.1\nbind_port = {{port}}\ndevices = {self.work}/srv\n"
                  f"mount_check = false\nswift_dir = {self.work}\nworkers = 0\nlog_level = ERROR\n"
                  f"log_address = {self.work}/no-syslog\n")
        for kind, port in PORTS.items():
            builder = RingBuilder(6, 1, 1)
            builder.add_dev({"id": 0, "region": 1, "zone": 1, "ip": "127.0.0.1", "port": port, "device": "d1",
                             "weight": 100})
            builder.rebalance()
            builder.get_ring().save(str(self.work / f"{kind}.ring.gz"))
            (self.work / f"{kind}-server.conf").write_text(
                common.format(port=port) + f"[pipeline:main]\npipeline = {kind}-server\n"
                f"[app:{kind}-server]\nuse = egg:swift#{kind}\n")
        filters = "catch_errors gatekeeper healthcheck proxy-logging cache listing_formats s3api tempauth copy slo dlo"
        (self.work / "proxy-server.conf").write_text(
            common.format(port=8080) + f"[pipeline:main]\npipeline = {filters} proxy-logging proxy-server\n"
            "[app:proxy-server]\nuse = egg:swift#proxy\naccount_autocreate = true\n"
            f"[filter:tempauth]\nuse = egg:swift#tempauth\nuser_test_tester = {SECRET} .admin\n"
            "[filter:cache]\nuse = egg:swift#memcache\nmemcache_servers = 127.0.0.1:11211\n" +
            "".join(f"[filter:{name}]\nuse = egg:swift#{name.replace('-', '_')}\n"
                    for name in filters.split() if name not in ("tempauth", "cache")))
        self.credentials_file = self.work / "credentials"
        self.credentials_file.write_text(f"[default]\naws_access_key_id = test:tester\naws_secret_access_key = {SECRET}\n")
        self.credentials_file.chmod(0o600)

    def start(self):
        self.configure()
        self.processes.append(subprocess.Popen(["memcached", "-u", "root", "-l", "127.0.0.1", "-p", "11211",
                                                "-U", "0", "-m", "64"], stdin=subprocess.DEVNULL))
        servers = (*PORTS.items(), ("proxy", 8080))
        for kind, _ in servers:
            with open(self.work / f"{kind}.log", "wb") as log:
                self.processes.append(subprocess.Popen(
                    [f"swift-{kind}-server", str(self.work / f"{kind}-server.conf")], stdin=subprocess.DEVNULL,
                    stdout=log, stderr=log))
        for (kind, port), process in zip(servers, self.processes[1:]):
            wait_for_port(port, process, f"swift {kind}")
        client = self.client()
        deadline = time.monotonic() + START_TIMEOUT
        while True:
            try:
                client.create_bucket(Bucket=self.bucket)
                break
            except Exception:  # noqa: BLE001 - the servers are still starting
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.1)
        self.make_public()

    def make_public(self):
        """Anyone may read the bucket's objects (at /v1/AUTH_test/<bucket>/<key>), as its
        owner sets it up in Swift: a container read ACL."""
        import urllib.request
        auth = urllib.request.urlopen(urllib.request.Request(f"{self.endpoint}/auth/v1.0", headers={
            "X-Auth-User": "test:tester", "X-Auth-Key": SECRET}), timeout=10)
        urllib.request.urlopen(urllib.request.Request(
            f"{self.endpoint}/v1/AUTH_test/{self.bucket}", method="POST",
            headers={"X-Auth-Token": auth.headers["X-Auth-Token"], "X-Container-Read": ".r:*"}), timeout=10)

    def client(self):
        import boto3
        return boto3.session.Session(aws_access_key_id="test:tester", aws_secret_access_key=SECRET,
                                     region_name="us-east-1").client(
            "s3", endpoint_url=self.endpoint,
            config=__import__("botocore.config").config.Config(s3={"addressing_style": "path"}))

    def environment(self):
        """The environment for scripts/publish: the credentials come from a file."""
        env = {k: v for k, v in os.environ.items() if not k.startswith("AWS_")}
        env.update(AWS_SHARED_CREDENTIALS_FILE=str(self.credentials_file), AWS_CONFIG_FILE="/dev/null",
                   AWS_DEFAULT_REGION="us-east-1")
        return env


class VarnishEdge(Services):
    """Varnish 7.1 with file storage in front of the store's bucket, and hitch for TLS on
    127.0.0.1:443 with the sandbox's certificate. `extra` is VCL run before the shipped
    subroutines (a CDN's minimum TTL, for instance)."""

    ADMIN = 6081

    def __init__(self, folder, store, extra=""):
        self.work, self.store, self.extra = Path(folder), store, extra
        self.processes = []
        self.purge_command = f"curl -sf -o /dev/null --max-time 10 -X PURGE http://127.0.0.1:{self.ADMIN}{{path}}"

    def site(self, name, replacements):
        lines = []
        for line in (SHIPPED / name).read_text().splitlines():
            if line.rstrip().endswith("# site"):
                line = replacements[" ".join(line.split()[:2])]
            lines.append(line)
        return "\n".join(lines) + "\n"

    def start(self):
        shutil.rmtree(self.work, ignore_errors=True)
        self.work.mkdir(parents=True)
        vcl = self.site("varnish.vcl", {
            ".host =": '    .host = "127.0.0.1";', ".port =": '    .port = "8080";',
            "set bereq.http.Host": '    set bereq.http.Host = "127.0.0.1";',
            "set bereq.url": f'    set bereq.url = "/v1/AUTH_test/{self.store.bucket}" + bereq.url;'})
        vcl = vcl.replace("import std;\n", "import std;\n" + self.extra + "\n", 1)
        (self.work / "edge.vcl").write_text(vcl)
        pem = self.work / "download.pem"
        pem.write_text(Path(os.environ["KESTROVA_TLS_CERT"]).read_text() +
                       Path(os.environ["KESTROVA_TLS_KEY"]).read_text())
        (self.work / "hitch.conf").write_text(self.site("hitch.conf", {
            "frontend =": 'frontend = "[127.0.0.1]:443"', "backend =": 'backend = "[127.0.0.1]:6086"',
            "pem-file =": f'pem-file = "{pem}"'}))
        self.processes.append(subprocess.Popen(
            ["varnishd", "-F", "-j", "none", "-n", str(self.work / "varnish"), "-f", str(self.work / "edge.vcl"),
             "-a", "public=127.0.0.1:6086,PROXY", "-a", f"admin=127.0.0.1:{self.ADMIN}", "-T", "none",
             "-s", f"file,{self.work}/cache.bin,2G"], stdin=subprocess.DEVNULL,
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        wait_for_port(self.ADMIN, self.processes[0], "varnishd")
        self.processes.append(subprocess.Popen(["hitch", "--config", str(self.work / "hitch.conf")],
                                               stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                               stderr=subprocess.DEVNULL))
        wait_for_port(443, self.processes[1], "hitch")
        self.processes.append(subprocess.Popen(
            ["varnishncsa", "-n", str(self.work / "varnish"), "-F", "%m %U %s", "-w", str(self.work / "access.log")],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))

    def __exit__(self, *exc):
        super().__exit__(*exc)
        (self.work / "cache.bin").unlink(missing_ok=True)
        return False

    def requests(self):
        try:
            return [tuple(line.split(" ", 2)) for line in (self.work / "access.log").read_text().splitlines() if line]
        except OSError:
            return []
