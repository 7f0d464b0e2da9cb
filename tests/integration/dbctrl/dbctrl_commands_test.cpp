// The library through its three exported calls, on both backends: exact record
// contents, texts cut to their fields, refusals that change nothing, the
// PresentCoin given once, and the ledger row of every change.
#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cstring>
#include <filesystem>

#include "common/dbctrl.h"
#include "projcommon/widestring.h"
#include "tests/integration/dbctrl/dbtestenv.h"

namespace {

const std::u16string kGuidA = u"{0A000000-0000-4000-8000-00000000000A}";
const std::u16string kGuidB = u"{0B000000-0000-4000-8000-00000000000B}";
const std::u16string kUnknownGuid = u"{0F000000-0000-4000-8000-00000000000F}";

class DbCtrlCommands : public DbBackendTest {
protected:
    void SetUp() override {
        DbBackendTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        ASSERT_EQ(m_pDb->CreateUser({kGuidA, u"Alice", u"vip", 12345, 500}, NowSeconds()), DbResult::Ok);
        ASSERT_EQ(m_pDb->CreateUser({kGuidB, u"alice", u"", -7, 0}, NowSeconds()), DbResult::Ok);
        ASSERT_EQ(m_dbs.InitLibrary(), 1);
    }
    void TearDown() override { DBCtrl_Destroy(); }

