// The verb decision of the launch. Wine starts a program for "runas" exactly as for
// "open", so the case where only elevation succeeds is shown here with a scripted
// shell answer instead of end to end.
#include "app/installer_launch.h"
#include "app/setup_run.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace {

std::vector<std::wstring> verbsAsked;
std::vector<INT_PTR> answers;

INT_PTR ScriptedShell(HWND, const wchar_t* verb, const wchar_t* file) {
    verbsAsked.push_back(verb);
    EXPECT_STREQ(file, L"C:\\cache\\Kestrova Setup.exe");
    const INT_PTR answer = answers.front();
    answers.erase(answers.begin());
    return answer;
}

// Runs the decision with the given shell answers; returns the verbs asked, and
// whether it raised the launch failure.
std::vector<std::wstring> Launch(std::vector<INT_PTR> shellAnswers, bool* failed) {
    verbsAsked.clear();
    answers = std::move(shellAnswers);
    *failed = false;
    try {
        OpenWithShell(L"C:\\cache\\Kestrova Setup.exe", ScriptedShell);
    } catch (const std::runtime_error& failure) {
        EXPECT_STREQ(failure.what(), "Hauptinstaller konnte nicht gestartet werden");
        *failed = true;
    }
    return verbsAsked;
}

using Verbs = std::vector<std::wstring>;

}  // namespace

TEST(OpenWithShell, AsksForElevationOnlyWhenOpenIsRefused) {
    bool failed = false;
    EXPECT_EQ(Launch({33}, &failed), Verbs{L"open"});
    EXPECT_FALSE(failed);
    EXPECT_EQ(Launch({32, 33}, &failed), (Verbs{L"open", L"runas"}));
    EXPECT_FALSE(failed);
    EXPECT_EQ(Launch({2, 42}, &failed), (Verbs{L"open", L"runas"}));
    EXPECT_FALSE(failed);
}

TEST(OpenWithShell, FailsAfterBothVerbsAreRefused) {
    bool failed = false;
    EXPECT_EQ(Launch({31, 32}, &failed), (Verbs{L"open", L"runas"}));
    EXPECT_TRUE(failed);
    EXPECT_EQ(Launch({-1, 0}, &failed), (Verbs{L"open", L"runas"}));
    EXPECT_TRUE(failed);
}

// What another process could do to the installer while the shell starts it: the file that
// was verified must be the file that is started, elevated or not.
namespace {

struct Access {
    bool readable = false;
    DWORD writeError = 0;   // 0: it could be opened for writing
    DWORD renameError = 0;
    DWORD deleteError = 0;
};

DWORD ErrorOf(BOOL succeeded) { return succeeded ? 0 : GetLastError(); }

Access TryToChange(const std::wstring& path) {
    Access access;
    HANDLE reader = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    access.readable = reader != INVALID_HANDLE_VALUE;
    if (access.readable) CloseHandle(reader);

    HANDLE writer = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    access.writeError = ErrorOf(writer != INVALID_HANDLE_VALUE);
    if (writer != INVALID_HANDLE_VALUE) CloseHandle(writer);

    const std::wstring moved = path + L".moved";
    access.renameError = ErrorOf(MoveFileExW(path.c_str(), moved.c_str(), 0));
    if (access.renameError == 0) MoveFileExW(moved.c_str(), path.c_str(), 0);

    access.deleteError = ErrorOf(DeleteFileW(path.c_str()));
    return access;
}

Access duringShellCall;
int shellCalls = 0;

INT_PTR ShellThatWatchesTheFile(HWND, const wchar_t*, const wchar_t* file) {
    ++shellCalls;
    duringShellCall = TryToChange(file);
    return 33;
}

std::wstring FreshTarget(const wchar_t* name) {
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    const std::wstring directory = std::wstring(temp) + name + std::to_wstring(GetCurrentProcessId());
    CreateDirectoryW(directory.c_str(), nullptr);
    return directory + L"\\kestrova-installer.exe";
}

void ExpectGuardedOnlyWhileTheShellRuns(const InstallerManifest& manifest, const std::wstring& target) {
    shellCalls = 0;
    StartVerifiedInstaller(manifest, target, ShellThatWatchesTheFile);
    ASSERT_EQ(shellCalls, 1);
    EXPECT_TRUE(duringShellCall.readable);
    EXPECT_EQ(duringShellCall.writeError, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(duringShellCall.renameError, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(duringShellCall.deleteError, static_cast<DWORD>(ERROR_SHARING_VIOLATION));

    const Access afterwards = TryToChange(target);
    EXPECT_TRUE(afterwards.readable);
    EXPECT_EQ(afterwards.writeError, 0u);
    EXPECT_EQ(afterwards.renameError, 0u);
    EXPECT_EQ(afterwards.deleteError, 0u);
}

}  // namespace

TEST(StartVerifiedInstaller, NobodyCanChangeACachedCopyUntilTheShellHasIt) {
    const std::wstring target = FreshTarget(L"kestrova-guard-cached-");
    const HANDLE file = CreateFileW(target.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    WriteFile(file, "abc", 3, &written, nullptr);
    CloseHandle(file);

    InstallerManifest manifest;
    manifest.url = L"https://download.kestrova.example/unit/missing";  // never asked for
    manifest.size = 3;
    manifest.sha256 = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
    ExpectGuardedOnlyWhileTheShellRuns(manifest, target);
}

// Talks to the local HTTPS host (tests/e2e/https_host.py --unit).
TEST(StartVerifiedInstaller, NobodyCanChangeAFreshDownloadUntilTheShellHasIt) {
    const std::wstring target = FreshTarget(L"kestrova-guard-download-");
    DeleteFileW(target.c_str());

    InstallerManifest manifest;
    manifest.url = L"https://download.kestrova.example/unit/chunks";
    manifest.size = 100000;
    manifest.sha256 = "08d042cceab8034d08c870e707f331cac9f42321044406bcccd156c7258229ab";
    ExpectGuardedOnlyWhileTheShellRuns(manifest, target);
}
