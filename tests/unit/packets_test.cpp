// Wire layout of the generic replies, the user-information packet and the
// requests, and the bounds of the packet reader.
#include "common/packets.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

std::vector<uint8_t> Bytes(std::initializer_list<int> a) {
    std::vector<uint8_t> v;
    for (int b : a) v.push_back(static_cast<uint8_t>(b));
    return v;
}

template <size_t N>
std::vector<uint8_t> Slice(const std::array<uint8_t, N>& a, size_t nFrom, size_t nCount) {
    return std::vector<uint8_t>(a.begin() + nFrom, a.begin() + nFrom + nCount);
}

template <size_t N>
bool AllZero(const std::array<uint8_t, N>& a, size_t nFrom, size_t nTo) {
    for (size_t i = nFrom; i < nTo; ++i)
        if (a[i] != 0) return false;
    return true;
}

TEST(PacketsTest, ResultIsSignalAndRequestLittleEndian) {
    auto p = BuildCoreResult(0x0132);
    EXPECT_EQ(std::vector<uint8_t>(p.begin(), p.end()), Bytes({0xC8, 0x00, 0x32, 0x01}));
}

TEST(PacketsTest, ErrorWithSevenCharacterReasonIsExactly64Bytes) {
    auto p = BuildCoreError(1000, u"用户还没有登录");
    ASSERT_EQ(p.size(), 64u);
    EXPECT_EQ(Slice(p, 0, 4), Bytes({0xC9, 0x00, 0xE8, 0x03}));
    // 用 U+7528 户 U+6237 还 U+8FD8 没 U+6CA1 有 U+6709 登 U+767B 录 U+5F55, then the terminator.
    EXPECT_EQ(Slice(p, 4, 16), Bytes({0x28, 0x75, 0x37, 0x62, 0xD8, 0x8F, 0xA1, 0x6C, 0x09, 0x67,
                                      0x7B, 0x76, 0x55, 0x5F, 0x00, 0x00}));
    EXPECT_TRUE(AllZero(p, 18, 64));
}

TEST(PacketsTest, LongTextsAreCutToTheirFields) {
    std::u16string strReason(40, u'x');
    auto e = BuildCoreError(5, strReason);
    std::u16string strGot;
    uint16_t wRequest = 0;
    ASSERT_TRUE(ParseCoreError(e.data(), e.size(), wRequest, strGot));
    EXPECT_EQ(wRequest, 5);
    EXPECT_EQ(strGot, std::u16string(29, u'x'));
    EXPECT_TRUE(AllZero(e, 4 + 2 * 29, 64));

    // Exactly 100 characters: the last unit is forced to zero, 99 arrive.
    auto n = BuildCoreNotice(std::u16string(100, u'y'));
    ASSERT_EQ(n.size(), 202u);
    EXPECT_EQ(Slice(n, 0, 2), Bytes({0xFF, 0x00}));
    ASSERT_TRUE(ParseCoreNotice(n.data(), n.size(), strGot));
    EXPECT_EQ(strGot, std::u16string(99, u'y'));
    EXPECT_TRUE(AllZero(n, 200, 202));
}

