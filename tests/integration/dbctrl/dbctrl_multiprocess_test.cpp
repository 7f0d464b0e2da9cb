// DBCtrl under several processes, on both backends: two processes changing one
// user's gold at the same time lose no update, and a process killed with
// SIGKILL in the middle of a stream of commits leaves a database that opens,
// holds every acknowledged change and passes qvadmin audit, and exchanges
// killed at random moments are whole or absent after the next open, also when
// they are committed in groups.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include "dbctrl/dbaudit.h"
#include "projcommon/widestring.h"
#include "tests/integration/dbctrl/dbtestenv.h"

namespace {

const std::u16string kGuid = u"{2A000000-0000-4000-8000-00000000002A}";

std::vector<std::string> WorkerArgs(const TestDatabases& dbs, const std::vector<std::string>& tail) {
    std::vector<std::string> a = {BinaryDir() + "/dbctrl_worker", dbs.Root1Os(), dbs.Root2Os(), dbs.LogDirOs(),
                                  WideToUtf8(kGuid)};
    a.insert(a.end(), tail.begin(), tail.end());
    return a;
}

// The last complete count line a worker printed (0 when none).
long LastCount(const std::string& strOut) {
    std::istringstream in(strOut);
    std::string line, last;
    while (std::getline(in, line)) {
        if (!in.eof()) last = line;  // an unterminated last line may be cut
    }
    return last.empty() ? 0 : std::atol(last.c_str());
}

class DbCtrlProcesses : public DbBackendTest {
protected:
    void SetUp() override {
        DbBackendTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        ASSERT_NO_FATAL_FAILURE(SeedUser(kGuid, u"Erin", 1, 0, false));
    }
};

TEST_P(DbCtrlProcesses, TwoProcessesChangingOneUserLoseNoUpdate) {
    // Each applies 1000 changes, +1 +1 +1 -1 repeated: +500 each.
    const std::string out1 = m_dbs.Dir() + "/w1.out", out2 = m_dbs.Dir() + "/w2.out";
    const int p1 = StartProgram(WorkerArgs(m_dbs, {"pm", "1000"}), out1);
    const int p2 = StartProgram(WorkerArgs(m_dbs, {"pm", "1000"}), out2);
    ASSERT_GT(p1, 0);
    ASSERT_GT(p2, 0);
    EXPECT_EQ(WaitProgram(p1), 0) << ReadFileText(out1).substr(0, 300);
    EXPECT_EQ(WaitProgram(p2), 0) << ReadFileText(out2).substr(0, 300);
    int64_t nGold = -1;
    ASSERT_EQ(m_pDb->GetGold(kGuid, nGold), DbResult::Ok);
    EXPECT_EQ(nGold, 1000);
    std::vector<DbLedgerRow> rows;
    ASSERT_EQ(m_pDb->ListLedger('G', rows), DbResult::Ok);
    ASSERT_EQ(rows.size(), 2000u);
    int nUp = 0;
    for (const DbLedgerRow& r : rows) nUp += r.nChange == 1;
    EXPECT_EQ(nUp, 1500);
    // Every row's balance follows from the rows before it.
    DbAuditReport rep;
    DbAuditOptions opt;
    opt.bValueCheck = false;
    ASSERT_EQ(AuditDatabases(*m_pDb, opt, rep), DbResult::Ok);
    EXPECT_TRUE(rep.aDifferences.empty()) << rep.aDifferences[0];
}

TEST_P(DbCtrlProcesses, KilledMidStreamLeavesAnAuditableDatabase) {
    const std::string strOut = m_dbs.Dir() + "/mix.out";
    const int pid = StartProgram(WorkerArgs(m_dbs, {"mix"}), strOut);
    ASSERT_GT(pid, 0);
    const auto tEnd = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (LastCount(ReadFileText(strOut)) < 400 && std::chrono::steady_clock::now() < tEnd)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_EQ(kill(pid, SIGKILL), 0);
    EXPECT_EQ(WaitProgram(pid), 128 + SIGKILL);
    const long nAcked = LastCount(ReadFileText(strOut));
    ASSERT_GE(nAcked, 400) << ReadFileText(strOut).substr(0, 300);

    // Commands cycle gold, coins, banker, tax, each +1: every acknowledged one
    // is there, and at most the one in flight beyond them.
    ASSERT_NO_FATAL_FAILURE(Reopen());
    int64_t nGold = 0;
    ASSERT_EQ(m_pDb->GetGold(kGuid, nGold), DbResult::Ok);
    std::vector<DbLedgerRow> g, c, b, t;
    ASSERT_EQ(m_pDb->ListLedger('G', g), DbResult::Ok);
    ASSERT_EQ(m_pDb->ListLedger('C', c), DbResult::Ok);
    ASSERT_EQ(m_pDb->ListLedger('B', b), DbResult::Ok);
    ASSERT_EQ(m_pDb->ListLedger('T', t), DbResult::Ok);
    const long nStored = static_cast<long>(g.size() + (c.size() - 1) + b.size() + t.size());  // less the creation
    EXPECT_GE(nStored, nAcked);
    EXPECT_LE(nStored, nAcked + 1);
    EXPECT_EQ(nGold, static_cast<int64_t>(g.size()));

    const std::string strAudit = m_dbs.Dir() + "/audit.out";
    EXPECT_EQ(RunProgram({BinaryDir() + "/qvadmin", "--dbc", m_dbs.Root1Os(), "--game-db", m_dbs.Root2Os(), "audit",
                          "--no-value-check"},
                         strAudit),
              0)
        << ReadFileText(strAudit);
    EXPECT_NE(ReadFileText(strAudit).find("audit: consistent"), std::string::npos);
}

// gold + GoldToCoin * coins + banker + tax over every account: what the
// exchanges move around but never create or destroy.
int64_t TotalValue(IDbBackend& db, int64_t nGoldToCoin) {
    int64_t nTotal = 0;
    std::vector<DbUser> users;
    EXPECT_EQ(db.ListUsers(users), DbResult::Ok);
    for (const DbUser& u : users) nTotal += u.nGold;
    for (char cBook : {'C', 'B', 'T'}) {
        std::vector<DbAccount> a;
        EXPECT_EQ(db.ListAccounts(cBook, a), DbResult::Ok);
        for (const DbAccount& x : a) nTotal += (cBook == 'C' ? nGoldToCoin : 1) * x.nBalance;
    }
    return nTotal;
}

// Kills a worker running szMode's exchanges at random moments, nKills times;
// after each kill the reopened database must hold every acknowledged exchange,
// pass the audit and keep the total value.
void KillExchangesAtRandomMoments(const TestDatabases& dbs, std::unique_ptr<IDbBackend>& pDb, const char* szMode,
                                  int nKillsWanted) {
    int64_t nGold = 0;
    ASSERT_EQ(pDb->AddGold(kGuid, 100000000, kLedgerAdminGold, 0, nGold), DbResult::Ok);
    const int64_t nValue = TotalValue(*pDb, 100);
    std::mt19937 rng(20100526);
    std::uniform_int_distribution<int> delayMs(0, 40);
    const std::string strOut = dbs.Dir() + "/exchange.out";
    const auto tEnd = std::chrono::steady_clock::now() + std::chrono::seconds(150);
    long nTotalAcked = 0;
    int nKills = 0, nRepaired = 0;
    for (; nKills < nKillsWanted && std::chrono::steady_clock::now() < tEnd; ++nKills) {
        const int pid = StartProgram(WorkerArgs(dbs, {szMode}), strOut);
        ASSERT_GT(pid, 0);
        // Past its start (the first acknowledgement), then a random moment.
        while (LastCount(ReadFileText(strOut)) < 1 && std::chrono::steady_clock::now() < tEnd)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs(rng)));
        ASSERT_EQ(kill(pid, SIGKILL), 0);
        ASSERT_EQ(WaitProgram(pid), 128 + SIGKILL) << ReadFileText(strOut).substr(0, 300);
        nTotalAcked += LastCount(ReadFileText(strOut));

