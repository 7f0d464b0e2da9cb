// Server start and stop: the configuration files it reads and writes back,
// the listen call, the database initialisation and the pool it builds.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <filesystem>

#include "common/netdrvbinding.h"
#include "tests/unit/serverbase_fixture.h"

namespace {

using namespace std::string_literals;

using ServerConfigTest = ServerBaseTest;

TEST_F(ServerConfigTest, FirstStartInEmptyDirectoryWritesBothFilesComplete) {
    m_server.Start(50, nullptr, nullptr, 0);

    EXPECT_EQ(ReadFileBytes(m_dir / "Server/QuorvelS.ini"),
              "\r\n"
              "[ServerCore]\r\n"
              "ServerPort=10\r\n"
              "MaxUser=50\r\n"
              "MaxConnection=100\t\t\t\t  ;MaxConnection必须要大于MaxUser\r\n"
              "BaseConfigPath=..\\Binaries\\ServerBaseConfig.ini\r\n"
              "DbcRoot1=..\\Binaries\\dbc\r\n"
              "DbcRoot2=..\\Binaries\\GS\\ExampleGame\\DB\r\n"
              "WebSocketPort=0\t\t\t\t\t  ;浏览器客户端的WebSocket端口(不加ServerPortBase), 0为关闭\r\n");
    EXPECT_EQ(ReadFileBytes(m_dir / "Binaries/ServerBaseConfig.ini"),
              "\r\n"
              "[ServerCore]\r\n"
              "ServerIPBase=0.0.0.0\r\n"
              "ServerPortBase=41000\r\n");

    EXPECT_EQ(Net().ListenCalls(), 1);
    EXPECT_EQ(Net().ListenedAddress(), "0.0.0.0");
    EXPECT_EQ(Net().ListenedPort(), 41010);
    EXPECT_EQ(Net().ListenedMaxConnection(), 100);
    EXPECT_EQ(m_server.GetSessionCount(), 100);
    EXPECT_EQ(m_server.GetMaxUser(), 50);
    EXPECT_TRUE(m_host.HasLog(u"监听 0.0.0.0:41010 成功"));
    EXPECT_EQ(Net().WebSocketCalls(), 0) << "no WebSocket port by default";
    EXPECT_TRUE(m_host.HasLog(u"数据库模块初始化 成功"));
    EXPECT_TRUE(m_host.HasLog(u"最大用户数 50"));
    EXPECT_TRUE(m_host.HasLog(u"最大连接数 100"));
}

TEST_F(ServerConfigTest, BaseFileLosesForeignSectionsAndKeysButKeepsComments) {
    WriteFileBytes(m_dir / "Server/QuorvelS.ini", "[ServerCore]\r\nServerPort=3\r\n");
    WriteFileBytes(m_dir / "Binaries/ServerBaseConfig.ini",
                   "; shared by several programs\r\n"
                   "[OtherProgram]\r\n"
                   "Key=1\r\n"
                   "\r\n"
                   "[ServerCore]\r\n"
                   "ServerIPBase=127.0.0.1\r\n"
                   "Extra=5\r\n"
                   "ServerPortBase=42000\r\n");
    m_server.Start(50, nullptr, nullptr, 0);

    EXPECT_EQ(ReadFileBytes(m_dir / "Binaries/ServerBaseConfig.ini"),
              "; shared by several programs\r\n"
              "\r\n"
              "[ServerCore]\r\n"
              "ServerIPBase=127.0.0.1\r\n"
              "ServerPortBase=42000\r\n");
    EXPECT_EQ(Net().ListenedAddress(), "127.0.0.1");
    EXPECT_EQ(Net().ListenedPort(), 42003);
    std::u16string strAddress;
    EXPECT_EQ(m_server.GetServerAddress(strAddress), 42003);
    EXPECT_EQ(strAddress, u"127.0.0.1");
}

TEST_F(ServerConfigTest, ListenLineShowsTheDriversAddressAndTheResult) {
    WriteFileBytes(m_dir / "Binaries/ServerBaseConfig.ini",
                   "[ServerCore]\r\nServerIPBase=" + std::string(40, '1') + "\r\n");
    Net().SetListenAddress("10.1.2.3");
    Net().SetListenResult(false);
    m_server.Start(50, nullptr, nullptr, 0x00020301);

    EXPECT_EQ(Net().ListenedAddress(), std::string(29, '1'))
        << "the address field holds 29 characters";
    EXPECT_EQ(m_drv.LastDriverParam(), 0x00020301u);
    EXPECT_TRUE(m_host.HasLog(u"监听 10.1.2.3:41010 失败"));
    // The start goes on with the server object the driver made.
    EXPECT_EQ(m_server.GetSessionCount(), 100);
    Net().QueueConnect(0);
    Poll();
    EXPECT_TRUE(m_host.HasLog(u"Connection(0) 连接 Session(0)"));
}

// The WebSocket port listens on the TCP listener's address with the port as
// written; each way it can fail ends its line in 失败, as the TCP line does,
// and the start goes on as after a failed TCP listen.
TEST_F(ServerConfigTest, WebSocketPortListensBesideTheTcpPortOrSaysWhyNot) {
    const struct {
        const char* szName;
        bool bTcpListens, bOffered, bListens;
        int nCalls;
        const char16_t* szLine;
    } cases[] = {
        {"listening", true, true, true, 1, u"WebSocket 监听 127.0.0.1:8080 成功"},
        {"port refused", true, true, false, 1, u"WebSocket 监听 127.0.0.1:8080 失败"},
        {"TCP listen failed", false, true, true, 0, u"WebSocket 监听 127.0.0.1:8080 失败"},
        {"driver without it", true, false, true, 0, u"WebSocket 监听 127.0.0.1:8080 失败"},
    };
    WriteFileBytes(m_dir / "Server/QuorvelS.ini", "[ServerCore]\r\nWebSocketPort=8080\r\n");
    WriteFileBytes(m_dir / "Binaries/ServerBaseConfig.ini", "[ServerCore]\r\nServerIPBase=127.0.0.1\r\n");
    Net().SetListenAddress("127.0.0.1");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.szName);
        Net().SetListenResult(c.bTcpListens);
        Net().SetWebSocketResult(c.bListens);
        if (!c.bOffered)  // an older driver library: the other exports only
            SetNetDrvFactory(&CScriptedNetDrv::Factory, &m_drv,
                             NetDrvExtras{&ScriptedPeerAddress, &ScriptedHoldSends, &ScriptedReleaseSends});
        const int nCallsBefore = Net().WebSocketCalls();
        m_host.Clear();
        m_server.Start(50, nullptr, nullptr, 0);
        EXPECT_TRUE(m_host.HasLog(c.szLine));
        EXPECT_EQ(m_host.HasLog(u"网络驱动不提供 WebSocket"), !c.bOffered);
        EXPECT_EQ(Net().WebSocketCalls() - nCallsBefore, c.nCalls);
        if (c.nCalls) {
            EXPECT_EQ(Net().WebSocketAddress(), "127.0.0.1");
            EXPECT_EQ(Net().WebSocketPort(), 8080) << "the port as written, no base added";
        }
        EXPECT_EQ(m_server.GetSessionCount(), 100);
        m_server.Stop();
    }
}

