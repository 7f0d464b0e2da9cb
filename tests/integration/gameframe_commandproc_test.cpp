// A whole scripted run of the framework through CommandProc, as a host drives
// it: start, connections, logins, room list, a purchase, joins, ready game
// clients, a game that settles, a logout with its refund, the console and the
// stop. The network is the scripted driver, the database the recording fake,
// the game the scripted test module.
#include <gtest/gtest.h>

#include <cstring>

#include "QuorvelS/globals.h"
#include "QuorvelS/loginstring.h"
#include "QuorvelS/quorvels.h"
#include "QuorvelS/qvpackets.h"
#include "common/packets.h"
#include "projcommon/widestring.h"
#include "tests/gamemodules/testgame_module.h"
#include "tests/support/fakedbc.h"
#include "tests/support/hostcapture.h"
#include "tests/support/manualtick.h"
#include "tests/support/scriptednetdrv.h"
#include "tests/support/tempdir.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A field of a packed record by value: the checks take their arguments by
// reference, which a packed field cannot give.
template <class T>
T Copy(T v) {
    return v;
}

template <size_t N>
Bytes ToBytes(const std::array<uint8_t, N>& a) {
    return Bytes(a.begin(), a.end());
}

constexpr uint16_t kPlaySignal = 1500;     // the scripted game settles a round on it
constexpr uint16_t kWelcomeSignal = 1100;  // the scripted game greets a ready client with it

class GameFrameRunTest : public ::testing::Test {
protected:
    GameFrameRunTest() : m_cwd(m_dir / "Server"), m_netScope(m_drv), m_dbScope(m_db) {}
    ~GameFrameRunTest() override { CommandProc(HOSTCMD_STOP, 0, nullptr); }

    CScriptedTcpServer& Net() { return m_drv.Server(); }
    void Tick(uint32_t dwValue = 10) { CommandProc(HOSTCMD_TICK, dwValue, nullptr); }
    void Send(int c, Bytes a) {
        Net().QueueReceive(c, std::move(a));
        Tick();
    }
    void Connect(int c) {
        Net().QueueConnect(c);
        Tick();
    }
    void Login(int c, const std::u16string& strName, uint16_t wSignal) {
        Connect(c);
        const FakeDbcUser* pUser = m_db.FindUser(strName);
        Send(c, ToBytes(BuildLoginPacket(wSignal, strName, MakeLoginString(pUser->nLoginKey, 0x2A))));
    }
    std::vector<Bytes> SentTo(int c) {
        std::vector<Bytes> a;
        for (const ScriptedSend& s : Net().Sends())
            if (s.nConnectionIndex == c) a.push_back(s.aBytes);
        return a;
    }
    bool Received(int c, const Bytes& packet) {
        for (const Bytes& b : SentTo(c))
            if (b == packet) return true;
        return false;
    }

    CTempDir m_dir;
    CScopedCwd m_cwd;
    CManualTick m_tick{5000};
    CScriptedNetDrv m_drv;
    CScopedNetDrv m_netScope;
    CFakeDbc m_db;
    CScopedDbcBinding m_dbScope;
    CHostCapture m_host;
    TestGameModule m_game{Utf8ToWide(QV_TESTGAME_EXAMPLE_PATH)};
};

