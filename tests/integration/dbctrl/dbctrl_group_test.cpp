// Group-commit mode (dbctrl.ini CommitMode=group) through the library's C
// calls, on both backends: nothing of a group reaches another connection
// before DBCMD_COMMIT_GROUP and all of it after; a refused command inside a
// group is undone alone; a commit with nothing open commits nothing and
// read-only commands open nothing; and on SQLite, through the fault VFS, a
// failed commit rolls the group back (or leaves halves that are resolved
// before a balance is served) and the next group works.
#include <dlfcn.h>
#include <unistd.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>

#include "common/dbctrl.h"
#include "dbctrl/dbaudit.h"
#include "projcommon/widestring.h"
#include "tests/integration/dbctrl/dbtestenv.h"

namespace {

const std::u16string kGuidA = u"{4A000000-0000-4000-8000-00000000004A}";  // 100000 gold, a game user
const std::u16string kGuidB = u"{4B000000-0000-4000-8000-00000000004B}";  // no gold, a game user
const std::u16string kUnknown = u"{4F000000-0000-4000-8000-00000000004F}";
const std::u16string kGame = u"ExampleGame";

// Sets CommitMode in the dbctrl.ini that opening the roots wrote.
void SetCommitMode(const TestDatabases& dbs, const std::string& strMode) {
    const std::string strPath = dbs.Root1Os() + "/dbctrl.ini";
    std::string s = ReadFileText(strPath);
    const size_t i = s.find("CommitMode=");
    ASSERT_NE(i, std::string::npos) << s;
    s.replace(i, s.find_first_of("\r\n", i) - i, "CommitMode=" + strMode);
    std::ofstream(strPath, std::ios::binary | std::ios::trunc) << s;
}

// One exchange of the ExampleGame banker at 100 gold a coin.
int Exchange(int32_t nKind, const std::vector<ExchangePart>& aParts, int32_t nBanker = 0, int32_t nTax = 0,
             DbcExchangeRecord* pOut = nullptr) {
    auto p = MakeExchangeRecord(nKind, 100, kGame, nBanker, nTax, aParts);
    const int rc = DBCtrl_ExecuteCmd(DBCMD_EXCHANGE, p.get(), sizeof(*p));
    if (pOut) std::memcpy(static_cast<void*>(pOut), p.get(), sizeof(*p));
    return rc;
}
int Buy(const std::u16string& strGUID, int32_t nCoins) {
    return Exchange(DBC_EXCHANGE_BUY, {{strGUID, -100 * nCoins, nCoins}});
}

// Command 27; nCommands in *pnCommands (left at -1 when not written).
int CommitGroup(int32_t* pnCommands = nullptr) {
    DbcGroupCommitRecord r{};
    r.nCommands = -1;
    const int rc = DBCtrl_ExecuteCmd(DBCMD_COMMIT_GROUP, &r, sizeof(r));
    if (pnCommands) *pnCommands = r.nCommands;
    return rc;
}

int32_t Caps() {
    DbcCapsRecord c{};
    EXPECT_EQ(DBCtrl_ExecuteCmd(DBCMD_GET_CAPS, &c, sizeof(c)), 1);
    return c.dwCaps;
}

size_t Count(const std::string& s, const std::string& strPart) {
    size_t n = 0;
    for (size_t i = s.find(strPart); i != std::string::npos; i = s.find(strPart, i + 1)) ++n;
    return n;
}

// The test's backend (m_pDb) is a second connection: what it reads is what
// another server would see.
class DbGroup : public DbBackendTest {
protected:
    void SetUp() override {
        DbBackendTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        ASSERT_NO_FATAL_FAILURE(SeedUser(kGuidA, u"Ann", 1, 100000));
        ASSERT_NO_FATAL_FAILURE(SeedUser(kGuidB, u"Ben", 2, 0));
        SetCommitMode(m_dbs, "group");
        Init();
    }
    void TearDown() override { DBCtrl_Destroy(); }

