// The frame server: start (configuration, game module, names, icon, rooms),
// stop and poll, the version check, login verification and the game user.
#include <filesystem>

#include "projcommon/inifile.h"
#include "tests/unit/qvframe_fixture.h"

namespace {

class QvServerTest : public FrameTest {};

std::u16string Name(const ServerStartInfo& info) {
    return std::u16string(info.szName, WideLength(info.szName, 50));
}

TEST_F(QvServerTest, FirstStartWritesTheWholeFrameSectionAndLogsTheSettings) {
    // No frame section at all: the default module path has to resolve.
    std::filesystem::create_directories(m_dir / "Binaries/GS/ExampleGame");
    std::filesystem::copy_file(QV_TESTGAME_EXAMPLE_PATH, m_dir / "Binaries/GS/ExampleGame/GameServer.dll");
    WriteFileBytes(m_dir / "Server/QuorvelS.ini", "[ServerCore]\r\nMaxConnection=4\r\n");

    EXPECT_EQ(m_server.StartFrame(m_info), 1);

    CIniFile ini;
    ASSERT_EQ(ini.Open(u"QuorvelS.ini"), 1);
    EXPECT_EQ(ini.GetString(u"QuorvelS", u"GameServerDll", u""), u"..\\Binaries\\GS\\ExampleGame\\GameServer.dll");
    const std::pair<const char16_t*, int> kDefaults[] = {
        {u"CheckLoginKey", 1}, {u"RoomCount", 21}, {u"MaxObserver", 16},  {u"PresentCoin", 0},
        {u"GoldToCoin", 100},  {u"CoinToGold", 90}, {u"ScoreToTicket", 100}};
    for (const auto& [szKey, nValue] : kDefaults) {
        ASSERT_NE(ini.FindItem(u"QuorvelS", szKey), ini.End()) << WideToUtf8(szKey);
        EXPECT_EQ(ini.GetInt(u"QuorvelS", szKey, -999), nValue) << WideToUtf8(szKey);
    }
    EXPECT_EQ(ini.FindItem(u"QuorvelS", u"CheckLoginKey")->strComment, u"设置为0时可以关闭对登录钥匙的检查");

    auto messages = m_host.LogMessages();
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages.front(), u"服务启动");
    EXPECT_TRUE(m_host.HasLog(u"加载 \"..\\Binaries\\GS\\ExampleGame\\GameServer.dll\" 成功"));
    const std::vector<std::u16string> kTail = {
        u"登录钥匙检查 开启",    u"房间总数 21",          u"最大观战 16", u"赠送游戏币 0",
        u"金币换游戏币 (100换1)", u"游戏币换金币 (1换90)", u"积分换券 (100换1)", u"服务启动 完成"};
    ASSERT_GE(messages.size(), kTail.size());
    EXPECT_EQ(std::vector<std::u16string>(messages.end() - kTail.size(), messages.end()), kTail);
    EXPECT_EQ(m_server.GetRoomCount(), 21);
    EXPECT_EQ(m_info.nRoomInfo, 20) << "the game left the host report value alone";
}

TEST_F(QvServerTest, CoinToGoldAboveGoldToCoinIsLoweredInMemoryOnly) {
    ASSERT_EQ(StartFrame("RoomCount=1\r\nGoldToCoin=100\r\nCoinToGold=120\r\n", QV_TESTGAME_EXAMPLE_PATH, true), 1);
    EXPECT_EQ(m_server.GetCoinToGold(), 100);
    EXPECT_TRUE(m_host.HasLog(u"游戏币换金币 (1换100)"));
    CIniFile ini;
    ini.Open(u"QuorvelS.ini");
    EXPECT_EQ(ini.GetInt(u"QuorvelS", u"CoinToGold", 0), 120);
}

TEST_F(QvServerTest, WindowNameGameNameAndIconComeFromTheModuleFile) {
    struct Case {
        const char* szModule;
        std::u16string strName;      // expected szName
        std::u16string strGameName;  // expected game name
        bool bIcon;
    };
    const std::u16string strLong = u"脚本测试游戏 Scripted Test Game whose description runs past the title";
    const Case kCases[] = {
        {QV_TESTGAME_EXAMPLE_PATH, u"41010 - Example", u"Example", true},
        {QV_TESTGAME_TWOCHAR_PATH, u"host title", u"", false},
        {QV_TESTGAME_NOVERSION_PATH, u"host title", u"", true},
        {QV_TESTGAME_LONGNAME_PATH, (u"41010 - " + strLong).substr(0, 49), strLong, false},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.szModule);
        CQVServer server;  // a fresh game name each time
        server.SetConfigPath(u"QuorvelS.ini");
        WriteConfig("RoomCount=1\r\n", c.szModule);
        ServerStartInfo info = m_info;
        info.hIcon = 0xDEAD;
        ASSERT_EQ(server.StartFrame(info), 1);
        EXPECT_EQ(Name(info), c.strName);
        EXPECT_EQ(server.GetGameName(), c.strGameName);
        EXPECT_EQ(info.hIcon != 0, c.bIcon);
        server.Stop();
    }
}

