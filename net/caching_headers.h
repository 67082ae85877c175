#pragma once

#include "net/download_request.h"

#include <cstdint>
#include <string>

// What a response says about how long caches may keep it, as the host sent it.
struct CachingHeaders {
    std::string cacheControl;  // every Cache-Control header, joined by ", "; empty when none
    std::string expires;       // the Expires header as sent; empty when none
    std::string age;           // the Age header (set by a cache in front of the host); empty when none
    std::string etag;          // the ETag header as sent; empty when none
    // Expires minus the response's Date (or the local clock when there is no Date), in
    // seconds; 0 for an Expires that is not a date (which means "already expired").
    std::int64_t expiresInSeconds = 0;
};

// Reads the caching headers of the response `request` has received. Never raises: a
// header that cannot be read counts as absent.
CachingHeaders QueryCachingHeaders(const DownloadRequest& request);