    void Init() {
        ASSERT_EQ(m_dbs.InitLibrary(), 1)
            << AllLogs(m_dbs.LogDirOs());
    }
    size_t Rows(char cBook) {
        std::vector<DbLedgerRow> a;
        EXPECT_EQ(m_pDb->ListLedger(cBook, a), DbResult::Ok);
        return a.size();
    }
    size_t Exchanges() {
        std::vector<DbExchangeRow> a;
        EXPECT_EQ(m_pDb->ListExchanges(a), DbResult::Ok);
        return a.size();
    }
    int64_t Banker() {
        std::vector<DbAccount> a;
        EXPECT_EQ(m_pDb->ListAccounts('B', a), DbResult::Ok);
        return a.empty() ? 0 : a[0].nBalance;
    }
    // Everything the groups below change, as another connection sees it.
    std::string Snapshot() {
        return std::to_string(Gold(kGuidA)) + "/" + std::to_string(Coins(kGuidA)) + " " + std::to_string(Gold(kGuidB)) +
               "/" + std::to_string(Coins(kGuidB)) + " B" + std::to_string(Banker()) + " rows " +
               std::to_string(Rows('G')) + "," + std::to_string(Rows('C')) + "," + std::to_string(Rows('B')) + "," +
               std::to_string(Rows('T')) + " x" + std::to_string(Exchanges());
    }
    void ExpectAuditClean() {
        DbAuditReport rep;
        DbAuditOptions opt;
        opt.nGoldToCoin = 100;
        ASSERT_EQ(AuditDatabases(*m_pDb, opt, rep), DbResult::Ok);
        EXPECT_TRUE(rep.aDifferences.empty()) << rep.aDifferences[0];
        EXPECT_EQ(rep.nUndoneExchanges, 0u);
    }
    // The library goes on with a new group.
    void ExpectNextGroupWorks(int64_t nGold, int64_t nCoins) {
        ASSERT_EQ(Buy(kGuidA, 1), 1);
        int32_t nCommands = 0;
        ASSERT_EQ(CommitGroup(&nCommands), 1);
        EXPECT_EQ(nCommands, 1);
        EXPECT_EQ(Gold(kGuidA), nGold - 100);
        EXPECT_EQ(Coins(kGuidA), nCoins + 1);
        ExpectAuditClean();
    }
    // Fails when the library holds a transaction open: on SQLite a writer of
    // another connection could not get the write lock, on PostgreSQL the
    // library's session would be idle in a transaction.
    void ExpectNoTransactionOpen() {
        if (GetParam() == TestBackend::Postgres) {
            EXPECT_EQ(PgExec(m_dbs.Conninfo(),
                             "DO $$ BEGIN IF (SELECT count(*) FROM pg_stat_activity WHERE datname = current_database()"
                             " AND state LIKE 'idle in transaction%') > 0 THEN RAISE EXCEPTION 'open'; END IF; END $$"),
                      "");
            return;
        }
        EXPECT_EQ(m_dbs.RawSql("PRAGMA busy_timeout = 0; BEGIN IMMEDIATE; ROLLBACK;"), "");
    }
};

TEST_P(DbGroup, NothingOfAGroupIsVisibleBeforeItsCommitAndAllOfItAfter) {
    EXPECT_EQ(Caps() & DBC_CAP_GROUP_COMMIT, DBC_CAP_GROUP_COMMIT);
    const std::string strBefore = Snapshot();
    ASSERT_EQ(Buy(kGuidA, 10), 1);
    ASSERT_EQ(ValueCmd(DBCMD_ADD_GOLD, kGuidB, 50), 1);
    ASSERT_EQ(ValueCmd(DBCMD_ADD_BANKER_GOLD, kGame, -350), 1);
    ASSERT_EQ(ValueCmd(DBCMD_ADD_GAME_COIN, kGuidB, 3), 1);
    DbcLeaseClaimRecord claim{};
    WideCopyBounded(claim.szServer, 39, u"server-1");
    WideCopyBounded(claim.szGUID, 39, kGuidA);
    claim.nLeaseSeconds = 60;
    ASSERT_EQ(DBCtrl_ExecuteCmd(DBCMD_CLAIM_LEASE, &claim, sizeof(claim)), 1);
    // Reads inside the group see it; the other connection does not.
    int32_t nGold = 0;
    ASSERT_EQ(ValueCmd(DBCMD_GET_GOLD, kGuidA, 0, &nGold), 1);
    EXPECT_EQ(nGold, 99000);
    EXPECT_EQ(Snapshot(), strBefore);

    int32_t nCommands = 0;
    ASSERT_EQ(CommitGroup(&nCommands), 1);
    EXPECT_EQ(nCommands, 5);  // the read is not counted
    EXPECT_EQ(Snapshot(), "99000/10 50/3 B-350 rows 3,4,1,0 x1");
    DbLeaseClaim other;
    ASSERT_EQ(m_pDb->ClaimLease(u"server-2", kGuidA, 60, false, 0, other), DbResult::Ok);
    EXPECT_FALSE(other.bGranted);
    EXPECT_EQ(other.strHolder, u"server-1");
    ExpectAuditClean();
    // The next group starts with the next change.
    ASSERT_EQ(Buy(kGuidA, 1), 1);
    EXPECT_EQ(Gold(kGuidA), 99000);
    ASSERT_EQ(CommitGroup(&nCommands), 1);
    EXPECT_EQ(nCommands, 1);
    EXPECT_EQ(Gold(kGuidA), 98900);
}

TEST_P(DbGroup, ARefusedCommandIsUndoneAloneAndTheRestOfTheGroupCommits) {
    struct Step {
        const char* szWhat;
        std::function<int()> fn;
        int nExpected;
    };
    const std::vector<Step> aSteps = {
        {"buy", [] { return Buy(kGuidA, 10); }, 1},
        {"buy without the gold", [] { return Buy(kGuidB, 1); }, 0},
        // Ann's gold is taken before the unknown user refuses the exchange:
        // that change must go with it.
        {"exchange with an unknown user",
         [] { return Exchange(DBC_EXCHANGE_SETTLE, {{kGuidA, -500, 0}, {kUnknown, 500, 0}}); }, 0},
        {"gold of an unknown user", [] { return ValueCmd(DBCMD_ADD_GOLD, kUnknown, 5); }, 0},
        {"coins below zero", [] { return ValueCmd(DBCMD_ADD_GAME_COIN, kGuidB, -1); }, 0},
        {"tax", [] { return ValueCmd(DBCMD_WRITE_TAX, kGame, 20); }, 1},
        {"banker pays the tax", [] { return ValueCmd(DBCMD_ADD_BANKER_GOLD, kGame, -20); }, 1},
        {"game user of no platform user",
         [] {
             DbcGameCoinRecord g{};
             WideCopyBounded(g.szGUID, 39, kUnknown);
             g.nPresentCoin = 5;
             return DBCtrl_ExecuteCmd(DBCMD_GET_GAME_COIN, &g, sizeof(g));
         },
         0},
        {"settlement", [] { return Exchange(DBC_EXCHANGE_SETTLE, {{kGuidA, 0, -4}}, 400); }, 1},
    };
    for (const Step& s : aSteps) EXPECT_EQ(s.fn(), s.nExpected) << s.szWhat;
    int32_t nCommands = 0;
    ASSERT_EQ(CommitGroup(&nCommands), 1);
    EXPECT_EQ(nCommands, 4);
    EXPECT_EQ(Snapshot(), "99000/6 0/0 B380 rows 2,4,2,1 x2");
    ExpectAuditClean();
}

TEST_P(DbGroup, ReadsAloneOpenNothingAndACommitWithNothingOpenCommitsNothing) {
    int32_t nCommands = 0;
    ASSERT_EQ(CommitGroup(&nCommands), 1);
    EXPECT_EQ(nCommands, 0);
    DbcLoginKeyRecord k{};
    WideCopyBounded(k.szUserName, 17, u"Ann");
    ASSERT_EQ(DBCtrl_ExecuteCmd(DBCMD_GET_LOGIN_KEY, &k, sizeof(k)), 1);
    DbcPlatformUserRecord u{};
    WideCopyBounded(u.szGUID, 39, kGuidB);
    ASSERT_EQ(DBCtrl_ExecuteCmd(DBCMD_GET_PLATFORM_USER, &u, sizeof(u)), 1);
    ASSERT_EQ(ValueCmd(DBCMD_GET_GOLD, kGuidA, 0), 1);
    Caps();
    // A command the table refuses opens nothing either.
    EXPECT_EQ(DBCtrl_ExecuteCmd(DBCMD_ADD_GOLD, &u, sizeof(u)), 0);
    ExpectNoTransactionOpen();
    ASSERT_EQ(CommitGroup(&nCommands), 1);
    EXPECT_EQ(nCommands, 0);
    // A change opens the group, the commit closes it; then nothing is open.
    ASSERT_EQ(ValueCmd(DBCMD_ADD_GOLD, kGuidA, 1), 1);
    ASSERT_EQ(CommitGroup(&nCommands), 1);
    EXPECT_EQ(nCommands, 1);
    ExpectNoTransactionOpen();
    ASSERT_EQ(CommitGroup(&nCommands), 1);
    EXPECT_EQ(nCommands, 0);
    EXPECT_EQ(DBCtrl_ExecuteCmd(DBCMD_COMMIT_GROUP, &u, 4), 0);  // a wrong record size
}

TEST_P(DbGroup, DestroyCommitsTheOpenGroup) {
    ASSERT_EQ(Buy(kGuidA, 2), 1);
    DBCtrl_Destroy();
    EXPECT_EQ(Gold(kGuidA), 99800);
    EXPECT_EQ(Coins(kGuidA), 2);
}

INSTANTIATE_TEST_SUITE_P(Backends, DbGroup, ::testing::Values(TestBackend::Sqlite, TestBackend::Postgres),
                         [](const auto& info) { return std::string(TestBackendName(info.param)); });

// --- failed commits --------------------------------------------------------

// The fault VFS (tests/support/faultvfs.cpp), loaded into this process: the
// library's connections opened after it use it; the test's own were opened
// before and do not.
class DbGroupFault : public DbGroup {
protected:
    static void SetUpTestSuite() {
        static void* s_pLib = dlopen(QV_FAULT_VFS_LIB, RTLD_NOW | RTLD_GLOBAL);
        ASSERT_NE(s_pLib, nullptr) << dlerror();
    }
    void SetUp() override {
        m_strControl = std::filesystem::temp_directory_path() / ("qvgroupfault." + std::to_string(getpid()));
        setenv("QV_FAULT_VFS_CONTROL", m_strControl.c_str(), 1);
        DbGroup::SetUp();
    }
    void TearDown() override {
        Fault("");
        DbGroup::TearDown();
    }
    void Fault(const std::string& strMode) {
        if (strMode.empty()) {
            std::filesystem::remove(m_strControl);
        } else {
            std::ofstream(m_strControl, std::ios::trunc) << strMode << "\n";
        }
    }
    std::string m_strControl;

