#include "release_tool/caching_rules.h"

#include <gtest/gtest.h>

#include <string>

using Kind = CacheLifetime::Kind;

namespace {

std::string Lifetime(const std::string& cacheControl, bool hasExpires = false, std::int64_t expiresIn = 0) {
    const CacheLifetime lifetime = ReadCacheLifetime(cacheControl, hasExpires, expiresIn);
    const char* kinds[] = {"not stored", "revalidate", "seconds", "unstated"};
    return std::string(kinds[static_cast<int>(lifetime.kind)]) + " " + std::to_string(lifetime.seconds);
}

}  // namespace

TEST(CacheLifetime, ReadsDirectivesInAnyCaseSpacingAndOrder) {
    EXPECT_EQ(Lifetime("public, max-age=31536000, immutable"), "seconds 31536000");
    EXPECT_EQ(Lifetime("Max-Age = \"600\" ,S-MAXAGE=7200"), "seconds 7200");  // the longer one counts
    EXPECT_EQ(Lifetime("max-age=60, no-cache"), "revalidate 0");
    EXPECT_EQ(Lifetime("no-cache, private"), "not stored 0");
    EXPECT_EQ(Lifetime("max-age=ten"), "seconds 0");  // invalid: already expired
    EXPECT_EQ(Lifetime("max-age=99999999999999999999"), "seconds 2147483647");
    EXPECT_EQ(Lifetime("", true, 3595), "seconds 3595");
    EXPECT_EQ(Lifetime("", true, -40), "seconds 0");
    EXPECT_EQ(Lifetime(""), "unstated 0");
}

TEST(CacheLifetime, WarnsOfAManifestKeptOverFiveMinutesAndAnInstallerNotKept) {
    EXPECT_EQ(ManifestCachingWarning(ReadCacheLifetime("no-cache", false, 0)), "");
    EXPECT_EQ(ManifestCachingWarning(ReadCacheLifetime("max-age=300", false, 0)), "");
    EXPECT_NE(ManifestCachingWarning(ReadCacheLifetime("max-age=301", false, 0)).find("301 s"), std::string::npos);
    EXPECT_NE(ManifestCachingWarning(ReadCacheLifetime("", false, 0)), "");
    EXPECT_EQ(InstallerCachingWarning(ReadCacheLifetime("public, max-age=31536000, immutable", false, 0)), "");
    for (const char* uncached : {"no-store", "no-cache", "max-age=0", ""}) {
        EXPECT_NE(InstallerCachingWarning(ReadCacheLifetime(uncached, false, 0)), "") << uncached;
    }
}

TEST(CacheLifetime, ReadsFieldListsAndStaleTime) {
    EXPECT_EQ(Lifetime("max-age=86400, no-cache=\"Set-Cookie\""), "seconds 86400");
    EXPECT_EQ(Lifetime("private=\"X-Foo, no-store\", no-cache=Set-Cookie, max-age=600"), "seconds 600");
    EXPECT_EQ(Lifetime("private=\"X-\\\"Foo, no-store, Y\", max-age=600"), "seconds 600");  // escaped quote
    EXPECT_EQ(Lifetime("max-age=60, stale-while-revalidate=604800"), "seconds 604860");
    EXPECT_EQ(Lifetime("max-age=60, stale-if-error=600, stale-while-revalidate=-5"), "seconds 660");
    EXPECT_EQ(Lifetime("stale-if-error=30", true, 60), "seconds 90");
    EXPECT_EQ(Lifetime("max-age=60, stale-if-error=600, must-revalidate"), "seconds 60");
    EXPECT_EQ(Lifetime("no-cache, stale-while-revalidate=600"), "revalidate 0");
    EXPECT_EQ(Lifetime("stale-while-revalidate=60"), "unstated 0");  // freshness still each cache's own
    EXPECT_NE(ManifestCachingWarning(ReadCacheLifetime("max-age=60, stale-while-revalidate=604800", false, 0))
                  .find("604860 s"), std::string::npos);
    EXPECT_NE(InstallerCachingWarning(ReadCacheLifetime("max-age=0, stale-if-error=86400", false, 0)), "");
    EXPECT_EQ(InstallerCachingWarning(ReadCacheLifetime("max-age=31536000, stale-if-error=60", false, 0)), "");
}
