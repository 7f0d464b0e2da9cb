// Client login: the replies and their order, each refusal, the name rules and
// the takeover of a user's existing session.
#include "tests/unit/serverbase_fixture.h"

#include "platform/byteorder.h"

namespace {

using ServerLoginTest = ServerBaseTest;

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
    m_db.ClearCalls();  // the start's capability query
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
    plat::StoreLe16(packet.data(), CS_LOBBY_CLIENT_LOGIN);
    std::u16string strLong = u"abcdefghijklmnopqrst";
    for (size_t i = 0; i < strLong.size(); ++i) plat::StoreLe16(packet.data() + 2 + 2 * i, strLong[i]);
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

// The login finds the user's session by name through logouts, reuse of the
// freed session by another user and a connection that changes users: each
// step names the session a game login of the user must land in.
TEST_F(ServerLoginTest, TheUsersSessionIsFoundAfterLogoutsReuseAndUserChanges) {
    for (const char16_t* sz : {u"amy", u"bob", u"dave", u"Amy"}) AddUser(sz);
    Start(50, 20);
    Connect(0);
    Login(0, u"amy");  // session 0
    Connect(1);
    Login(1, u"bob");  // session 1
    Signal(0, CS_LOBBY_CLIENT_LOGOUT);
    Poll();  // amy's session 0 closes
    ASSERT_FALSE(m_server.Session(0)->IsUsed());

    Connect(2);  // session 0 again, temporary
    Login(2, u"bob");
    EXPECT_EQ(m_server.GetConnectionSession(2), m_server.Session(1)) << "bob's session, not amy's old one";
    Connect(3);
    Login(3, u"Amy");  // another account: names compare exactly
    Connect(4);
    Login(4, u"amy");
    CSessionBase* pAmy = m_server.GetConnectionSession(4);
    ASSERT_NE(pAmy, nullptr);
    EXPECT_NE(pAmy, m_server.GetConnectionSession(3));
    Connect(5);
    Login(5, u"amy", CS_GAME_CLIENT_LOGIN);
    EXPECT_EQ(m_server.GetConnectionSession(5), pAmy);

    // amy's lobby connection logs in as dave: her session ends and starts
    // again as dave's; amy is found nowhere, dave in that session.
    const uint16_t wAmy = pAmy->GetSessionIndex();
    Login(4, u"dave");
    EXPECT_EQ(m_server.GetConnectionSession(4), m_server.Session(wAmy));
    Connect(6);
    Login(6, u"amy", CS_GAME_CLIENT_LOGIN);
    EXPECT_NE(m_server.GetConnectionSession(6), m_server.Session(wAmy));
    EXPECT_EQ(m_server.GetConnectionSession(6)->GetGameConnectionIndex(), 6);
    Connect(7);
    Login(7, u"dave", CS_GAME_CLIENT_LOGIN);
    EXPECT_EQ(m_server.GetConnectionSession(7), m_server.Session(wAmy));
    EXPECT_EQ(m_server.CountOnline(), 4) << "bob, Amy, dave, amy";
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

// A login for the other role on one of the user's own connections: the
// connection that held that role is closed, never left bound in no role.
TEST_F(ServerLoginTest, ALoginForTheOtherRoleClosesTheConnectionThatHeldIt) {
    struct Case {
        uint16_t wSignal;
        int cSwitch, cHeld;  // the connection that logs in again, the one holding that role
    };
    const Case kCases[] = {{CS_GAME_CLIENT_LOGIN, 0, 1}, {CS_LOBBY_CLIENT_LOGIN, 1, 0}};
    AddUser(u"amy");
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.wSignal);
        Start();
        Connect(0);
        Login(0, u"amy");
        Connect(1);
        Login(1, u"amy", CS_GAME_CLIENT_LOGIN);
        CTestSession* pAmy = m_server.Session(0);
        Net().ClearRecords();

        Login(c.cSwitch, u"amy", c.wSignal);
        EXPECT_EQ(Net().Closes(), std::vector<int>{c.cHeld});
        EXPECT_EQ(m_server.GetConnectionSession(static_cast<int16_t>(c.cHeld)), nullptr);
        EXPECT_EQ(m_server.GetConnectionSession(static_cast<int16_t>(c.cSwitch)), pAmy);
        const bool bLobby = c.wSignal == CS_LOBBY_CLIENT_LOGIN;
        EXPECT_EQ(bLobby ? pAmy->GetLobbyConnectionIndex() : pAmy->GetGameConnectionIndex(), c.cSwitch);
        EXPECT_EQ(bLobby ? pAmy->GetGameConnectionIndex() : pAmy->GetLobbyConnectionIndex(), -1);
    }
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
    AddUser(u"amy");
    Start(50, 1);
    Connect(0);
    Login(0, u"amy");
    Net().QueueDisconnect(0);
    Net().QueueConnect(0);  // amy's session waits for the sweep: no session for this one
    Poll();
    Net().ClearRecords();
    m_server.nVerifyCalls = 0;
    Login(0, u"amy");
    EXPECT_TRUE(Net().Sends().empty());
    EXPECT_EQ(m_server.nVerifyCalls, 0);
}

