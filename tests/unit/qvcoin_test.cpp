// Buying game coins and the refund at close: the exact database records,
// the session's record and what the user is told, and the compensations
// that keep a failed second step from losing what the user owned. The suite
// runs against a library without exchanges (single commands) unless a test
// offers them.
#include "QuorvelS/dbprocess.h"
#include "tests/unit/qvframe_fixture.h"

namespace {

class QvCoinTest : public FrameTest {
protected:
    QvCoinTest() { m_db.SetExchangeSupported(false); }
    void StartWith(int32_t nGold, int32_t nCoins, const std::string& strLines = "") {
        Game().nMinCoin = 1000;
        m_strGUID = AddUser(u"amy", nGold, nCoins);
        ASSERT_EQ(StartFrame("RoomCount=1\r\n" + strLines), 1);
        Login(0, u"amy");
        ClearRecords();
    }
    const UserInfo& Record() { return *SessionOf(0)->GetUserInfo(); }
    const FakeDbcUser& Stored() { return *m_db.FindUser(u"amy"); }
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
    EXPECT_EQ(LastErrorTo(0), u"金币不足");
    EXPECT_TRUE(m_db.Calls().empty());

    SessionOf(0)->AddGameCoin(600);
    Signal(0, CS_BUY_GAME_COIN);
    EXPECT_EQ(LastErrorTo(0), u"游戏币已达到房间要求，无需购买。");
    EXPECT_TRUE(m_db.Calls().empty());
}

TEST_F(QvCoinTest, APurchaseWhoseCoinCreditFailsGivesTheGoldBack) {
    StartWith(60000, 400);
    m_db.SetCommandResult(DBCMD_ADD_GAME_COIN, 0);
    Signal(0, CS_BUY_GAME_COIN);
    EXPECT_EQ(LastErrorTo(0), u"加游戏币失败");
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
    EXPECT_EQ(LastErrorTo(0), u"减金币失败");
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

TEST_F(QvCoinTest, ARefundWhoseTaxRecordFailsIsUndoneWhole) {
    StartWith(0, 1000);
    m_db.SetCommandResult(DBCMD_WRITE_TAX, 0);
    const int64_t nValue = TotalValue();
    std::u16string strText;
    EXPECT_EQ(RefundGameCoin(strText, SessionOf(0)), 0);
    EXPECT_EQ(strText, u"写扣税记录失败");
    auto gold = ValueRequests(m_db, DBCMD_ADD_GOLD);
    ASSERT_EQ(gold.size(), 2u);
    EXPECT_EQ(Copy(gold[1].nValue), -90000);
    EXPECT_EQ(Copy(ValueRequests(m_db, DBCMD_ADD_GAME_COIN).back().nValue), 1000);
    EXPECT_EQ(TotalValue(), nValue) << "the tax difference was not lost";
    EXPECT_EQ(Stored().nGameCoin, 1000);
    ExpectInStep(0, "after the undo");
}

TEST_F(QvCoinTest, WithExchangesEachProcessIsOneCommandAndTheSessionTakesTheBalancesBack) {
    m_db.SetExchangeSupported(true);
    Game().nMinCoin = 1000;
    m_strGUID = AddUser(u"amy", 60000, 400);
    ASSERT_EQ(StartFrame("RoomCount=1\r\n", QV_TESTGAME_EXAMPLE_PATH, true), 1);
    EXPECT_EQ(m_db.CountCalls(DBCMD_GET_CAPS), 1) << "asked once at start";
    Login(0, u"amy");
    ClearRecords();
    m_db.MutableUser(u"amy")->nGold += 500;  // credited elsewhere since the login

    Signal(0, CS_BUY_GAME_COIN);
    ASSERT_EQ(m_db.Calls().size(), 1u);
    auto buy = ExchangeRequests(m_db);
    ASSERT_EQ(buy.size(), 1u);
    EXPECT_EQ(Copy(buy[0].nKind), DBC_EXCHANGE_BUY);
    EXPECT_EQ(Copy(buy[0].nGoldToCoin), 100);
    EXPECT_EQ(FieldText(buy[0].szGame), u"Example");
    EXPECT_EQ(Copy(buy[0].nBankerGold), 0);
    EXPECT_EQ(Copy(buy[0].nTax), 0);
    ASSERT_EQ(Copy(buy[0].nUsers), 1);
    EXPECT_EQ(FieldText(buy[0].aUser[0].szGUID), m_strGUID);
    EXPECT_EQ(Copy(buy[0].aUser[0].nGoldChange), -60000);
    EXPECT_EQ(Copy(buy[0].aUser[0].nCoinChange), 600);
    EXPECT_EQ(Copy(Record().nGold), 500) << "the database's balance, not the session's own sum";
    EXPECT_EQ(Copy(Record().nGameCoin), 1000);
    auto sent = SentTo(0);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0], ToBytes(BuildCoreUserInfo(Record())));
    EXPECT_EQ(sent[1], ToBytes(BuildCoreNotice(u"成功购买了游戏币600枚，消耗金币60000枚。")));