TEST_F(QvServerTest, AModuleThatCannotBeLoadedStopsTheFrameStartAfterTheLoadLine) {
    struct Case {
        std::string strModule;
        int nError;
    };
    const Case kCases[] = {{(m_dir / "nothing/GameServer.dll").string(), 2}, {QV_TESTGAME_NODESTROY_PATH, 127}};
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.strModule);
        m_host.Clear();
        EXPECT_EQ(StartFrame("RoomCount=3\r\n", c.strModule, true), 0);
        auto messages = m_host.LogMessages();
        ASSERT_GE(messages.size(), 2u);
        EXPECT_EQ(messages.front(), u"服务启动");
        EXPECT_EQ(messages.back(),
                  u"加载 \"" + Utf8ToWide(c.strModule) + u"\" 失败; LastError=" + Utf8ToWide(std::to_string(c.nError)));
        EXPECT_TRUE(m_server.IsStarted()) << "the base keeps running";
        EXPECT_EQ(m_server.GetRoomCount(), 0);
        EXPECT_EQ(Name(m_info), u"host title");
        EXPECT_EQ(m_info.hIcon, 0u);
        CIniFile ini;
        ini.Open(u"QuorvelS.ini");
        EXPECT_EQ(ini.FindItem(u"QuorvelS", u"CheckLoginKey"), ini.End()) << "no further key is read";
    }
}

TEST_F(QvServerTest, WithoutAGameModuleEveryRoomRequestIsRefusedCleanly) {
    AddUser(u"amy", 1000, 50);
    ASSERT_EQ(StartFrame("RoomCount=3\r\n", (m_dir / "missing.dll").string()), 0);
    Login(0, u"amy");
    ClearRecords();

    CheckVersion(0);
    Join(0, 0);
    Signal(0, CS_GET_ROOM_LIST);
    Receive(0, GamePacket(1000, {1, 2}));
    auto sent = SentTo(0);
    ASSERT_EQ(sent.size(), 5u);
    EXPECT_EQ(sent[0], ToBytes(BuildCoreError(CS_CORE_VERSION, u"客户端版本不正确")));
    EXPECT_EQ(sent[1], ToBytes(BuildCoreError(CS_JOIN_ROOM, u"用户 amy 加入无效房间 0 当前房间总数为 0")));
    EXPECT_EQ(sent[2], ToBytes(BuildRoomCount(0)));
    EXPECT_EQ(sent[3][0], SC_COIN_PARAMS & 0xFF);
    EXPECT_EQ(sent[4], ToBytes(BuildCoreResult(CS_GET_ROOM_LIST)));

    // Closing the session keeps the coins: without the game's rates they
    // would be sold for nothing.
    Signal(0, CS_LOBBY_CLIENT_LOGOUT);
    Poll();
    EXPECT_EQ(m_db.Calls().size(), 0u);
    EXPECT_EQ(m_db.FindUser(u"amy")->nGameCoin, 50);
}

TEST_F(QvServerTest, RoomCountOutsideTheIndexRangeIsBroughtIntoIt) {
    ASSERT_EQ(StartFrame("RoomCount=0\r\n", QV_TESTGAME_EXAMPLE_PATH, true), 1);
    EXPECT_EQ(m_server.GetRoomCount(), 1);
    EXPECT_TRUE(m_host.HasLog(u"房间总数 0 超出范围 1 - 32767, 改为 1"));
    EXPECT_TRUE(m_host.HasLog(u"房间总数 1"));
    EXPECT_EQ(Game().LiveInstances(), 1);
}

