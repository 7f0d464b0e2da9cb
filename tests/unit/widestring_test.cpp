#include "projcommon/widestring.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>

namespace {

TEST(WideString, Utf8RoundTripIncludingSurrogatesAndBadBytes) {
    std::u16string w = u"最大用户数 50 \U0001F600";
    EXPECT_EQ(Utf8ToWide(WideToUtf8(w)), w);
    EXPECT_EQ(WideToUtf8(u"é"), "\xC3\xA9");
    EXPECT_EQ(Utf8ToWide("a\xFF" "b"), u"a\uFFFDb");
    EXPECT_EQ(Utf8ToWide("\xE4\xB8"), u"\uFFFD");  // truncated sequence
    EXPECT_EQ(Utf8ToWide("\xC0\x80"), u"\uFFFD");  // overlong NUL is not accepted
    EXPECT_EQ(WideToUtf8(std::u16string(1, char16_t(0xD800))), "\xEF\xBF\xBD");  // lone surrogate
}

TEST(WideString, LowerCaseAndNoCaseCompare) {
    EXPECT_EQ(WideToLower(u"SeSSion"), u"session");
    EXPECT_EQ(WideToLower(u"ÀÉÎ ДЖ ΣΩ"), u"àéî дж σω");
    EXPECT_TRUE(WideEqualsNoCase(u"ServerCore", u"SERVERCORE"));
    EXPECT_FALSE(WideEqualsNoCase(u"ServerCore", u"ServerCor"));
    EXPECT_EQ(WideToLower(u"中文"), u"中文");
}

TEST(WideString, BoundedCopiesAndFields) {
    char16_t field[5];
    std::memset(field, 0xAB, sizeof(field));
    EXPECT_EQ(WideCopyBounded(field, 5, u"abcdefg"), 4u);
    EXPECT_EQ(std::u16string(field), u"abcd");

    uint8_t rec[10];
    std::memset(rec, 0xCC, sizeof(rec));
    WriteWideField(rec, 5, u"xyz");
    const uint8_t expect[10] = {'x', 0, 'y', 0, 'z', 0, 0, 0, 0, 0};
    EXPECT_EQ(std::memcmp(rec, expect, 10), 0);
    EXPECT_EQ(ReadWideField(rec, 5), u"xyz");
    WriteWideField(rec, 3, u"abcdef");  // at most 2 characters and a terminator
    EXPECT_EQ(ReadWideField(rec, 3), u"ab");
    EXPECT_EQ(rec[4], 0);
    EXPECT_EQ(rec[5], 0);
}

TEST(WideString, NumberConversionsFollowTheCLibraryRules) {
    EXPECT_EQ(WideToInt(u"  42xyz"), 42);
    EXPECT_EQ(WideToInt(u"-17"), -17);
    EXPECT_EQ(WideToInt(u"abc"), 0);
    EXPECT_EQ(WideToInt(u"99999999999"), INT_MAX);
    EXPECT_EQ(WideToInt(u"-99999999999"), INT_MIN);
    EXPECT_EQ(WideToULongLong(u"FF", 16), 255u);
    EXPECT_EQ(WideToULongLong(u"0x1a", 16), 26u);
    EXPECT_EQ(WideToULongLong(u" ff zz", 16), 255u);
    EXPECT_EQ(WideToULongLong(u"", 16), 0u);
    EXPECT_EQ(WideToULongLong(u"1FFFFFFFFFFFFFFFFF", 16), ULLONG_MAX);
}

TEST(WideString, NarrowConversionUsesTheLocaleCodeset) {
    EXPECT_EQ(NarrowToWide(WideToNarrow(u"plain text")), u"plain text");
#ifndef _WIN32
    // Under the C locale the narrow code page is treated as UTF-8 (Windows
    // converts through its ANSI code page, which need not hold these).
    EXPECT_EQ(NarrowToWide(WideToNarrow(u"中文 text")), u"中文 text");
#endif
}

}  // namespace
