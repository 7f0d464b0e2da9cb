// quorvel-host in a fresh copy of the staged tree: what a first start logs
// and writes, the console on stdin, and the three ways to stop it.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <map>
#include <regex>

#include "tests/e2e/initext.h"
#include "tests/e2e/playflow.h"
#include "tests/e2e/stagedserver.h"

namespace e2e {
namespace {

std::vector<std::string> Messages(const std::string& strOutput) {
    std::vector<std::string> out;
    for (const LogLine& l : ParseLogLines(strOutput)) out.push_back(l.strMessage);
    return out;
}

// key -> value and comment of one section.
std::map<std::string, IniEntry> Keys(const std::filesystem::path& path, const std::string& strSection) {
    std::map<std::string, IniEntry> out;
    for (const IniEntry& e : IniSection(ParseIni(ReadIniText(path)), strSection)) out[e.strKey] = e;
    return out;
}

class E2eHostTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(m_tree.Create(), ""); }
    StagedTree m_tree;
    HostProcess m_host;
};

TEST_F(E2eHostTest, FirstStartLogsEveryStepInOrderAndWritesBothConfigurationFiles) {
    // A base configuration file with a section of another program, a stale
    // key and a comment: the start keeps only its own keys and the comment.
    WriteTextFile(m_tree.BaseConfigFile(),
                  "; shared by every server of this machine\r\n[ServerCore]\r\nStaleKey=1\r\n"
                  "[OtherProgram]\r\nSetting=2\r\n");
    ASSERT_EQ(m_host.Start(m_tree), "");
    const std::string strPort = std::to_string(m_host.Port());
    // The host shows the window title the start filled in, right after it.
    EXPECT_TRUE(m_host.WaitFor("== " + strPort + " - ExampleGame ==\n")) << m_host.Output();
    const std::string strOut = m_host.Output();

    EXPECT_EQ(CheckLogLineFormat(strOut), "") << strOut;
    const std::vector<std::string> expected = {
        "服务启动",
        "监听 127.0.0.1:" + strPort + " 成功",
        "数据库模块初始化 成功",
        "最大用户数 50",
        "最大连接数 100",
        "加载 \"..\\Binaries\\GS\\ExampleGame\\GameServer.dll\" 成功",
        "会话租约 开启: 服务器标识 127.0.0.1:" + strPort + ", 租约 30 秒",
        "登录钥匙检查 开启",
        "房间总数 21",
        "最大观战 16",
        "赠送游戏币 0",
        "金币换游戏币 (100换1)",
        "游戏币换金币 (1换90)",
        "积分换券 (100换1)",
        "服务启动 完成",
    };
    EXPECT_EQ(Messages(strOut), expected) << strOut;

    auto core = Keys(m_tree.ConfigFile(), "ServerCore");
    EXPECT_EQ(core["ServerPort"].strValue, "10");
    EXPECT_EQ(core["MaxUser"].strValue, "50");
    EXPECT_EQ(core["MaxConnection"].strValue, "100");
    EXPECT_EQ(core["MaxConnection"].strComment, "MaxConnection必须要大于MaxUser");
    EXPECT_EQ(core["BaseConfigPath"].strValue, "..\\Binaries\\ServerBaseConfig.ini");
    EXPECT_EQ(core["DbcRoot1"].strValue, "..\\Binaries\\dbc");
    EXPECT_EQ(core["DbcRoot2"].strValue, "..\\Binaries\\GS\\ExampleGame\\DB");
    EXPECT_EQ(core["WebSocketPort"].strValue, "0");
    EXPECT_EQ(core.size(), 7u);

    auto frame = Keys(m_tree.ConfigFile(), "QuorvelS");
    EXPECT_EQ(frame["GameServerDll"].strValue, "..\\Binaries\\GS\\ExampleGame\\GameServer.dll");
    EXPECT_EQ(frame["CheckLoginKey"].strValue, "1");
    EXPECT_EQ(frame["CheckLoginKey"].strComment, "设置为0时可以关闭对登录钥匙的检查");
    EXPECT_EQ(frame["RoomCount"].strValue, "21");
    EXPECT_EQ(frame["MaxObserver"].strValue, "16");
    EXPECT_EQ(frame["PresentCoin"].strValue, "0");
    EXPECT_EQ(frame["GoldToCoin"].strValue, "100");
    EXPECT_EQ(frame["CoinToGold"].strValue, "90");
    EXPECT_EQ(frame["ScoreToTicket"].strValue, "100");
    EXPECT_EQ(frame["LoginTimeWindow"].strValue, "0");
    EXPECT_EQ(frame["LoginFailLimit"].strValue, "0");
    EXPECT_EQ(frame["MaxPacketsPerSecond"].strValue, "0");
    EXPECT_EQ(frame["RoomTickMs"].strValue, "10");
    EXPECT_EQ(frame["CoalesceRoomState"].strValue, "0");
    EXPECT_EQ(frame["ServerId"].strValue, "127.0.0.1:" + strPort);
    EXPECT_EQ(frame["SessionLeaseSeconds"].strValue, "30");
    EXPECT_EQ(frame.size(), 15u);

    const std::string strBase = ReadIniText(m_tree.BaseConfigFile());
    auto base = Keys(m_tree.BaseConfigFile(), "ServerCore");
    EXPECT_EQ(base["ServerIPBase"].strValue, "127.0.0.1");
    EXPECT_EQ(base["ServerPortBase"].strValue, std::to_string(m_host.Port() - 10));
    EXPECT_EQ(base.size(), 2u) << strBase;
    EXPECT_EQ(ParseIni(strBase).size(), 2u) << strBase;
    EXPECT_NE(strBase.find("; shared by every server of this machine"), std::string::npos) << strBase;
    EXPECT_EQ(strBase.find("OtherProgram"), std::string::npos) << strBase;

    // The runtime tree's trace folder receives the trace file.
    EXPECT_FALSE(std::filesystem::is_empty(m_tree.ServerDir() / "TLOG"));
    EXPECT_EQ(m_host.Quit(), 0) << m_host.Output();
}

