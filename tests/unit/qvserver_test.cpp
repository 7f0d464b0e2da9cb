// The frame server: start (configuration, game module, names, icon, rooms),
// stop and poll, the version check, login verification and the game user.
#include <filesystem>

#include "platform/byteorder.h"
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

TEST_F(QvServerTest, RatesOutsideTheirRangeAreBroughtIntoItWithOneLineEach) {
    struct Case {
        int32_t nGoldToCoin, nCoinToGold;  // configured
        int32_t nGoldToCoinUsed, nCoinToGoldUsed;
        std::vector<std::u16string> aLines;
    };
    const Case kCases[] = {
        {-100, 90, 1, 1, {u"金币换游戏币 -100 超出范围 1 - 1000000, 改为 1"}},
        {0, 0, 1, 1, {u"金币换游戏币 0 超出范围 1 - 1000000, 改为 1", u"游戏币换金币 0 超出范围 1 - 1000000, 改为 1"}},
        {2147483647, 90, 1000000, 90, {u"金币换游戏币 2147483647 超出范围 1 - 1000000, 改为 1000000"}},
        {100, -5, 100, 1, {u"游戏币换金币 -5 超出范围 1 - 1000000, 改为 1"}},
        {1000000, 1000001, 1000000, 1000000, {u"游戏币换金币 1000001 超出范围 1 - 1000000, 改为 1000000"}},
        {1, 1, 1, 1, {}},
        {1000000, 1000000, 1000000, 1000000, {}},
    };
    for (const Case& c : kCases) {
        const std::string strWhen = std::to_string(c.nGoldToCoin) + "/" + std::to_string(c.nCoinToGold);
        ASSERT_EQ(StartFrame("RoomCount=1\r\nGoldToCoin=" + std::to_string(c.nGoldToCoin) +
                                 "\r\nCoinToGold=" + std::to_string(c.nCoinToGold) + "\r\n",
                             QV_TESTGAME_EXAMPLE_PATH, true),
                  1);
        EXPECT_EQ(m_server.GetGoldToCoin(), c.nGoldToCoinUsed) << strWhen;
        EXPECT_EQ(m_server.GetCoinToGold(), c.nCoinToGoldUsed) << strWhen;
        std::vector<std::u16string> aLines;
        for (const std::u16string& strLine : m_host.LogMessages())
            if (strLine.find(u"超出范围") != std::u16string::npos) aLines.push_back(strLine);
        EXPECT_EQ(aLines, c.aLines) << strWhen;
        m_host.Clear();
    }
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

// Rooms tick once the host values since the last tick reach RoomTickMs, with
// their sum (saturated), so a poll woken early by packets ticks nothing; 0
// ticks at every poll with the host value itself.
TEST_F(QvServerTest, RoomsTickWhenTheHostValuesReachTheRoomTickInterval) {
    struct Case {
        const char* szLines;
        int32_t nTickMs;                 // as read (clamped)
        std::vector<uint32_t> aPolls;    // host values
        std::vector<uint32_t> aTicks;    // values the room was ticked with
    };
    const Case kCases[] = {
        {"RoomCount=1\r\nRoomTickMs=10\r\n", 10, {3, 3, 3, 1, 0, 25, 9}, {10, 25}},
        {"RoomCount=1\r\nRoomTickMs=10\r\n", 10, {5, 0xFFFFFFFFu, 10}, {0xFFFFFFFFu, 10}},
        {"RoomCount=1\r\nRoomTickMs=0\r\n", 0, {0, 3, 0}, {0, 3, 0}},
        {"RoomCount=1\r\nRoomTickMs=-4\r\n", 0, {0, 7}, {0, 7}},
        {"RoomCount=1\r\nRoomTickMs=5000\r\n", 1000, {999, 1}, {1000}},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.szLines);
        ASSERT_EQ(StartFrame(c.szLines), 1);
        EXPECT_EQ(m_server.GetRoomTickMs(), c.nTickMs);
        for (uint32_t dw : c.aPolls) Poll(dw);
        std::vector<uint32_t> aTicked;
        for (const TestGameRecord& r : FrameCommands(FRAME_CMD_TICK)) {
            ASSERT_EQ(r.aData.size(), 4u);
            aTicked.push_back(plat::LoadLe32(r.aData.data()));
        }
        EXPECT_EQ(aTicked, c.aTicks);
        m_server.Stop();
    }
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

namespace {

// A room whose game throws in every tick: the rooms after it are still
// ticked, it is ticked again at the next poll, and the host hears of it once.
TEST_F(QvServerTest, ATickThatThrowsStopsNeitherTheOtherRoomsNorTheNextPoll) {
    ASSERT_EQ(StartFrame(), 1);
    Game().anThrowOnCommands = {FRAME_CMD_TICK};
    Game().nThrowRoomIndex = 0;
    for (uint32_t dwPoll = 1; dwPoll <= 3; ++dwPoll) Poll(dwPoll);

    std::vector<int32_t> aTicked;
    for (const TestGameRecord& r : FrameCommands(FRAME_CMD_TICK)) aTicked.push_back(r.nRoomIndex);
    EXPECT_EQ(aTicked, (std::vector<int32_t>{0, 1, 2, 0, 1, 2, 0, 1, 2}));
    auto messages = m_host.LogMessages();
    EXPECT_EQ(std::count(messages.begin(), messages.end(),
                         u"房间(0) 游戏模块在 FRAME_CMD_TICK 中抛出异常: scripted game fault (同类异常不再报告)"),
              1);
    EXPECT_EQ(messages.size(), 1u) << "only room 0 failed, and only its first failure is reported";
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

namespace {

// The gold value of a user's account with the coins at the buying rate.
int64_t AccountValue(const FakeDbcUser& u, int32_t nGoldToCoin) {
    return int64_t{u.nGold} + int64_t{u.nGameCoin} * nGoldToCoin;
}

TEST_F(QvServerTest, StopEndsEveryUserOnlineAndChangesTheirCoinsBack) {
    AddUser(u"amy", 500, 1000);
    AddUser(u"bob", 0, 30);
    const int64_t nStart = AccountValue(*m_db.FindUser(u"amy"), 100) + AccountValue(*m_db.FindUser(u"bob"), 100);
    ASSERT_EQ(StartFrame("RoomCount=1\r\n"), 1);
    Login(0, u"amy");
    Login(1, u"bob");
    Connect(2);  // not logged in: nothing to change back
    ClearRecords();

    m_server.Stop();
    EXPECT_EQ(m_db.FindUser(u"amy")->nGameCoin, 0);
    EXPECT_EQ(m_db.FindUser(u"amy")->nGold, 500 + 1000 * 90);
    EXPECT_EQ(m_db.FindUser(u"bob")->nGameCoin, 0);
    EXPECT_EQ(m_db.FindUser(u"bob")->nGold, 30 * 90);
    int64_t nTax = 0;
    for (const DbcTaxRecord& t : m_db.Taxes()) nTax += t.nTax;
    EXPECT_EQ(m_db.FindUser(u"amy")->nGold + m_db.FindUser(u"bob")->nGold + nTax, nStart) << "value is kept";

    auto messages = m_host.LogMessages();
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages.front(), u"服务停止");
    EXPECT_EQ(messages.back(), u"服务停止 完成");
    EXPECT_TRUE(m_host.HasLog(u"停止时关闭会话 3 个"));
    EXPECT_EQ(Net().Closes(), (std::vector<int>{0, 1, 2}));
}

TEST_F(QvServerTest, LoginProtectionKeysAreWrittenOffWithTheirComments) {
    ASSERT_EQ(StartFrame(), 1);
    EXPECT_EQ(m_server.GetLoginTimeWindow(), 0);
    EXPECT_EQ(m_server.GetLoginFailLimit(), 0);
    CIniFile ini;
    ASSERT_EQ(ini.Open(u"QuorvelS.ini"), 1);
    const std::pair<const char16_t*, const char16_t*> kKeys[] = {
        {u"LoginTimeWindow", u"登录串时间值允许与当前时间相差的秒数, 0为不检查"},
        {u"LoginFailLimit", u"每个账号和每个地址每分钟允许的登录失败次数, 0为不限制"}};
    for (const auto& [szKey, szComment] : kKeys) {
        auto it = ini.FindItem(u"QuorvelS", szKey);
        ASSERT_NE(it, ini.End()) << WideToUtf8(szKey);
        EXPECT_EQ(ini.GetInt(u"QuorvelS", szKey, -1), 0);
        EXPECT_EQ(it->strComment, szComment);
    }
    m_server.Stop();
    ASSERT_EQ(StartFrame("RoomCount=1\r\nLoginTimeWindow=-5\r\nLoginFailLimit=-1\r\n"), 1);
    EXPECT_EQ(m_server.GetLoginTimeWindow(), 0) << "negative is off";
    EXPECT_EQ(m_server.GetLoginFailLimit(), 0);
}

constexpr uint64_t kClockNow = 1700000000;
uint64_t FixedLoginClock() {
    return kClockNow;
}

TEST_F(QvLoginTest, WithAWindowTheTimeValueMustLieNearTheClock) {
    AddUser(u"amy", 0, 0, 4711);
    ASSERT_EQ(StartFrame("RoomCount=1\r\nLoginTimeWindow=300\r\n"), 1);
    LoginClockSource pPrevious = SetLoginClockSource(&FixedLoginClock);
    const std::pair<uint64_t, int> kCases[] = {{kClockNow, 1},       {kClockNow - 300, 1}, {kClockNow + 300, 1},
                                               {kClockNow - 301, 0}, {kClockNow + 301, 0}, {0, 0}};
    for (const auto& [nTime, bOk] : kCases) {
        std::u16string strError;
        EXPECT_EQ(Verify(MakeLoginString(4711, nTime), &strError), bOk) << nTime;
        EXPECT_EQ(strError, bOk ? u"" : u"登录串验证未通过") << nTime;
    }
    SetLoginClockSource(pPrevious);
}

TEST_F(QvLoginTest, FailedLoginsAreLimitedPerAccountAndPerAddressForAMinute) {
    AddUser(u"amy", 0, 0, 4711);
    AddUser(u"bob", 0, 0, 99);
    ASSERT_EQ(StartFrame("RoomCount=1\r\nLoginFailLimit=3\r\n"), 1);
    const char* kAddress[] = {"10.0.0.1", "10.0.0.1", "10.0.0.2", "10.0.0.3"};
    for (int c = 0; c < 4; ++c) {
        Net().SetPeerAddress(c, kAddress[c]);
        Connect(c);
    }
    auto LoginAs = [&](int c, const std::u16string& strName, int32_t nKey) {
        Receive(c, ToBytes(BuildLoginPacket(CS_LOBBY_CLIENT_LOGIN, strName, MakeLoginString(nKey, kLoginTime))));
        return SentTo(c).back();
    };
    const Bytes kRefused = ToBytes(BuildCoreError(CS_LOBBY_CLIENT_LOGIN, u"登录串验证未通过"));
    const Bytes kOk = ToBytes(BuildCoreResult(CS_LOBBY_CLIENT_LOGIN));
    for (int i = 0; i < 3; ++i) EXPECT_EQ(LoginAs(i % 2, u"amy", 1), kRefused) << i;  // two connections, one address

    m_db.ClearCalls();
    EXPECT_EQ(LoginAs(2, u"amy", 4711), kRefused) << "the account is at its limit, from any address";
    EXPECT_EQ(m_db.CountCalls(DBCMD_GET_LOGIN_KEY), 0) << "refused before the database is asked";
    EXPECT_EQ(LoginAs(1, u"bob", 99), kRefused) << "the address is at its limit, for any account";
    EXPECT_EQ(LoginAs(3, u"bob", 99), kOk);

    // A minute later both the account and the address may try again (on a
    // fresh connection: the first ones have timed out by then).
    m_tick.Advance(kLoginFailureWindowMs);
    Net().SetPeerAddress(4, "10.0.0.1");
    Connect(4);
    EXPECT_EQ(LoginAs(4, u"amy", 4711), kOk);
}

// The login hijack on the frame: the user whose connection logs in for
// someone else is ended as at a logout, coins changed back and out of the room.
TEST_F(QvServerTest, ALoginForAnotherUserOnAGameConnectionEndsTheFirstUser) {
    Game().nMinCoin = 10;
    AddUser(u"amy", 0, 500);
    AddUser(u"bob", 0, 0);
    ASSERT_EQ(StartFrame("RoomCount=1\r\n"), 1);
    SeatUser(0, u"amy", 0);
    ASSERT_EQ(SessionOf(0)->GetRoomIndex(), 0);
    const FakeDbcUser* pBob = m_db.FindUser(u"bob");
    Receive(1, ToBytes(BuildLoginPacket(CS_GAME_CLIENT_LOGIN, u"bob", MakeLoginString(pBob->nLoginKey, kLoginTime))));

    EXPECT_EQ(m_db.FindUser(u"amy")->nGameCoin, 0);
    EXPECT_EQ(m_db.FindUser(u"amy")->nGold, 500 * 90);
    EXPECT_EQ(SessionOf(0), nullptr) << "amy's lobby connection went with her session";
    ASSERT_NE(SessionOf(1), nullptr);
    EXPECT_EQ(SessionOf(1)->GetUserName(), u"bob");
    EXPECT_EQ(SessionOf(1)->GetRoomIndex(), static_cast<int16_t>(Q7_INVALID_SHORT_INDEX));
    UserInfo info{};
    for (int16_t i = 0; i < m_server.GetRoom(0)->GetMaxRoomUser(); ++i)
        EXPECT_EQ(m_server.GetRoom(0)->GetRoomUserInfo(i, info), 0) << "place " << i << " still taken";
}

}  // namespace
