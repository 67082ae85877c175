"""An S3 bucket as a publish target (AWS S3 or any S3-compatible store: R2, GCS, B2,
Ceph, Swift's s3api), through boto3.

Trusts nothing the store answers: the comparison goes by size and SHA-256 (its
x-amz-meta-sha256, or the object itself hashed when it has none), but every installer,
uploaded or found there, is read back whole and hashed before any manifest names it, and
every other object is read back once written. Installers are created only: with
If-None-Match: * on the PUT and on the completion of a multipart upload where the store
honours it, learnt once per run with a probe object (PROBE, never served, left in place);
where it does not, the key is compared just before and again after, and one warning line
names the race that remains.
Credentials come only from the AWS SDK's own chain (a credentials file, AWS_PROFILE,
the environment the caller set); nothing here reads, passes on or prints them. The
bucket is used as its owner set it up: nothing here creates or reconfigures it.
Every call to the store has a time limit (connect and read time-outs, bounded retries)
and a failure names the store that did not answer.
"""

import collections
import concurrent.futures
import datetime
import hashlib
import itertools
import os
import re
import threading

from .publish_plan import DIFFERENT, IDENTICAL, NEW
from .refusal import Refused, open_regular

CONNECT_TIMEOUT = 10
READ_TIMEOUT = 120
MULTIPART_THRESHOLD = 64 << 20   # installers larger than this go in parts
PART_SIZE = 64 << 20
MAX_PARTS = 10000
PART_THREADS = 4
CHUNK = 1 << 20
BUCKET = re.compile(r"[a-z0-9][a-z0-9.-]{1,61}[a-z0-9]")
READ_BEFORE_MANIFEST = "when read back before the manifest; the manifest is unchanged everywhere"
READ_AFTER_PUT = "when read back after its upload"
PROBE = ".publish-probe/create-only"  # under the prefix; no file of an upload tree is there
PROBE_BYTES = b"scripts/publish learns here whether this store honours If-None-Match: *\n"
PREFIX = re.compile(r"[A-Za-z0-9._+-]+(/[A-Za-z0-9._+-]+)*")


def parse_url(url):
    """(bucket, prefix) of s3://BUCKET[/PREFIX]; the prefix without slashes at its ends."""
    if not url.startswith("s3://"):
        raise Refused(f"--to: {url} is not an s3:// URL")
    bucket, _, prefix = url[5:].partition("/")
    prefix = prefix.strip("/")
    if not BUCKET.fullmatch(bucket):
        raise Refused(f"--to: {url!r}: the bucket name must be 3 to 63 lower-case letters, digits, '.' and '-'")
    if prefix and (not PREFIX.fullmatch(prefix) or ".." in prefix.split("/") or "." in prefix.split("/")):
        raise Refused(f"--to: {url!r}: the prefix may hold only letters, digits, '.', '_', '+', '-' and '/'")
    return bucket, prefix


