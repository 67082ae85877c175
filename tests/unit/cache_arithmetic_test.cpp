#include "cache/digest_text.h"
#include "cache/directory_prefixes.h"
#include "cache/download_progress.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using Paths = std::vector<std::wstring>;

TEST(DirectoryPrefixes, CreatesEveryLevelBelowTheDriveRootInOrder) {
    EXPECT_EQ(DirectoryPrefixes(L"C:\\Users\\user\\AppData\\Local\\Kestrova\\InstallerCache"),
              (Paths{L"C:\\Users\\", L"C:\\Users\\user\\", L"C:\\Users\\user\\AppData\\",
                     L"C:\\Users\\user\\AppData\\Local\\", L"C:\\Users\\user\\AppData\\Local\\Kestrova\\",
                     L"C:\\Users\\user\\AppData\\Local\\Kestrova\\InstallerCache"}));
}

TEST(DirectoryPrefixes, SkipsTheDotOfARelativeRoot) {
    EXPECT_EQ(DirectoryPrefixes(L".\\Kestrova\\InstallerCache"),
              (Paths{L".\\Kestrova\\", L".\\Kestrova\\InstallerCache"}));
}

TEST(DirectoryPrefixes, TakesSlashesAndDoubledSeparatorsAsTheyCome) {
    EXPECT_EQ(DirectoryPrefixes(L"D:/data/x"), (Paths{L"D:/data/", L"D:/data/x"}));
    EXPECT_EQ(DirectoryPrefixes(L"D:\\root\\\\Kestrova"),
              (Paths{L"D:\\root\\", L"D:\\root\\\\", L"D:\\root\\\\Kestrova"}));
    // A path that ends in a separator is created once.
    EXPECT_EQ(DirectoryPrefixes(L"D:\\dir\\"), (Paths{L"D:\\dir\\"}));
    EXPECT_EQ(DirectoryPrefixes(L"abc"), Paths{});
    EXPECT_EQ(DirectoryPrefixes(L""), Paths{});
}

TEST(DigestText, WritesLowerCaseHexHighNibbleFirst) {
    const unsigned char bytes[] = {0x00, 0x0f, 0xa5, 0xff, 0x10};
    EXPECT_EQ(DigestText(bytes, sizeof(bytes)), "000fa5ff10");
    EXPECT_EQ(DigestText(bytes, 0), "");
}

TEST(DownloadProgress, ScalesToNinetyAndStopsThere) {
    EXPECT_EQ(DownloadPercent(0, 764840193), 0);
    EXPECT_EQ(DownloadPercent(764840193 / 2, 764840193), 44);
    EXPECT_EQ(DownloadPercent(764840193, 764840193), 90);
    EXPECT_EQ(DownloadPercent(764840194, 764840193), 90);
    // Far more than announced must not wrap into a smaller value.
    EXPECT_EQ(DownloadPercent(50000000000ull, 1), 90);
    EXPECT_EQ(DownloadPercent(1ull << 40, 3), 90);
}

TEST(DownloadProgress, ShowsTwentyWithoutATotal) {
    EXPECT_EQ(DownloadPercent(0, 0), 20);
    EXPECT_EQ(DownloadPercent(123456789, 0), 20);
}

TEST(DownloadProgress, CountsDecimalMegabytesRoundedDown) {
    EXPECT_EQ(DownloadDetail(999999, Megabytes(764840193)), L"0 / 764 MB");
    EXPECT_EQ(DownloadDetail(1000000, Megabytes(764840193)), L"1 / 764 MB");
    EXPECT_EQ(DownloadDetail(764840193, 764), L"764 / 764 MB");
    EXPECT_EQ(DownloadDetail(18446744073709551615ull, 18446744073709ull), L"18446744073709 / 18446744073709 MB");
}