    size_t LedgerRows(char cBook) {
        std::vector<DbLedgerRow> rows;
        EXPECT_EQ(m_pDb->ListLedger(cBook, rows), DbResult::Ok);
        return rows.size();
    }
    std::vector<DbAccount> Accounts(char cBook) {
        std::vector<DbAccount> a;
        EXPECT_EQ(m_pDb->ListAccounts(cBook, a), DbResult::Ok);
        return a;
    }

};

TEST_P(DbCtrlCommands, LoginKeyIsLookedUpByExactName) {
    DbcLoginKeyRecord r{};
    WideCopyBounded(r.szUserName, 17, u"Alice");
    ASSERT_EQ(DBCtrl_ExecuteCmd(DBCMD_GET_LOGIN_KEY, &r, sizeof(r)), 1);
    EXPECT_EQ(int32_t(r.nLoginKey), 12345);
    WideCopyBounded(r.szUserName, 17, u"alice");
    ASSERT_EQ(DBCtrl_ExecuteCmd(DBCMD_GET_LOGIN_KEY, &r, sizeof(r)), 1);
    EXPECT_EQ(int32_t(r.nLoginKey), -7);
    // Another case is another (missing) user; the record is left as it was.
    WideCopyBounded(r.szUserName, 17, u"ALICE");
    r.nLoginKey = 99;
    EXPECT_EQ(DBCtrl_ExecuteCmd(DBCMD_GET_LOGIN_KEY, &r, sizeof(r)), 0);
    EXPECT_EQ(int32_t(r.nLoginKey), 99);
}

TEST_P(DbCtrlCommands, PlatformUserByGuidOrNameFillsTheThreeTexts) {
    DbcPlatformUserRecord r{};
    WideCopyBounded(r.szUserName, 17, u"Alice");
    ASSERT_EQ(DBCtrl_ExecuteCmd(DBCMD_GET_PLATFORM_USER, &r, sizeof(r)), 1);
    EXPECT_EQ(std::u16string(r.szGUID), kGuidA);
    EXPECT_EQ(std::u16string(r.szUserName), u"Alice");
    EXPECT_EQ(std::u16string(r.szExtra), u"vip");

    // The GUID wins over the name when both are given.
    DbcPlatformUserRecord g{};
    WideCopyBounded(g.szGUID, 39, kGuidB);
    WideCopyBounded(g.szUserName, 17, u"Alice");
    ASSERT_EQ(DBCtrl_ExecuteCmd(DBCMD_GET_PLATFORM_USER, &g, sizeof(g)), 1);
    EXPECT_EQ(std::u16string(g.szUserName), u"alice");
    EXPECT_EQ(std::u16string(g.szExtra), u"");

    DbcPlatformUserRecord m{};
    WideCopyBounded(m.szGUID, 39, kUnknownGuid);
    WideCopyBounded(m.szUserName, 17, u"Alice");
    EXPECT_EQ(DBCtrl_ExecuteCmd(DBCMD_GET_PLATFORM_USER, &m, sizeof(m)), 0);
    EXPECT_EQ(std::u16string(m.szGUID), kUnknownGuid);
    DbcPlatformUserRecord e{};
    EXPECT_EQ(DBCtrl_ExecuteCmd(DBCMD_GET_PLATFORM_USER, &e, sizeof(e)), 0);
}

TEST_P(DbCtrlCommands, LongTextsAreCutToTheirFieldsWithoutSplittingACharacter) {
    const std::u16string kGuidC = u"{0C000000-0000-4000-8000-00000000000C}";
    // 20-unit name, and an extra text whose 10th and 11th units are one
    // surrogate pair; stored in full (UTF-8), cut only on the way out.
    const std::u16string strExtra = u"123456789\U0001F600xyz";
    ASSERT_EQ(m_pDb->CreateUser({kGuidC, u"ABCDEFGHIJKLMNOPQRST", strExtra, 1, 0}, NowSeconds()), DbResult::Ok);
    uint8_t raw[sizeof(DbcPlatformUserRecord)];
    std::memset(raw, 0, sizeof(raw));
    WriteWideField(raw, 39, kGuidC);
    std::memset(raw + 78, 0xAB, sizeof(raw) - 78);  // stale bytes must not survive
    ASSERT_EQ(DBCtrl_ExecuteCmd(DBCMD_GET_PLATFORM_USER, raw, sizeof(raw)), 1);
    EXPECT_EQ(ReadWideField(raw + 78, 17), u"ABCDEFGHIJKLMNOP");
    EXPECT_EQ(ReadWideField(raw + 112, 11), u"123456789");
    for (size_t i = 78 + 2 * 16; i < 112; ++i) EXPECT_EQ(raw[i], 0) << "byte " << i;
    for (size_t i = 112 + 2 * 9; i < sizeof(raw); ++i) EXPECT_EQ(raw[i], 0) << "byte " << i;
    // Texts outside ASCII round-trip through the UTF-8 storage.
    const std::u16string kGuidD = u"{0D000000-0000-4000-8000-00000000000D}";
    ASSERT_EQ(m_pDb->CreateUser({kGuidD, u"张三", u"贵宾", 2, 0}, NowSeconds()), DbResult::Ok);
    DbcPlatformUserRecord r{};
    WideCopyBounded(r.szUserName, 17, u"张三");
    ASSERT_EQ(DBCtrl_ExecuteCmd(DBCMD_GET_PLATFORM_USER, &r, sizeof(r)), 1);
    EXPECT_EQ(std::u16string(r.szGUID), kGuidD);
    EXPECT_EQ(std::u16string(r.szExtra), u"贵宾");
}

TEST_P(DbCtrlCommands, PresentCoinIsGivenOnceAtCreation) {
    DbcGameCoinRecord r{};
    WideCopyBounded(r.szGUID, 39, kGuidA);
    r.nPresentCoin = 1000;
    ASSERT_EQ(DBCtrl_ExecuteCmd(DBCMD_GET_GAME_COIN, &r, sizeof(r)), 1);
    EXPECT_EQ(int32_t(r.nGameCoin), 1000);
    ASSERT_EQ(ValueCmd(DBCMD_ADD_GAME_COIN, kGuidA, -300), 1);
    r.nGameCoin = 0;
    ASSERT_EQ(DBCtrl_ExecuteCmd(DBCMD_GET_GAME_COIN, &r, sizeof(r)), 1);
    EXPECT_EQ(int32_t(r.nGameCoin), 700);
    EXPECT_EQ(LedgerRows('C'), 2u);  // the creation and the change, no second present

    // No platform user: refused, and no game user appears.
    DbcGameCoinRecord u{};
    WideCopyBounded(u.szGUID, 39, kUnknownGuid);
    u.nPresentCoin = 1000;
    EXPECT_EQ(DBCtrl_ExecuteCmd(DBCMD_GET_GAME_COIN, &u, sizeof(u)), 0);
    // A negative present cannot open an account below zero.
    DbcGameCoinRecord n{};
    WideCopyBounded(n.szGUID, 39, kGuidB);
    n.nPresentCoin = -5;
    EXPECT_EQ(DBCtrl_ExecuteCmd(DBCMD_GET_GAME_COIN, &n, sizeof(n)), 0);
    ASSERT_EQ(Accounts('C').size(), 1u);
    // Coins of a user without a game user cannot be changed.
    EXPECT_EQ(ValueCmd(DBCMD_ADD_GAME_COIN, kGuidB, 5), 0);
}

TEST_P(DbCtrlCommands, GoldChangesStopAtZeroAndAtTheInt32Limit) {
    int32_t nOut = 0;
    ASSERT_EQ(ValueCmd(DBCMD_GET_GOLD, kGuidA, 0, &nOut), 1);
    EXPECT_EQ(nOut, 500);
    ASSERT_EQ(ValueCmd(DBCMD_ADD_GOLD, kGuidA, -500), 1);  // exactly to zero
    EXPECT_EQ(Gold(kGuidA), 0);
    const size_t nRows = LedgerRows('G');
    EXPECT_EQ(ValueCmd(DBCMD_ADD_GOLD, kGuidA, -1), 0);
    EXPECT_EQ(ValueCmd(DBCMD_ADD_GOLD, kUnknownGuid, 10), 0);
    EXPECT_EQ(ValueCmd(DBCMD_GET_GOLD, kUnknownGuid, 0), 0);
    ASSERT_EQ(ValueCmd(DBCMD_ADD_GOLD, kGuidA, INT32_MAX), 1);
    // One more would not fit the 32-bit balance the framework reads back.
    EXPECT_EQ(ValueCmd(DBCMD_ADD_GOLD, kGuidA, 1), 0);
    ASSERT_EQ(ValueCmd(DBCMD_GET_GOLD, kGuidA, 0, &nOut), 1);
    EXPECT_EQ(nOut, INT32_MAX);
    EXPECT_EQ(LedgerRows('G'), nRows + 1);

    DbcGameCoinRecord c{};
    WideCopyBounded(c.szGUID, 39, kGuidA);
    c.nPresentCoin = 20;
    ASSERT_EQ(DBCtrl_ExecuteCmd(DBCMD_GET_GAME_COIN, &c, sizeof(c)), 1);
    EXPECT_EQ(ValueCmd(DBCMD_ADD_GAME_COIN, kGuidA, -21), 0);
    ASSERT_EQ(ValueCmd(DBCMD_ADD_GAME_COIN, kGuidA, -20), 1);
    ASSERT_EQ(DBCtrl_ExecuteCmd(DBCMD_GET_GAME_COIN, &c, sizeof(c)), 1);
    EXPECT_EQ(int32_t(c.nGameCoin), 0);
}

TEST_P(DbCtrlCommands, BankerMayGoNegativeAndTaxesAccumulate) {
    ASSERT_EQ(ValueCmd(DBCMD_ADD_BANKER_GOLD, u"ExampleGame", -3000), 1);
    ASSERT_EQ(ValueCmd(DBCMD_ADD_BANKER_GOLD, u"ExampleGame", 5000), 1);
    ASSERT_EQ(ValueCmd(DBCMD_ADD_BANKER_GOLD, u"OtherGame", 0), 1);  // written even when 0
    ASSERT_EQ(ValueCmd(DBCMD_WRITE_TAX, u"ExampleGame", 1000), 1);
    ASSERT_EQ(ValueCmd(DBCMD_WRITE_TAX, u"ExampleGame", 0), 1);
    ASSERT_EQ(ValueCmd(DBCMD_WRITE_TAX, u"ExampleGame", 250), 1);
    const std::vector<DbAccount> bankers = Accounts('B');
    ASSERT_EQ(bankers.size(), 2u);
    EXPECT_EQ(bankers[0].strName, u"ExampleGame");
    EXPECT_EQ(bankers[0].nBalance, 2000);
    EXPECT_EQ(bankers[1].nBalance, 0);
    std::vector<DbTaxRow> taxes;
    ASSERT_EQ(m_pDb->ListTaxes(taxes), DbResult::Ok);
    ASSERT_EQ(taxes.size(), 3u);
    EXPECT_EQ(taxes[0].nAmount, 1000);
    EXPECT_EQ(taxes[2].nAmount, 250);
    EXPECT_EQ(taxes[2].strGame, u"ExampleGame");
    const std::vector<DbAccount> totals = Accounts('T');
    ASSERT_EQ(totals.size(), 1u);
    EXPECT_EQ(totals[0].nBalance, 1250);
}

TEST_P(DbCtrlCommands, EveryChangeWritesOneLedgerRowWithTheBalanceAfter) {
    const int64_t t0 = NowSeconds();
    DbcGameCoinRecord c{};
    WideCopyBounded(c.szGUID, 39, kGuidA);
    c.nPresentCoin = 50;
    ASSERT_EQ(DBCtrl_ExecuteCmd(DBCMD_GET_GAME_COIN, &c, sizeof(c)), 1);
    ASSERT_EQ(ValueCmd(DBCMD_ADD_GAME_COIN, kGuidA, 25), 1);
    ASSERT_EQ(ValueCmd(DBCMD_ADD_GOLD, kGuidA, -100), 1);
    ASSERT_EQ(ValueCmd(DBCMD_ADD_BANKER_GOLD, u"ExampleGame", -70), 1);
    ASSERT_EQ(ValueCmd(DBCMD_WRITE_TAX, u"ExampleGame", 30), 1);
    EXPECT_EQ(ValueCmd(DBCMD_ADD_GOLD, kGuidA, -1000), 0);  // refused: no row
    const int64_t t1 = NowSeconds();

    std::vector<DbLedgerRow> g, co, b, t;
    ASSERT_EQ(m_pDb->ListLedger('G', g), DbResult::Ok);
    ASSERT_EQ(m_pDb->ListLedger('C', co), DbResult::Ok);
    ASSERT_EQ(m_pDb->ListLedger('B', b), DbResult::Ok);
    ASSERT_EQ(m_pDb->ListLedger('T', t), DbResult::Ok);
    ASSERT_EQ(g.size(), 2u);  // the seed's administrator credit, then command 9
    EXPECT_EQ(g[0].nCommand, kLedgerAdminGold);
    EXPECT_EQ(g[0].nBalance, 500);
    EXPECT_EQ(g[1].nCommand, 9);
    EXPECT_EQ(g[1].strAccount, kGuidA);
    EXPECT_EQ(g[1].nChange, -100);
    EXPECT_EQ(g[1].nBalance, 400);
    EXPECT_GE(g[1].nTime, t0);
    EXPECT_LE(g[1].nTime, t1);
    ASSERT_EQ(co.size(), 2u);
    EXPECT_EQ(co[0].nCommand, 6);
    EXPECT_EQ(co[0].nChange, 50);
    EXPECT_EQ(co[1].nCommand, 8);
    EXPECT_EQ(co[1].nBalance, 75);
    EXPECT_LT(co[0].nId, co[1].nId);
    ASSERT_EQ(b.size(), 1u);
    EXPECT_EQ(b[0].strAccount, u"ExampleGame");
    EXPECT_EQ(b[0].nBalance, -70);
    ASSERT_EQ(t.size(), 1u);
    EXPECT_EQ(t[0].nCommand, 12);
    EXPECT_EQ(t[0].nBalance, 30);
}

TEST_P(DbCtrlCommands, UnknownCommandsAndWrongSizesChangeNothing) {
    uint8_t rec[200];
    std::memset(rec, 0, sizeof(rec));
    WriteWideField(rec, 39, kGuidA);
    rec[78] = 10;  // a change of 10 if anything took it
    uint8_t before[200];
    std::memcpy(before, rec, sizeof(rec));
    for (int nCmd : {-1, 0, 1, 2, 4, 11, 13, 100}) {
        EXPECT_EQ(DBCtrl_ExecuteCmd(nCmd, rec, 82), 0) << nCmd;
    }
    for (int nSize : {0, 38, 81, 83, 86, 134, -82}) {
        EXPECT_EQ(DBCtrl_ExecuteCmd(DBCMD_ADD_GOLD, rec, nSize), 0) << nSize;
        EXPECT_EQ(DBCtrl_ExecuteCmd(DBCMD_GET_GOLD, rec, nSize), 0) << nSize;
    }
    EXPECT_EQ(DBCtrl_ExecuteCmd(DBCMD_GET_LOGIN_KEY, rec, 39), 0);
    EXPECT_EQ(DBCtrl_ExecuteCmd(DBCMD_GET_GAME_COIN, rec, 82), 0);
    EXPECT_EQ(DBCtrl_ExecuteCmd(DBCMD_ADD_GOLD, nullptr, 82), 0);
    EXPECT_EQ(std::memcmp(rec, before, sizeof(rec)), 0);
    EXPECT_EQ(Gold(kGuidA), 500);
    EXPECT_EQ(LedgerRows('G'), 1u);
    EXPECT_TRUE(Accounts('C').empty());
    // Each refusal is in today's failure log.
    const std::string strLog = AllLogs(m_dbs.LogDirOs());
    EXPECT_NE(strLog.find("command 11: unknown command"), std::string::npos) << strLog;
    EXPECT_NE(strLog.find("command 9: record of 81 bytes, expected 82"), std::string::npos) << strLog;
}

TEST_P(DbCtrlCommands, NothingWorksOutsideInitAndDestroy) {
    DBCtrl_Destroy();
    EXPECT_EQ(ValueCmd(DBCMD_ADD_GOLD, kGuidA, 1), 0);
    EXPECT_EQ(ValueCmd(DBCMD_GET_GOLD, kGuidA, 0), 0);
    DBCtrl_Destroy();  // harmless twice
    EXPECT_EQ(DBCtrl_Init(20100525, m_dbs.Root1().c_str(), m_dbs.Root2().c_str(), m_dbs.LogDir().c_str(), kAllDsn), 0);
    EXPECT_EQ(ValueCmd(DBCMD_ADD_GOLD, kGuidA, 1), 0);
    ASSERT_EQ(m_dbs.InitLibrary(), 1);
    EXPECT_EQ(ValueCmd(DBCMD_ADD_GOLD, kGuidA, 1), 1);
    EXPECT_EQ(Gold(kGuidA), 501);
}

// Cases that only the PostgreSQL backend has.
class DbCtrlCommandsPg : public DbCtrlCommands {};

TEST_P(DbCtrlCommandsPg, AConnectionDroppedByTheServerIsReopenedForTheNextCommand) {
    ASSERT_EQ(PgExec(m_dbs.Conninfo(), "SELECT pg_terminate_backend(pid) FROM pg_stat_activity"
                                       " WHERE datname = current_database() AND pid <> pg_backend_pid()"),
              "");
    // The command that meets the dead connection may fail; it is not retried.
    int32_t nOut = 0;
    const int nFirst = ValueCmd(DBCMD_GET_GOLD, kGuidA, 0, &nOut);
    ASSERT_EQ(ValueCmd(DBCMD_GET_GOLD, kGuidA, 0, &nOut), 1);
    EXPECT_EQ(nOut, 500);
    ASSERT_EQ(ValueCmd(DBCMD_ADD_GOLD, kGuidA, 1), 1);
    std::string strErr;
    m_pDb = m_dbs.Open(strErr);
    ASSERT_TRUE(m_pDb) << strErr;
    EXPECT_EQ(Gold(kGuidA), 501);
    EXPECT_EQ(LedgerRows('G'), 2u);
    if (!nFirst) {
        const std::string strLog = AllLogs(m_dbs.LogDirOs());
        EXPECT_NE(strLog.find("command 7: database error"), std::string::npos) << strLog;
    }
}

INSTANTIATE_TEST_SUITE_P(Backends, DbCtrlCommands, ::testing::Values(TestBackend::Sqlite, TestBackend::Postgres),
                         [](const auto& info) { return std::string(TestBackendName(info.param)); });
INSTANTIATE_TEST_SUITE_P(Backends, DbCtrlCommandsPg, ::testing::Values(TestBackend::Postgres),
                         [](const auto& info) { return std::string(TestBackendName(info.param)); });

}  // namespace
