// Room seat rules as the game and the configuration report them, the room
// command channel's commands, and a game module that throws.
#include <stdlib.h>

#include "tests/support/scopedenv.h"
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
    EXPECT_EQ(pCommand->DoCommand(0, ROOM_CMD_SETTLE_COIN, &settlement, 8), 0) << "and says so";
    EXPECT_TRUE(m_asserts.Saw("StructSizeIn==TDataSize"));
    EXPECT_TRUE(m_db.Calls().empty()) << "a short record settles nothing";

    struct Longer {
        CoinSettlement s;
        int32_t nExtra;
    } longer{settlement, 99};
    EXPECT_EQ(pCommand->DoCommand(0, ROOM_CMD_SETTLE_COIN, &longer, sizeof(longer)), 1);
    EXPECT_EQ(m_db.CountCalls(DBCMD_EXCHANGE), 1) << "a longer one is read up to the record";
    EXPECT_EQ(Copy(SessionOf(0)->GetUserInfo()->nGameCoin), 90);
}

// The places of room 0 that hold a session.
std::vector<int16_t> HeldPlaces(const CQVRoom* pRoom) {
    std::vector<int16_t> a;
    for (int16_t i = 0; i < pRoom->GetMaxRoomUser(); ++i)
        if (pRoom->GetRoomUser(i)->SessionPtr) a.push_back(i);
    return a;
}

int CountLog(const CHostCapture& host, const std::u16string& strMessage) {
    auto a = host.LogMessages();
    return static_cast<int>(std::count(a.begin(), a.end(), strMessage));
}

// A join that throws after writing "admitted" must not leave the place held:
// the session never learns it sits there, closes without leaving, and its
// object's next user would otherwise be found at the stale place.
TEST_F(QvRoomTest, AJoinThatThrowsIsRefusedAndItsSessionsNextUserIsHeardAtHisOwnPlace) {
    AddUser(u"amy", 0, 0);
    AddUser(u"bob", 0, 0);
    for (bool bForeign : {false, true}) {
        SCOPED_TRACE(bForeign ? "a bare int" : "a std::exception");
        ASSERT_EQ(StartFrame("RoomCount=1\r\n"), 1);
        CQVRoom* pRoom = m_server.GetRoom(0);
        Game().anThrowOnCommands = {FRAME_CMD_USER_JOIN};
        Game().bThrowForeign = bForeign;

        Login(0, u"amy");
        CQVSession* pSession = SessionOf(0);
        Join(0, 0);
        Join(0, 0);  // and once more: a second fault is not reported to the host again
        EXPECT_EQ(SentTo(0).back(), ToBytes(BuildCoreError(CS_JOIN_ROOM, u"房间拒绝用户加入")));
        EXPECT_TRUE(HeldPlaces(pRoom).empty());
        EXPECT_EQ(SessionOf(0)->GetRoomIndex(), static_cast<int16_t>(Q7_INVALID_SHORT_INDEX));
        const std::u16string strReport =
            std::u16string(u"房间(0) 游戏模块在 FRAME_CMD_USER_JOIN 中抛出异常: ") +
            (bForeign ? u"an exception that is not a std::exception" : u"scripted game fault") + u" (同类异常不再报告)";
        EXPECT_EQ(CountLog(m_host, strReport), 1);

        Signal(0, CS_LOBBY_CLIENT_LOGOUT);
        Game().anThrowOnCommands.clear();
        ClearRecords();
        Login(0, u"bob");
        ASSERT_EQ(SessionOf(0), pSession) << "the scenario needs the session object reused";
        Login(1, u"bob", CS_GAME_CLIENT_LOGIN);
        CheckVersion(1);
        Join(0, 0);
        Signal(1, CS_GAME_CLIENT_READY);
        Signal(0, CS_LEAVE_ROOM);

        std::vector<std::pair<int32_t, int16_t>> aHeard;
        for (const TestGameRecord& r : Game().aRecords)
            if (r.eKind == TestGameRecord::FRAME_COMMAND && r.nCommand != FRAME_CMD_TICK)
                aHeard.emplace_back(r.nCommand, r.nRoomUserIndex);
        EXPECT_EQ(aHeard, (std::vector<std::pair<int32_t, int16_t>>{
                              {FRAME_CMD_USER_JOIN, 0}, {FRAME_CMD_CLIENT_READY, 0}, {FRAME_CMD_USER_LEAVE, 0}}));
        EXPECT_TRUE(HeldPlaces(pRoom).empty());
        m_server.Stop();
        Game().Reset();
    }
}

