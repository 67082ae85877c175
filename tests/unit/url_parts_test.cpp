#include "net/url_parts.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

TEST(ParseUrl, SplitsHttpsWithDefaultAndExplicitPorts) {
    const UrlParts parts = ParseUrl(L"https://Download.Kestrova.example/downloads/a.json");
    EXPECT_EQ(parts.scheme, 2);
    EXPECT_EQ(parts.port, 443);
    EXPECT_EQ(parts.host, L"Download.Kestrova.example");
    EXPECT_EQ(parts.path, L"/downloads/a.json");
    EXPECT_EQ(ParseUrl(L"https://h.example:8443/x").port, 8443);
}

TEST(ParseUrl, KeepsQueryAndEscapesInThePath) {
    EXPECT_EQ(ParseUrl(L"https://h.example/a%20b/c.exe?a=b").path, L"/a%20b/c.exe?a=b");
}

TEST(ParseUrl, SplitsHttpAndLeavesTheRefusalToTheCallers) {
    const UrlParts parts = ParseUrl(L"http://h.example/x");
    EXPECT_EQ(parts.scheme, 1);
    EXPECT_EQ(parts.port, 80);
}

TEST(ParseUrl, RefusesTextThatIsNoUrlOrDoesNotFit) {
    for (const std::wstring& url : {std::wstring(L"download.kestrova.example/x"), std::wstring(L""),
                                    std::wstring(L"https://") + std::wstring(256, L'h') + L"/x",
                                    L"https://h.example/" + std::wstring(4095, L'p')}) {
        try {
            ParseUrl(url.c_str());
            ADD_FAILURE() << "accepted a URL of " << url.size() << " characters";
        } catch (const std::runtime_error& failure) {
            EXPECT_STREQ(failure.what(), "URL konnte nicht gelesen werden");
        }
    }
    // The largest parts that still fit.
    EXPECT_EQ(ParseUrl((L"https://" + std::wstring(255, L'h') + L"/x").c_str()).host.size(), 255u);
    EXPECT_EQ(ParseUrl((L"https://h.example/" + std::wstring(4094, L'p')).c_str()).path.size(), 4095u);
}

TEST(LowercaseWide, LowersOnlyAsciiCapitals) {
    EXPECT_EQ(LowercaseWide(L"DOWNLOAD.Kestrova.EXAMPLE"), L"download.kestrova.example");
    EXPECT_EQ(LowercaseWide(L"\u00c4\u0416Z"), L"\u00c4\u0416z");
    EXPECT_EQ(LowercaseWide(L""), L"");
}
