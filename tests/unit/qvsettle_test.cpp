// Coin settlement through room command 501: what is written, in which order,
// what is refused as a whole, and the banker's compensation of a failed
// user write. The suite runs against a library without exchanges (single
// commands) unless a test offers them.
#include <functional>

#include "QuorvelS/dbprocess.h"
#include "tests/unit/qvframe_fixture.h"

namespace {

class QvSettleTest : public FrameTest {
protected:
    QvSettleTest() { m_db.SetExchangeSupported(false); }
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
    void ExpectNothingWritten(const char* szAssert, int32_t nResult = 0) {
        EXPECT_EQ(nResult, 0) << "a refused settlement is reported as one";
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
    ExpectNothingWritten("所有用户的Coin变化值之和不为零", TestGameSettle(m_pCommand, 0, {10, -5}));
    ExpectNothingWritten("改写用户Coin时发现被改写用户的Coin余额不足", TestGameSettle(m_pCommand, 10, {-20, 10}));
    // Count beyond the 20 places, a null array, a change for a free place.
    std::vector<int32_t> anMany(21, 0);
    ExpectNothingWritten("nCount>=0 && nCount<=m_nMaxRoomUser", TestGameSettle(m_pCommand, 0, anMany));
    ExpectNothingWritten("pChanges", TestGameSettle(m_pCommand, 0, {}, 2, true));
    ExpectNothingWritten("m_apRoomUser[i].SessionPtr || pChanges[i]==0", TestGameSettle(m_pCommand, -5, {0, 0, 5}));
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
    EXPECT_EQ(TestGameSettle(m_pCommand, -30, {50, -20}), 0);
    EXPECT_TRUE(m_asserts.Saw("写入GameBanker的Coin变化值 失败"));
    EXPECT_EQ(m_db.CountCalls(DBCMD_ADD_GAME_COIN), 0);
    EXPECT_EQ(Coins(0), 100);
}

TEST_F(QvSettleTest, TheBankerTakesOverTheShareOfAUserWhoseWriteFailed) {
    ASSERT_NO_FATAL_FAILURE(SeatTwo(100, 100));
    m_db.FailCall(DBCMD_ADD_GAME_COIN, 1);  // amy's win
    m_db.FailCall(DBCMD_ADD_GAME_COIN, 4);  // bob's loss in the second game
    EXPECT_EQ(TestGameSettle(m_pCommand, -30, {50, -20}), 0) << "a lost write is not a success";
    EXPECT_EQ(TestGameSettle(m_pCommand, -30, {50, -20}), 0);

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

TEST_F(QvSettleTest, WithExchangesTheWholeSettlementIsOneCommandAndTheBalancesComeBack) {
    m_db.SetExchangeSupported(true);
    ASSERT_NO_FATAL_FAILURE(SeatTwo(100, 100));
    m_db.MutableUser(u"bob")->nGold = 7;  // credited elsewhere since the login
    EXPECT_EQ(TestGameSettle(m_pCommand, -30, {50, -20, 0}), 1);

    ASSERT_EQ(m_db.Calls().size(), 1u);
    auto settle = ExchangeRequests(m_db);
    ASSERT_EQ(settle.size(), 1u);
    EXPECT_EQ(Copy(settle[0].nKind), DBC_EXCHANGE_SETTLE);
    EXPECT_EQ(Copy(settle[0].nGoldToCoin), 100);
    EXPECT_EQ(FieldText(settle[0].szGame), u"Example");
    EXPECT_EQ(Copy(settle[0].nBankerGold), -3000);
    EXPECT_EQ(Copy(settle[0].nTax), 0);
    ASSERT_EQ(Copy(settle[0].nUsers), 2) << "only the non-zero changes";
    EXPECT_EQ(FieldText(settle[0].aUser[0].szGUID), m_strAmy);
    EXPECT_EQ(Copy(settle[0].aUser[0].nCoinChange), 50);
    EXPECT_EQ(Copy(settle[0].aUser[0].nGoldChange), 0);
    EXPECT_EQ(FieldText(settle[0].aUser[1].szGUID), m_strBob);
    EXPECT_EQ(Copy(settle[0].aUser[1].nCoinChange), -20);
    EXPECT_EQ(Coins(0), 150);
    EXPECT_EQ(Coins(2), 80);
    EXPECT_EQ(Copy(SessionOf(2)->GetUserInfo()->nGold), 7) << "the balances handed back";
    EXPECT_EQ(SentTo(0), std::vector<Bytes>{ToBytes(BuildCoreUserInfo(*SessionOf(0)->GetUserInfo()))});
    EXPECT_EQ(SentTo(2), std::vector<Bytes>{ToBytes(BuildCoreUserInfo(*SessionOf(2)->GetUserInfo()))});
    EXPECT_EQ(m_db.BankerGold(u"Example"), -3000);

    // Nothing to move: nothing written, and a success.
    ClearRecords();
    EXPECT_EQ(TestGameSettle(m_pCommand, 0, {0, 0}), 1);
    EXPECT_TRUE(m_db.Calls().empty());

    // An exchange the database refuses changed nothing, and the game hears so.
    m_db.SetCommandResult(DBCMD_EXCHANGE, 0);
    EXPECT_EQ(TestGameSettle(m_pCommand, -30, {50, -20}), 0);
    EXPECT_TRUE(m_asserts.Saw("写入GameBanker的Coin变化值 失败"));
    EXPECT_EQ(Coins(0), 150);
    EXPECT_TRUE(Net().Sends().empty());
}

// Settlements at and just past the 32-bit range, on both ways to the
// database: accepted ones are written exactly, the others refused whole.
struct SettleCase {
    const char* szName;
    int32_t nGoldToCoin;
    int32_t nAmy, nBob;
    int32_t nBanker;
    std::vector<int32_t> anChanges;
    const char* szExchangeAssert;  // null: accepted
    const char* szSingleAssert;
};

const char kSum[] = "所有用户的Coin变化值之和不为零";
const char kTooRich[] = "改写用户Coin时发现被改写用户的Coin余额超出上限";
const char kBanker[] = "GameBanker的Coin变化值超出范围";
const char kTakeOver[] = "GameBanker的Coin补偿值超出范围";
constexpr int32_t kMax = INT32_MAX;
const SettleCase kSettleCases[] = {
    {"SumOf2Pow32WrapsToZero", 100, 0, 0, 2, {kMax, kMax}, kSum, kSum},
    {"BalanceOfExactlyInt32Max", 100, kMax - 5, 0, -5, {5}, nullptr, nullptr},
    {"BalanceJustPastInt32Max", 100, kMax - 5, 0, -6, {6}, kTooRich, kTooRich},
    {"BankerGoldOf30MillionCoins", 100, 30000000, 0, 30000000, {-30000000}, kBanker, kBanker},
    {"BankerGoldAtTheTop", 100, 21474836, 0, 21474836, {-21474836}, nullptr, nullptr},
    {"BankerGoldJustAboveTheTop", 100, 21474837, 0, 21474837, {-21474837}, kBanker, kBanker},
    {"BankerGoldAtTheBottom", 100, 0, 0, -21474836, {21474836}, nullptr, nullptr},
    {"BankerGoldJustBelowTheBottom", 100, 0, 0, -21474837, {21474837}, kBanker, kBanker},
    {"BankerGoldOfExactlyInt32Min", 1, 0, 0, INT32_MIN, {1 << 30, 1 << 30}, nullptr, nullptr},
    // A failed user write would need a takeover that does not fit.
    {"UserChangeWorthMoreThanInt32InGold", 100, 0, 21474837, 0, {21474837, -21474837}, nullptr, kTakeOver},
};

class QvSettleRangeTest : public QvSettleTest, public ::testing::WithParamInterface<std::tuple<SettleCase, bool>> {};

TEST_P(QvSettleRangeTest, SettlementsBeyond32BitsAreRefusedWhole) {
    const auto& [c, bExchange] = GetParam();
    m_db.SetExchangeSupported(bExchange);
    m_strAmy = AddUser(u"amy", 0, c.nAmy);
    m_strBob = AddUser(u"bob", 0, c.nBob);
    ASSERT_EQ(StartFrame("RoomCount=1\r\nGoldToCoin=" + std::to_string(c.nGoldToCoin) + "\r\n"), 1);
    SeatUser(0, u"amy", 0);
    SeatUser(2, u"bob", 0);
    m_pCommand = RoomCommand(0);
    ASSERT_NE(m_pCommand, nullptr);
    const int64_t nValue = TotalValue();
    const char* szAssert = bExchange ? c.szExchangeAssert : c.szSingleAssert;

    const int32_t nResult = TestGameSettle(m_pCommand, c.nBanker, c.anChanges);
    EXPECT_EQ(TotalValue(), nValue);
    ExpectInStep(0, c.szName);
    ExpectInStep(2, c.szName);
    if (szAssert) {
        ExpectNothingWritten(szAssert, nResult);
        EXPECT_EQ(Coins(0), c.nAmy);
        return;
    }
    EXPECT_EQ(nResult, 1);
    EXPECT_EQ(Coins(0), int64_t{c.nAmy} + c.anChanges[0]);
    EXPECT_EQ(m_db.BankerGold(u"Example"), int64_t{c.nBanker} * c.nGoldToCoin);
}

INSTANTIATE_TEST_SUITE_P(Cases, QvSettleRangeTest,
                         ::testing::Combine(::testing::ValuesIn(kSettleCases), ::testing::Bool()),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).szName) +
                                    (std::get<1>(info.param) ? "_Exchange" : "_SingleCommands");
                         });