TEST_F(E2eHostTest, ConsoleListsTheLoggedInUsersAndQuitStopsCleanly) {
    ASSERT_EQ(m_tree.AddUser("alice", 5000), "");
    ASSERT_EQ(m_tree.AddUser("bob", 5000), "");
    ASSERT_EQ(m_host.Start(m_tree), "");
    TestUser alice, bob;
    ASSERT_NO_FATAL_FAILURE(LogIn(m_tree, m_host.Port(), "alice", 5000, alice));
    ASSERT_NO_FATAL_FAILURE(LogIn(m_tree, m_host.Port(), "bob", 5000, bob));

    const std::string strList = m_host.Console("session");
    EXPECT_EQ(strList.rfind("【命令】session\n\n", 0), 0u) << strList;
    const std::regex kSessionLine(
        R"(\[\d{2}\] User=(\w+), 临时链=-1, 大厅链=\d+, 游戏链=-1, 大厅RT=\d+, 游戏RT=\d+)");
    std::vector<std::string> aUsers;
    for (const std::string& line : LinesWith(strList, "User=")) {
        std::smatch m;
        EXPECT_TRUE(std::regex_match(line, m, kSessionLine)) << line;
        if (m.size() > 1) aUsers.push_back(m[1]);
    }
    std::sort(aUsers.begin(), aUsers.end());
    EXPECT_EQ(aUsers, (std::vector<std::string>{"alice", "bob"})) << strList;
    EXPECT_NE(strList.find("\nOnlineCount = 2\n"), std::string::npos) << strList;
    EXPECT_TRUE(std::regex_search(strList, std::regex(R"(【命令完成于】\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2} \(当前TickCount \d+\))")))
        << strList;

    // Any letter case is the same command; other text is not.
    EXPECT_NE(m_host.Console("SESSION").find("OnlineCount = 2"), std::string::npos);
    const std::string strUnknown = m_host.Console("sessions");
    EXPECT_NE(strUnknown.find("无法识别的命令"), std::string::npos) << strUnknown;
    EXPECT_EQ(strUnknown.find("OnlineCount"), std::string::npos) << strUnknown;

    const size_t nBeforeQuit = ParseLogLines(m_host.Output()).size();
    EXPECT_EQ(m_host.Quit(), 0) << m_host.Output();
    const std::vector<std::string> all = Messages(m_host.Output());
    ASSERT_GE(all.size(), nBeforeQuit + 3);
    // The stop starts with its line, ends both users on the way and ends with its line.
    const std::vector<std::string> stop(all.begin() + static_cast<std::ptrdiff_t>(nBeforeQuit), all.end());
    EXPECT_EQ(std::count(stop.begin(), stop.end(), "服务停止"), 1) << m_host.Output();
    EXPECT_NE(std::find(stop.begin(), stop.end(), "停止时关闭会话 2 个"), stop.end()) << m_host.Output();
    EXPECT_EQ(all.back(), "服务停止 完成");
    EXPECT_EQ(CheckLogLineFormat(m_host.Output()), "");
}