TEST_F(GameFrameRunTest, StartPlaySettleRefundConsoleStop) {
    TestGameControl* pGame = m_game.Control();
    ASSERT_NE(pGame, nullptr);
    pGame->nMinCoin = 100;
    pGame->OnFrameCommand = [](TestGameCall& call) {
        if (call.nCommand != FRAME_CMD_CLIENT_READY) return;
        const uint8_t aWelcome[] = {kWelcomeSignal & 0xFF, kWelcomeSignal >> 8, static_cast<uint8_t>(call.nRoomUserIndex)};
        call.pRoomCommand->SendToUser(call.nRoomUserIndex, aWelcome, sizeof(aWelcome), 0);
    };
    pGame->OnClientData = [](TestGameCall& call) {
        const uint8_t* p = static_cast<const uint8_t*>(call.pData);
        if (call.nLength >= 2 && (p[0] | (p[1] << 8)) == kPlaySignal)
            TestGameSettle(call.pRoomCommand, 10, {30, -40});  // place 0 wins, place 1 loses, rake to the banker
    };

    const std::u16string strAmy = m_db.AddUser({u"", u"amy", u"a", 111, 20000, true, 0});
    const std::u16string strBob = m_db.AddUser({u"", u"bob", u"b", -222, 5000, true, 150});
    WriteFileBytes(m_dir / "Server/QuorvelS.ini",
                   std::string("[ServerCore]\r\nMaxConnection=8\r\n[QuorvelS]\r\nGameServerDll=") +
                       QV_TESTGAME_EXAMPLE_PATH + "\r\nRoomCount=2\r\n");

    CommandProc(HOSTCMD_SET_OUTPUT, 0, reinterpret_cast<void*>(&CHostCapture::Callback));
    CommandProc(HOSTCMD_SET_CONFIG_PATH, 0, const_cast<char16_t*>(u"QuorvelS.ini"));
    ServerStartInfo info{};
    WideCopyBounded(info.szName, 50, u"host");
    CommandProc(HOSTCMD_START, sizeof(info), &info);
    EXPECT_EQ(std::u16string(info.szName), u"41010 - Example");
    EXPECT_NE(info.hIcon, 0u);
    EXPECT_EQ(info.nRoomInfo, 20);
    EXPECT_TRUE(m_host.HasLog(u"服务启动 完成"));
    EXPECT_EQ(pGame->LiveInstances(), 2);

    // amy: lobby on 0, buys her way up to the minimum, sits down; game client on 1.
    Login(0, u"amy", CS_LOBBY_CLIENT_LOGIN);
    Send(0, ToBytes(BuildVersionPacket(1)));
    Send(0, Bytes{0x5E, 0x01});  // CS_GET_ROOM_LIST
    EXPECT_TRUE(Received(0, ToBytes(BuildRoomCount(2))));
    EXPECT_TRUE(Received(0, ToBytes(BuildCoinParams(100, 90, 100))));
    Send(0, Bytes{0x62, 0x01});  // CS_BUY_GAME_COIN
    EXPECT_TRUE(Received(0, ToBytes(BuildCoreNotice(u"成功购买了游戏币100枚，消耗金币10000枚。"))));
    Send(0, Bytes{0x32, 0x01, 0x00, 0x00, 0x00});  // join room 0 as a player
    EXPECT_TRUE(Received(0, ToBytes(BuildCoreResult(CS_JOIN_ROOM))));
    Login(1, u"amy", CS_GAME_CLIENT_LOGIN);
    Send(1, ToBytes(BuildVersionPacket(1)));
    Send(1, Bytes{0x34, 0x01});  // CS_GAME_CLIENT_READY
    EXPECT_TRUE(Received(0, ToBytes(BuildGameClientReady())));
    EXPECT_TRUE(Received(1, (Bytes{kWelcomeSignal & 0xFF, kWelcomeSignal >> 8, 0})));

    // bob: enough coins already; lobby on 2, game client on 3.
    Login(2, u"bob", CS_LOBBY_CLIENT_LOGIN);
    Send(2, Bytes{0x32, 0x01, 0x00, 0x00, 0x00});
    Login(3, u"bob", CS_GAME_CLIENT_LOGIN);
    Send(3, ToBytes(BuildVersionPacket(1)));
    Send(3, Bytes{0x34, 0x01});
    EXPECT_TRUE(Received(3, (Bytes{kWelcomeSignal & 0xFF, kWelcomeSignal >> 8, 1})));
    RoomState two;
    two.nMaxRoomPlayer = 4;
    two.JoinPlayerCount = 2;
    EXPECT_TRUE(Received(0, ToBytes(BuildRoomState(0, two)))) << "amy's lobby saw bob sit down";

    // One round.
    Net().ClearRecords();
    Send(1, Bytes{kPlaySignal & 0xFF, kPlaySignal >> 8});
    EXPECT_EQ(m_db.BankerGold(u"Example"), 1000);
    EXPECT_EQ(m_db.FindUser(u"amy")->nGameCoin, 130);
    EXPECT_EQ(m_db.FindUser(u"bob")->nGameCoin, 110);
    UserInfo seen{};
    ASSERT_EQ(SentTo(2).size(), 1u);
    ASSERT_TRUE(ParseCoreUserInfo(SentTo(2)[0].data(), SentTo(2)[0].size(), seen));
    EXPECT_EQ(Copy(seen.nGameCoin), 110);
    EXPECT_EQ(Copy(seen.nLoginKey), 0);

    // The console lists both users.
    m_host.Clear();
    CommandProc(HOSTCMD_CONSOLE, 0, const_cast<char16_t*>(u"session"));
    const std::u16string strConsole = m_host.ConsoleText();
    EXPECT_NE(strConsole.find(u"User=amy, 临时链=-1, 大厅链=0, 游戏链=1"), std::u16string::npos);
    EXPECT_NE(strConsole.find(u"User=bob, 临时链=-1, 大厅链=2, 游戏链=3"), std::u16string::npos);
    EXPECT_NE(strConsole.find(u"OnlineCount = 2"), std::u16string::npos);

    // amy logs out: her coins are sold back before the game hears her leave.
    pGame->aRecords.clear();
    Net().ClearRecords();
    m_db.ClearCalls();
    Send(0, Bytes{0x2F, 0x01});  // CS_LOBBY_CLIENT_LOGOUT
    EXPECT_EQ(m_db.FindUser(u"amy")->nGameCoin, 0);
    EXPECT_EQ(m_db.FindUser(u"amy")->nGold, 10000 + 130 * 90);
    ASSERT_EQ(m_db.Taxes().size(), 1u);
    EXPECT_EQ(m_db.Taxes()[0].nTax, 1300);
    auto leaves = pGame->Find(TestGameRecord::FRAME_COMMAND, FRAME_CMD_USER_LEAVE);
    ASSERT_EQ(leaves.size(), 1u);
    EXPECT_EQ(leaves[0].nRoomUserIndex, 0);
    RoomState one;
    one.nMaxRoomPlayer = 4;
    one.JoinPlayerCount = 1;
    EXPECT_TRUE(Received(2, ToBytes(BuildRoomState(0, one))));
    EXPECT_EQ(Net().Closes(), (std::vector<int>{0, 1}));
    EXPECT_EQ(g_Server.CountOnline(), 1);

    // Value is conserved: gold plus coins at the buying rate plus the banker
    // and the tax equals what the users started with.
    const int64_t nStart = 20000 + 5000 + 150 * 100;
    const int64_t nNow = m_db.FindUser(u"amy")->nGold + m_db.FindUser(u"bob")->nGold +
                         int64_t{m_db.FindUser(u"bob")->nGameCoin} * 100 + m_db.BankerGold(u"Example") +
                         m_db.Taxes()[0].nTax;
    EXPECT_EQ(nNow, nStart);

    m_host.Clear();
    CommandProc(HOSTCMD_STOP, 0, nullptr);
    EXPECT_EQ(pGame->LiveInstances(), 0);
    EXPECT_EQ(pGame->Count(TestGameRecord::DESTROY), 2u);
    auto messages = m_host.LogMessages();
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages.front(), u"服务停止");
    EXPECT_EQ(messages.back(), u"服务停止 完成");
    EXPECT_FALSE(g_Server.IsStarted());
}

}  // namespace