// A failure at each database command of each process in turn, on both ways
// to the database: the value the database holds never changes, and every
// session holds what the database holds.
class QvMoneyFaultTest : public QvSettleTest, public ::testing::WithParamInterface<bool> {};

TEST_P(QvMoneyFaultTest, AFailureAtAnyStepLosesNoValueAndKeepsTheSessionsInStep) {
    m_db.SetExchangeSupported(GetParam());
    ASSERT_NO_FATAL_FAILURE(SeatTwo(100, 100));
    m_server.SetRoomMinCoin(150);
    struct Kind {
        const char* szName;
        int nCommands;  // of a run without failure
        std::function<int()> run;
    };
    const Kind kKinds[] = {
        {"purchase", GetParam() ? 1 : 2,
         [&] {
             std::u16string strText;
             int32_t nCoins = 0, nGold = 0;
             return BuyGameCoin(strText, SessionOf(0), nCoins, nGold);
         }},
        {"refund", GetParam() ? 1 : 3,
         [&] {
             std::u16string strText;
             return RefundGameCoin(strText, SessionOf(0));
         }},
        {"settlement", GetParam() ? 1 : 3, [&] { return TestGameSettle(m_pCommand, -30, {50, -20}); }},
    };
    for (const Kind& kind : kKinds) {
        for (int nFail = 0; nFail <= kind.nCommands; ++nFail) {
            const std::string strWhen = std::string(kind.szName) + ", failing command " + std::to_string(nFail);
            SetBalances(0, 10000, 100);
            SetBalances(2, 0, 100);
            ClearRecords();
            const int64_t nValue = TotalValue();
            if (nFail) m_db.FailNextCall(nFail);
            EXPECT_EQ(kind.run(), nFail ? 0 : 1) << strWhen;
            if (!nFail) {
                EXPECT_EQ(static_cast<int>(m_db.Calls().size()), kind.nCommands) << strWhen;
            }
            EXPECT_EQ(TotalValue(), nValue) << strWhen;
            ExpectInStep(0, strWhen);
            ExpectInStep(2, strWhen);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Paths, QvMoneyFaultTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Exchange" : "SingleCommands"; });

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