TEST_F(E2eHostTest, CommandLineErrorsAndAMissingLibraryEndWithAReasonAndAnExitCode) {
    const std::string strHost = (m_tree.BinDir() / "quorvel-host").string();
    const std::string strDir = m_tree.ServerDir().string();
    const auto kTimeout = std::chrono::seconds(10);
    ToolResult r = RunTool(strHost, {"--help"}, kTimeout, strDir);
    EXPECT_EQ(r.nExit, 0);
    EXPECT_NE(r.strOutput.find("usage: quorvel-host"), std::string::npos) << r.strOutput;

    r = RunTool(strHost, {"--tick-ms", "0"}, kTimeout, strDir);
    EXPECT_EQ(r.nExit, 2) << r.strOutput;
    r = RunTool(strHost, {"--no-such-option"}, kTimeout, strDir);
    EXPECT_EQ(r.nExit, 2) << r.strOutput;

    const std::string strMissing = (m_tree.Root() / "lib" / "missing.so").string();
    r = RunTool(strHost, {"--library", strMissing}, kTimeout, strDir);
    EXPECT_EQ(r.nExit, 3) << r.strOutput;
    EXPECT_NE(r.strOutput.find(strMissing), std::string::npos) << "the error names the library: " << r.strOutput;
    EXPECT_FALSE(std::filesystem::exists(m_tree.ConfigFile())) << "nothing started";
}

// A socket of 127.0.0.1 that holds a port, so the host cannot listen there.
class PortHolder {
public:
    PortHolder() {
        m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t n = sizeof a;
        if (m_fd >= 0 && ::bind(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && ::listen(m_fd, 1) == 0 &&
            ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&a), &n) == 0)
            m_wPort = ntohs(a.sin_port);
    }
    ~PortHolder() {
        if (m_fd >= 0) ::close(m_fd);
    }
    uint16_t Port() const { return m_wPort; }

private:
    int m_fd = -1;
    uint16_t m_wPort = 0;
};

// A start whose listener (TCP or WebSocket), database or game module failed, or that refused a
// configuration file, is not served on: the host stops and exits with 4,
// naming the failure.
TEST_F(E2eHostTest, AFailedStartEndsTheHostWithFourAndNamesTheFailure) {
    using namespace std::string_literals;
    PortHolder taken;
    ASSERT_GT(taken.Port(), 10);
    const struct {
        const char* szCase;
        std::function<void(StagedTree&)> prepare;
        std::string strFailure;  // what the host names
        bool bOpensDatabase;     // the start got as far as creating the databases
    } cases[] = {
        {"port in use", [&](StagedTree& t) { t.WriteListenConfig(taken.Port()); },
         "listener: 监听 127.0.0.1:" + std::to_string(taken.Port()) + " 失败", true},
        {"WebSocket port in use",
         [&](StagedTree& t) {
             t.WriteListenConfig(PickFreePort());
             SetIniValue(t.ConfigFile(), "ServerCore", "WebSocketPort", std::to_string(taken.Port()));
         },
         "WebSocket listener: WebSocket 监听 127.0.0.1:" + std::to_string(taken.Port()) + " 失败", true},
        {"no game module",
         [](StagedTree& t) {
             t.WriteListenConfig(PickFreePort());
             SetIniValue(t.ConfigFile(), "QuorvelS", "GameServerDll", "..\\Binaries\\GS\\Missing\\GameServer.dll");
         },
         "game module: 加载 \"..\\Binaries\\GS\\Missing\\GameServer.dll\" 失败", true},
        {"platform database lost",
         [](StagedTree& t) {
             t.WriteListenConfig(PickFreePort());
             WriteTextFile(t.DbcDir() / "dbctrl.ini", "[DBCtrl]\nBackend=sqlite\n");
         },
         "database: 数据库模块初始化 失败", false},
        {"configuration no text",
         [](StagedTree& t) {
             t.WriteListenConfig(PickFreePort());
             WriteTextFile(t.BaseConfigFile(), "[ServerCore]\nServerIPBase=127.0.0.1\n\0\0\0"s);
         },
         "configuration: 配置文件 \"..\\Binaries\\ServerBaseConfig.ini\" 不是文本文件 (第 3 行含有 NUL 字符), "
         "服务未启动",
         false},
    };
    for (const auto& c : cases) {
        StagedTree tree;
        ASSERT_EQ(tree.Create(), "");
        c.prepare(tree);
        const std::string strBase = ReadIniText(tree.BaseConfigFile());
        ToolResult r = RunTool((tree.BinDir() / "quorvel-host").string(), {"--config", "QuorvelS.ini", "--no-console"},
                               std::chrono::seconds(10), tree.ServerDir().string());
        EXPECT_EQ(r.nExit, 4) << c.szCase << "\n" << r.strOutput;
        EXPECT_NE(r.strOutput.find("quorvel-host: the start failed (" + c.strFailure), std::string::npos)
            << c.szCase << "\n" << r.strOutput;
        EXPECT_EQ(ReadIniText(tree.BaseConfigFile()), strBase) << c.szCase;
        EXPECT_EQ(std::filesystem::exists(tree.DbcDir() / "platform.db"), c.bOpensDatabase) << c.szCase;
    }
}

