// Exchanges (command 20) on both backends, through the library's C calls:
// each kind committed whole with exact balances and ledger rows, every refusal
// rule changing nothing, the 32-bit bounds, migration of a version-1 database,
// and on SQLite the journal's recovery of half-committed exchanges, crafted as
// a crash leaves them: one file's state from before the exchange put back
// while the other file keeps it.
#include <gtest/gtest.h>

#include <sqlite3.h>

#include <chrono>
#include <climits>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>

#include "common/dbctrl.h"
#include "dbctrl/dbaudit.h"
#include "dbctrl/pgsql.h"
#include "dbctrl/sqlitebackend.h"
#include "dbctrl/sqlitesql.h"
#include "projcommon/widestring.h"
#include "tests/integration/dbctrl/dbtestenv.h"

namespace {

const std::u16string kGuidA = u"{3A000000-0000-4000-8000-00000000003A}";
const std::u16string kGuidB = u"{3B000000-0000-4000-8000-00000000003B}";
const std::u16string kGuidNoGame = u"{3C000000-0000-4000-8000-00000000003C}";  // no game user
const std::u16string kUnknown = u"{3F000000-0000-4000-8000-00000000003F}";
const std::u16string kGame = u"ExampleGame";

struct Exchange {
    int32_t nKind;
    int32_t nRate;
    int32_t nBanker;
    int32_t nTax;
    std::vector<ExchangePart> aParts;
};

std::unique_ptr<DbcExchangeRecord> Record(const Exchange& x) {
    return MakeExchangeRecord(x.nKind, x.nRate, kGame, x.nBanker, x.nTax, x.aParts);
}

int Execute(DbcExchangeRecord& r) { return DBCtrl_ExecuteCmd(DBCMD_EXCHANGE, &r, sizeof(r)); }

class DbExchangeCmd : public DbBackendTest {
protected:
    void SetUp() override {
        DbBackendTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        ASSERT_NO_FATAL_FAILURE(SeedUser(kGuidA, u"Ann", 1, 100000));
        ASSERT_NO_FATAL_FAILURE(SeedUser(kGuidB, u"Ben", 2, 0));
        ASSERT_NO_FATAL_FAILURE(SeedUser(kGuidNoGame, u"Cy", 3, 5000, false));
        Init();
    }
    void TearDown() override { DBCtrl_Destroy(); }

    void Init() {
        ASSERT_EQ(m_dbs.InitLibrary(), 1);
    }

