// The Windows build end to end, under Wine: the staged tree's quorvel-host.exe
// on SQLite, users made with qvadmin.exe, two users through the client
// library who log in, buy, sit down, chat, play and leave with the books
// balanced, two scripted qvplay.exe sessions, a console command, and a clean
// "quit"; and qvtraceview.exe taking a trace record sent as WM_COPYDATA to
// its window.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <future>
#include <thread>

#include "platform/byteorder.h"
#include "platform/traceviewer.h"
#include "projcommon/tracelog2.h"
#include "projcommon/widestring.h"
#include "tests/e2e/initext.h"
#include "tests/e2e/playflow.h"
#include "tests/e2e/stagedserver.h"

namespace e2e {
namespace {

// Wine starts each program slowly: the tools get more time than on Linux.
constexpr auto kToolTimeout = std::chrono::seconds(120);

class E2eWindowsTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(m_tree.Create(), ""); }
    StagedTree m_tree;
    HostProcess m_host;
};

TEST_F(E2eWindowsTest, TwoUsersLogInChatPlayAndLeaveWithTheBooksBalanced) {
    ASSERT_EQ(m_tree.AddUser("alice", 50000), "");
    ASSERT_EQ(m_tree.AddUser("bob", 50000), "");
    ASSERT_EQ(m_host.Start(m_tree), "") << m_host.Output();
    {
        TestUser a, b;
        ASSERT_NO_FATAL_FAILURE(LogIn(m_tree, m_host.Port(), "alice", 50000, a));
        ASSERT_NO_FATAL_FAILURE(LogIn(m_tree, m_host.Port(), "bob", 50000, b));
        ASSERT_NO_FATAL_FAILURE(BuyCoins(a));
        ASSERT_NO_FATAL_FAILURE(BuyCoins(b));
        ASSERT_NO_FATAL_FAILURE(TakeSeat(a, 0));
        ASSERT_NO_FATAL_FAILURE(TakeSeat(b, 0));
        ASSERT_NO_FATAL_FAILURE(ChatToAll(a, {&b}, "你好, bob"));
        ASSERT_NO_FATAL_FAILURE(PingPong(b, "ping"));
        // The console reads stdin through its own thread here and answers on
        // the host's stdout.
        const std::string strList = m_host.Console("session");
        EXPECT_EQ(strList.rfind("【命令】session", 0), 0u) << strList << m_host.Output();
        EXPECT_NE(strList.find("User=alice"), std::string::npos) << strList;
        EXPECT_NE(strList.find("User=bob"), std::string::npos) << strList;
    }
    // Both connections are gone: the coins go back as gold.
    for (const char* szUser : {"alice", "bob"}) {
        AdminUser u;
        for (int i = 0; i < 200 && (u = ShowUser(m_tree, szUser)).nCoins != 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        ASSERT_TRUE(u.bFound) << szUser;
        EXPECT_EQ(u.nCoins, 0) << szUser;
    }
    const AuditFigures audit = Audit(m_tree);
    EXPECT_EQ(audit.nExit, 0) << audit.strOutput;
    EXPECT_EQ(m_host.Quit(), 0) << m_host.Output();
}

TEST_F(E2eWindowsTest, TwoScriptedQvplaySessionsPlayARoundAndChat) {
    ASSERT_EQ(m_tree.AddUser("alice", 20000), "");
    ASSERT_EQ(m_tree.AddUser("bob", 20000), "");
    ASSERT_EQ(m_host.Start(m_tree), "") << m_host.Output();
    const std::filesystem::path script = m_tree.Root() / "play.txt";
    WriteTextFile(script,
                  "rooms\nbuy\njoin 0\nready\nwait result 30000\n"
                  "chat hello\nsleep 500\nleave\nquit\n");
    auto play = [&](const std::string& strUser) {
        const std::u16string strLogin = m_tree.LoginString(strUser);
        return RunTool(ProgramPath(m_tree.BinDir(), "qvplay").string(),
                       {"--user", strUser, "--login-string", WideToUtf8(strLogin), "--port",
                        std::to_string(m_host.Port()), "--script", script.string()},
                       kToolTimeout);
    };
    auto a = std::async(std::launch::async, play, "alice");
    auto b = std::async(std::launch::async, play, "bob");
    for (const ToolResult& r : {a.get(), b.get()}) {
        EXPECT_EQ(r.nExit, 0) << r.strOutput;
        EXPECT_NE(r.strOutput.find("notice: 成功购买了游戏币100枚，消耗金币10000枚。"), std::string::npos)
            << r.strOutput;
        EXPECT_NE(r.strOutput.find("RESULT round 1 pot 20"), std::string::npos) << r.strOutput;
        EXPECT_NE(r.strOutput.find(": hello"), std::string::npos) << r.strOutput;
    }
    const AuditFigures audit = Audit(m_tree);
    EXPECT_EQ(audit.nExit, 0) << audit.strOutput;
    EXPECT_EQ(m_host.Quit(), 0) << m_host.Output();
}

// The viewer's window is found by its class (here a channel of this test's
// own): a record sent to it is printed as one line, and --count ends it.
TEST(E2eWindowsTraceViewer, PrintsARecordSentToItsWindow) {
    const std::string strChannel = "qv-e2e-trace-" + std::to_string(::GetCurrentProcessId());
    ChildProcess viewer;
    std::string strError;
    ASSERT_TRUE(viewer.Start(ProgramPath(StageDir() / "bin", "qvtraceview").string(),
                             {"--count", "1", "--channel", strChannel}, StageDir().string(), {}, strError))
        << strError;
    TraceViewerRecord rec{};
    rec.nLevel = 3;
    plat::StoreLe32(rec.aThreadId, 0x1234abcd);
    std::strcpy(rec.szTime, "2026-12-10 01:02:03.004");
    std::strcpy(rec.szText, "hello viewer");
    plat::StoreLe32(rec.aProcessId, 4242);
    std::strcpy(rec.szName, "e2elog");
    plat::SetTraceViewerChannel(strChannel);
    // Until its window exists the record is dropped (0), as without a viewer.
    bool bTaken = false;
    for (int i = 0; i < 600 && !bTaken; ++i) {
        bTaken = plat::SendToTraceViewer(&rec, sizeof(rec)) == 1;
        if (!bTaken) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    plat::SetTraceViewerChannel("");
    ASSERT_TRUE(bTaken) << viewer.Output();
    EXPECT_EQ(viewer.WaitExit(std::chrono::seconds(60)), 0) << viewer.Output();
    EXPECT_NE(viewer.Output().find("[3.1234abcd] 2026-12-10 01:02:03.004 4242 e2elog > hello viewer"),
              std::string::npos)
        << viewer.Output();
}

}  // namespace
}  // namespace e2e
