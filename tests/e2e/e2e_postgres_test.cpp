// Two quorvel-host processes on different ports sharing one PostgreSQL
// platform and game database (a fresh database in the throwaway cluster):
// the whole two-player flow on one server with the books read through the
// other's tree, and one user who is online on one server at a time: a login
// on the other server is refused until the first has ended her session and
// sold her coins back, and then loads exactly what was sold back.
#include <gtest/gtest.h>

#include <thread>

#include "common/sessionlease.h"
#include "projcommon/widestring.h"
#include "tests/e2e/initext.h"
#include "tests/e2e/playflow.h"
#include "tests/e2e/stagedserver.h"
#include "tests/integration/dbctrl/dbtestenv.h"

namespace e2e {
namespace {

constexpr int32_t kGold = 50000;
// Short leases, so that a renew (every third of the lease) comes within a second.
constexpr int kLeaseSeconds = 3;

// One lobby login attempt; the answer.
qvc::Reply TryLogIn(const StagedTree& tree, uint16_t wPort, const std::string& strName) {
    qvc::ClientSession s("127.0.0.1", wPort, kWaitMs);
    qvc::Reply r = s.ConnectLobby();
    if (!r.bOk) return r;
    return s.LoginLobby(Utf8ToWide(strName), tree.LoginString(strName));
}

TEST(PostgresE2eTest, TwoServersShareOneDatabase) {
    TestDatabases dbs;
    QV_CREATE_DATABASES(dbs, TestBackend::Postgres);
    StagedTree treeA, treeB;
    for (StagedTree* t : {&treeA, &treeB}) {
        ASSERT_EQ(t->Create(), "");
        std::filesystem::copy_file(dbs.Root1Os() + "/dbctrl.ini", t->DbcDir() / "dbctrl.ini");
        SetIniValue(t->ConfigFile(), "QuorvelS", "SessionLeaseSeconds", std::to_string(kLeaseSeconds));
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

    for (HostProcess* h : {&hostA, &hostB})
        EXPECT_NE(h->Output().find("会话租约 开启: 服务器标识 "), std::string::npos) << h->Output();

    // carol plays on B with coins bought there.
    TestUser onB, onA;
    ASSERT_NO_FATAL_FAILURE(LogIn(treeB, hostB.Port(), "carol", kGold, onB));
    ASSERT_NO_FATAL_FAILURE(BuyCoins(onB));

    // A refuses her while B holds her, and asks B to let her go.
    const size_t nMarkB = hostB.Output().size();
    qvc::Reply r = TryLogIn(treeA, hostA.Port(), "carol");
    EXPECT_FALSE(r.bOk);
    EXPECT_TRUE(r.bAnswered);
    EXPECT_EQ(WideToUtf8(r.strText), WideToUtf8(kLeaseHeldElsewhereText));
    // The reply can overtake the log line on its way out of the host's pipe.
    EXPECT_TRUE(hostA.WaitFor("用户 carol 在服务器 ", kWaitMs)) << hostA.Output();

    // B's next renew ends her session there as a whole: the connection goes
    // and the coins are sold back.
    EXPECT_TRUE(hostB.WaitFor("用户 carol 在其他服务器请求登录, 关闭 Session(", kWaitMs, nMarkB)) << hostB.Output();
    EXPECT_TRUE(WaitClosed(onB.S().Lobby(), kWaitMs)) << "B kept carol's lobby connection";
    const int32_t nAfterRefund = onB.nGold + kRoomMinCoin * kCoinToGold;
    AdminUser u = ShowUser(treeA, "carol");
    EXPECT_EQ(u.nCoins, 0);
    EXPECT_EQ(u.nGold, nAfterRefund);

    // Now A lets her in with what B sold back, and B refuses her in turn.
    ASSERT_NO_FATAL_FAILURE(LogIn(treeA, hostA.Port(), "carol", nAfterRefund, onA, 0));
    r = TryLogIn(treeB, hostB.Port(), "carol");
    EXPECT_FALSE(r.bOk);
    EXPECT_EQ(WideToUtf8(r.strText), WideToUtf8(kLeaseHeldElsewhereText));
    ASSERT_NO_FATAL_FAILURE(BuyCoins(onA));
    const size_t nMarkA = hostA.Output().size();
    onA.S().Logout();
    EXPECT_TRUE(hostA.WaitFor("框架关闭 Session(", kWaitMs, nMarkA)) << hostA.Output();
    for (int i = 0; i < 100 && (u = ShowUser(treeB, "carol")).nCoins != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(u.nCoins, 0);
    EXPECT_EQ(u.nGold, onA.nGold + kRoomMinCoin * kCoinToGold);
    EXPECT_EQ(u.nGold, kGold - 2 * kRoomMinCoin * (kGoldToCoin - kCoinToGold)) << "each purchase paid back once";

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