    std::vector<DbLedgerRow> Rows(char cBook) {
        std::vector<DbLedgerRow> a;
        EXPECT_EQ(m_pDb->ListLedger(cBook, a), DbResult::Ok);
        return a;
    }
    std::vector<DbExchangeRow> Exchanges() {
        std::vector<DbExchangeRow> a;
        EXPECT_EQ(m_pDb->ListExchanges(a), DbResult::Ok);
        return a;
    }
    int64_t Account(char cBook, const std::u16string& s) {
        std::vector<DbAccount> a;
        EXPECT_EQ(m_pDb->ListAccounts(cBook, a), DbResult::Ok);
        for (const DbAccount& x : a) {
            if (x.strName == s) return x.nBalance;
        }
        return 0;
    }
    // Everything an exchange can change, to compare before and after.
    std::string Snapshot() {
        std::string s;
        for (const std::u16string& g : {kGuidA, kGuidB})
            s += std::to_string(Gold(g)) + "/" + std::to_string(Coins(g)) + " ";
        s += std::to_string(Gold(kGuidNoGame)) + " ";
        for (char c : {'G', 'C', 'B', 'T'}) s += std::to_string(Rows(c).size()) + " ";
        std::vector<DbTaxRow> t;
        EXPECT_EQ(m_pDb->ListTaxes(t), DbResult::Ok);
        return s + std::to_string(t.size()) + " " + std::to_string(Account('B', kGame)) + " " +
               std::to_string(Exchanges().size());
    }
    DbAuditReport Audit(int64_t nRate = 100) {
        DbAuditReport rep;
        DbAuditOptions opt;
        opt.nGoldToCoin = nRate;
        EXPECT_EQ(AuditDatabases(*m_pDb, opt, rep), DbResult::Ok);
        return rep;
    }
    int64_t TotalValue(int64_t nRate = 100) {
        return Gold(kGuidA) + Gold(kGuidB) + Gold(kGuidNoGame) + nRate * (Coins(kGuidA) + Coins(kGuidB)) +
               Account('B', kGame) + Account('T', kGame);
    }
};

TEST_P(DbExchangeCmd, EachKindCommitsWholeWithExactBalancesAndLedgerRows) {
    DbcCapsRecord caps{};
    ASSERT_EQ(DBCtrl_ExecuteCmd(DBCMD_GET_CAPS, &caps, sizeof(caps)), 1);
    EXPECT_EQ(int32_t(caps.dwCaps), DBC_CAP_EXCHANGE | DBC_CAP_SESSION_LEASE | DBC_CAP_AUDIT_RESULT);
    const int64_t nValue = TotalValue();

    auto buy = Record({DBC_EXCHANGE_BUY, 100, 0, 0, {{kGuidA, -1000, 10}}});
    ASSERT_EQ(Execute(*buy), 1);
    EXPECT_EQ(int32_t(buy->aUser[0].nGold), 99000);
    EXPECT_EQ(int32_t(buy->aUser[0].nGameCoin), 10);
    const int64_t nBuy = int64_t(buy->nTxn);
    EXPECT_GT(nBuy, 0);
    // Ben only loses; the banker takes the difference (coins -4 +3 = -1 coin).
    auto settle = Record({DBC_EXCHANGE_SETTLE, 100, 100, 0, {{kGuidA, 0, -4}, {kGuidB, 0, 3}}});
    ASSERT_EQ(Execute(*settle), 1);
    EXPECT_EQ(int32_t(settle->aUser[0].nGameCoin), 6);
    EXPECT_EQ(int32_t(settle->aUser[0].nGold), 99000);  // balances after also for an unchanged currency
    EXPECT_EQ(int32_t(settle->aUser[1].nGameCoin), 3);
    EXPECT_GT(int64_t(settle->nTxn), nBuy);
    auto refund = Record({DBC_EXCHANGE_REFUND, 100, 0, 60, {{kGuidA, 540, -6}}});
    ASSERT_EQ(Execute(*refund), 1);
    EXPECT_EQ(int32_t(refund->aUser[0].nGold), 99540);
    EXPECT_EQ(int32_t(refund->aUser[0].nGameCoin), 0);
    EXPECT_GT(int64_t(refund->nTxn), int64_t(settle->nTxn));

    // One row per changed balance, carrying kind and transaction id.
    const std::vector<DbLedgerRow> g = Rows('G'), c = Rows('C'), b = Rows('B'), t = Rows('T');
    ASSERT_EQ(g.size(), 4u);  // two seeds and buy, refund
    EXPECT_EQ(g[2].nCommand, DBC_EXCHANGE_BUY);
    EXPECT_EQ(g[2].nTxn, nBuy);
    EXPECT_EQ(g[2].nChange, -1000);
    EXPECT_EQ(g[2].nBalance, 99000);
    EXPECT_EQ(g[3].nTxn, int64_t(refund->nTxn));
    EXPECT_EQ(g[3].nBalance, 99540);
    EXPECT_EQ(g[0].nTxn, 0);  // the single commands carry none
    ASSERT_EQ(c.size(), 2u + 4u);
    EXPECT_EQ(c[2].nTxn, nBuy);
    EXPECT_EQ(c[3].nTxn, int64_t(settle->nTxn));
    EXPECT_EQ(c[4].nTxn, int64_t(settle->nTxn));
    EXPECT_EQ(c[4].nCommand, DBC_EXCHANGE_SETTLE);
    EXPECT_EQ(c[5].nChange, -6);
    ASSERT_EQ(b.size(), 1u);
    EXPECT_EQ(b[0].nTxn, int64_t(settle->nTxn));
    EXPECT_EQ(b[0].nBalance, 100);
    ASSERT_EQ(t.size(), 1u);
    EXPECT_EQ(t[0].nTxn, int64_t(refund->nTxn));
    EXPECT_EQ(t[0].nCommand, DBC_EXCHANGE_REFUND);
    std::vector<DbTaxRow> taxes;
    ASSERT_EQ(m_pDb->ListTaxes(taxes), DbResult::Ok);
    ASSERT_EQ(taxes.size(), 1u);
    EXPECT_EQ(taxes[0].nAmount, 60);

    const std::vector<DbExchangeRow> x = Exchanges();
    ASSERT_EQ(x.size(), 3u);
    EXPECT_EQ(x[0].nKind, DBC_EXCHANGE_BUY);
    EXPECT_TRUE(x[0].bNeedsPlatform && x[0].bPlatformPart && x[0].bGamePart);
    EXPECT_FALSE(x[1].bNeedsPlatform);  // a settlement without gold is the game's alone
    EXPECT_EQ(TotalValue(), nValue);
    const DbAuditReport rep = Audit();
    EXPECT_TRUE(rep.aDifferences.empty()) << rep.aDifferences[0];
    EXPECT_EQ(rep.nExchanges, 3u);
}

TEST_P(DbExchangeCmd, EveryBrokenRuleIsRefusedWithNothingChanged) {
    ASSERT_EQ(Execute(*Record({DBC_EXCHANGE_BUY, 100, 0, 0, {{kGuidA, -1000, 10}}})), 1);  // Ann: 99000, 10 coins
    struct Case {
        const char* szName;
        Exchange x;
        std::function<void(DbcExchangeRecord&)> fnTamper;
    };
    const std::vector<Case> cases = {
        {"sum not zero", {DBC_EXCHANGE_BUY, 100, 0, 0, {{kGuidA, -1000, 11}}}, nullptr},
        {"gold below 0", {DBC_EXCHANGE_BUY, 100, 0, 0, {{kGuidA, -100000, 1000}}}, nullptr},
        {"coins below 0", {DBC_EXCHANGE_REFUND, 100, 0, 100, {{kGuidA, 1000, -11}}}, nullptr},
        {"gold past 2^31-1", {DBC_EXCHANGE_SETTLE, 1, -INT32_MAX, 0, {{kGuidA, INT32_MAX, 0}}}, nullptr},
        {"unknown user", {DBC_EXCHANGE_BUY, 100, 0, 0, {{kUnknown, -100, 1}}}, nullptr},
        {"coins of a user without game user", {DBC_EXCHANGE_BUY, 100, 0, 0, {{kGuidNoGame, -100, 1}}}, nullptr},
        {"a later user refused", {DBC_EXCHANGE_SETTLE, 100, 400, 0, {{kGuidA, 0, 1}, {kGuidB, 0, -5}}}, nullptr},
        {"duplicate GUID", {DBC_EXCHANGE_SETTLE, 100, 0, 0, {{kGuidA, 0, 1}, {kGuidA, 0, -1}}}, nullptr},
        {"no users", {DBC_EXCHANGE_SETTLE, 100, 0, 0, {}}, nullptr},
        {"past the most users", {DBC_EXCHANGE_SETTLE, 100, 0, 0, {{kGuidA, 0, 0}}},
         [](DbcExchangeRecord& r) { r.nUsers = kDbcMaxExchangeUsers + 1; }},
        {"negative users", {DBC_EXCHANGE_SETTLE, 100, 0, 0, {{kGuidA, 0, 0}}},
         [](DbcExchangeRecord& r) { r.nUsers = -1; }},
        {"rate below 1", {DBC_EXCHANGE_SETTLE, 0, 0, 0, {{kGuidA, 0, 1}}}, nullptr},
        {"negative tax", {DBC_EXCHANGE_REFUND, 100, 0, -10, {{kGuidA, 110, -1}}}, nullptr},
        {"unknown kind", {24, 100, 0, 0, {{kGuidA, -100, 1}}}, nullptr},
        {"changes nothing", {DBC_EXCHANGE_SETTLE, 100, 0, 0, {{kGuidA, 0, 0}}}, nullptr},
        // rate * coins is 2^63 - 2^32 + ...: past 64 bits it must not wrap to a balance.
        {"value past 64 bits",
         {DBC_EXCHANGE_SETTLE, INT32_MAX, 0, 0, {{kGuidA, 0, INT32_MAX}, {kGuidB, 0, INT32_MAX}}},
         [](DbcExchangeRecord& r) {
             for (int i = 2; i < 8; ++i) {
                 r.aUser[i] = r.aUser[1];
                 r.aUser[i].szGUID[1] = static_cast<char16_t>(u'C' + i);
             }
             r.nUsers = 8;
         }},
    };
    const std::string strBefore = Snapshot();
    for (const Case& c : cases) {
        auto p = Record(c.x);
        if (c.fnTamper) c.fnTamper(*p);
        auto before = std::make_unique<DbcExchangeRecord>(*p);
        EXPECT_EQ(Execute(*p), 0) << c.szName;
        EXPECT_EQ(std::memcmp(p.get(), before.get(), sizeof(*p)), 0) << c.szName << ": record written";
        EXPECT_EQ(Snapshot(), strBefore) << c.szName;
    }
    auto p = Record({DBC_EXCHANGE_BUY, 100, 0, 0, {{kGuidA, -100, 1}}});
    EXPECT_EQ(DBCtrl_ExecuteCmd(DBCMD_EXCHANGE, p.get(), sizeof(*p) - 1), 0);
    EXPECT_EQ(Snapshot(), strBefore);
    const std::string strLog = AllLogs(m_dbs.LogDirOs());
    EXPECT_NE(strLog.find("command 20: exchange refused: the exchange does not balance"), std::string::npos) << strLog;
    EXPECT_NE(strLog.find("given twice"), std::string::npos);
}

TEST_P(DbExchangeCmd, BalancesReachTheInt32LimitButNotPastIt) {
    // At rate 1 the banker pays for the coins and takes the gold.
    auto coins = Record({DBC_EXCHANGE_SETTLE, 1, -INT32_MAX, 0, {{kGuidB, 0, INT32_MAX}}});
    ASSERT_EQ(Execute(*coins), 1);
    EXPECT_EQ(int32_t(coins->aUser[0].nGameCoin), INT32_MAX);
    auto gold = Record({DBC_EXCHANGE_SETTLE, 1, -(INT32_MAX - 100000), 0, {{kGuidA, INT32_MAX - 100000, 0}}});
    ASSERT_EQ(Execute(*gold), 1);
    EXPECT_EQ(int32_t(gold->aUser[0].nGold), INT32_MAX);
    const std::string strBefore = Snapshot();
    EXPECT_EQ(Execute(*Record({DBC_EXCHANGE_SETTLE, 1, -1, 0, {{kGuidB, 0, 1}}})), 0);
    EXPECT_EQ(Execute(*Record({DBC_EXCHANGE_SETTLE, 1, -1, 0, {{kGuidA, 1, 0}}})), 0);
    EXPECT_EQ(Snapshot(), strBefore);
    // The banker is 64-bit and may go below -2^31.
    EXPECT_EQ(Account('B', kGame), -2LL * INT32_MAX + 100000);
    EXPECT_TRUE(Audit(1).aDifferences.empty());
}

TEST_P(DbExchangeCmd, AuditFindsExchangeRowsAndLedgerRowsThatDoNotBelong) {
    auto buy = Record({DBC_EXCHANGE_BUY, 100, 0, 0, {{kGuidA, -1000, 10}}});
    ASSERT_EQ(Execute(*buy), 1);
    ASSERT_EQ(Execute(*Record({DBC_EXCHANGE_SETTLE, 100, 300, 0, {{kGuidA, 0, -3}}})), 1);
    ASSERT_TRUE(Audit().aDifferences.empty());
    // A buy at another rate than the one recorded does not balance.
    ASSERT_EQ(m_dbs.RawSql("UPDATE game.exchanges SET rate = 90 WHERE kind = 21"), "");
    DbAuditReport rep = Audit();
    ASSERT_EQ(rep.aDifferences.size(), 1u);
    EXPECT_NE(rep.aDifferences[0].find("does not balance at GoldToCoin 90"), std::string::npos)
        << rep.aDifferences[0];
    // Rows whose exchange is gone, and an exchange without rows.
    ASSERT_EQ(m_dbs.RawSql("UPDATE game.ledger SET txn = txn + 100 WHERE command = 23"), "");
    rep = Audit(0);
    bool bNoExchange = false, bNoRows = false;
    for (const std::string& s : rep.aDifferences) {
        bNoExchange = bNoExchange || s.find("have no exchange") != std::string::npos;
        bNoRows = bNoRows || s.find("has no ledger rows") != std::string::npos;
    }
    EXPECT_TRUE(bNoExchange && bNoRows);
}

TEST_P(DbExchangeCmd, AVersion1DatabaseIsMigratedWithItsDataKept) {
    DBCtrl_Destroy();
    m_pDb.reset();
    TestDatabases old;
    QV_CREATE_DATABASES(old, GetParam());
    std::string sql;
    if (GetParam() == TestBackend::Sqlite) {
        sql = std::string(sqlitesql::kPlatformSchemaV1) + sqlitesql::kGameSchemaV1 +
              "CREATE TABLE main.schema_version(version INTEGER NOT NULL); INSERT INTO main.schema_version VALUES (1);"
              "CREATE TABLE game.schema_version(version INTEGER NOT NULL); INSERT INTO game.schema_version VALUES (1);";
    } else {
        sql = "CREATE SCHEMA platform; CREATE SCHEMA game;";
        for (const std::string& s : pgsql::PlatformSchemaV1()) sql += s + ";";
        for (const std::string& s : pgsql::GameSchemaV1("game")) sql += s + ";";
        sql += "CREATE TABLE platform.schema_version(version integer NOT NULL); INSERT INTO platform.schema_version "
               "VALUES (1); CREATE TABLE game.schema_version(version integer NOT NULL); INSERT INTO "
               "game.schema_version VALUES (1);";
    }
    const std::string strGuid = WideToUtf8(kGuidA);
    sql += "INSERT INTO {P}users(guid, name, extra, login_key, gold, created) VALUES ('" + strGuid +
           "', 'Old', '', 1, 500, 0);"
           "INSERT INTO {P}ledger(time, command, book, account, change, balance) VALUES (0, 100, 'G', '" + strGuid +
           "', 500, 500);"
           "INSERT INTO game.game_users(guid, coins, created) VALUES ('" + strGuid + "', 7, 0);"
           "INSERT INTO game.ledger(time, command, book, account, change, balance) VALUES (0, 6, 'C', '" + strGuid +
           "', 7, 7);";
    ASSERT_EQ(old.RawSql(sql), "");
    std::string strErr;
    m_pDb = old.Open(strErr);
    ASSERT_TRUE(m_pDb) << strErr;
    EXPECT_EQ(Gold(kGuidA), 500);
    EXPECT_EQ(Coins(kGuidA), 7);
    ASSERT_EQ(old.InitLibrary(), 1);
    auto buy = Record({DBC_EXCHANGE_BUY, 100, 0, 0, {{kGuidA, -300, 3}}});
    ASSERT_EQ(Execute(*buy), 1);
    EXPECT_EQ(int32_t(buy->aUser[0].nGameCoin), 10);
    const DbAuditReport rep = Audit();
    EXPECT_TRUE(rep.aDifferences.empty()) << rep.aDifferences[0];
    EXPECT_EQ(rep.nExchanges, 1u);
    EXPECT_EQ(Rows('G')[0].nTxn, 0);
    // Reopening a migrated database does not migrate again.
    m_pDb.reset();
    m_pDb = old.Open(strErr);
    ASSERT_TRUE(m_pDb) << strErr;
    EXPECT_EQ(Rows('C').size(), 2u);
    DBCtrl_Destroy();
    m_pDb.reset();  // before its databases go
}

INSTANTIATE_TEST_SUITE_P(Backends, DbExchangeCmd, ::testing::Values(TestBackend::Sqlite, TestBackend::Postgres),
                         [](const auto& info) { return std::string(TestBackendName(info.param)); });

// --- SQLite: the journal's recovery -------------------------------------

// Copies of one database file while no connection has it open (the last
// close checkpoints the WAL into the file, so the file alone is the state).
class FileState {
public:
    explicit FileState(std::string strFile) : m_strFile(std::move(strFile)) {
        std::filesystem::copy_file(m_strFile, m_strFile + ".saved", std::filesystem::copy_options::overwrite_existing);
    }
    // Puts the saved state back, as if the commits since had never reached it.
    void Restore() const {
        for (const char* szSuffix : {"-wal", "-shm"}) std::filesystem::remove(m_strFile + szSuffix);
        std::filesystem::copy_file(m_strFile + ".saved", m_strFile, std::filesystem::copy_options::overwrite_existing);
    }

private:
    std::string m_strFile;
};

class DbExchangeRecovery : public DbExchangeCmd {
protected:
    std::string PlatformFile() const { return m_dbs.Root1Os() + "/platform.db"; }
    std::string GameFile() const { return m_dbs.Root2Os() + "/game.db"; }
    // Closes every connection to the files.
    void CloseAll() {
        DBCtrl_Destroy();
        m_pDb.reset();
        ASSERT_FALSE(std::filesystem::exists(GameFile() + "-wal"));
    }
    int64_t Watermark() {
        sqlite3* p = nullptr;
        int64_t n = -1;
        sqlite3_stmt* q = nullptr;
        if (sqlite3_open(GameFile().c_str(), &p) == SQLITE_OK &&
            sqlite3_prepare_v2(p, "SELECT value FROM meta WHERE key = 'recovered_through'", -1, &q, nullptr) ==
                SQLITE_OK &&
            sqlite3_step(q) == SQLITE_ROW)
            n = sqlite3_column_int64(q, 0);
        sqlite3_finalize(q);
        sqlite3_close(p);
        return n;
    }
};

// One crash case: the exchange x committed, then the file that loses it put
// back to its state saved after fnBeforeSave (fnAfterSave runs after the save,
// so the put-back file forgets it too).
struct HalfCase {
    bool bLoseGame;  // the game file loses the exchange (else the platform file)
    std::function<void(IDbBackend&)> fnBeforeSave, fnAfterSave;
    Exchange x;
    bool bUndone;
    int64_t nGoldA, nCoinsA;  // Ann's after recovery
    const char* szLog;        // what the log says recovery did
};

void AdminGold(IDbBackend& db, int64_t n) {
    int64_t b = 0;
    ASSERT_EQ(db.AddGold(kGuidA, n, kLedgerAdminGold, 0, b), DbResult::Ok);
}

class DbExchangeHalf : public DbExchangeRecovery {
protected:
    void Check(const HalfCase& c) {
        c.fnBeforeSave(*m_pDb);
        CloseAll();
        const FileState saved(c.bLoseGame ? GameFile() : PlatformFile());
        Reopen();
        Init();
        c.fnAfterSave(*m_pDb);
        auto r = Record(c.x);
        ASSERT_EQ(Execute(*r), 1);
        CloseAll();
        saved.Restore();

        Init();  // recovers
        Reopen();
        const std::string strLog = AllLogs(m_dbs.LogDirOs());
        const std::string strNote = "DBCtrl_Init: recovery: exchange " + std::to_string(int64_t(r->nTxn));
        EXPECT_NE(strLog.find(strNote), std::string::npos) << strLog;
        EXPECT_NE(strLog.find(c.szLog), std::string::npos) << strLog;
        EXPECT_EQ(Gold(kGuidA), c.nGoldA);
        EXPECT_EQ(Coins(kGuidA), c.nCoinsA);
        const DbAuditReport rep = Audit();
        EXPECT_TRUE(rep.aDifferences.empty()) << rep.aDifferences[0];
        EXPECT_EQ(rep.nUndoneExchanges, c.bUndone ? 1u : 0u);
        EXPECT_EQ(Watermark(), int64_t(r->nTxn));
        // Whole now: the next open has nothing to do, and ids go on past the
        // recovered one, also when only its undone platform half is left.
        Reopen();
        EXPECT_TRUE(m_pDb->OpenNotes().empty());
        auto first = Record({DBC_EXCHANGE_SETTLE, 100, -100, 0, {{kGuidB, 0, 1}}});
        auto second = Record({DBC_EXCHANGE_SETTLE, 100, 100, 0, {{kGuidB, 0, -1}}});
        ASSERT_EQ(Execute(*first), 1);
        ASSERT_EQ(Execute(*second), 1);
        EXPECT_EQ(int64_t(first->nTxn), int64_t(r->nTxn) + 1);
        EXPECT_EQ(int64_t(second->nTxn), int64_t(r->nTxn) + 2);
        EXPECT_TRUE(Audit().aDifferences.empty());
    }
};

const auto kNothing = [](IDbBackend&) {};
const Exchange kBuy = {DBC_EXCHANGE_BUY, 100, 0, 0, {{kGuidA, -1000, 10}}};

TEST_P(DbExchangeHalf, PlatformHalfOnlyGetsItsGamePartRedone) {
    Check({true, kNothing, kNothing, kBuy, false, 99000, 10, "completed the game database part"});
}

TEST_P(DbExchangeHalf, GameHalfOnlyGetsItsPlatformPartRedone) {
    Check({false, kNothing, kNothing, kBuy, false, 99000, 10, "completed the platform database part"});
}

TEST_P(DbExchangeHalf, GameHalfWhosePlatformPartIsRefusedIsUndone) {
    // The put-back platform file knows Ann with 500 gold: the 50000 cannot be
    // taken, so the coins given are taken back.
    Check({false, [](IDbBackend& db) { AdminGold(db, -99500); }, [](IDbBackend& db) { AdminGold(db, 99500); },
           {DBC_EXCHANGE_BUY, 100, 0, 0, {{kGuidA, -50000, 500}}}, true, 500, 0, "so it was undone"});
}

TEST_P(DbExchangeHalf, PlatformHalfWhoseGamePartIsRefusedIsUndone) {
    // The put-back game file knows Ann without coins: 500 cannot be taken, so
    // the gold paid out is taken back.
    Check({true, kNothing,
           [](IDbBackend& db) {
               int64_t b = 0;
               ASSERT_EQ(db.AddGameCoin(kGuidA, 1000, 0, b), DbResult::Ok);
           },
           {DBC_EXCHANGE_REFUND, 100, 0, 5000, {{kGuidA, 45000, -500}}}, true, 100000, 0, "so it was undone"});
}

TEST_P(DbExchangeRecovery, GameDatabasesSharingAPlatformFileRecoverOnlyTheirOwnHalves) {
    // A second game database on the same platform file.
    const std::string strRoot2b = m_dbs.Dir() + "/game2";
    std::filesystem::create_directories(strRoot2b);
    CloseAll();
    auto open2 = [&](std::string& strErr) {
        return OpenSqliteBackend({PlatformFile(), strRoot2b + "/game.db", 5000}, strErr);
    };
    std::string strErr;
    auto pDb2 = open2(strErr);
    ASSERT_TRUE(pDb2) << strErr;
    int64_t n = 0;
    ASSERT_EQ(pDb2->GetGameCoin(kGuidA, 0, 0, n), DbResult::Ok);
    pDb2.reset();
    const FileState saved(strRoot2b + "/game.db");
    pDb2 = open2(strErr);
    ASSERT_TRUE(pDb2) << strErr;
    DbExchangeUser u;
    u.strGUID = kGuidA;
    u.nGoldChange = -2000;
    u.nCoinChange = 20;
    DbExchange x;
    x.nKind = DBC_EXCHANGE_BUY;
    x.nGoldToCoin = 100;
    x.strGame = u"OtherGame";
    x.aUsers = {u};
    ASSERT_EQ(pDb2->Exchange(x, 0, n), DbResult::Ok);
    ASSERT_EQ(n, 1);
    pDb2.reset();
    saved.Restore();  // the second game lost its half of the purchase

    // The first game neither repairs nor counts the other's half, and its own
    // exchange gets its own id 1.
    Reopen();
    EXPECT_TRUE(m_pDb->OpenNotes().empty());
    Init();
    auto mine = Record({DBC_EXCHANGE_BUY, 100, 0, 0, {{kGuidA, -1000, 10}}});
    ASSERT_EQ(Execute(*mine), 1);
    EXPECT_EQ(int64_t(mine->nTxn), 1);
    DbAuditReport rep = Audit();
    EXPECT_TRUE(rep.aDifferences.empty()) << rep.aDifferences[0];
    EXPECT_EQ(rep.nOtherGameRows, 1u);
    EXPECT_EQ(rep.nExchanges, 1u);
    EXPECT_EQ(Gold(kGuidA), 97000);
    DBCtrl_Destroy();

    // The second game completes its own half.
    pDb2 = open2(strErr);
    ASSERT_TRUE(pDb2) << strErr;
    ASSERT_EQ(pDb2->OpenNotes().size(), 1u);
    EXPECT_NE(pDb2->OpenNotes()[0].find("completed the game database part"), std::string::npos);
    ASSERT_EQ(pDb2->GetGameCoin(kGuidA, -1, 0, n), DbResult::Ok);
    EXPECT_EQ(n, 20);
    DbAuditOptions opt;
    opt.nGoldToCoin = 100;
    ASSERT_EQ(AuditDatabases(*pDb2, opt, rep), DbResult::Ok);
    EXPECT_TRUE(rep.aDifferences.empty()) << rep.aDifferences[0];
    EXPECT_EQ(rep.nOtherGameRows, 1u);  // the first game's purchase
}

// The audit runs alongside servers that keep writing: it reads all its lists
// in one view (else rows committed between two lists show up as differences
// of consistent books). A writer is held up only while the view starts: its
// commit goes through while the view is open, and the view keeps showing the
// moment it began, on both files.
TEST_P(DbExchangeRecovery, AnAuditViewKeepsItsMomentWhileAWriterCommits) {
    std::string strErr;
    auto pWriter = OpenSqliteBackend({PlatformFile(), GameFile(), 200}, strErr);
    ASSERT_TRUE(pWriter) << strErr;
    int64_t n = 0;
    ASSERT_EQ(m_pDb->BeginReadView(), DbResult::Ok);
    EXPECT_EQ(pWriter->AddGold(kGuidA, 5, kLedgerAdminGold, 0, n), DbResult::Ok);
    EXPECT_EQ(n, 100005);
    DbExchange x;  // a purchase: both files change
    x.nKind = DBC_EXCHANGE_BUY;
    x.nGoldToCoin = 100;
    x.strGame = u"ExampleGame";
    x.aUsers = {DbExchangeUser{kGuidA, -1000, 10}};
    int64_t nTxn = 0;
    ASSERT_EQ(pWriter->Exchange(x, 0, nTxn), DbResult::Ok);
    int64_t nGold = 0, nCoins = 0;
    EXPECT_EQ(m_pDb->GetGold(kGuidA, nGold), DbResult::Ok);
    EXPECT_EQ(nGold, 100000) << "the view moved on";
    std::vector<DbExchangeRow> aExchanges;
    ASSERT_EQ(m_pDb->ListExchanges(aExchanges), DbResult::Ok);
    EXPECT_TRUE(aExchanges.empty()) << "the game file's view moved on";
    m_pDb->EndReadView();
    EXPECT_EQ(m_pDb->GetGold(kGuidA, nGold), DbResult::Ok);
    EXPECT_EQ(nGold, 100005 - 1000);
    EXPECT_EQ(m_pDb->GetGameCoin(kGuidA, -1, 0, nCoins), DbResult::Ok);
    EXPECT_EQ(nCoins, 10);
    EXPECT_TRUE(Audit().aDifferences.empty());
}

INSTANTIATE_TEST_SUITE_P(Sqlite, DbExchangeRecovery, ::testing::Values(TestBackend::Sqlite),
                         [](const auto& info) { return std::string(TestBackendName(info.param)); });
INSTANTIATE_TEST_SUITE_P(Sqlite, DbExchangeHalf, ::testing::Values(TestBackend::Sqlite),
                         [](const auto& info) { return std::string(TestBackendName(info.param)); });

}  // namespace
