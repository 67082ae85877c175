#include "cache/cache_location.h"
#include "cache/installer_verification.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace {

// A fresh directory under the temp folder for one test.
std::wstring FreshDirectory(const wchar_t* name) {
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    const std::wstring directory = std::wstring(temp) + name + std::to_wstring(GetCurrentProcessId());
    CreateDirectoryW(directory.c_str(), nullptr);
    return directory;
}

void WriteFileBytes(const std::wstring& path, const std::string& bytes) {
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
}

bool IsDirectory(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

InstallerManifest Expecting(std::uint64_t size, const std::string& sha256) {
    InstallerManifest manifest;
    manifest.size = size;
    manifest.sha256 = sha256;
    return manifest;
}

const std::string AbcDigest = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";

}  // namespace

TEST(ResolveCacheDirectory, UsesLocalAppDataUpTo259Characters) {
    SetEnvironmentVariableW(L"LOCALAPPDATA", L"C:\\Users\\u\\AppData\\Local");
    EXPECT_EQ(ResolveCacheDirectory(), L"C:\\Users\\u\\AppData\\Local\\Kestrova\\InstallerCache");

    const std::wstring longest = L"C:\\" + std::wstring(256, L'l');
    SetEnvironmentVariableW(L"LOCALAPPDATA", longest.c_str());
    EXPECT_EQ(ResolveCacheDirectory(), longest + L"\\Kestrova\\InstallerCache");

    SetEnvironmentVariableW(L"LOCALAPPDATA", (longest + L"l").c_str());
    EXPECT_EQ(ResolveCacheDirectory(), L".\\Kestrova\\InstallerCache");

    SetEnvironmentVariableW(L"LOCALAPPDATA", L"");
    EXPECT_EQ(ResolveCacheDirectory(), L".\\Kestrova\\InstallerCache");

    SetEnvironmentVariableW(L"LOCALAPPDATA", nullptr);
    EXPECT_EQ(ResolveCacheDirectory(), L".\\Kestrova\\InstallerCache");
}

TEST(EnsureDirectoryPath, CreatesEveryLevelAndToleratesExistingOnes) {
    const std::wstring root = FreshDirectory(L"kestrova-ensure-");
    const std::wstring path = root + L"\\a/b\\c";
    EnsureDirectoryPath(path);
    EXPECT_TRUE(IsDirectory(root + L"\\a"));
    EXPECT_TRUE(IsDirectory(root + L"\\a\\b"));
    EXPECT_TRUE(IsDirectory(path));
    EnsureDirectoryPath(path);
    EXPECT_TRUE(IsDirectory(path));
}

TEST(VerifyInstaller, AnswersFalseForAnotherSizeWithoutOpeningTheFile) {
    const std::wstring directory = FreshDirectory(L"kestrova-size-");
    EXPECT_FALSE(VerifyInstaller(directory + L"\\missing.exe", Expecting(3, AbcDigest)));
    WriteFileBytes(directory + L"\\short.exe", "ab");
    EXPECT_FALSE(VerifyInstaller(directory + L"\\short.exe", Expecting(3, AbcDigest)));
}

TEST(VerifyInstaller, ComparesTheWholeDigestExactly) {
    const std::wstring directory = FreshDirectory(L"kestrova-digest-");
    const std::wstring path = directory + L"\\installer.exe";
    WriteFileBytes(path, "abc");
    EXPECT_TRUE(VerifyInstaller(path, Expecting(3, AbcDigest)));
    WriteFileBytes(path, "abd");
    EXPECT_FALSE(VerifyInstaller(path, Expecting(3, AbcDigest)));
    WriteFileBytes(path, "abc");
    std::string upper = AbcDigest;
    upper[0] = 'B';
    EXPECT_FALSE(VerifyInstaller(path, Expecting(3, upper)));
    EXPECT_FALSE(VerifyInstaller(path, Expecting(3, AbcDigest.substr(0, 63))));
}

TEST(VerifyInstaller, HashesAFileOfSeveralBlocks) {
    const std::wstring path = FreshDirectory(L"kestrova-blocks-") + L"\\installer.exe";
    WriteFileBytes(path, std::string(3 * 1048576 + 5, 'k'));
    EXPECT_TRUE(VerifyInstaller(path, Expecting(3 * 1048576 + 5,
                                                "1d487449a672389d9e4c7927d78be28b04128f1af9d1840e44cb02fa2a6a618d")));
}

TEST(VerifyInstaller, FailsWhenTheFileIsHeldWithoutReadSharing) {
    const std::wstring path = FreshDirectory(L"kestrova-locked-") + L"\\installer.exe";
    WriteFileBytes(path, "abc");
    const HANDLE holder = CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    try {
        VerifyInstaller(path, Expecting(3, AbcDigest));
        ADD_FAILURE() << "no failure";
    } catch (const std::runtime_error& failure) {
        EXPECT_STREQ(failure.what(), "Installer-Datei konnte nicht geoeffnet werden");
    }
    CloseHandle(holder);
    EXPECT_TRUE(VerifyInstaller(path, Expecting(3, AbcDigest)));
}
