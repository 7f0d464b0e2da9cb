// The frame session and the room: room list, joining with its refusals,
// leaving by every path, the game client's readiness and the game's packets.
#include "tests/unit/qvframe_fixture.h"

namespace {

class QvSessionTest : public FrameTest {};

TEST_F(QvSessionTest, RoomListSendsCountStatesParamsAndResultInThatOrder) {
    Game().nMinCoin = 100;
    AddUser(u"amy", 0, 0);
    ASSERT_EQ(StartFrame("RoomCount=21\r\n"), 1);
    Login(0, u"amy");
    ClearRecords();

    Signal(0, CS_GET_ROOM_LIST);
    auto sent = SentTo(0);
    ASSERT_EQ(sent.size(), 24u);
    EXPECT_EQ(sent[0], ToBytes(BuildRoomCount(21)));
    RoomState empty;
    empty.nMaxRoomPlayer = 4;
    for (int i = 0; i < 21; ++i) EXPECT_EQ(sent[1 + i], ToBytes(BuildRoomState(static_cast<uint16_t>(i), empty)));
    EXPECT_EQ(sent[22], ToBytes(BuildCoinParams(100, 90, 100)));
    EXPECT_EQ(sent[23], ToBytes(BuildCoreResult(CS_GET_ROOM_LIST)));

    Net().ClearRecords();
    Signal(0, CS_REFRESH_ROOM_LIST);
    EXPECT_EQ(SentTo(0).size(), 22u) << "the refresh is the list alone";
}

TEST_F(QvSessionTest, JoinSeatsPlayersInTheLowestFreePlaceAndBroadcastsTheState) {
    for (const char16_t* sz : {u"amy", u"bob", u"cat"}) AddUser(sz, 0, 500);
    ASSERT_EQ(StartFrame(), 1);
    Login(0, u"amy");
    Login(1, u"bob");
    Login(2, u"cat");
    ClearRecords();

    Join(0, 1);
    EXPECT_EQ(SentTo(0).back(), ToBytes(BuildCoreResult(CS_JOIN_ROOM)));
    RoomState state;
    state.nMaxRoomPlayer = 4;
    state.JoinPlayerCount = 1;
    for (int c : {0, 1, 2}) EXPECT_EQ(SentTo(c).front(), ToBytes(BuildRoomState(1, state))) << "lobby " << c;
    EXPECT_TRUE(m_host.HasLog(u"Connection(0) 用户(amy) 加入房间(1)"));

    Join(1, 1);
    Join(2, 1, kJoinAsObserver);
    CQVRoom* pRoom = m_server.GetRoom(1);
    EXPECT_EQ(pRoom->FindRoomUserIndex(SessionOf(0)), 0);
    EXPECT_EQ(pRoom->FindRoomUserIndex(SessionOf(1)), 1);
    EXPECT_EQ(pRoom->FindRoomUserIndex(SessionOf(2)), 4) << "observers start after the players";
    pRoom->GetRoomState(state);
    EXPECT_EQ(state.JoinPlayerCount, 2) << "observers never count";

    // The game heard each join with the user's data.
    auto joins = FrameCommands(FRAME_CMD_USER_JOIN);
    ASSERT_EQ(joins.size(), 3u);
    JoinRoomQuery query{};
    ASSERT_EQ(joins[2].aData.size(), sizeof(query));
    std::memcpy(&query, joins[2].aData.data(), sizeof(query));
    EXPECT_EQ(joins[2].nRoomUserIndex, 4);
    EXPECT_EQ(Copy(query.nResult), 1);
    EXPECT_EQ(std::u16string(query.szRefuseText), u"房间拒绝用户加入");
    EXPECT_EQ(std::u16string(query.szExtra), u"ext-cat");
    EXPECT_EQ(Copy(query.nGameCoin), 500);

    // The first leaves; the next player request gets place 0 again.
    Signal(0, CS_LEAVE_ROOM);
    Login(3, u"amy");  // takes over amy's session
    Join(3, 1);
    EXPECT_EQ(pRoom->FindRoomUserIndex(SessionOf(3)), 0);
}

// Joins and a leave handled in one poll. One per change (the default): every
// lobby hears each change at once, with the state of that moment. Coalesced:
// every lobby hears each changed room once, with its last state, after
// everything else the poll sent.
TEST_F(QvSessionTest, RoomStatesGoOutPerChangeOrOncePerChangedRoomAtThePollsEnd) {
    for (const char16_t* sz : {u"amy", u"bob", u"cat"}) AddUser(sz, 0, 500);
    auto State = [](uint16_t wRoom, int32_t nPlayers) {
        RoomState state;
        state.nMaxRoomPlayer = 4;
        state.JoinPlayerCount = nPlayers;
        return ToBytes(BuildRoomState(wRoom, state));
    };
    const Bytes kJoined = ToBytes(BuildCoreResult(CS_JOIN_ROOM));
    struct Case {
        const char* szLines;
        std::vector<Bytes> aToAmy, aToBob;  // everything their lobbies receive in that poll
    };
    const Case kCases[] = {
        {"RoomCount=3\r\n",
         {State(1, 1), kJoined, State(1, 2), State(2, 1), State(2, 0)},
         {State(1, 1), State(1, 2), kJoined, State(2, 1), State(2, 0)}},
        {"RoomCount=3\r\nCoalesceRoomState=0\r\n",
         {State(1, 1), kJoined, State(1, 2), State(2, 1), State(2, 0)},
         {State(1, 1), State(1, 2), kJoined, State(2, 1), State(2, 0)}},
        {"RoomCount=3\r\nCoalesceRoomState=1\r\n",
         {kJoined, State(1, 2), State(2, 0)},
         {kJoined, State(1, 2), State(2, 0)}},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.szLines);
        ASSERT_EQ(StartFrame(c.szLines), 1);
        Login(0, u"amy");
        Login(1, u"bob");
        Login(2, u"cat");
        ClearRecords();
        Net().QueueReceive(0, JoinPacket(1, 0));
        Net().QueueReceive(1, JoinPacket(1, 0));
        Net().QueueReceive(2, JoinPacket(2, 0));
        Net().QueueSignal(2, CS_LEAVE_ROOM);
        Poll();
        EXPECT_EQ(SentTo(0), c.aToAmy);
        EXPECT_EQ(SentTo(1), c.aToBob);
        EXPECT_EQ(CountSignal(2, SC_ROOM_STATE), static_cast<int>(c.aToAmy.size()) - 1);
        ClearRecords();
        Poll();
        EXPECT_TRUE(SentTo(0).empty()) << "nothing is sent twice";
        m_server.Stop();
    }
}

