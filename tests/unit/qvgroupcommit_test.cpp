// Group commit in the frame: with a library in group mode, the packets that
// answer a host command's database changes leave only after its commit; a
// failed commit drops them, undoes the group, stops the server and lets
// nothing more reach the database; a driver that cannot hold replies turns
// the library's groups back into one commit per command.
#include "tests/unit/qvframe_fixture.h"

namespace {

class QvGroupCommitTest : public FrameTest {
protected:
    QvGroupCommitTest() { m_db.SetGroupCommitSupported(true); }

    // amy (60000 gold, 400 coins) logged in on connection 0 of a started
    // frame whose game asks 1000 coins; records dropped.
    void StartWithAmy(bool bDriverHolds = true) {
        Net().SetHoldSupported(bDriverHolds);
        Game().nMinCoin = 1000;
        AddUser(u"amy", 60000, 400);
        ASSERT_EQ(StartFrame("RoomCount=1\r\n", QV_TESTGAME_EXAMPLE_PATH, true), 1);
        m_astrStartLog = m_host.LogMessages();
        Login(0, u"amy");
        ASSERT_EQ(m_server.CommitHostCommand(), 1);
        ClearRecords();
    }
    bool StartLogged(std::u16string_view strLine) const {
        return std::find(m_astrStartLog.begin(), m_astrStartLog.end(), strLine) != m_astrStartLog.end();
    }
    bool Logged(const std::u16string& strLine) const { return m_host.HasLog(strLine); }

    std::vector<std::u16string> m_astrStartLog;
};

TEST_F(QvGroupCommitTest, RepliesLeaveOnlyWhenTheHostCommandsChangesAreCommitted) {
    StartWithAmy();
    EXPECT_TRUE(StartLogged(u"数据库分组提交: 每次轮询提交一次, 回复在提交后发出"));
    EXPECT_TRUE(Net().IsHolding());

    Signal(0, CS_BUY_GAME_COIN);
    EXPECT_TRUE(SentTo(0).empty()) << "the purchase's answer waits for the commit";
    EXPECT_EQ(Net().HeldSends().size(), 2u);
    EXPECT_TRUE(m_db.IsGroupOpen());
    EXPECT_EQ(m_db.CountCalls(DBCMD_COMMIT_GROUP), 0);

    ASSERT_EQ(m_server.CommitHostCommand(), 1);
    EXPECT_EQ(m_db.CountCalls(DBCMD_COMMIT_GROUP), 1);
    EXPECT_FALSE(m_db.IsGroupOpen());
    auto sent = SentTo(0);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1], ToBytes(BuildCoreNotice(u"成功购买了游戏币600枚，消耗金币60000枚。")));

    // A host command without database work asks for no commit.
    ClearRecords();
    Poll();
    ASSERT_EQ(m_server.CommitHostCommand(), 1);
    EXPECT_EQ(m_db.CountCalls(DBCMD_COMMIT_GROUP), 0);
}

TEST_F(QvGroupCommitTest, AFailedCommitUndoesTheGroupDropsItsRepliesAndStopsTheServer) {
    StartWithAmy();
    const int64_t nValue = m_db.TotalValue(100);
    m_db.SetCommandResult(DBCMD_COMMIT_GROUP, 0);
    Signal(0, CS_BUY_GAME_COIN);
    EXPECT_EQ(Copy(SessionOf(0)->GetUserInfo()->nGameCoin), 1000) << "memory ran ahead of the database";

    EXPECT_EQ(m_server.CommitHostCommand(), 0);
    EXPECT_TRUE(Logged(u"数据库提交失败, 撤销 1 条数据库命令, 停止服务"));
    EXPECT_EQ(m_db.FindUser(u"amy")->nGold, 60000) << "the purchase was rolled back";
    EXPECT_EQ(m_db.FindUser(u"amy")->nGameCoin, 400);
    EXPECT_TRUE(SentTo(0).empty());
    EXPECT_TRUE(Net().HeldSends().empty()) << "the replies of the undone purchase are dropped";
    EXPECT_EQ(Net().ReleaseCalls(1), 1);

    // The stop the host entry then makes: the session's refund would sell
    // coins the database never had, so nothing reaches the database any more.
    m_db.ClearCalls();
    m_server.Stop();
    EXPECT_TRUE(m_db.Calls().empty());
    EXPECT_EQ(m_db.TotalValue(100), nValue);
    EXPECT_TRUE(SentTo(0).empty());
    EXPECT_EQ(m_server.IsStarted(), 0);
    EXPECT_EQ(m_server.HasCommitFailed(), 1);
    Poll(10);  // a host that ticks on finds nothing to tick
}

TEST_F(QvGroupCommitTest, TheEndsOfAStopAreCommittedBeforeTheConnectionsGo) {
    StartWithAmy();
    Signal(0, CS_BUY_GAME_COIN);
    ASSERT_EQ(m_server.CommitHostCommand(), 1);
    ClearRecords();

    m_server.Stop();
    ASSERT_EQ(m_db.CountCalls(DBCMD_EXCHANGE), 1) << "the refund at the stop";
    EXPECT_EQ(m_db.CountCalls(DBCMD_COMMIT_GROUP), 1);
    EXPECT_EQ(m_db.Calls().back().nCmd, DBCMD_COMMIT_GROUP);
    EXPECT_FALSE(m_db.IsGroupOpen());
    EXPECT_EQ(m_db.FindUser(u"amy")->nGameCoin, 0);
    EXPECT_TRUE(Net().HeldSends().empty());
    EXPECT_EQ(Net().ReleaseCalls(1), 0);
}

TEST_F(QvGroupCommitTest, WithoutHeldSendsEveryCommandIsCommittedBeforeItIsAnswered) {
    StartWithAmy(false);
    EXPECT_TRUE(StartLogged(u"网络驱动不能暂扣发送, 数据库逐条提交"));
    EXPECT_EQ(m_server.IsGroupCommit(), 0);

    Signal(0, CS_BUY_GAME_COIN);
    ASSERT_EQ(m_db.Calls().size(), 2u);
    EXPECT_EQ(m_db.Calls()[0].nCmd, DBCMD_EXCHANGE);
    EXPECT_EQ(m_db.Calls()[1].nCmd, DBCMD_COMMIT_GROUP);
    EXPECT_EQ(SentTo(0).size(), 2u) << "answered at once, after its own commit";

    // A commit that fails makes the command itself fail: the purchase is
    // refused and nothing of it stays.
    ClearRecords();
    SessionOf(0)->AddGameCoin(-1000);
    m_db.MutableUser(u"amy")->nGameCoin = 0;
    m_db.MutableUser(u"amy")->nGold = SessionOf(0)->GetUserInfo()->nGold = 60000;
    const int64_t nValue = m_db.TotalValue(100);
    m_db.SetCommandResult(DBCMD_COMMIT_GROUP, 0);
    Signal(0, CS_BUY_GAME_COIN);
    EXPECT_EQ(m_db.TotalValue(100), nValue);
    EXPECT_EQ(m_db.FindUser(u"amy")->nGameCoin, 0);
    EXPECT_EQ(Copy(SessionOf(0)->GetUserInfo()->nGameCoin), 0);
    EXPECT_EQ(m_server.IsStarted(), 1) << "one refused command does not stop the server";
}

}  // namespace
