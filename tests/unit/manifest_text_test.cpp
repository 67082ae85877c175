#include "app/constants.h"
#include "manifest/manifest_text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string FileName(const std::string& text) { return ReadManifestString(text, "fileName", "default.exe"); }

}  // namespace

TEST(ReadManifestString, FindsTheValueOfTheQuotedName) {
    EXPECT_EQ(FileName(R"({"fileName": "setup.exe"})"), "setup.exe");
    EXPECT_EQ(FileName("{\n  \"url\" : \"x\",\n  \"fileName\"\t:\t\"a b.exe\"\n}"), "a b.exe");
    EXPECT_EQ(FileName(R"({"fileName": "first.exe", "fileName": "second.exe"})"), "first.exe");
    // Anything may stand between the name and the colon, and between colon and quote.
    EXPECT_EQ(FileName(R"("fileName" junk : 42 "x.exe")"), "x.exe");
    EXPECT_EQ(FileName(R"({"nested": {"fileName": "deep.exe"}})"), "deep.exe");
}

TEST(ReadManifestString, KeepsTheDefaultWhenTheValueIsUnusable) {
    EXPECT_EQ(FileName(""), "default.exe");
    EXPECT_EQ(FileName("<html><body>Not found</body></html>"), "default.exe");
    EXPECT_EQ(FileName(R"({"fileName": ""})"), "default.exe");
    EXPECT_EQ(FileName(R"({"FileName": "x.exe"})"), "default.exe");
    EXPECT_EQ(FileName(R"({fileName: "x.exe"})"), "default.exe");
    EXPECT_EQ(FileName(R"({"fileName" "x.exe"})"), "default.exe");
    EXPECT_EQ(FileName(R"({"fileName": 42})"), "default.exe");
    EXPECT_EQ(FileName(R"("fileName")"), "default.exe");
    EXPECT_EQ(FileName(R"("fileName":)"), "default.exe");
}

TEST(ReadManifestString, TakesTheByteAfterABackslashLiterally) {
    EXPECT_EQ(FileName(R"({"fileName": "a\"b.exe"})"), "a\"b.exe");
    EXPECT_EQ(FileName(R"({"fileName": "a\\b.exe"})"), "a\\b.exe");
    EXPECT_EQ(FileName(R"({"fileName": "a\nb"})"), "anb");
    EXPECT_EQ(FileName(R"({"fileName": "\u0041"})"), "u0041");
}

TEST(ReadManifestString, RunsToTheEndWithoutAClosingQuote) {
    EXPECT_EQ(FileName(R"({"fileName": "open.exe})"), "open.exe}");
    EXPECT_EQ(FileName(R"({"fileName": "ends\)"), "ends\\");
    EXPECT_EQ(FileName(R"({"fileName": ")"), "default.exe");
}

TEST(ReadManifestString, TakesTheNextQuotedTextForANonStringValue) {
    EXPECT_EQ(ReadManifestString(R"({"url": 42, "fileName": "x.exe"})", "url", "d"), "fileName");
}

TEST(ReadManifestString, KeepsZeroBytesAndNonUtf8Bytes) {
    const std::string text("{\"fileName\": \"a\0b\xff\"}", 20);
    EXPECT_EQ(FileName(text), std::string("a\0b\xff", 4));
}

TEST(ReadManifestSize, ReadsTheFirstDigitRunAfterTheColon) {
    EXPECT_EQ(ReadManifestSize(R"({"size": 123456789})"), 123456789u);
    EXPECT_EQ(ReadManifestSize(R"({"size": "123456789"})"), 123456789u);
    EXPECT_EQ(ReadManifestSize(R"({"size": -150000000})"), 150000000u);
    EXPECT_EQ(ReadManifestSize(R"({"size": 1.5e9})"), 1u);
    EXPECT_EQ(ReadManifestSize(R"({"size": null, "version": "x77y"})"), 77u);
    EXPECT_EQ(ReadManifestSize(R"({"size": 5, "size": 6})"), 5u);
    EXPECT_EQ(ReadManifestSize("\"size\":18446744073709551615"), 18446744073709551615u);
}

TEST(ReadManifestSize, FallsBackToTheDefaultSize) {
    EXPECT_EQ(ReadManifestSize(""), DefaultSize);
    EXPECT_EQ(ReadManifestSize(R"({"Size": 5})"), DefaultSize);
    EXPECT_EQ(ReadManifestSize(R"({"size" 5})"), DefaultSize);
    EXPECT_EQ(ReadManifestSize(R"({"size": 0})"), DefaultSize);
    EXPECT_EQ(ReadManifestSize(R"({"size": null})"), DefaultSize);
    EXPECT_EQ(ReadManifestSize(R"({"size": "")"), DefaultSize);
}

TEST(ReadManifestSize, WrapsModulo2To64) {
    EXPECT_EQ(ReadManifestSize("\"size\":18446744073709551617"), 1u);
    // Wrapping to exactly 0 counts as no size.
    EXPECT_EQ(ReadManifestSize("\"size\":18446744073709551616"), DefaultSize);
}
