// Login strings: the format, checked against digests computed independently
// (Python's hashlib over the UTF-16LE bytes of the digest input), the
// exactness of the check, and the validity window on the time value.
#include "QuorvelS/loginstring.h"

#include <gtest/gtest.h>

#include "projcommon/widestring.h"

namespace {
struct LoginVector {
    int32_t nKey;
    uint64_t nTime;
    const char16_t* szExpected;  // MD5 of UTF-16LE("%d/%I64X"), upper case, then "%I64X"
};
const LoginVector kVectors[] = {
    {12345, 0x1A2B3C, u"654F30AECEA7358E768B3A874ED3AB441A2B3C"},
    {-7, 0x5F5E0FF, u"37318A5AFADD3F11CDF5158C083584345F5E0FF"},
    {0, 0, u"48E0906D602C9F744253E00EBB63C3E50"},
    {2147483647, 0xFFFFFFFFFFFFFFFFull, u"E71FD36434BE702A880CF4D08EC4A7B3FFFFFFFFFFFFFFFF"},
    {-2147483647 - 1, 0x10, u"AD72A56C26147757C27FB9979CCC248010"},
};
}  // namespace

TEST(LoginString, MatchesIndependentlyComputedDigests) {
    for (const LoginVector& v : kVectors) {
        EXPECT_EQ(MakeLoginString(v.nKey, v.nTime), v.szExpected) << v.nKey;
        // The right string passes, and keeps passing: there is no time window.
        for (int i = 0; i < 3; ++i) EXPECT_EQ(CheckLoginString(v.szExpected, v.nKey), 1) << v.nKey;
    }
}

TEST(LoginString, TheKeyIsSignedDecimal) {
    std::u16string strMinus = MakeLoginString(-7, 0x5F5E0FF);
    EXPECT_EQ(CheckLoginString(strMinus, 7), 0);
    EXPECT_EQ(CheckLoginString(MakeLoginString(7, 0x5F5E0FF), -7), 0);
    EXPECT_EQ(CheckLoginString(strMinus, 12345), 0);
}

TEST(LoginString, OnlyTheExactTextPasses) {
    const std::u16string strDigest = u"654F30AECEA7358E768B3A874ED3AB44";  // of "12345/1A2B3C"
    const int32_t nKey = 12345;
    ASSERT_EQ(CheckLoginString(strDigest + u"1A2B3C", nKey), 1);
    std::u16string strLowerDigest = strDigest;
    for (char16_t& c : strLowerDigest)
        if (c >= u'A' && c <= u'F') c = static_cast<char16_t>(c - u'A' + u'a');
    // The time text parses to the same value in each case, but is not what "%I64X" prints.
    for (std::u16string strBad : {strLowerDigest + u"1A2B3C", strDigest + u"1a2b3c", strDigest + u"01A2B3C",
                                  strDigest + u"0x1A2B3C", strDigest + u"0X1A2B3C", strDigest + u" 1A2B3C",
                                  strDigest + u"+1A2B3C", strDigest + u"1A2B3C ", strDigest + u"1A2B3Cxyz"})
        EXPECT_EQ(CheckLoginString(strBad, nKey), 0) << WideToUtf8(strBad);
    // A time too large for 64 bits saturates, and the recomputed text differs.
    const std::u16string strMax = MakeLoginString(nKey, ~0ull);
    EXPECT_EQ(CheckLoginString(strMax.substr(0, 32) + u"1FFFFFFFFFFFFFFFF", nKey), 0);
}

TEST(LoginString, ThirtyTwoCharactersOrFewerNeverPass) {
    // With no time text the value is 0, and the string for 0 is 33 characters long.
    const std::u16string strZero = MakeLoginString(0, 0);
    ASSERT_EQ(strZero.size(), 33u);
    for (size_t n = 0; n <= 32; ++n) EXPECT_EQ(CheckLoginString(strZero.substr(0, n), 0), 0) << n;
    EXPECT_EQ(CheckLoginString(strZero, 0), 1);
    EXPECT_EQ(MakeLoginString(1, ~0ull).size(), 48u);
}

TEST(LoginString, TheComparisonSeesEveryDifferenceAndReportsTheTimeValue) {
    const std::u16string strGood = MakeLoginString(12345, 0x1A2B3C);
    // A difference in any single place, and texts that are prefixes of each other.
    for (size_t i = 0; i < strGood.size(); ++i) {
        std::u16string strBad = strGood;
        strBad[i] = static_cast<char16_t>(strBad[i] ^ 0x100);  // beyond the ASCII range too
        EXPECT_EQ(LoginTextEquals(strGood, strBad), 0) << i;
    }
    EXPECT_EQ(LoginTextEquals(strGood, strGood + u'\0'), 0);
    EXPECT_EQ(LoginTextEquals(strGood.substr(0, 10), strGood), 0);
    EXPECT_EQ(LoginTextEquals(u"", u""), 1);
    EXPECT_EQ(LoginTextEquals(strGood, std::u16string(strGood)), 1);

    uint64_t nTime = 0;
    EXPECT_EQ(CheckLoginString(strGood, 12345, &nTime), 1);
    EXPECT_EQ(nTime, 0x1A2B3Cu);
    EXPECT_EQ(CheckLoginString(strGood, 1, &nTime), 0);
    EXPECT_EQ(nTime, 0x1A2B3Cu) << "also reported for a wrong string";
}

TEST(LoginString, TheWindowIncludesItsBoundsAndNeverWraps) {
    struct Case {
        uint64_t nTime, nNow;
        uint32_t nWindow;
        int bInside;
    };
    const Case kCases[] = {
        {1000, 1300, 300, 1}, {1000, 1301, 300, 0}, {1300, 1000, 300, 1}, {1301, 1000, 300, 0},
        {1000, 1000, 0, 1},   {1001, 1000, 0, 0},
        // Near the ends of the range no difference wraps into the window.
        {0, ~0ull, 300, 0},   {~0ull, 0, 300, 0}, {~0ull, ~0ull - 300, 300, 1}, {5, 300, 300, 1},
    };
    for (const Case& c : kCases)
        EXPECT_EQ(IsLoginTimeInWindow(c.nTime, c.nNow, c.nWindow), c.bInside) << c.nTime << " " << c.nNow;
}
