#pragma once
// Whether the download host's caching headers fit a release (platform-free): the
// manifest must reach every client within minutes of a publish or rollback, and the
// installers, whose names are never reused, should be kept by every cache.

#include <cstdint>
#include <string>

// How long a cache may go on serving a stored response instead of the host's current
// one, from its headers.
struct CacheLifetime {
    enum class Kind {
        NotStored,   // no-store, or a bare private (no shared cache, no CDN keeps it)
        Revalidate,  // a bare no-cache: stored, but asked about on every use
        Seconds,     // served for `seconds`: fresh (max-age, s-maxage, or Expires minus
                     // Date), then stale for the last `staleSeconds` of them
        Unstated,    // no freshness stated: each cache picks a lifetime of its own
    };
    Kind kind = Kind::Unstated;
    std::int64_t seconds = 0;
    std::int64_t staleSeconds = 0;  // part of `seconds`: stale-while-revalidate or stale-if-error
};

// Reads `cacheControl` (all Cache-Control headers joined by ", "; names in any case;
// commas inside quoted strings do not split directives) and, when it states no
// lifetime, Expires (`hasExpires`, `expiresInSeconds` after the response's Date). The
// longer of max-age and s-maxage counts, since some cache on the way may use either;
// the longer of stale-while-revalidate and stale-if-error is added to it, unless
// must-revalidate forbids serving the response stale. no-cache and private with a
// field list (no-cache="Set-Cookie") keep only those fields out of caches, so they
// count as neither Revalidate nor NotStored.
CacheLifetime ReadCacheLifetime(const std::string& cacheControl, bool hasExpires, std::int64_t expiresInSeconds);

// The longest time the manifest may be cached without a warning: five minutes.
inline constexpr std::int64_t ManifestMaxCacheSeconds = 300;

// The warning for a manifest served with `lifetime`: empty when no cache may serve it,
// fresh or stale, for more than ManifestMaxCacheSeconds instead of the host's current one.
std::string ManifestCachingWarning(const CacheLifetime& lifetime);

// The warning for an installer served with `lifetime`: empty when caches keep it fresh
// for some time (stale time alone still has each download revalidated).
std::string InstallerCachingWarning(const CacheLifetime& lifetime);