        pDb.reset();
        std::string strErr;
        pDb = dbs.Open(strErr);
        ASSERT_TRUE(pDb) << strErr;
        nRepaired += static_cast<int>(pDb->OpenNotes().size());
        DbAuditReport rep;
        DbAuditOptions opt;
        opt.nGoldToCoin = 100;
        ASSERT_EQ(AuditDatabases(*pDb, opt, rep), DbResult::Ok);
        ASSERT_TRUE(rep.aDifferences.empty()) << "after kill " << nKills << ": " << rep.aDifferences[0];
        ASSERT_EQ(rep.nUndoneExchanges, 0u);
        ASSERT_EQ(TotalValue(*pDb, 100), nValue) << "after kill " << nKills;
        std::vector<DbExchangeRow> aStored;
        ASSERT_EQ(pDb->ListExchanges(aStored), DbResult::Ok);
        ASSERT_GE(static_cast<long>(aStored.size()), nTotalAcked) << "an acknowledged exchange was lost";
    }
    EXPECT_EQ(nKills, nKillsWanted) << "time ran out";
    EXPECT_GT(nTotalAcked, nKillsWanted);
    std::printf("%s: %d kills, %ld exchanges acknowledged, %d half exchanges repaired\n", szMode, nKills,
                nTotalAcked, nRepaired);
}

TEST_P(DbCtrlProcesses, ExchangesKilledAtRandomMomentsAreWholeOrAbsentAfterReopen) {
    KillExchangesAtRandomMoments(m_dbs, m_pDb, "exchange", 20);
}

// In group mode a kill before or during the commit loses the group's
// exchanges (PostgreSQL), or leaves halves of several of them that the next
// open completes (SQLite, whose files commit one after the other).
TEST_P(DbCtrlProcesses, GroupsKilledBeforeOrDuringTheirCommitLeaveEveryExchangeWholeOrAbsent) {
    const std::string strIni = m_dbs.Root1Os() + "/dbctrl.ini";
    std::string s = ReadFileText(strIni);
    const size_t i = s.find("CommitMode=command");
    ASSERT_NE(i, std::string::npos) << s;
    s.replace(i, 18, "CommitMode=group");
    std::ofstream(strIni, std::ios::binary | std::ios::trunc) << s;
    KillExchangesAtRandomMoments(m_dbs, m_pDb, "group", 12);
}

INSTANTIATE_TEST_SUITE_P(Backends, DbCtrlProcesses, ::testing::Values(TestBackend::Sqlite, TestBackend::Postgres),
                         [](const auto& info) { return std::string(TestBackendName(info.param)); });

}  // namespace
