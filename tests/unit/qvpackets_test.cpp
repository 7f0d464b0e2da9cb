// The lobby messages of the frame, byte by byte.
#include <gtest/gtest.h>

#include "QuorvelS/qvpackets.h"
#include "projcommon/widestring.h"

namespace {

using Bytes = std::vector<uint8_t>;

template <size_t N>
Bytes ToBytes(const std::array<uint8_t, N>& a) {
    return Bytes(a.begin(), a.end());
}

TEST(QvPacketsTest, RoomCountStateParamsAndReadyAreLittleEndianFieldByField) {
    EXPECT_EQ(ToBytes(BuildRoomCount(0x01020304)), (Bytes{0xFC, 0x00, 0x04, 0x03, 0x02, 0x01}));

    RoomState state;
    state.nMaxRoomPlayer = 4;
    state.JoinPlayerCount = -2;
    EXPECT_EQ(ToBytes(BuildRoomState(0x1234, state)),
              (Bytes{0xFD, 0x00, 0x34, 0x12, 0, 0, 0, 0, 4, 0, 0, 0, 0xFE, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0}));

    EXPECT_EQ(ToBytes(BuildCoinParams(100, 90, -1)),
              (Bytes{0x00, 0x01, 100, 0, 0, 0, 90, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(ToBytes(BuildGameClientReady()), (Bytes{0xFE, 0x00}));
}

TEST(QvPacketsTest, RoomUserInfoCarriesTheRecordWithoutTheLoginKey) {
    UserInfo info{};
    WideCopyBounded(info.szGUID, kGuidUnits, u"{G}");
    WideCopyBounded(info.szUserName, kUserNameUnits, u"李");
    WideCopyBounded(info.szExtra, kUserExtraUnits, u"x");
    info.nLoginKey = 0x11223344;
    info.nGold = 0x01020304;
    info.nGameCoin = 7;
    info.nReserved = 0;

    Bytes p = ToBytes(BuildRoomUserInfo(3, info));
    ASSERT_EQ(p.size(), 154u);
    EXPECT_EQ((Bytes(p.begin(), p.begin() + 4)), (Bytes{0xFB, 0x00, 0x03, 0x00}));
    EXPECT_EQ((Bytes(p.begin() + 4, p.begin() + 10)), (Bytes{'{', 0, 'G', 0, '}', 0}));
    EXPECT_EQ(p[4 + 78], 0x4E);  // U+674E little-endian at the name's offset
    EXPECT_EQ(p[4 + 79], 0x67);
    EXPECT_EQ(p[4 + 112], 'x');
    EXPECT_EQ((Bytes(p.begin() + 4 + 134, p.begin() + 4 + 150)),
              (Bytes{0, 0, 0, 0, 4, 3, 2, 1, 7, 0, 0, 0, 0, 0, 0, 0}))
        << "login key zeroed, then gold, coins, reserved";
}

}  // namespace