    // A group of three purchases and a settlement that changes no gold (so
    // it is the game file's alone), committed under the fault.
    void FailGroupCommit(const std::string& strMode) {
        for (int i = 0; i < 3; ++i) ASSERT_EQ(Buy(kGuidA, 10), 1);
        ASSERT_EQ(Exchange(DBC_EXCHANGE_SETTLE, {{kGuidA, 0, -5}}, 500), 1);
        Fault(strMode);
        int32_t nCommands = 0;
        EXPECT_EQ(CommitGroup(&nCommands), 0);
        EXPECT_EQ(nCommands, -1);  // the record is left as it was
        Fault("");
        EXPECT_NE(AllLogs(m_dbs.LogDirOs()).find("command 27: database error: the commit of the group (4 commands) "
                                                 "failed and the group was rolled back"),
                  std::string::npos)
            << AllLogs(m_dbs.LogDirOs());
    }
};

TEST_P(DbGroupFault, ACommitThatWritesNothingRollsBackTheWholeGroup) {
    const std::string strBefore = Snapshot();
    FailGroupCommit("full");
    EXPECT_EQ(Snapshot(), strBefore);
    int32_t nGold = 0;
    ASSERT_EQ(ValueCmd(DBCMD_GET_GOLD, kGuidA, 0, &nGold), 1);
    EXPECT_EQ(nGold, 100000);  // the library's own view is rolled back too
    ExpectNextGroupWorks(100000, 0);
}

TEST_P(DbGroupFault, ACommitThatFailsBetweenTheFilesHasEveryHalfResolvedBeforeABalanceIsServed) {
    FailGroupCommit("full game.db");
    // The platform file took its parts of the three purchases, the game file
    // nothing: Ann paid without coins until the library resolves the halves.
    EXPECT_EQ(Gold(kGuidA), 97000);
    EXPECT_EQ(Coins(kGuidA), 0);
    int32_t nGold = 0;
    ASSERT_EQ(ValueCmd(DBCMD_GET_GOLD, kGuidA, 0, &nGold), 1);
    EXPECT_EQ(nGold, 97000);
    EXPECT_EQ(Count(AllLogs(m_dbs.LogDirOs()), "had only its platform database part; completed the game database part"),
              3u);
    EXPECT_EQ(Coins(kGuidA), 30);  // the game-only settlement is absent
    ExpectNextGroupWorks(97000, 30);
}

INSTANTIATE_TEST_SUITE_P(Backends, DbGroupFault, ::testing::Values(TestBackend::Sqlite),
                         [](const auto& info) { return std::string(TestBackendName(info.param)); });

// PostgreSQL: a connection lost inside a group loses the group, and the
// commit says so.
class DbGroupPg : public DbGroup {};

TEST_P(DbGroupPg, AConnectionLostInsideAGroupFailsItsCommitAndTheNextGroupWorks) {
    const std::string strBefore = Snapshot();
    ASSERT_EQ(Buy(kGuidA, 10), 1);
    ASSERT_EQ(PgExec(m_dbs.Conninfo(), "SELECT pg_terminate_backend(pid) FROM pg_stat_activity"
                                       " WHERE datname = current_database() AND pid <> pg_backend_pid()"
                                       " AND state LIKE 'idle in transaction%'"),
              "");
    EXPECT_EQ(Buy(kGuidA, 5), 0);  // not run on its own outside the lost group
    EXPECT_EQ(CommitGroup(), 0);
    EXPECT_EQ(Snapshot(), strBefore);
    ExpectNextGroupWorks(100000, 0);
}

INSTANTIATE_TEST_SUITE_P(Backends, DbGroupPg, ::testing::Values(TestBackend::Postgres),
                         [](const auto& info) { return std::string(TestBackendName(info.param)); });

}  // namespace
