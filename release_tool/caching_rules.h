#pragma once
// Whether the download host's caching headers fit a release (platform-free): the
// manifest must reach every client within minutes of a publish or rollback, and the
// installers, whose names are never reused, should be kept by every cache.

#include <cstdint>
#include <string>

// How long a cache may serve a response without asking the host, from its headers.
struct CacheLifetime {
    enum class Kind {
        NotStored,   // no-store, or private (no shared cache, no CDN keeps it)
        Revalidate,  // no-cache: stored, but asked about on every use
        Seconds,     // fresh for `seconds` (max-age, s-maxage, or Expires minus Date)
        Unstated,    // none of the above: each cache picks a lifetime of its own
    };
    Kind kind = Kind::Unstated;
    std::int64_t seconds = 0;
};

// Reads `cacheControl` (all Cache-Control headers joined by ", "; names in any case)
// and, when it states no lifetime, Expires (`hasExpires`, `expiresInSeconds` after the
// response's Date). The longer of max-age and s-maxage counts, since some cache on
// the way may use either.
CacheLifetime ReadCacheLifetime(const std::string& cacheControl, bool hasExpires, std::int64_t expiresInSeconds);

// The longest time the manifest may be cached without a warning: five minutes.
inline constexpr std::int64_t ManifestMaxCacheSeconds = 300;

// The warning for a manifest served with `lifetime`: empty when no cache keeps it for
// more than ManifestMaxCacheSeconds without asking the host.
std::string ManifestCachingWarning(const CacheLifetime& lifetime);

// The warning for an installer served with `lifetime`: empty when caches keep it.
std::string InstallerCachingWarning(const CacheLifetime& lifetime);
