// DBCtrl's configuration, schema handling and audit: dbctrl.ini written on
// first use, backend selection, case-sensitive unique names, schema versions,
// and the audit on a whole purchase/settlement/refund cycle and on tampering.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "common/dbctrl.h"
#include "dbctrl/dbaudit.h"
#include "dbctrl/dbsettings.h"
#include "platform/path.h"
#include "projcommon/widestring.h"
#include "tests/integration/dbctrl/dbtestenv.h"

namespace {

const std::u16string kGuid = u"{1A000000-0000-4000-8000-00000000001A}";

bool Mentions(const DbAuditReport& rep, const std::string& strPart) {
    for (const std::string& s : rep.aDifferences) {
        if (s.find(strPart) != std::string::npos) return true;
    }
    return false;
}

TEST(DbCtrlSettings, FirstInitWritesCompleteDbctrlIniAndTheSqliteFiles) {
    TestDatabases dbs;
    QV_CREATE_DATABASES(dbs, TestBackend::Sqlite);
    ASSERT_EQ(dbs.InitLibrary(), 1);
    DBCtrl_Destroy();
    const std::string ini = ReadFileText(dbs.Root1Os() + "/dbctrl.ini");
    for (const char* key : {"[DBCtrl]", "Backend=sqlite", "Conninfo=dbname=quorvel", "GameSchema=game",
                            "BusyTimeoutMs=5000", "CommitMode=command"}) {
        EXPECT_NE(ini.find(key), std::string::npos) << key << " in\n" << ini;
    }
    EXPECT_TRUE(std::filesystem::exists(dbs.Root1Os() + "/platform.db"));
    EXPECT_TRUE(std::filesystem::exists(dbs.Root2Os() + "/game.db"));
    // A second start keeps the file as the operator left it.
    std::ofstream(dbs.Root1Os() + "/dbctrl.ini", std::ios::app) << "; edited\r\n";
    ASSERT_EQ(dbs.InitLibrary(), 1);
    DBCtrl_Destroy();
    EXPECT_NE(ReadFileText(dbs.Root1Os() + "/dbctrl.ini").find("; edited"), std::string::npos);
}

TEST(DbCtrlSettings, UnknownBackendOrUnreachableServerRefusesInitAndLogsWhy) {
    TestDatabases dbs;
    QV_CREATE_DATABASES(dbs, TestBackend::Sqlite);
    std::ofstream(dbs.Root1Os() + "/dbctrl.ini") << "[DBCtrl]\r\nBackend=oracle\r\n";
    EXPECT_EQ(dbs.InitLibrary(), 0);
    EXPECT_EQ(ValueCmd(DBCMD_GET_GOLD, kGuid, 0), 0);
    std::ofstream(dbs.Root1Os() + "/dbctrl.ini")
        << "[DBCtrl]\r\nBackend=postgres\r\nConninfo=host=" << dbs.Dir() << " connect_timeout=2\r\n";
    EXPECT_EQ(dbs.InitLibrary(), 0);
    DBCtrl_Destroy();
    const std::string log = AllLogs(dbs.LogDirOs());
    EXPECT_NE(log.find("unknown Backend \"oracle\""), std::string::npos) << log;
    // Without PostgreSQL in the build (Windows), the refusal says so instead.
    EXPECT_NE(log.find(BuildHasPostgres() ? "DBCtrl_Init: connect" : "has no PostgreSQL backend"), std::string::npos)
        << log;
}

int Init(const TestDatabases& dbs) {
    const int n = dbs.InitLibrary();
    DBCtrl_Destroy();
    return n;
}

// CommitMode selects what command 19 offers and whether a change waits for
// command 27; a value that is neither mode refuses the open and leaves the
// file and the databases as they were.
TEST(DbCtrlSettings, CommitModeIsHonouredAndAnUnknownOneRefusesInitLeavingAllAsItWas) {
    TestDatabases dbs;
    QV_CREATE_DATABASES(dbs, TestBackend::Sqlite);
    const std::string strIni = dbs.Root1Os() + "/dbctrl.ini";
    struct Case {
        const char* szMode;  // nullptr: no dbctrl.ini yet (the first start writes it)
        int32_t dwGroupCap;
        bool bVisibleBeforeCommit;
    };
    for (const Case& c : {Case{nullptr, 0, true}, Case{"command", 0, true}, Case{"Group", DBC_CAP_GROUP_COMMIT, false}}) {
        // No wait for the library's lock: in group mode it is held until the commit.
        if (c.szMode)
            std::ofstream(strIni, std::ios::binary | std::ios::trunc)
                << "[DBCtrl]\r\nBackend=sqlite\r\nBusyTimeoutMs=0\r\nCommitMode=" << c.szMode << "\r\n";
        ASSERT_EQ(dbs.InitLibrary(), 1)
            << AllLogs(dbs.LogDirOs());
        DbcCapsRecord caps{};
        ASSERT_EQ(DBCtrl_ExecuteCmd(DBCMD_GET_CAPS, &caps, sizeof(caps)), 1);
        EXPECT_EQ(caps.dwCaps & DBC_CAP_GROUP_COMMIT, c.dwGroupCap) << c.szMode;
        std::string strErr;
        {
            auto pDb = dbs.Open(strErr);  // a second server's connection
            ASSERT_TRUE(pDb) << strErr;
            DbcLeaseReleaseRecord rel{};  // a change command that needs no user
            WideCopyBounded(rel.szServer, 39, u"server-1");
            ASSERT_EQ(DBCtrl_ExecuteCmd(DBCMD_RELEASE_LEASE, &rel, sizeof(rel)), 1);
            DbLeaseClaim claim;
            EXPECT_EQ(pDb->ClaimLease(u"server-2", kGuid, 60, false, 0, claim) == DbResult::Ok,
                      c.bVisibleBeforeCommit)
                << c.szMode;
            int64_t nReleased = 0;
            if (c.bVisibleBeforeCommit) {
                ASSERT_EQ(pDb->ReleaseLeases(u"server-2", u"", nReleased), DbResult::Ok);
            }
        }
        DbcGroupCommitRecord commit{};
        commit.nCommands = -1;
        ASSERT_EQ(DBCtrl_ExecuteCmd(DBCMD_COMMIT_GROUP, &commit, sizeof(commit)), 1);
        EXPECT_EQ(commit.nCommands, c.dwGroupCap ? 1 : 0) << c.szMode;
        DBCtrl_Destroy();
        if (!c.szMode) {
            EXPECT_NE(ReadFileText(strIni).find("CommitMode=command"), std::string::npos);
        }
    }
    const std::string strBad = "[DBCtrl]\r\nBackend=sqlite\r\nCommitMode=batch\r\n";
    std::ofstream(strIni, std::ios::binary | std::ios::trunc) << strBad;
    const std::string strPlatform = ReadFileText(dbs.Root1Os() + "/platform.db");
    EXPECT_EQ(Init(dbs), 0);
    EXPECT_EQ(ReadFileText(strIni), strBad);
    EXPECT_EQ(ReadFileText(dbs.Root1Os() + "/platform.db"), strPlatform);
    const std::string strLog = AllLogs(dbs.LogDirOs());
    EXPECT_NE(strLog.find("DBCtrl_Init: unknown CommitMode \"batch\" in dbctrl.ini (command or group)"),
              std::string::npos)
        << strLog;
}

// dbctrl.ini written with LF alone selects its backend like any other, and
// the log names the backend that was opened.
TEST(DbCtrlSettings, LfOnlyDbctrlIniSelectsPostgresAndTheLogNamesIt) {
    TestDatabases dbs;
    QV_CREATE_DATABASES(dbs, TestBackend::Postgres);
    const std::string strIni = "[DBCtrl]\nBackend=postgres\nConninfo=" + dbs.Conninfo() + "\nGameSchema=game\n";
    std::ofstream(dbs.Root1Os() + "/dbctrl.ini", std::ios::binary) << strIni;
    ASSERT_EQ(Init(dbs), 1) << AllLogs(dbs.LogDirOs());
    EXPECT_FALSE(std::filesystem::exists(dbs.Root1Os() + "/platform.db")) << "no local database on the side";
    const std::string strAfter = ReadFileText(dbs.Root1Os() + "/dbctrl.ini");
    EXPECT_NE(strAfter.find("Backend=postgres\r\n"), std::string::npos) << strAfter;
    EXPECT_EQ(strAfter.find("sqlite\r\n"), std::string::npos) << strAfter;
    const std::string strLog = AllLogs(dbs.LogDirOs());
    EXPECT_NE(strLog.find("DBCtrl_Init: opened Backend=postgres GameSchema=game"), std::string::npos) << strLog;
    EXPECT_EQ(strLog.find(dbs.Conninfo()), std::string::npos) << "the connection string may hold a password";
}

// A dbctrl.ini that is no text is refused and left as it is.
TEST(DbCtrlSettings, DbctrlIniThatIsNoTextRefusesInitAndStaysAsItIs) {
    TestDatabases dbs;
    QV_CREATE_DATABASES(dbs, TestBackend::Sqlite);
    using namespace std::string_literals;
    const std::string strIni = "[DBCtrl]\nBackend=postgres\n\0\0\0\0"s;
    std::ofstream(dbs.Root1Os() + "/dbctrl.ini", std::ios::binary) << strIni;
    EXPECT_EQ(Init(dbs), 0);
    EXPECT_EQ(ReadFileText(dbs.Root1Os() + "/dbctrl.ini"), strIni);
    EXPECT_FALSE(std::filesystem::exists(dbs.Root1Os() + "/platform.db"));
    const std::string strLog = AllLogs(dbs.LogDirOs());
    EXPECT_NE(strLog.find("dbctrl.ini is not a text file (line 3: a NUL character)"), std::string::npos) << strLog;
}

// Only the start that writes dbctrl.ini creates the platform database; later
// a missing or empty one is refused instead of starting over with no users,
// until a new one is asked for.
TEST(DbCtrlSettings, PlatformDatabaseIsCreatedOnlyOnTheFirstStartOrWhenAskedFor) {
    TestDatabases dbs;
    QV_CREATE_DATABASES(dbs, TestBackend::Sqlite);
    const std::string strDb = dbs.Root1Os() + "/platform.db";
    const std::string strDbLogged = plat::ToOsPathUtf8(dbs.Root1() + u"\\platform.db");  // the system's own form
    ASSERT_EQ(Init(dbs), 1);
    EXPECT_GT(std::filesystem::file_size(strDb), 0u);
    EXPECT_NE(AllLogs(dbs.LogDirOs()).find("DBCtrl_Init: opened Backend=sqlite platform=" + strDbLogged),
              std::string::npos);

    for (const bool bEmpty : {false, true}) {
        std::filesystem::remove(strDb);
        std::filesystem::remove(strDb + "-wal");
        std::filesystem::remove(strDb + "-shm");
        if (bEmpty) std::ofstream(strDb, std::ios::binary).flush();
        EXPECT_EQ(Init(dbs), 0) << bEmpty;
        EXPECT_EQ(std::filesystem::exists(strDb), bEmpty) << "nothing is created";
        const std::string strLog = AllLogs(dbs.LogDirOs());
        EXPECT_NE(strLog.find("platform database " + strDbLogged + (bEmpty ? " is empty" : " is missing") +
                              " although dbctrl.ini exists"),
                  std::string::npos)
            << strLog;
    }
    std::string strError;
    DbOpenOptions create;
    create.bCreatePlatform = true;
    EXPECT_NE(OpenDatabases(dbs.Root1(), dbs.Root2(), strError, create), nullptr) << strError;
    EXPECT_EQ(Init(dbs), 1);
}

class DbCtrlBackend : public DbBackendTest {
protected:
    void TearDown() override { DBCtrl_Destroy(); }

