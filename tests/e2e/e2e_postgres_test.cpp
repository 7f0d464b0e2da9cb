// Two quorvel-host processes on different ports sharing one PostgreSQL
// platform and game database (a fresh database in the throwaway cluster):
// the whole two-player flow on one server with the books read through the
// other's tree, and one user logged in on both servers at once, whose gold
// spent on one is seen by the other and whose coins are not paid back twice.
#include <gtest/gtest.h>

#include <thread>

#include "tests/e2e/playflow.h"
#include "tests/e2e/stagedserver.h"
#include "tests/integration/dbctrl/dbtestenv.h"

namespace e2e {
namespace {

constexpr int32_t kGold = 50000;

TEST(PostgresE2eTest, TwoServersShareOneDatabase) {
    TestDatabases dbs;
    QV_CREATE_DATABASES(dbs, TestBackend::Postgres);
    StagedTree treeA, treeB;
    for (StagedTree* t : {&treeA, &treeB}) {
        ASSERT_EQ(t->Create(), "");
        std::filesystem::copy_file(dbs.Root1Os() + "/dbctrl.ini", t->DbcDir() / "dbctrl.ini");
    }
    for (const char* szName : {"alice", "bob", "carol"}) ASSERT_EQ(treeA.AddUser(szName, kGold), "");

    HostProcess hostA, hostB;
    ASSERT_EQ(hostA.Start(treeA), "");
    ASSERT_EQ(hostB.Start(treeB), "");
    ASSERT_NE(hostA.Port(), hostB.Port());
    for (HostProcess* h : {&hostA, &hostB})
        EXPECT_NE(h->Output().find("数据库模块初始化 成功"), std::string::npos) << h->Output();
    // Neither server fell back to local SQLite files.
    for (StagedTree* t : {&treeA, &treeB}) {
        EXPECT_FALSE(std::filesystem::exists(t->DbcDir() / "platform.db"));
        EXPECT_FALSE(std::filesystem::exists(t->GameDbDir() / "game.db"));
    }

    // Played on A, checked through B's tree: both see one set of books.
    ASSERT_NO_FATAL_FAILURE(TwoPlayerFlow(treeB, hostA, "alice", "bob", kGold, 2));

    TestUser onB, onA;
    ASSERT_NO_FATAL_FAILURE(LogIn(treeB, hostB.Port(), "carol", kGold, onB));
    ASSERT_NO_FATAL_FAILURE(BuyCoins(onB));
    ASSERT_NO_FATAL_FAILURE(LogIn(treeA, hostA.Port(), "carol", onB.nGold, onA, onB.nCoins));

    // A closes carol's session first and sells her coins back.
    onA.S().Logout();
    const int32_t nAfterRefund = onB.nGold + kRoomMinCoin * kCoinToGold;
    AdminUser u;
    for (int i = 0; i < 100 && (u = ShowUser(treeB, "carol")).nCoins != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(u.nCoins, 0);
    EXPECT_EQ(u.nGold, nAfterRefund);

    // B still holds the coins in its session; closing it must not pay them again.
    const size_t nMark = hostB.Output().size();
    onB.S().Logout();
    EXPECT_TRUE(hostB.WaitFor("框架关闭 Session(", kWaitMs, nMark)) << hostB.Output();
    u = ShowUser(treeA, "carol");
    EXPECT_EQ(u.nCoins, 0);
    EXPECT_EQ(u.nGold, nAfterRefund) << "carol's coins were paid back twice";

    for (StagedTree* t : {&treeA, &treeB}) {
        AuditFigures audit = Audit(*t);
        EXPECT_EQ(audit.nExit, 0) << audit.strOutput;
        EXPECT_EQ(audit.nCoinsMoved, 0) << audit.strOutput;
    }
    EXPECT_EQ(hostA.Quit(), 0) << hostA.Output();
    EXPECT_EQ(hostB.Quit(), 0) << hostB.Output();
}

}  // namespace
}  // namespace e2e
