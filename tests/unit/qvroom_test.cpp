// Room seat rules as the game and the configuration report them, and the
// room command channel's commands.
#include "tests/unit/qvframe_fixture.h"

namespace {

class QvRoomTest : public FrameTest {};

TEST_F(QvRoomTest, NegativeSeatCountsAreTakenAsZeroAndPlacesNeverOverlap) {
    struct Case {
        int16_t nPlayers;
        int16_t nObservers;      // the game's answer
        int16_t nObserverBegin;
        const char* szAssert;
        int16_t nMaxRoomUser;    // expected
        int16_t nBegin;
    };
    const Case kCases[] = {
        {-2, 3, -2, "m_nMaxRoomPlayer>0", 3, 0},
        {4, -5, 4, "m_nMaxRoomObserver>=0", 4, 4},
        {4, 2, 1, "m_nObserverBeginIndex>=m_nMaxRoomPlayer", 6, 4},
        {4, 32767, 10, "m_nObserverBeginIndex+m_nMaxRoomObserver<Q7_INVALID_SHORT_INDEX", 32767, 10},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.szAssert);
        Game().nMaxRoomPlayer = c.nPlayers;
        Game().nMaxRoomObserver = c.nObservers;
        Game().nObserverBeginIndex = c.nObserverBegin;
        m_asserts.Clear();
        ASSERT_EQ(StartFrame("RoomCount=1\r\n"), 1);
        EXPECT_TRUE(m_asserts.Saw(c.szAssert));
        CQVRoom* pRoom = m_server.GetRoom(0);
        EXPECT_EQ(pRoom->GetMaxRoomUser(), c.nMaxRoomUser);
        EXPECT_EQ(pRoom->GetObserverBeginIndex(), c.nBegin);
        EXPECT_GE(pRoom->GetMaxRoomPlayer(), 0);
        m_server.Stop();
    }
}

TEST_F(QvRoomTest, ARoomWithoutPlayerPlacesSeatsNoPlayerAndANegativeMaxObserverNoObserver) {
    Game().nMaxRoomPlayer = -1;
    AddUser(u"amy", 0, 0);
    ASSERT_EQ(StartFrame("RoomCount=1\r\nMaxObserver=-3\r\n"), 1);
    EXPECT_TRUE(m_asserts.Saw("m_nMaxRoomObserver>=0"));
    EXPECT_EQ(m_server.GetRoom(0)->GetMaxRoomUser(), 0);
    Login(0, u"amy");
    Join(0, 0);
    EXPECT_EQ(SentTo(0).back(), ToBytes(BuildCoreError(CS_JOIN_ROOM, u"房间人数已满")));
    Join(0, 0, kJoinAsObserver);
    EXPECT_EQ(SentTo(0).back(), ToBytes(BuildCoreError(CS_JOIN_ROOM, u"禁止观战")));
}

TEST_F(QvRoomTest, RoomIndexCommandWritesAtMostFourBytes) {
    ASSERT_EQ(StartFrame("RoomCount=4\r\n"), 1);
    IRoomCommand* pCommand = RoomCommand(3);
    ASSERT_NE(pCommand, nullptr);
    EXPECT_EQ(TestGameGetRoomIndex(pCommand), 3);
    EXPECT_TRUE(m_asserts.Reports().empty());

    uint8_t aBuffer[8];
    std::fill(std::begin(aBuffer), std::end(aBuffer), 0xEE);
    EXPECT_EQ(pCommand->DoCommand(0, ROOM_CMD_GET_ROOM_INDEX, aBuffer, 8), 1);
    EXPECT_EQ((Bytes(aBuffer, aBuffer + 8)), (Bytes{3, 0, 0, 0, 0xEE, 0xEE, 0xEE, 0xEE}));
    EXPECT_TRUE(m_asserts.Saw("StructSizeOut==TDataSize"));

    std::fill(std::begin(aBuffer), std::end(aBuffer), 0xEE);
    EXPECT_EQ(pCommand->DoCommand(0, 502, aBuffer, 8), 1);
    EXPECT_EQ(pCommand->DoCommand(0, ROOM_CMD_GET_ROOM_INDEX, aBuffer, 2), 1);
    EXPECT_EQ((Bytes(aBuffer, aBuffer + 3)), (Bytes{3, 0, 0xEE})) << "a short buffer is not overrun";
}

TEST_F(QvRoomTest, ASettlementRecordOfTheWrongLengthIsNotTrustedPastItsEnd) {
    AddUser(u"amy", 0, 100);
    ASSERT_EQ(StartFrame(), 1);
    SeatUser(0, u"amy", 0);
    IRoomCommand* pCommand = RoomCommand(0);
    int32_t anChanges[1] = {-10};
    CoinSettlement settlement{10, anChanges, 1};
    EXPECT_EQ(pCommand->DoCommand(0, ROOM_CMD_SETTLE_COIN, &settlement, 8), 1);
    EXPECT_TRUE(m_asserts.Saw("StructSizeIn==TDataSize"));
    EXPECT_TRUE(m_db.Calls().empty()) << "a short record settles nothing";

    struct Longer {
        CoinSettlement s;
        int32_t nExtra;
    } longer{settlement, 99};
    EXPECT_EQ(pCommand->DoCommand(0, ROOM_CMD_SETTLE_COIN, &longer, sizeof(longer)), 1);
    EXPECT_EQ(m_db.CountCalls(DBCMD_ADD_GAME_COIN), 1) << "a longer one is read up to the record";
    EXPECT_EQ(Copy(SessionOf(0)->GetUserInfo()->nGameCoin), 90);
}

}  // namespace