    ClearRecords();
    CloseAmy();
    auto refund = ExchangeRequests(m_db);
    ASSERT_EQ(m_db.Calls().size(), 1u);
    ASSERT_EQ(refund.size(), 1u);
    EXPECT_EQ(Copy(refund[0].nKind), DBC_EXCHANGE_REFUND);
    EXPECT_EQ(Copy(refund[0].nTax), 10000);
    EXPECT_EQ(Copy(refund[0].aUser[0].nGoldChange), 90000);
    EXPECT_EQ(Copy(refund[0].aUser[0].nCoinChange), -1000);
    EXPECT_EQ(Stored().nGold, 90500);
    EXPECT_EQ(Stored().nGameCoin, 0);
    ASSERT_EQ(m_db.Taxes().size(), 1u);
    EXPECT_EQ(m_db.Taxes()[0].nTax, 10000);

    // Nothing left to refund: no exchange at all.
    Login(0, u"amy");
    ClearRecords();
    std::u16string strText;
    EXPECT_EQ(RefundGameCoin(strText, SessionOf(0)), 1);
    EXPECT_TRUE(m_db.Calls().empty());
    CloseAmy();

    // The next start asks again: a library without exchanges gets the single commands.
    m_db.SetExchangeSupported(false);
    ASSERT_EQ(StartFrame("RoomCount=1\r\n"), 1);
    Login(0, u"amy");
    m_server.SetRoomMinCoin(10);
    ClearRecords();
    Signal(0, CS_BUY_GAME_COIN);
    ASSERT_EQ(m_db.Calls().size(), 2u);
    EXPECT_EQ(m_db.Calls()[0].nCmd, DBCMD_ADD_GOLD);
    EXPECT_EQ(m_db.Calls()[1].nCmd, DBCMD_ADD_GAME_COIN);
    EXPECT_EQ(Stored().nGameCoin, 10);
}

// Prices, refunds and taxes at and just past the 32-bit range, on both ways
// to the database: what fits is written exactly, what does not is refused
// before any write.
struct MoneyCase {
    const char* szName;
    bool bBuy;  // else a refund
    int32_t nGoldToCoin, nCoinToGold, nMinCoin;
    int32_t nGold, nCoins;  // before
    int nResult;
    const char16_t* szText;
    int32_t nGoldAfter, nCoinsAfter;
};

constexpr int32_t kMax = INT32_MAX;
const MoneyCase kMoneyCases[] = {
    {"PriceOfExactlyInt32Max", true, 1, 1, kMax, kMax, 0, 1, u"购买游戏币成功", 0, kMax},
    {"PriceOf2Pow31", true, 2, 1, 1 << 30, kMax, 0, 0, u"金币不足", kMax, 0},
    {"PriceOf25MillionCoinsWrappingNegative", true, 100, 90, 25000000, 1000, 0, 0, u"金币不足", 1000, 0},
    {"RefundOfExactlyInt32Max", false, 1, 1, 0, 0, kMax, 1, u"退游戏币成功", kMax, 0},
    {"RefundOf2Pow31", false, 2, 2, 0, 0, 1 << 30, 0, u"减游戏币失败", 0, 1 << 30},
    {"RefundOf47800000CoinsWrappingSmall", false, 100, 90, 0, 0, 47800000, 0, u"减游戏币失败", 0, 47800000},
    {"TaxJustInside", false, 1000000, 1, 0, 0, 2147, 1, u"退游戏币成功", 2147, 0},
    {"TaxJustPast", false, 1000000, 1, 0, 0, 2148, 0, u"减游戏币失败", 0, 2148},
};

class QvCoinRangeTest : public QvCoinTest, public ::testing::WithParamInterface<std::tuple<MoneyCase, bool>> {};

TEST_P(QvCoinRangeTest, AmountsBeyond32BitsAreRefusedBeforeAnyWrite) {
    const auto& [c, bExchange] = GetParam();
    m_db.SetExchangeSupported(bExchange);
    StartWith(c.nGold, c.nCoins,
              "GoldToCoin=" + std::to_string(c.nGoldToCoin) + "\r\nCoinToGold=" + std::to_string(c.nCoinToGold) +
                  "\r\n");
    ASSERT_EQ(m_server.GetCoinToGold(), c.nCoinToGold);
    m_server.SetRoomMinCoin(c.nMinCoin);
    const int64_t nValue = TotalValue();
    std::u16string strText;
    int32_t nCoins = 0, nGold = 0;
    const int nResult = c.bBuy ? BuyGameCoin(strText, SessionOf(0), nCoins, nGold) : RefundGameCoin(strText, SessionOf(0));
    EXPECT_EQ(nResult, c.nResult);
    EXPECT_EQ(strText, c.szText);
    EXPECT_EQ(Stored().nGold, c.nGoldAfter);
    EXPECT_EQ(Stored().nGameCoin, c.nCoinsAfter);
    ExpectInStep(0, c.szName);
    EXPECT_EQ(TotalValue(), nValue);
    if (!nResult) {
        EXPECT_TRUE(m_db.Calls().empty()) << "refused before any write";
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, QvCoinRangeTest, ::testing::Combine(::testing::ValuesIn(kMoneyCases), ::testing::Bool()),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).szName) +
                                    (std::get<1>(info.param) ? "_Exchange" : "_SingleCommands");
                         });

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