// Leave, ready and packets that throw: the frame goes on serving the room and
// its places stay what the users did, not what the game managed.
TEST_F(QvRoomTest, LeaveReadyAndPacketsThatThrowLeaveThePlacesRight) {
    AddUser(u"amy", 0, 0);
    AddUser(u"bob", 0, 0);
    ASSERT_EQ(StartFrame("RoomCount=2\r\n"), 1);
    Game().anThrowOnCommands = {FRAME_CMD_CLIENT_READY, FRAME_CMD_USER_LEAVE};
    Game().bThrowOnClientData = true;
    CQVRoom* pRoom = m_server.GetRoom(1);

    SeatUser(0, u"amy", 1, 0, false);
    Signal(1, CS_GAME_CLIENT_READY);
    EXPECT_EQ(pRoom->GetRoomUser(0)->bGameClientConnected, 1);
    EXPECT_EQ(CountSignal(0, SC_GAME_CLIENT_READY), 1) << "the lobby still hears the client is up";
    EXPECT_TRUE(m_host.HasLog(u"房间(1) 游戏模块在 FRAME_CMD_CLIENT_READY 中抛出异常: scripted game fault (同类异常不再报告)"));

    Receive(1, GamePacket(1001, {'x'}));
    Receive(1, GamePacket(1002, {'y'}));
    auto data = Game().Find(TestGameRecord::CLIENT_DATA);
    ASSERT_EQ(data.size(), 2u) << "the next packet still reaches the game";
    EXPECT_EQ(data[1].aData, GamePacket(1002, {'y'}));
    const Bytes kPacket = GamePacket(1105, {1});
    EXPECT_EQ(RoomCommand(1)->SendToUser(0, kPacket.data(), static_cast<int32_t>(kPacket.size()), 0), 1)
        << "the place is still seated and ready";

    Signal(0, CS_LEAVE_ROOM);
    EXPECT_EQ(FrameCommands(FRAME_CMD_USER_LEAVE).size(), 1u);
    EXPECT_TRUE(HeldPlaces(pRoom).empty());
    EXPECT_EQ(SessionOf(0)->GetRoomIndex(), static_cast<int16_t>(Q7_INVALID_SHORT_INDEX));
    RoomState state;
    pRoom->GetRoomState(state);
    EXPECT_EQ(state.JoinPlayerCount, 0);

    // The freed place is given out again, and the game hears of it there.
    ClearRecords();
    Login(4, u"bob");
    Join(4, 1);
    EXPECT_EQ(SessionOf(4)->GetRoomIndex(), 1);
    auto joins = FrameCommands(FRAME_CMD_USER_JOIN);
    ASSERT_EQ(joins.size(), 1u);
    EXPECT_EQ(joins[0].nRoomUserIndex, 0);
    EXPECT_EQ(HeldPlaces(pRoom), std::vector<int16_t>{0});
}

}  // namespace

#ifdef QV_EXAMPLE_GAME_PATH
namespace {

// The shipped example game when the frame cannot take the stakes (the banker
// write, or the one exchange that carries it, fails): it must not go on to pay
// a pot it never collected.
TEST_F(QvRoomTest, TheExampleGamePaysNothingWhenTheFrameRefusedItsStakes) {
    ScopedEnv countdown("QV_EXAMPLE_COUNTDOWN_MS", "0");
    ScopedEnv result("QV_EXAMPLE_RESULT_MS", "0");
    AddUser(u"amy", 0, 200);
    AddUser(u"bob", 0, 200);
    struct Case {
        bool bExchange;   // the database settles in one exchange
        int nFailedCmd;   // the write that fails
    };
    for (const Case& c : {Case{false, DBCMD_ADD_BANKER_GOLD}, Case{true, DBCMD_EXCHANGE}}) {
        SCOPED_TRACE(c.nFailedCmd);
        for (const char16_t* szName : {u"amy", u"bob"}) m_db.MutableUser(szName)->nGameCoin = 200;  // a stop sold them
        m_db.SetExchangeSupported(c.bExchange);
        ASSERT_EQ(StartFrame("RoomCount=1\r\n", QV_EXAMPLE_GAME_PATH), 1);
        ASSERT_EQ(m_server.HasDbcExchange() != 0, c.bExchange);
        SeatUser(0, u"amy", 0);
        SeatUser(2, u"bob", 0);
        m_db.FailCall(c.nFailedCmd, m_db.CountCalls(c.nFailedCmd) + 1);

        Receive(1, GamePacket(1000));
        Receive(3, GamePacket(1000));
        for (int i = 0; i < 3; ++i) Poll();

        EXPECT_EQ(m_db.CountCalls(c.nFailedCmd), 1) << "the stakes were asked for, and nothing after";
        EXPECT_EQ(m_db.CountCalls(DBCMD_ADD_GAME_COIN), 0);
        EXPECT_EQ(Copy(SessionOf(0)->GetUserInfo()->nGameCoin), 200);
        EXPECT_EQ(Copy(SessionOf(2)->GetUserInfo()->nGameCoin), 200);
        EXPECT_EQ(m_db.FindUser(u"amy")->nGameCoin, 200);
        EXPECT_EQ(m_db.BankerGold(u"ExampleGame"), 0);
        const Bytes kCancelled = {0x5A, 0x04, 1, 0, 0, 0, 2, 0};  // round 1, the stakes were refused
        EXPECT_EQ(SentTo(1).back(), kCancelled);
        EXPECT_EQ(SentTo(3).back(), kCancelled);
        m_server.Stop();
    }
}

}  // namespace
#endif
