// Client login: the replies and their order, each refusal, the name rules and
// the takeover of a user's existing session.
#include "tests/unit/serverbase_fixture.h"

namespace {

class ServerLoginTest : public ServerBaseTest {
protected:
    // The sends of one connection as (signal, bytes).
    std::vector<ScriptedSend> SendsTo(int c) { return Net().SendsTo(c); }
};

TEST_F(ServerLoginTest, SuccessSendsTheUserRecordThenTheResult) {
    std::u16string strGuid = AddUser(u"alice", 1234);
    Start();
    Connect(0);
    Net().ClearRecords();
    Login(0, u"alice");

    auto sends = SendsTo(0);
    ASSERT_EQ(sends.size(), 2u);
    UserInfo info{};
    ASSERT_TRUE(ParseCoreUserInfo(sends[0].aBytes.data(), sends[0].aBytes.size(), info));
    EXPECT_EQ(std::u16string(info.szGUID), strGuid);
    EXPECT_EQ(std::u16string(info.szUserName), u"alice");
    EXPECT_EQ(std::u16string(info.szExtra), u"extra");
    EXPECT_EQ(int32_t{info.nGold}, 1234);
    EXPECT_EQ(int32_t{info.nGameCoin}, 77);
    EXPECT_EQ(int32_t{info.nLoginKey}, 0) << "the key stays on the server";
    EXPECT_EQ(sends[1].aBytes, ResultBytes(CS_LOBBY_CLIENT_LOGIN));

    CTestSession* s = m_server.Session(0);
    EXPECT_EQ(int32_t{s->GetUserInfo()->nLoginKey}, 0x5EC7E7)
        << "the session keeps what the key check stored";
    EXPECT_EQ(s->GetLobbyConnectionIndex(), 0);
    EXPECT_EQ(s->GetTempConnectionIndex(), -1);
    EXPECT_EQ(s->nLogins, 1);
    EXPECT_TRUE(m_host.HasLog(u"Connection(0) 用户请求登录. 用户='alice', GUID=."));

    // The database was asked by name (no GUID yet) and then for the gold of the GUID.
    auto user = m_db.CallsOf(DBCMD_GET_PLATFORM_USER);
    ASSERT_EQ(user.size(), 1u);
    auto request = user[0].Request<DbcPlatformUserRecord>();
    ASSERT_TRUE(request);
    EXPECT_EQ(std::u16string(request->szGUID), u"");
    EXPECT_EQ(std::u16string(request->szUserName), u"alice");
    auto gold = m_db.CallsOf(DBCMD_GET_GOLD);
    ASSERT_EQ(gold.size(), 1u);
    EXPECT_EQ(std::u16string(gold[0].Request<DbcValueRecord>()->szName), strGuid);
}

TEST_F(ServerLoginTest, EachRefusalSendsItsTextAndLeavesTheConnectionTemporary) {
    AddUser(u"alice");
    Start();
    Connect(0);
    CTestSession* s = m_server.Session(0);

    m_server.bVerifyOk = 0;
    Net().ClearRecords();
    Login(0, u"alice");
    EXPECT_EQ(SendsTo(0).back().aBytes, ErrorBytes(CS_LOBBY_CLIENT_LOGIN, u"登录串验证未通过"));
    EXPECT_TRUE(m_host.HasLog(u"Connection(0) 客户端登录 : 登录串验证未通过"));
    EXPECT_TRUE(m_host.HasLog(u"Connection(0) 用户请求登录. 用户='alice', GUID=."));
    EXPECT_EQ(m_db.Calls().size(), 0u) << "no database command after a refused check";
    m_server.bVerifyOk = 1;

    m_db.FailCall(DBCMD_GET_PLATFORM_USER, 1);
    Login(0, u"alice");
    EXPECT_EQ(SendsTo(0).back().aBytes, ErrorBytes(CS_LOBBY_CLIENT_LOGIN, u"获取平台用户信息失败"));
    m_db.FailCall(DBCMD_GET_GOLD, 1);
    Login(0, u"alice");
    EXPECT_EQ(SendsTo(0).back().aBytes, ErrorBytes(CS_LOBBY_CLIENT_LOGIN, u"获取平台用户信息失败"));
    Net().ClearRecords();
    Login(0, u"nobody");
    EXPECT_EQ(SendsTo(0).back().aBytes, ErrorBytes(CS_LOBBY_CLIENT_LOGIN, u"获取平台用户信息失败"));

    m_server.bLoadOk = 0;
    Login(0, u"alice", CS_GAME_CLIENT_LOGIN);
    EXPECT_EQ(SendsTo(0).back().aBytes, ErrorBytes(CS_GAME_CLIENT_LOGIN, u"获取游戏用户信息失败"));
    EXPECT_TRUE(m_host.HasLog(u"Connection(0) 客户端登录 : 获取游戏用户信息失败"));

    EXPECT_EQ(s->GetTempConnectionIndex(), 0);
    EXPECT_EQ(s->GetLobbyConnectionIndex(), -1);
    EXPECT_EQ(s->GetGameConnectionIndex(), -1);
    EXPECT_EQ(s->GetUserName(), u"");
    EXPECT_EQ(s->nLogins, 0);
}

TEST_F(ServerLoginTest, AccountNameIsCutTo16CharactersAndCaseMatters) {
    AddUser(u"abcdefghijklmnop");
    AddUser(u"Bob");
    AddUser(u"bob");
    Start();
    Connect(0);
    // Twenty characters written straight into the packet, over the forced terminator.
    std::vector<uint8_t> packet(kLoginPacketSize, 0);
    StoreLE16(packet.data(), CS_LOBBY_CLIENT_LOGIN);
    std::u16string strLong = u"abcdefghijklmnopqrst";
    for (size_t i = 0; i < strLong.size(); ++i) StoreLE16(packet.data() + 2 + 2 * i, strLong[i]);
    Receive(0, packet);
    EXPECT_EQ(m_server.Session(0)->GetUserName(), u"abcdefghijklmnop");
    EXPECT_TRUE(m_host.HasLog(u"Connection(0) 用户请求登录. 用户='abcdefghijklmnop', GUID=."));

    Connect(1);
    Login(1, u"Bob");
    Connect(2);
    Login(2, u"bob");
    EXPECT_EQ(m_server.CountOnline(), 3) << "Bob and bob are two users";
    EXPECT_EQ(m_server.Session(1)->GetLobbyConnectionIndex(), 1);
    EXPECT_EQ(m_server.Session(2)->GetLobbyConnectionIndex(), 2);
    EXPECT_TRUE(Net().Closes().empty());
}

TEST_F(ServerLoginTest, SecondLobbyLoginTakesOverAndClosesTheOldConnection) {
    AddUser(u"alice");
    Start();
    Connect(0);
    Login(0, u"alice");
    Connect(1);
    Net().ClearRecords();
    m_host.Clear();
    Login(1, u"alice");

    EXPECT_EQ(Net().Closes(), (std::vector<int>{0}));
    EXPECT_TRUE(m_host.HasLog(u"关闭 Connection(0)"));
    EXPECT_TRUE(m_host.HasLog(u"关闭 Session(1)"));
    CTestSession* s0 = m_server.Session(0);
    EXPECT_EQ(s0->GetLobbyConnectionIndex(), 1);
    EXPECT_EQ(m_server.GetConnectionSession(1), s0);
    EXPECT_EQ(m_server.GetConnectionSession(0), nullptr);
    EXPECT_FALSE(m_server.Session(1)->IsUsed());
    EXPECT_EQ(s0->nLogins, 2);

    auto sends = SendsTo(1);
    ASSERT_EQ(sends.size(), 2u);
    EXPECT_EQ(sends[0].Signal(), SC_CORE_USER_INFO);
    EXPECT_EQ(sends[1].aBytes, ResultBytes(CS_LOBBY_CLIENT_LOGIN));
    EXPECT_TRUE(SendsTo(0).empty());
}

TEST_F(ServerLoginTest, GameLoginJoinsTheLobbySession) {
    AddUser(u"alice");
    Start();
    Connect(0);
    Login(0, u"alice");
    Connect(1);
    Net().ClearRecords();
    Login(1, u"alice", CS_GAME_CLIENT_LOGIN);

    CTestSession* s0 = m_server.Session(0);
    EXPECT_EQ(s0->GetLobbyConnectionIndex(), 0);
    EXPECT_EQ(s0->GetGameConnectionIndex(), 1);
    EXPECT_EQ(m_server.GetConnectionSession(1), s0);
    EXPECT_FALSE(m_server.Session(1)->IsUsed());
    EXPECT_TRUE(Net().Closes().empty()) << "the session had no game connection to close";
    ASSERT_EQ(SendsTo(1).size(), 2u);
    EXPECT_EQ(SendsTo(1)[1].aBytes, ResultBytes(CS_GAME_CLIENT_LOGIN));
}

TEST_F(ServerLoginTest, RepeatedLoginOnTheSameConnectionRefreshesTheRecord) {
    AddUser(u"alice", 10);
    Start();
    Connect(0);
    Login(0, u"alice");
    m_db.MutableUser(u"alice")->nGold = 20;
    Net().ClearRecords();
    Login(0, u"alice");
    auto sends = SendsTo(0);
    ASSERT_EQ(sends.size(), 2u);
    UserInfo info{};
    ASSERT_TRUE(ParseCoreUserInfo(sends[0].aBytes.data(), sends[0].aBytes.size(), info));
    EXPECT_EQ(int32_t{info.nGold}, 20);
    EXPECT_EQ(sends[1].aBytes, ResultBytes(CS_LOBBY_CLIENT_LOGIN));
    EXPECT_TRUE(Net().Closes().empty());
    EXPECT_EQ(int32_t{m_server.Session(0)->GetUserInfo()->nGold}, 20);
}

TEST_F(ServerLoginTest, ShortLoginIsReportedAndRefusedAsNotLoggedIn) {
    AddUser(u"alice");
    Start();
    Connect(0);
    Net().ClearRecords();
    auto packet = BuildLoginPacket(CS_LOBBY_CLIENT_LOGIN, u"alice", u"x");
    Receive(0, std::vector<uint8_t>(packet.begin(), packet.begin() + 199));
    EXPECT_TRUE(m_host.HasLog(u"出现无法解析的网络包"));
    ASSERT_EQ(SendsTo(0).size(), 1u);
    EXPECT_EQ(SendsTo(0)[0].aBytes, ErrorBytes(CS_LOBBY_CLIENT_LOGIN, u"用户还没有登录"));
    EXPECT_EQ(m_server.nVerifyCalls, 0);
}

TEST_F(ServerLoginTest, LoginOnAConnectionWithoutSessionIsDropped) {
    Start(50, 1);
    Connect(0);
    Net().QueueDisconnect(0);
    Net().QueueConnect(0);  // the session is not freed yet: no session for this one
    Poll();
    Net().ClearRecords();
    Login(0, u"alice");
    EXPECT_TRUE(Net().Sends().empty());
    EXPECT_EQ(m_server.nVerifyCalls, 0);
}

TEST_F(ServerLoginTest, RefusedSessionAnswersSuccessButIsNeverTakenOver) {
    AddUser(u"alice");
    Start(1, 10);
    Connect(0);
    Connect(1);  // refused: the server is full
    CTestSession* pRefused = m_server.Session(1);
    ASSERT_TRUE(pRefused->IsRefused());
    Net().ClearRecords();
    Login(1, u"alice");
    // The odd case kept as it is: success, although the session takes no role.
    ASSERT_EQ(SendsTo(1).size(), 2u);
    EXPECT_EQ(SendsTo(1)[1].aBytes, ResultBytes(CS_LOBBY_CLIENT_LOGIN));
    EXPECT_EQ(pRefused->GetLobbyConnectionIndex(), -1);
    EXPECT_EQ(pRefused->GetTempConnectionIndex(), 1);

    // A login of the same user on a served connection stays on its own
    // session instead of moving into the refused one, which could not take it.
    Login(0, u"alice");
    EXPECT_EQ(m_server.GetConnectionSession(0), m_server.Session(0));
    EXPECT_EQ(m_server.Session(0)->GetLobbyConnectionIndex(), 0);
    EXPECT_TRUE(m_server.Session(0)->IsUsed());
    EXPECT_TRUE(Net().Closes().empty());
}

}  // namespace