TEST_F(ServerConfigTest, DatabaseIsOpenedWithTheRootsAndAFailureIsOnlyLogged) {
    WriteFileBytes(m_dir / "Server/QuorvelS.ini", "[ServerCore]\r\nDbcRoot1=C:\\db1\r\nDbcRoot2=" +
                                                      std::string(300, 'r') + "\r\n");
    m_db.SetInitResult(0);
    const int32_t aDsn[4] = {1, 0, 1, 0};
    m_server.Start(50, nullptr, aDsn, 0);

    EXPECT_EQ(m_db.InitCalls(), 1);
    EXPECT_EQ(m_db.LastInit().nVersion, 20100526);
    EXPECT_EQ(m_db.LastInit().strDbcRoot1, u"C:\\db1");
    EXPECT_EQ(m_db.LastInit().strDbcRoot2, std::u16string(259, u'r'));
    EXPECT_EQ(m_db.LastInit().strLogDir, u"Logs\\DBCtrl");
    EXPECT_EQ(std::vector<int32_t>(m_db.LastInit().aDsnOpen, m_db.LastInit().aDsnOpen + 4),
              (std::vector<int32_t>{1, 0, 1, 0}));
    EXPECT_TRUE(m_host.HasLog(u"数据库模块初始化 失败"));
    EXPECT_EQ(m_server.GetSessionCount(), 100);
}

