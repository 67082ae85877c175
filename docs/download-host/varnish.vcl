# The edge of the download host in front of a bucket: Varnish 7 (Debian 12: 7.1), with
# TLS in front of it by hitch (hitch.conf). Change only the lines marked "site": the
# bucket's origin and the path of the bucket on it. Start it with the listeners
# and the file storage named in README.md:
#   varnishd -f /etc/varnish/kestrova.vcl -a public=127.0.0.1:6086,PROXY
#            -a admin=127.0.0.1:6081 -s file,/var/lib/varnish/kestrova.bin,4G
# The file storage must be larger than the largest installer: a memory store smaller
# than an object serves it with the full Content-Length and a truncated body.
# tests/release/store_and_edge.py serves the publish tests with this very file.
vcl 4.1;

import std;

# The bucket's origin, in plain HTTP (open-source Varnish speaks no TLS to a backend):
# the store's HTTP endpoint, or a local TLS proxy to it.
backend origin {
    .host = "s3.eu-central-1.amazonaws.com";                         # site
    .port = "80";                                                     # site
    .connect_timeout = 5s;
    .first_byte_timeout = 60s;
    .between_bytes_timeout = 30s;
}

sub vcl_recv {
    # One cache key whatever name a client used, so that a PURGE finds the object.
    set req.http.Host = "download.kestrova.example";
    unset req.http.Cookie;
    unset req.http.Authorization;
    # PURGE only on the admin listener; the public one is read-only.
    if (local.socket == "admin") {
        if (req.method == "PURGE") {
            return (purge);
        }
        return (synth(405, "PURGE only"));
    }
    if (req.method != "GET" && req.method != "HEAD") {
        return (synth(405, "GET and HEAD only"));
    }
    # Names starting with a dot are never served (as on the nginx host).
    if (req.url ~ "/\.") {
        return (synth(404, "Not Found"));
    }
    # No query strings: one object per name.
    set req.url = regsub(req.url, "\?.*$", "");
    return (hash);
}

sub vcl_backend_fetch {
    set bereq.http.Host = "s3.eu-central-1.amazonaws.com";          # site
    set bereq.url = "/kestrova-downloads" + bereq.url;               # site
}

sub vcl_backend_response {
    # Kept as the origin's Cache-Control says (the bucket's objects carry the download
    # host's: the manifest no-cache, installers a year, the setup five minutes); the
    # built-in rules then never keep a no-cache, no-store or private response.
    # Anything but a success is kept for seconds at most: a 404 of an installer not yet
    # uploaded must not outlive its upload.
    if (beresp.status != 200 && beresp.status != 304) {
        set beresp.ttl = 0s;
        set beresp.uncacheable = true;
        return (deliver);
    }
    # A body cut short is never stored: Varnish fails such a fetch, and the object
    # is dropped.
    unset beresp.http.Set-Cookie;
}

sub vcl_deliver {
    # What the store adds for itself stays inside.
    unset resp.http.X-Trans-Id;
    unset resp.http.X-Openstack-Request-Id;
    unset resp.http.x-amz-request-id;
    unset resp.http.x-amz-id-2;
    unset resp.http.Via;
    unset resp.http.X-Varnish;
}
