// The verb decision of the launch. Wine starts a program for "runas" exactly as for
// "open", so the case where only elevation succeeds is shown here with a scripted
// shell answer instead of end to end.
#include "app/installer_launch.h"

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
