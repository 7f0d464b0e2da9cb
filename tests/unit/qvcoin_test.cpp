// Buying game coins and the refund at close: the exact database records,
// the session's record and what the user is told, and the compensations
// that keep a failed second step from losing what the user owned.
#include "tests/unit/qvframe_fixture.h"

namespace {

class QvCoinTest : public FrameTest {
protected:
    void StartWith(int32_t nGold, int32_t nCoins, const std::string& strLines = "") {
        Game().nMinCoin = 1000;
        m_strGUID = AddUser(u"amy", nGold, nCoins);
        ASSERT_EQ(StartFrame("RoomCount=1\r\n" + strLines), 1);
        Login(0, u"amy");
        ClearRecords();
    }
    const UserInfo& Record() { return *SessionOf(0)->GetUserInfo(); }
    const FakeDbcUser& Stored() { return *m_db.FindUser(u"amy"); }
    std::u16string LastErrorText() {
        auto sent = SentTo(0);
        std::u16string strText;
        uint16_t wRequest = 0;
        if (sent.empty() || !ParseCoreError(sent.back().data(), sent.back().size(), wRequest, strText)) return u"-";
        return strText;
    }
    // amy's lobby connection closes her session; the refund runs.
    void CloseAmy() {
        Signal(0, CS_LOBBY_CLIENT_LOGOUT);
    }

    std::u16string m_strGUID;
};

TEST_F(QvCoinTest, PurchaseTopsUpToTheMinimumAndReportsTheNewBalances) {
    StartWith(60000, 400);
    Signal(0, CS_BUY_GAME_COIN);

    auto gold = ValueRequests(m_db, DBCMD_ADD_GOLD);
    auto coins = ValueRequests(m_db, DBCMD_ADD_GAME_COIN);
    ASSERT_EQ(m_db.Calls().size(), 2u);
    EXPECT_EQ(m_db.Calls()[0].nCmd, DBCMD_ADD_GOLD) << "gold first";
    EXPECT_EQ(RecordName(gold[0]), m_strGUID);
    EXPECT_EQ(Copy(gold[0].nValue), -60000);
    EXPECT_EQ(RecordName(coins[0]), m_strGUID);
    EXPECT_EQ(Copy(coins[0].nValue), 600);
    EXPECT_EQ(Copy(Record().nGameCoin), 1000);
    EXPECT_EQ(Copy(Record().nGold), 0);
    auto sent = SentTo(0);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0], ToBytes(BuildCoreUserInfo(Record())));
    EXPECT_EQ(sent[1], ToBytes(BuildCoreNotice(u"成功购买了游戏币600枚，消耗金币60000枚。")));
}

TEST_F(QvCoinTest, PurchaseRefusalsIssueNoDatabaseCommand) {
    StartWith(59999, 400);
    Signal(0, CS_BUY_GAME_COIN);
    EXPECT_EQ(LastErrorText(), u"金币不足");
    EXPECT_TRUE(m_db.Calls().empty());

    SessionOf(0)->AddGameCoin(600);
    Signal(0, CS_BUY_GAME_COIN);
    EXPECT_EQ(LastErrorText(), u"游戏币已达到房间要求，无需购买。");
    EXPECT_TRUE(m_db.Calls().empty());
}

TEST_F(QvCoinTest, APurchaseWhoseCoinCreditFailsGivesTheGoldBack) {
    StartWith(60000, 400);
    m_db.SetCommandResult(DBCMD_ADD_GAME_COIN, 0);
    Signal(0, CS_BUY_GAME_COIN);
    EXPECT_EQ(LastErrorText(), u"加游戏币失败");
    auto gold = ValueRequests(m_db, DBCMD_ADD_GOLD);
    ASSERT_EQ(gold.size(), 2u);
    EXPECT_EQ(Copy(gold[1].nValue), 60000);
    EXPECT_EQ(Stored().nGold, 60000);
    EXPECT_EQ(Copy(Record().nGold), 60000);
    EXPECT_EQ(Copy(Record().nGameCoin), 400);

    // When the gold cannot be taken at all, nothing changes.
    m_db.ClearCalls();
    m_db.SetCommandResult(DBCMD_ADD_GOLD, 0);
    Signal(0, CS_BUY_GAME_COIN);
    EXPECT_EQ(LastErrorText(), u"减金币失败");
    EXPECT_EQ(m_db.Calls().size(), 1u);
    EXPECT_EQ(Copy(Record().nGold), 60000);
}