TEST_F(ServerConfigTest, MaxConnectionOutsideTheIndexRangeIsClampedAndSaid) {
    Configure(5, 0);
    m_server.Start(50, nullptr, nullptr, 0);
    EXPECT_EQ(m_server.GetMaxConnection(), 1);
    EXPECT_EQ(m_server.GetSessionCount(), 1);
    EXPECT_EQ(Net().ListenedMaxConnection(), 1);
    EXPECT_TRUE(m_host.HasLog(u"最大连接数 0 超出范围 1 - 32767, 改为 1"));
    EXPECT_TRUE(m_host.HasLog(u"最大连接数 1"));
    m_server.Stop();

    m_host.Clear();
    Configure(5, 40000);
    m_server.Start(50, nullptr, nullptr, 0);
    EXPECT_EQ(m_server.GetSessionCount(), 32767);
    EXPECT_TRUE(m_host.HasLog(u"最大连接数 40000 超出范围 1 - 32767, 改为 32767"));
    // The file keeps what the operator wrote.
    EXPECT_NE(ReadFileBytes(m_dir / "Server/QuorvelS.ini").find("MaxConnection=40000"),
              std::string::npos);
    // The last session is reachable and the index above it is not.
    EXPECT_NE(m_server.GetSession(32766), nullptr);
    EXPECT_EQ(m_server.GetSession(32767), nullptr);
    EXPECT_TRUE(m_asserts.Saw("wSessionIndex>=0 && wSessionIndex<m_nSessionCount"));
}

TEST_F(ServerConfigTest, MaxUserAboveMaxConnectionIsBroughtDownAndSaid) {
    Configure(200, 100);
    m_server.Start(50, nullptr, nullptr, 0);
    EXPECT_EQ(m_server.GetMaxUser(), 100);
    EXPECT_TRUE(m_host.HasLog(u"最大用户数 200 大于最大连接数 100, 改为 100"));
    EXPECT_TRUE(m_host.HasLog(u"最大用户数 100"));
    EXPECT_NE(ReadFileBytes(m_dir / "Server/QuorvelS.ini").find("MaxUser=200"), std::string::npos);
}

// Files written with LF alone are the operator's files like any other: their
// values are served and stay in them.
TEST_F(ServerConfigTest, LfOnlyConfigurationFilesAreReadAndKeepTheirValues) {
    WriteFileBytes(m_dir / "Server/QuorvelS.ini", "[ServerCore]\nServerPort=3\nMaxUser=7\n");
    WriteFileBytes(m_dir / "Binaries/ServerBaseConfig.ini",
                   "; ours\n[ServerCore]\nServerIPBase=127.0.0.1\nServerPortBase=42000\n");
    EXPECT_EQ(m_server.Start(50, nullptr, nullptr, 0), 1);
    EXPECT_EQ(Net().ListenedAddress(), "127.0.0.1");
    EXPECT_EQ(Net().ListenedPort(), 42003);
    EXPECT_EQ(m_server.GetMaxUser(), 7);
    EXPECT_EQ(ReadFileBytes(m_dir / "Binaries/ServerBaseConfig.ini"),
              "; ours\r\n[ServerCore]\r\nServerIPBase=127.0.0.1\r\nServerPortBase=42000\r\n");
    EXPECT_NE(ReadFileBytes(m_dir / "Server/QuorvelS.ini").find("ServerPort=3\r\nMaxUser=7\r\n"), std::string::npos);
}

