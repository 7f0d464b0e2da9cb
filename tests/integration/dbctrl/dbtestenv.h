// Test support for the DBCtrl tests: a fresh pair of database roots in a
// temporary directory per test, for SQLite or for PostgreSQL (a database of
// its own in the throwaway cluster), and running child programs.
//
// The cluster: under CTest a fixture starts one (pgcluster.sh) whose state
// file lies in the build tree (QV_PG_STATE_FILE overrides its path); when that
// cluster is not running, a test binary starts its own on first use and stops
// it at exit. When the PostgreSQL binaries are missing the
// postgres cases fail, unless QV_SKIP_POSTGRES=1, which skips them.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/dbctrl.h"
#include "dbctrl/dbbackend.h"
#include "projcommon/widestring.h"

enum class TestBackend { Sqlite, Postgres };
const char* TestBackendName(TestBackend b);
// Whether the database library under test has its PostgreSQL backend (not
// in the Windows build).
bool BuildHasPostgres();

// The data-source flags of DBCtrl_Init with every database open.
inline constexpr int32_t kAllDsn[4] = {1, 1, 1, 1};

// Seconds since the epoch, the time the library stamps on its rows.
inline int64_t NowSeconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// A value command (gold, game coins, banker gold, tax) through the library's
// C call; *pOut (may be null) gets the value the library hands back.
inline int ValueCmd(int nCmd, const std::u16string& strName, int32_t nValue, int32_t* pOut = nullptr) {
    DbcValueRecord r{};
    WideCopyBounded(r.szName, 39, strName);
    r.nValue = nValue;
    const int rc = DBCtrl_ExecuteCmd(nCmd, &r, sizeof(r));
    if (pOut) *pOut = r.nValue;
    return rc;
}

// One user's part of an exchange: GUID, gold change, coin change.
struct ExchangePart {
    std::u16string strGUID;
    int32_t nGold;
    int32_t nCoins;
};
// The record of an exchange (command 20) of the game's banker; parts beyond
// the record's places are left out, the user count stays as given.
inline std::unique_ptr<DbcExchangeRecord> MakeExchangeRecord(int32_t nKind, int32_t nGoldToCoin,
                                                             const std::u16string& strGame, int32_t nBanker,
                                                             int32_t nTax, const std::vector<ExchangePart>& aParts) {
    auto p = std::make_unique<DbcExchangeRecord>();
    p->nKind = nKind;
    p->nGoldToCoin = nGoldToCoin;
    WideCopyBounded(p->szGame, 39, strGame);
    p->nBankerGold = nBanker;
    p->nTax = nTax;
    p->nUsers = static_cast<int32_t>(aParts.size());
    for (size_t i = 0; i < aParts.size() && i < static_cast<size_t>(kDbcMaxExchangeUsers); ++i) {
        WideCopyBounded(p->aUser[i].szGUID, 39, aParts[i].strGUID);
        p->aUser[i].nGoldChange = aParts[i].nGold;
        p->aUser[i].nCoinChange = aParts[i].nCoins;
    }
    return p;
}

class TestDatabases {
public:
    TestDatabases() = default;
    ~TestDatabases();
    TestDatabases(const TestDatabases&) = delete;
    TestDatabases& operator=(const TestDatabases&) = delete;

    // Makes the temporary roots; for postgres also a fresh database and a
    // dbctrl.ini that selects it. Returns "" when ready, "SKIP: ..." when the
    // postgres cases are to be skipped, or the reason of a failure.
    std::string Create(TestBackend b);

    std::string Dir() const { return m_strDir; }      // OS path of the temporary directory
    std::string Root1Os() const { return m_strDir + "/dbc"; }
    std::string Root2Os() const { return m_strDir + "/game"; }
    std::u16string Root1() const;                     // '\'-separated, as the framework passes it
    std::u16string Root2() const;
    std::u16string LogDir() const;
    std::string LogDirOs() const { return m_strDir + "/logs"; }
    const std::string& Conninfo() const { return m_strConninfo; }