TEST_F(QvCoinTest, RefundSellsEveryCoinAndRecordsTheTax) {
    StartWith(0, 1000);
    CloseAmy();
    ASSERT_EQ(m_db.Calls().size(), 3u);
    EXPECT_EQ(m_db.Calls()[0].nCmd, DBCMD_ADD_GAME_COIN);
    EXPECT_EQ(m_db.Calls()[1].nCmd, DBCMD_ADD_GOLD);
    EXPECT_EQ(m_db.Calls()[2].nCmd, DBCMD_WRITE_TAX);
    EXPECT_EQ(Copy(ValueRequests(m_db, DBCMD_ADD_GAME_COIN)[0].nValue), -1000);
    EXPECT_EQ(RecordName(ValueRequests(m_db, DBCMD_ADD_GOLD)[0]), m_strGUID);
    EXPECT_EQ(Copy(ValueRequests(m_db, DBCMD_ADD_GOLD)[0].nValue), 90000);
    auto tax = ValueRequests(m_db, DBCMD_WRITE_TAX);
    EXPECT_EQ(RecordName(tax[0]), u"Example");
    EXPECT_EQ(Copy(tax[0].nValue), 10000);
    EXPECT_EQ(Stored().nGameCoin, 0);
    EXPECT_EQ(Stored().nGold, 90000);
    EXPECT_EQ(CountSignal(0, SC_CORE_USER_INFO), 0) << "no record for a closing session";
}

TEST_F(QvCoinTest, RefundUsesTheLoweredSellingRateAndRunsForZeroCoins) {
    StartWith(0, 10, "GoldToCoin=100\r\nCoinToGold=120\r\n");
    CloseAmy();
    EXPECT_EQ(Copy(ValueRequests(m_db, DBCMD_ADD_GOLD)[0].nValue), 1000);
    EXPECT_EQ(Copy(ValueRequests(m_db, DBCMD_WRITE_TAX)[0].nValue), 0);

    Login(0, u"amy");
    m_db.ClearCalls();
    CloseAmy();
    ASSERT_EQ(m_db.Calls().size(), 3u) << "three zero-amount commands";
    for (const DbcCallRecord& call : m_db.Calls()) EXPECT_EQ(Copy(call.Request<DbcValueRecord>()->nValue), 0);
}

TEST_F(QvCoinTest, ARefundWhoseGoldCreditFailsPutsTheCoinsBack) {
    StartWith(0, 1000);
    m_db.SetCommandResult(DBCMD_ADD_GOLD, 0);
    CloseAmy();
    auto coins = ValueRequests(m_db, DBCMD_ADD_GAME_COIN);
    ASSERT_EQ(coins.size(), 2u);
    EXPECT_EQ(Copy(coins[1].nValue), 1000);
    EXPECT_EQ(m_db.CountCalls(DBCMD_WRITE_TAX), 0);
    EXPECT_EQ(Stored().nGameCoin, 1000);
    EXPECT_EQ(Stored().nGold, 0);
}

TEST_F(QvCoinTest, SessionsWithoutALoggedInUserAreNotRefunded) {
    Game().nMinCoin = 10;
    AddUser(u"amy", 0, 5);
    WriteConfig("RoomCount=1\r\n", QV_TESTGAME_EXAMPLE_PATH, 8, 2);  // two users at most
    ASSERT_EQ(m_server.StartFrame(m_info), 1);
    Connect(0);  // never logs in
    Login(1, u"amy");
    Connect(2);  // refused: the server is full
    ASSERT_TRUE(m_server.GetSession(2)->IsRefused());
    m_db.ClearCalls();

    m_tick.Advance(30001);  // both temporary connections time out
    Poll();
    Poll();
    EXPECT_FALSE(m_server.GetSession(0)->IsUsed());
    EXPECT_FALSE(m_server.GetSession(2)->IsUsed());
    EXPECT_TRUE(m_db.Calls().empty());
}

}  // namespace
