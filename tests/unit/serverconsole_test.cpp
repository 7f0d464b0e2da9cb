// The console command "session" and the frame of every console answer.
#include <regex>

#include "tests/unit/serverbase_fixture.h"

namespace {

class ServerConsoleTest : public ServerBaseTest {
protected:
    std::vector<std::u16string> Run(const char16_t* szCommand) {
        m_host.Clear();
        m_server.OnConsoleCommand(szCommand);
        return m_host.ConsolePieces();
    }
    static void ExpectCompletion(const std::u16string& strPiece, uint32_t dwTick) {
        std::regex form(
            "\r\n【命令完成于】\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d \\(当前TickCount " +
            std::to_string(dwTick) + "\\)\r\n");
        EXPECT_TRUE(std::regex_match(WideToUtf8(strPiece), form)) << WideToUtf8(strPiece);
    }
};

TEST_F(ServerConsoleTest, SessionListShowsTwentyLinesAndCountsEverySession) {
    Start(50, 30);
    for (int c = 0; c < 25; ++c) Connect(c);
    m_tick.Set(123456);
    auto pieces = Run(u"session");
    ASSERT_EQ(pieces.size(), 1u + 20u + 1u + 1u);
    EXPECT_EQ(pieces[0], u"【命令】session\r\n\r\n");
    EXPECT_EQ(pieces[1], u"[00] User=, 临时链=0, 大厅链=-1, 游戏链=-1, 大厅RT=1, 游戏RT=1\r\n");
    EXPECT_EQ(pieces[20], u"[19] User=, 临时链=19, 大厅链=-1, 游戏链=-1, 大厅RT=1, 游戏RT=1\r\n");
    EXPECT_EQ(pieces[21], u"\r\nOnlineCount = 25\r\n");
    ExpectCompletion(pieces[22], 123456);
}

TEST_F(ServerConsoleTest, LinesNameTheSessionIndexAndTheLoggedInUser) {
    AddUser(u"alice");
    Start(50, 10);
    for (int c = 0; c < 8; ++c) Connect(c);
    m_tick.Set(29999);  // still inside everybody's 30 s
    Login(7, u"alice");
    for (int c = 0; c < 7; ++c)
        if (c != 3) Net().QueueDisconnect(c);
    Poll();  // the sweep frees every session without connections
    auto pieces = Run(u"session");
    ASSERT_EQ(pieces.size(), 5u);
    EXPECT_EQ(pieces[1], u"[03] User=, 临时链=3, 大厅链=-1, 游戏链=-1, 大厅RT=1, 游戏RT=1\r\n");
    EXPECT_EQ(pieces[2],
              u"[07] User=alice, 临时链=-1, 大厅链=7, 游戏链=-1, 大厅RT=29, 游戏RT=1\r\n");
    EXPECT_EQ(pieces[3], u"\r\nOnlineCount = 2\r\n");
}

TEST_F(ServerConsoleTest, CommandMatchesInAnyCaseButWithoutTrimming) {
    Start();
    Connect(0);
    for (const char16_t* szCommand : {u"SESSION", u"Session"}) {
        auto pieces = Run(szCommand);
        ASSERT_EQ(pieces.size(), 4u) << WideToUtf8(szCommand);
        EXPECT_EQ(pieces[0], u"【命令】" + std::u16string(szCommand) + u"\r\n\r\n");
        EXPECT_EQ(pieces[2], u"\r\nOnlineCount = 1\r\n");
    }
    auto pieces = Run(u" session");
    ASSERT_EQ(pieces.size(), 3u);
    EXPECT_EQ(pieces[0], u"【命令】 session\r\n\r\n");
    EXPECT_EQ(pieces[1], u"无法识别的命令");
    ExpectCompletion(pieces[2], 1000);
}

TEST_F(ServerConsoleTest, EmptyOrMissingTextIsAnUnknownCommand) {
    for (const char16_t* szCommand : {u"", static_cast<const char16_t*>(nullptr)}) {
        auto pieces = Run(szCommand);
        ASSERT_EQ(pieces.size(), 3u);
        EXPECT_EQ(pieces[0], u"【命令】\r\n\r\n");
        EXPECT_EQ(pieces[1], u"无法识别的命令");
        ExpectCompletion(pieces[2], 1000);
    }
    EXPECT_TRUE(m_host.LogLines().empty());
}

TEST_F(ServerConsoleTest, BeforeStartTheListIsEmpty) {
    auto pieces = Run(u"session");
    ASSERT_EQ(pieces.size(), 3u);
    EXPECT_EQ(pieces[1], u"\r\nOnlineCount = 0\r\n");
}

}  // namespace