// A configuration file that is no text, or that cannot be read, is left as
// it is and the start is refused with one line: nothing listens, no database.
TEST_F(ServerConfigTest, ConfigurationFileThatIsNoTextOrUnreadableRefusesTheStart) {
    const std::string strGarbage = "[ServerCore]\r\nServerIPBase=127.0.0.1\r\n\x7F" "ELF\0\0\x01"s;
    const struct {
        const char* szFile;
        std::string bytes;
        bool bHold;  // an exclusive writer holds the file
        std::u16string strLine;
    } cases[] = {
        {"Server/QuorvelS.ini", strGarbage, false,
         u"配置文件 \"QuorvelS.ini\" 不是文本文件 (第 3 行含有控制字符), 服务未启动"},
        {"Binaries/ServerBaseConfig.ini", "[ServerCore]\nServerIPBase=\xFF\n", false,
         u"配置文件 \"..\\Binaries\\ServerBaseConfig.ini\" 不是文本文件 (第 2 行编码无效), 服务未启动"},
        {"Binaries/ServerBaseConfig.ini", "[ServerCore]\r\nServerIPBase=127.0.0.1\r\n", true,
         u"配置文件 \"..\\Binaries\\ServerBaseConfig.ini\" 无法读取 (LastError=32), 服务未启动"},
    };
    for (const auto& c : cases) {
        std::filesystem::remove(m_dir / "Server/QuorvelS.ini");
        std::filesystem::remove(m_dir / "Binaries/ServerBaseConfig.ini");
        m_host.Clear();
        WriteFileBytes(m_dir / c.szFile, c.bytes);
        const int fd = ::open((m_dir / c.szFile).c_str(), O_RDONLY);
        if (c.bHold) {
            ASSERT_EQ(::flock(fd, LOCK_EX), 0);
        }
        EXPECT_EQ(m_server.Start(50, nullptr, nullptr, 0), 0) << c.szFile;
        ::close(fd);
        EXPECT_TRUE(m_host.HasLog(c.strLine)) << c.szFile;
        EXPECT_EQ(ReadFileBytes(m_dir / c.szFile), c.bytes);
        EXPECT_EQ(m_server.IsStarted(), 0);
        EXPECT_EQ(Net().ListenCalls(), 0);
        EXPECT_EQ(m_db.InitCalls(), 0);
        EXPECT_EQ(m_server.GetSessionCount(), 0);
    }
}

TEST_F(ServerConfigTest, StopReleasesInReverseOrderAndAlwaysClosesTheDatabase) {
    m_server.Stop();
    EXPECT_EQ(m_db.DestroyCalls(), 1);
    EXPECT_EQ(m_drv.ReleaseCalls(), 0);

    Start();
    Connect(0);
    m_server.Stop();
    EXPECT_EQ(Net().ReleaseCalls(), 1);
    EXPECT_EQ(m_drv.ReleaseCalls(), 1);
    EXPECT_EQ(m_db.DestroyCalls(), 2);
    EXPECT_EQ(m_server.GetSessionCount(), 0);
    EXPECT_EQ(m_server.GetSession(0), nullptr);
    EXPECT_EQ(m_server.GetConnectionSession(0), nullptr);

    int nPolls = m_server.GetPollCount();
    Net().QueueConnect(1);
    Poll();
    EXPECT_EQ(m_server.GetPollCount(), nPolls + 1);
    EXPECT_EQ(Net().PendingEvents(), 1u) << "a stopped server asks the driver for nothing";
}

TEST_F(ServerConfigTest, SecondStartStopsTheFirstOne) {
    Start(50, 4);
    Connect(0);
    Configure(50, 6);
    m_server.Start(50, nullptr, nullptr, 0);
    EXPECT_EQ(Net().ReleaseCalls(), 1);
    EXPECT_EQ(m_drv.ReleaseCalls(), 1);
    EXPECT_EQ(m_db.DestroyCalls(), 1);
    EXPECT_EQ(m_drv.CreateCalls(), 2);
    EXPECT_EQ(m_server.GetSessionCount(), 6);
    EXPECT_EQ(m_server.CountOnline(), 0);
    EXPECT_EQ(m_server.GetConnectionSession(0), nullptr);
}

TEST_F(ServerConfigTest, NoDriverMeansNoTcpServerAndPollsThatOnlyCount) {
    m_drv.SetCreateFails(true);
    m_server.Start(50, nullptr, nullptr, 0);
    EXPECT_TRUE(m_host.HasLog(u"监听 :41010 失败"));
    EXPECT_EQ(m_server.SendResult(0, 1), 0);
    Poll();
    EXPECT_EQ(m_server.GetPollCount(), 1);
}

}  // namespace
