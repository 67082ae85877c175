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