TEST(PacketsTest, UserInfoPacketCarriesTheRecordWithoutItsLoginKey) {
    UserInfo info{};
    std::u16string strGuid = u"{12345678-ABCD-4000-8000-000000000001}";
    std::copy(strGuid.begin(), strGuid.end(), info.szGUID);
    info.szUserName[0] = u'A';
    info.szExtra[0] = u'Z';
    info.nLoginKey = 0x11223344;
    info.nGold = -2;
    info.nGameCoin = 0x01020304;
    info.nReserved = 0;

    auto p = BuildCoreUserInfo(info);
    ASSERT_EQ(p.size(), 156u);
    EXPECT_EQ(Slice(p, 0, 2), Bytes({0xFA, 0x00}));
    EXPECT_EQ(Slice(p, 2, 4), Bytes({'{', 0, '1', 0}));
    EXPECT_EQ(Slice(p, 2 + 78, 4), Bytes({'A', 0, 0, 0}));
    EXPECT_EQ(Slice(p, 2 + 112, 2), Bytes({'Z', 0}));
    EXPECT_EQ(Slice(p, 2 + 134, 4), Bytes({0, 0, 0, 0}))
        << "the login key must never reach a client";
    EXPECT_EQ(Slice(p, 2 + 138, 4), Bytes({0xFE, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(Slice(p, 2 + 142, 4), Bytes({0x04, 0x03, 0x02, 0x01}));
    EXPECT_TRUE(AllZero(p, 148, 156));

    UserInfo back{};
    ASSERT_TRUE(ParseCoreUserInfo(p.data(), p.size(), back));
    EXPECT_EQ(int32_t{back.nLoginKey}, 0);
    EXPECT_EQ(int32_t{back.nGold}, -2);
    EXPECT_EQ(std::u16string(back.szGUID), strGuid);
}

TEST(PacketsTest, LoginPacketTextsStopAtTheirForcedTerminators) {
    // Fill every byte after the signal with 'a' so that neither text has a terminator of its own.
    std::vector<uint8_t> raw(210, 0);
    raw[0] = 0x2E;  // 302
    raw[1] = 0x01;
    for (size_t i = 2; i + 1 < raw.size(); i += 2) raw[i] = 'a';
    LoginRequest req;
    ASSERT_TRUE(ParseLoginPacket(raw.data(), raw.size(), req));
    EXPECT_EQ(req.wSignal, CS_LOBBY_CLIENT_LOGIN);
    EXPECT_EQ(req.strUserName, std::u16string(16, u'a'));
    EXPECT_EQ(req.strLoginString, std::u16string(48, u'a'));
    EXPECT_FALSE(ParseLoginPacket(raw.data(), 199, req));

    auto built = BuildLoginPacket(CS_GAME_CLIENT_LOGIN, u"abcdefghijklmnopqrst", u"KEY");
    ASSERT_TRUE(ParseLoginPacket(built.data(), built.size(), req));
    EXPECT_EQ(req.wSignal, CS_GAME_CLIENT_LOGIN);
    EXPECT_EQ(req.strUserName, u"abcdefghijklmnop");
    EXPECT_EQ(req.strLoginString, u"KEY");
}

TEST(PacketsTest, VersionPacketNeedsSixBytes) {
    auto p = BuildVersionPacket(-7);
    EXPECT_EQ(std::vector<uint8_t>(p.begin(), p.end()),
              Bytes({0x2C, 0x01, 0xF9, 0xFF, 0xFF, 0xFF}));
    int32_t nVersion = 0;
    EXPECT_FALSE(ParseVersionPacket(p.data(), 5, nVersion));
    EXPECT_EQ(nVersion, 0);
    EXPECT_TRUE(ParseVersionPacket(p.data(), 6, nVersion));
    EXPECT_EQ(nVersion, -7);
}

TEST(PacketsTest, ReaderRefusesEveryFieldThatLeavesThePacket) {
    const uint8_t a[5] = {1, 2, 3, 4, 5};
    CPacketReader r(a, sizeof(a));
    uint16_t w = 0;
    uint32_t dw = 0;
    std::u16string s;
    EXPECT_TRUE(r.ReadU16(3, w));
    EXPECT_EQ(w, 0x0504);
    EXPECT_FALSE(r.ReadU16(4, w));
    EXPECT_FALSE(r.ReadU32(2, dw));
    EXPECT_TRUE(r.ReadU32(1, dw));
    EXPECT_EQ(dw, 0x05040302u);
    EXPECT_FALSE(r.ReadText(2, 2, s));
    EXPECT_FALSE(r.ReadU16(SIZE_MAX - 1, w)) << "offset arithmetic must not wrap";
    EXPECT_FALSE(r.ReadText(0, SIZE_MAX / 2 + 1, s));

    uint16_t wSignal = 0;
    EXPECT_FALSE(ReadSignal(a, 1, wSignal));
    EXPECT_FALSE(ReadSignal(nullptr, 10, wSignal));
    EXPECT_TRUE(ReadSignal(a, 2, wSignal));
    EXPECT_EQ(wSignal, 0x0201);
}

}  // namespace
