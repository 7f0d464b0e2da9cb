// The example game played end to end on SQLite: two users through the client
// library until the coins are settled and refunded, and the user-facing
// tools, qvplay in script mode and qvbot, against the same kind of server.
#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <thread>

#include "games/example/diceprotocol.h"
#include "projcommon/widestring.h"
#include "tests/e2e/initext.h"
#include "tests/e2e/playflow.h"
#include "tests/e2e/stagedserver.h"

namespace e2e {
namespace {

constexpr auto kToolTimeout = std::chrono::seconds(60);

class E2ePlayTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(m_tree.Create(), ""); }
    StagedTree m_tree;
    HostProcess m_host;
};

TEST_F(E2ePlayTest, TwoUsersPlayUntilSettledAndGetTheirCoinsBackAsGold) {
    ASSERT_EQ(m_tree.AddUser("alice", 50000), "");
    ASSERT_EQ(m_tree.AddUser("bob", 50000), "");
    ASSERT_EQ(m_host.Start(m_tree), "");
    ASSERT_NO_FATAL_FAILURE(TwoPlayerFlow(m_tree, m_host, "alice", "bob", 50000, 3));
    EXPECT_EQ(m_host.Quit(), 0) << m_host.Output();
}

// The frame sells a leaving user's coins back before the game hears of the
// leave: a round must still settle for those who stay, and a countdown that
// loses a player must call the round off without touching anyone's coins.
TEST_F(E2ePlayTest, PlayersWhoLeaveMidRoundOrMidCountdownLeaveTheBooksBalanced) {
    constexpr int32_t kGold = 50000;
    for (const char* szName : {"alice", "bob", "carol", "dave"}) ASSERT_EQ(m_tree.AddUser(szName, kGold), "");
    HostOptions opt;
    opt.aEnv = {"QV_EXAMPLE_SEED=11", "QV_EXAMPLE_COUNTDOWN_MS=800", "QV_EXAMPLE_RESULT_MS=800"};
    ASSERT_EQ(m_host.Start(m_tree, opt), "");
    TestUser alice, bob, carol, dave;
    ASSERT_NO_FATAL_FAILURE(LogIn(m_tree, m_host.Port(), "alice", kGold, alice));
    ASSERT_NO_FATAL_FAILURE(LogIn(m_tree, m_host.Port(), "bob", kGold, bob));
    ASSERT_NO_FATAL_FAILURE(LogIn(m_tree, m_host.Port(), "carol", kGold, carol));
    ASSERT_NO_FATAL_FAILURE(LogIn(m_tree, m_host.Port(), "dave", kGold, dave));

    // Without coins dave may only watch; an observer's ready is declined.
    qvc::Reply r = dave.S().JoinRoom(0, 0);
    EXPECT_FALSE(r.bOk);
    EXPECT_EQ(WideToUtf8(r.strText), "游戏币不足，最少需要100枚。");
    ASSERT_NO_FATAL_FAILURE(TakeSeat(dave, 0, 1));
    ASSERT_TRUE(dave.S().Game().Send(qvc::MakeDiceReady()));
    std::vector<uint8_t> p;
    ASSERT_TRUE(dave.S().WaitFor(dave.S().Game(), dave.S().GameInbox(), DICE_SC_READY, p, kWaitMs));
    EXPECT_EQ(qvc::PacketReader(p).I32(4), DICE_READY_OBSERVER);
    EXPECT_GE(qvc::PacketReader(p).U16(2), kDicePlayerSeats) << "an observer place";

    for (TestUser* u : {&alice, &bob, &carol}) {
        ASSERT_NO_FATAL_FAILURE(BuyCoins(*u));
        ASSERT_NO_FATAL_FAILURE(TakeSeat(*u, 0));
    }
    for (TestUser* u : {&alice, &bob, &carol}) ASSERT_NO_FATAL_FAILURE(Ready(*u));
    // Carol's stake is taken at the start; then she is gone.
    ASSERT_TRUE(carol.S().WaitFor(carol.S().Game(), carol.S().GameInbox(), DICE_SC_ROUND_START, p, kWaitMs));
    carol.nCoins -= kStake;
    ASSERT_NO_FATAL_FAILURE(ExpectUserInfo(carol));
    carol.S().Lobby().Abort();
    carol.S().Game().Abort();

    RoundView va, vb, vd;
    ASSERT_NO_FATAL_FAILURE(TakeRoundView(alice, va));
    ASSERT_NO_FATAL_FAILURE(TakeRoundView(bob, vb));
    ASSERT_NO_FATAL_FAILURE(TakeRoundView(dave, vd));
    EXPECT_EQ(vb.result, va.result);
    EXPECT_EQ(vd.result, va.result) << "the observer sees the round too";
    const qvc::DiceResultMsg& res = va.parsed;
    EXPECT_EQ(res.nPot, 3 * kStake);
    ASSERT_EQ(va.aRolls.size(), 3u);
    // The best of those still seated takes the pot less the rake; carol's roll counts for nothing.
    int nBest = 0;
    for (const Roll& roll : va.aRolls)
        if (roll.wPlace == alice.wPlace || roll.wPlace == bob.wPlace) nBest = std::max(nBest, roll.nTotal);
    int32_t nPaid = 0;
    for (const qvc::DicePlayerResult& pl : res.aPlayers) {
        if (pl.wPlace == carol.wPlace) {
            EXPECT_EQ(pl.nPayout, 0) << "a player who left was paid";
        } else if (pl.nTotal == nBest) {
            EXPECT_GT(pl.nPayout, 0);
        } else {
            EXPECT_EQ(pl.nPayout, 0);
        }
        nPaid += pl.nPayout;
        if (pl.wPlace == alice.wPlace) alice.nCoins += pl.nPayout - kStake;
        if (pl.wPlace == bob.wPlace) bob.nCoins += pl.nPayout - kStake;
    }
    EXPECT_EQ(res.nRake, res.nPot - nPaid);
    EXPECT_GE(res.nRake, res.nPot * kDiceRakePercent / 100);
    ASSERT_NO_FATAL_FAILURE(ExpectUserInfo(alice));
    ASSERT_NO_FATAL_FAILURE(ExpectUserInfo(bob));

    // A countdown that loses bob is called off for alice; nobody's coins move.
    ASSERT_NO_FATAL_FAILURE(Ready(alice));
    ASSERT_NO_FATAL_FAILURE(Ready(bob));
    ASSERT_TRUE(bob.S().WaitFor(bob.S().Game(), bob.S().GameInbox(), DICE_SC_COUNTDOWN, p, kWaitMs));
    bob.S().Lobby().Abort();
    bob.S().Game().Abort();
    ASSERT_TRUE(alice.S().WaitFor(alice.S().Game(), alice.S().GameInbox(), DICE_SC_CANCELLED, p, kWaitMs))
        << "the round went on without enough players";
    EXPECT_EQ(qvc::PacketReader(p).U16(6), DICE_CANCEL_TOO_FEW);

    // The leavers got their coins back; the players who stay kept theirs.
    for (TestUser* u : {&carol, &bob}) {
        AdminUser shown;
        for (int i = 0; i < 100 && (shown = ShowUser(m_tree, u->strName)).nCoins != 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_EQ(shown.nCoins, 0) << u->strName;
        EXPECT_EQ(shown.nGold, u->nGold + int64_t{u->nCoins} * kCoinToGold) << u->strName;
    }
    AdminUser shownAlice = ShowUser(m_tree, "alice");
    EXPECT_EQ(shownAlice.nCoins, alice.nCoins);
    EXPECT_EQ(BankerGold(m_tree), int64_t{res.nRake} * kGoldToCoin);
    AuditFigures audit = Audit(m_tree);
    EXPECT_EQ(audit.nExit, 0) << audit.strOutput;
    EXPECT_EQ(audit.nCoinsMoved, alice.nCoins) << audit.strOutput;
}

TEST_F(E2ePlayTest, TwoScriptedQvplaySessionsPlayARoundTogether) {
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
        EXPECT_NE(r.strOutput.find("logging out: the server sells your "), std::string::npos) << r.strOutput;
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
    EXPECT_EQ(audit.nCoinsMoved, 0) << audit.strOutput;
}

// A session taken over by another login must not leave qvplay running on
// with the old balances: it says why and ends with 1.
TEST_F(E2ePlayTest, QvplayEndsWhenAnotherLoginTakesItsSessionOver) {
    ASSERT_EQ(m_tree.AddUser("alice", 20000), "");
    ASSERT_EQ(m_host.Start(m_tree), "");
    const std::filesystem::path longScript = m_tree.Root() / "long.txt";
    const std::filesystem::path shortScript = m_tree.Root() / "short.txt";
    WriteTextFile(longScript, "buy\nsleep 8000\nrooms\n");
    WriteTextFile(shortScript, "sleep 200\n");
    auto play = [&](const std::filesystem::path& script) {
        const std::u16string strLogin = m_tree.LoginString("alice");
        return RunTool((m_tree.BinDir() / "qvplay").string(),
                       {"--user", "alice", "--login-string", WideToUtf8(strLogin), "--port",
                        std::to_string(m_host.Port()), "--script", script.string()},
                       kToolTimeout);
    };
    auto first = std::async(std::launch::async, play, longScript);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    const ToolResult second = play(shortScript);
    EXPECT_EQ(second.nExit, 0) << second.strOutput;
    const ToolResult r = first.get();
    EXPECT_EQ(r.nExit, 1) << r.strOutput;
    EXPECT_NE(r.strOutput.find("the server closed the lobby connection"), std::string::npos) << r.strOutput;
    EXPECT_EQ(r.strOutput.find("> rooms"), std::string::npos) << "ran on after the takeover:\n" << r.strOutput;
}

// With every user place taken, a fresh connection is accepted with the full
// notice, yet it may still log in to the user's own session: a player on a
// full server must be able to open the game connection.
TEST_F(E2ePlayTest, QvplayJoinsATableOnAFullServer) {
    ASSERT_EQ(m_tree.AddUser("alice", 20000), "");
    SetIniValue(m_tree.ConfigFile(), "ServerCore", "MaxUser", "1");
    ASSERT_EQ(m_host.Start(m_tree), "");
    const std::filesystem::path script = m_tree.Root() / "full.txt";
    WriteTextFile(script, "buy\njoin 0\nleave\nquit\n");
    const ToolResult r = RunTool((m_tree.BinDir() / "qvplay").string(),
                                 {"--user", "alice", "--login-string", WideToUtf8(m_tree.LoginString("alice")),
                                  "--port", std::to_string(m_host.Port()), "--script", script.string()},
                                 kToolTimeout);
    EXPECT_EQ(r.nExit, 0) << r.strOutput;
    EXPECT_NE(r.strOutput.find("game client ready"), std::string::npos) << r.strOutput;
}

TEST_F(E2ePlayTest, FourBotsPlayOneRoundAndLeave) {
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
