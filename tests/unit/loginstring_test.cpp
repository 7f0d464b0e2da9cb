// Login strings: the format, checked against digests computed independently
// (Python's hashlib over the UTF-16LE bytes of the digest input), and the
// exactness of the check.
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