TEST_F(QvSessionTest, JoinRefusalsCarryTheirTexts) {
    Game().nMaxRoomPlayer = 1;
    Game().nMinCoin = 100;
    AddUser(u"amy", 0, 100);
    AddUser(u"bob", 0, 99);
    ASSERT_EQ(StartFrame("RoomCount=3\r\nMaxObserver=1\r\n"), 1);
    Login(0, u"amy");
    Login(1, u"bob");
    ClearRecords();

    Join(1, 0);
    EXPECT_EQ(LastErrorTo(1), u"游戏币不足，最少需要100枚。");
    Join(1, 0, 7);
    EXPECT_EQ(LastErrorTo(1), u"游戏币不足，最少需要100枚。") << "an unknown mode is a player request";
    Join(0, 0, 7);
    EXPECT_EQ(m_server.GetRoom(0)->FindRoomUserIndex(SessionOf(0)), 0) << "a player place, with the minimum met";
    Join(1, 0);
    EXPECT_EQ(LastErrorTo(1), u"房间人数已满");
    Join(1, 0, kJoinAsObserver);
    EXPECT_EQ(SentTo(1).back(), ToBytes(BuildCoreResult(CS_JOIN_ROOM))) << "observers need no coins";

    Join(0, 1);
    EXPECT_EQ(LastErrorTo(0), u"请先离开房间 ( 0 )");
    Net().ClearRecords();
    Join(0, 0);
    EXPECT_EQ(SentTo(0), std::vector<Bytes>{ToBytes(BuildCoreResult(CS_JOIN_ROOM))})
        << "the same room again: success, no second seat, no broadcast";
    Join(0, 3);
    EXPECT_EQ(LastErrorTo(0), u"用户 amy 加入无效房间 3 当前房间总数为 3");
    EXPECT_TRUE(m_host.HasLog(u"用户 amy 加入无效房间 3 当前房间总数为 3"));
    EXPECT_TRUE(m_host.HasLog(u"Connection(0) 加入房间(3) : 用户 amy 加入无效房间 3 当前房间总数为 3"));

    // The game refuses with its own text; the place is free again.
    Game().nJoinResult = 0;
    Game().strRefuseText = u"牌局进行中";
    ClearRecords();
    Join(1, 2);
    EXPECT_EQ(LastErrorTo(1), u"请先离开房间 ( 0 )");
    Signal(1, CS_LEAVE_ROOM);
    Join(1, 2, kJoinAsObserver);
    EXPECT_EQ(LastErrorTo(1), u"牌局进行中");
    EXPECT_EQ(m_server.GetRoom(2)->GetRoomUser(1)->SessionPtr, nullptr);
    EXPECT_EQ(SessionOf(1)->GetRoomIndex(), static_cast<int16_t>(Q7_INVALID_SHORT_INDEX));
}