TEST_F(ServerLoginTest, ARefusedSessionLogsInOnlyByMovingIntoTheUsersSession) {
    AddUser(u"alice");
    AddUser(u"bob");
    Start(1, 10);
    Connect(0);
    Login(0, u"alice");
    Connect(1);  // refused: the server is full
    CTestSession* pRefused = m_server.Session(1);
    ASSERT_TRUE(pRefused->IsRefused());
    Net().ClearRecords();
    // bob has no session to move into: refused, and no record is kept or sent.
    Login(1, u"bob");
    ASSERT_EQ(SendsTo(1).size(), 1u);
    EXPECT_EQ(SendsTo(1)[0].aBytes, ErrorBytes(CS_LOBBY_CLIENT_LOGIN, u"服务器已达到最大人数"));
    EXPECT_EQ(pRefused->GetUserName(), u"");
    EXPECT_EQ(pRefused->nLogins, 0);
    EXPECT_EQ(m_server.GetConnectionSession(1), pRefused);

    // alice reconnecting while the server is full takes her session over.
    Net().ClearRecords();
    Login(1, u"alice");
    ASSERT_EQ(SendsTo(1).size(), 2u);
    EXPECT_EQ(SendsTo(1)[1].aBytes, ResultBytes(CS_LOBBY_CLIENT_LOGIN));
    EXPECT_EQ(m_server.GetConnectionSession(1), m_server.Session(0));
    EXPECT_EQ(m_server.Session(0)->GetLobbyConnectionIndex(), 1);
    EXPECT_EQ(Net().Closes(), (std::vector<int>{0}));
    EXPECT_FALSE(pRefused->IsUsed());
}

// A connection that holds a role in one user's session logs in for another
// user, on the lobby or on the game connection, with that user online or not.
// The first user's session ends as a whole (its other connection is closed),
// so no connection is left pointing at a session that a later client gets.
TEST_F(ServerLoginTest, ALoginForAnotherUserEndsTheSessionTheConnectionLeaves) {
    struct Case {
        uint16_t wSignal;
        int cAttack, cOther;  // amy's connection that logs in again, and her other one
        bool bTargetOnline;
    };
    const Case kCases[] = {{CS_LOBBY_CLIENT_LOGIN, 0, 1, true},
                           {CS_GAME_CLIENT_LOGIN, 1, 0, true},
                           {CS_LOBBY_CLIENT_LOGIN, 0, 1, false},
                           {CS_GAME_CLIENT_LOGIN, 1, 0, false}};
    AddUser(u"amy");
    AddUser(u"bob");
    AddUser(u"dave");
    for (const Case& c : kCases) {
        SCOPED_TRACE(::testing::Message() << c.wSignal << (c.bTargetOnline ? " online" : " offline"));
        Start();  // a fresh pool for each case
        Connect(0);
        Login(0, u"amy");
        Connect(1);
        Login(1, u"amy", CS_GAME_CLIENT_LOGIN);
        CTestSession* pAmy = m_server.Session(0);
        ASSERT_EQ(pAmy->GetGameConnectionIndex(), 1);
        CSessionBase* pBobBefore = nullptr;
        if (c.bTargetOnline) {
            Connect(2);
            Login(2, u"bob");
            pBobBefore = m_server.GetConnectionSession(2);
        }
        Net().ClearRecords();
        m_host.Clear();

        Login(c.cAttack, u"bob", c.wSignal);
        EXPECT_EQ(SendsTo(c.cAttack).back().aBytes, ResultBytes(c.wSignal));
        EXPECT_TRUE(m_host.HasLog(u"框架关闭 Session(0)"));
        EXPECT_EQ(pAmy->nCloses, 1);
        EXPECT_EQ(m_server.GetConnectionSession(static_cast<int16_t>(c.cOther)), nullptr);
        std::vector<int> aClosed = {c.cOther};
        if (c.bTargetOnline && c.wSignal == CS_LOBBY_CLIENT_LOGIN) aClosed.push_back(2);
        EXPECT_EQ(Net().Closes(), aClosed);
        CSessionBase* pBob = m_server.GetConnectionSession(static_cast<int16_t>(c.cAttack));
        ASSERT_NE(pBob, nullptr);
        EXPECT_EQ(pBob->GetUserName(), u"bob");
        const int16_t nRole = c.wSignal == CS_LOBBY_CLIENT_LOGIN ? pBob->GetLobbyConnectionIndex()
                                                                  : pBob->GetGameConnectionIndex();
        EXPECT_EQ(nRole, c.cAttack);
        if (c.bTargetOnline) {
            EXPECT_EQ(pBob, pBobBefore) << "bob's own session took the connection";
            EXPECT_EQ(pBob->GetLobbyConnectionIndex(), c.wSignal == CS_LOBBY_CLIENT_LOGIN ? 0 : 2);
        } else {
            EXPECT_EQ(pBob->GetTempConnectionIndex(), -1);
            EXPECT_EQ(c.wSignal == CS_LOBBY_CLIENT_LOGIN ? pBob->GetGameConnectionIndex()
                                                         : pBob->GetLobbyConnectionIndex(),
                      -1)
                << "nothing of amy's is left in the session";
        }

        // The next client gets a free session and nothing of amy's connections.
        Connect(5);
        Login(5, u"dave");
        CSessionBase* pDave = m_server.GetConnectionSession(5);
        ASSERT_NE(pDave, nullptr);
        EXPECT_EQ(pDave->GetUserName(), u"dave");
        EXPECT_EQ(pDave->GetGameConnectionIndex(), -1);
        EXPECT_NE(m_server.GetConnectionSession(static_cast<int16_t>(c.cOther)), pDave);
        Receive(c.cOther, BuildVersionPacket(7));
        EXPECT_FALSE(pDave->IsGameVersionChecked());
        EXPECT_EQ(m_server.CountOnline(), 2);
    }
}

}  // namespace