    // Opens the roots through the library's own selection (dbctrl.ini).
    std::unique_ptr<IDbBackend> Open(std::string& strError) const;
    // DBCtrl_Init of the library on these roots; its result.
    int InitLibrary(const int32_t* pDsn = kAllDsn) const {
        return DBCtrl_Init(kDBCtrlVersion, Root1().c_str(), Root2().c_str(), LogDir().c_str(), pDsn);
    }
    // Runs SQL straight on the databases, behind the library's back: "{P}"
    // stands for the platform schema, "game." names the game schema on both
    // backends. Returns "" or the error.
    std::string RawSql(const std::string& strSql) const;

private:
    std::string m_strDir;
    std::string m_strConninfo;
    std::string m_strDbName;
    TestBackend m_eBackend = TestBackend::Sqlite;
};

// Skips or fails the current test unless the databases could be made.
#define QV_CREATE_DATABASES(dbs, backend)                                  \
    do {                                                                   \
        const std::string strWhy_ = (dbs).Create(backend);                 \
        if (strWhy_.rfind("SKIP:", 0) == 0) GTEST_SKIP() << strWhy_;        \
        ASSERT_EQ(strWhy_, "") << "databases for " << TestBackendName(backend); \
    } while (0)

// Runs a program (path, arguments) with stdout and stderr sent to outFile;
// returns its exit status (128 + signal when killed), -1 when it could not start.
int RunProgram(const std::vector<std::string>& args, const std::string& strOutFile);
// Starts a program in the background with its output to strOutFile; returns
// its pid, or -1.
int StartProgram(const std::vector<std::string>& args, const std::string& strOutFile);
// Waits for a started program; its exit status as RunProgram gives it.
int WaitProgram(int pid);
std::string ReadFileText(const std::string& strPath);
// Every file of a directory (the library's dated logs) in one text.
std::string AllLogs(const std::string& strDir);
// Directory of the build's programs (QV_BUILD_DIR/bin when set).
std::string BinaryDir();
// Runs SQL on the database of a postgres TestDatabases; "" or the error.
std::string PgExec(const std::string& strConninfo, const std::string& strSql);

// Base of the tests that run on both backends: fresh databases per test,
// opened through the library's own selection, in m_dbs and m_pDb. Derived
// fixtures add their users in their own SetUp after calling this one.
class DbBackendTest : public ::testing::TestWithParam<TestBackend> {
protected:
    void SetUp() override {
        QV_CREATE_DATABASES(m_dbs, GetParam());
        std::string strErr;
        m_pDb = m_dbs.Open(strErr);
        ASSERT_TRUE(m_pDb) << strErr;
    }
    // A user's gold and game coins as the test's own connection reads them;
    // -1 (and a failed expectation) when the read fails.
    int64_t Gold(const std::u16string& strGUID) {
        int64_t n = -1;
        EXPECT_EQ(m_pDb->GetGold(strGUID, n), DbResult::Ok);
        return n;
    }
    int64_t Coins(const std::u16string& strGUID) {
        int64_t n = -1;
        EXPECT_EQ(m_pDb->GetGameCoin(strGUID, -1, 0, n), DbResult::Ok);
        return n;
    }
    // Creates a platform user and, unless bGameUser is false, its game user
    // with no coins (a first read of the coins makes it).
    void SeedUser(const std::u16string& strGUID, const std::u16string& strName, int32_t nLoginKey, int64_t nGold,
                  bool bGameUser = true) {
        ASSERT_EQ(m_pDb->CreateUser({strGUID, strName, u"", nLoginKey, nGold}, 0), DbResult::Ok);
        int64_t n = 0;
        if (bGameUser) {
            ASSERT_EQ(m_pDb->GetGameCoin(strGUID, 0, 0, n), DbResult::Ok);
        }
    }
    // Drops the test's connection and opens a new one on the same roots.
    void Reopen() {
        m_pDb.reset();
        std::string strErr;
        m_pDb = m_dbs.Open(strErr);
        ASSERT_TRUE(m_pDb) << strErr;
    }

    TestDatabases m_dbs;
    std::unique_ptr<IDbBackend> m_pDb;
};