TEST_F(QvSessionTest, JoinOnTheGameConnectionWhileSeatedElsewhereChangesNothing) {
    AddUser(u"amy", 0, 0);
    ASSERT_EQ(StartFrame(), 1);
    SeatUser(0, u"amy", 0);
    Join(1, 2);
    EXPECT_EQ(SentTo(1), std::vector<Bytes>{ToBytes(BuildCoreResult(CS_JOIN_ROOM))});
    EXPECT_EQ(SessionOf(0)->GetRoomIndex(), 0);
}

TEST_F(QvSessionTest, LeavingByRequestClosesTheGameConnectionAndReportsTwice) {
    AddUser(u"amy", 0, 0);
    AddUser(u"bob", 0, 0);
    ASSERT_EQ(StartFrame(), 1);
    Login(4, u"bob");
    SeatUser(0, u"amy", 1);

    Signal(0, CS_LEAVE_ROOM);
    EXPECT_TRUE(m_host.HasLog(u"用户'amy'请求离开房间(1)"));
    auto leaves = FrameCommands(FRAME_CMD_USER_LEAVE);
    ASSERT_EQ(leaves.size(), 1u);
    EXPECT_EQ(leaves[0].nRoomUserIndex, 0);
    EXPECT_TRUE(leaves[0].bNullData);
    EXPECT_EQ(CountSignal(0, SC_CORE_USER_INFO), 2) << "the leave, then the closed game connection";
    EXPECT_EQ(Net().Closes(), std::vector<int>{1});
    RoomState empty;
    empty.nMaxRoomPlayer = 4;
    EXPECT_EQ(SentTo(4).front(), ToBytes(BuildRoomState(1, empty)));
    EXPECT_EQ(m_server.GetRoom(1)->GetRoomUser(0)->SessionPtr, nullptr);

    // Out of any room, the request still reports and drops the game connection.
    ClearRecords();
    Login(1, u"amy", CS_GAME_CLIENT_LOGIN);
    Net().ClearRecords();
    Signal(0, CS_LEAVE_ROOM);
    EXPECT_EQ(CountSignal(0, SC_CORE_USER_INFO), 2);
    EXPECT_EQ(Net().Closes(), std::vector<int>{1});
    EXPECT_TRUE(FrameCommands(FRAME_CMD_USER_LEAVE).empty());
}

TEST_F(QvSessionTest, LosingTheGameConnectionLeavesTheRoom) {
    AddUser(u"amy", 0, 0);
    ASSERT_EQ(StartFrame(), 1);
    SeatUser(0, u"amy", 2);
    Net().QueueDisconnect(1);
    Poll();
    EXPECT_EQ(FrameCommands(FRAME_CMD_USER_LEAVE).size(), 1u);
    EXPECT_EQ(CountSignal(0, SC_CORE_USER_INFO), 1);
    EXPECT_EQ(SessionOf(0)->GetRoomIndex(), static_cast<int16_t>(Q7_INVALID_SHORT_INDEX));
}

TEST_F(QvSessionTest, ClosingTheSessionRefundsBeforeTheGameHearsTheLeave) {
    AddUser(u"amy", 0, 40);
    ASSERT_EQ(StartFrame(), 1);
    SeatUser(0, u"amy", 0);
    int nCallsAtLeave = -1;
    int32_t nCoinsAtLeave = -1;
    CQVSession* pSession = SessionOf(0);
    Game().OnFrameCommand = [&](TestGameCall& call) {
        if (call.nCommand != FRAME_CMD_USER_LEAVE) return;
        nCallsAtLeave = static_cast<int>(m_db.Calls().size());
        nCoinsAtLeave = pSession->GetUserInfo()->nGameCoin;
    };
    Signal(0, CS_LOBBY_CLIENT_LOGOUT);
    EXPECT_EQ(FrameCommands(FRAME_CMD_USER_LEAVE).size(), 1u);
    EXPECT_EQ(nCallsAtLeave, 1) << "the refund's exchange was written first";
    EXPECT_EQ(nCoinsAtLeave, 0);
    EXPECT_FALSE(pSession->IsUsed());
}

TEST_F(QvSessionTest, GameConnectionPacketsWaitForItsVersionCheck) {
    AddUser(u"amy", 0, 0);
    ASSERT_EQ(StartFrame(), 1);
    Login(0, u"amy");
    Join(0, 0);
    Login(1, u"amy", CS_GAME_CLIENT_LOGIN);
    ClearRecords();
    Receive(1, GamePacket(1000, {9}));
    EXPECT_EQ(SentTo(1), std::vector<Bytes>{ToBytes(BuildCoreError(1000, u"[1000] 版本验证还没有通过"))});
    EXPECT_EQ(Game().Count(TestGameRecord::CLIENT_DATA), 0u);
}