    // A user with 100000 gold buys up to 1000 coins (after a present of 100),
    // wins 30 from the banker, and sells everything back: GoldToCoin 100,
    // CoinToGold 90. Issued through the library as the framework issues it.
    void PlayOneCycle() {
        ASSERT_EQ(m_pDb->CreateUser({kGuid, u"Carol", u"", 1, 100000}, NowSeconds()), DbResult::Ok);
        ASSERT_EQ(m_dbs.InitLibrary(), 1);
        DbcGameCoinRecord c{};
        WideCopyBounded(c.szGUID, 39, kGuid);
        c.nPresentCoin = 100;
        ASSERT_EQ(DBCtrl_ExecuteCmd(DBCMD_GET_GAME_COIN, &c, sizeof(c)), 1);
        ASSERT_EQ(ValueCmd(DBCMD_ADD_GOLD, kGuid, -900 * 100), 1);
        ASSERT_EQ(ValueCmd(DBCMD_ADD_GAME_COIN, kGuid, 900), 1);
        ASSERT_EQ(ValueCmd(DBCMD_ADD_BANKER_GOLD, u"ExampleGame", -30 * 100), 1);
        ASSERT_EQ(ValueCmd(DBCMD_ADD_GAME_COIN, kGuid, 30), 1);
        ASSERT_EQ(ValueCmd(DBCMD_ADD_GAME_COIN, kGuid, -1030), 1);
        ASSERT_EQ(ValueCmd(DBCMD_ADD_GOLD, kGuid, 1030 * 90), 1);
        ASSERT_EQ(ValueCmd(DBCMD_WRITE_TAX, u"ExampleGame", 1030 * 10), 1);
    }