TEST_F(QvServerTest, EveryRoomIsConfiguredInOrderAndTheLastOneDecidesReportAndMinimum) {
    Game().OnFrameCommand = [](TestGameCall& call) {
        if (call.nCommand == FRAME_CMD_ROOM_CONFIG) {
            auto* pConfig = static_cast<RoomConfig*>(call.pData);
            pConfig->nRoomInfo = 100 + call.nRoomIndex;
        } else if (call.nCommand == FRAME_CMD_MIN_COIN) {
            *static_cast<int32_t*>(call.pData) = 10 * (call.nRoomIndex + 1);
        }
    };
    ASSERT_EQ(StartFrame("RoomCount=3\r\nMaxObserver=5\r\n", QV_TESTGAME_EXAMPLE_PATH, true), 1);
    EXPECT_EQ(m_info.nRoomInfo, 102);
    EXPECT_EQ(m_server.GetRoomMinCoin(), 30);

    auto configs = FrameCommands(FRAME_CMD_ROOM_CONFIG);
    ASSERT_EQ(configs.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        RoomConfig offered{};
        ASSERT_EQ(configs[i].aData.size(), sizeof(offered));
        std::memcpy(&offered, configs[i].aData.data(), sizeof(offered));
        EXPECT_EQ(Copy(offered.nRoomInfo), 20);
        EXPECT_EQ(Copy(offered.nRoomIndex), i);
        EXPECT_EQ(Copy(offered.nMaxRoomObserver), 5);
        EXPECT_EQ(configs[i].nRoomUserIndex, static_cast<int16_t>(Q7_INVALID_SHORT_INDEX));
    }
    // Per room: create, configuration, minimum.
    std::vector<int32_t> aOrder;
    for (const TestGameRecord& r : Game().aRecords) aOrder.push_back(r.eKind == TestGameRecord::CREATE ? 0 : r.nCommand);
    EXPECT_EQ(aOrder, (std::vector<int32_t>{0, 102, 104, 0, 102, 104, 0, 102, 104}));
}

TEST_F(QvServerTest, PollTicksEveryRoomAndStopHandsEachBackOnceForGood) {
    ASSERT_EQ(StartFrame(), 1);
    Poll(0xA1B2C3D4);
    auto ticks = FrameCommands(FRAME_CMD_TICK);
    ASSERT_EQ(ticks.size(), 3u);
    EXPECT_EQ(ticks[0].aData, (Bytes{0xD4, 0xC3, 0xB2, 0xA1}));

    m_server.Stop();
    EXPECT_EQ(Game().Count(TestGameRecord::DESTROY), 3u);
    EXPECT_EQ(Game().LiveInstances(), 0);
    EXPECT_TRUE(m_host.HasLog(u"服务停止"));
    EXPECT_TRUE(m_host.HasLog(u"服务停止 完成"));

    // A host that goes on polling and stops again touches nothing handed back.
    Game().aRecords.clear();
    Poll(1);
    m_server.Stop();
    EXPECT_TRUE(Game().aRecords.empty());
    EXPECT_EQ(m_server.GetRoomCount(), 0);
}

TEST_F(QvServerTest, VersionCheckComparesWithTheGamesVersion) {
    Game().nGameVersion = 0x01020304;
    AddUser(u"amy", 0, 0);
    ASSERT_EQ(StartFrame(), 1);
    Login(0, u"amy");
    ClearRecords();
    CheckVersion(0, 0x01020304);
    CheckVersion(0, 1);
    auto sent = SentTo(0);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0], ToBytes(BuildCoreResult(CS_CORE_VERSION)));
    EXPECT_EQ(sent[1], ToBytes(BuildCoreError(CS_CORE_VERSION, u"客户端版本不正确")));
}

class QvLoginTest : public FrameTest {
protected:
    // VerifyLogin on a login packet; the user record it fills comes back in *pInfo.
    int Verify(const std::u16string& strLogin, std::u16string* pError = nullptr, UserInfo* pInfo = nullptr) {
        LoginPacket packet = BuildLoginPacket(CS_LOBBY_CLIENT_LOGIN, u"amy", strLogin);
        std::u16string strError;
        UserInfo info{};
        int n = m_server.VerifyLogin(packet.data(), strError, info);
        if (pError) *pError = strError;
        if (pInfo) *pInfo = info;
        return n;
    }
};

