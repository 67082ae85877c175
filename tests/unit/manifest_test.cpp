#include "app/constants.h"
#include "manifest/manifest_policy.h"
#include "manifest/manifest_reader.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace {

const std::string GoodDigest(64, 'a');
const std::wstring Folder = L"https://download.kestrova.example/downloads/desktop/";

InstallerManifest Manifest(const std::wstring& url, const std::string& sha256 = GoodDigest,
                           std::uint64_t size = DefaultSize) {
    InstallerManifest manifest;
    manifest.url = url;
    manifest.sha256 = sha256;
    manifest.size = size;
    return manifest;
}

// The policy's verdict: "ok" or the message it raised.
std::string Verdict(InstallerManifest manifest) {
    try {
        CheckManifest(manifest);
        return "ok";
    } catch (const std::runtime_error& failure) {
        return failure.what();
    }
}

const std::string ForeignSource = "Manifest verweist nicht auf eine erlaubte HTTPS-Quelle";
const std::string ForeignPath = "Manifest verweist nicht auf einen erlaubten Kestrova-Installer";
const std::string BadDigest = "Manifest enthaelt keinen gueltigen SHA-256";
const std::string BadSize = "Manifest-Groesse ist unplausibel";

}  // namespace

TEST(ReadManifest, KeepsEveryDefaultForTextWithoutMembers) {
    for (const std::string& text : {std::string(), std::string("<html><h1>502 Bad Gateway</h1></html>"),
                                    std::string(R"({"version": "3.2.0"})")}) {
        const InstallerManifest manifest = ReadManifest(text);
        EXPECT_EQ(manifest.url, DefaultInstallerUrl);
        EXPECT_EQ(manifest.fileName, DefaultFileName);
        EXPECT_EQ(manifest.sha256, DefaultSha256);
        EXPECT_EQ(manifest.size, DefaultSize);
    }
}

TEST(ReadManifest, ReadsEachMember) {
    const InstallerManifest manifest = ReadManifest(
        "{\"url\": \"https://download.kestrova.example/downloads/desktop/kestrova-4.exe\","
        " \"fileName\": \"Kestrova-\xc3\xa9t\xc3\xa9.exe\", \"version\": \"4.0\","
        " \"sha256\": \"ABCDEF0123456789abcdef0123456789ABCDEF0123456789abcdef012345678G\","
        " \"size\": 123456789}");
    EXPECT_EQ(manifest.url, L"https://download.kestrova.example/downloads/desktop/kestrova-4.exe");
    EXPECT_EQ(manifest.fileName, L"Kestrova-\u00e9t\u00e9.exe");
    // Lower-cased, but a letter beyond f stays for the policy to refuse.
    EXPECT_EQ(manifest.sha256, "abcdef0123456789abcdef0123456789abcdef0123456789abcdef012345678g");
    EXPECT_EQ(manifest.size, 123456789u);
}

TEST(ReadManifest, CutsAStringValueAtAZeroByte) {
    EXPECT_EQ(ReadManifest(std::string("{\"fileName\": \"a\0b.exe\"}", 23)).fileName, L"a");
}

TEST(CheckManifest, PassesTheDefaults) {
    InstallerManifest manifest;
    CheckManifest(manifest);
    EXPECT_EQ(manifest.url, DefaultInstallerUrl);
    EXPECT_EQ(manifest.fileName, DefaultFileName);
}

TEST(CheckManifest, AcceptsOnlyHttpsFromTheDownloadHost) {
    EXPECT_EQ(Verdict(Manifest(L"http://download.kestrova.example/downloads/desktop/kestrova-x.exe")), ForeignSource);
    EXPECT_EQ(Verdict(Manifest(L"https://evil.example/downloads/desktop/kestrova-x.exe")), ForeignSource);
    EXPECT_EQ(Verdict(Manifest(L"https://download.kestrova.example.evil.example/downloads/desktop/kestrova-x.exe")),
              ForeignSource);
    EXPECT_EQ(Verdict(Manifest(L"https://evildownload.kestrova.example/downloads/desktop/kestrova-x.exe")),
              ForeignSource);
    EXPECT_EQ(Verdict(Manifest(L"https://download.kestrova.example./downloads/desktop/kestrova-x.exe")),
              ForeignSource);
    EXPECT_EQ(Verdict(Manifest(L"ftp://download.kestrova.example/downloads/desktop/kestrova-x.exe")),
              "URL konnte nicht gelesen werden");
    EXPECT_EQ(Verdict(Manifest(L"https://DOWNLOAD.Kestrova.Example/Downloads/Desktop/KESTROVA-x.EXE")), "ok");
    EXPECT_EQ(Verdict(Manifest(L"https://download.kestrova.example:8443/downloads/desktop/kestrova-x.exe")), "ok");
}