    DbAuditReport Audit(int64_t nGoldToCoin = 0, bool bValue = true) {
        DbAuditReport rep;
        DbAuditOptions opt;
        opt.nGoldToCoin = nGoldToCoin;
        opt.bValueCheck = bValue;
        EXPECT_EQ(AuditDatabases(*m_pDb, opt, rep), DbResult::Ok);
        return rep;
    }

};

TEST_P(DbCtrlBackend, UserNamesAreUniqueAndCaseSensitive) {
    const std::u16string kOther = u"{1B000000-0000-4000-8000-00000000001B}";
    ASSERT_EQ(m_pDb->CreateUser({kGuid, u"Bob", u"", 1, 0}, NowSeconds()), DbResult::Ok);
    EXPECT_EQ(m_pDb->CreateUser({kOther, u"Bob", u"", 2, 0}, NowSeconds()), DbResult::Refused);
    EXPECT_EQ(m_pDb->CreateUser({kGuid, u"Robert", u"", 2, 0}, NowSeconds()), DbResult::Refused);
    // Gold beyond the 32-bit range is refused as a whole: no user, no row.
    EXPECT_EQ(m_pDb->CreateUser({kOther, u"bob", u"", 3, 3000000000LL}, NowSeconds()), DbResult::Refused);
    ASSERT_EQ(m_pDb->CreateUser({kOther, u"bob", u"", 3, 0}, NowSeconds()), DbResult::Ok);
    int32_t nKey = 0;
    ASSERT_EQ(m_pDb->GetLoginKey(u"bob", nKey), DbResult::Ok);
    EXPECT_EQ(nKey, 3);
    EXPECT_EQ(m_pDb->GetLoginKey(u"BOB", nKey), DbResult::Refused);
    ASSERT_EQ(m_pDb->SetLoginKey(kOther, -9), DbResult::Ok);
    ASSERT_EQ(m_pDb->GetLoginKey(u"bob", nKey), DbResult::Ok);
    EXPECT_EQ(nKey, -9);
    EXPECT_EQ(m_pDb->SetLoginKey(u"{nobody}", 1), DbResult::Refused);
    std::vector<DbUser> users;
    ASSERT_EQ(m_pDb->ListUsers(users), DbResult::Ok);
    EXPECT_EQ(users.size(), 2u);
    std::vector<DbLedgerRow> rows;
    ASSERT_EQ(m_pDb->ListLedger('G', rows), DbResult::Ok);
    EXPECT_TRUE(rows.empty());
}

TEST_P(DbCtrlBackend, ReopeningKeepsDataAndANewerSchemaIsRefused) {
    ASSERT_EQ(m_pDb->CreateUser({kGuid, u"Dora", u"", 1, 42}, NowSeconds()), DbResult::Ok);
    ASSERT_NO_FATAL_FAILURE(Reopen());
    EXPECT_EQ(Gold(kGuid), 42);
    m_pDb.reset();
    std::string strErr;
    ASSERT_EQ(m_dbs.RawSql("INSERT INTO game.schema_version VALUES (99)"), "");
    EXPECT_FALSE(m_dbs.Open(strErr));
    EXPECT_NE(strErr.find("newer"), std::string::npos) << strErr;
}

TEST_P(DbCtrlBackend, AuditPassesAWholeCycleAndInfersGoldToCoin) {
    PlayOneCycle();
    DbAuditReport rep = Audit();
    EXPECT_TRUE(rep.aDifferences.empty()) << rep.aDifferences[0];
    EXPECT_EQ(rep.nImpliedGoldToCoin, 100);
    EXPECT_EQ(rep.nPresent, 100);
    EXPECT_EQ(rep.nCoins8, -100);  // the present coins were sold too
    EXPECT_EQ(rep.nTax, 10300);
    EXPECT_TRUE(Audit(100).aDifferences.empty());
    EXPECT_TRUE(Mentions(Audit(90), "value:"));
}

TEST_P(DbCtrlBackend, AuditFindsBalancesChangedBehindTheLedgersBack) {
    PlayOneCycle();
    ASSERT_EQ(m_dbs.RawSql("UPDATE {P}users SET gold = gold + 1"), "");
    DbAuditReport rep = Audit(0, false);
    ASSERT_EQ(rep.aDifferences.size(), 1u);
    EXPECT_NE(rep.aDifferences[0].find(WideToUtf8(kGuid) + " holds 102701"), std::string::npos)
        << rep.aDifferences[0];
    ASSERT_EQ(m_dbs.RawSql("UPDATE {P}users SET gold = gold - 1;"
                           "UPDATE game.bankers SET gold = 0;"
                           "DELETE FROM game.taxes;"
                           "UPDATE game.ledger SET balance = 7 WHERE command = 8"),
              "");
    rep = Audit(0, false);
    EXPECT_TRUE(Mentions(rep, "banker: ExampleGame holds 0, its ledger history gives -3000"));
    EXPECT_TRUE(Mentions(rep, "tax: ExampleGame total 10300, its tax records add up to 0"));
    EXPECT_TRUE(Mentions(rep, "says balance 7"));
    EXPECT_FALSE(Mentions(rep, "gold:"));
}

TEST_P(DbCtrlBackend, AuditReportsAPurchaseThatStoppedHalfWay) {
    PlayOneCycle();
    ASSERT_EQ(ValueCmd(DBCMD_ADD_GOLD, kGuid, -5000), 1);  // gold taken, no coins given
    EXPECT_TRUE(Mentions(Audit(100), "value:"));
    // Without the rate the books fit another one; the implied rate shows it.
    EXPECT_EQ(Audit().nImpliedGoldToCoin, 50);
    EXPECT_TRUE(Audit(0, false).aDifferences.empty());  // each account alone is sound
    // With no coins outstanding any stray gold is a difference at every rate.
    ASSERT_EQ(ValueCmd(DBCMD_ADD_GAME_COIN, kGuid, 100), 1);
    EXPECT_TRUE(Mentions(Audit(), "no coins outstanding"));
}

// The audit results qvadmin records: command 28 answers the newest (the
// whole record, also when none was recorded), the game database keeps only
// the newest kDbAuditRunsKept, and an older game database gains the table.
TEST_P(DbCtrlBackend, AuditResultsAnswerCommand28NewestFirstAndAreTrimmed) {
    ASSERT_EQ(m_dbs.InitLibrary(), 1);
    DbcCapsRecord caps{};
    ASSERT_EQ(DBCtrl_ExecuteCmd(DBCMD_GET_CAPS, &caps, sizeof(caps)), 1);
    EXPECT_NE(caps.dwCaps & DBC_CAP_AUDIT_RESULT, 0);
    const auto LastAudit = [] {
        DbcAuditResultRecord a;
        std::memset(&a, 0xAB, sizeof(a));
        EXPECT_EQ(DBCtrl_ExecuteCmd(DBCMD_GET_LAST_AUDIT, &a, sizeof(a)), 1);
        return a;
    };
    DbcAuditResultRecord a = LastAudit();
    EXPECT_EQ(a.nFound, 0);
    EXPECT_EQ(a.nTime, 0);
    EXPECT_EQ(a.nReserved, 0);
    EXPECT_EQ(a.nLedgerRows, 0);

    ASSERT_EQ(m_pDb->RecordAuditRun({1000, true, 0, 4, 40, 2}), DbResult::Ok);
    ASSERT_EQ(m_pDb->RecordAuditRun({2000, false, 3, 5, 50, 1}), DbResult::Ok);
    a = LastAudit();
    EXPECT_EQ(a.nFound, 1);
    EXPECT_EQ(a.nConsistent, 0);
    EXPECT_EQ(a.nTime, 2000);
    EXPECT_EQ(a.nDifferences, 3);
    EXPECT_EQ(a.nAccounts, 5);
    EXPECT_EQ(a.nLedgerRows, 50);

    // kDbAuditRunsKept + 1 older rows, then one recorded: the trim leaves the
    // newest kDbAuditRunsKept, so removing those leaves nothing.
    ASSERT_EQ(kDbAuditRunsKept, 1000);
    ASSERT_EQ(m_dbs.RawSql("DELETE FROM game.audit_runs;"
                           "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 1001)"
                           " INSERT INTO game.audit_runs(time, consistent, differences, accounts, ledger_rows,"
                           " exchanges) SELECT i, true, 0, 0, 0, 0 FROM n"),
              "");
    ASSERT_EQ(m_pDb->RecordAuditRun({5000, true, 0, 1, 2, 3}), DbResult::Ok);
    DbAuditRun run;
    bool bFound = false;
    ASSERT_EQ(m_pDb->LastAuditRun(run, bFound), DbResult::Ok);
    ASSERT_TRUE(bFound);
    EXPECT_EQ(run.nTime, 5000);
    EXPECT_EQ(run.nExchanges, 3);
    ASSERT_EQ(m_dbs.RawSql("DELETE FROM game.audit_runs WHERE id > (SELECT max(id) - 1000 FROM game.audit_runs)"), "");
    ASSERT_EQ(m_pDb->LastAuditRun(run, bFound), DbResult::Ok);
    EXPECT_FALSE(bFound) << "an older row survived the trim: time " << run.nTime;

    // A game database from before the audit results gains them at its next open.
    DBCtrl_Destroy();
    m_pDb.reset();
    ASSERT_EQ(m_dbs.RawSql("DROP TABLE game.audit_runs; DELETE FROM game.schema_version WHERE version = 3"), "");
    ASSERT_NO_FATAL_FAILURE(Reopen());
    EXPECT_EQ(m_pDb->RecordAuditRun({7000, true, 0, 0, 0, 0}), DbResult::Ok);
    ASSERT_EQ(m_pDb->LastAuditRun(run, bFound), DbResult::Ok);
    EXPECT_TRUE(bFound && run.nTime == 7000);
}

INSTANTIATE_TEST_SUITE_P(Backends, DbCtrlBackend, ::testing::Values(TestBackend::Sqlite, TestBackend::Postgres),
                         [](const auto& info) { return std::string(TestBackendName(info.param)); });

}  // namespace
