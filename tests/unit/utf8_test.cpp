#include "app/utf8.h"

#include <gtest/gtest.h>

#include <string>

TEST(Utf8ToWide, ConvertsMultiByteSequences) {
    EXPECT_EQ(Utf8ToWide(""), L"");
    EXPECT_EQ(Utf8ToWide("Pruefe"), L"Pruefe");
    EXPECT_EQ(Utf8ToWide("Gr\xc3\xbc\xc3\x9f" "e"), L"Gr\u00fc\u00dfe");
    // Outside the basic plane: one code point becomes a surrogate pair.
    EXPECT_EQ(Utf8ToWide("\xf0\x9f\x93\xa6"), std::wstring(L"\xd83d\xdce6"));
}

TEST(Utf8ToWide, StopsAtTheFirstZeroByte) {
    EXPECT_EQ(Utf8ToWide(std::string("ab\0cd", 5)), L"ab");
    EXPECT_EQ(Utf8ToWide(std::string("\0cd", 3)), L"");
}

TEST(Utf8ToWide, ReplacesMalformedBytesInsteadOfFailing) {
    const std::wstring wide = Utf8ToWide("a\xff" "b");
    ASSERT_EQ(wide.size(), 3u);
    EXPECT_EQ(wide.front(), L'a');
    EXPECT_EQ(wide.back(), L'b');
}