TEST(CheckManifest, AcceptsOnlyAKestrovaExeInTheDownloadFolder) {
    EXPECT_EQ(Verdict(Manifest(Folder + L"kestrova-x.msi?file=.exe")), "ok");
    EXPECT_EQ(Verdict(Manifest(Folder + L"kestrova-x.exe.sig")), "ok");
    EXPECT_EQ(Verdict(Manifest(Folder + L"kestrova-x.msi")), ForeignPath);
    EXPECT_EQ(Verdict(Manifest(Folder + L"setup.exe")), ForeignPath);
    EXPECT_EQ(Verdict(Manifest(L"https://download.kestrova.example/other/kestrova-x.exe")), ForeignPath);
    EXPECT_EQ(Verdict(Manifest(L"https://download.kestrova.example/x/downloads/desktop/kestrova-x.exe")), ForeignPath);
}

TEST(CheckManifest, RefusesPathsThatCouldLeaveTheDownloadFolder) {
    EXPECT_EQ(Verdict(Manifest(Folder + L"kestrova-/../../other/evil.exe")), ForeignPath);
    EXPECT_EQ(Verdict(Manifest(Folder + L"kestrova-%2E%2e/%2e%2e/other/evil.exe")), ForeignPath);
    EXPECT_EQ(Verdict(Manifest(Folder + L"kestrova-x/evil..exe")), ForeignPath);
    // Dots in the query are the server's business, not a way out of the folder.
    EXPECT_EQ(Verdict(Manifest(Folder + L"kestrova-3.2.0.exe?from=../x")), "ok");
}

TEST(CheckManifest, AcceptsOnlySixtyFourHexDigits) {
    const std::wstring url = Folder + L"kestrova-x.exe";
    EXPECT_EQ(Verdict(Manifest(url, std::string(63, 'a'))), BadDigest);
    EXPECT_EQ(Verdict(Manifest(url, std::string(65, 'a'))), BadDigest);
    EXPECT_EQ(Verdict(Manifest(url, std::string(63, 'a') + "g")), BadDigest);
    EXPECT_EQ(Verdict(Manifest(url, std::string(63, 'a') + " ")), BadDigest);
    EXPECT_EQ(Verdict(Manifest(url, "0123456789abcdef0123456789ABCDEF0123456789abcdef0123456789abcdef")), "ok");
}

TEST(CheckManifest, AcceptsOnlyPlausibleSizes) {
    const std::wstring url = Folder + L"kestrova-x.exe";
    EXPECT_EQ(Verdict(Manifest(url, GoodDigest, 99999999)), BadSize);
    EXPECT_EQ(Verdict(Manifest(url, GoodDigest, 1)), BadSize);
    EXPECT_EQ(Verdict(Manifest(url, GoodDigest, 100000000)), "ok");
    EXPECT_EQ(Verdict(Manifest(url, GoodDigest, 18446744073709551615ull)), "ok");
}

TEST(CheckManifest, ReportsOnlyTheFirstFailingCheck) {
    EXPECT_EQ(Verdict(Manifest(L"https://evil.example/x", "bad", 1)), ForeignSource);
    EXPECT_EQ(Verdict(Manifest(Folder + L"setup.msi", "bad", 1)), ForeignPath);
    EXPECT_EQ(Verdict(Manifest(Folder + L"kestrova-x.exe", "bad", 1)), BadDigest);
}

TEST(CheckManifest, ReplacesEmptyNamesAndNamesWithTwoPoints) {
    for (const std::wstring& name : {std::wstring(), std::wstring(L".."), std::wstring(L"../evil.exe"),
                                     std::wstring(L"..\\evil.exe"), std::wstring(L"a..b.exe"),
                                     std::wstring(L"setup.exe..")}) {
        InstallerManifest manifest = Manifest(Folder + L"kestrova-x.exe");
        manifest.fileName = name;
        CheckManifest(manifest);
        EXPECT_EQ(manifest.fileName, DefaultFileName) << "for " << name.size() << " characters";
    }
    for (const std::wstring& name : {std::wstring(L"a.b.exe"), std::wstring(L"setup"), std::wstring(L"sub\\x.exe")}) {
        InstallerManifest manifest = Manifest(Folder + L"kestrova-x.exe");
        manifest.fileName = name;
        CheckManifest(manifest);
        EXPECT_EQ(manifest.fileName, name);
    }
}