// --keep-running-on-failure serves on as before, for a host that retries.
TEST_F(E2eHostTest, KeepRunningOnFailureServesOnAfterAFailedListen) {
    PortHolder taken;
    ASSERT_GT(taken.Port(), 10);
    m_tree.WriteListenConfig(taken.Port());
    ChildProcess proc;
    std::string strError;
    ASSERT_TRUE(proc.Start((m_tree.BinDir() / "quorvel-host").string(),
                           {"--config", "QuorvelS.ini", "--keep-running-on-failure"}, m_tree.ServerDir().string(), {},
                           strError))
        << strError;
    ASSERT_NE(proc.WaitForText("keeping the server running", std::chrono::seconds(10)), std::string::npos)
        << proc.Output();
    EXPECT_EQ(proc.WaitExit(std::chrono::milliseconds(300)), -1) << "still running: " << proc.Output();
    ASSERT_TRUE(proc.WriteLine("quit"));
    EXPECT_EQ(proc.WaitExit(std::chrono::seconds(10)), 0) << proc.Output();
}

// A stop with users online ends them as a logout would: the coins are sold
// back before the databases close, so the next login after a restart finds
// the gold; and the second start reads the files the first one wrote without
// adding to them.
TEST_F(E2eHostTest, RestartKeepsConfigurationAndBalances) {
    ASSERT_EQ(m_tree.AddUser("alice", 30000), "");
    ASSERT_EQ(m_host.Start(m_tree), "");
    {
        TestUser alice;
        ASSERT_NO_FATAL_FAILURE(LogIn(m_tree, m_host.Port(), "alice", 30000, alice));
        ASSERT_NO_FATAL_FAILURE(BuyCoins(alice));
        EXPECT_EQ(m_host.Quit(), 0) << m_host.Output();
    }
    const std::string strConfig = ReadIniText(m_tree.ConfigFile());

    HostProcess second;
    ASSERT_EQ(second.Start(m_tree), "");
    EXPECT_EQ(ParseIni(ReadIniText(m_tree.ConfigFile())).size(), ParseIni(strConfig).size())
        << ReadIniText(m_tree.ConfigFile());
    TestUser alice;
    ASSERT_NO_FATAL_FAILURE(
        LogIn(m_tree, second.Port(), "alice", 30000 - kRoomMinCoin * kGoldToCoin + kRoomMinCoin * kCoinToGold, alice));
    AuditFigures audit = Audit(m_tree);
    EXPECT_EQ(audit.nExit, 0) << audit.strOutput;
    EXPECT_EQ(second.Quit(), 0) << second.Output();
}

// End of input, SIGTERM and Ctrl-C (SIGINT) stop the host as cleanly as "quit".
class E2eHostStopTest : public E2eHostTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(E2eHostStopTest, StopsTheServerAndExitsZero) {
    ASSERT_EQ(m_host.Start(m_tree), "");
    const std::string strWay = GetParam();
    if (strWay == "eof") {
        m_host.Process().CloseStdin();
    } else {
        ASSERT_EQ(kill(m_host.Process().Pid(), strWay == "sigint" ? SIGINT : SIGTERM), 0);
    }
    EXPECT_EQ(m_host.Process().WaitExit(std::chrono::seconds(10)), 0) << m_host.Output();
    const std::vector<std::string> all = Messages(m_host.Output());
    ASSERT_GE(all.size(), 2u);
    EXPECT_EQ(all[all.size() - 2], "服务停止");
    EXPECT_EQ(all.back(), "服务停止 完成");
}

INSTANTIATE_TEST_SUITE_P(Ways, E2eHostStopTest, ::testing::Values("eof", "sigterm", "sigint"),
                         [](const ::testing::TestParamInfo<const char*>& info) { return std::string(info.param); });

}  // namespace
}  // namespace e2e
