// Coin settlement through room command 501: what is written, in which order,
// what is refused as a whole, and the banker's compensation of a failed
// user write.
#include "tests/unit/qvframe_fixture.h"

namespace {

class QvSettleTest : public FrameTest {
protected:
    // amy in place 0 and bob in place 1 of room 0, both ready.
    // pModule: the test's handle on another module than Example.
    void SeatTwo(int32_t nAmyCoins, int32_t nBobCoins, const std::string& strModule = QV_TESTGAME_EXAMPLE_PATH,
                 TestGameModule* pModule = nullptr) {
        m_strAmy = AddUser(u"amy", 0, nAmyCoins);
        m_strBob = AddUser(u"bob", 0, nBobCoins);
        ASSERT_EQ(StartFrame("RoomCount=1\r\n", strModule), 1);
        SeatUser(0, u"amy", 0);
        SeatUser(2, u"bob", 0);
        m_pCommand = RoomCommand(0);
        if (pModule && pModule->Control())
            for (const TestGameInstance& i : pModule->Control()->aInstances)
                if (i.nDestroyCount == 0) m_pCommand = i.pRoomCommand;
        ASSERT_NE(m_pCommand, nullptr);
    }
    void ExpectNothingWritten(const char* szAssert) {
        EXPECT_TRUE(m_asserts.Saw(szAssert)) << szAssert;
        EXPECT_TRUE(m_db.Calls().empty());
        EXPECT_TRUE(Net().Sends().empty());
        m_asserts.Clear();
    }
    int32_t Coins(int c) { return SessionOf(c)->GetUserInfo()->nGameCoin; }

