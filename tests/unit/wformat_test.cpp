#include "projcommon/wformat.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>

namespace {

TEST(WFormat, IntegersWithWidthsAndPadding) {
    EXPECT_EQ(WFormat(u"[%02d] ", 7), u"[07] ");
    EXPECT_EQ(WFormat(u"[%02d] ", 100), u"[100] ");
    EXPECT_EQ(WFormat(u"%03d", 45), u"045");
    EXPECT_EQ(WFormat(u"%d", -1), u"-1");
    EXPECT_EQ(WFormat(u"%5d|%-5d|", 42, 42), u"   42|42   |");
    EXPECT_EQ(WFormat(u"%u", 4294967295u), u"4294967295");
    EXPECT_EQ(WFormat(u"%u", -1), u"4294967295");  // printf reads the 32-bit pattern
    EXPECT_EQ(WFormat(u"%d", int64_t{4294967296LL + 5}), u"5");  // %d takes 32 bits
    EXPECT_EQ(WFormat(u"%+d % d", 3, 3), u"+3  3");
}

TEST(WFormat, Hexadecimal) {
    EXPECT_EQ(WFormat(u"%02X", 0x0A), u"0A");
    EXPECT_EQ(WFormat(u"%04x", 0x4A1B), u"4a1b");
    EXPECT_EQ(WFormat(u"%08x", 0x1234), u"00001234");
    EXPECT_EQ(WFormat(u"%08lX", 0xDEADBEEFu), u"DEADBEEF");
    EXPECT_EQ(WFormat(u"%x", -1), u"ffffffff");
    EXPECT_EQ(WFormat(u"%I64X", uint64_t{0x1234567890ABCDEFULL}), u"1234567890ABCDEF");
    EXPECT_EQ(WFormat(u"%I64X", uint64_t{0}), u"0");
    EXPECT_EQ(WFormat(u"%d/%I64X", -5, uint64_t{255}), u"-5/FF");
    EXPECT_EQ(WFormat(u"%lu", 3000000000u), u"3000000000");
}

TEST(WFormat, TextAndDoubles) {
    EXPECT_EQ(WFormat(u"加载 \"%s\" %s%s", u"..\\a.dll", u"成功", u""), u"加载 \"..\\a.dll\" 成功");
    std::u16string s = u"abc";
    EXPECT_EQ(WFormat(u"<%s>", s), u"<abc>");
    EXPECT_EQ(WFormat(u"<%5s|%-5s>", u"ab", u"ab"), u"<   ab|ab   >");
    EXPECT_EQ(WFormat(u"<%.2s>", u"abcdef"), u"<ab>");
    EXPECT_EQ(WFormat(u"%s", "utf8 文"), u"utf8 文");
    EXPECT_EQ(WFormat(u"%lf", 1.5), u"1.500000");
    EXPECT_EQ(WFormat(u"%.2f", 2.0), u"2.00");
    EXPECT_EQ(WFormat(u"100%%"), u"100%");
    EXPECT_EQ(WFormat(u"%c", u'Z'), u"Z");
}

TEST(WFormat, MismatchedAndMissingArgumentsAreSafe) {
    EXPECT_EQ(WFormat(u"%d and %s", u"text", 5), u"text and 5");
    EXPECT_EQ(WFormat(u"%d %d", 1), u"1 ");
    EXPECT_EQ(WFormat(u"%s", static_cast<const char16_t*>(nullptr)), u"");
    EXPECT_EQ(WFormat(u"tail %"), u"tail %");
    EXPECT_EQ(WFormat(u"%q"), u"%q");
    // A length prefix cut off by the end of the format stays as written.
    EXPECT_EQ(WFormat(u"a%I6", 1), u"a%I6");
    EXPECT_EQ(WFormat(u"a%I", 1), u"a%I");
    EXPECT_EQ(WFormat(u"%hh", 1), u"%hh");
    // A double for an integer conversion saturates (NaN is 0), and a '*'
    // width of the most negative value is the widest left-justified field.
    EXPECT_EQ(WFormat(u"%I64d|%I64d|%I64d", 1e300, -1e300, std::nan("")),
              u"9223372036854775807|-9223372036854775808|0");
    EXPECT_EQ(WFormat(u"%*d", INT64_MIN, 7), u"7" + std::u16string(4095, u' '));
}

TEST(WFormat, BoundedBufferCutsAtTheBound) {
    char16_t buf[1024];
    std::u16string longText(3000, u'x');
    size_t n = WFormatBuf(buf, 1024, u"%s", longText);
    EXPECT_EQ(n, 1023u);
    EXPECT_EQ(buf[1023], 0);
    EXPECT_EQ(std::u16string(buf), std::u16string(1023, u'x'));

    // A surrogate pair straddling the bound is dropped whole.
    std::u16string pairs = std::u16string(1022, u'a') + u"\U0001F600";
    n = WFormatBuf(buf, 1024, u"%s", pairs);
    EXPECT_EQ(n, 1022u);

    char16_t small[4];
    EXPECT_EQ(WFormatBuf(small, 4, u"%d", 123456), 3u);
    EXPECT_EQ(std::u16string(small), u"123");
}

}  // namespace
