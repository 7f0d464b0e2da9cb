// The example game played end to end on SQLite: two users through the client
// library until the coins are settled and refunded, and the user-facing
// tools, qvplay in script mode and qvbot, against the same kind of server.
#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "projcommon/widestring.h"
#include "tests/e2e/initext.h"
#include "tests/e2e/playflow.h"
#include "tests/e2e/stagedserver.h"

namespace e2e {
namespace {

constexpr auto kToolTimeout = std::chrono::seconds(60);

class PlayTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(m_tree.Create(), ""); }
    StagedTree m_tree;
    HostProcess m_host;
};

TEST_F(PlayTest, TwoUsersPlayUntilSettledAndGetTheirCoinsBackAsGold) {
    ASSERT_EQ(m_tree.AddUser("alice", 50000), "");
    ASSERT_EQ(m_tree.AddUser("bob", 50000), "");
    ASSERT_EQ(m_host.Start(m_tree), "");
    ASSERT_NO_FATAL_FAILURE(TwoPlayerFlow(m_tree, m_host, "alice", "bob", 50000, 3));
    EXPECT_EQ(m_host.Quit(), 0);
}

TEST_F(PlayTest, TwoScriptedQvplaySessionsPlayARoundTogether) {
    ASSERT_EQ(m_tree.AddUser("alice", 20000), "");
    ASSERT_EQ(m_tree.AddUser("bob", 20000), "");
    ASSERT_EQ(m_host.Start(m_tree), "");
    const std::filesystem::path script = m_tree.Root() / "play.txt";
    // A reply may come back while the command that asked for it still
    // prints, before a "wait" would start looking: replies are given time.
    WriteTextFile(script,
                  "# one round at table 0\n"
                  "rooms\nbuy\njoin 0\nready\nwait result 15000\n"
                  "chat hello\nsleep 300\nping abc\nsleep 300\nleave\nquit\n");
    auto play = [&](const std::string& strUser) {
        const std::u16string strLogin = m_tree.LoginString(strUser);
        return RunTool((m_tree.BinDir() / "qvplay").string(),
                       {"--user", strUser, "--login-string", WideToUtf8(strLogin),
                        "--port", std::to_string(m_host.Port()), "--script", script.string()},
                       kToolTimeout);
    };
    auto a = std::async(std::launch::async, play, "alice");
    auto b = std::async(std::launch::async, play, "bob");
    for (const ToolResult& r : {a.get(), b.get()}) {
        EXPECT_EQ(r.nExit, 0) << r.strOutput;
        EXPECT_NE(r.strOutput.find("room 20: 0/4 players"), std::string::npos) << r.strOutput;
        EXPECT_NE(r.strOutput.find("notice: 成功购买了游戏币100枚，消耗金币10000枚。"), std::string::npos)
            << r.strOutput;
        EXPECT_NE(r.strOutput.find("RESULT round 1 pot 20"), std::string::npos) << r.strOutput;
        EXPECT_NE(r.strOutput.find(": hello\n"), std::string::npos) << r.strOutput;
        EXPECT_NE(r.strOutput.find("PONG 3 bytes"), std::string::npos) << r.strOutput;
    }
    // Both left: their coins went back, and the books balance.
    for (const char* szUser : {"alice", "bob"}) {
        AdminUser u;
        for (int i = 0; i < 100 && (u = ShowUser(m_tree, szUser)).nCoins != 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_TRUE(u.bFound);
        EXPECT_EQ(u.nCoins, 0) << szUser;
    }
    AuditFigures audit = Audit(m_tree);
    EXPECT_EQ(audit.nExit, 0) << audit.strOutput;
    EXPECT_EQ(audit.nCoins8, 0) << audit.strOutput;
}

TEST_F(PlayTest, FourBotsPlayOneRoundAndLeave) {
    const std::string strKey = "424242";
    for (int i = 0; i < 4; ++i) ASSERT_EQ(m_tree.AddUser("bot" + std::to_string(i), 30000, strKey), "");
    ASSERT_EQ(m_host.Start(m_tree), "");
    ToolResult r = RunTool((m_tree.BinDir() / "qvbot").string(),
                           {"--port", std::to_string(m_host.Port()), "--count", "4", "--key", strKey, "--rounds", "1",
                            "--pings", "3"},
                           kToolTimeout);
    EXPECT_EQ(r.nExit, 0) << r.strOutput;
    for (int i = 0; i < 4; ++i) {
        const std::string strName = "bot" + std::to_string(i);
        AdminUser u;
        for (int k = 0; k < 100 && (u = ShowUser(m_tree, strName)).nCoins != 0; ++k)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_EQ(u.nCoins, 0) << strName << " kept coins after leaving";
        // 20000 gold and 90 for each coin sold back: never the 30000 of a bot that bought nothing.
        EXPECT_NE(u.nGold, 30000) << strName << " never bought coins";
    }
    ToolResult taxes = m_tree.Admin({"tax", "list"});
    EXPECT_EQ(LinesWith(taxes.strOutput, "game=ExampleGame ").size(), 4u) << taxes.strOutput;
    AuditFigures audit = Audit(m_tree);
    EXPECT_EQ(audit.nExit, 0) << audit.strOutput;
    EXPECT_GT(audit.nBanker, 0) << "a round was played and raked";
}

}  // namespace
}  // namespace e2e