    std::u16string m_strAmy, m_strBob;
    IRoomCommand* m_pCommand = nullptr;
};

TEST_F(QvSettleTest, BankerFirstThenUsersInPlaceOrderEachToldTheirBalance) {
    ASSERT_NO_FATAL_FAILURE(SeatTwo(100, 100));
    EXPECT_EQ(TestGameSettle(m_pCommand, -30, {50, -20}), 1);

    ASSERT_EQ(m_db.Calls().size(), 3u);
    EXPECT_EQ(m_db.Calls()[0].nCmd, DBCMD_ADD_BANKER_GOLD);
    auto banker = ValueRequests(m_db, DBCMD_ADD_BANKER_GOLD);
    EXPECT_EQ(RecordName(banker[0]), u"Example");
    EXPECT_EQ(Copy(banker[0].nValue), -3000);
    auto users = ValueRequests(m_db, DBCMD_ADD_GAME_COIN);
    ASSERT_EQ(users.size(), 2u);
    EXPECT_EQ(RecordName(users[0]), m_strAmy);
    EXPECT_EQ(Copy(users[0].nValue), 50);
    EXPECT_EQ(RecordName(users[1]), m_strBob);
    EXPECT_EQ(Copy(users[1].nValue), -20);

    EXPECT_EQ(Coins(0), 150);
    EXPECT_EQ(Coins(2), 80);
    EXPECT_EQ(SentTo(0), std::vector<Bytes>{ToBytes(BuildCoreUserInfo(*SessionOf(0)->GetUserInfo()))});
    EXPECT_EQ(SentTo(2), std::vector<Bytes>{ToBytes(BuildCoreUserInfo(*SessionOf(2)->GetUserInfo()))});
    EXPECT_EQ(m_db.BankerGold(u"Example"), -3000);
}

TEST_F(QvSettleTest, SettlementsThatDoNotBalanceOrCannotBeAppliedAreRefusedWhole) {
    ASSERT_NO_FATAL_FAILURE(SeatTwo(15, 100));
    TestGameSettle(m_pCommand, 0, {10, -5});
    ExpectNothingWritten("所有用户的Coin变化值之和不为零");
    TestGameSettle(m_pCommand, 10, {-20, 10});
    ExpectNothingWritten("改写用户Coin时发现被改写用户的Coin余额不足");
    // Count beyond the 20 places, a null array, a change for a free place.
    std::vector<int32_t> anMany(21, 0);
    TestGameSettle(m_pCommand, 0, anMany);
    ExpectNothingWritten("nCount>=0 && nCount<=m_nMaxRoomUser");
    TestGameSettle(m_pCommand, 0, {}, 2, true);
    ExpectNothingWritten("pChanges");
    TestGameSettle(m_pCommand, -5, {0, 0, 5});
    ExpectNothingWritten("m_apRoomUser[i].SessionPtr || pChanges[i]==0");
    EXPECT_EQ(Coins(0), 15);
}

TEST_F(QvSettleTest, BoundariesOfTheBalanceCheckAndTheCount) {
    ASSERT_NO_FATAL_FAILURE(SeatTwo(20, 100));
    TestGameSettle(m_pCommand, 20, {-20});
    EXPECT_EQ(Coins(0), 0) << "exactly the balance may go";

    m_db.ClearCalls();
    Net().ClearRecords();
    TestGameSettle(m_pCommand, 0, {0, 0});
    ASSERT_EQ(m_db.Calls().size(), 1u) << "only the banker record, with 0";
    EXPECT_EQ(Copy(ValueRequests(m_db, DBCMD_ADD_BANKER_GOLD)[0].nValue), 0);
    EXPECT_EQ(CountSignal(0, SC_CORE_USER_INFO) + CountSignal(2, SC_CORE_USER_INFO), 0);

    // n = 1: bob's place is neither checked nor changed.
    m_db.ClearCalls();
    TestGameSettle(m_pCommand, 0, {0, -1000}, 1);
    EXPECT_EQ(m_db.CountCalls(DBCMD_ADD_GAME_COIN), 0);
    EXPECT_EQ(Coins(2), 100);
}

TEST_F(QvSettleTest, ABankerWriteRefusedChangesNoUser) {
    ASSERT_NO_FATAL_FAILURE(SeatTwo(100, 100));
    m_db.SetCommandResult(DBCMD_ADD_BANKER_GOLD, 0);
    TestGameSettle(m_pCommand, -30, {50, -20});
    EXPECT_TRUE(m_asserts.Saw("写入GameBanker的Coin变化值 失败"));
    EXPECT_EQ(m_db.CountCalls(DBCMD_ADD_GAME_COIN), 0);
    EXPECT_EQ(Coins(0), 100);
}

TEST_F(QvSettleTest, TheBankerTakesOverTheShareOfAUserWhoseWriteFailed) {
    ASSERT_NO_FATAL_FAILURE(SeatTwo(100, 100));
    m_db.FailCall(DBCMD_ADD_GAME_COIN, 1);  // amy's win
    m_db.FailCall(DBCMD_ADD_GAME_COIN, 4);  // bob's loss in the second game
    TestGameSettle(m_pCommand, -30, {50, -20});
    TestGameSettle(m_pCommand, -30, {50, -20});

    auto banker = ValueRequests(m_db, DBCMD_ADD_BANKER_GOLD);
    ASSERT_EQ(banker.size(), 4u);
    std::vector<int32_t> aValues;
    for (const auto& r : banker) aValues.push_back(Copy(r.nValue));
    // Game 1: -3000, then amy's unpaid win stays with the banker (+5000).
    // Game 2: -3000, then bob's unrecovered loss is borne by it (-2000).
    EXPECT_EQ(aValues, (std::vector<int32_t>{-3000, 5000, -3000, -2000}));
    EXPECT_TRUE(m_asserts.Saw("FALSE"));
    EXPECT_EQ(Coins(0), 150) << "amy got only the second win";
    EXPECT_EQ(Coins(2), 80) << "bob lost only in the first game";
    // What was written still adds up: users' coins plus the banker's gold / 100.
    const int32_t nUsers = m_db.FindUser(u"amy")->nGameCoin + m_db.FindUser(u"bob")->nGameCoin;
    EXPECT_EQ(nUsers - 200 + m_db.BankerGold(u"Example") / 100, 0);
}

TEST_F(QvSettleTest, ALongGameNameIsCutToTheBankerFieldTheSameWayEveryTime) {
    TestGameModule longName(Utf8ToWide(QV_TESTGAME_LONGNAME_PATH));
    ASSERT_NO_FATAL_FAILURE(SeatTwo(100, 100, QV_TESTGAME_LONGNAME_PATH, &longName));
    TestGameSettle(m_pCommand, -1, {1, 0});
    Signal(0, CS_LOBBY_CLIENT_LOGOUT);  // the refund writes the tax record
    const std::u16string strExpected = m_server.GetGameName().substr(0, 38);
    ASSERT_EQ(ValueRequests(m_db, DBCMD_ADD_BANKER_GOLD).size(), 1u);
    EXPECT_EQ(RecordName(ValueRequests(m_db, DBCMD_ADD_BANKER_GOLD)[0]), strExpected);
    ASSERT_EQ(m_db.Taxes().size(), 1u);
    EXPECT_EQ(m_db.Taxes()[0].strGameName, strExpected);
}

TEST_F(QvSettleTest, ASettlementDuringTheLeaveOfAClosingUserSeesTheRefundedBalance) {
    ASSERT_NO_FATAL_FAILURE(SeatTwo(100, 100));
    Game().OnFrameCommand = [](TestGameCall& call) {
        if (call.nCommand == FRAME_CMD_USER_LEAVE && call.nRoomUserIndex == 0)
            TestGameSettle(call.pRoomCommand, 0, {-10, 10});
    };
    Signal(0, CS_LOBBY_CLIENT_LOGOUT);
    EXPECT_TRUE(m_asserts.Saw("改写用户Coin时发现被改写用户的Coin余额不足"));
    EXPECT_EQ(m_db.CountCalls(DBCMD_ADD_BANKER_GOLD), 0);
    EXPECT_EQ(m_db.FindUser(u"bob")->nGameCoin, 100);
}

}  // namespace