TEST_F(QvLoginTest, TheLoginStringMustBeExactlyWhatTheKeyMakes) {
    AddUser(u"amy", 0, 0, -123456);
    ASSERT_EQ(StartFrame(), 1);
    const std::u16string strGood = MakeLoginString(-123456, 0xABC);
    ASSERT_EQ(strGood.size(), 35u);
    const std::u16string strDigest = strGood.substr(0, 32);

    UserInfo info{};
    std::u16string strError;
    EXPECT_EQ(Verify(strGood, &strError, &info), 1);
    EXPECT_EQ(Copy(info.nLoginKey), -123456);
    EXPECT_EQ(Verify(strGood), 1) << "no time window";

    auto r = m_db.CallsOf(DBCMD_GET_LOGIN_KEY).front().Request<DbcLoginKeyRecord>();
    ASSERT_TRUE(r);
    EXPECT_EQ(std::u16string(r->szUserName), u"amy");

    const std::u16string kBad[] = {
        strDigest + u"abc",      // lower-case time
        strDigest + u"0ABC",     // leading zero
        strDigest + u"0xABC",    // prefix
        strDigest,               // 32 characters: no time at all
        WideToLower(strDigest) + u"ABC",
        MakeLoginString(123456, 0xABC),  // the key's sign matters
        u"",
    };
    for (const std::u16string& strBad : kBad) {
        SCOPED_TRACE(WideToUtf8(strBad));
        EXPECT_EQ(Verify(strBad, &strError, &info), 0);
        EXPECT_EQ(strError, u"登录串验证未通过");
        EXPECT_EQ(Copy(info.nLoginKey), -123456) << "the key is stored before the comparison";
    }
}

TEST_F(QvLoginTest, AMissingKeyRefusesAndCheckLoginKeyZeroSkipsTheDatabase) {
    ASSERT_EQ(StartFrame(), 1);
    std::u16string strError;
    UserInfo info{};
    EXPECT_EQ(Verify(MakeLoginString(0, 1), &strError, &info), 0) << "amy is not in the database";
    EXPECT_EQ(strError, u"LoginKey读取失败");
    EXPECT_EQ(Copy(info.nLoginKey), 0);

    m_server.Stop();
    ASSERT_EQ(StartFrame("RoomCount=1\r\nCheckLoginKey=0\r\n"), 1);
    EXPECT_EQ(Verify(u""), 1);
    EXPECT_EQ(m_db.CountCalls(DBCMD_GET_LOGIN_KEY), 0);
}

TEST_F(QvLoginTest, LoginLoadsTheGameCoinsWithThePresentAndHidesTheKey) {
    FakeDbcUser u;
    u.strUserName = u"bob";
    u.nLoginKey = 99;
    u.nGold = 10;
    m_db.AddUser(u);  // no game user yet: created with the present
    ASSERT_EQ(StartFrame("RoomCount=1\r\nPresentCoin=25\r\n"), 1);
    Login(0, u"bob");

    auto calls = m_db.CallsOf(DBCMD_GET_GAME_COIN);
    ASSERT_EQ(calls.size(), 1u);
    auto r = calls[0].Request<DbcGameCoinRecord>();
    EXPECT_EQ(std::u16string(r->szGUID), m_db.FindUser(u"bob")->strGUID);
    EXPECT_EQ(Copy(r->nPresentCoin), 25);
    EXPECT_EQ(Copy(SessionOf(0)->GetUserInfo()->nGameCoin), 25);
    EXPECT_EQ(Copy(SessionOf(0)->GetUserInfo()->nLoginKey), 99);
    UserInfo sent{};
    ASSERT_TRUE(ParseCoreUserInfo(SentTo(0)[1].data(), SentTo(0)[1].size(), sent));
    EXPECT_EQ(Copy(sent.nLoginKey), 0);

    m_db.SetCommandResult(DBCMD_GET_GAME_COIN, 0);
    UserInfo info{};
    std::u16string strError;
    EXPECT_EQ(m_server.LoadGameUser(info, strError), 0);
    EXPECT_EQ(strError, u"获取游戏用户信息失败");
}

}  // namespace

#ifdef QV_EXAMPLE_GAME_PATH
namespace {

// The shipped example game against this frame: its seats, minimum, version,
// and the chat relay that goes back out through SendToUser.
TEST_F(QvServerTest, TheExampleGameRunsInTheFrame) {
    AddUser(u"amy", 0, 100);
    ASSERT_EQ(StartFrame("RoomCount=2\r\n", QV_EXAMPLE_GAME_PATH, true), 1);
    EXPECT_EQ(Name(m_info), u"41010 - ExampleGame");
    EXPECT_EQ(m_server.GetRoomMinCoin(), 100);
    EXPECT_EQ(m_server.GetRoom(1)->GetGameVersion(), 1);
    EXPECT_EQ(m_server.GetRoom(1)->GetMaxRoomPlayer(), 4);

    SeatUser(0, u"amy", 1);
    ASSERT_EQ(SessionOf(0)->GetRoomIndex(), 1);
    Receive(1, GamePacket(1001, {'h', 'i'}));
    EXPECT_EQ(SentTo(1), (std::vector<Bytes>{{0x4D, 0x04, 0x00, 0x00, 'h', 'i'}}));
}

}  // namespace
#endif
