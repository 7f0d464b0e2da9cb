// Connection accept, receive dispatch, lost connections, time-outs and the
// first-stage packet handling of the session base.
#include <algorithm>

#include "tests/unit/serverbase_fixture.h"

namespace {

using ServerDispatchTest = ServerBaseTest;

TEST_F(ServerDispatchTest, AcceptBindsAFreeSessionAndRepliesWithRequestSignalOne) {
    Start();
    Connect(3);
    ASSERT_EQ(Net().Sends().size(), 1u);
    EXPECT_EQ(Net().Sends()[0].nConnectionIndex, 3);
    EXPECT_EQ(Net().Sends()[0].aBytes, ResultBytes(1));
    EXPECT_TRUE(m_host.HasLog(u"Connection(3) 连接 Session(0)"));

    CTestSession* s = m_server.Session(0);
    EXPECT_EQ(m_server.GetConnectionSession(3), s);
    EXPECT_TRUE(s->IsUsed());
    EXPECT_EQ(s->GetSessionID(), 1);
    EXPECT_EQ(s->GetTempConnectionIndex(), 3);
    EXPECT_EQ(s->nOpens, 1);
    Connect(4);
    EXPECT_EQ(m_server.Session(1)->GetSessionID(), 2);
}

TEST_F(ServerDispatchTest, MaxUserReachedGivesTheFullErrorAndTheTimeOutEndsIt) {
    Start(2, 10);
    Connect(0);
    Connect(1);
    Net().ClearRecords();
    Connect(2);
    ASSERT_EQ(Net().Sends().size(), 1u) << "no success reply after the full notice";
    EXPECT_EQ(Net().Sends()[0].aBytes, ErrorBytes(1, u"服务器已达到最大人数"));
    CTestSession* s = m_server.Session(2);
    EXPECT_EQ(m_server.GetConnectionSession(2), s);
    EXPECT_TRUE(s->IsRefused());

    // A refused session ignores everything but logins ...
    Net().ClearRecords();
    Signal(2, 1000);
    Receive(2, BuildVersionPacket(7));
    EXPECT_TRUE(Net().Sends().empty());
    EXPECT_TRUE(s->aReceived.empty());
    // ... and is ended by the temporary time-out.
    m_tick.Advance(30001);
    Poll();
    EXPECT_TRUE(m_host.HasLog(u"Session(2) 关闭超时 临时Connection(2)"));
    Poll();
    EXPECT_TRUE(m_host.HasLog(u"框架关闭 Session(2)"));
    EXPECT_FALSE(s->IsUsed());
}

TEST_F(ServerDispatchTest, NoFreeSessionRepliesAndThenClosesTheConnection) {
    AddUser(u"amy");
    AddUser(u"bob");
    Start(50, 2);
    Connect(0);
    Login(0, u"amy");
    Connect(1);
    Login(1, u"bob");
    Net().ClearRecords();
    // Both users' connections are lost and connection 0 comes back in the same
    // drain: their sessions wait for the sweep, which settles the users.
    Net().QueueDisconnect(0);
    Net().QueueDisconnect(1);
    Net().QueueConnect(0);
    Net().QueueSignal(0, 1000);
    Poll();
    EXPECT_TRUE(m_host.HasLog(u"Connection(0) 连接 Session(-1)"));
    ASSERT_EQ(Net().SendsTo(0).size(), 1u);
    EXPECT_EQ(Net().SendsTo(0)[0].aBytes, ErrorBytes(1, u"无可用会话，连接服务器失败。"));
    EXPECT_EQ(Net().Closes(), (std::vector<int>{0, 1, 0})) << "the lost two, then the unserved one";
    EXPECT_EQ(m_server.GetConnectionSession(0), nullptr);
    EXPECT_TRUE(m_server.Session(0)->aReceived.empty());
    EXPECT_EQ(m_server.CountOnline(), 0) << "the sweep of that poll closed both sessions";
}

// Connections that come and go before any login, served or turned away as
// full, give their session back as they go: bursts far beyond the pool leave
// it whole, and the next client is served at once.
TEST_F(ServerDispatchTest, BurstsOfConnectAndCloseNeverExhaustThePool) {
    AddUser(u"amy");
    constexpr int kMaxConnection = 10;
    Start(5, kMaxConnection);  // half of every burst is turned away as full
    for (int nBurst = 0; nBurst < 3; ++nBurst) {
        for (int i = 0; i < kMaxConnection + 500; i += kMaxConnection) {
            for (int c = 0; c < kMaxConnection; ++c) Net().QueueConnect(c);
            for (int c = 0; c < kMaxConnection; ++c) Net().QueueDisconnect(c);
        }
        Poll();
        EXPECT_EQ(m_server.CountOnline(), 0) << nBurst;
    }
    for (const ScriptedSend& send : Net().Sends())
        ASSERT_NE(send.aBytes, ErrorBytes(1, u"无可用会话，连接服务器失败。"));
    Net().ClearRecords();
    Connect(0);
    EXPECT_EQ(Net().SendsTo(0).back().aBytes, ResultBytes(1));
    Login(0, u"amy");
    EXPECT_EQ(Net().SendsTo(0).back().aBytes, ResultBytes(CS_LOBBY_CLIENT_LOGIN));
    EXPECT_EQ(m_server.GetConnectionSession(0)->GetLobbyConnectionIndex(), 0);
}

TEST_F(ServerDispatchTest, RefusedConnectionsDoNotCountAgainstMaxUser) {
    Start(2, 10);
    Connect(0);
    Connect(1);
    Connect(2);  // refused
    Connect(3);  // refused
    ASSERT_TRUE(m_server.Session(3)->IsRefused());
    Net().QueueDisconnect(0);
    Poll();
    Net().ClearRecords();
    Connect(4);  // one user and two refused connections: there is room for one more
    ASSERT_EQ(Net().SendsTo(4).size(), 1u);
    EXPECT_EQ(Net().SendsTo(4)[0].aBytes, ResultBytes(1));
    EXPECT_FALSE(m_server.GetConnectionSession(4)->IsRefused());
}

TEST_F(ServerDispatchTest, LostConnectionsAndFullDriverAreLogged) {
    Start();
    Connect(0);
    Net().QueueDisconnect(0);
    Net().QueueDisconnect(0);  // no table entry any more: only the first line
    Net().QueueConnectionFull();
    Poll();
    EXPECT_EQ(m_host.CountLog(u"Connection(0) 网络连接丢失"), 2);
    EXPECT_EQ(m_host.CountLog(u"关闭 Connection(0)"), 1);
    EXPECT_TRUE(m_host.HasLog(u"网络连接已满"));
    EXPECT_EQ(Net().Closes(), (std::vector<int>{0}));
    // The sweep of the same poll found the session without connections.
    EXPECT_TRUE(m_host.HasLog(u"框架关闭 Session(0)"));
}

TEST_F(ServerDispatchTest, PacketsTooShortForASignalOrWithoutDataAreDropped) {
    Start();
    Connect(0);
    Net().ClearRecords();
    Receive(0, std::vector<uint8_t>{0x2C});
    NetDrvEvent raw{};
    raw.Type = NETDRVEVENT_RECEIVE_DATA;
    raw.ConnectionIndex = 0;
    raw.Data = nullptr;
    raw.DataLength = 8;
    Net().QueueRawEvent(raw);
    raw.Data = reinterpret_cast<const uint8_t*>("\x2c\x01");
    raw.DataLength = -4;
    Net().QueueRawEvent(raw);
    Poll();
    EXPECT_EQ(m_host.CountLog(u"出现无法解析的网络包"), 3);
    EXPECT_TRUE(Net().Sends().empty());
    EXPECT_TRUE(m_server.Session(0)->aReceived.empty());
}

TEST_F(ServerDispatchTest, ConnectionIndexesOutsideTheTableAreNeverUsedAsIndexes) {
    Start(50, 2);
    Net().QueueConnect(5);
    Net().QueueSignal(7, 1000);
    Net().QueueDisconnect(9);
    Poll();
    EXPECT_TRUE(m_asserts.Saw("nConnectionIndex >= 0 && nConnectionIndex < m_nMaxConnection"));
    EXPECT_EQ(Net().Closes(), (std::vector<int>{5}));
    EXPECT_EQ(m_server.CountOnline(), 0);
    EXPECT_EQ(m_server.SendResult(2, 1), 0);
    EXPECT_EQ(m_server.SendResult(-1, 1), 0);
    m_server.CloseConnection(m_server.GetSession(0), -1);
    m_server.CloseConnection(nullptr, 0);
    EXPECT_EQ(Net().Closes().size(), 1u);
    EXPECT_TRUE(Net().Sends().empty());
}

TEST_F(ServerDispatchTest, SendWithTheFlagSetIsRefused) {
    Start();
    const uint8_t a[2] = {0xE8, 0x03};
    EXPECT_EQ(m_server.SendToConnection(0, a, 2, 1), 0);
    EXPECT_TRUE(m_asserts.Saw("FALSE"));
    EXPECT_EQ(m_server.SendToConnection(0, a, 2, 0), 1);
    ASSERT_EQ(Net().Sends().size(), 1u);
    EXPECT_EQ(Net().Sends()[0].aBytes, (std::vector<uint8_t>{0xE8, 0x03}));
}

TEST_F(ServerDispatchTest, PacketsBeforeLoginAreRefusedWithTheirOwnSignal) {
    Start();
    Connect(0);
    Net().ClearRecords();
    Signal(0, 1000, 10);
    Signal(0, CS_GET_ROOM_LIST);
    Signal(0, CS_LOBBY_CLIENT_LOGOUT);
    Signal(0, CS_CORE_KEEPALIVE);
    auto sends = Net().TakeSends();
    ASSERT_EQ(sends.size(), 3u) << "keep-alive gets no reply";
    EXPECT_EQ(sends[0].aBytes, ErrorBytes(1000, u"用户还没有登录"));
    EXPECT_EQ(sends[1].aBytes, ErrorBytes(CS_GET_ROOM_LIST, u"用户还没有登录"));
    EXPECT_EQ(sends[2].aBytes, ErrorBytes(CS_LOBBY_CLIENT_LOGOUT, u"用户还没有登录"));
    EXPECT_FALSE(m_server.Session(0)->IsCloseRequested()) << "a logout before login is refused";
    EXPECT_TRUE(m_server.Session(0)->aReceived.empty());
}

TEST_F(ServerDispatchTest, VersionCheckOnTemporaryLobbyAndGameConnections) {
    AddUser(u"alice");
    Start();
    Connect(0);
    Net().ClearRecords();
    Receive(0, BuildVersionPacket(7));
    Receive(0, BuildVersionPacket(8));
    auto sends = Net().TakeSends();
    ASSERT_EQ(sends.size(), 2u);
    EXPECT_EQ(sends[0].aBytes, ResultBytes(CS_CORE_VERSION));
    EXPECT_EQ(sends[1].aBytes, ErrorBytes(CS_CORE_VERSION, u"客户端版本不正确"));
    EXPECT_TRUE(m_host.HasLog(u"Connection(0) 客户端版本验证 : 客户端版本不正确"));
    CTestSession* s = m_server.Session(0);
    EXPECT_FALSE(s->IsLobbyVersionChecked()) << "a temporary connection sets no flag";
    EXPECT_FALSE(s->IsGameVersionChecked());

    Login(0, u"alice");
    Receive(0, BuildVersionPacket(7));
    EXPECT_TRUE(s->IsLobbyVersionChecked());
    EXPECT_FALSE(s->IsGameVersionChecked());

    Connect(1);
    Login(1, u"alice", CS_GAME_CLIENT_LOGIN);
    ASSERT_EQ(s->GetGameConnectionIndex(), 1);
    Receive(1, BuildVersionPacket(8));
    EXPECT_FALSE(s->IsGameVersionChecked());
    Receive(1, BuildVersionPacket(7));
    EXPECT_TRUE(s->IsGameVersionChecked());
}

TEST_F(ServerDispatchTest, ShortVersionPacketIsReportedAndPassedOnWithoutReply) {
    Start();
    Connect(0);
    Net().ClearRecords();
    Receive(0, std::vector<uint8_t>{0x2C, 0x01, 7, 0, 0});
    EXPECT_TRUE(m_host.HasLog(u"出现无法解析的网络包"));
    EXPECT_TRUE(m_asserts.Saw("false"));
    EXPECT_TRUE(Net().Sends().empty());
    ASSERT_EQ(m_server.Session(0)->aReceived.size(), 1u);
    EXPECT_EQ(m_server.Session(0)->aReceived[0].wSignal, CS_CORE_VERSION);
    EXPECT_EQ(m_server.Session(0)->aReceived[0].nLength, 5u);
}

TEST_F(ServerDispatchTest, TemporaryConnectionSurvivesExactly30000ms) {
    Start();
    Connect(0);
    m_tick.Advance(30000);
    Poll();
    EXPECT_EQ(m_server.Session(0)->GetTempConnectionIndex(), 0);
    // Packets on the temporary connection do not extend its life.
    Signal(0, 1000);
    m_tick.Advance(1);
    Poll();
    EXPECT_TRUE(m_host.HasLog(u"Session(0) 关闭超时 临时Connection(0)"));
    EXPECT_TRUE(m_host.HasLog(u"关闭 Connection(0)"));
    EXPECT_EQ(Net().Closes(), (std::vector<int>{0}));
    EXPECT_TRUE(m_server.Session(0)->IsUsed()) << "the session closes at the following poll";
    Poll();
    EXPECT_TRUE(m_host.HasLog(u"关闭 Session(0)"));
    EXPECT_TRUE(m_host.HasLog(u"框架关闭 Session(0)"));
    EXPECT_FALSE(m_server.Session(0)->IsUsed());
    EXPECT_EQ(m_server.Session(0)->nCloses, 1);
}

TEST_F(ServerDispatchTest, TimeOutAgesSurviveTheTickWrap) {
    m_tick.Set(0xFFFFF000u);
    Start();
    Connect(0);
    m_tick.Advance(30000);  // wraps past zero
    Poll();
    EXPECT_EQ(m_server.Session(0)->GetTempConnectionIndex(), 0);
    m_tick.Advance(1);
    Poll();
    EXPECT_EQ(m_server.Session(0)->GetTempConnectionIndex(), -1);
}

TEST_F(ServerDispatchTest, LobbyConnectionLivesWhileKeptAliveAndEnds180sAfterSilence) {
    AddUser(u"alice");
    Start();
    Connect(0);
    Login(0, u"alice");
    CTestSession* s = m_server.Session(0);
    ASSERT_EQ(s->GetLobbyConnectionIndex(), 0);
    for (int i = 0; i < 10; ++i) {
        m_tick.Advance(60000);
        Signal(0, CS_CORE_KEEPALIVE);
    }
    EXPECT_EQ(s->GetLobbyConnectionIndex(), 0);
    EXPECT_EQ(s->GetLobbyRecvTick(), m_tick.Now());
    EXPECT_TRUE(s->aReceived.empty()) << "keep-alives are consumed by the base";

    m_tick.Advance(180000);
    Poll();
    EXPECT_EQ(s->GetLobbyConnectionIndex(), 0);
    m_tick.Advance(1);
    Poll();
    EXPECT_TRUE(m_host.HasLog(u"Session(0) 关闭超时 大厅Connection(0)"));
    EXPECT_EQ(s->GetLobbyConnectionIndex(), -1);
}

TEST_F(ServerDispatchTest, GameConnectionTimesOutOnItsOwnTick) {
    AddUser(u"alice");
    Start();
    Connect(0);
    Login(0, u"alice");
    Connect(1);
    Login(1, u"alice", CS_GAME_CLIENT_LOGIN);
    CTestSession* s = m_server.Session(0);
    ASSERT_EQ(s->GetGameConnectionIndex(), 1);
    m_tick.Advance(100000);
    Signal(0, 1000);  // lobby traffic does not keep the game connection alive
    m_tick.Advance(80001);
    Poll();
    EXPECT_TRUE(m_host.HasLog(u"Session(0) 关闭超时 游戏Connection(1)"));
    EXPECT_EQ(s->GetGameConnectionIndex(), -1);
    EXPECT_EQ(s->GetLobbyConnectionIndex(), 0);
    ASSERT_EQ(s->aReceived.size(), 1u);
    EXPECT_EQ(s->aReceived[0].wSignal, 1000);
}

TEST_F(ServerDispatchTest, LogoutRequestsCloseTheWholeSessionAtTheNextPoll) {
    AddUser(u"alice");
    Start();
    Connect(0);
    Login(0, u"alice");
    Connect(1);
    Login(1, u"alice", CS_GAME_CLIENT_LOGIN);
    Net().ClearRecords();
    Net().QueueSignal(1, CS_GAME_CLIENT_LOGOUT);
    Poll();
    EXPECT_TRUE(Net().Sends().empty()) << "a logout has no reply";
    EXPECT_EQ(Net().Closes(), (std::vector<int>{0, 1})) << "closed in the poll that received it";
    EXPECT_TRUE(m_host.HasLog(u"框架关闭 Session(0)"));
    EXPECT_FALSE(m_server.Session(0)->IsUsed());
    EXPECT_EQ(m_server.Session(0)->GetUserName(), u"");
    EXPECT_EQ(m_server.GetConnectionSession(0), nullptr);
    EXPECT_EQ(m_server.GetConnectionSession(1), nullptr);
}

TEST_F(ServerDispatchTest, CloseTwiceLogsOnce) {
    Start();
    Connect(0);
    m_server.CloseSession(0);
    m_server.Session(0)->Close();
    EXPECT_EQ(m_host.CountLog(u"关闭 Session(0)"), 1);
    EXPECT_EQ(m_server.Session(0)->nCloses, 1);
    m_server.CloseSession(99);
    EXPECT_TRUE(m_asserts.Saw("wSessionIndex>=0 && wSessionIndex<m_nSessionCount"));
}

// The sweep looks only at the sessions that are due, yet closes them in
// session order as a sweep of the whole pool would: session 0 is the youngest
// here and still comes first. Freed sessions are handed out lowest first.
TEST_F(ServerDispatchTest, TimeOutsAcrossTheWrapCloseInSessionOrderAndFreeTheLowestFirst) {
    m_tick.Set(0xFFFFA000u);
    Start();
    for (int c : {0, 1, 2}) Connect(c);
    Net().QueueDisconnect(0);
    Poll();  // session 0 is free again
    EXPECT_EQ(m_server.CountOnline(), 2);
    m_tick.Advance(10000);
    Connect(3);
    EXPECT_TRUE(m_host.HasLog(u"Connection(3) 连接 Session(0)"));
    m_tick.Advance(30000);  // past the wrap; sessions 1 and 2 are 40000 ms old, 0 exactly 30000
    m_host.Clear();
    Poll();
    EXPECT_EQ(m_host.LogMessages(), (std::vector<std::u16string>{
                                        u"Session(1) 关闭超时 临时Connection(1)", u"关闭 Connection(1)",
                                        u"Session(2) 关闭超时 临时Connection(2)", u"关闭 Connection(2)"}));
    m_tick.Advance(1);
    Poll();  // 0 times out; 1 and 2, left without connections, close
    EXPECT_TRUE(m_host.HasLog(u"Session(0) 关闭超时 临时Connection(3)"));
    EXPECT_FALSE(m_host.HasLog(u"框架关闭 Session(0)")) << "it closes at the next poll";
    auto messages = m_host.LogMessages();
    const auto nOne = std::find(messages.begin(), messages.end(), u"框架关闭 Session(1)");
    const auto nTwo = std::find(messages.begin(), messages.end(), u"框架关闭 Session(2)");
    EXPECT_LT(nOne, nTwo);
    EXPECT_NE(nTwo, messages.end());
    Poll();
    EXPECT_EQ(m_server.CountOnline(), 0);
    EXPECT_EQ(m_server.FindFreeSession(), 0);
    for (int c : {4, 5}) Connect(c);
    EXPECT_TRUE(m_host.HasLog(u"Connection(4) 连接 Session(0)"));
    EXPECT_TRUE(m_host.HasLog(u"Connection(5) 连接 Session(1)"));
    EXPECT_EQ(m_server.CountOnline(), 2);
}

TEST(SessionBaseTest, BrokenInvariantsAreReportedAndSurvived) {
    QvAssertCollector asserts;
    CTestSession s;
    s.SetSessionIndex(Q7_INVALID_SHORT_INDEX);
    EXPECT_TRUE(asserts.Saw("wSessionIndex!=Q7_INVALID_SHORT_INDEX"));
    EXPECT_EQ(s.GetSessionIndex(), Q7_INVALID_SHORT_INDEX) << "stored all the same";
    // Never opened: no server to send through.
    EXPECT_EQ(s.SendUserInfo(0), 0);
    EXPECT_TRUE(asserts.Saw("m_pServer"));
    s.Close();
    EXPECT_EQ(s.nCloses, 0) << "closing a free session does nothing";
}

}  // namespace