class S3Target:
    def __init__(self, url, endpoint=None, region=None, profile=None):
        self.bucket, self.prefix = parse_url(url)
        self.name = f"s3://{self.bucket}" + (f"/{self.prefix}" if self.prefix else "")
        if endpoint is not None and not re.fullmatch(r"https?://[A-Za-z0-9.:\[\]-]+(/[^\s]*)?", endpoint):
            raise Refused(f"--s3-endpoint: {endpoint!r} is not an http or https URL")
        self.endpoint, self.region, self.profile = endpoint, region, profile
        self.party = f"the store at {endpoint}" if endpoint else "AWS S3"
        # Whether the store honours If-None-Match: * on a PUT and on a completion (learn_create_only).
        self.put_honoured = self.completion_honoured = False
        self._create_only = threading.local()
        self._client = None

    # --- the store -------------------------------------------------------------------
    @property
    def client(self):
        """The boto3 client of the store, made once; refuses settings the SDK rejects."""
        if self._client is None:
            import boto3
            import botocore.config
            import botocore.exceptions
            try:
                session = boto3.session.Session(profile_name=self.profile, region_name=self.region)
            except botocore.exceptions.BotoCoreError as e:
                raise Refused(f"--s3-profile: {e}")
            config = botocore.config.Config(
                connect_timeout=CONNECT_TIMEOUT, read_timeout=READ_TIMEOUT, retries={"max_attempts": 3},
                max_pool_connections=PART_THREADS + 2, s3={"addressing_style": "path"} if self.endpoint else {})
            self._client = session.client("s3", endpoint_url=self.endpoint, config=config)
            # botocore 1.29 has no parameter for If-None-Match on PutObject or on
            # CompleteMultipartUpload; added before signing, so that the signature covers it.
            self._client.meta.events.register("before-sign.s3.PutObject", self._add_create_only)
            self._client.meta.events.register("before-sign.s3.CompleteMultipartUpload", self._add_create_only)
            self._client.meta.events.register("before-sign.s3.UploadPart", self._sign_without_payload)
        return self._client

    @staticmethod
    def _sign_without_payload(request, **_):
        """A part's bytes are covered by its Content-MD5 (a signed header the store checks)
        and by the read-back's SHA-256, so over http, as botocore already does over https,
        the signature does not cover them too: that would hash every part a second time,
        here and at the store."""
        import botocore.config
        if "Content-MD5" in request.headers:
            config = request.context["client_config"]
            request.context["client_config"] = config.merge(botocore.config.Config(
                s3={**(config.s3 or {}), "payload_signing_enabled": False}))

    def _add_create_only(self, request, **_):
        if getattr(self._create_only, "on", False):
            request.headers["If-None-Match"] = "*"

    def call(self, what, operation, **arguments):
        """client.operation(**arguments); a failure is refused in one line that names the
        store and what was asked of it. Returns (response, None) or, for the HTTP
        statuses a caller handles (404, 412, 501), (None, status)."""
        import botocore.exceptions
        try:
            return getattr(self.client, operation)(**arguments), None
        except botocore.exceptions.ClientError as e:
            status = e.response.get("ResponseMetadata", {}).get("HTTPStatusCode")
            if status in (404, 412, 501):
                return None, status
            error = e.response.get("Error", {})
            raise Refused(f"{self.party} refused {what} ({self.name}): {status} {error.get('Code', '')} "
                          f"{error.get('Message', '')}".rstrip())
        except (botocore.exceptions.ConnectionError, botocore.exceptions.HTTPClientError) as e:
            raise Refused(f"{self.party} did not answer {what} ({self.name}): {e}")
        except botocore.exceptions.NoCredentialsError:
            raise Refused(f"no credentials for {self.name}: set up the AWS SDK's chain (a credentials file, "
                          "AWS_PROFILE or the environment)")
        except botocore.exceptions.BotoCoreError as e:
            raise Refused(f"{what} at {self.party} ({self.name}) failed: {e}")

    def key(self, path):
        """The object key of a tree path, under the prefix."""
        return f"{self.prefix}/{path}" if self.prefix else path

    def hash_object(self, key, _size=None):
        """SHA-256 and size of the object's bytes, streamed."""
        import botocore.exceptions
        response, status = self.call(f"the GET of {key}", "get_object", Bucket=self.bucket, Key=key)
        if response is None:
            return None, 0
        digest, size = hashlib.sha256(), 0
        try:
            for chunk in response["Body"].iter_chunks(CHUNK):
                digest.update(chunk)
                size += len(chunk)
        except (botocore.exceptions.BotoCoreError, OSError) as e:
            raise Refused(f"{self.party} did not answer while sending {key} ({self.name}): {e}")
        finally:
            response["Body"].close()
        return digest.hexdigest(), size

    def object_state(self, f, hash_without_metadata=True):
        """NEW, IDENTICAL or DIFFERENT for f's key, by size and SHA-256."""
        key = self.key(f.path)
        head, status = self.call(f"the HEAD of {key}", "head_object", Bucket=self.bucket, Key=key)
        if head is None:
            if status == 404:
                return NEW
            raise Refused(f"{self.party} answered {status} to the HEAD of {key} ({self.name})")
        if head.get("ContentLength") != f.size:
            return DIFFERENT
        claimed = head.get("Metadata", {}).get("sha256", "")
        if re.fullmatch(r"[0-9a-f]{64}", claimed):
            return IDENTICAL if claimed == f.sha256 else DIFFERENT
        if not hash_without_metadata:
            return DIFFERENT
        digest, _ = self.hash_object(key)
        return IDENTICAL if digest == f.sha256 else DIFFERENT

    # --- the plan ---------------------------------------------------------------------
    def survey(self, tree):
        return {f.path: self.object_state(f) for f in tree.all}

    def describe(self, f):
        """The SHA-256 an object of f's key claims (x-amz-meta-sha256), else of its bytes, for a refusal."""
        key = self.key(f.path)
        head, _ = self.call(f"the HEAD of {key}", "head_object", Bucket=self.bucket, Key=key)
        claimed = (head or {}).get("Metadata", {}).get("sha256", "")
        if re.fullmatch(r"[0-9a-f]{64}", claimed):
            return claimed
        return self.hash_object(key)[0] or "unknown (no longer there)"

    def pending_uploads(self):
        """[(key, upload id, start time)] of the incomplete multipart uploads under the prefix."""
        found, arguments = [], {"Bucket": self.bucket, "Prefix": self.key("") if self.prefix else ""}
        while True:
            page, _ = self.call("the list of incomplete uploads", "list_multipart_uploads", **arguments)
            page = page or {}
            for upload in page.get("Uploads", []):
                found.append((upload["Key"], upload["UploadId"], upload["Initiated"]))
            if not page.get("IsTruncated"):
                return found
            arguments.update(KeyMarker=page.get("NextKeyMarker", ""), UploadIdMarker=page.get("NextUploadIdMarker", ""))

    def abort_uploads_older_than(self, seconds, progress=print):
        """Aborts the incomplete uploads under the prefix started more than `seconds` ago
        (another publisher's running upload is younger); returns how many."""
        now = datetime.datetime.now(datetime.timezone.utc)
        count = 0
        for key, upload_id, started in self.pending_uploads():
            if (now - started).total_seconds() >= seconds:
                self.call(f"the abort of an upload of {key}", "abort_multipart_upload", Bucket=self.bucket,
                          Key=key, UploadId=upload_id)
                progress(f"  aborted  the incomplete upload of {key} on {self.name} (started {started:%Y-%m-%d %H:%M:%S} UTC)")
                count += 1
        return count

    # --- writing ----------------------------------------------------------------------
    def learn_create_only(self, progress=print):
        """Learns whether the store honours If-None-Match: * on a PUT and on the completion
        of a multipart upload, from what it does, not what it says: the probe object made
        once (and left), then a conditional PUT and a conditional completion of a one-part
        upload to its key must each answer 412. One warning line for each it does not honour."""
        key = self.key(PROBE)
        head, status = self.call(f"the HEAD of {key}", "head_object", Bucket=self.bucket, Key=key)
        if head is None and status == 404:
            self.put_bytes(key, PROBE_BYTES, create_only=False)
        elif head is None:
            raise Refused(f"{self.party} answered {status} to the HEAD of {key} ({self.name})")
        status = self.put_bytes(key, PROBE_BYTES, create_only=True)
        self.put_honoured = status == 412
        if not self.put_honoured:
            progress(f"publish: warning: {self.party} ({self.name}) does not honour If-None-Match: * on a PUT "
                     f"(to a probe object that exists: {answer(status)}): an installer another publisher writes "
                     "under the same key between the check just before the upload and the upload itself is replaced; "
                     "compared just before and again after")
        created, _ = self.call(f"the start of an upload of {key}", "create_multipart_upload", Bucket=self.bucket,
                               Key=key)
        upload_id, completed = created["UploadId"], False
        try:
            part, _ = self.call(f"the upload of a part of {key}", "upload_part", Bucket=self.bucket, Key=key,
                                UploadId=upload_id, PartNumber=1, Body=PROBE_BYTES)
            self._create_only.on = True
            try:
                done, status = self.call(f"the completion of an upload of {key}", "complete_multipart_upload",
                                         Bucket=self.bucket, Key=key, UploadId=upload_id,
                                         MultipartUpload={"Parts": [{"PartNumber": 1, "ETag": part["ETag"]}]})
            finally:
                self._create_only.on = False
            completed = done is not None
        finally:
            if not completed:
                self.abort(key, upload_id)
        self.completion_honoured = status == 412
        if not self.completion_honoured:
            progress(f"publish: warning: {self.party} ({self.name}) does not honour If-None-Match: * on the "
                     f"completion of a multipart upload (to a probe object that exists: {answer(status)}): an "
                     "installer another publisher writes under the same key between the check just before the "
                     "completion and the completion is replaced; compared just before and again after")

    def abort(self, key, upload_id):
        """Aborts a multipart upload, keeping quiet on failure (the failure that led here is reported)."""
        try:
            self.call(f"the abort of the upload of {key}", "abort_multipart_upload", Bucket=self.bucket, Key=key,
                      UploadId=upload_id)
        except Refused:
            pass  # the failure that brought us here is the one to report

    def put_installers(self, files, progress=print):
        """Creates each new installer, never over an object with other bytes: one that
        appeared since the comparison must hold the tree's bytes."""
        for f in files:
            if f.size > MULTIPART_THRESHOLD:
                self.put_multipart(f, progress)
            else:
                self.put_created(f, progress)

    def appeared(self, f, progress):
        """An object under f's key appeared since the comparison: identical is as good as
        uploaded, anything else stops publish before any manifest."""
        if self.object_state(f) != IDENTICAL:
            raise Refused(f"{self.name}/{f.path} appeared since the comparison and holds other bytes than the tree's "
                          "(SHA-256 " + f.sha256 + "); it was left as it is and the manifest is unchanged everywhere")
        progress(f"  skip     {f.path} (appeared on {self.name} since the comparison, identical)")

    def put_object(self, f, create_only):
        """(the response, the HTTP status of a refusal) of one PUT of f, If-None-Match: * when create_only."""
        key = self.key(f.path)
        content_type, cache_control = f.headers
        with open_regular(f.local) as body:
            self._create_only.on = create_only
            try:
                return self.call(f"the upload of {key}", "put_object", Bucket=self.bucket, Key=key, Body=body,
                                 ContentType=content_type, CacheControl=cache_control,
                                 Metadata={"sha256": f.sha256})
            finally:
                self._create_only.on = False

    def put_bytes(self, key, data, create_only):
        """The status of a PUT of data to key: None (written or ignored), 412 or 501."""
        self._create_only.on = create_only
        try:
            return self.call(f"the upload of {key}", "put_object", Bucket=self.bucket, Key=key, Body=data)[1]
        finally:
            self._create_only.on = False

    def put_created(self, f, progress):
        """Uploads f create-only as the store allows; refuses when another object appeared there with other bytes."""
        key = self.key(f.path)
        if self.put_honoured:
            _, status = self.put_object(f, create_only=True)
            if status == 412:
                return self.appeared(f, progress)
            if status is not None:
                raise Refused(f"{self.party} answered {status} to the upload of {key} ({self.name})")
            progress(f"  uploaded {f.path} to {self.name} (one PUT with If-None-Match: *)")
            return
        # The store does not honour If-None-Match: compared just before and again after.
        if self.object_state(f) != NEW:
            return self.appeared(f, progress)
        _, status = self.put_object(f, create_only=False)
        if status is not None:
            raise Refused(f"{self.party} answered {status} to the upload of {key} ({self.name})")
        self.check_after(f)
        progress(f"  uploaded {f.path} to {self.name} (one PUT; the store ignores If-None-Match, compared after)")

    def check_after(self, f):
        """Refuses when the object of f does not hold f's bytes right after its upload."""
        if self.object_state(f, hash_without_metadata=False) != IDENTICAL:
            raise Refused(f"{self.name}/{f.path} holds other bytes than the tree's right after its upload (another "
                          "publisher at the same time?); the manifest is unchanged everywhere")

    def put_multipart(self, f, progress):
        """Uploads f in parts, several at once; any failure or signal aborts the upload,
        so that no part is left behind (a SIGKILL leaves them: --abort-uploads-older-than).
        The completion carries If-None-Match: * where the store honours it (a 412 aborts
        the upload, and the object there is judged like one that appeared); elsewhere it
        replaces whatever is there, so the key is compared just before and again after."""
        key = self.key(f.path)
        content_type, cache_control = f.headers
        created, _ = self.call(f"the start of the upload of {key}", "create_multipart_upload", Bucket=self.bucket,
                               Key=key, ContentType=content_type, CacheControl=cache_control,
                               Metadata={"sha256": f.sha256})
        upload_id = created["UploadId"]
        part_size = max(PART_SIZE, -(-f.size // MAX_PARTS))
        count = -(-f.size // part_size)
        pool = concurrent.futures.ThreadPoolExecutor(PART_THREADS)
        completed = False
        with open_regular(f.local) as source:
            fd = source.fileno()

            def send(number):
                data = os.pread(fd, part_size, (number - 1) * part_size)
                done, _ = self.call(f"the upload of part {number} of {key}", "upload_part", Bucket=self.bucket,
                                    Key=key, UploadId=upload_id, PartNumber=number, Body=data)
                return {"PartNumber": number, "ETag": done["ETag"]}

            try:
                futures = [pool.submit(send, number) for number in range(1, count + 1)]
                parts, shown = [], 0
                for future in futures:
                    parts.append(future.result())
                    percent = len(parts) * 100 // count
                    if percent >= shown + 10 or len(parts) == count:
                        shown = percent
                        progress(f"  sending  {f.path} to {self.name}: {percent}% "
                                 f"({min(len(parts) * part_size, f.size) >> 20} of {f.size >> 20} MB)")
                pool.shutdown()
                if not self.completion_honoured and self.object_state(f) != NEW:
                    return self.appeared(f, progress)
                self._create_only.on = self.completion_honoured
                try:
                    _, status = self.call(f"the completion of the upload of {key}", "complete_multipart_upload",
                                          Bucket=self.bucket, Key=key, UploadId=upload_id,
                                          MultipartUpload={"Parts": parts})
                finally:
                    self._create_only.on = False
                if status == 412:
                    return self.appeared(f, progress)
                if status is not None:
                    raise Refused(f"{self.party} answered {status} to the completion of the upload of {key} "
                                  f"({self.name})")
                completed = True
            finally:
                if not completed:
                    # Parts still being sent would outlive an abort issued now.
                    pool.shutdown(wait=True, cancel_futures=True)
                    self.abort(key, upload_id)
        if self.completion_honoured:
            progress(f"  uploaded {f.path} to {self.name} (in {count} parts, completed with If-None-Match: *)")
            return
        self.check_after(f)
        progress(f"  uploaded {f.path} to {self.name} (in {count} parts; compared after, as a completion "
                 "replaces any object)")

    def hash_ranges(self, key, size):
        """SHA-256 and size of an object of `size` bytes, fetched in ranges several at a
        time and hashed in order; each range must say that the whole object has `size`
        bytes (a larger object is not the file)."""
        import botocore.exceptions

        def fetch(start):
            response, _ = self.call(f"the GET of {key}", "get_object", Bucket=self.bucket, Key=key,
                                    Range=f"bytes={start}-{min(start + PART_SIZE, size) - 1}")
            if response is None or not response.get("ContentRange", "").endswith(f"/{size}"):
                return b""
            try:
                return response["Body"].read()
            except (botocore.exceptions.BotoCoreError, OSError) as e:
                raise Refused(f"{self.party} did not answer while sending {key} ({self.name}): {e}")
        digest, total = hashlib.sha256(), 0
        starts = iter(range(0, size, PART_SIZE))
        with concurrent.futures.ThreadPoolExecutor(PART_THREADS) as pool:
            # PART_THREADS ranges in flight while the oldest is hashed: memory stays a few
            # parts, and the store is never left waiting for the hash.
            pending = collections.deque(pool.submit(fetch, start) for start in itertools.islice(starts, PART_THREADS))
            while pending:
                data = pending.popleft().result()
                pending.extend(pool.submit(fetch, start) for start in itertools.islice(starts, 1))
                digest.update(data)
                total += len(data)
        return digest.hexdigest(), total

    def read_back(self, files, progress=print, when=READ_BEFORE_MANIFEST):
        """Each file fetched whole from the store and hashed; one that does not hold the
        tree's bytes is refused, the message ending with `when`."""
        for f in files:
            reader = self.hash_ranges if f.size > MULTIPART_THRESHOLD else self.hash_object
            digest, size = reader(self.key(f.path), f.size)
            if (digest, size) != (f.sha256, f.size):
                raise Refused(f"{self.name}/{f.path} does not hold the tree's bytes ({size} bytes, SHA-256 {digest}) "
                              f"{when}")
            progress(f"  verified {f.path} on {self.name} (read back, SHA-256 compared)")

    def put(self, what, files, progress=print):
        """Replaces the files (the manifest, the setup, SHA256SUMS): one PUT each, which
        a store makes visible whole or not at all, then read back."""
        for f in files:
            _, status = self.put_object(f, create_only=False)
            if status is not None:
                raise Refused(f"{self.party} answered {status} to the upload of {self.key(f.path)} ({self.name})")
            progress(f"  uploaded {f.path} to {self.name}")
            self.read_back([f], progress, READ_AFTER_PUT)


def answer(status):
    """How the store answered a write that create-only should have refused with 412."""
    return f"answered {status}, not 412" if status else "wrote over it, not 412"
