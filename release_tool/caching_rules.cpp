#include "release_tool/caching_rules.h"

#include <algorithm>
#include <cctype>
#include <vector>

namespace {

std::string Trimmed(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// The delta-seconds of a directive ("3600" or "\"3600\""); 0 for anything that is
// not a number, as caches treat an invalid lifetime as already expired. Capped at
// about 68 years, far above any lifetime that matters here.
std::int64_t DeltaSeconds(std::string value) {
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
    if (value.empty()) return 0;
    std::int64_t seconds = 0;
    for (char c : value) {
        if (c < '0' || c > '9') return 0;
        seconds = std::min<std::int64_t>(seconds * 10 + (c - '0'), 2147483647);
    }
    return seconds;
}

// The directives of a Cache-Control value, split at the commas outside quoted strings,
// so that a field list such as private="Set-Cookie, X-Foo" stays one directive.
std::vector<std::string> Directives(const std::string& cacheControl) {
    std::vector<std::string> directives(1);
    bool quoted = false;
    for (size_t i = 0; i < cacheControl.size(); ++i) {
        const char c = cacheControl[i];
        if (c == ',' && !quoted) {
            directives.emplace_back();
            continue;
        }
        directives.back() += c;
        if (c == '"') quoted = !quoted;
        // A backslash in a quoted string escapes the next character, a quote included.
        if (c == '\\' && quoted && i + 1 < cacheControl.size()) directives.back() += cacheControl[++i];
    }
    return directives;
}

}  // namespace

CacheLifetime ReadCacheLifetime(const std::string& cacheControl, bool hasExpires, std::int64_t expiresInSeconds) {
    bool notStored = false;
    bool revalidate = false;
    bool mustRevalidate = false;
    bool lifetimeGiven = false;
    std::int64_t lifetime = 0;
    std::int64_t stale = 0;
    for (const std::string& directive : Directives(cacheControl)) {
        const size_t equals = directive.find('=');
        const bool bare = equals == std::string::npos;
        const std::string name = Lower(Trimmed(directive.substr(0, equals)));
        const std::string value = bare ? "" : Trimmed(directive.substr(equals + 1));
        // With a field list, no-cache and private keep only the fields named out of
        // caches; the rest of the response is cached as its lifetime says.
        if (name == "no-store" || (name == "private" && bare)) notStored = true;
        if (name == "no-cache" && bare) revalidate = true;
        if (name == "must-revalidate") mustRevalidate = true;
        if (name == "max-age" || name == "s-maxage") {
            lifetime = lifetimeGiven ? std::max(lifetime, DeltaSeconds(value)) : DeltaSeconds(value);
            lifetimeGiven = true;
        }
        // Both count from the end of freshness, so the longer one is how long a cache may
        // still serve the response stale (while it asks the host, or while the host fails).
        if (name == "stale-while-revalidate" || name == "stale-if-error") stale = std::max(stale, DeltaSeconds(value));
    }
    if (notStored) return {CacheLifetime::Kind::NotStored, 0};
    // A bare no-cache has every use asked about, stale-* or not; must-revalidate
    // forbids serving the response stale.
    if (revalidate) return {CacheLifetime::Kind::Revalidate, 0};
    if (mustRevalidate) stale = 0;
    if (lifetimeGiven) return {CacheLifetime::Kind::Seconds, lifetime + stale, stale};
    if (hasExpires) return {CacheLifetime::Kind::Seconds, std::max<std::int64_t>(expiresInSeconds, 0) + stale, stale};
    // With no freshness stated, stale time starts after a lifetime each cache picks for
    // itself, so the total stays as open as without it: counting it from zero would
    // understate it.
    return {};
}

std::string ManifestCachingWarning(const CacheLifetime& lifetime) {
    const std::string advice = "; clients may keep reading the previous release that long after a publish or "
                               "rollback. Send \"Cache-Control: no-cache\" for it (docs/download-host/nginx.conf)";
    switch (lifetime.kind) {
    case CacheLifetime::Kind::Seconds:
        if (lifetime.seconds <= ManifestMaxCacheSeconds) return {};
        return "the manifest may be cached for " + std::to_string(lifetime.seconds) +
               " s, more than five minutes" + advice;
    case CacheLifetime::Kind::Unstated:
        return "the manifest comes without Cache-Control or Expires, so caches may keep it as long as they "
               "choose" + advice;
    default:
        return {};
    }
}

std::string InstallerCachingWarning(const CacheLifetime& lifetime) {
    const std::string advice = ", so downloads reach the origin. Send \"Cache-Control: public, "
                               "max-age=31536000, immutable\" for installers (docs/download-host/nginx.conf)";
    switch (lifetime.kind) {
    case CacheLifetime::Kind::NotStored:
        return "the installer may not be cached at all (no-store or private)" + advice;
    case CacheLifetime::Kind::Revalidate:
        return "the installer is revalidated with the host on every download (no-cache)" + advice;
    case CacheLifetime::Kind::Seconds:
        // Stale time alone does not keep downloads off the host: past freshness each one
        // is revalidated.
        if (lifetime.seconds - lifetime.staleSeconds > 0) return {};
        return "the installer expires at once (a lifetime of 0 s)" + advice;
    default:
        return "the installer comes without Cache-Control or Expires, so caches may not keep it" + advice;
    }
}