TEST_F(QvSessionTest, ReadyIsAFrameCommandAndOtherPacketsReachTheGameUnchanged) {
    AddUser(u"amy", 0, 0);
    ASSERT_EQ(StartFrame(), 1);
    SeatUser(0, u"amy", 0, kJoinAsPlayer, false);
    Signal(1, CS_GAME_CLIENT_READY);
    EXPECT_EQ(FrameCommands(FRAME_CMD_CLIENT_READY).size(), 1u);
    EXPECT_EQ(SentTo(0), std::vector<Bytes>{ToBytes(BuildGameClientReady())});

    Receive(1, GamePacket(1001, {1, 2, 3}));
    Receive(0, Bytes{0x32, 0x01, 0x00, 0x00});  // a 4-byte join from a seated user
    auto data = Game().Find(TestGameRecord::CLIENT_DATA);
    ASSERT_EQ(data.size(), 2u);
    EXPECT_EQ(data[0].aData, (Bytes{0xE9, 0x03, 1, 2, 3}));
    EXPECT_EQ(data[0].nRoomUserIndex, 0);
    EXPECT_EQ(data[0].nReserved, 0);
    EXPECT_EQ(data[1].aData, (Bytes{0x32, 0x01, 0x00, 0x00}));
    EXPECT_TRUE(m_host.HasLog(u"出现无法解析的网络包"));
}

TEST_F(QvSessionTest, GameSendsNeedAReadyClientOfTheSameSession) {
    AddUser(u"amy", 0, 0);
    AddUser(u"bob", 0, 0);
    ASSERT_EQ(StartFrame(), 1);
    SeatUser(0, u"amy", 0, kJoinAsPlayer, false);
    IRoomCommand* pCommand = RoomCommand(0);
    ASSERT_NE(pCommand, nullptr);
    const Bytes packet = GamePacket(1101, {5});

    EXPECT_EQ(pCommand->SendToUser(0, packet.data(), 3, 0), 0);
    EXPECT_TRUE(m_asserts.Saw("m_apRoomUser[nRoomUserIndex].bGameClientConnected"));
    Signal(1, CS_GAME_CLIENT_READY);
    Net().ClearRecords();
    EXPECT_EQ(pCommand->SendToUser(0, packet.data(), 3, 0), 1);
    EXPECT_EQ(pCommand->SendToUser(0, packet.data(), 3, 1), 0) << "a non-zero flag";
    EXPECT_EQ(pCommand->SendToUser(-1, packet.data(), 3, 0), 0);
    EXPECT_EQ(SentTo(1), std::vector<Bytes>{packet});

    // amy's session closes and its object serves bob: nothing reaches him.
    Signal(0, CS_LOBBY_CLIENT_LOGOUT);
    Login(0, u"bob");
    Login(1, u"bob", CS_GAME_CLIENT_LOGIN);
    Net().ClearRecords();
    EXPECT_EQ(pCommand->SendToUser(0, packet.data(), 3, 0), 0);
    EXPECT_TRUE(Net().Sends().empty());
}

TEST_F(QvSessionTest, RoomUsersListsOccupantsWithoutTheirLoginKeys) {
    AddUser(u"amy", 5, 6, 0x7A7A7A7A);
    AddUser(u"bob", 0, 0);
    ASSERT_EQ(StartFrame(), 1);
    SeatUser(0, u"amy", 1, kJoinAsObserver);
    Login(2, u"bob");
    ClearRecords();

    Receive(2, Bytes{0x60, 0x01, 0x01, 0x00});
    auto sent = SentTo(2);
    ASSERT_EQ(sent.size(), 1u);
    UserInfo expected = *SessionOf(0)->GetUserInfo();
    ASSERT_EQ(Copy(expected.nLoginKey), 0x7A7A7A7A);
    EXPECT_EQ(sent[0], ToBytes(BuildRoomUserInfo(4, expected)));
    EXPECT_EQ((Bytes(sent[0].begin() + 4 + 134, sent[0].begin() + 4 + 138)), (Bytes{0, 0, 0, 0}));

    Receive(2, Bytes{0x60, 0x01, 0x00, 0x00});  // an empty room
    Receive(2, Bytes{0x60, 0x01, 0x03, 0x00});  // no such room
    EXPECT_EQ(SentTo(2).size(), 1u);
}

}  // namespace
